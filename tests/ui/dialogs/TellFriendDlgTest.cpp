// "Tell a friend": the checks, the footer rule, remembered values, and what reaches a real SMTP
// server or, when none answers, the user.
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

TEST(FriendMessage, FooterOnlyWhenTheBodyLacksTheProductPageAndNeverTwice) {
    for (const QString& body : {DefaultFriendBody(), QString("see www.brenhollow.com/trellion")})
        EXPECT_EQ(FriendMessageText(body), body);
    const QString sent = FriendMessageText("Just try it.");
    EXPECT_TRUE(sent.startsWith("Just try it.\r\n\r\n\r\n" + kRule + "\r\n")) << sent.toStdString();
    EXPECT_EQ(sent.count("https://www.brenhollow.com/trellion"), 1);
    EXPECT_EQ(FriendMessageText(sent), sent);
}

TEST(TellFriendDlg, ChecksEachFieldInOrderButKeepsItAsTyped) {
    RecordingPrompt prompt;
    CTellFriendDlg dialog(" ", "", "", prompt);
    dialog.show();
    QApplication::setActiveWindow(&dialog);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&dialog));
    const QList<std::function<void()>> fixes = {
        [&] { dialog.SenderEdit()->setText(" me@example.org "); },
        [&] { dialog.RecipientEdit()->setText("friend@example.org"); },
        [&] { dialog.SubjectEdit()->setText("Hi"); },
        [&] {
            dialog.BodyEdit()->setFocus();
            QTest::keyClicks(dialog.BodyEdit(), "a");
            QTest::keyClick(dialog.BodyEdit(), Qt::Key_Return); // a new line, not OK
            QTest::keyClicks(dialog.BodyEdit(), "b");
        }};
    const QList<QWidget*> fields = {dialog.SenderEdit(), dialog.RecipientEdit(),
                                    dialog.SubjectEdit(), dialog.BodyEdit()};
    const QStringList texts = {"Please enter your email address",
                               "Please enter your friend's email address",
                               "Please enter the email's subject", "Please enter the email's body"};
    for (int i = 0; i < 4; ++i) {
        dialog.accept();
        ASSERT_EQ(prompt.boxes.size(), i + 1);
        EXPECT_EQ(prompt.boxes[i].text, texts[i]);
        EXPECT_EQ(prompt.boxes[i].focusAtTheTime, fields[i]);
        fixes[i]();
    }
    dialog.accept();
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(dialog.Sender(), " me@example.org ");
    EXPECT_EQ(dialog.Body(), "a\r\nb");
}

TEST(TellFriendCommand, ProposesDefaultsRemembersWhatWasSentAndReportsAFailure) {
    ResetSettingsStore();
    SmtpSink sink;
    ASSERT_TRUE(sink.Start());
    SettingsStore::WriteString("Settings", "SMTP", QStringLiteral("127.0.0.1:%1").arg(sink.Port()));
    EmailSettings settings;
    settings.returnAddress = "bounce@example.org";
    RecordingPrompt prompt;
    RecordingNotice notice;
    SmtpClient smtp(&notice);
    smtp.SetSender("Night Watch", settings.returnAddress);
    QStringList shown;
    const auto send = [&](const QString& to, const QString& body, bool ok = true) {
        WhenModal<CTellFriendDlg>([&, to, body, ok](CTellFriendDlg* dialog) {
            shown = QStringList{dialog->Sender(), dialog->Subject(), dialog->Body()};
            dialog->RecipientEdit()->setText(to);
            if (!body.isEmpty())
                dialog->BodyEdit()->setPlainText(body);
            ok ? dialog->accept() : dialog->reject();
        });
        RunTellFriend(nullptr, settings, smtp, prompt);
    };

    send("friend@example.org", "", false); // cancelled: nothing sent, nothing stored
    EXPECT_EQ(shown,
              (QStringList{"bounce@example.org", "Check out Trellion!", DefaultFriendBody()}));
    send("friend@example.org", "It watches my databases.\nTry it.");
    ASSERT_TRUE(sink.WaitForMessages(1, kWaitMs));
    const SmtpSink::Message sent = sink.Messages().constFirst();
    EXPECT_EQ(sent.rcptTos, QStringList{"friend@example.org"});
    EXPECT_TRUE(sent.data.contains("From: Night Watch <bounce@example.org>\r\n"));
    EXPECT_TRUE(sent.data.contains("Subject: Check out Trellion!\r\n"));
    EXPECT_TRUE(sent.data.contains("It watches my databases.\r\nTry it.\r\n\r\n\r\n" +
                                   kRule.toLatin1() + "\r\n"));
    EXPECT_TRUE(prompt.boxes.isEmpty()); // no confirmation on success

    // Undelivered: one box says why; the text is remembered all the same, without the footer.
    sink.Stop();
    send("other@example.org", "Second try.");
    EXPECT_EQ(shown[2], "It watches my databases.\r\nTry it.");
    ASSERT_EQ(prompt.boxes.size(), 1);
    EXPECT_TRUE(
        prompt.boxes[0].text.startsWith("Your message to other@example.org was not sent.\n\n"));
    EXPECT_TRUE(notice.Texts().isEmpty());
    EXPECT_EQ(SettingsStore::ReadString("Settings", "LastFriendBody"), "Second try.");
    EXPECT_EQ(SettingsStore::ReadString("Settings", "LastFriendFrom"), "bounce@example.org");
}

} // namespace
