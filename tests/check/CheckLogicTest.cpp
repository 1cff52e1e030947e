#include "check/CheckOptions.h"
#include "check/CheckResult.h"
#include "check/CheckRunner.h"

#include <gtest/gtest.h>

namespace {

using namespace Check;

Parsed ParseLine(const QString& line) {
    return ParseArguments(line.split(u' ', Qt::SkipEmptyParts));
}

TEST(CheckOptions, CommandLinesThatAreRefused) {
    // Each a mistake a user makes, and the words that must tell them which.
    const struct {
        const char* line;
        const char* says;
    } cases[] = {
        {"", "give the database with --dsn NAME or --connection-string"},
        {"--dsn a --connection-string DSN=a", "not both"},
        {"--dsn", "--dsn needs a value"},
        {"--dsn a -w", "-w needs a value"},
        {"--dsn a --bogus", "unknown option '--bogus'"},
        {"--dsn a -x", "unknown option '-x'"},
        {"--dsn a stray", "unexpected argument 'stray'"},
        {"--dsn a -w 10:5", "-w/--warning: '10:5' is no threshold range (the start 10 is above"},
        {"--dsn a -c abc", "-c/--critical: 'abc' is no threshold range"},
        {"--dsn a -t 0", "-t/--timeout: '0' is not a whole number of seconds from 1 to 86400"},
        {"--dsn a -t 2.5", "-t/--timeout: '2.5' is not a whole number"},
        {"--dsn a --login-timeout -1", "--login-timeout: '-1' is not a whole number"},
        {"--dsn a --format json", "--format: 'json' is neither plugin nor openmetrics"},
        {"--dsn a --expect =1", "--expect needs --query"},
        {"--dsn a --query VALUES(1) --expect ~(", "--expect:"},
        {"--dsn a --query VALUES(1) --connect-only", "--connect-only runs no query"},
        {"--dsn a --query DELETE", "--query: A health query must be a query"},
        {"--dsn a --connect-only=yes", "--connect-only takes no value"},
        {"--dsn a --password-env P --password-file f", "--password-env or --password-file"},
        {"--connection-string DSN=a;PWD=x --password-env P", "already holds a password"},
    };
    for (const auto& c : cases) {
        const Parsed parsed = ParseLine(QString::fromLatin1(c.line));
        EXPECT_EQ(parsed.action, Parsed::Action::Fail) << c.line;
        EXPECT_TRUE(parsed.error.contains(QLatin1String(c.says)))
            << c.line << " said: " << parsed.error.toStdString();
    }
}

TEST(CheckOptions, SpellingsOfTheSameOptions) {
    for (const char* line : {"--dsn=sales -w 500 -c 2000 -t 7 -vv --format openmetrics",
                             "--dsn sales --warning=500 --critical 2000 --timeout=7 -v -v "
                             "--format=openmetrics",
                             "--dsn sales -w500 -c2000 -t7 -vv --format openmetrics"}) {
        const Parsed parsed = ParseLine(QString::fromLatin1(line));
        ASSERT_EQ(parsed.action, Parsed::Action::Run) << line << ": " << parsed.error.toStdString();
        const Options& o = parsed.options;
        EXPECT_EQ(o.dsn, "sales") << line;
        ASSERT_TRUE(o.warning && o.critical) << line;
        EXPECT_EQ(o.warning->End(), 500) << line;
        EXPECT_EQ(o.critical->End(), 2000) << line;
        EXPECT_EQ(o.timeoutSeconds, 7) << line;
        EXPECT_EQ(o.verbosity, 2) << line;
        EXPECT_EQ(o.format, Format::OpenMetrics) << line;
    }
}

TEST(CheckOptions, DefaultsHelpAndWarnings) {
    const Parsed plain = ParseLine("--dsn sales");
    ASSERT_EQ(plain.action, Parsed::Action::Run);
    EXPECT_EQ(plain.options.timeoutSeconds, 10);
    EXPECT_EQ(plain.options.LoginTimeout(), 9) << "a login gives up before the plugin does";
    EXPECT_FALSE(plain.options.warning || plain.options.critical || plain.options.expect);
    EXPECT_TRUE(plain.warnings.isEmpty());

    EXPECT_EQ(ParseLine("-t 1 --dsn a").options.LoginTimeout(), 1);
    EXPECT_EQ(ParseLine("-t 5 --login-timeout 20 --dsn a").options.LoginTimeout(), 20);

    // Help and version need no database; help wins over anything else on the line, a mistake
    // too, but not where "-h" is another option's value.
    const struct {
        const char* line;
        Parsed::Action action;
    } answers[] = {
        {"-h", Parsed::Action::Help},
        {"-V", Parsed::Action::Version},
        {"-vh", Parsed::Action::Help},
        {"--dsn a -w 10:5 --help", Parsed::Action::Help},
        {"--no-such-option -h", Parsed::Action::Help},
        {"--version --no-such-option", Parsed::Action::Fail},
        {"--dsn a --title -h", Parsed::Action::Run},
        {"--dsn a -w -h", Parsed::Action::Fail},
        {"--dsn a -vw -h", Parsed::Action::Fail},
    };
    for (const auto& a : answers)
        EXPECT_EQ(ParseLine(QString::fromLatin1(a.line)).action, a.action) << a.line;

    const Parsed query = ParseLine("--dsn a --query select");
    ASSERT_EQ(query.action, Parsed::Action::Run);
    ASSERT_TRUE(query.options.expect);
    EXPECT_EQ(query.options.expect->GetKind(), HealthExpect::Kind::AnyRow);
    const Parsed ranged = ParseLine("--dsn a --query select --expect 1:5");
    ASSERT_TRUE(ranged.options.expect);
    EXPECT_EQ(ranged.options.expect->GetKind(), HealthExpect::Kind::Range);

    const Parsed password = ParseLine("--connection-string DSN=a;pwd=secret");
    ASSERT_EQ(password.action, Parsed::Action::Run);
    ASSERT_EQ(password.warnings.size(), 1);
    EXPECT_TRUE(password.warnings[0].contains("--password-file"))
        << password.warnings[0].toStdString();
    EXPECT_FALSE(password.warnings[0].contains("secret"));
}

TEST(CheckResult, RangesInSeconds) {
    const struct {
        const char* ms;
        const char* seconds;
    } cases[] = {
        {"500", "0.5"},          {"2000", "2"},
        {"1.5", "0.0015"},       {"0", "0"},
        {"10:", "0.01:"},        {"~:250", "~:0.25"},
        {"@10:2000", "@0.01:2"}, {"-5:-3", "-0.005:-0.003"},
        {"123456", "123.456"},   {"0.25:7", "0.00025:0.007"},
    };
    for (const auto& c : cases) {
        const auto range = ThresholdRange::Parse(QString::fromLatin1(c.ms), nullptr);
        ASSERT_TRUE(range) << c.ms;
        EXPECT_EQ(RangeInSeconds(*range), QString::fromLatin1(c.seconds)) << c.ms;
    }
}

Options WithThresholds(const char* warning, const char* critical) {
    Options o;
    o.dsn = "sales";
    if (warning)
        o.warning = ThresholdRange::Parse(QString::fromLatin1(warning), nullptr);
    if (critical)
        o.critical = ThresholdRange::Parse(QString::fromLatin1(critical), nullptr);
    return o;
}

ProbeReport Answered(double totalMs) {
    ProbeReport r;
    r.title = "salesdb";
    r.answered = true;
    r.totalMs = totalMs;
    r.connectMs = totalMs / 2;
    return r;
}

TEST(CheckResult, VerdictsAndLines) {
    const struct {
        const char* name;
        ProbeReport report;
        Options options;
        State state;
        const char* line;
    } cases[] = {
        {"fast", Answered(23), WithThresholds("500", "2000"), State::Ok,
         "ODBC OK - salesdb answered in 23 ms | time=0.023s;0.5;2;0 connect=0.0115s;;;0\n"},
        {"over the warning range", Answered(623.4), WithThresholds("500", "2000"), State::Warning,
         "ODBC WARNING - salesdb answered in 623 ms, outside the warning range 500 ms | "
         "time=0.6234s;0.5;2;0 connect=0.3117s;;;0\n"},
        {"over both", Answered(2500), WithThresholds("500", "2000"), State::Critical,
         "ODBC CRITICAL - salesdb answered in 2500 ms, outside the critical range 2000 ms | "
         "time=2.5s;0.5;2;0 connect=1.25s;;;0\n"},
        {"inside an inverted range", Answered(15), WithThresholds("@10:20", nullptr),
         State::Warning,
         "ODBC WARNING - salesdb answered in 15 ms, inside the warning range @10:20 ms | "
         "time=0.015s;@0.01:0.02;;0 connect=0.0075s;;;0\n"},
        {"no thresholds", Answered(2500), WithThresholds(nullptr, nullptr), State::Ok,
         "ODBC OK - salesdb answered in 2500 ms | time=2.5s;;;0 connect=1.25s;;;0\n"},
    };
    for (const auto& c : cases) {
        const Result result = Judge(c.report, c.options);
        EXPECT_EQ(result.state, c.state) << c.name;
        EXPECT_EQ(PluginText(result).toStdString(), c.line) << c.name;
    }
}

TEST(CheckResult, FailuresKeepTheDriversMessageOnOneLine) {
    ProbeReport down;
    down.title = "salesdb";
    down.failure = "connection refused\n\tIs the server running? | port 5432";
    down.totalMs = 3;
    down.connectMs = 2.5;
    const Result critical = Judge(down, WithThresholds("500", nullptr));
    EXPECT_EQ(critical.state, State::Critical);
    EXPECT_EQ(PluginText(critical).toStdString(),
              "ODBC CRITICAL - salesdb could not be reached: connection refused Is the server "
              "running? / port 5432 | time=0.003s;0.5;;0 connect=0.0025s;;;0\n");

    ProbeReport missing;
    missing.title = "nope";
    missing.unknown = true;
    missing.failure = "no ODBC data source is named 'nope'";
    const Result unknown = Judge(missing, Options{});
    EXPECT_EQ(unknown.state, State::Unknown);
    EXPECT_EQ(PluginText(unknown).toStdString(),
              "ODBC UNKNOWN - no ODBC data source is named 'nope'\n");
}

TEST(CheckResult, HealthQueryVerdicts) {
    Options options = WithThresholds("500", nullptr);
    options.query = "select 1";

    ProbeReport passed = Answered(20);
    passed.queryMs = 2;
    passed.verdict = HealthExpect::Parse("=1", nullptr)->Evaluate(HealthValue::Text("1"));
    Result result = Judge(passed, options);
    EXPECT_EQ(result.state, State::Ok);
    EXPECT_TRUE(result.summary.endsWith("; health query value \"1\""))
        << result.summary.toStdString();
    EXPECT_TRUE(result.perfdata.endsWith(" query=0.002s;;;0")) << result.perfdata.toStdString();

    ProbeReport failed = Answered(20);
    failed.verdict = HealthExpect::Parse("=1", nullptr)->Evaluate(HealthValue::Text("0"));
    ASSERT_FALSE(failed.verdict->passed);
    result = Judge(failed, options);
    EXPECT_EQ(result.state, State::Critical);
    EXPECT_TRUE(result.summary.contains(failed.verdict->reason)) << result.summary.toStdString();

    ProbeReport broken = Answered(20);
    broken.queryFailed = true;
    broken.failure = "relation \"x\" does not exist";
    result = Judge(broken, options);
    EXPECT_EQ(result.state, State::Critical);
    EXPECT_TRUE(result.summary.endsWith("the health query failed: relation \"x\" does not exist"))
        << result.summary.toStdString();
}

TEST(CheckResult, OpenMetricsNamesTheStateAndEscapesTheTitle) {
    ProbeReport report = Answered(23);
    report.title = "sales \"eu\"\\west";
    const Result result = Judge(report, WithThresholds("10", nullptr));
    ASSERT_EQ(result.state, State::Warning);
    const QString text = OpenMetricsText(report, result);
    const QString labels = R"(database="sales \"eu\"\\west")";
    EXPECT_TRUE(text.contains("trellion_up{" + labels + "} 1\n")) << text.toStdString();
    EXPECT_TRUE(text.contains("trellion_probe_seconds{" + labels + "} 0.023\n"));
    EXPECT_TRUE(text.contains("trellion_check_state{" + labels + ",state=\"warning\"} 1\n"));
    EXPECT_TRUE(text.contains("trellion_check_state{" + labels + ",state=\"ok\"} 0\n"));
    EXPECT_FALSE(text.contains("trellion_query_seconds")) << "no query ran";
    EXPECT_TRUE(text.endsWith("\n# EOF\n"));
}

TEST(CheckRunner, TitlesAndPasswordsOfConnectionStrings) {
    const struct {
        const char* connectionString;
        const char* title;
        const char* shown;
    } cases[] = {
        {"DRIVER={PostgreSQL Unicode};Server=db1;Database=sales;UID=ops;PWD=s3cret",
         "ops@(db1)/sales", "DRIVER={PostgreSQL Unicode};Server=db1;Database=sales;UID=ops"},
        {"PWD={a;b};DSN=Sales;UID=ops", "Sales", "DSN=Sales;UID=ops"},
        {"DRIVER={SQLite3};Database=/var/lib/app/app.db", "app.db",
         "DRIVER={SQLite3};Database=/var/lib/app/app.db"},
        {"DRIVER=x;Host=h;Password=p;Port=1", "(h)", "DRIVER=x;Host=h;Port=1"},
    };
    for (const auto& c : cases) {
        Options o;
        o.connectionString = QString::fromLatin1(c.connectionString);
        EXPECT_EQ(TitleOf(o), QString::fromLatin1(c.title)) << c.connectionString;
        EXPECT_EQ(WithoutPassword(o.connectionString), QString::fromLatin1(c.shown))
            << c.connectionString;
    }
    Options named;
    named.connectionString = "DSN=Sales";
    named.title = "orders";
    EXPECT_EQ(TitleOf(named), "orders");
}

} // namespace
