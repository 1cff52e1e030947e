#include "probe/HealthQuery.h"

#include "probe/OdbcHandles.h"

#include <QList>
#include <algorithm>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
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

// The session a health query runs in, set up for the server behind the connection:
// - read-only: drivers that do not take SQL_ATTR_ACCESS_MODE (psqlodbc's and MariaDB's accept it
//   and go on writing) get the server's own read-only transaction; SQLite refuses writes for the
//   rest of the connection, which ends with the probe;
// - one row: psqlodbc reads a result whole unless told to use a cursor, whatever the row limit;
// - the time-out kept by the server: MariaDB's driver ignores the statement time-out, and its
//   SQLCancel from another thread unlocks a mutex it does not hold, so the cancel stays the last
//   resort.
void PrepareSession(const Odbc::Connection& dbc, int timeoutSeconds) {
    SetConnect(dbc, SQL_ATTR_ACCESS_MODE, SQL_MODE_READ_ONLY);
    const QString dbms = dbc.Info(SQL_DBMS_NAME);
    const auto is = [&dbms](const char* name) {
        return dbms.contains(QLatin1String(name), Qt::CaseInsensitive);
    };
    QList<QByteArray> statements;
    if (is("PostgreSQL")) {
        SetConnect(dbc, kPgUseDeclareFetch, 1);
        SetConnect(dbc, kPgFetchRows, 1);
        statements << "SET TRANSACTION READ ONLY";
    } else if (is("MariaDB")) {
        statements << "SET SESSION max_statement_time = " + QByteArray::number(timeoutSeconds)
                   << "SET TRANSACTION READ ONLY";
    } else if (is("MySQL")) {
        statements << "SET SESSION max_execution_time = " +
                          QByteArray::number(qint64(timeoutSeconds) * 1000)
                   << "SET TRANSACTION READ ONLY";
    } else if (is("SQLite")) {
        statements << "PRAGMA query_only = 1";
    }
    for (const QByteArray& statement : statements) {
        const Odbc::Statement stmt(dbc);
        if (stmt.IsValid())
            Exec(stmt, statement);
    }
}

// Cancels statements past their time-out and a grace, for drivers that ignore the statement
// time-out: one thread for the whole program, woken only when a nearer deadline comes, so that a
// query costs a lock and a map entry. Never destroyed: a poll the watchdog gave up may still
// disarm its statement while the program ends.
class CancelClock {
public:
    static CancelClock& Instance() {
        static CancelClock* const clock = new CancelClock;
        return *clock;
    }

    quint64 Arm(SQLHSTMT stmt, SteadyClock::time_point deadline) {
        std::lock_guard lock(m_mutex);
        if (!m_thread.joinable())
            m_thread = std::thread([this] { Loop(); });
        const quint64 id = m_next++;
        m_armed.emplace(id, Armed{stmt, deadline});
        if (deadline < m_wake)
            m_cv.notify_all();
        return id;
    }

    // True when the statement was cancelled. Afterwards the clock never touches it again.
    bool Disarm(quint64 id) {
        std::lock_guard lock(m_mutex);
        if (m_armed.erase(id) > 0)
            return false;
        m_cancelled.erase(id);
        return true;
    }

private:
    struct Armed {
        SQLHSTMT stmt;
        SteadyClock::time_point deadline;
    };

    CancelClock() = default;

    void Loop() {
        std::unique_lock lock(m_mutex);
        for (;;) {
            const SteadyClock::time_point now = SteadyClock::now();
            m_wake = SteadyClock::time_point::max();
            for (auto it = m_armed.begin(); it != m_armed.end();) {
                if (it->second.deadline <= now) {
                    // Under the lock: the statement cannot be disarmed and freed meanwhile.
                    SQLCancel(it->second.stmt);
                    m_cancelled.insert(it->first);
                    it = m_armed.erase(it);
                } else {
                    m_wake = std::min(m_wake, it->second.deadline);
                    ++it;
                }
            }
            if (m_wake == SteadyClock::time_point::max())
                m_cv.wait(lock);
            else
                m_cv.wait_until(lock, m_wake);
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::map<quint64, Armed> m_armed;
    std::set<quint64> m_cancelled;
    quint64 m_next = 1;
    SteadyClock::time_point m_wake = SteadyClock::time_point::max();
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
    const int seconds = std::max(timeoutSeconds, 1);
    PrepareSession(dbc, seconds);
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
            CancelClock& cancels = CancelClock::Instance();
            const quint64 armed = cancels.Arm(
                stmt.Get(), start + std::chrono::milliseconds(seconds * 1000 + kCancelGraceMs));
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
            run.timedOut = cancels.Disarm(armed);
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
