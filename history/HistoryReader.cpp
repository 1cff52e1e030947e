#include "history/HistoryReader.h"

#include "history/HistoryFile.h"

namespace HistoryPlan {
namespace {

using HistoryTime::CeilTo;
using HistoryTime::FloorTo;
using HistoryTime::kDayMs;
using HistoryTime::kHourMs;

void AddRaw(qint64 from, qint64 to, const Horizons& h, std::vector<Piece>* out) {
    // A partial hour lies inside one hour and rawFrom is a whole hour: all kept or none.
    if (from < to && from >= h.rawFrom)
        out->push_back({Level::Raw, from, to});
}

void AddHours(qint64 from, qint64 to, const Horizons& h, std::vector<Piece>* out) {
    if (from >= to)
        return;
    const qint64 firstHour = CeilTo(from, kHourMs);
    if (firstHour >= to) {
        AddRaw(from, to, h, out);
        return;
    }
    const qint64 lastHour = FloorTo(to, kHourMs);
    AddRaw(from, firstHour, h, out);
    const qint64 hoursFrom = std::max(firstHour, h.hourlyFrom);
    if (hoursFrom < lastHour)
        out->push_back({Level::Hourly, hoursFrom, lastHour});
    AddRaw(lastHour, to, h, out);
}

} // namespace

std::vector<Piece> Decompose(qint64 from, qint64 to, const Horizons& horizons) {
    std::vector<Piece> pieces;
    if (from >= to)
        return pieces;
    const qint64 firstDay = CeilTo(from, kDayMs);
    const qint64 lastDay = FloorTo(to, kDayMs);
    if (firstDay >= lastDay) {
        AddHours(from, to, horizons, &pieces);
        return pieces;
    }
    AddHours(from, firstDay, horizons, &pieces);
    pieces.push_back({Level::Daily, firstDay, lastDay});
    AddHours(lastDay, to, horizons, &pieces);
    return pieces;
}

} // namespace HistoryPlan

namespace {

// Both statements give the same columns: count, reachable, slow, unreachable, not checked, min,
// max, sum, then the histogram.
QByteArray RawSumSql() {
    QByteArray sql = "SELECT count(*), sum(outcome=1), sum(outcome=2), sum(outcome=3), "
                     "sum(outcome=4), min(CASE WHEN outcome<=2 THEN elapsed END), "
                     "max(CASE WHEN outcome<=2 THEN elapsed END), "
                     "total(CASE WHEN outcome<=2 THEN elapsed END)";
    for (int b = 0; b < kHistogramBuckets; ++b) {
        QByteArray term = ", sum(outcome<=2";
        if (b > 0)
            term += " AND elapsed>=" + QByteArray::number(kHistogramEdges[size_t(b) - 1]);
        if (b < kHistogramBuckets - 1)
            term += " AND elapsed<" + QByteArray::number(kHistogramEdges[size_t(b)]);
        sql += term + ")";
    }
    return sql + " FROM polls WHERE db=?1 AND t>=?2 AND t<?3";
}

QByteArray LevelSumSql(const char* table) {
    QByteArray sql = "SELECT sum(n), sum(up), sum(slow), sum(down), sum(nc), min(mn), max(mx), "
                     "total(sm)";
    for (int b = 0; b < kHistogramBuckets; ++b)
        sql += ", sum(h" + QByteArray::number(b) + ")";
    return sql + " FROM " + QByteArray(table) + " WHERE db=?1 AND t>=?2 AND t<?3";
}

PollSummary ReadSum(const SqliteStatement& row) {
    PollSummary s;
    s.count = row.Int(0);
    s.reachable = row.Int(1);
    s.slow = row.Int(2);
    s.unreachable = row.Int(3);
    s.notChecked = row.Int(4);
    s.minMs = row.Real(5);
    s.maxMs = row.Real(6);
    s.sumMs = row.Real(7);
    for (int b = 0; b < kHistogramBuckets; ++b)
        s.histogram[size_t(b)] = row.Int(8 + b);
    return s;
}

} // namespace

bool HistoryReader::Open(const QString& path, int busyTimeoutMs, Error* error) {
    const HistoryFile::OpenResult opened = HistoryFile::OpenReader(m_db, path, busyTimeoutMs);
    if (opened.code != SQLITE_OK) {
        *error = {opened.code, opened.error};
        return false;
    }
    sqlite3* db = m_db.Handle();
    m_key = SqliteStatement(db, "SELECT id FROM keys WHERE name=?1");
    m_raw = SqliteStatement(db, RawSumSql().constData());
    m_hourly = SqliteStatement(db, LevelSumSql("hourly").constData());
    m_daily = SqliteStatement(db, LevelSumSql("daily").constData());
    if (!m_key.IsValid() || !m_raw.IsValid() || !m_hourly.IsValid() || !m_daily.IsValid())
        return Fail(sqlite3_errcode(db), error);
    return true;
}

bool HistoryReader::Fail(int code, Error* error) {
    *error = {code == SQLITE_OK ? SQLITE_ERROR : code, m_db.LastError()};
    m_db.Exec("ROLLBACK");
    // Reopened by the next query: the file may have been replaced meanwhile.
    m_key = {};
    m_raw = {};
    m_hourly = {};
    m_daily = {};
    m_db.Close();
    return false;
}

std::nullopt_t HistoryReader::FailQuery(int code, Error* error) {
    Fail(code, error);
    return std::nullopt;
}

bool HistoryReader::Begin(Error* error) {
    // A read transaction, so that the horizons and the rows come from one snapshot.
    if (const int rc = m_db.Exec("BEGIN"); rc != SQLITE_OK)
        return Fail(rc, error);
    return true;
}

void HistoryReader::End() {
    m_db.Exec("COMMIT");
}

bool HistoryReader::LookUpKey(const QString& key, qint64* id, Error* error) {
    m_key.Reset();
    m_key.Bind(1, key);
    const int rc = m_key.Step();
    if (rc != SQLITE_ROW && rc != SQLITE_DONE)
        return Fail(rc, error);
    *id = rc == SQLITE_ROW ? m_key.Int(0) : 0;
    m_key.Reset();
    return true;
}

bool HistoryReader::SumPiece(qint64 keyId, const HistoryPlan::Piece& piece, PollSummary* sum,
                             Error* error) {
    using HistoryPlan::Level;
    SqliteStatement& statement = piece.level == Level::Raw      ? m_raw
                                 : piece.level == Level::Hourly ? m_hourly
                                                                : m_daily;
    statement.Reset();
    statement.Bind(1, keyId);
    statement.Bind(2, piece.from);
    statement.Bind(3, piece.to);
    const int rc = statement.Step();
    if (rc != SQLITE_ROW)
        return Fail(rc, error);
    sum->Merge(ReadSum(statement));
    statement.Reset();
    return true;
}

std::optional<std::vector<PollSummary>>
HistoryReader::Buckets(const QString& key, const std::vector<qint64>& edges, Error* error) {
    if (!Begin(error))
        return std::nullopt;
    qint64 keyId = 0;
    if (!LookUpKey(key, &keyId, error))
        return std::nullopt;
    HistoryPlan::Horizons horizons;
    {
        SqliteStatement meta(m_db.Handle(), "SELECT name, value FROM meta");
        int rc = SQLITE_ROW;
        while (meta.IsValid() && (rc = meta.Step()) == SQLITE_ROW) {
            if (meta.Text(0) == QLatin1String("raw_from"))
                horizons.rawFrom = meta.Int(1);
            else if (meta.Text(0) == QLatin1String("hourly_from"))
                horizons.hourlyFrom = meta.Int(1);
        }
        if (!meta.IsValid() || rc != SQLITE_DONE)
            return FailQuery(meta.IsValid() ? rc : sqlite3_errcode(m_db.Handle()), error);
    }
    std::vector<PollSummary> sums(edges.size() > 1 ? edges.size() - 1 : 0);
    for (size_t i = 0; keyId != 0 && i + 1 < edges.size(); ++i) {
        for (const HistoryPlan::Piece& piece :
             HistoryPlan::Decompose(edges[i], edges[i + 1], horizons)) {
            if (!SumPiece(keyId, piece, &sums[i], error))
                return std::nullopt;
        }
    }
    End();
    return sums;
}

std::optional<std::vector<OutageRecord>> HistoryReader::Outages(const QString& key, qint64 from,
                                                                qint64 to, Error* error) {
    if (!Begin(error))
        return std::nullopt;
    std::vector<OutageRecord> outages;
    SqliteStatement query(m_db.Handle(), "SELECT o.start, o.end, o.alert, o.reason FROM outages o "
                                         "JOIN keys k ON k.id=o.db WHERE k.name=?1 AND o.start<?3 "
                                         "AND (o.end IS NULL OR o.end>?2) ORDER BY o.start");
    if (!query.IsValid())
        return FailQuery(sqlite3_errcode(m_db.Handle()), error);
    query.Bind(1, key);
    query.Bind(2, from);
    query.Bind(3, to);
    int rc = SQLITE_ROW;
    while ((rc = query.Step()) == SQLITE_ROW) {
        OutageRecord outage;
        outage.key = key;
        outage.startMs = query.Int(0);
        outage.endMs = query.IsNull(1) ? -1 : query.Int(1);
        outage.alertSent = query.Int(2) != 0;
        outage.reason = query.Text(3);
        outages.push_back(outage);
    }
    if (rc != SQLITE_DONE)
        return FailQuery(rc, error);
    End();
    return outages;
}

std::optional<std::vector<PollRecord>> HistoryReader::Polls(const QString& key, qint64 from,
                                                            qint64 to, Error* error) {
    if (!Begin(error))
        return std::nullopt;
    std::vector<PollRecord> polls;
    SqliteStatement query(m_db.Handle(),
                          "SELECT p.t, p.outcome, p.elapsed, p.reason FROM polls p "
                          "JOIN keys k ON k.id=p.db WHERE k.name=?1 AND p.t>=?2 AND p.t<?3 "
                          "ORDER BY p.t, p.rowid");
    if (!query.IsValid())
        return FailQuery(sqlite3_errcode(m_db.Handle()), error);
    query.Bind(1, key);
    query.Bind(2, from);
    query.Bind(3, to);
    int rc = SQLITE_ROW;
    while ((rc = query.Step()) == SQLITE_ROW) {
        PollRecord poll;
        poll.utcMs = query.Int(0);
        poll.key = key;
        poll.outcome = static_cast<PollResult>(query.Int(1));
        poll.elapsedMs = query.Real(2);
        poll.reason = query.Text(3);
        polls.push_back(poll);
    }
    if (rc != SQLITE_DONE)
        return FailQuery(rc, error);
    End();
    return polls;
}
