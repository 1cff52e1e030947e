// "Email settings" and "Test Email Settings" end to end, against a real SMTP server (aiosmtpd on
// loopback), a refusing one and a silent one.
#include "mail/SmtpClient.h"
#include "settings/SettingsStore.h"
#include "tests/common/SilentListener.h"
#include "tests/common/SmtpSink.h"
#include "tests/ui/dialogs/DialogTestSupport.h"
#include "ui/DialogCommands.h"
#include "ui/EmailSetupDlg.h"

#include <QLineEdit>
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
    void SetUp() override {
        ResetSettingsStore();
        m_settings.userName = "me";
    }
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
        EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
        EXPECT_TRUE(m_notice.Texts().isEmpty()); // the test's own box holds the reason
        return ticks;
    }

    EmailSettings m_settings;
    RecordingPrompt m_prompt;
    RecordingNotice m_notice;
    SmtpClient m_smtp{&m_notice};
};

TEST_F(EmailTest, AcceptedSettingsAreStoredAndTestedThenEachFailureIsOneBoxWithItsReason) {
    SmtpSink sink;
    ASSERT_TRUE(sink.Start());
    const QString server = QStringLiteral("127.0.0.1:%1").arg(sink.Port());
    WhenModal<CEmailSetupDlg>([](CEmailSetupDlg* dialog) { dialog->reject(); });
    RunEmailSettings(nullptr, m_settings, m_smtp, m_prompt); // Cancel: nothing stored or asked
    WhenModal<CEmailSetupDlg>([server](CEmailSetupDlg* dialog) {
        dialog->AlertEdit()->setFocus();
        QTest::keyClicks(dialog->AlertEdit(), "oncall@example.org");
        dialog->ServerEdit()->setText(server);
        dialog->PasswordEdit()->setText("pw");
        dialog->accept();
    });
    RunEmailSettings(nullptr, m_settings, m_smtp, m_prompt);
    EXPECT_EQ(m_prompt.Texts().mid(1), (QStringList{kAlertOk, kRecoveryOk}));
    ASSERT_EQ(m_prompt.boxes.size(), 3);
    const QStringList keys = {"SMTPName", "SMTPEmail", "SMTPUsername", "SMTPPassword",
                              "SMTP",     "SMTPAlert", "SMTPRecovery"};
    const QStringList values = {"Trellion",           "oncall@example.org", "me", "pw", server,
                                "oncall@example.org", "oncall@example.org"};
    for (int i = 0; i < keys.size(); ++i) // no keyring: the settings file keeps the password
        EXPECT_EQ(SettingsStore::ReadString("Settings", keys[i]), values[i])
            << keys[i].toStdString();
    EXPECT_EQ(SettingsStore::ReadInt("Settings", "SMTPAuth", -1), 0);
    EXPECT_EQ(SettingsStore::ReadInt("Settings", "SMTPSecurity", -1), 0);
    ASSERT_TRUE(sink.WaitForMessages(2, kWaitMs));
    for (int i = 0; i < 2; ++i) {
        const QByteArray data = sink.Messages()[i].data;
        EXPECT_EQ(sink.Messages()[i].rcptTos, QStringList{"oncall@example.org"});
        EXPECT_TRUE(data.contains(i ? "Testing recovery recipient" : "Testing alert recipient"));
        EXPECT_TRUE(data.contains("This test email was sent to: oncall@example.org"));
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

    SmtpSink refusing;
    ASSERT_TRUE(refusing.Start(SmtpSink::Mode::RefuseRecipients));
    RunTest(refusing.Port());
    ASSERT_EQ(m_prompt.boxes.size(), 1); // the recovery test never ran
    EXPECT_TRUE(m_prompt.boxes[0].text.startsWith("Failed Alert Recipient test\n\n"));
    EXPECT_TRUE(m_prompt.boxes[0].text.contains("554")) << m_prompt.boxes[0].text.toStdString();
}

TEST_F(EmailTest, SilentServerEndsInOneBoxBehindAResponsiveProgressWhoseCancelStopsTheTest) {
    SilentListener silent;
    m_smtp.SetTimeouts(5000, 1500);
    bool progressSeen = false;
    EXPECT_GE(RunTest(silent.Port(), [&](QProgressDialog*) { progressSeen = true; }), 10);
    EXPECT_TRUE(progressSeen);
    ASSERT_EQ(m_prompt.boxes.size(), 1);
    EXPECT_GT(m_prompt.boxes[0].text.size(), QString("Failed Alert Recipient test\n\n").size());
    EXPECT_TRUE(m_prompt.boxes[0].text.startsWith("Failed Alert Recipient test\n\n"));

    RunTest(silent.Port(), [&](QProgressDialog* progress) {
        if (silent.AcceptedCount() == 2)
            progress->findChild<QPushButton*>()->click();
    });
    EXPECT_TRUE(m_prompt.boxes.isEmpty()); // cancelled is not failed
    EXPECT_EQ(silent.AcceptedCount(), 2);  // and no recovery test follows
}

} // namespace
