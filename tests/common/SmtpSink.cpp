#include "tests/common/SmtpSink.h"

#include "tests/common/TestSupport.h"

#include <QDir>
#include <QJsonDocument>

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

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
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0)
        return false;
    if (::pipe2(out, O_CLOEXEC) != 0) {
        ::close(in[0]);
        ::close(in[1]);
        return false;
    }
    m_pid = TestSupport::Spawn(QStringList{"/usr/bin/python3",
                                           TRELLION_SOURCE_DIR "/scripts/smtp-sink.py", "--dir",
                                           m_folder, "--pki", QFileInfo(CaFile()).path(),
                                           "--refuse", refuse[static_cast<int>(mode)]} +
                                   options,
                               in[0], out[1]);
    ::close(in[0]);
    ::close(out[1]);
    m_stdin = in[1];
    // The first line; Python's start-up (and the first CA) on a loaded machine can take seconds.
    QByteArray line;
    char c = 0;
    pollfd p{out[0], POLLIN, 0};
    while (m_pid > 0 && !line.endsWith('\n') && ::poll(&p, 1, 60000) == 1 &&
           ::read(out[0], &c, 1) == 1)
        line += c;
    ::close(out[0]);
    line = line.trimmed();
    m_port = line.startsWith("PORT ") ? line.mid(5).toInt() : 0;
    if (m_port > 0)
        return true;
    qWarning("SmtpSink: no port from the server (got '%s')", line.constData());
    Stop();
    return false;
}

void SmtpSink::Stop() {
    if (m_stdin >= 0)
        ::close(m_stdin);
    m_stdin = -1;
    if (m_pid > 0 && !TestSupport::End(m_pid, SIGTERM, 10000))
        qWarning("SmtpSink: the server did not end at SIGTERM");
    m_pid = 0;
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
