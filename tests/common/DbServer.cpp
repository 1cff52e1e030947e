#include "tests/common/DbServer.h"

#include "tests/common/OdbcTestEnv.h"
#include "tests/common/SilentListener.h"
#include "tests/common/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

using Kind = DbServer::Kind;

const QString kPgBin = QStringLiteral("/usr/lib/postgresql/15/bin/");

using Account = std::pair<uid_t, gid_t>;

// PostgreSQL refuses to run as root: as root, its programs run as the postgres user.
Account ServerUser(Kind kind) {
    const passwd* pw = kind == Kind::Postgres && geteuid() == 0 ? getpwnam("postgres") : nullptr;
    return pw ? std::pair{pw->pw_uid, pw->pw_gid} : std::pair{geteuid(), getegid()};
}

// mariadbd runs as root only when told so; any other account runs it as itself.
QString UserOption() {
    const passwd* pw = getpwuid(geteuid());
    return "--user=" + QString::fromLocal8Bit(pw ? pw->pw_name : "root");
}

// Starts a program under the account, its output appended to out; deathSignal ("KILL",
// "QUIT") reaches it when the test process dies, so that no server outlives its test.
pid_t Launch(Account user, const QStringList& command, const char* deathSignal,
             const QString& out) {
    QStringList setpriv{"setpriv", "--pdeathsig", deathSignal};
    if (user.first != geteuid())
        setpriv << "--reuid" << QString::number(user.first) << "--regid"
                << QString::number(user.second) << "--clear-groups";
    QFile file(out);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
        return 0;
    return TestSupport::Spawn(setpriv + QStringList{"--"} + command, -1, file.handle(), true);
}

bool Run(Account user, const QStringList& command, QString* output) {
    QTemporaryFile out;
    const pid_t pid = out.open() ? Launch(user, command, "KILL", out.fileName()) : 0;
    const int status = pid > 0 ? TestSupport::WaitExit(pid, 180000) : -1;
    if (pid > 0 && status < 0)
        TestSupport::End(pid, SIGKILL, 0);
    *output += QString::fromLocal8Bit(out.readAll());
    return status == 0;
}

} // namespace

DbServer::DbServer(Kind kind) : m_kind(kind) {}

DbServer::~DbServer() {
    Stop();
    if (!m_dir.isEmpty())
        QDir(m_dir).removeRecursively();
}

QString DbServer::DriverConnectionString() const {
    return QStringLiteral("DRIVER={%1};Server=127.0.0.1;Port=%2;Database=%3;UID=%4;PWD=%5")
        .arg(Driver())
        .arg(m_port)
        .arg(Database(), User(), Password());
}

// Under a lock (ctest runs binaries in parallel): makes the machine-wide template once, removes
// folders left by test processes that died, and copies the template into a folder of our own.
bool DbServer::Prepare() {
    const QString prefix = QDir::tempPath() + "/trellion-" + (pg() ? "pg" : "mariadb") + '-';
    const QString cache = prefix + "template-uid" + QString::number(getuid());
    const int lock =
        ::open(QFile::encodeName(cache + ".lock").constData(), O_CREAT | O_RDWR | O_CLOEXEC, 0600);
    if (lock < 0 || ::flock(lock, LOCK_EX) != 0)
        return false;
    QString output;
    bool ok = QDir(cache + "/data").exists();
    if (!ok) {
        const auto [uid, gid] = ServerUser(m_kind);
        QDir(cache).removeRecursively();
        QFile pw(cache + "/pwfile");
        ok = QDir().mkpath(cache) && ::chown(QFile::encodeName(cache).constData(), uid, gid) == 0 &&
             pw.open(QIODevice::WriteOnly) && pw.write(Password().toUtf8() + '\n') > 0;
        pw.close();
        if (pg())
            ok = ok && Run(ServerUser(m_kind),
                           {kPgBin + "initdb", "-D", cache + "/building", "-U", User(), "--no-sync",
                            "--pwfile=" + pw.fileName(), "--auth-host=scram-sha-256",
                            "--auth-local=scram-sha-256", "-E", "UTF8", "--locale=C"},
                           &output);
        else
            ok = ok &&
                 Run(ServerUser(m_kind),
                     {"mariadb-install-db", "--no-defaults", "--datadir=" + cache + "/building",
                      "--auth-root-authentication-method=normal", "--skip-test-db",
                      "--innodb-log-file-size=4M", UserOption()},
                     &output);
        ok = ok && QDir().rename(cache + "/building", cache + "/data");
    }
    if (!ok)
        ADD_FAILURE() << "cannot make the template in " << qPrintable(cache) << ":\n"
                      << qPrintable(output);
    // A folder whose test process died (its server died with it) goes.
    const QDir tmp(QDir::tempPath());
    for (const QString& name :
         tmp.entryList({QFileInfo(prefix).fileName() + "*-??????"}, QDir::Dirs))
        if (const pid_t owner = name.section(u'-', 2, 2).toInt();
            owner > 0 && ::kill(owner, 0) != 0 && errno == ESRCH)
            QDir(tmp.filePath(name)).removeRecursively();
    QByteArray pattern = QFile::encodeName(prefix + QString::number(getpid()) + "-XXXXXX");
    m_dir = ok && ::mkdtemp(pattern.data()) ? QFile::decodeName(pattern) : QString();
    // cp -a keeps the server user's ownership of the data.
    ok = !m_dir.isEmpty() && ::chmod(pattern.constData(), 0755) == 0 &&
         Run({geteuid(), getegid()}, {"cp", "-a", cache + "/data", m_dir + "/data"}, &output);
    ::close(lock);
    return ok;
}

bool DbServer::Start() {
    if (m_server)
        return true;
    if (m_dir.isEmpty() && !Prepare())
        return false;
    if (!pg()) {
        OdbcTestEnv::AddDriver(Driver(), "libmaodbc.so");
        // The user and database come from the init file, run at every start.
        QFile init(m_dir + "/init.sql");
        if (!init.open(QIODevice::WriteOnly) ||
            init.write(QString("CREATE USER IF NOT EXISTS '%1'@'127.0.0.1' IDENTIFIED BY '%2';\n"
                               "GRANT ALL ON *.* TO '%1'@'127.0.0.1';\n"
                               "CREATE DATABASE IF NOT EXISTS %3;\n")
                           .arg(User(), Password(), Database())
                           .toUtf8()) <= 0)
            return false;
    }
    // The port found free may be taken by the time the server binds it: try a few.
    for (int attempt = 0; attempt < 5 && !m_server; ++attempt) {
        if (m_port == 0 || attempt > 0)
            m_port = SilentListener().Port();
        const QString port = QString::number(m_port);
        const QString log = m_dir + "/server.log";
        const pid_t server =
            pg() ? Launch(ServerUser(m_kind),
                          {kPgBin + "postgres", "-D", m_dir + "/data", "-p", port, "-c",
                           "listen_addresses=127.0.0.1", "-c", "unix_socket_directories=", "-c",
                           "fsync=off", "-c", "shared_buffers=16MB"},
                          "QUIT", log) // SIGQUIT: immediate shutdown
                 : Launch(ServerUser(m_kind),
                          {"/usr/sbin/mariadbd", "--no-defaults", "--datadir=" + m_dir + "/data",
                           "--port=" + port, "--bind-address=127.0.0.1",
                           "--socket=" + m_dir + "/mysqld.sock",
                           "--pid-file=" + m_dir + "/server.pid", "--skip-log-bin",
                           "--init-file=" + m_dir + "/init.sql", "--skip-name-resolve",
                           "--innodb-log-file-size=4M", "--innodb-buffer-pool-size=16M",
                           UserOption()},
                          "KILL", log);
        bool up = false;
        bool ended = server <= 0;
        for (int waited = 0; !up && !ended && waited < 120000; waited += 100) {
            ended = TestSupport::WaitExit(server, 100) >= 0;
            up = !ended && OdbcTestEnv::ExecSql(DriverConnectionString(), {}).isEmpty();
        }
        // A server that lost the port to another answers for it: ours ends at once.
        ended = ended || TestSupport::WaitExit(server, up ? 200 : 0) >= 0;
        if (up && !ended)
            m_server = server;
        else if (!ended)
            TestSupport::End(server, SIGKILL, 10000);
    }
    if (!m_server)
        ADD_FAILURE() << (pg() ? "pg" : "mariadb") << " server did not start; see "
                      << qPrintable(m_dir) << "/server.log";
    return m_server > 0;
}

bool DbServer::Stop() {
    if (!m_server)
        return true;
    // SIGINT is PostgreSQL's fast shutdown; its SIGTERM would wait for every client to leave.
    const bool stopped = TestSupport::End(m_server, pg() ? SIGINT : SIGTERM, 90000);
    if (!stopped)
        ADD_FAILURE() << (pg() ? "pg" : "mariadb") << " server did not stop";
    m_server = 0;
    return stopped;
}
