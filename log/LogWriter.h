#pragma once

#include <QString>
#include <QStringList>

#include <mutex>

class INotice;

// The four log settings, replaced together so that a writer always sees one consistent set.
struct LogSettings {
    QString accessLogPath;
    QString errorLogPath;
    bool doAccessLog = true;
    bool doErrorLog = true;
};

// Appends time-stamped lines to the access and error logs for up to four poll threads at once.
// Lines whose file cannot be opened wait in the missed-entry queue and are written, oldest
// first, into whichever log opens next.
class LogWriter {
public:
    explicit LogWriter(INotice* notice);

    void SetSettings(const LogSettings& settings);
    LogSettings Settings() const;

    void WriteLogLine(const QString& message, const QString& logPath, bool reportFailure);

    // The writers' lock: the log viewer's loader and Clear Log hold it while they use a file.
    std::mutex& Lock() { return m_lock; }

    // Lines waiting to be written (a copy; for tests and diagnostics).
    QStringList MissedEntries() const;

private:
    INotice* m_notice;
    mutable std::mutex m_lock;
    LogSettings m_settings;
    QStringList m_missed;
};
