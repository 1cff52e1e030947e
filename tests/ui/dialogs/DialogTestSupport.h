#pragma once

#include "platform/Notice.h"
#include "tests/common/RecordingNotice.h"
#include "ui/DialogPrompt.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QList>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <mutex>
#include <ostream>

// Readable failures for Qt strings.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}
inline void PrintTo(const QStringList& texts, std::ostream* out) {
    *out << '{';
    for (const QString& text : texts)
        *out << " \"" << text.toStdString() << '"';
    *out << " }";
}

namespace DialogTest {

// Generous: a loaded two-core machine under the sanitizer is slow, and every wait ends early.
constexpr int kWaitMs = 60000;

// Answers the dialogs' boxes and keeps what they said, in order.
class RecordingPrompt : public IDialogPrompt {
public:
    struct Box {
        bool question;
        QString text;
        QWidget* focusAtTheTime;
    };

    void Tell(QWidget* parent, const QString& text) override;
    bool Ask(QWidget* parent, const QString& text) override;

    QList<Box> boxes;
    // Answers to questions, first one first; Yes when none are left.
    QList<bool> answers;
    // Runs at every box, after it is recorded (the box is "open" meanwhile).
    std::function<void(const Box&)> onBox;

    QStringList Texts() const;
};

using ::RecordingNotice;

// Processes events until pred() holds or timeoutMs passes; returns pred().
bool WaitUntil(const std::function<bool()>& pred, int timeoutMs = kWaitMs);

// Waits without processing events (the UI thread stays away from the event loop).
bool WaitWithoutEvents(const std::function<bool()>& pred, int timeoutMs = kWaitMs);

// Runs action once a modal T other than `skip` is up (looks every 10 ms from the event loop),
// so that a test can drive a dialog that its command runs with exec().
template <typename T> void WhenModal(std::function<void(T*)> action, QWidget* skip = nullptr) {
    auto* poller = new QTimer;
    auto deadline = std::make_shared<QDeadlineTimer>(kWaitMs);
    QObject::connect(poller, &QTimer::timeout, poller, [poller, action, skip, deadline] {
        auto* modal = qobject_cast<T*>(QApplication::activeModalWidget());
        if ((modal && modal != skip && modal->isVisible()) || deadline->hasExpired()) {
            poller->stop();
            poller->deleteLater();
            if (modal && modal != skip)
                action(modal);
        }
    });
    poller->start(10);
}

// Starts the test with an empty settings store (one store per test process).
void ResetSettingsStore();

// A log file of `count` lines "line <n> ..." with CR LF ends; returns the lines.
QStringList WriteLog(const QString& path, int count, bool lastLineEnd = true);

} // namespace DialogTest
