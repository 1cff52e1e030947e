// Health queries through the real drivers: PostgreSQL and MariaDB on private servers, SQLite on
// a file. The value read, the verdict and its reason; a query past its time-out cancelled within
// its bound; a statement that writes never committed; a huge result read one row; bytes that
// are not UTF-8 shown safely.
#include "probe/DatabaseProbe.h"
#include "tests/common/OdbcTestEnv.h"
#include "tests/common/SharedPostgres.h"
#include "tests/common/TestSupport.h"

#include <QElapsedTimer>

#include <gtest/gtest.h>

#include <memory>

namespace {

std::string Str(const QString& text) {
    return text.toStdString();
}

struct Checked {
    bool connected = false;
    HealthVerdict verdict;
    qint64 ms = 0; // the whole probe
};

// One poll's probe with the query: connect, check, disconnect.
Checked Probe(const QString& connectionString, const QString& sql, const QString& expect,
              int timeoutSeconds = 5) {
    std::unique_ptr<CDatabaseProbe> probe(
        CDatabaseProbe::FromStored(connectionString, "health", ProbeOptions{5, nullptr}));
    Checked checked;
    QElapsedTimer timer;
    timer.start();
    QString error;
    checked.connected = probe->Connect(probe->ConnectionString(), &error);
    EXPECT_TRUE(checked.connected) << Str(error);
    checked.verdict = probe->CheckHealth(HealthQuery{sql, expect, timeoutSeconds});
    probe->Disconnect();
    checked.ms = timer.elapsed();
    return checked;
}

struct Case {
    const char* what;
    QString sql;
    QString expect;
    bool passes;
    QString shown;  // the value as shown
    QString reason; // a part of the reason (empty when it passes)
};

void RunCases(const QString& connectionString, const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Checked checked = Probe(connectionString, c.sql, c.expect);
        EXPECT_EQ(checked.verdict.passed, c.passes) << Str(checked.verdict.reason);
        EXPECT_EQ(checked.verdict.shownValue, c.shown);
        if (c.passes)
            EXPECT_TRUE(checked.verdict.reason.isEmpty()) << Str(checked.verdict.reason);
        else
            EXPECT_TRUE(checked.verdict.reason.contains(c.reason)) << Str(checked.verdict.reason);
    }
}

class PostgresHealthTest : public SharedPostgresSuite {
protected:
    static void SetUpTestSuite() {
        SharedPostgresSuite::SetUpTestSuite();
        if (HasFatalFailure())
            return;
        const QString error = OdbcTestEnv::ExecSql(
            Server(),
            {"DROP TABLE IF EXISTS queue", "CREATE TABLE queue (id int)",
             "INSERT INTO queue SELECT generate_series(1, 37)", "DROP TABLE IF EXISTS counter",
             "CREATE TABLE counter (n int)", "INSERT INTO counter VALUES (0)",
             "CREATE OR REPLACE FUNCTION bump() RETURNS int LANGUAGE sql AS "
             "'UPDATE counter SET n = n + 1 RETURNING n'"});
        ASSERT_TRUE(error.isEmpty()) << Str(error);
    }
    static QString Server() { return s_server->DriverConnectionString(); }
};

TEST_F(PostgresHealthTest, ValuesAgainstExpectations) {
    RunCases(
        Server(),
        {
            {"a primary is not in recovery", "SELECT pg_is_in_recovery()", "=0", true, "\"0\"", ""},
            {"a replica check fails on a primary", "SELECT pg_is_in_recovery()", "=1", false,
             "\"0\"", "Health query failed: expected =1, got \"0\""},
            {"a queue inside its range", "SELECT count(*) FROM queue", "30:40", true, "37", ""},
            {"a queue that stopped draining", "SELECT count(*) FROM queue", "0:10", false, "37",
             "Health query failed: expected 0:10, got 37"},
            {"inside an @ range is bad", "SELECT count(*) FROM queue", "@30:40", false, "37",
             "expected @30:40, got 37"},
            {"a pattern", "SELECT 'replica lag 0s'", "~lag \\d+s$", true, "\"replica lag 0s\"", ""},
            {"NULL is the text NULL", "SELECT NULL", "=NULL", true, "NULL", ""},
            {"NULL is not a number", "SELECT NULL::int", "0:", false, "NULL",
             "got NULL (not a number)"},
            {"no row", "SELECT 1 WHERE false", "", false, "", "Health query failed: no row"},
            {"any row will do", "SELECT 'anything'", "", true, "\"anything\"", ""},
            {"the driver's message", "SELECT * FROM no_such_table", "", false, "",
             "Health query failed: ERROR: relation \"no_such_table\" does not exist"},
            {"a statement that writes is refused unrun", "UPDATE counter SET n = 99", "", false, "",
             "Health query failed: A health query must be a query"},
            {"a bad expectation fails unrun", "SELECT 1", "~(", false, "",
             "Health query failed: The pattern \"(\" is not valid"},
        });
}

TEST_F(PostgresHealthTest, AWriteInsideAQueryIsRefusedAndNothingIsCommitted) {
    const Checked checked = Probe(Server(), "SELECT bump()", "");
    EXPECT_FALSE(checked.verdict.passed);
    EXPECT_TRUE(checked.verdict.reason.contains("read-only transaction"))
        << Str(checked.verdict.reason);
    // The function cannot write through the read-only transaction, and had the server let it,
    // the rollback would have taken it back: the counter is as it was.
    const QString error =
        OdbcTestEnv::ExecSql(Server(), {"DO $$ BEGIN IF (SELECT n FROM counter) <> 0 THEN "
                                        "RAISE EXCEPTION 'counter is %', (SELECT n FROM counter); "
                                        "END IF; END $$"});
    EXPECT_TRUE(error.isEmpty()) << Str(error);
}

TEST_F(PostgresHealthTest, AQueryPastItsTimeOutIsCancelledWithinItsBound) {
    const Checked checked = Probe(Server(), "SELECT pg_sleep(30)", "", 1);
    EXPECT_FALSE(checked.verdict.passed);
    EXPECT_EQ(checked.verdict.reason, "Health query failed: no answer within 1 s");
    EXPECT_LT(checked.ms, 1000 + HealthQueryRunner::kCancelGraceMs + 1500);
    // The connection was free again: the server holds no sleeping session.
    EXPECT_TRUE(TestSupport::WaitUntil(
        [] {
            return OdbcTestEnv::ExecSql(
                       Server(), {"DO $$ BEGIN IF EXISTS (SELECT 1 FROM pg_stat_activity WHERE "
                                  "query LIKE 'SELECT pg_sleep(30)%') THEN RAISE EXCEPTION "
                                  "'still sleeping'; END IF; END $$"})
                .isEmpty();
        },
        5000));
}

TEST_F(PostgresHealthTest, AHugeResultIsReadOneRow) {
    const Checked checked = Probe(Server(), "SELECT generate_series(1, 10000000)", "1", 20);
    EXPECT_TRUE(checked.verdict.passed) << Str(checked.verdict.reason);
    EXPECT_EQ(checked.verdict.shownValue, "1");
    EXPECT_LT(checked.ms, 1500) << "the whole result was read";
}

TEST_F(PostgresHealthTest, ALongValueIsReadWhole) {
    // Longer than one chunk of the read: an exact match needs every byte.
    const QString value = QString(10000, u'a') + "end";
    const Checked checked =
        Probe(Server(), "SELECT repeat('a', 10000) || 'end'", QStringLiteral("=") + value);
    EXPECT_TRUE(checked.verdict.passed) << Str(checked.verdict.reason);
    EXPECT_TRUE(checked.verdict.shownValue.endsWith("(10003 bytes)"))
        << Str(checked.verdict.shownValue);
}

TEST(MariaDbHealthTest, ReadOnlyFlagWritesRefusedAndTheServersTimeOut) {
    OdbcTestEnv::Install();
    DbServer server(DbServer::Kind::MariaDb);
    ASSERT_TRUE(server.Start());
    const QString cs = server.DriverConnectionString();
    const QString error = OdbcTestEnv::ExecSql(
        cs, {"CREATE TABLE counter (n int)", "INSERT INTO counter VALUES (0)",
             "CREATE FUNCTION bump() RETURNS int MODIFIES SQL DATA BEGIN "
             "UPDATE counter SET n = n + 1; RETURN (SELECT n FROM counter); END"});
    ASSERT_TRUE(error.isEmpty()) << Str(error);
    RunCases(cs, {
                     {"a writable primary", "SELECT @@read_only", "0", true, "0", ""},
                     {"a read-only check on a primary", "SELECT @@read_only", "1:1", false, "0",
                      "Health query failed: expected 1:1, got 0"},
                     {"a write inside a query", "SELECT bump()", "", false, "",
                      "in a READ ONLY transaction"},
                 });
    const Checked counter = Probe(cs, "SELECT n FROM counter", "=0");
    EXPECT_TRUE(counter.verdict.passed) << Str(counter.verdict.reason);
    // The server ends the query at its time-out; the cancel from outside stays the last resort.
    const Checked slow = Probe(cs, "SELECT SLEEP(30)", "", 1);
    EXPECT_EQ(slow.verdict.reason, "Health query failed: no answer within 1 s");
    EXPECT_LT(slow.ms, 1000 + HealthQueryRunner::kCancelGraceMs);
}

TEST(SqliteHealthTest, IntegrityAndBytesThatAreNotText) {
    OdbcTestEnv::Install();
    const QString file = OdbcTestEnv::CreateSqliteDatabase(TestSupport::MakeTempDir("health") +
                                                           QStringLiteral("/health.db"));
    ASSERT_FALSE(file.isEmpty());
    const QString cs = OdbcTestEnv::SqliteConnectionString(file);
    RunCases(cs, {
                     {"integrity", "PRAGMA integrity_check", "=ok", true, "\"ok\"", ""},
                     {"bytes that are not UTF-8", "SELECT CAST(X'C328FF0A41' AS TEXT)", "=x", false,
                      "\"\\xC3(\\xFF\\nA\"",
                      "Health query failed: expected =x, got \"\\xC3(\\xFF\\nA\""},
                     {"a PRAGMA that sets is refused", "PRAGMA journal_mode = DELETE", "", false,
                      "", "A PRAGMA with \"=\" sets a value"},
                 });
    // The SQLite driver keeps no statement time-out: the query is cancelled from outside.
    const Checked endless = Probe(cs,
                                  "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c) "
                                  "SELECT count(*) FROM c",
                                  "", 1);
    EXPECT_EQ(endless.verdict.reason, "Health query failed: no answer within 1 s");
    EXPECT_LT(endless.ms, 1000 + HealthQueryRunner::kCancelGraceMs + 1500);
}

} // namespace
