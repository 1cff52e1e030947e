#include "log/LogWriter.h"

#include "log/LogFile.h"
#include "platform/Notice.h"

#include <utility>

namespace {

const QByteArray kLineEnd = QByteArrayLiteral("\r\n");
const QByteArray kMissedEntry = QByteArrayLiteral("Missed Entry: ");

// The log format has CR LF line ends throughout, so a line feed inside a message (a driver
// diagnostic, say) goes out as CR LF too, as a text-mode stream would write it.
QByteArray FileText(const QString& message) {
    QByteArray text = message.toUtf8();
    if (text.contains('\n')) {
        QByteArray converted;
        converted.reserve(text.size() + 16);
        for (const char c : std::as_const(text)) {
            if (c == '\n')
                converted.append('\r');
            converted.append(c);
        }
        text = converted;
    }
    return text;
}

} // namespace

LogWriter::LogWriter(INotice* notice)
    : m_notice(notice), m_clock([] { return std::time(nullptr); }) {}

void LogWriter::SetSettings(const LogSettings& settings) {
    std::lock_guard guard(m_settingsLock);
    m_settings = settings;
}

LogSettings LogWriter::Settings() const {
    std::lock_guard guard(m_settingsLock);
    return m_settings;
}

void LogWriter::SetClock(Clock clock) {
    m_clock = std::move(clock);
}

QByteArray LogWriter::FormatPrefix(std::time_t when) {
    std::tm local{};
    localtime_r(&when, &local);
    char text[64];
    const size_t n = std::strftime(text, sizeof text, "<%m/%d/%Y %H:%M:%S> ", &local);
    return QByteArray(text, static_cast<qsizetype>(n));
}

QStringList LogWriter::MissedEntries() const {
    std::lock_guard guard(m_lock);
    QStringList entries;
    for (const QByteArray& entry : m_missed)
        entries.append(QString::fromUtf8(entry));
    return entries;
}

void LogWriter::WriteLogLine(const QString& message, const QString& logPath, bool reportFailure) {
    if (message.isEmpty())
        return;
    {
        const LogSettings settings = Settings();
        // A path equal to both members is written only when both logs are on; a path equal to
        // neither is always written.
        if (logPath == settings.accessLogPath && !settings.doAccessLog)
            return;
        if (logPath == settings.errorLogPath && !settings.doErrorLog)
            return;
    }
    // Stamped before waiting for the lock: the time the poll asked, not the time it got its turn.
    const QByteArray prefix = FormatPrefix(m_clock());
    const QByteArray line = prefix + FileText(message);

    bool notify = false;
    {
        std::lock_guard guard(m_lock);
        LogFile file(logPath, LogFile::Mode::Append);
        if (!file.IsOpen()) {
            if (reportFailure)
                notify = true;
            else
                m_missed.push_back(line);
        } else {
            // An entry leaves the queue only once it is in the file; the first one that cannot
            // be written stops the flush, and this call's line queues behind it, keeping order.
            bool written = true;
            while (!m_missed.empty()) {
                if (!file.AppendWhole(prefix + kMissedEntry + m_missed.front() + kLineEnd)) {
                    written = false;
                    break;
                }
                m_missed.pop_front();
            }
            if (!written || !file.AppendWhole(line + kLineEnd))
                m_missed.push_back(line);
        }
    }
    // Shown outside the lock so that the other writers never wait on the user.
    if (notify && m_notice)
        m_notice->ShowNotice(QStringLiteral("Could not write to log '") + logPath + u'\'');
}
