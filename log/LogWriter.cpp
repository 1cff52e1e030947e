#include "log/LogWriter.h"

#include "platform/LogFile.h"
#include "platform/Notice.h"

#include <QDateTime>

#include <cerrno>
#include <utility>

namespace {

const QByteArray kLineEnd = QByteArrayLiteral("\r\n");
const QByteArray kMissedEntry = QByteArrayLiteral("Missed Entry: ");
const QByteArray kMissedDropped = QByteArrayLiteral("Missed Entries Dropped: ");

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

QString LogFault::Summary() const {
    return failing ? QStringLiteral("Log not written") : QStringLiteral("Log written again");
}

QString LogFault::Text() const {
    if (!failing)
        return QStringLiteral("The log '") + path + QStringLiteral("' can be written again.");
    const QString when =
        QDateTime::fromSecsSinceEpoch(since).toString(QStringLiteral("MM/dd/yyyy HH:mm:ss"));
    return QStringLiteral("Could not write to log '%1' since %2: %3. Its lines wait in memory "
                          "(the last %4) until it can be written.")
        .arg(path, when, reason)
        .arg(LogWriter::kMaxMissed);
}

LogWriter::LogWriter(INotice* notice, std::chrono::milliseconds faultAfter)
    : m_notice(notice), m_faultAfter(faultAfter), m_clock([] { return std::time(nullptr); }) {}

void LogWriter::SetFaultHandler(FaultHandler handler) {
    m_faultHandler = std::move(handler);
}

void LogWriter::Queue(const QByteArray& line) {
    if (m_missed.size() >= kMaxMissed) {
        m_missed.pop_front();
        ++m_dropped;
    }
    m_missed.push_back(line);
}

std::optional<LogFault> LogWriter::OpenFailed(const QString& path, int error) {
    const auto now = std::chrono::steady_clock::now();
    Trouble& trouble = m_troubles.try_emplace(path, Trouble{now, m_clock()}).first->second;
    if (trouble.reported || now - trouble.since < m_faultAfter)
        return std::nullopt;
    trouble.reported = true;
    return LogFault{path, true, LogOpenProblem(path, error), trouble.sinceWall};
}

std::optional<LogFault> LogWriter::OpenWorked(const QString& path) {
    const auto it = m_troubles.find(path);
    if (it == m_troubles.end())
        return std::nullopt;
    const bool reported = it->second.reported;
    const std::time_t since = it->second.sinceWall;
    m_troubles.erase(it);
    if (!reported)
        return std::nullopt;
    return LogFault{path, false, QString(), since};
}

void LogWriter::SetSettings(const LogSettings& settings) {
    {
        std::lock_guard guard(m_settingsLock);
        m_settings = settings;
    }
    // A log the user has moved away from is no longer anyone's worry.
    std::lock_guard guard(m_lock);
    std::erase_if(m_troubles, [&](const auto& trouble) {
        return trouble.first != settings.accessLogPath && trouble.first != settings.errorLogPath;
    });
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
    std::optional<LogFault> fault;
    {
        std::lock_guard guard(m_lock);
        LogFile file(logPath, LogFile::Mode::Append);
        if (!file.IsOpen()) {
            const int error = errno;
            if (reportFailure) {
                notify = true;
            } else {
                Queue(line);
                fault = OpenFailed(logPath, error);
            }
        } else {
            fault = OpenWorked(logPath);
            // An entry leaves the queue only once it is in the file; the first one that cannot
            // be written stops the flush, and this call's line queues behind it, keeping order.
            // The count of dropped lines goes first: they were older than every kept one.
            bool written = true;
            if (m_dropped > 0) {
                written = file.AppendWhole(prefix + kMissedDropped +
                                           QByteArray::number(qulonglong(m_dropped)) + kLineEnd);
                if (written)
                    m_dropped = 0;
            }
            while (written && !m_missed.empty()) {
                if (!file.AppendWhole(prefix + kMissedEntry + m_missed.front() + kLineEnd)) {
                    written = false;
                    break;
                }
                m_missed.pop_front();
            }
            if (!written || !file.AppendWhole(line + kLineEnd))
                Queue(line);
        }
    }
    if (fault && m_faultHandler)
        m_faultHandler(*fault);
    // Shown outside the lock so that the other writers never wait on the user.
    if (notify && m_notice)
        m_notice->ShowNotice(QStringLiteral("Could not write to log '") + logPath + u'\'');
}
