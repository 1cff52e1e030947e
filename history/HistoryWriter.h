#pragma once

#include "history/HistoryFile.h"
#include "history/HistoryStore.h"
#include "history/Sqlite.h"

#include <QHash>

#include <vector>

// The writer thread's connection: one transaction per batch, with the hourly and daily roll-ups
// brought up to date in the same transaction, so that a crash never leaves them disagreeing with
// the raw rows.
class HistoryWriter {
public:
    struct Result {
        int code = SQLITE_OK;
        QString error;
        bool Ok() const { return code == SQLITE_OK; }
    };

    HistoryFile::OpenResult Open(const QString& path, int busyTimeoutMs, bool quickCheck);

    // Lets go of the file (before it is moved aside).
    void Close();

    Result Write(const std::vector<PollRecord>& polls,
                 const std::vector<HistoryStore::OutageOp>& ops);
    // Deletes raw rows older than the hour before now - rawKeepMs and hourly rows older than the
    // day before now - historyDays, and records both horizons for the readers.
    Result RollUp(qint64 nowMs, qint64 rawKeepMs, int historyDays);

private:
    Result Fail(int code);
    int KeyId(const QString& key, qint64* id);
    int UpsertBuckets(SqliteStatement& upsert, const std::vector<PollRecord>& polls,
                      const std::vector<qint64>& ids, qint64 step);
    int ApplyOutage(const HistoryStore::OutageOp& op, qint64 keyId);

    SqliteDb m_db;
    SqliteStatement m_insertKey;
    SqliteStatement m_selectKey;
    SqliteStatement m_insertPoll;
    SqliteStatement m_upsertHourly;
    SqliteStatement m_upsertDaily;
    QHash<QString, qint64> m_keyIds;
};
