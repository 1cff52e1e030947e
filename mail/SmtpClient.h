#pragma once

#include "settings/EmailSettings.h"

#include <QByteArray>
#include <QString>

#include <atomic>
#include <ctime>
#include <mutex>

#include <sys/socket.h>

struct sockaddr_in;
class INotice;

// How one send reports. With `failure` set, the failure text goes there instead of to the
// notice (a caller that shows or logs it itself); a `cancel` that turns true abandons the
// exchange at its next wait.
struct SendOptions {
    QString* failure = nullptr;
    const std::atomic<bool>* cancel = nullptr;
};

// Delivers one plain-text message per call over a new SMTP connection: HELO, MAIL, RCPT, DATA
// when neither encryption nor a login is asked for; else EHLO, STARTTLS or TLS from the first
// byte, AUTH PLAIN or LOGIN. Safe to call from several threads at once; every failure is
// reported with its reason, through the notice or to the caller.
class SmtpClient {
public:
    static constexpr int kDefaultPort = 25;
    static constexpr int kConnectTimeoutMs = 30000;
    static constexpr int kReplyTimeoutMs = 60000;

    explicit SmtpClient(INotice* notice);

    // Sends one message to every address of `recipient` (separated by commas or semicolons)
    // through the server, security and login of `settings`; `sender` is the envelope sender
    // (MAIL FROM), the From header always names the settings' sender name and return address.
    // True when the server accepted the message.
    bool SendMail(const EmailSettings& settings, const QString& sender, const QString& recipient,
                  const QString& subject, const QString& body, const SendOptions& options = {});

    // Tests shorten the limits.
    void SetTimeouts(int connectMs, int replyMs);

    // Splits "host" or "host:port" (port 1 to 65535; without one, kDefaultPort). A text whose
    // last colon is followed by something other than digits is all host. False for a port of
    // 0 or above 65535.
    static bool SplitServerText(const QString& serverText, QString* host, quint16* port);

    // An IPv4 address for `host`: a text that starts (after blanks and a sign) with a non-zero
    // number is taken as a dotted address without a lookup, anything else is looked up by
    // name. Thread-safe. Only AF_INET is supported.
    static bool ResolveServerAddress(const QString& host, quint16 port, int family,
                                     sockaddr_in* address);

    // True for an address in 127.0.0.0/8, where a password may travel unencrypted.
    static bool IsLoopback(const sockaddr_in& address);

private:
    void Notify(const SendOptions& options, const QString& text) const;

    INotice* m_notice;
    mutable std::mutex m_mutex;
    int m_connectTimeoutMs = kConnectTimeoutMs;
    int m_replyTimeoutMs = kReplyTimeoutMs;
};
