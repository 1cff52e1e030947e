// Every failure row of the dialogue, against a scripted peer that answers as told.
#include "mail/SmtpClient.h"
#include "settings/SettingsStore.h"
#include "tests/common/ScriptedSmtpPeer.h"
#include "tests/common/RecordingNotice.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using Peer = ScriptedSmtpPeer;
using Heard = QList<QByteArray>;

QString Received(int number, const QString& reply) {
    return QStringLiteral("The following was received from SMTP server(%1):\n\n").arg(number) +
           reply;
}

class SmtpFailures : public ::testing::Test {
protected:
    // Short reply limit for the silent cases; far above any loopback reply otherwise.
    void SetUp() override { m_client.SetTimeouts(5000, 5000); }

    void UseServer(const QString& text) {
        ASSERT_TRUE(
            SettingsStore::WriteString(QStringLiteral("Settings"), QStringLiteral("SMTP"), text));
    }
    QString ServerOf(const Peer& peer) const {
        return QStringLiteral("127.0.0.1:%1").arg(peer.Port());
    }
    // Plays `script`, sends one message through it and returns the client's result.
    bool Send(Peer& peer, const QList<Peer::Step>& script) {
        EXPECT_TRUE(peer.Start(script));
        UseServer(ServerOf(peer));
        return m_client.SendMail(QStringLiteral("alerts@example.org"),
                                 QStringLiteral("ops@example.com"), QStringLiteral("Subject"),
                                 QStringLiteral("Body"));
    }
    QByteArray Helo(const Peer& peer) const { return "HELO " + ServerOf(peer).toLatin1(); }

    RecordingNotice m_notice;
    SmtpClient m_client{&m_notice};
};

// The dialogue up to the point where the peer wants to deviate.
QList<Peer::Step> UpToMail() {
    return {Peer::Say("220 ready\r\n"), Peer::Hear(), Peer::Say("250 hello\r\n"), Peer::Hear()};
}

TEST_F(SmtpFailures, CompleteDialogueSendsTheFixedCommandsAndNoQuit) {
    Peer peer;
    ASSERT_TRUE(
        Send(peer, UpToMail() + QList<Peer::Step>{Peer::Say("250 sender ok\r\n"), Peer::Hear(),
                                                  Peer::Say("250 recipient ok\r\n"), Peer::Hear(),
                                                  Peer::Say("354 go ahead\r\n"), Peer::HearData(),
                                                  Peer::Say("250 queued\r\n")}));
    const Heard heard = peer.Finish();
    ASSERT_EQ(heard.size(), 5) << heard.join('|').constData();
    EXPECT_EQ(heard[0], Helo(peer));
    EXPECT_EQ(heard[1], "MAIL FROM: alerts@example.org");
    EXPECT_EQ(heard[2], "RCPT TO: ops@example.com"); // the plain form only
    EXPECT_EQ(heard[3], "DATA");
    EXPECT_TRUE(heard[4].endsWith("\r\n\r\nBody\r\n.\r\n"));
    EXPECT_TRUE(m_notice.Texts().isEmpty());
}

TEST_F(SmtpFailures, ConnectionRefused) {
    // A port that was free a moment ago: nothing listens there.
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length), 0);
    ::close(fd);
    UseServer(QStringLiteral("127.0.0.1:%1").arg(ntohs(address.sin_port)));
    EXPECT_FALSE(m_client.SendMail(QStringLiteral("a@example.org"), QStringLiteral("b@example.org"),
                                   QStringLiteral("s"), QStringLiteral("b")));
    EXPECT_EQ(m_notice.Texts(),
              QStringList{QStringLiteral("ERROR: Failed to connect to SMTP server")});
}

TEST_F(SmtpFailures, ConnectionThatNeverCompletesEndsAtTheConnectLimit) {
    // A listener with a full accept queue: the kernel drops further SYNs, so connect() waits.
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 0), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const int filler = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(::connect(filler, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);

    UseServer(QStringLiteral("127.0.0.1:%1").arg(ntohs(address.sin_port)));
    m_client.SetTimeouts(500, 5000);
    QElapsedTimer timer;
    timer.start();
    EXPECT_FALSE(m_client.SendMail(QStringLiteral("a@example.org"), QStringLiteral("b@example.org"),
                                   QStringLiteral("s"), QStringLiteral("b")));
    EXPECT_LT(timer.elapsed(), 30000);
    EXPECT_EQ(m_notice.Texts(),
              QStringList{QStringLiteral("ERROR: Failed to connect to SMTP server")});
    ::close(filler);
    ::close(listener);
}

TEST_F(SmtpFailures, UnusableServerTextFailsBeforeConnecting) {
    for (const QString& text :
         {QStringLiteral("no-such-host.invalid"), QStringLiteral("no-such-host.invalid:2525"),
          QStringLiteral("127.0.0.1:0"), QStringLiteral("127.0.0.1:65536")}) {
        UseServer(text);
        EXPECT_FALSE(m_client.SendMail(QStringLiteral("a@example.org"),
                                       QStringLiteral("b@example.org"), QStringLiteral("s"),
                                       QStringLiteral("b")))
            << text.toStdString();
    }
    EXPECT_EQ(m_notice.Texts(),
              QStringList(4, QStringLiteral("ERROR: Failed to contact SMTP server")));
}

TEST_F(SmtpFailures, RefusingGreetingGetsNoCommand) {
    Peer peer;
    EXPECT_FALSE(Send(peer, {Peer::Say("554 no service here\r\n")}));
    EXPECT_TRUE(peer.Finish().isEmpty());
    EXPECT_EQ(m_notice.Texts(),
              QStringList{Received(1, QStringLiteral("554 no service here\r\n"))});
}

TEST_F(SmtpFailures, HeloRefusedEndsWithoutReset) {
    Peer peer;
    EXPECT_FALSE(
        Send(peer, {Peer::Say("220 ready\r\n"), Peer::Hear(), Peer::Say("501 bad name\r\n")}));
    EXPECT_EQ(peer.Finish(), Heard{Helo(peer)});
    EXPECT_EQ(m_notice.Texts(), QStringList{Received(2, QStringLiteral("501 bad name\r\n"))});
}

TEST_F(SmtpFailures, SenderRefusedThenReset) {
    Peer peer;
    EXPECT_FALSE(
        Send(peer, UpToMail() + QList<Peer::Step>{Peer::Say("550 not you\r\n"), Peer::Hear(),
                                                  Peer::Say("250 reset\r\n")}));
    EXPECT_EQ(peer.Finish(), (Heard{Helo(peer), "MAIL FROM: alerts@example.org", "RSET"}));
    EXPECT_EQ(m_notice.Texts(), QStringList{Received(3, QStringLiteral("550 not you\r\n"))});
}

TEST_F(SmtpFailures, PlainRecipientRefusedBracketedAccepted) {
    Peer peer;
    EXPECT_TRUE(
        Send(peer, UpToMail() + QList<Peer::Step>{Peer::Say("250 ok\r\n"), Peer::Hear(),
                                                  Peer::Say("501 syntax: use brackets\r\n"),
                                                  Peer::Hear(), Peer::Say("250 ok\r\n"),
                                                  Peer::Hear(), Peer::Say("354 go\r\n"),
                                                  Peer::HearData(), Peer::Say("250 queued\r\n")}));
    const Heard heard = peer.Finish();
    ASSERT_EQ(heard.size(), 6);
    EXPECT_EQ(heard[2], "RCPT TO: ops@example.com");
    EXPECT_EQ(heard[3], "RCPT TO: <ops@example.com>");
    EXPECT_EQ(heard[4], "DATA");
    EXPECT_TRUE(m_notice.Texts().isEmpty());
}

TEST_F(SmtpFailures, BothRecipientFormsRefusedShowsTheSecondReplyThenReset) {
    Peer peer;
    EXPECT_FALSE(
        Send(peer, UpToMail() + QList<Peer::Step>{Peer::Say("250 ok\r\n"), Peer::Hear(),
                                                  Peer::Say("550 first refusal\r\n"), Peer::Hear(),
                                                  Peer::Say("550 second refusal\r\n"), Peer::Hear(),
                                                  Peer::Say("250 reset\r\n")}));
    const Heard heard = peer.Finish();
    ASSERT_EQ(heard.size(), 5);
    EXPECT_EQ(heard[4], "RSET");
    EXPECT_EQ(m_notice.Texts(), QStringList{Received(4, QStringLiteral("550 second refusal\r\n"))});
}

TEST_F(SmtpFailures, DataRefusedThenReset) {
    Peer peer;
    EXPECT_FALSE(
        Send(peer, UpToMail() + QList<Peer::Step>{Peer::Say("250 ok\r\n"), Peer::Hear(),
                                                  Peer::Say("250 ok\r\n"), Peer::Hear(),
                                                  Peer::Say("451 try later\r\n"), Peer::Hear(),
                                                  Peer::Say("250 reset\r\n")}));
    const Heard heard = peer.Finish();
    ASSERT_EQ(heard.size(), 5);
    EXPECT_EQ(heard[3], "DATA");
    EXPECT_EQ(heard[4], "RSET");
    EXPECT_EQ(m_notice.Texts(), QStringList{Received(5, QStringLiteral("451 try later\r\n"))});
}

TEST_F(SmtpFailures, MessageRefusedShowsNothingThenReset) {
    Peer peer;
    EXPECT_FALSE(
        Send(peer, UpToMail() + QList<Peer::Step>{Peer::Say("250 ok\r\n"), Peer::Hear(),
                                                  Peer::Say("250 ok\r\n"), Peer::Hear(),
                                                  Peer::Say("354 go\r\n"), Peer::HearData(),
                                                  Peer::Say("554 spam\r\n"), Peer::Hear(),
                                                  Peer::Say("250 reset\r\n")}));
    const Heard heard = peer.Finish();
    ASSERT_EQ(heard.size(), 6);
    EXPECT_EQ(heard[5], "RSET");
    EXPECT_TRUE(m_notice.Texts().isEmpty());
}

TEST_F(SmtpFailures, RepliesInPiecesAndMultiLineRepliesKeepTheStepsInLine) {
    Peer peer;
    EXPECT_TRUE(Send(peer, {Peer::Say("220-mail.example.org welcome\r\n220-more text\r\n"),
                            Peer::Pause(200), Peer::Say("220 ready\r\n"), Peer::Hear(),
                            Peer::Say("25"), Peer::Pause(200), Peer::Say("0-hello\r\n250-PIPE"),
                            Peer::Pause(200), Peer::Say("LINING\r\n250 8BITMIME\r\n"), Peer::Hear(),
                            Peer::Say("250 ok\r"), Peer::Pause(200), Peer::Say("\n"), Peer::Hear(),
                            Peer::Say("250 ok\r\n"), Peer::Hear(), Peer::Say("354 go\r\n"),
                            Peer::HearData(), Peer::Say("250-queued\n250 as 12\n")}));
    EXPECT_EQ(peer.Finish().size(), 5);
    EXPECT_TRUE(m_notice.Texts().isEmpty());
}

TEST_F(SmtpFailures, RefusalTextShowsTheWholeMultiLineReply) {
    Peer peer;
    EXPECT_FALSE(Send(peer, {Peer::Say("554-this server\r\n554 does not take mail\r\n")}));
    EXPECT_EQ(
        m_notice.Texts(),
        QStringList{Received(1, QStringLiteral("554-this server\r\n554 does not take mail\r\n"))});
}

TEST_F(SmtpFailures, SilentServerFailsAfterTheReplyLimit) {
    m_client.SetTimeouts(5000, 300);
    Peer peer;
    QElapsedTimer timer;
    timer.start();
    EXPECT_FALSE(Send(peer, {Peer::Hang()}));
    EXPECT_LT(timer.elapsed(), 30000);
    EXPECT_TRUE(peer.Finish().isEmpty());
    EXPECT_EQ(m_notice.Texts(), QStringList{Received(1, QString())});
}

TEST_F(SmtpFailures, SilenceAfterAFirstRecipientFormDoesNotTryTheSecond) {
    m_client.SetTimeouts(5000, 300);
    Peer peer;
    EXPECT_FALSE(Send(
        peer, UpToMail() + QList<Peer::Step>{Peer::Say("250 ok\r\n"), Peer::Hear(), Peer::Hang()}));
    const Heard heard = peer.Finish();
    ASSERT_EQ(heard.size(), 3);
    EXPECT_EQ(heard[2], "RCPT TO: ops@example.com");
    EXPECT_EQ(m_notice.Texts(), QStringList{Received(4, QString())});
}

TEST_F(SmtpFailures, SilenceAfterTheMessageFailsQuietly) {
    m_client.SetTimeouts(5000, 300);
    Peer peer;
    EXPECT_FALSE(Send(peer, UpToMail() + QList<Peer::Step>{Peer::Say("250 ok\r\n"), Peer::Hear(),
                                                           Peer::Say("250 ok\r\n"), Peer::Hear(),
                                                           Peer::Say("354 go\r\n"),
                                                           Peer::HearData(), Peer::Hang()}));
    EXPECT_EQ(peer.Finish().size(), 5); // no RSET into a connection in an unknown state
    EXPECT_TRUE(m_notice.Texts().isEmpty());
}

TEST_F(SmtpFailures, BinaryReplyEndsAtItsFirstNul) {
    Peer peer;
    EXPECT_FALSE(Send(peer, {Peer::Say(QByteArray("554 no\0\x01\x02\xff\r\n", 12))}));
    EXPECT_EQ(m_notice.Texts(), QStringList{Received(1, QStringLiteral("554 no"))});
}

TEST_F(SmtpFailures, OversizedRepliesFailWithoutWaitingForTheLimit) {
    m_client.SetTimeouts(5000, 120000);
    {
        // One endless line.
        Peer peer;
        QElapsedTimer timer;
        timer.start();
        EXPECT_FALSE(Send(peer, {Peer::Say(QByteArray(70000, 'A')), Peer::Hang()}));
        EXPECT_LT(timer.elapsed(), 60000);
    }
    {
        // An endless multi-line greeting.
        QByteArray lines;
        while (lines.size() <= SmtpClient::kMaxReplyBytes)
            lines += "220-" + QByteArray(76, 'x') + "\r\n";
        Peer peer;
        EXPECT_FALSE(Send(peer, {Peer::Say(lines), Peer::Say("220 done\r\n")}));
    }
    EXPECT_EQ(m_notice.Texts(), QStringList(2, Received(1, QString())));
}

TEST_F(SmtpFailures, DroppedConnectionMidDialogue) {
    {
        Peer peer;
        EXPECT_FALSE(Send(peer, UpToMail() + QList<Peer::Step>{Peer::Drop()}));
    }
    EXPECT_EQ(m_notice.Texts(), QStringList{Received(3, QString())});
    {
        // Gone while the message is on its way: a send or the reply fails, nothing is shown.
        Peer peer;
        EXPECT_FALSE(
            Send(peer, UpToMail() + QList<Peer::Step>{Peer::Say("250 ok\r\n"), Peer::Hear(),
                                                      Peer::Say("250 ok\r\n"), Peer::Hear(),
                                                      Peer::Say("354 go\r\n"), Peer::Drop()}));
    }
    EXPECT_EQ(m_notice.Texts().size(), 1);
}

TEST_F(SmtpFailures, LineBreaksCannotAddCommands) {
    Peer peer;
    ASSERT_TRUE(peer.Start(UpToMail() + QList<Peer::Step>{Peer::Say("250 ok\r\n"), Peer::Hear(),
                                                          Peer::Say("250 ok\r\n"), Peer::Hear(),
                                                          Peer::Say("354 go\r\n"), Peer::HearData(),
                                                          Peer::Say("250 queued\r\n")}));
    // inet_addr stops at the blank a line break starts, so this still reaches the peer.
    UseServer(QStringLiteral("127.0.0.1\r\nNOOP:%1").arg(peer.Port()));
    EXPECT_TRUE(m_client.SendMail(QStringLiteral("a@example.org\r\nRCPT TO:<evil@example.org>"),
                                  QStringLiteral("ops@example.com\nDATA"), QStringLiteral("s"),
                                  QStringLiteral("b")));
    const Heard heard = peer.Finish();
    ASSERT_EQ(heard.size(), 5) << heard.join('|').constData();
    EXPECT_EQ(heard[0], QStringLiteral("HELO 127.0.0.1 NOOP:%1").arg(peer.Port()).toLatin1());
    EXPECT_EQ(heard[1], "MAIL FROM: a@example.org RCPT TO:<evil@example.org>");
    EXPECT_EQ(heard[2], "RCPT TO: ops@example.com DATA");
    EXPECT_EQ(heard[3], "DATA");
    EXPECT_TRUE(heard[4].contains("\r\nTo: <ops@example.com DATA>\r\n"));
}

} // namespace
