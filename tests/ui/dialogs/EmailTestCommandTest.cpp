// "Test Email Settings" and the e-mail settings command end to end, against a real SMTP server
// (aiosmtpd on loopback), a refusing one and a silent one.
#include "mail/SmtpClient.h"
#include "settings/SettingsStore.h"
#include "tests/common/SilentListener.h"
#include "tests/common/SmtpSink.h"
#include "tests/ui/dialogs/DialogTestSupport.h"
#include "ui/DialogCommands.h"
#include "ui/EmailSetupDlg.h"

#include <QLineEdit>
#include <QProgressDialog>
#include <QTest>

#include <gtest/gtest.h>

using namespace DialogTest;

namespace {

const QString kAlertOk =
    QStringLiteral("Alert Recipient tested successfully, look for Alert test email.");
const QString kRecoveryOk =
    QStringLiteral("Recovery Recipient tested successfully, look for Recovery test email.");

QByteArray Header(const QByteArray& data, const QByteArray& name) {
    const qsizetype end = data.indexOf("\r\n\r\n");
    for (const QByteArray& raw : data.left(end).split('\n')) {
        const QByteArray header = raw.trimmed();
        if (header.startsWith(name + ": "))
            return header.mid(name.size() + 2);
    }
    return {};
}

QString Body(const QByteArray& data) {
    return QString::fromUtf8(data.mid(data.indexOf("\r\n\r\n") + 4))
        .replace(QStringLiteral("\r\n"), QStringLiteral("\n"))
        .trimmed();
}

class EmailTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetSettingsStore();
        m_settings.alertRecipient = "alert@example.org";
        m_settings.recoveryRecipient = "recovery@example.org";
        m_settings.returnAddress = "bounce@example.org";
        m_smtp.SetSender("Trellion", m_settings.returnAddress);
        m_smtp.SetTimeouts(30000, 30000);
    }
    void UseServer(const QString& text) {
        m_settings.server = text;
        SettingsStore::WriteString("Settings", "SMTP", text);
    }

    EmailSettings m_settings;
    RecordingPrompt m_prompt;
    RecordingNotice m_notice;
    SmtpClient m_smtp{&m_notice};
};

TEST_F(EmailTest, SendsBothMessagesAndReportsEachInTurn) {
    SmtpSink sink;
    ASSERT_TRUE(sink.Start());
    UseServer(QStringLiteral("127.0.0.1:%1").arg(sink.Port()));

    TestEmailSettings(nullptr, m_settings, m_smtp, m_prompt);

    EXPECT_EQ(m_prompt.Texts(), (QStringList{kAlertOk, kRecoveryOk}));
    ASSERT_TRUE(sink.WaitForMessages(2, kWaitMs));
    const QList<SmtpSink::Message> messages = sink.Messages();
    ASSERT_EQ(messages.size(), 2);
    EXPECT_EQ(messages[0].mailFrom, "bounce@example.org");
    EXPECT_EQ(messages[0].rcptTos, QStringList{"alert@example.org"});
    EXPECT_EQ(Header(messages[0].data, "Subject"), "Testing alert recipient settings");
    EXPECT_EQ(Body(messages[0].data),
              "This test email was sent to: alert@example.org\n\nIf you received this email it "
              "means that your Alert Settings are correct and you will receive email alerts from "
              "the tool.");
    EXPECT_EQ(messages[1].mailFrom, "bounce@example.org");
    EXPECT_EQ(messages[1].rcptTos, QStringList{"recovery@example.org"});
    EXPECT_EQ(Header(messages[1].data, "Subject"), "Testing recovery recipient settings");
    EXPECT_EQ(Body(messages[1].data),
              "This test email was sent to: recovery@example.org\n\nIf you received this email it "
              "means that your Recovery Settings are correct and you will receive recovery "
              "notices from the tool.");
    EXPECT_TRUE(m_notice.Texts().isEmpty());
}

TEST_F(EmailTest, FailedAlertTestSkipsTheRecoveryTest) {
    SmtpSink sink;
    ASSERT_TRUE(sink.Start(SmtpSink::Mode::RefuseRecipients));
    UseServer(QStringLiteral("127.0.0.1:%1").arg(sink.Port()));

    TestEmailSettings(nullptr, m_settings, m_smtp, m_prompt);

    // A recovery attempt would have been refused too and reported as failed.
    EXPECT_EQ(m_prompt.Texts(), QStringList{"Failed Alert Recipient test"});
    EXPECT_TRUE(sink.Messages().isEmpty());
    // The client said why, once, before the test's own box.
    ASSERT_EQ(m_notice.Texts().size(), 1);
    EXPECT_TRUE(m_notice.Texts()[0].startsWith("The following was received from SMTP server(4)"))
        << m_notice.Texts()[0].toStdString();
}

TEST_F(EmailTest, RecoveryFailureIsReportedAfterAlertSuccess) {
    SmtpSink sink;
    ASSERT_TRUE(sink.Start());
    UseServer(QStringLiteral("127.0.0.1:%1").arg(sink.Port()));
    // The server goes away between the two messages.
    m_prompt.onBox = [&sink](const RecordingPrompt::Box& box) {
        if (box.text == kAlertOk)
            sink.Stop();
    };

    TestEmailSettings(nullptr, m_settings, m_smtp, m_prompt);

    EXPECT_EQ(m_prompt.Texts(), (QStringList{kAlertOk, "Failed Recovery Recipient test"}));
    EXPECT_EQ(m_notice.Texts(), QStringList{"ERROR: Failed to connect to SMTP server"});
}

TEST_F(EmailTest, SilentServerKeepsTheWindowResponsiveBehindAModalProgress) {
    SilentListener silent;
    ASSERT_GT(silent.Port(), 0);
    UseServer(QStringLiteral("127.0.0.1:%1").arg(silent.Port()));
    m_smtp.SetTimeouts(5000, 1500);

    // Ticks of the UI thread's event loop while the exchange waits on the server.
    int ticks = 0;
    bool progressSeen = false;
    QTimer heartbeat;
    QObject::connect(&heartbeat, &QTimer::timeout, [&] {
        ++ticks;
        if (auto* progress = qobject_cast<QProgressDialog*>(QApplication::activeModalWidget()))
            progressSeen = progressSeen || progress->isVisible();
    });
    heartbeat.start(20);

    TestEmailSettings(nullptr, m_settings, m_smtp, m_prompt);
    heartbeat.stop();

    EXPECT_EQ(m_prompt.Texts(), QStringList{"Failed Alert Recipient test"});
    EXPECT_GE(silent.AcceptedCount(), 1);
    // 1.5 s of waiting at 20 ms a tick: a frozen loop would have given none.
    EXPECT_GE(ticks, 10);
    EXPECT_TRUE(progressSeen);
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

TEST_F(EmailTest, SettingsCommandStoresTheServerAndRunsTheTestOnYes) {
    SmtpSink sink;
    ASSERT_TRUE(sink.Start());
    EmailSettings settings;
    const QString server = QStringLiteral("127.0.0.1:%1").arg(sink.Port());
    WhenModal<CEmailSetupDlg>([server](CEmailSetupDlg* dialog) {
        dialog->AlertEdit()->setFocus();
        QTest::keyClicks(dialog->AlertEdit(), "oncall@example.org");
        dialog->ServerEdit()->setText(server);
        dialog->accept();
    });
    m_prompt.answers = {true};

    RunEmailSettings(nullptr, settings, m_smtp, m_prompt);

    ASSERT_EQ(m_prompt.boxes.size(), 3);
    EXPECT_TRUE(m_prompt.boxes[0].question);
    EXPECT_EQ(m_prompt.boxes[1].text, kAlertOk);
    EXPECT_EQ(m_prompt.boxes[2].text, kRecoveryOk);
    EXPECT_EQ(settings.returnAddress, "oncall@example.org");
    EXPECT_EQ(SettingsStore::ReadString("Settings", "SMTP"), server);
    ASSERT_TRUE(sink.WaitForMessages(2, kWaitMs));
    for (const SmtpSink::Message& message : sink.Messages()) {
        EXPECT_EQ(message.rcptTos, QStringList{"oncall@example.org"});
        // The client got the accepted sender at once.
        EXPECT_EQ(Header(message.data, "From"), "Trellion <oncall@example.org>");
    }
}

} // namespace
