#include "mail/SmtpClient.h"

#include "mail/MailAddress.h"
#include "mail/MailMessage.h"
#include "mail/SmtpGreeting.h"
#include "mail/SmtpReply.h"
#include "platform/Notice.h"
#include "settings/SettingsStore.h"

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
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

namespace {

const char kContactFailed[] = "ERROR: Failed to contact SMTP server";
const char kConnectFailed[] = "ERROR: Failed to connect to SMTP server";
const char kPlainPassword[] =
    "The server requires authentication, but the connection is not encrypted. Choose STARTTLS "
    "or SSL/TLS in the e-mail settings.";

QString ReceivedText(int number, const QByteArray& reply) {
    // The text ends at a NUL byte, if one came.
    const qsizetype nul = reply.indexOf('\0');
    return QStringLiteral("The following was received from SMTP server(%1):\n\n").arg(number) +
           QString::fromUtf8(nul >= 0 ? reply.left(nul) : reply);
}

using Clock = std::chrono::steady_clock;

Clock::time_point After(int ms) {
    return Clock::now() + std::chrono::milliseconds(ms);
}

// One SMTP connection over a non-blocking socket, plain or with TLS, driven with poll so that
// every step has its limit and a cancel is seen within a tenth of a second. After any failure
// the connection is broken: the peer's state is unknown, and nothing more is sent on it.
class Connection {
public:
    Connection(int fd, int replyTimeoutMs, const std::atomic<bool>* cancel)
        : m_fd(fd), m_replyTimeoutMs(replyTimeoutMs), m_cancel(cancel) {}
    ~Connection() {
        SSL_free(m_ssl);
        SSL_CTX_free(m_context);
        ::close(m_fd);
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    bool Broken() const { return m_broken; }
    const QString& Failure() const { return m_failure; }

    // False with the failure text set: the first reason, unless `replace`.
    bool Fail(const QString& text, bool replace = false) {
        m_broken = true;
        if (m_failure.isEmpty() || replace)
            m_failure = text;
        return false;
    }

    bool Connect(const sockaddr_in& address, int timeoutMs) {
        if (::connect(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
            return true;
        if (errno != EINPROGRESS && errno != EINTR)
            return Fail(QString::fromLatin1(kConnectFailed));
        if (!Wait(POLLOUT, After(timeoutMs), kConnectFailed))
            return false;
        int error = 0;
        socklen_t length = sizeof error;
        if (::getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0)
            return Fail(QString::fromLatin1(kConnectFailed));
        return true;
    }

    // The TLS handshake; the certificate must chain to a trusted root and name `host`.
    bool StartTls(const QString& host) {
        if (m_reader.Pending() > 0)
            return Fail(QStringLiteral("The mail server sent data before the TLS handshake"));
        ERR_clear_error();
        m_context = SSL_CTX_new(TLS_client_method());
        if (!m_context || !SSL_CTX_set_min_proto_version(m_context, TLS1_2_VERSION) ||
            !SSL_CTX_set_default_verify_paths(m_context))
            return Fail(TlsFailure(QStringLiteral("no TLS context")));
        SSL_CTX_set_verify(m_context, SSL_VERIFY_PEER, nullptr);
        m_ssl = SSL_new(m_context);
        const QByteArray name = host.toUtf8();
        in_addr ip{};
        const bool isAddress = ::inet_pton(AF_INET, name.constData(), &ip) == 1;
        if (!m_ssl || !SSL_set_fd(m_ssl, m_fd) ||
            !(isAddress ? X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(m_ssl), name.constData())
                        : SSL_set1_host(m_ssl, name.constData()) &&
                              SSL_set_tlsext_host_name(m_ssl, name.constData())))
            return Fail(TlsFailure(QStringLiteral("no TLS session")));
        SSL_set_mode(m_ssl, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
        const auto deadline = After(m_replyTimeoutMs);
        for (;;) {
            ERR_clear_error();
            const int result = SSL_connect(m_ssl);
            if (result == 1)
                return true;
            const int error = SSL_get_error(m_ssl, result);
            if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
                if (!Wait(error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, deadline))
                    return false;
                continue;
            }
            const long verify = SSL_get_verify_result(m_ssl);
            if (verify != X509_V_OK)
                return Fail(
                    QStringLiteral("The mail server's certificate could not be verified: ") +
                    QString::fromUtf8(X509_verify_cert_error_string(verify)));
            return Fail(TlsFailure(QStringLiteral("the mail server closed the connection")));
        }
    }

    // Sends all of `data`; a peer that stops reading for longer than a reply's limit fails it.
    bool Send(const QByteArray& data) {
        if (m_broken)
            return false;
        const auto deadline = After(m_replyTimeoutMs);
        qsizetype sent = 0;
        while (sent < data.size()) {
            const int size = static_cast<int>(std::min<qsizetype>(data.size() - sent, 1 << 20));
            short wait = 0;
            if (m_ssl) {
                ERR_clear_error();
                const int n = SSL_write(m_ssl, data.constData() + sent, size);
                if (n > 0) {
                    sent += n;
                    continue;
                }
                const int error = SSL_get_error(m_ssl, n);
                if (error == SSL_ERROR_WANT_READ)
                    wait = POLLIN;
                else if (error == SSL_ERROR_WANT_WRITE)
                    wait = POLLOUT;
                else
                    return Fail(QStringLiteral("The mail server closed the connection"));
            } else {
                const ssize_t n = ::send(m_fd, data.constData() + sent, size, MSG_NOSIGNAL);
                if (n > 0) {
                    sent += n;
                    continue;
                }
                if (n < 0 && errno == EINTR)
                    continue;
                if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
                    return Fail(SystemFailure(errno));
                wait = POLLOUT;
            }
            if (!Wait(wait, deadline))
                return false;
        }
        return true;
    }

    // One whole reply, across as many receives as it takes.
    bool Read(SmtpReply* reply) {
        if (m_broken)
            return false;
        const auto deadline = After(m_replyTimeoutMs);
        for (;;) {
            switch (m_reader.Next(reply)) {
            case SmtpReplyReader::Result::Reply:
                return true;
            case SmtpReplyReader::Result::TooLong:
                return Fail(QStringLiteral("The mail server's reply is longer than %1 bytes")
                                .arg(SmtpReplyReader::kMaxReplyBytes));
            case SmtpReplyReader::Result::Malformed:
                return Fail(QStringLiteral("The mail server's reply is not SMTP: ") +
                            QString::fromUtf8(m_reader.Unread(200)).trimmed());
            case SmtpReplyReader::Result::NeedMore:
                break;
            }
            char chunk[4096];
            short wait = 0;
            if (m_ssl) {
                ERR_clear_error();
                const int n = SSL_read(m_ssl, chunk, sizeof chunk);
                if (n > 0) {
                    m_reader.Feed(chunk, n);
                    continue;
                }
                const int error = SSL_get_error(m_ssl, n);
                if (error == SSL_ERROR_WANT_READ)
                    wait = POLLIN;
                else if (error == SSL_ERROR_WANT_WRITE)
                    wait = POLLOUT;
                else if (error == SSL_ERROR_ZERO_RETURN ||
                         (error == SSL_ERROR_SYSCALL && ERR_peek_error() == 0))
                    return Fail(QStringLiteral("The mail server closed the connection"));
                else
                    return Fail(TlsFailure(QStringLiteral("unknown error")));
            } else {
                const ssize_t n = ::recv(m_fd, chunk, sizeof chunk, 0);
                if (n > 0) {
                    m_reader.Feed(chunk, n);
                    continue;
                }
                if (n == 0)
                    return Fail(QStringLiteral("The mail server closed the connection"));
                if (errno == EINTR)
                    continue;
                if (errno != EAGAIN && errno != EWOULDBLOCK)
                    return Fail(SystemFailure(errno));
                wait = POLLIN;
            }
            if (!Wait(wait, deadline))
                return false;
        }
    }

private:
    // Waits for `events` in slices, so that a cancel is seen; false with the reason.
    bool Wait(short events, Clock::time_point deadline, const char* timeoutText = nullptr) {
        for (;;) {
            if (m_cancel && m_cancel->load())
                return Fail(QStringLiteral("Sending was cancelled"));
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now())
                    .count();
            if (left <= 0) {
                if (timeoutText)
                    return Fail(QString::fromLatin1(timeoutText));
                return Fail(QStringLiteral("No answer from the mail server within %1 s")
                                .arg((m_replyTimeoutMs + 999) / 1000));
            }
            pollfd p{m_fd, events, 0};
            const int result = ::poll(&p, 1, static_cast<int>(std::min<long long>(left, 100)));
            if (result > 0)
                return true;
            if (result < 0 && errno != EINTR)
                return Fail(SystemFailure(errno));
        }
    }

    static QString SystemFailure(int error) {
        if (error == ECONNRESET || error == EPIPE)
            return QStringLiteral("The mail server closed the connection");
        return QStringLiteral("The connection to the mail server failed: ") +
               QString::fromLocal8Bit(std::strerror(error));
    }

    static QString TlsFailure(const QString& fallback) {
        const unsigned long error = ERR_get_error();
        const char* reason = error ? ERR_reason_error_string(error) : nullptr;
        return QStringLiteral("The TLS handshake with the mail server failed: ") +
               (reason ? QString::fromUtf8(reason) : fallback);
    }

    int m_fd;
    int m_replyTimeoutMs;
    const std::atomic<bool>* m_cancel;
    SSL_CTX* m_context = nullptr;
    SSL* m_ssl = nullptr;
    bool m_broken = false;
    QString m_failure;
    SmtpReplyReader m_reader;
};

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

void SmtpClient::SetSender(const QString& senderName, const QString& returnAddress) {
    std::lock_guard lock(m_mutex);
    m_senderName = senderName;
    m_returnAddress = returnAddress;
}

void SmtpClient::SetPassword(const QString& password) {
    std::lock_guard lock(m_mutex);
    m_password = password;
}

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

bool SmtpClient::SendMail(const QString& sender, const QString& recipient, const QString& subject,
                          const QString& body, const SendOptions& options) {
    QString senderName;
    QString returnAddress;
    QString storedPassword;
    int connectTimeoutMs;
    int replyTimeoutMs;
    {
        std::lock_guard lock(m_mutex);
        senderName = m_senderName;
        returnAddress = m_returnAddress;
        storedPassword = m_password;
        connectTimeoutMs = m_connectTimeoutMs;
        replyTimeoutMs = m_replyTimeoutMs;
    }
    const QString section = QString::fromLatin1(SettingsStore::kSettings);
    const QString serverText = SettingsStore::ReadString(section, QStringLiteral("SMTP"));
    const int security = SettingsStore::ReadInt(section, QStringLiteral("SMTPSecurity"), 0);
    const bool authentication = SettingsStore::ReadInt(section, QStringLiteral("SMTPAuth"), 0) != 0;
    const QString userName = SettingsStore::ReadString(section, QStringLiteral("SMTPUsername"));
    QString password = SettingsStore::ReadString(section, QStringLiteral("SMTPPassword"));
    if (password.isEmpty())
        password = storedPassword;

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
    if (!connection.Send(MailMessage::Build(senderName, returnAddress, recipients, subject, encoded,
                                            std::time(nullptr))) ||
        !connection.Read(&exchange.reply))
        return fail(connection.Failure());
    if (reply.code != 250) {
        exchange.Abandon(ReceivedText(6, reply.text));
        return fail(connection.Failure());
    }
    // No QUIT: the connection closes with `connection`.
    return true;
}
