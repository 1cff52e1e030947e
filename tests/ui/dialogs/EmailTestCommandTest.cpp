// "Email settings", "Test Email Settings" and "Tell a friend" against real SMTP peers (loopback).
#include "controls/RecordingTrayShell.h"
#include "mail/SmtpClient.h"
#include "monitor/SlotMonitor.h"
#include "settings/SettingsStore.h"
#include "tests/common/SilentListener.h"
#include "tests/common/SmtpSink.h"
#include "tests/ui/dialogs/DialogTestSupport.h"
#include "ui/DialogCommands.h"
#include "ui/EmailSetupDlg.h"
#include "ui/MonitorDlg.h"
#include "ui/TellFriendDlg.h"

#include <QAbstractButton>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressDialog>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

using namespace DialogTest;

namespace {

const QString kAlertOk = "Alert Recipient tested successfully, look for Alert test email.";
const QString kRecoveryOk = "Recovery Recipient tested successfully, look for Recovery test email.";

class EmailTest : public ::testing::Test {
protected:
    void SetUp() override { ResetSettingsStore(); }
    // The test while the UI thread's loop ticks; `onProgress` runs at each tick that finds the
    // progress box up. Returns the ticks.
    int RunTest(int port, const std::function<void(QProgressDialog*)>& onProgress = {}) {
        SettingsStore::WriteString("Settings", "SMTP", QStringLiteral("127.0.0.1:%1").arg(port));
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

    EmailSettings m_settings;
    RecordingPrompt m_prompt;
    RecordingNotice m_notice;
    SmtpClient m_smtp{&m_notice};
};

TEST_F(EmailTest, AcceptedSettingsAreStoredAndTestedThenAFailureIsOneBoxWithItsReason) {
    SmtpSink sink;
    ASSERT_TRUE(sink.Start());
    WhenModal<CEmailSetupDlg>([port = sink.Port()](CEmailSetupDlg* dialog) {
        dialog->AlertEdit()->setFocus();
        QTest::keyClicks(dialog->AlertEdit(), "oncall@example.org");
        dialog->ServerEdit()->setText(QStringLiteral("127.0.0.1:%1").arg(port));
        dialog->accept();
    });
    RunEmailSettings(nullptr, m_settings, m_smtp, m_prompt);
    EXPECT_EQ(m_prompt.Texts().mid(1), (QStringList{kAlertOk, kRecoveryOk}));
    EXPECT_EQ(SettingsStore::ReadInt("Settings", "SMTPSecurity", -1), 0);
    ASSERT_TRUE(sink.WaitForMessages(2, kWaitMs));
    for (int i = 0; i < 2; ++i) {
        const QByteArray data = sink.Messages()[i].data;
        EXPECT_EQ(sink.Messages()[i].rcptTos, QStringList{"oncall@example.org"});
        EXPECT_TRUE(data.contains(i ? "Testing recovery recipient" : "Testing alert recipient"));
        // The client got the accepted sender at once.
        EXPECT_TRUE(data.contains("From: Trellion <oncall@example.org>\r\n"));
    }

    m_prompt.onBox = [&sink](const RecordingPrompt::Box& box) {
        if (box.text == kAlertOk)
            sink.Stop(); // the server goes away between the two messages
    };
    RunTest(sink.Port());
    ASSERT_EQ(m_prompt.boxes.size(), 2);
    EXPECT_TRUE(m_prompt.boxes[1].text.startsWith("Failed Recovery Recipient test\n\n"));
    EXPECT_GT(m_prompt.boxes[1].text.size(), 40); // and the reason
}

TEST_F(EmailTest, SilentServerEndsInOneBoxBehindAResponsiveProgressWhoseCancelStopsTheTest) {
    SilentListener silent;
    m_settings.alertRecipient = m_settings.recoveryRecipient = m_settings.returnAddress = "a@b.org";
    m_smtp.SetTimeouts(5000, 1500);
    EXPECT_GE(RunTest(silent.Port()), 10); // the loop ticked while the exchange waited
    ASSERT_EQ(m_prompt.boxes.size(), 1);
    EXPECT_TRUE(m_prompt.boxes[0].text.startsWith("Failed Alert Recipient test\n\n"));
    EXPECT_GT(m_prompt.boxes[0].text.size(), 30); // and the reason

    m_smtp.SetTimeouts(5000, 4000);
    QElapsedTimer cancelled;
    cancelled.start();
    RunTest(silent.Port(), [&](QProgressDialog* progress) {
        if (silent.AcceptedCount() == 2)
            progress->findChild<QPushButton*>()->click();
    });
    EXPECT_LT(cancelled.elapsed(), 2500);  // Cancel abandons the wait instead of sitting it out
    EXPECT_TRUE(m_prompt.boxes.isEmpty()); // cancelled is not failed
    EXPECT_EQ(silent.AcceptedCount(), 2);  // and no recovery test follows
}

TEST_F(EmailTest, TellFriendProposesDefaultsRemembersWhatWasSentAndReportsAFailure) {
    SmtpSink sink;
    ASSERT_TRUE(sink.Start());
    SettingsStore::WriteString("Settings", "SMTP", QStringLiteral("127.0.0.1:%1").arg(sink.Port()));
    m_settings.returnAddress = "bounce@example.org";
    QStringList shown;
    // The dialog filled and OK pressed; a dialog that refuses OK is cancelled.
    const auto send = [&](const QString& to, const QString& body) {
        WhenModal<CTellFriendDlg>([&, to, body](CTellFriendDlg* dialog) {
            shown = QStringList{dialog->Sender(), dialog->Subject(), dialog->Body()};
            dialog->RecipientEdit()->setText(to);
            dialog->BodyEdit()->setPlainText(body);
            dialog->accept();
            if (dialog->isVisible())
                dialog->reject();
        });
        RunTellFriend(nullptr, m_settings, m_smtp, m_prompt);
    };
    send(" ", "Cancelled.");
    EXPECT_EQ(m_prompt.Texts(), QStringList{"Please enter your friend's email address"});
    EXPECT_EQ(shown,
              (QStringList{"bounce@example.org", "Check out Trellion!", DefaultFriendBody()}));
    send("friend@example.org", "It watches my databases.\nTry it.");
    ASSERT_TRUE(sink.WaitForMessages(1, kWaitMs));
    EXPECT_EQ(sink.Messages().size(), 1); // nothing from the cancelled one
    const SmtpSink::Message message = sink.Messages().constFirst();
    EXPECT_EQ(message.rcptTos, QStringList{"friend@example.org"});
    EXPECT_TRUE(message.data.contains("It watches my databases.\r\nTry it.\r\n\r\n\r\n" +
                                      QByteArray(62, '=')));
    EXPECT_EQ(m_prompt.boxes.size(), 1); // no confirmation on success

    // Refused: one box with the server's reply; the text is remembered, without the footer.
    SmtpSink refusing;
    ASSERT_TRUE(refusing.Start(SmtpSink::Mode::RefuseRecipients));
    SettingsStore::WriteString("Settings", "SMTP",
                               QStringLiteral("127.0.0.1:%1").arg(refusing.Port()));
    send("other@example.org", "Second try.");
    EXPECT_EQ(shown[2], "It watches my databases.\r\nTry it.");
    ASSERT_EQ(m_prompt.boxes.size(), 2);
    EXPECT_TRUE(
        m_prompt.boxes[1].text.startsWith("Your message to other@example.org was not sent.\n\n"));
    EXPECT_TRUE(m_prompt.boxes[1].text.contains("554")) << m_prompt.boxes[1].text.toStdString();
    EXPECT_TRUE(m_notice.Texts().isEmpty());
    EXPECT_EQ(SettingsStore::ReadString("Settings", "LastFriendBody"), "Second try.");
}

// What the user accepted is the window's before the test is offered, so that polls running
// during a test already send to the new recipients.
TEST(EmailSettingsWindow, AcceptedSettingsAreTheWindowsBeforeTheTestQuestion) {
    ResetSettingsStore();
    SettingsStore::WriteString("Settings", "SMTP", "127.0.0.1:1"); // no first-start prompt
    CMonitorDlg window(std::make_unique<CRecordingTrayShell>());
    QString atQuestion;
    WhenModal<CEmailSetupDlg>([&](CEmailSetupDlg* dialog) {
        dialog->AlertEdit()->setText("new-alert@example.org");
        dialog->RecoveryEdit()->setText("new-recovery@example.org");
        dialog->ReturnEdit()->setText("new-bounce@example.org");
        dialog->ServerEdit()->setText("127.0.0.1:2");
        WhenModal<QMessageBox>([&](QMessageBox* box) {
            const EmailSettings& e = window.Monitor().Email();
            atQuestion = QStringList{box->text().left(26), e.alertRecipient, e.recoveryRecipient,
                                     e.returnAddress, e.server}
                             .join('|');
            box->button(QMessageBox::No)->click();
        });
        dialog->accept();
    });
    window.OnCommand(CMonitorDlg::ID_EMAIL_SETTINGS);
    EXPECT_EQ(atQuestion, "If you have changed your e|new-alert@example.org|"
                          "new-recovery@example.org|new-bounce@example.org|127.0.0.1:2");
}

} // namespace
