// The README's examples as shipped, against a private PostgreSQL: the Prometheus scrape job run
// by a private Prometheus server that sees a stopped database go down, and the Nagios command
// and Zabbix UserParameter command lines run with the built trellion-check.
#include "tests/check/CheckProcess.h"
#include "tests/common/DbServer.h"
#include "tests/common/OdbcTestEnv.h"
#include "tests/metrics/MetricsTestSupport.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QUrl>

#include <gtest/gtest.h>

#include <csignal>

namespace {

QString Readme() {
    return QString::fromUtf8(
        TestSupport::ReadFile(QStringLiteral(TRELLION_SOURCE_DIR "/README.md")));
}

// The first fenced block after the line that starts with intro.
QString ReadmeBlock(const QString& intro) {
    const QString readme = Readme();
    const qsizetype at = readme.indexOf(u'\n' + intro);
    const qsizetype open = readme.indexOf(QStringLiteral("```"), at);
    const qsizetype start = readme.indexOf(u'\n', open) + 1;
    const qsizetype end = readme.indexOf(QStringLiteral("\n```"), start);
    if (at < 0 || open < 0 || end < 0)
        return {};
    return readme.mid(start, end - start + 1);
}

// The help's <pre> blocks as plain text.
QStringList HelpBlocks() {
    const QString help = QString::fromUtf8(
        TestSupport::ReadFile(QStringLiteral(TRELLION_SOURCE_DIR "/resources/help/trellion.html")));
    QStringList blocks;
    static const QRegularExpression pre(QStringLiteral("<pre>\\n(.*?)</pre>"),
                                        QRegularExpression::DotMatchesEverythingOption);
    for (const QRegularExpressionMatch& m : pre.globalMatch(help)) {
        QString text = m.captured(1);
        text.replace(QStringLiteral("&lt;"), QStringLiteral("<"))
            .replace(QStringLiteral("&gt;"), QStringLiteral(">"))
            .replace(QStringLiteral("&quot;"), QStringLiteral("\""))
            .replace(QStringLiteral("&amp;"), QStringLiteral("&"));
        blocks << text;
    }
    return blocks;
}

// The help shows the README's examples as they stand, so both are what the tests below run.
TEST(ShippedExamplesText, HelpHoldsTheReadmeExamples) {
    const QStringList help = HelpBlocks();
    for (const char* intro : {"A Prometheus scrape job", "plugin. An Icinga 2 service",
                              "A Nagios command", "A Zabbix agent UserParameter"}) {
        const QString block = ReadmeBlock(QString::fromLatin1(intro));
        ASSERT_FALSE(block.isEmpty()) << intro;
        EXPECT_TRUE(help.contains(block)) << intro << "\n" << block.toStdString();
    }
}

// The README's Icinga 2 service with the shipped CheckCommand passes Icinga 2's own validation
// (the daemon's -C, its folders private); tests/check runs the command itself.
TEST(ShippedExamplesText, IcingaServiceValidatesWithTheShippedCommand) {
    const QString icinga = QStringLiteral("/usr/sbin/icinga2");
    if (!QFile::exists(icinga))
        GTEST_SKIP() << "icinga2 is not installed";
    const QString service = ReadmeBlock(QStringLiteral("plugin. An Icinga 2 service"));
    ASSERT_TRUE(service.contains("object Service")) << service.toStdString();
    const QString dir = TestSupport::MakeTempDir(QStringLiteral("icinga-check"));
    for (const char* sub : {"data", "log", "cache", "run", "spool"})
        ASSERT_TRUE(QDir().mkpath(dir + "/" + sub));
    QFile config(dir + "/icinga2.conf");
    ASSERT_TRUE(config.open(QIODevice::WriteOnly));
    config.write("include <itl>\n"
                 "include \"" TRELLION_SOURCE_DIR "/packaging/icinga2/trellion-check.conf\"\n"
                 "object Host \"dbhost\" { check_command = \"dummy\" }\n" +
                 service.toUtf8());
    config.close();
    QStringList command{icinga, "daemon", "-C", "-c", dir + "/icinga2.conf"};
    const QList<std::pair<const char*, QString>> paths = {
        {"DataDir", dir + "/data"},
        {"LogDir", dir + "/log"},
        {"CacheDir", dir + "/cache"},
        {"SpoolDir", dir + "/spool"},
        {"InitRunDir", dir + "/run"},
        {"PidPath", dir + "/run/icinga2.pid"},
        {"StatePath", dir + "/data/state"},
        {"ObjectsPath", dir + "/cache/objects"},
        {"VarsPath", dir + "/cache/vars"},
        {"ModAttrPath", dir + "/data/modattr.conf"},
        {"RunAsUser", qEnvironmentVariable("USER", "root")},
        {"RunAsGroup", QStringLiteral("root")}};
    for (const auto& [name, path] : paths)
        command << "-D" << QStringLiteral("Configuration.%1=%2").arg(name, path);
    const CheckProcess::Finished check = CheckProcess::Tool(command, {});
    EXPECT_EQ(check.exitCode, 0) << check.out.toStdString() << check.err.toStdString();
    EXPECT_TRUE(check.out.contains("Instantiated 1 Service")) << check.out.toStdString();
}

class ShippedExamples : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_server = new DbServer(DbServer::Kind::Postgres);
        ASSERT_TRUE(s_server->Start());
        // The examples name a DSN; this one keeps its password in odbc.ini, as a service user's
        // would.
        OdbcTestEnv::AddDsn("salesdb", s_server->Driver(),
                            {{"Servername", "127.0.0.1"},
                             {"Port", QString::number(s_server->Port())},
                             {"Database", s_server->Database()},
                             {"Username", s_server->User()},
                             {"Password", s_server->Password()}});
    }
    static void TearDownTestSuite() {
        delete s_server;
        s_server = nullptr;
    }
    void SetUp() override { ASSERT_TRUE(s_server->Start()); }

    // Runs a shipped command line through the shell, the installed plugin's path replaced by
    // the built one.
    static CheckProcess::Finished Shell(QString line) {
        line.replace(QStringLiteral("/usr/bin/trellion-check"), CheckProcess::Binary());
        return CheckProcess::Tool({"/bin/sh", "-c", line}, {});
    }

    static DbServer* s_server;
};

DbServer* ShippedExamples::s_server = nullptr;

// The Nagios command with the service's arguments: OK while the database is up, CRITICAL with
// the driver's message when it is stopped; the Zabbix item gives the exit code alone.
TEST_F(ShippedExamples, NagiosCommandAndZabbixUserParameter) {
    const QString nagios = ReadmeBlock(QStringLiteral("A Nagios command"));
    const QRegularExpression commandLine(QStringLiteral(R"(command_line\s+(.+)\n)"));
    const QString command = commandLine.match(nagios).captured(1);
    ASSERT_FALSE(command.isEmpty()) << nagios.toStdString();
    const QRegularExpression serviceArgs(
        QStringLiteral(R"(check_command\s+check_trellion!(.+)\n)"));
    const QStringList args = serviceArgs.match(nagios).captured(1).split(u'!');
    ASSERT_EQ(args.size(), 3) << nagios.toStdString();
    QString nagiosLine = command;
    for (int i = 0; i < args.size(); ++i)
        nagiosLine.replace(QStringLiteral("$ARG%1$").arg(i + 1), args[i]);

    const QString zabbix = ReadmeBlock(QStringLiteral("A Zabbix agent UserParameter"));
    ASSERT_TRUE(zabbix.startsWith("UserParameter=trellion.check[*],")) << zabbix.toStdString();
    const QString zabbixLine =
        zabbix.section(u',', 1).trimmed().replace(QStringLiteral("$1"), QStringLiteral("salesdb"));

    CheckProcess::Finished run = Shell(nagiosLine);
    EXPECT_EQ(run.exitCode, 0) << run.out.toStdString() << run.err.toStdString();
    EXPECT_TRUE(run.out.startsWith("ODBC OK - salesdb answered in ")) << run.out.toStdString();
    run = Shell(zabbixLine);
    EXPECT_EQ(run.out.toStdString(), "0\n") << run.err.toStdString();

    ASSERT_TRUE(s_server->Stop());
    run = Shell(nagiosLine);
    EXPECT_EQ(run.exitCode, 2) << run.out.toStdString();
    EXPECT_TRUE(run.out.startsWith("ODBC CRITICAL - salesdb could not be reached: "))
        << run.out.toStdString();
    run = Shell(zabbixLine);
    EXPECT_EQ(run.out.toStdString(), "2\n") << run.err.toStdString();
}

// The README's scrape job in a private Prometheus (1 s scrapes, its own storage) against the
// endpoint of a monitor polling the PostgreSQL: its query API shows the database up, then down
// once the server is stopped and polled again.
TEST_F(ShippedExamples, PrometheusScrapeJobSeesAStoppedDatabaseDown) {
    MetricsRig metrics;
    const quint16 port = FreePort();
    ASSERT_EQ(metrics.exporter->Apply({{}, port}).toStdString(), "");
    metrics.rig.StoreSlot(0, s_server->DriverConnectionString(), "salesdb");
    metrics.rig.monitor->PollSlot(0);

    QString job = ReadmeBlock(QStringLiteral("A Prometheus scrape job"));
    ASSERT_TRUE(job.contains("127.0.0.1:9464")) << job.toStdString();
    job.replace(QStringLiteral("127.0.0.1:9464"), QStringLiteral("127.0.0.1:%1").arg(port));
    const QString dir = TestSupport::MakeTempDir(QStringLiteral("prometheus"));
    QFile config(dir + "/prometheus.yml");
    ASSERT_TRUE(config.open(QIODevice::WriteOnly));
    config.write("global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n" + job.toUtf8());
    config.close();
    const quint16 webPort = FreePort();
    const pid_t prometheus = TestSupport::Spawn(
        {"prometheus", "--config.file=" + dir + "/prometheus.yml",
         "--storage.tsdb.path=" + dir + "/data",
         QStringLiteral("--web.listen-address=127.0.0.1:%1").arg(webPort), "--log.level=warn"});
    ASSERT_GT(prometheus, 0);

    // The value of trellion_up for the database in Prometheus' newest scrape; empty when none.
    const auto up = [&] {
        const QByteArray query = QUrl::toPercentEncoding(
            QStringLiteral(R"(trellion_up{job="trellion",database="salesdb"})"));
        const HttpAnswer answer = Get(webPort, "/api/v1/query?query=" + query);
        const QJsonArray result = QJsonDocument::fromJson(answer.body)["data"]["result"].toArray();
        return result.isEmpty() ? QString() : result[0]["value"].toArray()[1].toString();
    };
    EXPECT_TRUE(WaitUntil([&] { return up() == "1"; }, 20000)) << "seen up: " << up().toStdString();

    ASSERT_TRUE(s_server->Stop());
    metrics.rig.monitor->PollSlot(0);
    EXPECT_TRUE(WaitUntil([&] { return up() == "0"; }, 10000)) << "seen: " << up().toStdString();
    TestSupport::End(prometheus, SIGTERM, 5000);
}

} // namespace
