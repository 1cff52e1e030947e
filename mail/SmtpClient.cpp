#include "mail/SmtpClient.h"

#include "platform/Notice.h"
#include "settings/SettingsStore.h"

#include <QDateTime>
#include <QRandomGenerator>
#include <QSysInfo>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <locale.h>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const char kContactFailed[] = "ERROR: Failed to contact SMTP server";
const char kConnectFailed[] = "ERROR: Failed to connect to SMTP server";

QString ReceivedText(int number, const QString& reply) {
    return QStringLiteral("The following was received from SMTP server(%1):\n\n").arg(number) +
           reply;
}

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Waits for `events` on fd until the deadline; false on time-out or error.
bool WaitFor(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        pollfd p{fd, events, 0};
        const int result = ::poll(&p, 1, RemainingMs(deadline));
        if (result > 0)
            return true;
        if (result == 0)
            return false;
        if (errno != EINTR)
            return false;
    }
}

// One SMTP connection: a non-blocking socket driven with poll, so every step has a limit.
// After a failed receive the connection is broken: the peer's state is unknown, and nothing
// more is sent on it.
class Connection {
public:
    Connection(int fd, int replyTimeoutMs) : m_fd(fd), m_replyTimeoutMs(replyTimeoutMs) {}
    ~Connection() { ::close(m_fd); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    bool Connect(const sockaddr_in& address, int timeoutMs) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        if (::connect(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
            return true;
        if (errno != EINPROGRESS && errno != EINTR)
            return false;
        if (!WaitFor(m_fd, POLLOUT, deadline))
            return false;
        int error = 0;
        socklen_t length = sizeof error;
        return ::getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
    }

    bool Broken() const { return m_broken; }

    // Sends all of `data`; a peer that stops reading for longer than a reply's limit fails it.
    bool Send(const QByteArray& data) {
        if (m_broken)
            return false;
        const auto deadline = Clock::now() + std::chrono::milliseconds(m_replyTimeoutMs);
        qsizetype sent = 0;
        while (sent < data.size()) {
            const ssize_t n = ::send(m_fd, data.constData() + sent,
                                     static_cast<size_t>(data.size() - sent), MSG_NOSIGNAL);
            if (n > 0) {
                sent += n;
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) &&
                WaitFor(m_fd, POLLOUT, deadline))
                continue;
            m_broken = true;
            return false;
        }
        return true;
    }

    // One whole reply: every "NNN-" line up to the last line, across as many receives as it
    // takes. The text ends at a NUL byte if one came. Empty when the reply does not come
    // within the limit, the connection ends, or the reply grows past kMaxReplyBytes.
    QString ReadReply() {
        if (m_broken)
            return {};
        const auto deadline = Clock::now() + std::chrono::milliseconds(m_replyTimeoutMs);
        qsizetype scanned = 0; // m_buffer[0, scanned) holds complete continuation lines
        for (;;) {
            qsizetype newline;
            while ((newline = m_buffer.indexOf('\n', scanned)) >= 0) {
                const qsizetype lineStart = scanned;
                scanned = newline + 1;
                if (scanned > SmtpClient::kMaxReplyBytes)
                    return Fail();
                if (!IsContinuation(lineStart, newline)) {
                    QByteArray reply = m_buffer.left(scanned);
                    m_buffer.remove(0, scanned);
                    const qsizetype nul = reply.indexOf('\0');
                    if (nul >= 0)
                        reply.truncate(nul);
                    return QString::fromUtf8(reply);
                }
            }
            if (m_buffer.size() > SmtpClient::kMaxReplyBytes)
                return Fail();
            if (!WaitFor(m_fd, POLLIN, deadline))
                return Fail();
            char chunk[4096];
            const ssize_t n = ::recv(m_fd, chunk, sizeof chunk, 0);
            if (n > 0)
                m_buffer.append(chunk, n);
            else if (n == 0 || (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK))
                return Fail();
        }
    }

private:
    bool IsContinuation(qsizetype start, qsizetype end) const {
        if (end - start < 4)
            return false;
        for (qsizetype i = start; i < start + 3; ++i) {
            if (m_buffer[i] < '0' || m_buffer[i] > '9')
                return false;
        }
        return m_buffer[start + 3] == '-';
    }

    QString Fail() {
        m_broken = true;
        m_buffer.clear();
        return {};
    }

    int m_fd;
    int m_replyTimeoutMs;
    bool m_broken = false;
    QByteArray m_buffer;
};

// After a refusal: RSET and one reply, whatever it says. Nothing on a broken connection.
void Abandon(Connection& connection) {
    if (connection.Send(QByteArrayLiteral("RSET\r\n")))
        connection.ReadReply();
}

// The body with every line end (CR LF, lone CR, lone LF) as CR LF and a dot doubled at the
// start of every line; ends with CR LF unless empty.
QByteArray Transparent(const QByteArray& body) {
    QByteArray out;
    out.reserve(body.size() + body.size() / 16 + 4);
    bool lineStart = true;
    for (qsizetype i = 0; i < body.size(); ++i) {
        const char c = body[i];
        if (c == '\r' || c == '\n') {
            if (c == '\r' && i + 1 < body.size() && body[i + 1] == '\n')
                ++i;
            out.append("\r\n");
            lineStart = true;
            continue;
        }
        if (lineStart && c == '.')
            out.append('.');
        out.append(c);
        lineStart = false;
    }
    if (!out.isEmpty() && !out.endsWith("\r\n"))
        out.append("\r\n");
    return out;
}

bool IsAtext(QChar c) {
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') ||
           c == u'-' || c == u'.';
}

QByteArray IdHost() {
    static const QByteArray host = [] {
        const QString name = QSysInfo::machineHostName();
        if (name.isEmpty() || name.startsWith(u'.') || name.endsWith(u'.') ||
            !std::all_of(name.begin(), name.end(), IsAtext))
            return QByteArrayLiteral("localhost");
        return name.toLatin1();
    }();
    return host;
}

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

QString SmtpClient::OneLine(const QString& text) {
    QString out;
    out.reserve(text.size());
    bool inBreak = false;
    for (const QChar c : text) {
        if (c == u'\r' || c == u'\n') {
            if (!inBreak)
                out.append(u' ');
            inBreak = true;
            continue;
        }
        out.append(c);
        inBreak = false;
    }
    return out;
}

QByteArray SmtpClient::FormatDate(std::time_t when) {
    // strftime_l with the C locale: English names without touching the process's locale,
    // which other threads may be using.
    static const locale_t cLocale = ::newlocale(LC_ALL_MASK, "C", locale_t(nullptr));
    std::tm local{};
    ::localtime_r(&when, &local);
    char text[128];
    const size_t length =
        ::strftime_l(text, sizeof text, "%a, %d %b %Y %I:%M:%S %p %Z", &local, cLocale);
    return QByteArray(text, static_cast<qsizetype>(length));
}

QByteArray SmtpClient::NewMessageId() {
    static std::atomic<quint32> counter{0};
    const quint64 random = QRandomGenerator::system()->generate64();
    return QByteArrayLiteral("<") + QByteArray::number(QDateTime::currentMSecsSinceEpoch(), 36) +
           '.' + QByteArray::number(random, 36) + '.' + QByteArray::number(counter++, 36) + '.' +
           QByteArray::number(static_cast<qint64>(::getpid()), 36) + '@' + IdHost() + '>';
}

QByteArray SmtpClient::BuildMessage(const QString& senderName, const QString& returnAddress,
                                    const QString& recipient, const QString& subject,
                                    const QString& body, std::time_t when) {
    QByteArray message;
    message += "Date: " + FormatDate(when) + "\r\n";
    message += "Message-Id: " + NewMessageId() + "\r\n";
    message +=
        "From: " + OneLine(senderName).toUtf8() + " <" + OneLine(returnAddress).toUtf8() + ">\r\n";
    message += "To: <" + OneLine(recipient).toUtf8() + ">\r\n";
    message += "Subject: " + OneLine(subject).toUtf8() + "\r\n";
    message += "\r\n";
    message += Transparent(body.toUtf8());
    message += ".\r\n";
    return message;
}

bool SmtpClient::SendMail(const QString& sender, const QString& recipient, const QString& subject,
                          const QString& body, const SendOptions& options) {
    QString senderName;
    QString returnAddress;
    int connectTimeoutMs;
    int replyTimeoutMs;
    {
        std::lock_guard lock(m_mutex);
        senderName = m_senderName;
        returnAddress = m_returnAddress;
        connectTimeoutMs = m_connectTimeoutMs;
        replyTimeoutMs = m_replyTimeoutMs;
    }

    const QString serverText = SettingsStore::ReadString(
        QString::fromLatin1(SettingsStore::kSettings), QStringLiteral("SMTP"));
    const QByteArray helo = "HELO " + OneLine(serverText).toUtf8() + "\r\n";

    QString host;
    quint16 port = kDefaultPort;
    sockaddr_in address{};
    if (!SplitServerText(serverText, &host, &port) ||
        !ResolveServerAddress(host, port, AF_INET, &address)) {
        Notify(options, QString::fromLatin1(kContactFailed));
        return false;
    }
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        Notify(options, QString::fromLatin1(kContactFailed));
        return false;
    }
    Connection connection(fd, replyTimeoutMs);
    if (!connection.Connect(address, connectTimeoutMs)) {
        Notify(options, QString::fromLatin1(kConnectFailed));
        return false;
    }

    QString reply = connection.ReadReply();
    if (!reply.startsWith(u"220")) {
        Notify(options, ReceivedText(1, reply));
        return false;
    }

    if (!connection.Send(helo))
        return false;
    reply = connection.ReadReply();
    if (!reply.startsWith(u"250")) {
        Notify(options, ReceivedText(2, reply));
        return false;
    }

    if (!connection.Send("MAIL FROM: " + OneLine(sender).toUtf8() + "\r\n"))
        return false;
    reply = connection.ReadReply();
    if (!reply.startsWith(u"250")) {
        Notify(options, ReceivedText(3, reply));
        Abandon(connection);
        return false;
    }

    const QByteArray to = OneLine(recipient).toUtf8();
    if (!connection.Send("RCPT TO: " + to + "\r\n"))
        return false;
    reply = connection.ReadReply();
    if (!reply.startsWith(u"250")) {
        // A first reply that never came leaves nothing to try the second form on.
        if (!connection.Broken()) {
            if (!connection.Send("RCPT TO: <" + to + ">\r\n"))
                return false;
            reply = connection.ReadReply();
        }
        if (!reply.startsWith(u"250")) {
            Notify(options, ReceivedText(4, reply));
            Abandon(connection);
            return false;
        }
    }

    if (!connection.Send(QByteArrayLiteral("DATA\r\n")))
        return false;
    reply = connection.ReadReply();
    if (!reply.startsWith(u"354")) {
        Notify(options, ReceivedText(5, reply));
        Abandon(connection);
        return false;
    }

    if (!connection.Send(
            BuildMessage(senderName, returnAddress, recipient, subject, body, std::time(nullptr))))
        return false;
    reply = connection.ReadReply();
    if (!reply.startsWith(u"250")) {
        Abandon(connection);
        return false;
    }
    // No QUIT: the connection closes with `connection`.
    return true;
}
