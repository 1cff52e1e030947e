#pragma once

#include "history/HistoryTypes.h"

#include <QString>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

class QIODevice;
class HistoryReader;
class HistoryWriter;

struct HistoryOptions {
    QString stateDir; // the file is <stateDir>/history.sqlite
    qint64 rawKeepMs = 7 * HistoryTime::kDayMs;
    int historyDays = 400; // hourly rows; daily rows and outages are kept for ever
    int busyTimeoutMs = 5000;
    int retryMs = 2000;                          // after a failed write or open
    qsizetype queueCapacity = 50000;             // polls waiting for the disk; the oldest go first
    qint64 rollUpEveryMs = HistoryTime::kHourMs; // pruning, measured on clock
    bool quickCheckAtOpen = true;
    // UTC ms; the bench and the tests simulate time through it. Default: the system clock.
    std::function<qint64()> clock;
    // Called on the writer thread, once per fault until writing works again, and once per file
    // moved aside.
    std::function<void(const QString& reason)> onFault;
};

// Poll and outage history in an SQLite file shared safely by several processes. Writes are queued
// to one writer thread and never wait for the disk; queries run on the calling thread over a read
// connection of their own. A file that cannot be written is reported through onFault and retried;
// a damaged one is moved aside and a new one begun.
class HistoryStore {
public:
    explicit HistoryStore(HistoryOptions options);
    // Writes what is queued (one attempt) and stops the writer.
    ~HistoryStore();
    HistoryStore(const HistoryStore&) = delete;
    HistoryStore& operator=(const HistoryStore&) = delete;

    static QString FileName(const QString& stateDir);
    QString FilePath() const { return m_path; }

    // Only enqueue: safe from any thread, never blocks on the disk.
    void Record(const PollRecord& poll);
    // The key's outage begins (an open one is kept: the same outage goes on across a restart).
    void OpenOutage(const QString& key, qint64 startMs, const QString& reason, bool alertSent);
    void MarkOutageAlerted(const QString& key);
    void CloseOutage(const QString& key, qint64 endMs);
    // Prunes raw and hourly rows now instead of at the next roll-up time.
    void RollUpNow();

    // Waits until everything queued before the call was written or dropped; false on time-out.
    bool Flush(int timeoutMs);
    quint64 Written() const;
    quint64 Dropped() const;

    // Queries; nullopt when the file cannot be read (its reason in *error when given).
    std::optional<PollSummary> Summary(const QString& key, qint64 from, qint64 to,
                                       QString* error = nullptr);
    // One bucket per pair of neighbouring edges (HistoryTime::UtcEdges or LocalDayEdges).
    std::optional<std::vector<SeriesBucket>>
    Series(const QString& key, const std::vector<qint64>& edges, QString* error = nullptr);
    // Outages that overlap [from, to), oldest first.
    std::optional<std::vector<OutageRecord>> Outages(const QString& key, qint64 from, qint64 to,
                                                     QString* error = nullptr);
    // CSV (UTF-8, header line, UTC times). Polls are exported as far back as raw rows are kept;
    // older stretches exist only as buckets, exported through ExportSeriesCsv.
    bool ExportPollsCsv(const QString& key, qint64 from, qint64 to, QIODevice* out,
                        QString* error = nullptr);
    bool ExportSeriesCsv(const QString& key, const std::vector<qint64>& edges, QIODevice* out,
                         QString* error = nullptr);
    bool ExportOutagesCsv(const QString& key, qint64 from, qint64 to, QIODevice* out,
                          QString* error = nullptr);

    struct OutageOp {
        enum class Kind { Open, Alerted, Close } kind;
        QString key;
        qint64 whenMs = 0;
        QString reason;
        bool alertSent = false;
    };

private:
    void Run();
    bool EnsureWriterOpen();
    void ReportFault(const QString& reason);
    void ReportMoveAside(const QString& why);
    // The read connection, opened when needed; nullptr with *error set. m_readLock held.
    HistoryReader* ReadyReader(QString* error);

    HistoryOptions m_options;
    QString m_path;

    mutable std::mutex m_lock;
    std::condition_variable m_wake;    // the writer: work or stop
    std::condition_variable m_settled; // Flush: work done
    std::deque<PollRecord> m_polls;
    std::deque<OutageOp> m_ops;
    size_t m_inFlight = 0; // polls the writer took and has not written yet
    bool m_rollUpRequested = false;
    bool m_stop = false;
    quint64 m_enqueued = 0;
    quint64 m_done = 0; // written or dropped
    quint64 m_written = 0;
    quint64 m_dropped = 0;
    quint64 m_generation = 0; // bumped when a new file replaces a damaged one

    // Writer thread only.
    std::unique_ptr<HistoryWriter> m_writer;
    bool m_faultReported = false;
    quint64 m_droppedReported = 0;
    qint64 m_nextRollUp = 0;

    std::mutex m_readLock;
    std::unique_ptr<HistoryReader> m_reader;
    quint64 m_readerGeneration = 0;

    std::thread m_thread;
};
