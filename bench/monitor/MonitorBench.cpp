// What the engine adds to a probe: 200 polls through SlotMonitor::PollSlot (watchdog ticket,
// timed Connect/Disconnect through CDatabaseProbe, history record, status, tray bookkeeping, the
// alert step with its section lock, log line and display) against a loop that makes the same
// ODBC calls directly (connect, two info calls, two
// listings, disconnect). The runs are interleaved call by call so that load changes hit all.
#include "log/LogWriter.h"
#include "mail/SmtpClient.h"
#include "monitor/SlotMonitor.h"
#include "probe/DatabaseProbe.h"
#include "settings/SettingsStore.h"
#include "tests/common/DbServer.h"
#include "tests/common/OdbcTestEnv.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#include <sql.h>
#include <sqlext.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

constexpr int kPolls = 200;
constexpr int kWarmUp = 5;

using Clock = std::chrono::steady_clock;

void List(SQLHDBC dbc, bool schemas) {
    SQLHSTMT stmt = SQL_NULL_HSTMT;
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &stmt)))
        return;
    SQLCHAR percent[] = "%";
    SQLCHAR empty[] = "";
    if (SQL_SUCCEEDED(SQLTables(stmt, schemas ? empty : percent, SQL_NTS, schemas ? percent : empty,
                                SQL_NTS, empty, SQL_NTS, nullptr, SQL_NTS))) {
        SQLCHAR catalog[128];
        SQLCHAR schema[128];
        SQLLEN indicator = 0;
        SQLBindCol(stmt, 2, SQL_C_CHAR, schema, sizeof schema, &indicator);
        SQLBindCol(stmt, 1, SQL_C_CHAR, catalog, sizeof catalog, &indicator);
        while (SQLFetch(stmt) == SQL_SUCCESS) {
        }
    }
    SQLFreeStmt(stmt, SQL_CLOSE);
    SQLFreeHandle(SQL_HANDLE_STMT, stmt);
}

// The probe's ODBC calls, nothing else.
bool DirectProbe(const QByteArray& connectionString) {
    SQLHENV env = SQL_NULL_HENV;
    SQLHDBC dbc = SQL_NULL_HDBC;
    SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env);
    SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc);
    SQLSetConnectAttr(dbc, SQL_ATTR_ODBC_CURSORS, reinterpret_cast<SQLPOINTER>(SQL_CUR_USE_DRIVER),
                      0);
    SQLSetConnectAttr(dbc, SQL_ATTR_LOGIN_TIMEOUT,
                      reinterpret_cast<SQLPOINTER>(
                          static_cast<SQLULEN>(ProbeOptions::kDefaultLoginTimeoutSeconds)),
                      0);
    QByteArray in = connectionString;
    SQLCHAR out[1024];
    SQLSMALLINT outLength = 0;
    const bool ok =
        SQL_SUCCEEDED(SQLDriverConnect(dbc, nullptr, reinterpret_cast<SQLCHAR*>(in.data()), SQL_NTS,
                                       out, sizeof out, &outLength, SQL_DRIVER_NOPROMPT));
    if (ok) {
        char info[1000];
        SQLSMALLINT length = 0;
        SQLGetInfo(dbc, SQL_SERVER_NAME, info, sizeof info, &length);
        SQLGetInfo(dbc, SQL_USER_NAME, info, sizeof info, &length);
        List(dbc, true);
        List(dbc, false);
        SQLDisconnect(dbc);
    }
    SQLFreeHandle(SQL_HANDLE_DBC, dbc);
    SQLFreeHandle(SQL_HANDLE_ENV, env);
    return ok;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

double Ms(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double, std::milli>(b - a).count();
}

bool Report(const char* name, const QString& connectionString, SlotMonitor& monitor, int slot) {
    std::shared_ptr<CDatabaseProbe> probe(CDatabaseProbe::FromStored(connectionString, name));
    monitor.SetProbe(slot, probe);
    const QByteArray direct = connectionString.toUtf8();
    for (int i = 0; i < kWarmUp; ++i) {
        DirectProbe(direct);
        monitor.PollSlot(slot);
    }
    // A probe of its own, to tell the probe's share of the difference from the engine's.
    std::unique_ptr<CDatabaseProbe> bare(CDatabaseProbe::FromStored(connectionString, name));
    std::vector<double> engine;
    std::vector<double> baseline;
    std::vector<double> probeOnly;
    std::vector<double> measured;
    int failures = 0;
    for (int i = 0; i < kPolls; ++i) {
        // Rotate the order so that none of the three always runs right after another.
        double elapsed = 0;
        for (int k = 0; k < 3; ++k) {
            const auto a = Clock::now();
            switch ((i + k) % 3) {
            case 0:
                failures += DirectProbe(direct) ? 0 : 1;
                baseline.push_back(Ms(a, Clock::now()));
                break;
            case 1:
                monitor.PollSlot(slot);
                elapsed = monitor.History(slot).last().elapsed;
                engine.push_back(Ms(a, Clock::now()));
                failures += elapsed < 0 ? 1 : 0;
                measured.push_back(elapsed);
                break;
            default:
                failures +=
                    bare->Connect(bare->ConnectionString(), nullptr) && bare->Disconnect() ? 0 : 1;
                probeOnly.push_back(Ms(a, Clock::now()));
                break;
            }
        }
    }
    const double e = Median(engine);
    const double d = Median(baseline);
    const double p = Median(probeOnly);
    std::printf("%-10s PollSlot median %8.3f ms | direct ODBC median %8.3f ms | ratio %.3f\n"
                "%-10s (CDatabaseProbe alone %8.3f ms, ratio %.3f to direct; engine on top of the "
                "probe %.3f; the poll's own measure median %.0f ms; failures %d)\n",
                name, e, d, e / d, "", p, p / d, e / p, Median(measured), failures);
    return failures == 0;
}

} // namespace

int main(int argc, char** argv) {
    QTemporaryDir home(QDir::tempPath() + QStringLiteral("/trellion-bench-XXXXXX"));
    qputenv("XDG_CONFIG_HOME", (home.path() + QStringLiteral("/config")).toLocal8Bit());
    qputenv("TRELLION_TEST_HOME", home.path().toLocal8Bit());
    QCoreApplication app(argc, argv);
    OdbcTestEnv::Install();

    const QString db = OdbcTestEnv::CreateSqliteDatabase(home.path() + QStringLiteral("/b.db"));
    DbServer pg(DbServer::Kind::Postgres);
    if (db.isEmpty() || !pg.Start()) {
        std::printf("set-up failed\n");
        return 1;
    }
    auto log = std::make_shared<LogWriter>(nullptr);
    auto smtp = std::make_shared<SmtpClient>(nullptr);
    SlotMonitor monitor(log, smtp);

    std::printf("%d polls each after %d warm-up polls, interleaved; goal: ratio <= 1.05\n", kPolls,
                kWarmUp);
    bool ok = Report("PostgreSQL", pg.DriverConnectionString(), monitor, 0);
    ok = Report("SQLite", OdbcTestEnv::SqliteConnectionString(db), monitor, 1) && ok;
    return ok ? 0 : 1;
}
