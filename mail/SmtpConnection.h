#pragma once

#include "mail/SmtpReply.h"

#include <QString>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

// The SMTP client's transport; used by SmtpClient.cpp only.
namespace smtp {

inline constexpr char kConnectFailed[] = "ERROR: Failed to connect to SMTP server";

using Clock = std::chrono::steady_clock;

inline Clock::time_point After(int ms) {
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

} // namespace smtp
