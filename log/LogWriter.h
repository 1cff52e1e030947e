#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <ctime>
#include <deque>
#include <functional>
#include <mutex>

class INotice;

// The four log settings, replaced together so that a writer always sees one consistent set.
struct LogSettings {
    QString accessLogPath;
    QString errorLogPath;
    bool doAccessLog = true;
    bool doErrorLog = true;

    friend bool operator==(const LogSettings&, const LogSettings&) = default;
};

// Appends time-stamped lines to the access and error logs for up to four poll threads at once.
// Lines whose file cannot be opened or written (held by the viewer, missing folder, full disk)
// wait in the missed-entry queue and are written, oldest first, into whichever log opens next;
// nothing that reached the writer with its log switched on is dropped while the program runs.
class LogWriter {
public:
    using Clock = std::function<std::time_t()>;

    explicit LogWriter(INotice* notice);

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
    INotice* m_notice;
    Clock m_clock;
    mutable std::mutex m_settingsLock;
    LogSettings m_settings;
    // Guards the queue and every file access of the writers.
    mutable std::mutex m_lock;
    // Each entry is a whole line as it goes to the file (UTF-8, CR LF inside), without line end.
    std::deque<QByteArray> m_missed;
};
