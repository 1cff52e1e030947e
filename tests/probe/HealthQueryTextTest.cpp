// Which statements may be a health query: reading ones pass, anything that writes, locks or
// holds a second statement is refused with a sentence; words in quotes and comments do not
// count, and neither do words that only contain a keyword.
#include "probe/HealthQuery.h"

#include <gtest/gtest.h>

namespace {

TEST(HealthQueryTextTest, ReadingStatementsPass) {
    const char* const reading[] = {
        "",
        "   ",
        "SELECT 1",
        "  select count(*) from queue;  ",
        "SELECT 1; -- the end\n",
        "WITH q AS (SELECT 1 AS n) SELECT n FROM q",
        "VALUES (1)",
        "SHOW server_version",
        "PRAGMA integrity_check",
        "PRAGMA quick_check(10)",
        "EXPLAIN SELECT 1",
        "/* lag */ SELECT pg_last_xact_replay_timestamp()",
        "-- replica\nSELECT pg_is_in_recovery()",
        "SELECT 'UPDATE x; DELETE y' AS text",
        "SELECT \"insert\" FROM \"drop\"",
        "SELECT `update` FROM t",
        "SELECT $$DROP TABLE t$$",
        "SELECT $q$ ; DELETE $q$",
        "SELECT updated_at, created_by, into_count FROM t",
        "SELECT replace(name, 'a', 'b') FROM t",
        "SELECT 'it''s; fine'",
        "SELECT @@read_only",
        "SELECT count(*) FROM t WHERE state = 'idle'",
        "(SELECT 1)",
        "SELECT 'C:\\temp' AS folder",
    };
    for (const char* sql : reading) {
        SCOPED_TRACE(sql);
        const std::optional<QString> refusal = HealthQuery::Refusal(QString::fromUtf8(sql));
        EXPECT_FALSE(refusal) << refusal.value_or("").toStdString();
    }
}

TEST(HealthQueryTextTest, StatementsThatWriteAreRefusedWithASentence) {
    const struct {
        const char* sql;
        const char* refusal;
    } cases[] = {
        {"UPDATE t SET a = 1", "A health query must be a query (SELECT, WITH, VALUES, SHOW, "
                               "PRAGMA, EXPLAIN), not UPDATE."},
        {"insert into t values (1)", "not INSERT."},
        {"  delete from t", "not DELETE."},
        {"DROP TABLE t", "not DROP."},
        {"CREATE TABLE t (a int)", "not CREATE."},
        {"TRUNCATE t", "not TRUNCATE."},
        {"BEGIN", "not BEGIN."},
        {"COMMIT", "not COMMIT."},
        {"CALL refill()", "not CALL."},
        {"SET x = 1", "not SET."},
        {"/* looks harmless */ UPDATE t SET a = 1", "not UPDATE."},
        {"WITH gone AS (DELETE FROM t RETURNING *) SELECT count(*) FROM gone",
         "A health query must only read; this one contains DELETE."},
        {"SELECT * INTO copy FROM t", "contains INTO."},
        {"SELECT 1 INTO OUTFILE '/tmp/x'", "contains INTO."},
        {"SELECT * FROM t FOR UPDATE", "contains UPDATE."},
        {"EXPLAIN ANALYZE DELETE FROM t", "contains ANALYZE."},
        {"SELECT 1; DELETE FROM t", "The health query must be a single statement."},
        {"SELECT 1;;", "The health query must be a single statement."},
        {"SELECT 1; /* x */ SELECT 2", "The health query must be a single statement."},
        {"PRAGMA journal_mode = WAL", "A PRAGMA with \"=\" sets a value"},
        {"SELECT 'unclosed", "a quote or comment that is never closed."},
        // Read as PostgreSQL reads it, the backslash ends the text and a DELETE follows.
        {"SELECT 'a\\' ; DELETE FROM t; --'", "The health query must be a single statement."},
        // Read as MySQL reads it, the quote is escaped and the text goes on to a DELETE.
        {"SELECT 'a\\'' ; DELETE FROM t; -- '", "The health query must be a single statement."},
        {"SELECT 1 /* unclosed", "a quote or comment that is never closed."},
        {"SELECT $tag$ unclosed", "a quote or comment that is never closed."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sql);
        const std::optional<QString> refusal = HealthQuery::Refusal(QString::fromUtf8(c.sql));
        ASSERT_TRUE(refusal);
        EXPECT_TRUE(refusal->contains(QString::fromUtf8(c.refusal))) << refusal->toStdString();
    }
}

TEST(HealthQueryTextTest, BlankSqlIsNoQuery) {
    EXPECT_FALSE(HealthQuery{}.IsSet());
    EXPECT_FALSE((HealthQuery{" \n\t", "=ok", 10}.IsSet()));
    EXPECT_TRUE((HealthQuery{"SELECT 1", "", 10}.IsSet()));
    EXPECT_EQ(HealthQuery{}.timeoutSeconds, 10);
}

} // namespace
