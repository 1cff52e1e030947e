#include "mail/SmtpClient.h"

#include "mail/MailAddress.h"
#include "mail/MailMessage.h"
#include "mail/SmtpConnection.h"
#include "mail/SmtpGreeting.h"
#include "mail/SmtpReply.h"
#include "platform/Notice.h"

#include <QStringList>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using smtp::Connection;
using smtp::kConnectFailed;

const char kContactFailed[] = "ERROR: Failed to contact SMTP server";
const char kPlainPassword[] =
    "The server requires authentication, but the connection is not encrypted. Choose STARTTLS "
    "or SSL/TLS in the e-mail settings.";

QString ReceivedText(int number, const QByteArray& reply) {
    // The text ends at a NUL byte, if one came.
    const qsizetype nul = reply.indexOf('\0');
    return QStringLiteral("The following was received from SMTP server(%1):\n\n").arg(number) +
           QString::fromUtf8(nul >= 0 ? reply.left(nul) : reply);
}

// The keywords an EHLO reply offers, upper case, each with its parameters.
QStringList Offers(const SmtpReply& reply) {
    QStringList offers;
    const QList<QByteArray> lines = reply.text.split('\n');
    for (qsizetype i = 1; i < lines.size(); ++i) {
        if (lines[i].size() > 4)
            offers << QString::fromUtf8(lines[i].mid(4).trimmed()).toUpper();
    }
    return offers;
}

bool Offered(const QStringList& offers, const QString& keyword) {
    return std::any_of(offers.begin(), offers.end(), [&](const QString& offer) {
        return offer == keyword || offer.startsWith(keyword + u' ');
    });
}

// The mechanisms of "AUTH PLAIN LOGIN" (or the old "AUTH=PLAIN LOGIN").
QStringList AuthMechanisms(const QStringList& offers) {
    QStringList mechanisms;
    for (const QString& offer : offers) {
        if (offer.startsWith(QStringLiteral("AUTH ")) || offer.startsWith(QStringLiteral("AUTH=")))
            mechanisms += offer.mid(5).split(u' ', Qt::SkipEmptyParts);
    }
    return mechanisms;
}

struct Exchange {
    Connection& connection;
    QString host;
    int security;
    bool authentication;
    QString userName;
    QString password;
    SmtpReply reply;
    QStringList offers;

    bool Fail(const QString& text) { return connection.Fail(text); }

    bool Command(const QByteArray& line) {
        return connection.Send(line + "\r\n") && connection.Read(&reply);
    }

    // After a refusal: RSET and one reply, whatever it says (nothing on a broken connection);
    // the refusal is the failure, not what became of the RSET.
    bool Abandon(const QString& text) {
        const QString refusal = text;
        if (!connection.Broken() && connection.Send(QByteArrayLiteral("RSET\r\n")))
            connection.Read(&reply);
        return connection.Fail(refusal, true);
    }

    bool Ehlo(const QByteArray& argument) {
        if (!Command("EHLO " + argument))
            return false;
        if (reply.code != 250)
            return Fail(ReceivedText(2, reply.text));
        offers = Offers(reply);
        return true;
    }

    bool AuthFailed() {
        return Fail(QStringLiteral("Authentication failed:\n\n") + QString::fromUtf8(reply.text));
    }

    bool Authenticate() {
        const QStringList mechanisms = AuthMechanisms(offers);
        const QByteArray user = userName.toUtf8();
        const QByteArray secret = password.toUtf8();
        if (mechanisms.contains(QStringLiteral("PLAIN"))) {
            if (!Command("AUTH PLAIN " + ('\0' + user + '\0' + secret).toBase64()))
                return false;
            return reply.code == 235 || AuthFailed();
        }
        if (mechanisms.contains(QStringLiteral("LOGIN"))) {
            if (!Command(QByteArrayLiteral("AUTH LOGIN")))
                return false;
            if (reply.code != 334)
                return AuthFailed();
            if (!Command(user.toBase64()))
                return false;
            if (reply.code != 334)
                return AuthFailed();
            if (!Command(secret.toBase64()))
                return false;
            return reply.code == 235 || AuthFailed();
        }
        return Fail(mechanisms.isEmpty()
                        ? QStringLiteral("Authentication failed: the mail server offers no login")
                        : QStringLiteral("Authentication failed: the mail server offers neither "
                                         "AUTH PLAIN nor AUTH LOGIN, only ") +
                              mechanisms.join(u' '));
    }

    // Greeting, HELO or EHLO, encryption and login; true when a MAIL command may follow.
    bool Open(const QByteArray& argument, bool extended) {
        if (security == 2 && !connection.StartTls(host))
            return false;
        if (!connection.Read(&reply))
            return false;
        if (reply.code != 220)
            return Fail(ReceivedText(1, reply.text));
        if (!extended) {
            if (!Command("HELO " + argument))
                return false;
            return reply.code == 250 || Fail(ReceivedText(2, reply.text));
        }
        if (!Ehlo(argument))
            return false;
        if (security == 1) {
            if (!Offered(offers, QStringLiteral("STARTTLS")))
                return Fail(QStringLiteral("The mail server does not offer STARTTLS, so the "
                                           "connection cannot be encrypted"));
            if (!Command(QByteArrayLiteral("STARTTLS")))
                return false;
            if (reply.code != 220)
                return Fail(QStringLiteral("The mail server refused STARTTLS:\n\n") +
                            QString::fromUtf8(reply.text));
            // Only what the server offers over the encrypted connection counts.
            if (!connection.StartTls(host) || !Ehlo(argument))
                return false;
        }
        return !authentication || Authenticate();
    }
};

} // namespace

SmtpClient::SmtpClient(INotice* notice) : m_notice(notice) {}

void SmtpClient::SetTimeouts(int connectMs, int replyMs) {
    std::lock_guard lock(m_mutex);
    m_connectTimeoutMs = connectMs;
    m_replyTimeoutMs = replyMs;
}

void SmtpClient::Notify(const SendOptions& options, const QString& text) const {
    if (options.failure)
        *options.failure = text;
    else if (m_notice)
        m_notice->ShowNotice(text);
}

bool SmtpClient::SplitServerText(const QString& serverText, QString* host, quint16* port) {
    const qsizetype colon = serverText.lastIndexOf(u':');
    const QStringView digits = colon >= 0 ? QStringView(serverText).mid(colon + 1) : QStringView();
    const bool hasPort =
        !digits.isEmpty() &&
        std::all_of(digits.begin(), digits.end(), [](QChar c) { return c >= u'0' && c <= u'9'; });
    if (!hasPort) {
        *host = serverText;
        *port = kDefaultPort;
        return true;
    }
    // Digits only, so a value that does not fit (toUInt fails) is out of range too.
    bool ok = false;
    const uint value = digits.toUInt(&ok);
    if (!ok || value == 0 || value > 65535)
        return false;
    *host = serverText.left(colon);
    *port = static_cast<quint16>(value);
    return true;
}

bool SmtpClient::ResolveServerAddress(const QString& host, quint16 port, int family,
                                      sockaddr_in* address) {
    if (family != AF_INET)
        return false;
    std::memset(address, 0, sizeof *address);
    address->sin_family = AF_INET;
    const QByteArray text = host.toUtf8();
    // strtol skips blanks and takes a sign, as the original check did; a non-zero leading
    // number means a dotted address, never a name, even when inet_addr cannot parse it (then
    // the address is INADDR_NONE and the connection fails).
    if (std::strtol(text.constData(), nullptr, 10) != 0) {
        address->sin_addr.s_addr = ::inet_addr(text.constData());
    } else {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* result = nullptr;
        if (::getaddrinfo(text.constData(), nullptr, &hints, &result) != 0 || !result)
            return false;
        address->sin_addr = reinterpret_cast<const sockaddr_in*>(result->ai_addr)->sin_addr;
        ::freeaddrinfo(result);
    }
    address->sin_port = htons(port);
    return true;
}

bool SmtpClient::IsLoopback(const sockaddr_in& address) {
    return (ntohl(address.sin_addr.s_addr) >> 24) == 127;
}

bool SmtpClient::SendMail(const EmailSettings& settings, const QString& sender,
                          const QString& recipient, const QString& subject, const QString& body,
                          const SendOptions& options) {
    int connectTimeoutMs;
    int replyTimeoutMs;
    {
        std::lock_guard lock(m_mutex);
        connectTimeoutMs = m_connectTimeoutMs;
        replyTimeoutMs = m_replyTimeoutMs;
    }
    const QString& serverText = settings.server;
    const int security = settings.security;
    const bool authentication = settings.authentication;
    const QString& userName = settings.userName;
    const QString& password = settings.password;

    const QString envelopeSender = MailMessage::OneLine(sender);
    const QStringList recipients = SplitAddressList(MailMessage::OneLine(recipient));
    auto fail = [&](const QString& text) {
        Notify(options, text);
        return false;
    };
    if (security < 0 || security > 2)
        return fail(QStringLiteral("The connection security setting \"SMTPSecurity\" is %1; it "
                                   "must be 0, 1 or 2")
                        .arg(security));
    if (recipients.isEmpty())
        return fail(QStringLiteral("No recipient address is set"));
    const QStringList addresses = QStringList(recipients) << envelopeSender;
    for (const QString& address : addresses) {
        if (!IsMailAddress(address))
            return fail(QStringLiteral("\"%1\" is not an e-mail address").arg(address));
    }

    QString host;
    quint16 port = kDefaultPort;
    sockaddr_in address{};
    // A blank or a control character would end the greeting's line early.
    if (!SplitServerText(serverText, &host, &port) ||
        std::any_of(host.begin(), host.end(), [](QChar c) { return c.unicode() <= u' '; }) ||
        !ResolveServerAddress(host, port, AF_INET, &address))
        return fail(QString::fromLatin1(kContactFailed));
    if (authentication && security == 0 && !IsLoopback(address))
        return fail(QString::fromLatin1(kPlainPassword));
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return fail(QString::fromLatin1(kContactFailed));

    Connection connection(fd, replyTimeoutMs, options.cancel);
    // Without encryption and login, the plain dialogue every server speaks.
    const bool extended = security != 0 || authentication;
    Exchange exchange{connection, host, security, authentication, userName, password, {}, {}};
    if (!connection.Connect(address, connectTimeoutMs))
        return fail(connection.Failure());
    const QByteArray greeting = SmtpGreeting::ForSocket(fd);
    if (greeting.isEmpty())
        return fail(QString::fromLatin1(kConnectFailed));
    if (!exchange.Open(greeting, extended))
        return fail(connection.Failure());

    const MailMessage::Body encoded = MailMessage::EncodeBody(
        body, extended && Offered(exchange.offers, QStringLiteral("8BITMIME")));
    const QByteArray from = envelopeSender.toUtf8();
    const SmtpReply& reply = exchange.reply;
    if (!exchange.Command(extended ? "MAIL FROM:<" + from + '>' +
                                         (encoded.encoding == "8bit" ? " BODY=8BITMIME" : "")
                                   : "MAIL FROM: " + from))
        return fail(connection.Failure());
    if (reply.code != 250) {
        exchange.Abandon(ReceivedText(3, reply.text));
        return fail(connection.Failure());
    }
    for (const QString& to : recipients) {
        const QByteArray address8 = to.toUtf8();
        // The plain dialogue first tries the form without angle brackets, as it always has.
        if (!exchange.Command(extended ? "RCPT TO:<" + address8 + '>' : "RCPT TO: " + address8))
            return fail(connection.Failure());
        if (reply.code != 250 && !extended && !exchange.Command("RCPT TO: <" + address8 + '>'))
            return fail(connection.Failure());
        if (reply.code != 250) {
            const qsizetype nul = reply.text.indexOf('\0');
            exchange.Abandon(
                QStringLiteral("The following was received from SMTP server(4) for %1:\n\n")
                    .arg(to) +
                QString::fromUtf8(nul >= 0 ? reply.text.left(nul) : reply.text));
            return fail(connection.Failure());
        }
    }
    if (!exchange.Command(QByteArrayLiteral("DATA")))
        return fail(connection.Failure());
    if (reply.code != 354) {
        exchange.Abandon(ReceivedText(5, reply.text));
        return fail(connection.Failure());
    }
    if (!connection.Send(MailMessage::Build(settings.senderName, settings.returnAddress, recipients,
                                            subject, encoded, std::time(nullptr))) ||
        !connection.Read(&exchange.reply))
        return fail(connection.Failure());
    if (reply.code != 250) {
        exchange.Abandon(ReceivedText(6, reply.text));
        return fail(connection.Failure());
    }
    // No QUIT: the connection closes with `connection`.
    return true;
}
