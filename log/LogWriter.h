#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <chrono>
#include <ctime>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>

class INotice;

// The four log settings, replaced together so that a writer always sees one consistent set.
struct LogSettings {
    QString accessLogPath;
    QString errorLogPath;
    bool doAccessLog = true;
    bool doErrorLog = true;

    friend bool operator==(const LogSettings&, const LogSettings&) = default;
};

// A log that could not be opened for a while, or that opens again after that was reported.
struct LogFault {
    QString path;
    bool failing = true;
    QString reason;        // why it cannot be opened (when failing)
    std::time_t since = 0; // the first failed open of this run of failures

    QString Summary() const;
    QString Text() const;
};

// Appends time-stamped lines to the access and error logs for up to four poll threads at once.
// Lines whose file cannot be opened or written (held by the viewer, missing folder, full disk)
// wait in the missed-entry queue and are written, oldest first, into whichever log opens next.
// The queue keeps the newest kMaxMissed lines; the drained log says how many older ones went.
class LogWriter {
public:
    using Clock = std::function<std::time_t()>;
    using FaultHandler = std::function<void(const LogFault&)>;

    static constexpr std::size_t kMaxMissed = 10000;

    // A log that cannot be opened for faultAfter is reported once through the fault handler,
    // and once more when it opens again.
    explicit LogWriter(INotice* notice,
                       std::chrono::milliseconds faultAfter = std::chrono::minutes(3));

    // Called on the writing (poll) thread, outside the writers' lock; set before writers start.
    void SetFaultHandler(FaultHandler handler);

    // Safe while writers run: each call of WriteLogLine sees either the old or the new set.
    void SetSettings(const LogSettings& settings);
    LogSettings Settings() const;

    // reportFailure: when the file cannot be opened, show "Could not write to log '<path>'" and
    // drop the line instead of queueing it. The poll cycle always passes false.
    void WriteLogLine(const QString& message, const QString& logPath, bool reportFailure);

    // The writers' lock. Files are kept from the viewer and Clear Log by LogFile's own lock, so
    // they need not take this one; whoever does must hold it only briefly, as poll threads wait.
    std::mutex& Lock() { return m_lock; }

    // Lines waiting to be written (a copy; for tests and diagnostics).
    QStringList MissedEntries() const;

    // The source of "now" for the time stamps; replace only before writers start (tests).
    void SetClock(Clock clock);

    // "<%m/%d/%Y %H:%M:%S> " in local time.
    static QByteArray FormatPrefix(std::time_t when);

private:
    struct Trouble {
        std::chrono::steady_clock::time_point since;
        std::time_t sinceWall;
        bool reported = false;
    };

    void Queue(const QByteArray& line);
    // Under m_lock: the fault to report after an open of path failed with error, or none.
    std::optional<LogFault> OpenFailed(const QString& path, int error);
    std::optional<LogFault> OpenWorked(const QString& path);

    INotice* m_notice;
    const std::chrono::milliseconds m_faultAfter;
    FaultHandler m_faultHandler;
    Clock m_clock;
    mutable std::mutex m_settingsLock;
    LogSettings m_settings;
    // Guards the queue and every file access of the writers.
    mutable std::mutex m_lock;
    // Each entry is a whole line as it goes to the file (UTF-8, CR LF inside), without line end.
    std::deque<QByteArray> m_missed;
    std::size_t m_dropped = 0;             // lines pushed out of the full queue, not yet told
    std::map<QString, Trouble> m_troubles; // logs whose last open failed
};
