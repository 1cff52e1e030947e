#pragma once

#include "mail/SmtpClient.h"
#include "settings/SettingsStore.h"
#include "tests/common/RecordingNotice.h"
#include "tests/common/TestSupport.h"
#include "ui/DialogCommands.h"
#include "ui/DialogPrompt.h"
#include "ui/EmailSetupDlg.h"
#include "platform/MailPasswordKeyring.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QLineEdit>
#include <QPointer>
#include <QProgressDialog>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <functional>
#include <memory>

// What the dialogs' test programs share: a recording prompt, waits, and the e-mail fixture.
namespace DialogsTestSupport {

// Generous: a loaded two-core machine under the sanitizer is slow, and every wait ends early.
constexpr int kWaitMs = 60000;

// Answers the dialogs' boxes and keeps what they said, in order.
struct RecordingPrompt : IDialogPrompt {
    struct Box {
        QString text;
        QWidget* focusAtTheTime;
    };
    void Tell(QWidget*, const QString& text) override {
        boxes.append({text, QApplication::focusWidget()});
        if (onBox)
            onBox(boxes.constLast());
    }
    bool Ask(QWidget* parent, const QString& text) override {
        Tell(parent, text);
        return answers.isEmpty() || answers.takeFirst();
    }
    QStringList Texts() const {
        QStringList texts;
        for (const Box& box : boxes)
            texts << box.text;
        return texts;
    }

    QList<Box> boxes;
    QList<bool> answers;                   // to questions, first one first; Yes when none are left
    std::function<void(const Box&)> onBox; // at every box, while it is "open"
};

inline bool WaitUntil(const std::function<bool()>& pred, int timeoutMs = kWaitMs) {
    return TestSupport::WaitUntil(pred, timeoutMs);
}

// Runs action once a modal T is up (looks every 10 ms from the event loop), so that a test can
// drive a dialog that its command runs with exec(). A dialog still up after it, one that refused
// OK, is cancelled: the test then fails instead of hanging.
template <typename T> void WhenModal(std::function<void(T*)> action) {
    auto* poller = new QTimer;
    auto deadline = std::make_shared<QDeadlineTimer>(kWaitMs);
    QObject::connect(poller, &QTimer::timeout, poller, [poller, action, deadline] {
        QPointer<T> modal = qobject_cast<T*>(QApplication::activeModalWidget());
        if ((modal && modal->isVisible()) || deadline->hasExpired()) {
            poller->stop();
            poller->deleteLater();
            if (modal)
                action(modal);
            if (auto* dialog = qobject_cast<QDialog*>(modal.data()); dialog && dialog->isVisible())
                dialog->reject();
        }
    });
    poller->start(10);
}

// An empty settings store (one store per test process).
inline void ResetSettingsStore() {
    QFile::remove(SettingsStore::FilePath());
}

inline const QString kAlertOk = "Alert Recipient tested successfully, look for Alert test email.";
inline const QString kRecoveryOk =
    "Recovery Recipient tested successfully, look for Recovery test email.";

class Email : public ::testing::Test {
protected:
    void SetUp() override { ResetSettingsStore(); }
    // Shown and active, so that focus moves the way it does for a user.
    void Open(const EmailSettings& settings) {
        m_dialog = std::make_unique<CEmailSetupDlg>(settings, m_prompt);
        m_dialog->show();
        QApplication::setActiveWindow(m_dialog.get());
        ASSERT_TRUE(QTest::qWaitForWindowActive(m_dialog.get()));
    }
    static void Type(QWidget* edit, const QString& text, bool replace = false) {
        edit->setFocus();
        if (replace)
            QTest::keyClick(edit, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClicks(edit, text);
    }
    static void UseServer(int port) {
        SettingsStore::WriteString("Settings", "SMTP", QStringLiteral("127.0.0.1:%1").arg(port));
    }
    // The test while the UI thread's loop ticks; `onProgress` runs at each tick that finds the
    // progress box up. Returns the ticks.
    int RunTest(int port, const std::function<void(QProgressDialog*)>& onProgress = {}) {
        UseServer(port);
        m_prompt.boxes.clear();
        int ticks = 0;
        QTimer heartbeat;
        QObject::connect(&heartbeat, &QTimer::timeout, [&] {
            ++ticks;
            auto* progress = qobject_cast<QProgressDialog*>(QApplication::activeModalWidget());
            if (progress && progress->isVisible() && onProgress)
                onProgress(progress);
        });
        heartbeat.start(20);
        TestEmailSettings(nullptr, m_settings, m_smtp, m_prompt);
        EXPECT_TRUE(m_notice.Texts().isEmpty()); // the test's own box holds the reason
        return ticks;
    }

    // A start of the program with `filePassword` in the settings file: the keyring is read in
    // the background, then "Email settings" runs and the user may retype the password. Returns
    // what the dialog showed, what the file holds after OK, and what the read handed over.
    QStringList StartAndRunDialog(const QString& filePassword, const QString& retype = {}) {
        SettingsStore::WriteString("Settings", "SMTPPassword", filePassword);
        MailPasswordKeyring keyring;
        QString handed = "<none>";
        keyring.StartRead([&](const QString& password) { handed = password; });
        EXPECT_EQ(handed, "<none>"); // nothing waits for the keyring
        m_settings.alertRecipient = m_settings.recoveryRecipient = "a@b.org";
        m_settings.returnAddress = "a@b.org";
        m_settings.server = "mail.example.org:587";
        m_settings.password = filePassword;
        QString shown;
        WhenModal<CEmailSetupDlg>([&](CEmailSetupDlg* dialog) {
            shown = dialog->PasswordEdit()->text();
            if (!retype.isEmpty())
                dialog->PasswordEdit()->setText(retype);
            dialog->accept();
        });
        m_prompt.answers = {false};
        RunEmailSettings(nullptr, m_settings, m_smtp, m_prompt, {}, &keyring);
        return {shown, SettingsStore::ReadString("Settings", "SMTPPassword", "<unset>"), handed};
    }

    RecordingPrompt m_prompt;
    std::unique_ptr<CEmailSetupDlg> m_dialog;
    EmailSettings m_settings;
    RecordingNotice m_notice;
    SmtpClient m_smtp{&m_notice};
};

} // namespace DialogsTestSupport
