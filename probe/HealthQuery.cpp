#include "probe/HealthQuery.h"

#include "probe/OdbcHandles.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace HealthQueryRunner {
namespace {

constexpr int kMaxMessageChars = 399;
constexpr SQLLEN kChunkBytes = 4096;
const QString kFailed = QStringLiteral("Health query failed: ");

using SteadyClock = std::chrono::steady_clock;

bool Exec(const Odbc::Statement& stmt, const QByteArray& sql) {
    QByteArray text = sql;
    const SQLRETURN rc =
        SQLExecDirect(stmt.Get(), reinterpret_cast<SQLCHAR*>(text.data()), SQL_NTS);
    return SQL_SUCCEEDED(rc) || rc == SQL_NO_DATA;
}

// psqlodbc's own connection attributes: read a result through a cursor, this many rows at a
// time, instead of the whole result at once.
constexpr SQLINTEGER kPgUseDeclareFetch = 65539;
constexpr SQLINTEGER kPgFetchRows = 65541;

void SetConnect(const Odbc::Connection& dbc, SQLINTEGER attribute, SQLULEN value) {
    SQLSetConnectAttr(dbc.Get(), attribute, reinterpret_cast<SQLPOINTER>(value), 0);
}

// Drivers that do not take SQL_ATTR_ACCESS_MODE (psqlodbc and MariaDB's accept it and go on
// writing) get the server's own read-only transaction; SQLite refuses writes for the rest of
// the connection, which ends with the probe.
// psqlodbc also reads a result whole unless told to use a cursor, whatever the row limit.
void MakeReadOnly(const Odbc::Connection& dbc) {
    SetConnect(dbc, SQL_ATTR_ACCESS_MODE, SQL_MODE_READ_ONLY);
    const QString dbms = dbc.Info(SQL_DBMS_NAME);
    const bool postgres = dbms.contains(QLatin1String("PostgreSQL"), Qt::CaseInsensitive);
    if (postgres) {
        SetConnect(dbc, kPgUseDeclareFetch, 1);
        SetConnect(dbc, kPgFetchRows, 1);
    }
    QByteArray statement;
    if (postgres || dbms.contains(QLatin1String("MySQL"), Qt::CaseInsensitive) ||
        dbms.contains(QLatin1String("MariaDB"), Qt::CaseInsensitive))
        statement = "SET TRANSACTION READ ONLY";
    else if (dbms.contains(QLatin1String("SQLite"), Qt::CaseInsensitive))
        statement = "PRAGMA query_only = 1";
    if (statement.isEmpty())
        return;
    const Odbc::Statement stmt(dbc);
    if (stmt.IsValid())
        Exec(stmt, statement);
}

// Cancels a statement from its own thread once its time-out and a grace have passed, for
// drivers that ignore the statement time-out. Stopped (and joined) before the statement goes.
class Canceller {
public:
    Canceller(SQLHSTMT stmt, std::chrono::milliseconds after)
        : m_thread([this, stmt, after] {
              std::unique_lock lock(m_mutex);
              if (!m_cv.wait_for(lock, after, [this] { return m_done; })) {
                  m_cancelled = true;
                  SQLCancel(stmt);
              }
          }) {}
    ~Canceller() { Stop(); }
    Canceller(const Canceller&) = delete;
    Canceller& operator=(const Canceller&) = delete;

    // True when the statement was cancelled.
    bool Stop() {
        {
            std::lock_guard lock(m_mutex);
            m_done = true;
        }
        m_cv.notify_all();
        if (m_thread.joinable())
            m_thread.join();
        return m_cancelled;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_done = false;
    bool m_cancelled = false;
    std::thread m_thread;
};

// The first column of the fetched row, in chunks for a long value.
bool ReadFirstColumn(const Odbc::Statement& stmt, HealthValue* value) {
    QByteArray bytes;
    char chunk[kChunkBytes];
    for (;;) {
        SQLLEN indicator = 0;
        const SQLRETURN rc = SQLGetData(stmt.Get(), 1, SQL_C_CHAR, chunk, kChunkBytes, &indicator);
        if (rc == SQL_NO_DATA)
            break;
        if (!SQL_SUCCEEDED(rc))
            return false;
        if (indicator == SQL_NULL_DATA) {
            *value = HealthValue::Null();
            return true;
        }
        // A cut chunk is full but for its terminating zero.
        const bool cut =
            rc == SQL_SUCCESS_WITH_INFO && (indicator == SQL_NO_TOTAL || indicator >= kChunkBytes);
        bytes.append(chunk, cut ? kChunkBytes - 1 : indicator);
        if (!cut || bytes.size() >= kMaxValueBytes)
            break;
    }
    bytes.truncate(kMaxValueBytes);
    *value = HealthValue::Text(std::move(bytes));
    return true;
}

} // namespace

HealthRun Run(const Odbc::Connection& dbc, const QString& sql, int timeoutSeconds) {
    HealthRun run;
    if (!SQL_SUCCEEDED(SQLSetConnectAttr(dbc.Get(), SQL_ATTR_AUTOCOMMIT,
                                         reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), 0))) {
        // Without a transaction nothing could be taken back: the query is not run at all.
        run.error = QStringLiteral("the driver cannot turn autocommit off");
        return run;
    }
    MakeReadOnly(dbc);
    const int seconds = std::max(timeoutSeconds, 1);
    const SteadyClock::time_point start = SteadyClock::now();
    {
        Odbc::Statement stmt(dbc);
        if (!stmt.IsValid()) {
            run.error = dbc.FirstDiagnostic(kMaxMessageChars).value_or(QString());
        } else {
            SQLSetStmtAttr(stmt.Get(), SQL_ATTR_QUERY_TIMEOUT,
                           reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(seconds)), 0);
            // One row is read; a driver that buffers the whole result is told to keep one.
            SQLSetStmtAttr(stmt.Get(), SQL_ATTR_MAX_ROWS, reinterpret_cast<SQLPOINTER>(SQLULEN{1}),
                           0);
            Canceller canceller(stmt.Get(),
                                std::chrono::milliseconds(seconds * 1000 + kCancelGraceMs));
            bool ok = Exec(stmt, sql.toUtf8());
            if (ok) {
                SQLSMALLINT columns = 0;
                SQLNumResultCols(stmt.Get(), &columns);
                const SQLRETURN fetched = columns > 0 ? SQLFetch(stmt.Get()) : SQL_NO_DATA;
                if (fetched != SQL_NO_DATA)
                    ok = SQL_SUCCEEDED(fetched) && ReadFirstColumn(stmt, &run.value);
            }
            if (!ok)
                run.error = stmt.FirstDiagnostic(kMaxMessageChars).value_or(QString());
            run.timedOut = canceller.Stop();
            run.executed = ok && !run.timedOut;
            SQLFreeStmt(stmt.Get(), SQL_CLOSE);
        }
    }
    // Whatever ran is taken back.
    SQLEndTran(SQL_HANDLE_DBC, dbc.Get(), SQL_ROLLBACK);
    if (!run.executed &&
        SteadyClock::now() - start >= std::chrono::seconds(seconds) - std::chrono::milliseconds(50))
        run.timedOut = true;
    if (run.timedOut) {
        run.executed = false;
        run.value = HealthValue::NoRow();
    }
    if (!run.executed && run.error.isEmpty())
        run.error = QStringLiteral("the driver gave no reason");
    return run;
}

HealthVerdict Check(const Odbc::Connection& dbc, const HealthQuery& query) {
    HealthVerdict verdict;
    if (const std::optional<QString> refusal = HealthQuery::Refusal(query.sql)) {
        verdict.reason = kFailed + *refusal;
        return verdict;
    }
    QString why;
    const std::optional<HealthExpect> expect = HealthExpect::Parse(query.expect, &why);
    if (!expect) {
        verdict.reason = kFailed + why;
        return verdict;
    }
    const HealthRun run = Run(dbc, query.sql, query.timeoutSeconds);
    if (run.timedOut) {
        verdict.reason =
            kFailed +
            QStringLiteral("no answer within %1 s").arg(std::max(query.timeoutSeconds, 1));
        return verdict;
    }
    if (!run.executed) {
        verdict.reason = kFailed + run.error.simplified();
        return verdict;
    }
    const HealthExpect::Verdict result = expect->Evaluate(run.value);
    return {result.passed, result.shownValue, result.reason};
}

} // namespace HealthQueryRunner
