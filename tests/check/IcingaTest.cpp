#include "tests/check/CheckProcess.h"
#include "tests/common/DbServer.h"
#include "tests/common/OdbcTestEnv.h"
#include "tests/common/SilentListener.h"
#include "tests/common/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <csignal>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

namespace {

const QString kIcinga = QStringLiteral("/usr/sbin/icinga2");
const QString kApiPassword = QStringLiteral("icinga-test-pw");
// The CheckCommand as it ships.
const QString kCommandFile =
    QStringLiteral(TRELLION_SOURCE_DIR "/packaging/icinga2/trellion-check.conf");

// What Icinga 2 records of one service.
struct ServiceState {
    int state = -1;
    QString output;
};

// A private Icinga 2: its configuration, data, cache, spool and run folders under a temporary
// folder, run as the current user, its API on 127.0.0.1 only. The daemon dies with the test.
class PrivateIcinga {
public:
    PrivateIcinga(const QString& services) : m_dir(TestSupport::MakeTempDir("icinga")) {
        {
            SilentListener probe; // a free port: made and dropped at once
            m_port = probe.Port();
        }
        for (const char* sub : {"data/certs", "log", "cache", "run", "spool"})
            QDir().mkpath(m_dir + "/" + sub);
        // The API's own certificate, self-signed, doubling as its authority.
        const QString certs = m_dir + "/data/certs/";
        const CheckProcess::Finished openssl =
            CheckProcess::Tool({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days",
                                "2", "-subj", "/CN=trellion-test", "-keyout",
                                certs + "trellion-test.key", "-out", certs + "trellion-test.crt"},
                               {});
        m_ready = openssl.exitCode == 0 &&
                  QFile::copy(certs + "trellion-test.crt", certs + "ca.crt") &&
                  WriteConfig(services);
        if (!m_ready) {
            ADD_FAILURE() << "could not set up Icinga 2: " << openssl.err.toStdString();
            return;
        }
        QFile log(m_dir + "/daemon.log");
        if (!log.open(QIODevice::WriteOnly))
            return;
        QStringList command{"setpriv", "--pdeathsig", "KILL", "--",
                            kIcinga,   "daemon",      "-c",   m_dir + "/icinga2.conf"};
        for (const auto& [name, path] : PathConstants())
            command << "-D"
                    << "Configuration." + name + "=" + path;
        m_pid = TestSupport::Spawn(command, -1, log.handle(), true);
    }
    ~PrivateIcinga() {
        if (m_pid > 0)
            TestSupport::End(m_pid, SIGTERM, 10000);
    }

    bool Started() const { return m_ready && m_pid > 0; }
    QString Log() const { return QString::fromUtf8(TestSupport::ReadFile(m_dir + "/daemon.log")); }

    // The service's state through the API; state -1 while it has none.
    ServiceState Service(const QString& host, const QString& service) const {
        const CheckProcess::Finished curl = CheckProcess::Tool(
            {"curl", "-sk", "--max-time", "5", "-u", "tester:" + kApiPassword,
             QStringLiteral("https://127.0.0.1:%1/v1/objects/services/%2!%3?attrs=state&attrs="
                            "last_check_result")
                 .arg(m_port)
                 .arg(host, service)},
            {});
        const QJsonArray results =
            QJsonDocument::fromJson(curl.out.toUtf8()).object().value("results").toArray();
        if (results.isEmpty())
            return {};
        const QJsonObject attrs = results[0].toObject().value("attrs").toObject();
        const QJsonObject last = attrs.value("last_check_result").toObject();
        if (last.isEmpty())
            return {};
        return {attrs.value("state").toInt(-1), last.value("output").toString()};
    }

    // Waits until Icinga 2 records `state` for the service, with an output starting `prefix`.
    ServiceState WaitFor(const QString& host, const QString& service, int state,
                         const QString& prefix) const {
        ServiceState seen;
        TestSupport::WaitUntil(
            [&] {
                seen = Service(host, service);
                return seen.state == state && seen.output.startsWith(prefix);
            },
            30000);
        return seen;
    }

private:
    QList<std::pair<QString, QString>> PathConstants() const {
        const passwd* user = getpwuid(geteuid());
        const group* grp = getgrgid(getegid());
        return {{"DataDir", m_dir + "/data"},
                {"LogDir", m_dir + "/log"},
                {"CacheDir", m_dir + "/cache"},
                {"SpoolDir", m_dir + "/spool"},
                {"InitRunDir", m_dir + "/run"},
                {"PidPath", m_dir + "/run/icinga2.pid"},
                {"StatePath", m_dir + "/data/icinga2.state"},
                {"ObjectsPath", m_dir + "/cache/icinga2.debug"},
                {"VarsPath", m_dir + "/cache/icinga2.vars"},
                {"ModAttrPath", m_dir + "/data/modified-attributes.conf"},
                {"RunAsUser", QString::fromLocal8Bit(user ? user->pw_name : "root")},
                {"RunAsGroup", QString::fromLocal8Bit(grp ? grp->gr_name : "root")}};
    }

    bool WriteConfig(const QString& services) const {
        QFile file(m_dir + "/icinga2.conf");
        if (!file.open(QIODevice::WriteOnly))
            return false;
        const QString config =
            QStringLiteral("const NodeName = \"trellion-test\"\n"
                           "const ZoneName = NodeName\n"
                           "object Endpoint NodeName {}\n"
                           "object Zone ZoneName { endpoints = [ NodeName ] }\n"
                           "object ApiListener \"api\" { bind_host = \"127.0.0.1\"; "
                           "bind_port = %1 }\n"
                           "object ApiUser \"tester\" { password = \"%2\"; "
                           "permissions = [ \"objects/query/*\" ] }\n"
                           "object CheckerComponent \"checker\" {}\n"
                           "include <itl>\n"
                           "include \"%3\"\n"
                           "object Host \"db\" { check_command = \"dummy\" }\n")
                .arg(m_port)
                .arg(kApiPassword, kCommandFile) +
            services;
        return file.write(config.toUtf8()) > 0;
    }

    QString m_dir;
    int m_port = 0;
    bool m_ready = false;
    pid_t m_pid = 0;
};

// A service of host "db" checked every second with the shipped command.
QString ServiceConfig(const QString& name, const QString& vars) {
    return QStringLiteral("object Service \"%1\" {\n"
                          "  host_name = \"db\"\n"
                          "  check_command = \"trellion_check\"\n"
                          "  check_interval = 1s\n"
                          "  retry_interval = 1s\n"
                          "  vars.trellion_check_path = \"%2\"\n"
                          "%3}\n")
        .arg(name, CheckProcess::Binary(), vars);
}

TEST(IcingaRunsTheCheck, RecordsOkCriticalAndWarning) {
    if (!QFile::exists(kIcinga))
        GTEST_SKIP() << kIcinga.toStdString() << " is missing (Debian package icinga2-bin)";
    OdbcTestEnv::Install(); // the daemon hands the private ODBC configuration to its checks
    DbServer server(DbServer::Kind::Postgres);
    ASSERT_TRUE(server.Start());
    const QString connectionString =
        server.DriverConnectionString().remove(";PWD=" + server.Password(), Qt::CaseInsensitive);
    ASSERT_FALSE(connectionString.contains(server.Password()));
    const QString common = QStringLiteral("  vars.trellion_connection_string = \"%1\"\n"
                                          "  vars.trellion_password = \"%2\"\n")
                               .arg(connectionString, server.Password());

    PrivateIcinga icinga(ServiceConfig("salesdb", common +
                                                      "  vars.trellion_title = \"salesdb\"\n"
                                                      "  vars.trellion_warning = \"5000\"\n"
                                                      "  vars.trellion_critical = \"10000\"\n") +
                         // Every real probe takes longer than a microsecond.
                         ServiceConfig("strict", common + "  vars.trellion_title = \"strict\"\n"
                                                          "  vars.trellion_warning = \"0.001\"\n"));
    ASSERT_TRUE(icinga.Started());

    ServiceState seen = icinga.WaitFor("db", "salesdb", 0, "ODBC OK - salesdb answered in ");
    ASSERT_EQ(seen.state, 0) << seen.output.toStdString() << "\n" << icinga.Log().toStdString();
    seen = icinga.WaitFor("db", "strict", 1, "ODBC WARNING - strict answered in ");
    EXPECT_EQ(seen.state, 1) << seen.output.toStdString();
    EXPECT_TRUE(seen.output.contains("outside the warning range 0.001 ms"));

    ASSERT_TRUE(server.Stop());
    seen = icinga.WaitFor("db", "salesdb", 2, "ODBC CRITICAL - salesdb could not be reached: ");
    EXPECT_EQ(seen.state, 2) << seen.output.toStdString();
    EXPECT_TRUE(seen.output.contains("Connection refused")) << seen.output.toStdString();
    EXPECT_FALSE(seen.output.contains(server.Password()));

    ASSERT_TRUE(server.Start());
    seen = icinga.WaitFor("db", "salesdb", 0, "ODBC OK - salesdb answered in ");
    EXPECT_EQ(seen.state, 0) << "back to OK once the database answers: "
                             << seen.output.toStdString();
}

} // namespace
