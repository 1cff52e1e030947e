#include "history/HistoryWriter.h"

#include <QMap>

#include <limits>
#include <utility>

namespace {

QByteArray UpsertSql(const char* table) {
    QByteArray sql = "INSERT INTO " + QByteArray(table) +
                     "(db,t,n,up,slow,down,nc,mn,mx,sm,h0,h1,h2,h3,h4,h5,h6,h7) "
                     "VALUES(?1,?2,?3,?4,?5,?6,?7,?8,?9,?10,?11,?12,?13,?14,?15,?16,?17,?18) "
                     "ON CONFLICT(db,t) DO UPDATE SET n=n+excluded.n, up=up+excluded.up, "
                     "slow=slow+excluded.slow, down=down+excluded.down, nc=nc+excluded.nc, "
                     "mn=CASE WHEN mn IS NULL THEN excluded.mn WHEN excluded.mn IS NULL THEN mn "
                     "ELSE min(mn, excluded.mn) END, "
                     "mx=CASE WHEN mx IS NULL THEN excluded.mx WHEN excluded.mx IS NULL THEN mx "
                     "ELSE max(mx, excluded.mx) END, sm=sm+excluded.sm";
    for (int b = 0; b < kHistogramBuckets; ++b)
        sql += QByteArray(", h%1=h%1+excluded.h%1").replace("%1", QByteArray::number(b));
    return sql;
}

// Rolls back unless committed, so that every early return leaves no transaction open.
class Transaction {
public:
    explicit Transaction(SqliteDb& db) : m_db(db) {}
    ~Transaction() {
        if (m_open)
            m_db.Exec("ROLLBACK");
    }
    int Begin() {
        const int rc = m_db.Exec("BEGIN IMMEDIATE");
        m_open = rc == SQLITE_OK;
        return rc;
    }
    int Commit() {
        const int rc = m_db.Exec("COMMIT");
        if (rc == SQLITE_OK)
            m_open = false;
        return rc;
    }

private:
    SqliteDb& m_db;
    bool m_open = false;
};

} // namespace

void HistoryWriter::Close() {
    m_keyIds.clear();
    m_insertKey = {};
    m_selectKey = {};
    m_insertPoll = {};
    m_upsertHourly = {};
    m_upsertDaily = {};
    m_db.Close();
}

HistoryFile::OpenResult HistoryWriter::Open(const QString& path, int busyTimeoutMs,
                                            bool quickCheck) {
    Close();
    HistoryFile::OpenResult result = HistoryFile::OpenWriter(m_db, path, busyTimeoutMs, quickCheck);
    if (result.code != SQLITE_OK)
        return result;
    sqlite3* db = m_db.Handle();
    m_insertKey = SqliteStatement(db, "INSERT OR IGNORE INTO keys(name) VALUES(?1)");
    m_selectKey = SqliteStatement(db, "SELECT id FROM keys WHERE name=?1");
    m_insertPoll = SqliteStatement(
        db, "INSERT INTO polls(t,db,outcome,elapsed,reason) VALUES(?1,?2,?3,?4,?5)");
    m_upsertHourly = SqliteStatement(db, UpsertSql("hourly").constData());
    m_upsertDaily = SqliteStatement(db, UpsertSql("daily").constData());
    if (!m_insertKey.IsValid() || !m_selectKey.IsValid() || !m_insertPoll.IsValid() ||
        !m_upsertHourly.IsValid() || !m_upsertDaily.IsValid()) {
        result.code = sqlite3_errcode(db);
        result.error = m_db.LastError();
        result.corrupt = IsCorruptCode(result.code);
        m_db.Close();
    }
    return result;
}

HistoryWriter::Result HistoryWriter::Fail(int code) {
    return {code == SQLITE_OK || code == SQLITE_DONE || code == SQLITE_ROW ? SQLITE_ERROR : code,
            m_db.LastError()};
}

int HistoryWriter::KeyId(const QString& key, qint64* id) {
    if (const auto it = m_keyIds.constFind(key); it != m_keyIds.constEnd()) {
        *id = *it;
        return SQLITE_OK;
    }
    m_insertKey.Reset();
    m_insertKey.Bind(1, key);
    if (const int rc = m_insertKey.Step(); rc != SQLITE_DONE)
        return rc;
    m_selectKey.Reset();
    m_selectKey.Bind(1, key);
    if (const int rc = m_selectKey.Step(); rc != SQLITE_ROW)
        return rc;
    *id = m_selectKey.Int(0);
    // An unfinished statement would keep its read snapshot past COMMIT, and a stale snapshot
    // can never be upgraded to a write once another process has written.
    m_selectKey.Reset();
    // The cache is cleared on every failed batch, so an id of a rolled-back insert is not kept.
    m_keyIds.insert(key, *id);
    return SQLITE_OK;
}

int HistoryWriter::UpsertBuckets(SqliteStatement& upsert, const std::vector<PollRecord>& polls,
                                 const std::vector<qint64>& ids, qint64 step) {
    // A batch usually falls in one or two buckets per key: merge first, write each bucket once.
    QMap<std::pair<qint64, qint64>, PollSummary> buckets;
    for (size_t i = 0; i < polls.size(); ++i)
        buckets[{ids[i], HistoryTime::FloorTo(polls[i].utcMs, step)}].Add(polls[i].outcome,
                                                                          polls[i].elapsedMs);
    for (auto it = buckets.constBegin(); it != buckets.constEnd(); ++it) {
        const PollSummary& s = it.value();
        upsert.Reset();
        upsert.Bind(1, it.key().first);
        upsert.Bind(2, it.key().second);
        upsert.Bind(3, s.count);
        upsert.Bind(4, s.reachable);
        upsert.Bind(5, s.slow);
        upsert.Bind(6, s.unreachable);
        upsert.Bind(7, s.notChecked);
        if (s.Answered() > 0) {
            upsert.Bind(8, s.minMs);
            upsert.Bind(9, s.maxMs);
        } else {
            upsert.BindNull(8);
            upsert.BindNull(9);
        }
        upsert.Bind(10, s.sumMs);
        for (int b = 0; b < kHistogramBuckets; ++b)
            upsert.Bind(11 + b, s.histogram[static_cast<size_t>(b)]);
        if (const int rc = upsert.Step(); rc != SQLITE_DONE)
            return rc;
    }
    return SQLITE_OK;
}

int HistoryWriter::ApplyOutage(const HistoryStore::OutageOp& op, qint64 keyId) {
    using Kind = HistoryStore::OutageOp::Kind;
    const char* sql = nullptr;
    switch (op.kind) {
    case Kind::Open:
        sql = "INSERT INTO outages(db,start,end,alert,reason) SELECT ?1,?2,NULL,?3,?4 "
              "WHERE NOT EXISTS (SELECT 1 FROM outages WHERE db=?1 AND end IS NULL)";
        break;
    case Kind::Alerted:
        sql = "UPDATE outages SET alert=1 WHERE db=?1 AND end IS NULL";
        break;
    case Kind::Close:
        sql = "UPDATE outages SET end=max(?2, start) WHERE db=?1 AND end IS NULL";
        break;
    }
    SqliteStatement statement(m_db.Handle(), sql);
    if (!statement.IsValid())
        return sqlite3_errcode(m_db.Handle());
    statement.Bind(1, keyId);
    if (op.kind != Kind::Alerted)
        statement.Bind(2, op.whenMs);
    if (op.kind == Kind::Open) {
        statement.Bind(3, qint64(op.alertSent ? 1 : 0));
        statement.Bind(4, op.reason);
    }
    const int rc = statement.Step();
    return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

HistoryWriter::Result HistoryWriter::Write(const std::vector<PollRecord>& polls,
                                           const std::vector<HistoryStore::OutageOp>& ops) {
    Transaction transaction(m_db);
    if (const int rc = transaction.Begin(); rc != SQLITE_OK)
        return Fail(rc);
    std::vector<qint64> ids(polls.size());
    for (size_t i = 0; i < polls.size(); ++i) {
        const PollRecord& poll = polls[i];
        if (const int rc = KeyId(poll.key, &ids[i]); rc != SQLITE_OK) {
            m_keyIds.clear();
            return Fail(rc);
        }
        m_insertPoll.Reset();
        m_insertPoll.Bind(1, poll.utcMs);
        m_insertPoll.Bind(2, ids[i]);
        m_insertPoll.Bind(3, qint64(static_cast<int>(poll.outcome)));
        m_insertPoll.Bind(4, poll.elapsedMs);
        if (!poll.reason.isEmpty())
            m_insertPoll.Bind(5, poll.reason);
        if (const int rc = m_insertPoll.Step(); rc != SQLITE_DONE) {
            m_keyIds.clear();
            return Fail(rc);
        }
    }
    int rc = UpsertBuckets(m_upsertHourly, polls, ids, HistoryTime::kHourMs);
    if (rc == SQLITE_OK)
        rc = UpsertBuckets(m_upsertDaily, polls, ids, HistoryTime::kDayMs);
    for (size_t i = 0; rc == SQLITE_OK && i < ops.size(); ++i) {
        qint64 id = 0;
        rc = KeyId(ops[i].key, &id);
        if (rc == SQLITE_OK)
            rc = ApplyOutage(ops[i], id);
    }
    if (rc == SQLITE_OK)
        rc = transaction.Commit();
    if (rc != SQLITE_OK) {
        m_keyIds.clear();
        return Fail(rc);
    }
    return {};
}

HistoryWriter::Result HistoryWriter::RollUp(qint64 nowMs, qint64 rawKeepMs, int historyDays) {
    const qint64 rawFrom = HistoryTime::FloorTo(nowMs - rawKeepMs, HistoryTime::kHourMs);
    const qint64 hourlyFrom = HistoryTime::FloorTo(
        nowMs - qint64(historyDays) * HistoryTime::kDayMs, HistoryTime::kDayMs);
    Transaction transaction(m_db);
    if (const int rc = transaction.Begin(); rc != SQLITE_OK)
        return Fail(rc);
    // A horizon never moves back: another process may have pruned with a later clock.
    const char* const steps[] = {
        "INSERT INTO meta(name,value) VALUES('raw_from',?1) "
        "ON CONFLICT(name) DO UPDATE SET value=max(value, excluded.value)",
        "INSERT INTO meta(name,value) VALUES('hourly_from',?2) "
        "ON CONFLICT(name) DO UPDATE SET value=max(value, excluded.value)",
        "DELETE FROM polls WHERE db IN (SELECT id FROM keys) AND t < "
        "(SELECT value FROM meta WHERE name='raw_from')",
        "DELETE FROM hourly WHERE db IN (SELECT id FROM keys) AND t < "
        "(SELECT value FROM meta WHERE name='hourly_from')",
    };
    for (const char* sql : steps) {
        SqliteStatement statement(m_db.Handle(), sql);
        if (!statement.IsValid())
            return Fail(sqlite3_errcode(m_db.Handle()));
        if (sql == steps[0])
            statement.Bind(1, rawFrom);
        if (sql == steps[1])
            statement.Bind(2, hourlyFrom);
        if (const int rc = statement.Step(); rc != SQLITE_DONE)
            return Fail(rc);
    }
    if (const int rc = transaction.Commit(); rc != SQLITE_OK)
        return Fail(rc);
    return {};
}
