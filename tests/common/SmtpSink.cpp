#include "tests/common/SmtpSink.h"

#include "tests/common/TestSupport.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QThread>

#include <cstdio>

SmtpSink::SmtpSink() = default;

SmtpSink::~SmtpSink() {
    Stop();
}

bool SmtpSink::Start(Mode mode) {
    Stop();
    m_folder = TestSupport::MakeTempDir(QStringLiteral("smtp-sink"));
    QStringList args{QStringLiteral(TRELLION_SOURCE_DIR "/scripts/smtp-sink.py"),
                     QStringLiteral("--dir"), m_folder};
    if (mode == Mode::RefuseRecipients)
        args << QStringLiteral("--refuse") << QStringLiteral("rcpt");
    else if (mode == Mode::RefuseData)
        args << QStringLiteral("--refuse") << QStringLiteral("data");

    m_process = std::make_unique<QProcess>();
    // stdin stays an open pipe: the script ends when it closes, so no server outlives a
    // crashed test.
    m_process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process->start(QStringLiteral("/usr/bin/python3"), args);
    if (!m_process->waitForStarted(30000)) {
        std::fprintf(stderr, "SmtpSink: cannot start /usr/bin/python3\n");
        m_process.reset();
        return false;
    }
    // Python's start-up on a loaded machine can take seconds; wait generously.
    QDeadlineTimer deadline(60000);
    QByteArray line;
    while (!deadline.hasExpired()) {
        if (m_process->canReadLine()) {
            line = m_process->readLine().trimmed();
            break;
        }
        if (m_process->state() != QProcess::Running)
            break;
        m_process->waitForReadyRead(200);
    }
    if (line.startsWith("PORT ")) {
        m_port = line.mid(5).toInt();
        if (m_port > 0)
            return true;
    }
    std::fprintf(stderr, "SmtpSink: the server did not report its port (got '%s')\n",
                 line.constData());
    Stop();
    return false;
}

void SmtpSink::Stop() {
    if (m_process) {
        m_process->closeWriteChannel();
        m_process->terminate();
        if (!m_process->waitForFinished(10000)) {
            m_process->kill();
            m_process->waitForFinished(10000);
        }
        m_process.reset();
    }
    m_port = 0;
}

QList<SmtpSink::Message> SmtpSink::Messages() const {
    QList<Message> messages;
    if (m_folder.isEmpty())
        return messages;
    const QDir dir(m_folder);
    // Names are zero-padded counters, so name order is arrival order.
    const QStringList names = dir.entryList({QStringLiteral("*.json")}, QDir::Files, QDir::Name);
    for (const QString& name : names) {
        QFile meta(dir.filePath(name));
        if (!meta.open(QIODevice::ReadOnly))
            continue;
        const QJsonObject object = QJsonDocument::fromJson(meta.readAll()).object();
        Message message;
        message.helo = object.value(QStringLiteral("helo")).toString();
        message.mailFrom = object.value(QStringLiteral("mail_from")).toString();
        for (const QJsonValue& rcpt : object.value(QStringLiteral("rcpt_tos")).toArray())
            message.rcptTos << rcpt.toString();
        QFile data(dir.filePath(name.chopped(5) + QStringLiteral(".eml")));
        if (data.open(QIODevice::ReadOnly))
            message.data = data.readAll();
        messages << message;
    }
    return messages;
}

bool SmtpSink::WaitForMessages(int count, int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        if (Messages().size() >= count)
            return true;
        if (deadline.hasExpired())
            return false;
        QThread::msleep(20);
    }
}
