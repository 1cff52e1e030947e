// Times one probe as a poll runs it (Connect with the stored completed string, then
// Disconnect) against local PostgreSQL, MariaDB and SQLite, 100 times each, and as a baseline a
// bare SQLDriverConnect/SQLDisconnect of the same string: the ratio is what asking for the names
// and listing schemas and catalogs costs on top of connecting. Then the same with a trivial
// health query, against bare calls that connect, run the same query, read its value and
// disconnect: the ratio is what the probe's whole check costs over the query itself.
#include "probe/DatabaseProbe.h"
#include "tests/common/DbServer.h"
#include "tests/common/OdbcTestEnv.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#include <sql.h>
#include <sqlext.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

namespace {

constexpr int kRuns = 100;
constexpr int kWarmUp = 5;

struct Figures {
    double median = 0;
    double p90 = 0;
    double min = 0;
    int failures = 0;
};

Figures Measure(const std::function<bool()>& once) {
    for (int i = 0; i < kWarmUp; ++i)
        once();
    std::vector<double> ms;
    Figures f;
    for (int i = 0; i < kRuns; ++i) {
        const auto start = std::chrono::steady_clock::now();
        const bool ok = once();
        const auto end = std::chrono::steady_clock::now();
        f.failures += ok ? 0 : 1;
        ms.push_back(std::chrono::duration<double, std::milli>(end - start).count());
    }
    std::sort(ms.begin(), ms.end());
    f.median = (ms[kRuns / 2 - 1] + ms[kRuns / 2]) / 2;
    f.p90 = ms[kRuns * 9 / 10];
    f.min = ms.front();
    return f;
}

const QByteArray kTrivialQuery = "SELECT 1";

// The driver manager's calls alone: connect, optionally one query with its first value read,
// disconnect.
bool BareCalls(const QByteArray& connectionString, bool query) {
    SQLHENV env = SQL_NULL_HENV;
    SQLHDBC dbc = SQL_NULL_HDBC;
    SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env);
    SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc);
    QByteArray in = connectionString;
    bool ok = SQL_SUCCEEDED(SQLDriverConnect(dbc, nullptr, reinterpret_cast<SQLCHAR*>(in.data()),
                                             SQL_NTS, nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT));
    if (ok && query) {
        SQLHSTMT stmt = SQL_NULL_HSTMT;
        SQLAllocHandle(SQL_HANDLE_STMT, dbc, &stmt);
        QByteArray sql = kTrivialQuery;
        char value[64];
        SQLLEN indicator = 0;
        ok = SQL_SUCCEEDED(SQLExecDirect(stmt, reinterpret_cast<SQLCHAR*>(sql.data()), SQL_NTS)) &&
             SQL_SUCCEEDED(SQLFetch(stmt)) &&
             SQL_SUCCEEDED(SQLGetData(stmt, 1, SQL_C_CHAR, value, sizeof value, &indicator)) &&
             value[0] == '1';
        SQLFreeHandle(SQL_HANDLE_STMT, stmt);
    }
    if (ok)
        SQLDisconnect(dbc);
    SQLFreeHandle(SQL_HANDLE_DBC, dbc);
    SQLFreeHandle(SQL_HANDLE_ENV, env);
    return ok;
}

bool Report(const char* name, const QString& connectionString) {
    // As a poll has it: the completed string stored at selection time.
    CDatabaseProbe selected(nullptr, connectionString, true, nullptr);
    if (selected.ConnectionString().isEmpty()) {
        std::printf("%s: cannot connect\n", name);
        return false;
    }
    std::unique_ptr<CDatabaseProbe> probe(
        CDatabaseProbe::FromStored(selected.ConnectionString(), name));
    const QByteArray stored = selected.ConnectionString().toUtf8();
    const Figures base = Measure([&] { return BareCalls(stored, false); });
    const Figures full = Measure([&] {
        const bool ok = probe->Connect(probe->ConnectionString(), nullptr);
        probe->Disconnect();
        return ok;
    });
    std::printf("%-10s probe median %7.2f ms (p90 %7.2f, min %7.2f, failures %d) | bare connect "
                "median %7.2f ms | ratio %.2f\n",
                name, full.median, full.p90, full.min, full.failures, base.median,
                full.median / base.median);
    const HealthQuery query{QString::fromLatin1(kTrivialQuery), QStringLiteral("1"), 10};
    const Figures bareQuery = Measure([&] { return BareCalls(stored, true); });
    const Figures checked = Measure([&] {
        const bool ok = probe->Connect(probe->ConnectionString(), nullptr);
        const bool passed = ok && probe->CheckHealth(query).passed;
        probe->Disconnect();
        return passed;
    });
    std::printf("%-10s probe with query median %7.2f ms (p90 %7.2f, min %7.2f, failures %d) | "
                "bare connect+query median %7.2f ms | ratio %.2f\n",
                name, checked.median, checked.p90, checked.min, checked.failures, bareQuery.median,
                checked.median / bareQuery.median);
    // The connect-only ratio above is the catalogue listing; this is the query's own share.
    std::printf("%-10s the check adds %.2f ms to the probe; the query adds %.2f ms to the bare "
                "connect\n",
                name, checked.median - full.median, bareQuery.median - base.median);
    return full.failures == 0 && base.failures == 0 && checked.failures == 0 &&
           bareQuery.failures == 0;
}

} // namespace

int main(int argc, char** argv) {
    QTemporaryDir home(QDir::tempPath() + QStringLiteral("/trellion-bench-XXXXXX"));
    qputenv("TRELLION_TEST_HOME", home.path().toLocal8Bit());
    QCoreApplication app(argc, argv);
    OdbcTestEnv::Install();

    const QString db = OdbcTestEnv::CreateSqliteDatabase(home.path() + QStringLiteral("/b.db"));
    DbServer pg(DbServer::Kind::Postgres);
    DbServer maria(DbServer::Kind::MariaDb);
    if (db.isEmpty() || !pg.Start() || !maria.Start()) {
        std::printf("set-up failed\n");
        return 1;
    }
    std::printf("%d runs each after %d warm-up runs; times in milliseconds\n", kRuns, kWarmUp);
    bool ok = Report("PostgreSQL", pg.DriverConnectionString());
    ok = Report("MariaDB", maria.DriverConnectionString()) && ok;
    ok = Report("SQLite", OdbcTestEnv::SqliteConnectionString(db)) && ok;
    return ok ? 0 : 1;
}
