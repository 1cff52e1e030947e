// The "Email settings" command as the main window runs it: what the user accepted is the
// window's before the test is offered, so that polls running during a test already send to the
// new recipients.
#include "controls/RecordingTrayShell.h"
#include "monitor/SlotMonitor.h"
#include "settings/SettingsStore.h"
#include "tests/ui/dialogs/DialogTestSupport.h"
#include "ui/EmailSetupDlg.h"
#include "ui/MonitorDlg.h"

#include <QAbstractButton>
#include <QApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <QTimer>

#include <gtest/gtest.h>

using namespace DialogTest;

namespace {

const QString kTestQuestion =
    QStringLiteral("If you have changed your email settings we strongly recommend you run an "
                   "Email Settings Test.\n\nPress Yes to run one now.");

TEST(EmailSettingsWindow, AcceptedSettingsAreTheWindowsBeforeTheTestQuestion) {
    ResetSettingsStore();
    // A server keeps the first-start e-mail prompt closed.
    SettingsStore::WriteString("Settings", "SMTP", "127.0.0.1:1");
    CMonitorDlg window(std::make_unique<CRecordingTrayShell>());

    bool filled = false;
    bool asked = false;
    EmailSettings seenAtQuestion;
    // Plays the user: fills the dialog, then answers No to the test question, noting what the
    // window held at that moment.
    QTimer user;
    user.setInterval(10);
    QObject::connect(&user, &QTimer::timeout, [&] {
        QWidget* modal = QApplication::activeModalWidget();
        if (auto* dialog = qobject_cast<CEmailSetupDlg*>(modal); dialog && !filled) {
            filled = true;
            dialog->AlertEdit()->setText("new-alert@example.org");
            dialog->RecoveryEdit()->setText("new-recovery@example.org");
            dialog->ReturnEdit()->setText("new-bounce@example.org");
            dialog->ServerEdit()->setText("127.0.0.1:2");
            dialog->accept();
        } else if (auto* box = qobject_cast<QMessageBox*>(modal);
                   box && box->text() == kTestQuestion && !asked) {
            asked = true;
            seenAtQuestion = window.Monitor().Email();
            box->button(QMessageBox::No)->click();
        }
    });
    user.start();
    window.OnCommand(CMonitorDlg::ID_EMAIL_SETTINGS);
    user.stop();

    ASSERT_TRUE(filled);
    ASSERT_TRUE(asked);
    EXPECT_EQ(seenAtQuestion.alertRecipient, "new-alert@example.org");
    EXPECT_EQ(seenAtQuestion.recoveryRecipient, "new-recovery@example.org");
    EXPECT_EQ(seenAtQuestion.returnAddress, "new-bounce@example.org");
    EXPECT_EQ(seenAtQuestion.server, "127.0.0.1:2");
    EXPECT_EQ(window.Monitor().Email().alertRecipient, "new-alert@example.org");
}

} // namespace
