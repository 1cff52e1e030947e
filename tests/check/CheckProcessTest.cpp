#include "tests/check/CheckProcess.h"
#include "tests/common/OdbcTestEnv.h"
#include "tests/common/SharedPostgres.h"
#include "tests/common/SilentListener.h"
#include "tests/common/TestSupport.h"

#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <memory>

namespace {

using CheckProcess::Check;
using CheckProcess::Finished;

// What a monitoring engine relies on: one line on standard output, the state word first.
void ExpectOneLine(const Finished& run, const char* context) {
    EXPECT_EQ(run.out.count(u'\n'), 1) << context << ": " << run.out.toStdString();
    EXPECT_TRUE(run.out.endsWith(u'\n')) << context;
}

TEST(CheckArguments, ExitCodesAndTexts) {
    const struct {
        QStringList args;
        int exitCode;
        const char* out; // the start of standard output
        const char* err; // a text standard error must hold, or nullptr for none at all
    } cases[] = {
        {{}, 3, "ODBC UNKNOWN - give the database with --dsn NAME", "Usage: trellion-check"},
        {{"--dsn"}, 3, "ODBC UNKNOWN - --dsn needs a value", "Try 'trellion-check --help'"},
        {{"--dsn", "a", "--frobnicate"},
         3,
         "ODBC UNKNOWN - unknown option '--frobnicate'",
         "Usage:"},
        {{"--dsn", "a", "-w", "1:2:3"},
         3,
         "ODBC UNKNOWN - -w/--warning: '1:2:3' is no threshold",
         "Usage:"},
        {{"--dsn", "a", "-t", "soon"}, 3, "ODBC UNKNOWN - -t/--timeout: 'soon'", "Usage:"},
        {{"--dsn", "NoSuchSource"},
         3,
         "ODBC UNKNOWN - no ODBC data source is named 'NoSuchSource'",
         nullptr},
        {{"--dsn", "a", "--password-file", "/nonexistent/pw"}, 3, "ODBC UNKNOWN - ", nullptr},
        // Plugins end these with UNKNOWN too; help wins over a mistake on the same line.
        {{"-V"}, 3, "trellion-check " TRELLION_VERSION "\n", nullptr},
        {{"--frobnicate", "--help"},
         3,
         "trellion-check " TRELLION_VERSION "\nChecks that a database answers",
         nullptr},
    };
    for (const auto& c : cases) {
        const std::string context = c.args.join(u' ').toStdString();
        const Finished run = Check(c.args);
        EXPECT_EQ(run.exitCode, c.exitCode) << context << ": " << run.out.toStdString();
        EXPECT_TRUE(run.out.startsWith(QLatin1String(c.out)))
            << context << ": " << run.out.toStdString();
        if (c.err)
            EXPECT_TRUE(run.err.contains(QLatin1String(c.err))) << context;
        else
            EXPECT_EQ(run.err.toStdString(), "") << context;
        if (!c.args.contains("-V") && !c.args.contains("--help"))
            ExpectOneLine(run, context.c_str());
    }
}

class CheckAgainstPostgres : public SharedPostgresSuite {
protected:
    void SetUp() override { ASSERT_TRUE(s_server->Start()); }

    // The server's string without its password, which comes from the environment.
    static QString StringWithoutPassword() {
        return s_server->DriverConnectionString().remove(";PWD=" + s_server->Password(),
                                                         Qt::CaseInsensitive);
    }
    static Finished CheckWithEnvPassword(QStringList args, const QString& password) {
        args << "--connection-string" << StringWithoutPassword() << "--password-env"
             << "TRELLION_TEST_PW";
        return Check(args, {"TRELLION_TEST_PW=" + password});
    }
    static QString Title() { return "trellion@(127.0.0.1)/postgres"; }
};

TEST_F(CheckAgainstPostgres, StatesFollowTheDatabaseAndTheThresholds) {
    ASSERT_FALSE(StringWithoutPassword().contains(s_server->Password()));
    const QString password = s_server->Password();
    const QRegularExpression ok(
        "^ODBC OK - " + QRegularExpression::escape(Title()) +
        R"( answered in \d+ ms \| time=\d+(\.\d+)?s;5;10;0 connect=\d+(\.\d+)?s;;;0\n$)");

    Finished run = CheckWithEnvPassword({"-w", "5000", "-c", "10000"}, password);
    EXPECT_EQ(run.exitCode, 0) << run.out.toStdString();
    EXPECT_TRUE(ok.match(run.out).hasMatch()) << run.out.toStdString();
    EXPECT_EQ(run.err.toStdString(), "");

    // Every real probe takes longer than a microsecond.
    run = CheckWithEnvPassword({"-w", "0.001", "-c", "10000"}, password);
    EXPECT_EQ(run.exitCode, 1) << run.out.toStdString();
    EXPECT_TRUE(run.out.startsWith("ODBC WARNING - " + Title() + " answered in "));
    EXPECT_TRUE(run.out.contains(", outside the warning range 0.001 ms | time="));
    run = CheckWithEnvPassword({"-w", "0.001", "-c", "0.002"}, password);
    EXPECT_EQ(run.exitCode, 2) << run.out.toStdString();
    EXPECT_TRUE(run.out.contains(", outside the critical range 0.002 ms | time="));

    run = CheckWithEnvPassword({"--connect-only", "-w", "5000"}, password);
    EXPECT_EQ(run.exitCode, 0) << run.out.toStdString();
    EXPECT_TRUE(run.out.startsWith("ODBC OK - " + Title() + " answered in "));

    ASSERT_TRUE(s_server->Stop());
    for (const QStringList& mode : {QStringList{}, QStringList{"--connect-only"}}) {
        run = CheckWithEnvPassword(mode + QStringList{"-w", "5000"}, password);
        EXPECT_EQ(run.exitCode, 2) << run.out.toStdString();
        EXPECT_TRUE(run.out.startsWith("ODBC CRITICAL - " + Title() + " could not be reached: "))
            << run.out.toStdString();
        // psqlodbc passes on libpq's words.
        EXPECT_TRUE(run.out.contains("Connection refused")) << run.out.toStdString();
        ExpectOneLine(run, "stopped");
    }
}

// A health query decides with the probe: a value inside the expectation is OK with the query's
// own time in the perfdata; one outside it, or a query that outlives its time-out, is CRITICAL
// with the reason; a writing statement is refused before anything connects, and whatever the
// query did is rolled back.
TEST_F(CheckAgainstPostgres, HealthQueryDecidesTheState) {
    const QString password = s_server->Password();
    Finished run = CheckWithEnvPassword(
        {"--query", "select count(*) from pg_database", "--expect", "1:"}, password);
    EXPECT_EQ(run.exitCode, 0) << run.out.toStdString();
    EXPECT_TRUE(run.out.startsWith("ODBC OK - " + Title() + " answered in "));
    EXPECT_TRUE(run.out.contains(QRegularExpression(R"( query=\d+(\.\d+)?s;;;0\n$)")))
        << run.out.toStdString();

    run = CheckWithEnvPassword({"--query", "select 37", "--expect", "0:10"}, password);
    EXPECT_EQ(run.exitCode, 2) << run.out.toStdString();
    EXPECT_TRUE(run.out.contains("Health query failed: expected 0:10, got 37"))
        << run.out.toStdString();
    ExpectOneLine(run, "outside the expectation");

    QElapsedTimer clock;
    clock.start();
    run =
        CheckWithEnvPassword({"--query", "select pg_sleep(30)", "--login-timeout", "2"}, password);
    EXPECT_EQ(run.exitCode, 2) << run.out.toStdString();
    EXPECT_LT(clock.elapsed(), 9000) << "the statement is cut at its time-out, not the plugin's";

    run = Check({"--connection-string", StringWithoutPassword(), "--query",
                 "update pg_database set datallowconn = false"});
    EXPECT_EQ(run.exitCode, 3) << run.out.toStdString();
    EXPECT_TRUE(run.out.startsWith("ODBC UNKNOWN - --query: ")) << run.out.toStdString();

    // A write the words do not show (inside a function) runs, and is rolled back.
    run = CheckWithEnvPassword({"--query", "select pg_catalog.set_config('x.y', 'z', false)"},
                               password);
    EXPECT_EQ(run.exitCode, 0) << run.out.toStdString();
}

TEST_F(CheckAgainstPostgres, PasswordSources) {
    const QString dir = TestSupport::MakeTempDir("pw");
    const auto writeFile = [&dir](const char* name, const QString& text,
                                  QFileDevice::Permissions permissions) {
        QFile file(dir + "/" + name);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(text.toUtf8());
        file.close();
        file.setPermissions(permissions);
        return file.fileName();
    };
    const auto owner = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
    const QString good = writeFile("good", s_server->Password() + "\n", owner);
    const QString shared =
        writeFile("shared", s_server->Password(), owner | QFileDevice::ReadOther);
    const QString wrong = writeFile("wrong", "not-the-password\n", owner);
    const QString cs = StringWithoutPassword();

    Finished run = Check({"--connection-string", cs, "--password-file", good});
    EXPECT_EQ(run.exitCode, 0) << run.out.toStdString();
    EXPECT_EQ(run.err.toStdString(), "");

    run = Check({"--connection-string", cs, "--password-file", shared});
    EXPECT_EQ(run.exitCode, 0) << run.out.toStdString();
    EXPECT_TRUE(run.err.contains("can be read by other users")) << run.err.toStdString();

    run = Check({"--connection-string", cs, "--password-file", wrong});
    EXPECT_EQ(run.exitCode, 2) << run.out.toStdString();
    EXPECT_TRUE(run.out.contains("password authentication failed")) << run.out.toStdString();
    EXPECT_FALSE(run.out.contains("not-the-password"));

    // On the command line it works, with a warning that others can read it.
    run = Check({"--connection-string", s_server->DriverConnectionString()});
    EXPECT_EQ(run.exitCode, 0) << run.out.toStdString();
    EXPECT_TRUE(run.err.contains("can read in the process list")) << run.err.toStdString();
    EXPECT_FALSE(run.out.contains(s_server->Password()));

    run = Check({"--connection-string", cs, "--password-env", "TRELLION_NOT_SET"});
    EXPECT_EQ(run.exitCode, 3) << run.out.toStdString();
    EXPECT_EQ(run.out.toStdString(),
              "ODBC UNKNOWN - the variable TRELLION_NOT_SET named by --password-env is not set\n");
}

TEST_F(CheckAgainstPostgres, DataSourceAndVerboseOutput) {
    OdbcTestEnv::AddDsn("CheckPg", s_server->Driver(),
                        {{"Servername", "127.0.0.1"},
                         {"Port", QString::number(s_server->Port())},
                         {"Database", s_server->Database()},
                         {"Username", s_server->User()}});
    Finished run =
        Check({"--dsn", "CheckPg", "--password-env", "PW", "-v"}, {"PW=" + s_server->Password()});
    EXPECT_EQ(run.exitCode, 0) << run.out.toStdString();
    EXPECT_TRUE(run.out.startsWith("ODBC OK - CheckPg answered in ")) << run.out.toStdString();
    EXPECT_TRUE(run.out.contains("(server 127.0.0.1, user trellion, ")) << run.out.toStdString();
    ExpectOneLine(run, "-v");

    run = Check({"--dsn", "CheckPg", "--password-env", "PW", "-vv", "--title", "orders"},
                {"PW=" + s_server->Password()});
    EXPECT_EQ(run.exitCode, 0) << run.out.toStdString();
    const QStringList lines = run.out.split(u'\n', Qt::SkipEmptyParts);
    ASSERT_GE(lines.size(), 4) << run.out.toStdString();
    EXPECT_TRUE(lines[0].startsWith("ODBC OK - orders answered in "));
    EXPECT_TRUE(run.out.contains("\nconnection string: DSN=CheckPg;PWD=***\n"))
        << run.out.toStdString();
    EXPECT_FALSE(run.out.contains(s_server->Password()));
}

TEST(CheckTimeouts, SilentServer) {
    OdbcTestEnv::Install();
    SilentListener silent;
    ASSERT_GT(silent.Port(), 0);
    const QString cs = QStringLiteral("DRIVER={PostgreSQL Unicode};Server=127.0.0.1;Port=%1;"
                                      "Database=postgres;UID=trellion")
                           .arg(silent.Port());

    // The login gives up first: the database did not answer.
    for (const QStringList& mode : {QStringList{}, QStringList{"--connect-only"}}) {
        const Finished run = Check(
            mode + QStringList{"--connection-string", cs, "-t", "10", "--login-timeout", "1"});
        EXPECT_EQ(run.exitCode, 2) << run.out.toStdString();
        EXPECT_TRUE(run.out.startsWith("ODBC CRITICAL - trellion@(127.0.0.1)/postgres could not "
                                       "be reached: "))
            << run.out.toStdString();
        EXPECT_LT(run.ms, 6000);
    }

    // The plugin gives up first: it has no verdict.
    Finished run = Check({"--connection-string", cs, "-t", "1", "--login-timeout", "30"});
    EXPECT_EQ(run.exitCode, 3) << run.out.toStdString();
    EXPECT_EQ(run.out.toStdString(), "ODBC UNKNOWN - trellion@(127.0.0.1)/postgres gave no "
                                     "result within the plugin's time-out of 1 s\n");
    EXPECT_GE(run.ms, 1000);
    EXPECT_LT(run.ms, 5000);

    run = Check(
        {"--connection-string", cs, "-t", "1", "--login-timeout", "30", "--format", "openmetrics"});
    EXPECT_EQ(run.exitCode, 3);
    EXPECT_TRUE(run.out.contains("state=\"unknown\"} 1\n")) << run.out.toStdString();
}

// The OpenMetrics output of one run, read by promtool (Prometheus' own linter, classic text
// format) and by python3-prometheus-client's OpenMetrics parser.
TEST_F(CheckAgainstPostgres, OpenMetricsPassesPrometheusTools) {
    const QString script = QStringLiteral(TRELLION_SOURCE_DIR "/tests/check/read_openmetrics.py");
    const struct {
        const char* name;
        QStringList args;
        int exitCode;
        const char* up;
        const char* state;
    } cases[] = {
        {"up",
         {"--connection-string", s_server->DriverConnectionString(), "-w", "5000"},
         0,
         "1",
         "ok"},
        {"refused",
         {"--connection-string", "DRIVER={PostgreSQL Unicode};Server=127.0.0.1;Port=1;UID=x"},
         2,
         "0",
         "critical"},
    };
    for (const auto& c : cases) {
        const Finished run =
            Check(c.args + QStringList{"--format", "openmetrics", "--title", c.name});
        EXPECT_EQ(run.exitCode, c.exitCode) << run.out.toStdString();

        const Finished promtool = CheckProcess::Tool({"promtool", "check", "metrics"}, run.out);
        EXPECT_EQ(promtool.exitCode, 0)
            << c.name << ": " << promtool.out.toStdString() << promtool.err.toStdString();
        EXPECT_EQ((promtool.out + promtool.err).trimmed().toStdString(), "") << c.name;

        const Finished parsed = CheckProcess::Tool({"/usr/bin/python3", script}, run.out);
        ASSERT_EQ(parsed.exitCode, 0) << c.name << ": " << parsed.err.toStdString();
        const QString database = QStringLiteral("database=%1").arg(QLatin1String(c.name));
        EXPECT_TRUE(parsed.out.contains(
            QStringLiteral("gauge trellion_up %1 %2\n").arg(database, QLatin1String(c.up))))
            << parsed.out.toStdString();
        EXPECT_TRUE(parsed.out.contains(QStringLiteral("gauge trellion_check_state %1,state=%2 1\n")
                                            .arg(database, QLatin1String(c.state))))
            << parsed.out.toStdString();
        EXPECT_TRUE(parsed.out.contains("gauge trellion_probe_seconds " + database + " "))
            << parsed.out.toStdString();
        int current = 0;
        for (const QString& line : parsed.out.split(u'\n'))
            current += line.startsWith("gauge trellion_check_state ") && line.endsWith(" 1");
        EXPECT_EQ(current, 1) << "one current state: " << parsed.out.toStdString();
    }
}

} // namespace
