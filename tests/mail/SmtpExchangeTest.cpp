// Whole exchanges against a real SMTP server (aiosmtpd on loopback, with TLS and logins from a
// test CA; a standard mail library reads what arrived) and, for what no real server does on
// demand, against a scripted peer. Every failure has its text and ends within the limits.
#include "mail/SmtpClient.h"
#include "mail/SmtpGreeting.h"
#include "settings/EmailSettings.h"
#include "settings/SettingsStore.h"
#include "tests/common/RecordingNotice.h"
#include "tests/common/ScriptedSmtpPeer.h"
#include "tests/common/SmtpSink.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QSet>

inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

namespace {

using Peer = ScriptedSmtpPeer;
const QString kPassword = "pässwörd";

// What the client greets with from this computer over IPv4 loopback.
QString ThisComputer() {
    const QByteArray name = SmtpGreeting::FullyQualifiedHostName();
    return name.isEmpty() ? QStringLiteral("[127.0.0.1]") : QString::fromUtf8(name);
}

// The server and its login are stored as the e-mail dialog stores them; a send takes them from
// there (EmailSettingsStore::ForSending) with the sender and any keyring password held.
void UseSettings(const QString& server, int security, bool auth, const QString& password) {
    qputenv("SSL_CERT_FILE", SmtpSink::CaFile().toLocal8Bit());
    SettingsStore::WriteString("Settings", "SMTP", server);
    SettingsStore::WriteInt("Settings", "SMTPSecurity", security);
    SettingsStore::WriteInt("Settings", "SMTPAuth", auth ? 1 : 0);
    SettingsStore::WriteString("Settings", "SMTPUsername", "watch");
    SettingsStore::WriteString("Settings", "SMTPPassword", password);
}

TEST(SmtpDelivery, SecurityLoginAndCertificateRows) {
    const QStringList tls{"--tls", "starttls"}, implicit{"--tls", "implicit"};
    const QStringList login{"--login", "watch:" + kPassword};
    const QString session = "EHLO STARTTLS EHLO+tls AUTH+tls MAIL+tls RCPT+tls RCPT+tls DATA+tls";
    using M = SmtpSink::Mode;
    // The port is added to `host`; no `failure`: delivered; no `session`: never past TLS
    // clang-format off
    const struct { QStringList sink; M mode; QString host; int security; bool auth; QString password, failure, session; } rows[] = {
        {{}, M::Accept, "127.0.0.1", 0, false, {}, {}, "HELO MAIL RCPT RCPT DATA"},
        {tls + login, M::Accept, "localhost", 1, true, kPassword, {}, session},
        // No password in the store: the one handed over from the keyring.
        {tls + login + QStringList{"--mechanisms", "LOGIN"}, M::Accept, "localhost", 1, true, {}, {}, session},
        {implicit + login, M::Accept, "127.0.0.1", 2, true, kPassword, {}, "EHLO+tls AUTH+tls MAIL+tls RCPT+tls RCPT+tls DATA+tls"},
        // Loopback: the password may go unencrypted.
        {login, M::Accept, "localhost", 0, true, kPassword, {}, "EHLO AUTH MAIL RCPT RCPT DATA"},
        {tls + login, M::Accept, "localhost", 1, true, "wrong",
         "Authentication failed:\n\n535 5.7.8 Authentication credentials invalid\r\n", "EHLO STARTTLS EHLO+tls AUTH+tls"},
        {tls, M::Accept, "localhost", 1, true, kPassword, "Authentication failed: the mail server offers no login", "EHLO STARTTLS EHLO+tls"},
        // AUTH is offered in plain text here, and still never sent before TLS.
        {login, M::Accept, "localhost", 1, true, kPassword, "The mail server does not offer STARTTLS, so the connection cannot be encrypted", "EHLO"},
        {tls + login + QStringList{"--cert", "untrusted"}, M::Accept, "localhost", 1, true, kPassword,
         "The mail server's certificate could not be verified: self-signed certificate", "EHLO STARTTLS"},
        {implicit + login + QStringList{"--cert", "wronghost"}, M::Accept, "localhost", 2, true, kPassword,
         "The mail server's certificate could not be verified: hostname mismatch", {}},
        {tls, M::RefuseRecipients, "localhost", 1, false, {}, "The following was received from SMTP server(4) for ops@example.com:\n\n"
         "554 5.7.1 Recipient refused by the test sink\r\n", "EHLO STARTTLS EHLO+tls MAIL+tls RCPT+tls RSET+tls"},
    };
    // clang-format on
    SmtpClient client(nullptr);       // every failure goes to `failure`
    client.SetTimeouts(30000, 30000); // a loaded machine must not turn into a failure
    EmailSettings held;
    held.senderName = "Surveillé, équipe";
    held.returnAddress = "monitor@example.org";
    held.password = kPassword; // as the keyring handed it over
    for (const auto& row : rows) {
        SCOPED_TRACE(row.sink.join(' ').toStdString() + " security " +
                     std::to_string(row.security));
        SmtpSink sink;
        ASSERT_TRUE(sink.Start(row.mode, row.sink));
        UseSettings(row.host + ':' + QString::number(sink.Port()), row.security, row.auth,
                    row.password);
        QString failure;
        EXPECT_EQ(client.SendMail(EmailSettingsStore::ForSending(held), "monitor@example.org",
                                  "ops@example.com; second@example.org",
                                  "Base « Comptabilité » injoignable", "Première\n.point\nfin",
                                  {&failure, nullptr}),
                  row.failure.isEmpty());
        EXPECT_EQ(failure, row.failure);
        EXPECT_EQ(sink.Sessions(1, row.session.isEmpty() ? 1000 : 30000),
                  row.session.isEmpty() ? QStringList() : QStringList{row.session});
        const QList<SmtpSink::Message> messages = sink.Messages();
        ASSERT_EQ(messages.size(), row.failure.isEmpty() ? 1 : 0);
        if (!row.failure.isEmpty())
            continue;
        // This computer's name, whatever the server was called.
        EXPECT_EQ(messages[0].helo, ThisComputer());
        EXPECT_EQ(messages[0].rcptTos, QStringList({"ops@example.com", "second@example.org"}));
        const QJsonObject parsed = messages[0].parsed;
        EXPECT_EQ(parsed["subject"].toString(), "Base « Comptabilité » injoignable");
        EXPECT_EQ(parsed["from"].toString(), "\"Surveillé, équipe\" <monitor@example.org>");
        EXPECT_NE(parsed["date"].toString(), "") << messages[0].data.constData();
        EXPECT_EQ(parsed["defects"].toInt(-1), 0);
        EXPECT_EQ(parsed["body"].toString(), "Première\r\n.point\r\nfin\r\n");
        // 8-bit only where EHLO announced 8BITMIME.
        EXPECT_TRUE(messages[0].data.contains(
            row.security || row.auth ? "Encoding: 8bit\r\n" : "Encoding: quoted-printable\r\n"));
    }
}

TEST(SmtpDelivery, ConcurrentTlsDeliveriesEachUseTheirOwnConnection) {
    SmtpSink sink;
    ASSERT_TRUE(sink.Start(SmtpSink::Mode::Accept, {"--tls", "starttls", "--login", "watch:pw"}));
    UseSettings("localhost:" + QString::number(sink.Port()), 1, true, "pw");
    RecordingNotice notice;
    SmtpClient client(&notice);
    client.SetTimeouts(30000, 30000);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 3; ++i)
                client.SendMail(EmailSettingsStore::ForSending({}), "monitor@example.org",
                                QString("slot%1@example.com").arg(t),
                                QString("slot %1 message %2").arg(t).arg(i), QString::number(t));
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_TRUE(notice.Texts().isEmpty());
    ASSERT_TRUE(sink.WaitForMessages(12, 30000));
    QSet<QString> ids;
    for (const SmtpSink::Message& message : sink.Messages()) {
        const QString subject = message.parsed["subject"].toString();
        ids.insert(message.parsed["message_id"].toString());
        // No crossed dialogues: each message went to its own recipient with its own body.
        EXPECT_EQ(message.rcptTos, QStringList{QString("slot%1@example.com").arg(subject[5])});
        EXPECT_EQ(message.parsed["body"].toString(), subject[5] + QString("\r\n"));
    }
    EXPECT_EQ(ids.size(), 12);
}

TEST(SmtpFailures, EachStepFailsWithItsTextAndSendsNothingMore) {
    const auto Received = [](int n, const QString& reply) {
        return QString("The following was received from SMTP server(%1):\n\n").arg(n) + reply;
    };
    using Script = QList<QByteArray>;
    const QByteArray hear = Peer::kHear, helo = "HELO " + ThisComputer().toUtf8(),
                     ehlo = "EHLO " + ThisComputer().toUtf8();
    const QByteArray mail = "MAIL FROM: alerts@example.org", rcpt = "RCPT TO: ops@example.com";
    const Script upToMail{"220 ready\r\n", hear, "250 hello\r\n", hear};
    const Script upToData = upToMail + Script{"250 ok\r\n", hear, "250 ok\r\n", hear};
    const Script tls{"220 ready\r\n", hear, "250-hi\r\n250-AUTH PLAIN\r\n250 STARTTLS\r\n", hear};
    const QString noAnswer = "No answer from the mail server within 1 s";
    const QString contact = "ERROR: Failed to contact SMTP server";
    // No `failure`: delivered; `heard` has the message as "<message>"
    // clang-format off
    const struct { int security; Script script; QString failure; QList<QByteArray> heard; int cancelMs = 0; QString server = {}, to = "ops@example.com"; } rows[] = {
        {0, upToData + Script{"354 go\r\n", Peer::kData, "250 queued\r\n"}, {}, {helo, mail, rcpt, "DATA", "<message>"}},
        {0, {"554-this server\r\n554 takes no mail\r\n"}, Received(1, "554-this server\r\n554 takes no mail\r\n"), {}},
        {0, {"220 ready\r\n", hear, "501 bad name\r\n"}, Received(2, "501 bad name\r\n"), {helo}},
        {0, upToMail + Script{"550 not you\r\n", hear, "250 reset\r\n"}, Received(3, "550 not you\r\n"), {helo, mail, "RSET"}},
        // The bracketed form only after the plain one was refused.
        {0, upToMail + Script{"250 ok\r\n", hear, "501 brackets\r\n", hear, "550 unknown\r\n", hear},
         "The following was received from SMTP server(4) for ops@example.com:\n\n550 unknown\r\n",
         {helo, mail, rcpt, "RCPT TO: <ops@example.com>", "RSET"}},
        {0, upToData + Script{"451 later\r\n", hear, "250 reset\r\n"}, Received(5, "451 later\r\n"), {helo, mail, rcpt, "DATA", "RSET"}},
        // A silent RSET does not hide the refusal.
        {0, upToData + Script{"354 go\r\n", Peer::kData, "554 spam\r\n"}, Received(6, "554 spam\r\n"),
         {helo, mail, rcpt, "DATA", "<message>", "RSET"}},
        {0, {QByteArray("554 no\0\x01\xff\r\n", 11)}, Received(1, "554 no"), {}},
        // Replies in pieces keep the steps in line.
        {0, {"220-a\r\n", Peer::kPause, "220 b\r\n", hear, "25", Peer::kPause, "0 hi\r\n", hear, "250 ok\r", Peer::kPause, "\n",
             hear, "250 ok\r\n", hear, "354 go\r\n", Peer::kData, "250-queued\n250 as 12\n"}, {}, {helo, mail, rcpt, "DATA", "<message>"}},
        {0, {}, noAnswer, {}},
        {0, upToData + Script{"354 go\r\n", Peer::kData}, noAnswer, {helo, mail, rcpt, "DATA", "<message>"}},
        {0, upToMail + Script{Peer::kDrop}, "The mail server closed the connection", {helo, mail}},
        {0, {"HTTP/1.1 400 Bad Request\r\n"}, "The mail server's reply is not SMTP: HTTP/1.1 400 Bad Request", {}},
        {0, {"220-" + QByteArray(70000, 'x')}, "The mail server's reply is longer than 65536 bytes", {}},
        {1, tls + Script{"454 TLS not available\r\n", hear}, "The mail server refused STARTTLS:\n\n454 TLS not available\r\n", {ehlo, "STARTTLS"}},
        // Gone or silent in the handshake: nothing is sent in plain text after STARTTLS.
        {1, tls + Script{"220 go\r\n", Peer::kPause, Peer::kDrop},
         "The TLS handshake with the mail server failed: the mail server closed the connection", {ehlo, "STARTTLS"}},
        {1, tls + Script{"220 go\r\n"}, noAnswer, {ehlo, "STARTTLS"}},
        {1, tls + Script{"220 go\r\n"}, "Sending was cancelled", {ehlo, "STARTTLS"}, 300},
        // Lines pushed in before the handshake would pass as encrypted.
        {1, tls + Script{"220 go\r\n250 injected\r\n"}, "The mail server sent data before the TLS handshake", {ehlo, "STARTTLS"}},
        // Nothing is sent where it cannot go right.
        {0, {}, "ERROR: Failed to connect to SMTP server", {}, 0, "127.0.0.1:1"},
        {0, {}, contact, {}, 0, "no-such-host.invalid:2525"},
        {0, {}, contact, {}, 0, "127.0.0.1:65536"},
        {0, {}, contact, {}, 0, "127.0.0.1\r\nNOOP:25"},
        {0, {}, "The server requires authentication, but the connection is not encrypted. Choose STARTTLS or SSL/TLS in the "
                "e-mail settings.", {}, 0, "192.0.2.1:587"},
        {0, {}, "\"not an email\" is not an e-mail address", {}, 0, {}, "ops@example.com, not an email"},
        {0, {}, "\"ops@example.com RCPT TO:<evil@example.org>\" is not an e-mail address", {}, 0, {}, "ops@example.com\nRCPT TO:<evil@example.org>"},
        {0, {}, "No recipient address is set", {}, 0, {}, " ; "},
        {3, {}, "The connection security setting \"SMTPSecurity\" is 3; it must be 0, 1 or 2", {}},
    };
    // clang-format on
    for (const auto& row : rows) {
        SCOPED_TRACE(row.failure.toStdString());
        Peer peer(row.script);
        const bool peerServer = row.server.isEmpty();
        UseSettings(peerServer ? "127.0.0.1:" + QString::number(peer.Port()) : row.server,
                    row.security, row.security == 1 || !peerServer, "pw");
        RecordingNotice notice;
        SmtpClient client(&notice);
        client.SetTimeouts(5000, row.cancelMs ? 60000 : 1000);
        std::atomic<bool> cancel{false};
        std::thread stopper([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(row.cancelMs));
            cancel = row.cancelMs != 0;
        });
        QElapsedTimer timer;
        timer.start();
        EXPECT_EQ(client.SendMail(EmailSettingsStore::ForSending({}), "alerts@example.org", row.to,
                                  "Subject", "Body", {nullptr, &cancel}),
                  row.failure.isEmpty());
        stopper.join();
        EXPECT_LT(timer.elapsed(), 10000);
        EXPECT_EQ(notice.Texts(), row.failure.isEmpty() ? QStringList() : QStringList{row.failure});
        if (!peerServer || row.to != "ops@example.com" || row.security > 2)
            continue; // the peer is never reached
        QList<QByteArray> heard = peer.Finish();
        // The client's TLS hello after STARTTLS reaches the peer or not, as the scheduler has
        // it; it is no plain text, which is what these rows are about.
        heard.removeIf([](const QByteArray& line) { return line.startsWith("\x16\x03"); });
        for (QByteArray& line : heard)
            line = line.endsWith("\r\nBody\r\n.\r\n") ? "<message>" : line;
        EXPECT_EQ(heard, row.heard);
    }
}

} // namespace
