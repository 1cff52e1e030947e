#pragma once

#include "settings/SettingsStore.h"
#include "tests/common/RecordingNotice.h"
#include "tests/common/TestSupport.h"
#include "ui/DialogPrompt.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QStringList>
#include <QTimer>

#include <functional>

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
    void Tell(QWidget*, const QString& text) override { Record(false, text); }
    bool Ask(QWidget*, const QString& text) override {
        Record(true, text);
        return answers.isEmpty() || answers.takeFirst();
    }
    void Record(bool question, const QString& text) {
        boxes.append({question, text, QApplication::focusWidget()});
        if (onBox)
            onBox(boxes.constLast());
    }

    QList<Box> boxes;
    QList<bool> answers;                   // to questions, first one first; Yes when none are left
    std::function<void(const Box&)> onBox; // at every box, while it is "open"
    QStringList Texts() const {
        QStringList texts;
        for (const Box& box : boxes)
            texts << box.text;
        return texts;
    }
};

inline bool WaitUntil(const std::function<bool()>& pred, int timeoutMs = kWaitMs) {
    return TestSupport::WaitUntil(pred, timeoutMs);
}

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
inline void ResetSettingsStore() {
    QFile::remove(SettingsStore::FilePath());
}

} // namespace DialogTest
