#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QStringList>

#include <sys/types.h>

// A real SMTP server for tests: aiosmtpd (scripts/smtp-sink.py run by /usr/bin/python3) on
// 127.0.0.1 and a free port. Every message it accepts is kept as files in a private folder, so
// the messages can be read from any thread while the server runs. The server ends with the
// object, or on its own when the test process dies.
class SmtpSink {
public:
    // RefuseRecipients answers every RCPT TO with 554, RefuseData every message.
    enum class Mode { Accept, RefuseRecipients, RefuseData };

    struct Message {
        QString helo, mailFrom; // the HELO (or EHLO) argument, the envelope sender
        QStringList rcptTos;
        QByteArray data; // as received, dots un-stuffed, terminator removed
        // As Python's email library reads it: "subject", "from", "message_id", "date" (ISO),
        // "defects", "body"
        QJsonObject parsed;
        QString Subject() const { return parsed["subject"].toString(); }
        QString Body() const { return parsed["body"].toString().replace("\r\n", "\n"); }
    };

    SmtpSink();
    ~SmtpSink();
    SmtpSink(const SmtpSink&) = delete;
    SmtpSink& operator=(const SmtpSink&) = delete;

    // Starts the server and waits until it listens; false (with a reason on stderr) when
    // python3 or aiosmtpd is missing. `options` go to the script: TLS, login and certificate
    // (see its usage text); the certificates come from the test CA in CaFile().
    bool Start(Mode mode = Mode::Accept, const QStringList& options = {});
    void Stop();

    int Port() const { return m_port; }
    static QString CaFile(); // one per test process

    QList<Message> Messages() const; // those stored so far, in order
    // Waits until at least `count` messages are stored; false after timeoutMs.
    bool WaitForMessages(int count, int timeoutMs);
    // A line per ended connection (waits for `count`): its commands, "+tls" if encrypted.
    QStringList Sessions(int count, int timeoutMs) const;

private:
    pid_t m_pid = 0;
    int m_stdin = -1; // the server ends when this closes, so no server outlives a test
    QString m_folder;
    int m_port = 0;
};
