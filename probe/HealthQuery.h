#pragma once

#include "probe/HealthExpect.h"

#include <QString>

#include <optional>

namespace Odbc {
class Connection;
}

// A database's health query as its section stores it: the SQL, what its first value must be
// and how long it may run.
struct HealthQuery {
    static constexpr int kDefaultTimeoutSeconds = 10;

    QString sql;
    QString expect;
    int timeoutSeconds = kDefaultTimeoutSeconds;

    // Blank SQL is no query: the probe is a bare connect.
    bool IsSet() const { return !sql.trimmed().isEmpty(); }

    // Why the statement cannot be a health query (it changes something, or is more than one
    // statement); nothing for a single reading statement or blank text. Words inside quotes
    // and comments do not count.
    static std::optional<QString> Refusal(const QString& sql);
};

// One run of a health query on an open connection.
struct HealthRun {
    bool executed = false; // the statement ran and its first row (if any) was read
    bool timedOut = false; // ended by its time-out (the driver's, the server's or the cancel)
    HealthValue value;
    QString error; // the driver's message, or the time-out, when not executed
};

// What one check found: the value made safe to show (empty for none) and why it failed
// ("Health query failed: ..."), empty when it passed.
struct HealthVerdict {
    bool passed = false;
    QString shownValue;
    QString reason;
};

namespace HealthQueryRunner {

// The longest value read; a longer one is cut (its start is what is shown and compared).
inline constexpr qsizetype kMaxValueBytes = 64 * 1024;
// How long past its time-out a statement may run before it is cancelled from outside, for
// drivers that do not keep the statement time-out themselves.
inline constexpr int kCancelGraceMs = 1000;

// Runs sql inside a read-only transaction (where the driver or server takes one) with
// autocommit off, reads the first column of the first row, closes the cursor and rolls back:
// nothing the statement did is ever committed. The connection's autocommit is left off.
HealthRun Run(const Odbc::Connection& dbc, const QString& sql, int timeoutSeconds);

// The whole check on an open connection: a statement that is not a query, or an expectation
// that states none, fails without running; otherwise Run and the expectation's verdict.
HealthVerdict Check(const Odbc::Connection& dbc, const HealthQuery& query);

} // namespace HealthQueryRunner
