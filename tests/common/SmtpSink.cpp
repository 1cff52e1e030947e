#include "tests/common/SmtpSink.h"

#include "tests/common/TestSupport.h"

#include <QDir>
#include <QJsonDocument>
#include <QProcess>

using TestSupport::ReadFile;
using TestSupport::WaitUntil;

SmtpSink::SmtpSink() = default;

SmtpSink::~SmtpSink() {
    Stop();
}

QString SmtpSink::CaFile() {
    return TestSupport::HomeDir() + QStringLiteral("/smtp-pki/ca.pem");
}

bool SmtpSink::Start(Mode mode, const QStringList& options) {
    Stop();
    m_folder = TestSupport::MakeTempDir(QStringLiteral("smtp-sink"));
    const char* refuse[] = {"none", "rcpt", "data"};
    m_process = std::make_unique<QProcess>();
    // stdin stays an open pipe: the script ends when it closes, so no server outlives a test.
    m_process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process->start(QStringLiteral("/usr/bin/python3"),
                     QStringList{TRELLION_SOURCE_DIR "/scripts/smtp-sink.py", "--dir", m_folder,
                                 "--pki", QFileInfo(CaFile()).path(), "--refuse",
                                 refuse[static_cast<int>(mode)]} +
                         options);
    // Python's start-up (and the first CA) on a loaded machine can take seconds.
    WaitUntil(
        [this] {
            m_process->waitForReadyRead(100);
            return m_process->canReadLine() || m_process->state() == QProcess::NotRunning;
        },
        60000);
    const QByteArray line = m_process->readLine().trimmed();
    m_port = line.startsWith("PORT ") ? line.mid(5).toInt() : 0;
    if (m_port > 0)
        return true;
    qWarning("SmtpSink: no port from the server (got '%s')", line.constData());
    Stop();
    return false;
}

void SmtpSink::Stop() {
    if (m_process) {
        m_process->closeWriteChannel();
        m_process->terminate();
        if (!m_process->waitForFinished(10000))
            m_process->kill();
        m_process->waitForFinished(10000);
        m_process.reset();
    }
    m_port = 0;
}

QList<SmtpSink::Message> SmtpSink::Messages() const {
    QList<Message> messages;
    const QDir dir(m_folder);
    // Names are zero-padded counters, so name order is arrival order.
    for (const QString& name : dir.entryList({QStringLiteral("*.json")}, QDir::Files, QDir::Name)) {
        const QJsonObject meta = QJsonDocument::fromJson(ReadFile(dir.filePath(name))).object();
        messages << Message{meta.value("helo").toString(), meta.value("mail_from").toString(),
                            meta.value("rcpt_tos").toVariant().toStringList(),
                            ReadFile(dir.filePath(name.chopped(5) + ".eml")),
                            meta.value("parsed").toObject()};
    }
    return messages;
}

bool SmtpSink::WaitForMessages(int count, int timeoutMs) {
    return WaitUntil([&] { return Messages().size() >= count; }, timeoutMs);
}

QStringList SmtpSink::Sessions(int count, int timeoutMs) const {
    const auto lines = [this] {
        return QString::fromUtf8(ReadFile(m_folder + "/sessions.log"))
            .split(u'\n', Qt::SkipEmptyParts);
    };
    WaitUntil([&] { return lines().size() >= count; }, timeoutMs);
    return lines();
}
