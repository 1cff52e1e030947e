// "Tell a friend": defaults and remembered values, the checks, the footer rule, and what reaches
// a real SMTP server.
#include "ui/TellFriendDlg.h"
#include "mail/SmtpClient.h"
#include "settings/SettingsStore.h"
#include "tests/common/SmtpSink.h"
#include "tests/ui/dialogs/DialogTestSupport.h"
#include "ui/DialogCommands.h"

#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTest>

#include <gtest/gtest.h>

using namespace DialogTest;

namespace {

const QString kRule = QString(62, u'=');

TEST(FriendMessage, DefaultBodyIsAPersonalNoteWithTheProductPage) {
    const QString body = DefaultFriendBody();
    EXPECT_TRUE(body.startsWith("Hey,\r\n\r\nCheck out this new database monitor."));
    EXPECT_TRUE(body.contains("https://www.brenhollow.com/trellion"));
    EXPECT_TRUE(body.contains("\r\n\r\nAnyway, check it out and let me know what you think."
                              "\r\n\r\nSee ya!"));
    // CR LF throughout: no bare line feed.
    EXPECT_EQ(body.count("\n"), body.count("\r\n"));
    EXPECT_EQ(DefaultFriendSubject(), "Check out Trellion!");
}

TEST(FriendMessage, FooterOnlyWhenTheBodyLacksTheProductPage) {
    // Named with or without its scheme, the page is there: no footer.
    EXPECT_EQ(FriendMessageText(DefaultFriendBody()), DefaultFriendBody());
    EXPECT_EQ(FriendMessageText("see www.brenhollow.com/trellion now"),
              "see www.brenhollow.com/trellion now");

    const QString sent = FriendMessageText("Just try it.");
    EXPECT_TRUE(sent.startsWith("Just try it.\r\n\r\n\r\n" + kRule + "\r\n")) << sent.toStdString();
    EXPECT_EQ(sent.count(kRule), 1);
    EXPECT_EQ(sent.count("https://www.brenhollow.com/trellion"), 1);
    EXPECT_FALSE(sent.contains(kRule + "="));
    // A text that already went out once carries the page, so it is never doubled.
    EXPECT_EQ(FriendMessageText(sent), sent);
}

class TellFriend : public ::testing::Test {
protected:
    void Open(const QString& sender, const QString& subject, const QString& body) {
        m_dialog = std::make_unique<CTellFriendDlg>(sender, subject, body, m_prompt);
        m_dialog->show();
        QApplication::setActiveWindow(m_dialog.get());
        ASSERT_TRUE(QTest::qWaitForWindowActive(m_dialog.get()));
    }

    RecordingPrompt m_prompt;
    std::unique_ptr<CTellFriendDlg> m_dialog;
};

TEST_F(TellFriend, ChecksEachFieldInOrderButSendsItAsTyped) {
    Open("  ", "", "");
    EXPECT_EQ(m_dialog->windowTitle(), "Tell a friend");
    m_dialog->accept();
    m_dialog->SenderEdit()->setText(" me@example.org ");
    m_dialog->accept();
    m_dialog->RecipientEdit()->setText("   ");
    m_dialog->accept();
    m_dialog->RecipientEdit()->setText("friend@example.org");
    m_dialog->accept();
    m_dialog->SubjectEdit()->setText("Hi");
    m_dialog->BodyEdit()->setPlainText(" \n \n");
    m_dialog->accept();

    EXPECT_EQ(
        m_prompt.Texts(),
        (QStringList{"Please enter your email address", "Please enter your friend's email address",
                     "Please enter your friend's email address", "Please enter the email's subject",
                     "Please enter the email's body"}));
    ASSERT_EQ(m_prompt.boxes.size(), 5);
    EXPECT_EQ(m_prompt.boxes[0].focusAtTheTime, m_dialog->SenderEdit());
    EXPECT_EQ(m_prompt.boxes[1].focusAtTheTime, m_dialog->RecipientEdit());
    EXPECT_EQ(m_prompt.boxes[3].focusAtTheTime, m_dialog->SubjectEdit());
    EXPECT_EQ(m_prompt.boxes[4].focusAtTheTime, m_dialog->BodyEdit());
    EXPECT_EQ(m_dialog->result(), QDialog::Rejected);

    m_dialog->BodyEdit()->setPlainText("line one\nline two");
    m_dialog->accept();
    EXPECT_EQ(m_prompt.boxes.size(), 5);
    EXPECT_EQ(m_dialog->result(), QDialog::Accepted);
    EXPECT_EQ(m_dialog->Sender(), " me@example.org ");
    EXPECT_EQ(m_dialog->Body(), "line one\r\nline two");
}

TEST_F(TellFriend, TheBodyFieldTakesTheEnterKey) {
    Open("me@example.org", "Hi", "");
    m_dialog->BodyEdit()->setFocus();
    QTest::keyClicks(m_dialog->BodyEdit(), "a");
    QTest::keyClick(m_dialog->BodyEdit(), Qt::Key_Return);
    QTest::keyClicks(m_dialog->BodyEdit(), "b");
    EXPECT_TRUE(m_dialog->isVisible());
    EXPECT_EQ(m_dialog->Body(), "a\r\nb");
}

class TellFriendCommand : public ::testing::Test {
protected:
    void SetUp() override {
        ResetSettingsStore();
        ASSERT_TRUE(m_sink.Start());
        SettingsStore::WriteString("Settings", "SMTP",
                                   QStringLiteral("127.0.0.1:%1").arg(m_sink.Port()));
        m_settings.returnAddress = "bounce@example.org";
        m_settings.senderName = "Night Watch";
        m_smtp.SetSender(m_settings.senderName, m_settings.returnAddress);
        m_smtp.SetTimeouts(30000, 30000);
    }

    SmtpSink m_sink;
    EmailSettings m_settings;
    RecordingPrompt m_prompt;
    RecordingNotice m_notice;
    SmtpClient m_smtp{&m_notice};
};

TEST_F(TellFriendCommand, FirstUseProposesDefaultsThenRemembersWhatWasSent) {
    QString shownSender, shownSubject, shownBody, shownRecipient;
    WhenModal<CTellFriendDlg>([&](CTellFriendDlg* dialog) {
        shownSender = dialog->Sender();
        shownSubject = dialog->Subject();
        shownBody = dialog->Body();
        dialog->SenderEdit()->setText("me@example.org");
        dialog->RecipientEdit()->setText("friend@example.org");
        dialog->SubjectEdit()->setText("Look at this");
        // The user removes the page from the body: the footer brings it back.
        dialog->BodyEdit()->setPlainText("It watches my databases.\nTry it.");
        dialog->accept();
    });
    RunTellFriend(nullptr, m_settings, m_smtp, m_prompt);

    EXPECT_EQ(shownSender, "bounce@example.org");
    EXPECT_EQ(shownSubject, "Check out Trellion!");
    EXPECT_EQ(shownBody, DefaultFriendBody());
    ASSERT_TRUE(m_sink.WaitForMessages(1, kWaitMs));
    const SmtpSink::Message sent = m_sink.Messages().constFirst();
    EXPECT_EQ(sent.mailFrom, "me@example.org");
    EXPECT_EQ(sent.rcptTos, QStringList{"friend@example.org"});
    // Only the envelope sender is the typed one.
    EXPECT_TRUE(sent.data.contains("From: Night Watch <bounce@example.org>\r\n"));
    EXPECT_TRUE(sent.data.contains("Subject: Look at this\r\n"));
    EXPECT_TRUE(sent.data.contains("It watches my databases.\r\nTry it.\r\n\r\n\r\n" +
                                   kRule.toLatin1() + "\r\n"));
    EXPECT_EQ(sent.data.count(kRule.toLatin1()), 1);
    EXPECT_TRUE(m_prompt.boxes.isEmpty()); // no confirmation on success

    // Remembered without the footer, so a second send does not double it.
    EXPECT_EQ(SettingsStore::ReadString("Settings", "LastFriendFrom"), "me@example.org");
    EXPECT_EQ(SettingsStore::ReadString("Settings", "LastFriendSubject"), "Look at this");
    EXPECT_EQ(SettingsStore::ReadString("Settings", "LastFriendBody"),
              "It watches my databases.\r\nTry it.");

    WhenModal<CTellFriendDlg>([&](CTellFriendDlg* dialog) {
        shownSender = dialog->Sender();
        shownSubject = dialog->Subject();
        shownBody = dialog->Body();
        shownRecipient = dialog->Recipient();
        dialog->RecipientEdit()->setText("other@example.org");
        dialog->accept();
    });
    RunTellFriend(nullptr, m_settings, m_smtp, m_prompt);
    EXPECT_EQ(shownSender, "me@example.org");
    EXPECT_EQ(shownSubject, "Look at this");
    EXPECT_EQ(shownBody, "It watches my databases.\r\nTry it.");
    EXPECT_EQ(shownRecipient, "");
    ASSERT_TRUE(m_sink.WaitForMessages(2, kWaitMs));
    EXPECT_EQ(m_sink.Messages()[1].data.count(kRule.toLatin1()), 1);
}

TEST_F(TellFriendCommand, BodyWithThePageGoesOutWithoutFooter) {
    WhenModal<CTellFriendDlg>([](CTellFriendDlg* dialog) {
        dialog->RecipientEdit()->setText("friend@example.org");
        dialog->accept();
    });
    RunTellFriend(nullptr, m_settings, m_smtp, m_prompt);
    ASSERT_TRUE(m_sink.WaitForMessages(1, kWaitMs));
    const QByteArray data = m_sink.Messages().constFirst().data;
    EXPECT_FALSE(data.contains(kRule.toLatin1()));
    EXPECT_EQ(data.count("www.brenhollow.com/trellion"), 1);
    EXPECT_TRUE(data.contains("See ya!"));
}

TEST_F(TellFriendCommand, CancelSendsAndStoresNothing) {
    WhenModal<CTellFriendDlg>([](CTellFriendDlg* dialog) {
        dialog->RecipientEdit()->setText("friend@example.org");
        dialog->SubjectEdit()->setText("changed");
        dialog->reject();
    });
    RunTellFriend(nullptr, m_settings, m_smtp, m_prompt);
    EXPECT_EQ(SettingsStore::ReadString("Settings", "LastFriendSubject", "<unset>"), "<unset>");
    EXPECT_FALSE(m_sink.WaitForMessages(1, 500));
}

TEST_F(TellFriendCommand, UndeliveredMessageIsStillRemembered) {
    m_sink.Stop();
    WhenModal<CTellFriendDlg>([](CTellFriendDlg* dialog) {
        dialog->RecipientEdit()->setText("friend@example.org");
        dialog->SubjectEdit()->setText("Unsent");
        dialog->accept();
    });
    RunTellFriend(nullptr, m_settings, m_smtp, m_prompt);
    // The client's own message is all the user sees.
    EXPECT_EQ(m_notice.Texts(), QStringList{"ERROR: Failed to connect to SMTP server"});
    EXPECT_TRUE(m_prompt.boxes.isEmpty());
    EXPECT_EQ(SettingsStore::ReadString("Settings", "LastFriendSubject"), "Unsent");
    EXPECT_EQ(SettingsStore::ReadString("Settings", "LastFriendFrom"), "bounce@example.org");
}

} // namespace
