// The exporter on real polls: a SQLite database polled by a SlotMonitor with a real SMTP server,
// its file and endpoint read by promtool and python3-prometheus-client's OpenMetrics parser.
#include "tests/check/CheckProcess.h"
#include "tests/common/OdbcTestEnv.h"
#include "tests/common/SmtpSink.h"
#include "tests/metrics/MetricsTestSupport.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QTcpServer>

#include <gtest/gtest.h>

namespace {

using CheckProcess::Finished;

const QString kReader = QStringLiteral(TRELLION_SOURCE_DIR "/tests/check/read_openmetrics.py");

void ExpectPromtoolAccepts(const QString& text, const char* what) {
    const Finished promtool = CheckProcess::Tool({"promtool", "check", "metrics"}, text);
    EXPECT_EQ(promtool.exitCode, 0)
        << what << ": " << promtool.out.toStdString() << promtool.err.toStdString() << "\n"
        << text.toStdString();
    EXPECT_EQ((promtool.out + promtool.err).trimmed().toStdString(), "") << what;
}

// "type name labels value" lines, as the python parser read them.
QStringList OpenMetricsSamples(const QString& text) {
    const Finished parsed = CheckProcess::Tool({"/usr/bin/python3", kReader}, text);
    EXPECT_EQ(parsed.exitCode, 0) << parsed.err.toStdString() << "\n" << text.toStdString();
    return parsed.out.split(u'\n', Qt::SkipEmptyParts);
}

class MetricsTest : public ::testing::Test {
protected:
    MetricsRig metrics;
    MonitorRig& rig = metrics.rig;
    MetricsExporter& exporter = *metrics.exporter;
};

// A database that answers, then is gone: its series on the file and the endpoint, counted and
// labelled with its title (quotes and backslash escaped), the alert mail counted once, a slot
// restored but not polled yet "not checked"; promtool takes the classic text, python's parser
// the OpenMetrics one, and neither holds the connection string.
TEST_F(MetricsTest, PollsOfASqliteDatabaseOnTheFileAndTheEndpoint) {
    SmtpSink sink;
    ASSERT_TRUE(sink.Start());
    rig.SetUpEmail(sink.Port());
    const QString db = rig.dir + "/sales.db";
    ASSERT_FALSE(OdbcTestEnv::CreateSqliteDatabase(db).isEmpty());
    const QString title = QStringLiteral(R"(Sales "east"\1)");
    const QString label = QStringLiteral(R"(database="Sales \"east\"\\1")");
    rig.StoreSlot(0, OdbcTestEnv::SqliteConnectionString(db), title);
    rig.StoreSlot(1, OdbcTestEnv::SqliteConnectionString(rig.dir + "/orders.db"), "Orders");
    exporter.ExpectSlots();
    const QString file = rig.dir + "/prom/trellion.prom";
    ASSERT_TRUE(QDir().mkpath(rig.dir + "/prom"));
    const quint16 port = FreePort();
    ASSERT_EQ(exporter.Apply({file, port}).toStdString(), "");
    ASSERT_EQ(exporter.Port(), port);

    rig.monitor->PollSlot(0);
    QString text = QString::fromUtf8(TestSupport::ReadFile(file));
    EXPECT_EQ(SampleValue(text, "trellion_up{" + label + "}"), "1");
    EXPECT_GT(SampleValue(text, "trellion_probe_seconds{" + label + "}").toDouble(), 0.0);
    EXPECT_EQ(SampleValue(text, "trellion_status{" + label + ",state=\"reachable\"}"), "1");

    QFile::remove(db);
    rig.monitor->PollSlot(0);
    ASSERT_TRUE(sink.WaitForMessages(1, 15000));
    rig.monitor->PollSlot(0); // still down: no second alert

    text = QString::fromUtf8(TestSupport::ReadFile(file));
    const struct {
        QString sample;
        QString value;
    } expected[] = {
        {"trellion_up{" + label + "}", "0"},
        {"trellion_status{" + label + ",state=\"reachable\"}", "0"},
        {"trellion_status{" + label + ",state=\"slow\"}", "0"},
        {"trellion_status{" + label + ",state=\"unreachable\"}", "1"},
        {"trellion_status{" + label + ",state=\"not checked\"}", "0"},
        {"trellion_polls_total{" + label + "}", "3"},
        {"trellion_failures_total{" + label + "}", "2"},
        {"trellion_alerts_sent_total{" + label + "}", "1"},
        {R"(trellion_status{database="Orders",state="not checked"})", "1"},
        {R"(trellion_status{database="Orders",state="unreachable"})", "0"},
        {R"(trellion_polls_total{database="Orders"})", "0"},
        {R"(trellion_up{database="Orders"})", ""}, // not checked: neither up nor down
    };
    for (const auto& e : expected)
        EXPECT_EQ(SampleValue(text, e.sample).toStdString(), e.value.toStdString())
            << e.sample.toStdString() << "\n"
            << text.toStdString();
    const double lastPoll =
        SampleValue(text, "trellion_last_poll_timestamp_seconds{" + label + "}").toDouble();
    EXPECT_NEAR(lastPoll, QDateTime::currentMSecsSinceEpoch() / 1000.0, 60);
    EXPECT_FALSE(text.contains("sales.db")) << "no connection string in a label";
    EXPECT_TRUE(QFileInfo(file).permissions().testFlag(QFileDevice::ReadOther))
        << "node_exporter reads it as another user";
    EXPECT_EQ(QDir(rig.dir + "/prom").entryList(QDir::Files), QStringList{"trellion.prom"})
        << "no temporary file left behind";
    ExpectPromtoolAccepts(text, "file");

    const HttpAnswer classic = Get(port, "/metrics");
    ASSERT_EQ(classic.status, 200);
    EXPECT_TRUE(classic.head.contains("text/plain; version=0.0.4"));
    EXPECT_EQ(QString::fromUtf8(classic.body), text) << "the endpoint and the file agree";
    ExpectPromtoolAccepts(QString::fromUtf8(classic.body), "endpoint");

    // Prometheus' own scraper asks for OpenMetrics first.
    const HttpAnswer open =
        Get(port, "/metrics", "application/openmetrics-text;version=1.0.0,text/plain;q=0.5");
    ASSERT_EQ(open.status, 200);
    EXPECT_TRUE(open.head.contains("application/openmetrics-text"));
    EXPECT_TRUE(open.body.endsWith("# EOF\n"));
    const QStringList samples = OpenMetricsSamples(QString::fromUtf8(open.body));
    const QString parsedTitle = title;
    for (const QString& line :
         {"gauge trellion_up database=" + parsedTitle + " 0",
          "counter trellion_polls_total database=" + parsedTitle + " 3",
          "counter trellion_failures_total database=" + parsedTitle + " 2",
          "counter trellion_alerts_sent_total database=" + parsedTitle + " 1",
          "gauge trellion_status database=" + parsedTitle + ",state=unreachable 1",
          QStringLiteral("gauge trellion_status database=Orders,state=not checked 1")})
        EXPECT_TRUE(samples.contains(line)) << line.toStdString() << "\n"
                                            << samples.join('\n').toStdString();
    EXPECT_TRUE(metrics.Faults().isEmpty()) << metrics.Faults().join('\n').toStdString();
}

// The endpoint answers GET /metrics alone, on 127.0.0.1 alone; what else comes gets a status
// and a closed connection, never a hang.
TEST_F(MetricsTest, EndpointAnswersGetOfMetricsOnLoopbackOnly) {
    const quint16 port = FreePort();
    ASSERT_EQ(exporter.Apply({{}, port}).toStdString(), "");
    const QByteArray host = "Host: 127.0.0.1\r\n\r\n";
    const struct {
        const char* name;
        QByteArray request;
        int status;
    } cases[] = {
        {"metrics", "GET /metrics HTTP/1.1\r\n" + host, 200},
        {"with a query", "GET /metrics?x=1 HTTP/1.0\r\n" + host, 200},
        {"other path", "GET / HTTP/1.1\r\n" + host, 404},
        {"post", "POST /metrics HTTP/1.1\r\nContent-Length: 0\r\n" + host, 405},
        {"head", "HEAD /metrics HTTP/1.1\r\n" + host, 405},
        {"garbage", "hello\r\n\r\n", 400},
        {"head too long", "GET /metrics HTTP/1.1\r\nX: " + QByteArray(10000, 'a') + "\r\n\r\n",
         431},
    };
    for (const auto& c : cases) {
        const HttpAnswer answer = Fetch(QStringLiteral("127.0.0.1"), port, c.request);
        EXPECT_EQ(answer.status, c.status) << c.name;
    }
    // Other loopback addresses are not this socket's: nothing answers there.
    for (const char* other : {"::1", "127.0.0.2"}) {
        const HttpAnswer answer =
            Fetch(QString::fromLatin1(other), port, "GET /metrics HTTP/1.1\r\n" + host, 2000);
        EXPECT_EQ(answer.status, 0) << other;
    }
    // 0 stops the endpoint.
    ASSERT_EQ(exporter.Apply({{}, 0}).toStdString(), "");
    EXPECT_EQ(exporter.Port(), 0);
    EXPECT_EQ(Get(port, "/metrics").status, 0);
}

// A port in use and a file that cannot be written: each told once in clear words, the polls
// go on, and the file is written as soon as its folder is there.
TEST_F(MetricsTest, BadPortAndFolderAreToldAndPollsGoOn) {
    QTcpServer taken;
    ASSERT_TRUE(taken.listen(QHostAddress(QHostAddress::LocalHost), 0));
    const QString folder = rig.dir + "/missing";
    const QString file = folder + "/trellion.prom";
    const QString problems = exporter.Apply({file, taken.serverPort()});
    EXPECT_TRUE(problems.contains("does not exist")) << problems.toStdString();
    EXPECT_TRUE(problems.contains(
        QStringLiteral("cannot listen on 127.0.0.1 port %1").arg(taken.serverPort())))
        << problems.toStdString();
    EXPECT_EQ(exporter.Port(), 0);

    const QString db = rig.dir + "/up.db";
    ASSERT_FALSE(OdbcTestEnv::CreateSqliteDatabase(db).isEmpty());
    rig.StoreSlot(0, OdbcTestEnv::SqliteConnectionString(db), "Up");
    rig.monitor->PollSlot(0);
    rig.monitor->PollSlot(0);
    EXPECT_EQ(rig.Ends().size(), 2) << "the polls go on";
    const QStringList faults = metrics.Faults();
    ASSERT_EQ(faults.size(), 2) << faults.join('\n').toStdString(); // the port, the file once
    EXPECT_EQ(faults.filter("does not exist").size(), 1);

    ASSERT_TRUE(QDir().mkpath(folder));
    rig.monitor->PollSlot(0);
    EXPECT_EQ(SampleValue(QString::fromUtf8(TestSupport::ReadFile(file)),
                          R"(trellion_polls_total{database="Up"})"),
              "3");
}

// An alert whose mail cannot go out (nothing listens on the mail port) is a failure, not an
// alert sent.
TEST_F(MetricsTest, AnAlertThatDidNotGoOutIsNotCounted) {
    rig.SetUpEmail(FreePort());
    rig.StoreSlot(0, OdbcTestEnv::SqliteConnectionString(rig.dir + "/gone/none.db"), "Gone");
    const QString file = rig.dir + "/gone.prom";
    ASSERT_EQ(exporter.Apply({file, 0}).toStdString(), "");
    rig.monitor->PollSlot(0);
    const QString text = QString::fromUtf8(TestSupport::ReadFile(file));
    EXPECT_EQ(SampleValue(text, R"(trellion_failures_total{database="Gone"})"), "1")
        << text.toStdString();
    EXPECT_EQ(SampleValue(text, R"(trellion_alerts_sent_total{database="Gone"})"), "0");
    EXPECT_EQ(SampleValue(text, R"(trellion_up{database="Gone"})"), "0");
}

TEST(MetricsFileTest, ProblemNamesWhyAPathCannotTakeTheFile) {
    const QString dir = TestSupport::MakeTempDir(QStringLiteral("metrics-path"));
    QFile plain(dir + "/plain");
    ASSERT_TRUE(plain.open(QIODevice::WriteOnly));
    plain.close();
    const struct {
        QString path;
        const char* problem; // empty: fine
    } cases[] = {
        {dir + "/trellion.prom", ""},
        {dir + "/plain", ""}, // an existing file is replaced
        {dir + "/none/trellion.prom", "does not exist"},
        {dir + "/plain/trellion.prom", "does not exist"},
        {dir, "is a folder"},
    };
    for (const auto& c : cases) {
        const QString problem = MetricsFile::Problem(c.path);
        if (*c.problem == '\0')
            EXPECT_EQ(problem.toStdString(), "") << c.path.toStdString();
        else
            EXPECT_TRUE(problem.contains(c.problem))
                << c.path.toStdString() << ": " << problem.toStdString();
    }
}

} // namespace
