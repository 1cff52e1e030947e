#pragma once

#include <QString>

#include <mutex>

class INotice;

// The e-mail settings the program keeps; the client uses the sender name and return address
// for the From header and reads the server again from the settings store at every send.
struct EmailSettings {
    QString password;
    QString userName;
    QString senderName = QStringLiteral("Trellion");
    QString returnAddress;
    QString alertRecipient;
    QString recoveryRecipient;
    QString server; // "host" or "host:port"; empty: e-mail is not set up
    bool authentication = false;
};

// Delivers one plain-text message per call over a new SMTP connection (HELO, MAIL, RCPT, DATA).
// Safe to call from several threads at once; failures are reported through the notice.
class SmtpClient {
public:
    static constexpr int kDefaultPort = 25;
    static constexpr int kConnectTimeoutMs = 30000;
    static constexpr int kReplyTimeoutMs = 60000;
    static constexpr int kMaxReplyBytes = 64 * 1024;

    explicit SmtpClient(INotice* notice);

    void SetSender(const QString& senderName, const QString& returnAddress);

    bool SendMail(const QString& sender, const QString& recipient, const QString& subject,
                  const QString& body);

    // Tests shorten the limits.
    void SetTimeouts(int connectMs, int replyMs);

private:
    INotice* m_notice;
    mutable std::mutex m_mutex;
    QString m_senderName = QStringLiteral("Trellion");
    QString m_returnAddress;
    int m_connectTimeoutMs = kConnectTimeoutMs;
    int m_replyTimeoutMs = kReplyTimeoutMs;
};
