#include "history/HistoryStore.h"

#include "history/HistoryReader.h"
#include "history/HistoryWriter.h"

#include <QDateTime>
#include <QDir>

#include <chrono>

namespace {

constexpr size_t kBatchPolls = 4096;

QString FaultText(const QString& path, const QString& what, int code, const QString& detail) {
    QString kind;
    switch (code & 0xff) {
    case SQLITE_FULL:
        kind = QStringLiteral("the disk is full");
        break;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
        kind = QStringLiteral("it is locked by another program");
        break;
    case SQLITE_READONLY:
        kind = QStringLiteral("the file or its folder is read-only");
        break;
    case SQLITE_PERM:
    case SQLITE_CANTOPEN:
        kind = QStringLiteral("the file or its folder cannot be created or opened");
        break;
    default:
        kind = QStringLiteral("error %1").arg(code);
        break;
    }
    return QStringLiteral("History file '%1' %2: %3 (%4)").arg(path, what, kind, detail);
}

} // namespace

HistoryStore::HistoryStore(HistoryOptions options) : m_options(std::move(options)) {
    if (!m_options.clock)
        m_options.clock = [] { return QDateTime::currentMSecsSinceEpoch(); };
    m_path = FileName(m_options.stateDir);
    m_writer = std::make_unique<HistoryWriter>();
    m_thread = std::thread([this] { Run(); });
}

HistoryStore::~HistoryStore() {
    {
        std::lock_guard lock(m_lock);
        m_stop = true;
    }
    m_wake.notify_all();
    m_thread.join();
}

QString HistoryStore::FileName(const QString& stateDir) {
    return QDir(stateDir).filePath(QStringLiteral("history.sqlite"));
}

void HistoryStore::Record(const PollRecord& poll) {
    {
        std::lock_guard lock(m_lock);
        ++m_enqueued;
        if (m_polls.size() + m_inFlight >= static_cast<size_t>(m_options.queueCapacity)) {
            // The disk has stalled for long: the oldest queued poll goes, counted. Polls the
            // writer already holds stay; when it holds them all, the new one goes.
            ++m_dropped;
            ++m_done;
            if (m_polls.empty())
                return;
            m_polls.pop_front();
        }
        m_polls.push_back(poll);
    }
    m_wake.notify_one();
}

void HistoryStore::OpenOutage(const QString& key, qint64 startMs, const QString& reason,
                              bool alertSent) {
    {
        std::lock_guard lock(m_lock);
        ++m_enqueued;
        m_ops.push_back({OutageOp::Kind::Open, key, startMs, reason, alertSent});
    }
    m_wake.notify_one();
}

void HistoryStore::MarkOutageAlerted(const QString& key) {
    {
        std::lock_guard lock(m_lock);
        ++m_enqueued;
        m_ops.push_back({OutageOp::Kind::Alerted, key, 0, {}, true});
    }
    m_wake.notify_one();
}

void HistoryStore::CloseOutage(const QString& key, qint64 endMs) {
    {
        std::lock_guard lock(m_lock);
        ++m_enqueued;
        m_ops.push_back({OutageOp::Kind::Close, key, endMs, {}, false});
    }
    m_wake.notify_one();
}

void HistoryStore::RollUpNow() {
    {
        std::lock_guard lock(m_lock);
        m_rollUpRequested = true;
    }
    m_wake.notify_one();
}

bool HistoryStore::Flush(int timeoutMs) {
    std::unique_lock lock(m_lock);
    const quint64 target = m_enqueued;
    return m_settled.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [&] { return m_done >= target && !m_rollUpRequested; });
}

quint64 HistoryStore::Written() const {
    std::lock_guard lock(m_lock);
    return m_written;
}

quint64 HistoryStore::Dropped() const {
    std::lock_guard lock(m_lock);
    return m_dropped;
}

void HistoryStore::ReportFault(const QString& reason) {
    if (m_faultReported)
        return;
    m_faultReported = true;
    if (m_options.onFault)
        m_options.onFault(reason);
}

void HistoryStore::ReportMoveAside(const QString& why) {
    QString error;
    const QString aside = HistoryFile::MoveAside(m_path, m_options.clock(), &error);
    if (aside.isEmpty()) {
        ReportFault(
            QStringLiteral("History file '%1' is damaged (%2) and cannot be moved aside: %3")
                .arg(m_path, why, error));
        return;
    }
    {
        std::lock_guard lock(m_lock);
        ++m_generation;
    }
    if (m_options.onFault)
        m_options.onFault(
            QStringLiteral("History file '%1' was damaged (%2); it was moved to '%3' and a new "
                           "one begun")
                .arg(m_path, why, aside));
}

bool HistoryStore::EnsureWriterOpen() {
    for (int attempt = 0; attempt < 2; ++attempt) {
        const HistoryFile::OpenResult opened =
            m_writer->Open(m_path, m_options.busyTimeoutMs, m_options.quickCheckAtOpen);
        if (opened.code == SQLITE_OK) {
            if (m_nextRollUp == 0)
                m_nextRollUp = m_options.clock(); // prune soon after opening
            return true;
        }
        if (!opened.corrupt || attempt > 0) {
            ReportFault(
                FaultText(m_path, QStringLiteral("cannot be opened"), opened.code, opened.error));
            return false;
        }
        ReportMoveAside(opened.error);
    }
    return false;
}

void HistoryStore::Run() {
    std::vector<PollRecord> polls;
    std::vector<OutageOp> ops;
    bool rollUp = false;
    bool open = false;
    for (;;) {
        {
            std::unique_lock lock(m_lock);
            if (polls.empty() && ops.empty() && !rollUp) {
                // Idle: wake for work, or now and then for the roll-up time.
                m_wake.wait_for(lock, std::chrono::seconds(30), [&] {
                    return m_stop || !m_polls.empty() || !m_ops.empty() || m_rollUpRequested;
                });
                if (m_stop && m_polls.empty() && m_ops.empty())
                    break;
                while (!m_polls.empty() && polls.size() < kBatchPolls) {
                    polls.push_back(std::move(m_polls.front()));
                    m_polls.pop_front();
                }
                m_inFlight = polls.size();
                ops.assign(std::make_move_iterator(m_ops.begin()),
                           std::make_move_iterator(m_ops.end()));
                m_ops.clear();
                rollUp = m_rollUpRequested;
            }
        }
        const bool due = m_nextRollUp != 0 && m_options.clock() >= m_nextRollUp;
        bool ok = open || (open = EnsureWriterOpen());
        if (ok && (!polls.empty() || !ops.empty())) {
            const HistoryWriter::Result result = m_writer->Write(polls, ops);
            ok = result.Ok();
            if (!ok && IsCorruptCode(result.code)) {
                open = false;
                m_writer->Close();
                ReportMoveAside(result.error);
                continue; // the same batch goes into the new file
            }
            if (!ok) {
                ReportFault(FaultText(m_path, QStringLiteral("cannot be written"), result.code,
                                      result.error));
                if ((result.code & 0xff) != SQLITE_BUSY)
                    open = false; // reopened on the next try: the folder may have changed
            }
        }
        if (ok && (rollUp || due)) {
            const qint64 now = m_options.clock();
            const HistoryWriter::Result result =
                m_writer->RollUp(now, m_options.rawKeepMs, m_options.historyDays);
            ok = result.Ok();
            if (ok)
                m_nextRollUp =
                    HistoryTime::FloorTo(now, m_options.rollUpEveryMs) + m_options.rollUpEveryMs;
            else
                ReportFault(FaultText(m_path, QStringLiteral("cannot be rolled up"), result.code,
                                      result.error));
        }
        if (ok) {
            // Told before the batch counts as done, so that whoever flushed sees the report.
            const quint64 dropped = Dropped();
            if (m_faultReported && dropped > m_droppedReported && m_options.onFault)
                m_options.onFault(QStringLiteral("History file '%1' is written again; %2 polls "
                                                 "were not recorded meanwhile")
                                      .arg(m_path)
                                      .arg(dropped - m_droppedReported));
            m_faultReported = false;
            m_droppedReported = dropped;
            std::unique_lock lock(m_lock);
            m_written += polls.size();
            m_done += polls.size() + ops.size();
            polls.clear();
            ops.clear();
            m_inFlight = 0;
            if (rollUp)
                m_rollUpRequested = false;
            rollUp = false;
            lock.unlock();
            m_settled.notify_all();
            continue;
        }
        std::unique_lock lock(m_lock);
        if (m_stop) {
            // Ending with a file that cannot be written: what is pending is lost, as reported.
            m_done += polls.size() + ops.size() + m_polls.size() + m_ops.size();
            m_dropped += polls.size() + m_polls.size();
            m_polls.clear();
            m_ops.clear();
            m_inFlight = 0;
            m_rollUpRequested = false;
            lock.unlock();
            m_settled.notify_all();
            break;
        }
        m_wake.wait_for(lock, std::chrono::milliseconds(m_options.retryMs), [&] { return m_stop; });
    }
    m_writer.reset();
}

HistoryReader* HistoryStore::ReadyReader(QString* error) {
    quint64 generation = 0;
    {
        std::lock_guard lock(m_lock);
        generation = m_generation;
    }
    if (!m_reader || generation != m_readerGeneration) {
        m_reader = std::make_unique<HistoryReader>();
        m_readerGeneration = generation;
    }
    HistoryReader::Error failure;
    if (!m_reader->IsOpen() && !m_reader->Open(m_path, m_options.busyTimeoutMs, &failure)) {
        if (error)
            *error = failure.text;
        return nullptr;
    }
    return m_reader.get();
}
