#include "tests/common/DbServer.h"

#include "tests/common/OdbcTestEnv.h"
#include "tests/common/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QTemporaryFile>
#include <QThread>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Kind = DbServer::Kind;

const QString kPgBin = QStringLiteral("/usr/lib/postgresql/15/bin/");

bool Root() {
    return geteuid() == 0;
}

// mariadbd runs as root only when told so; any other account runs it as itself.
QString UserOption() {
    const passwd* pw = getpwuid(geteuid());
    return "--user=" + QString::fromLocal8Bit(pw ? pw->pw_name : "root");
}

// port 0: a free port; otherwise 1 when something listens there, else 0.
int TcpPort(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    socklen_t len = sizeof addr;
    auto* a = reinterpret_cast<sockaddr*>(&addr);
    int result = 0;
    if (port > 0)
        result = ::connect(fd, a, len) == 0;
    else if (::bind(fd, a, len) == 0 && ::getsockname(fd, a, &len) == 0)
        result = ntohs(addr.sin_port);
    ::close(fd);
    return result;
}

pid_t ReadPid(const QString& file) {
    QFile f(file);
    return f.open(QIODevice::ReadOnly) ? f.readLine().trimmed().toInt() : 0;
}

bool Alive(pid_t pid) {
    ::waitpid(pid, nullptr, WNOHANG); // reaps our own exited children
    return pid > 0 && (::kill(pid, 0) == 0 || errno != ESRCH);
}

bool WaitGone(pid_t pid) {
    for (int waited = 0; Alive(pid) && waited < 60000; waited += 50)
        QThread::msleep(50);
    return !Alive(pid);
}

QString Name(Kind kind) {
    return kind == Kind::Postgres ? QStringLiteral("pg") : QStringLiteral("mariadb");
}

// The server's own pid file: PostgreSQL's postmaster.pid, or the one mariadbd is told to write.
QString ServerPidFile(Kind kind, const QString& dir) {
    return dir + (kind == Kind::Postgres ? "/data/postmaster.pid" : "/server.pid");
}

// Runs a program to its end (killed after timeoutMs), its output merged into *output; true when
// it exited with 0.
bool Execute(const QStringList& command, int timeoutMs, QString* output = nullptr) {
    QTemporaryFile out;
    const bool ok =
        out.open() &&
        TestSupport::WaitExit(TestSupport::Spawn(command, -1, out.handle(), true), timeoutMs) == 0;
    if (output && out.seek(0)) // the child wrote through a descriptor of its own
        *output = QString::fromLocal8Bit(out.readAll());
    return ok;
}

} // namespace

// PostgreSQL refuses to run as root: as root, its tools run as the postgres user.
bool DbServer::Run(const QStringList& command, int timeoutMs, QString* output) const {
    if (m_kind == Kind::Postgres && Root())
        return Execute(QStringList{"runuser", "-u", "postgres", "--"} + command, timeoutMs, output);
    return Execute(command, timeoutMs, output);
}

DbServer::DbServer(Kind kind) : m_kind(kind) {}

DbServer::~DbServer() {
    Stop();
    if (!m_dir.isEmpty())
        QDir(m_dir).removeRecursively();
}

QString DbServer::User() const {
    return QStringLiteral("trellion");
}
QString DbServer::Password() const {
    return m_kind == Kind::Postgres ? QStringLiteral("Pg-secret-1") : "Maria-secret-1";
}
QString DbServer::Database() const {
    return m_kind == Kind::Postgres ? QStringLiteral("postgres") : "trellion";
}
QString DbServer::Driver() const {
    return m_kind == Kind::Postgres ? QStringLiteral("PostgreSQL Unicode") : "MariaDB Unicode";
}

QString DbServer::DriverConnectionString() const {
    return QStringLiteral("DRIVER={%1};Server=127.0.0.1;Port=%2;Database=%3;UID=%4;PWD=%5")
        .arg(Driver())
        .arg(m_port)
        .arg(Database(), User(), Password());
}

// Makes the machine-wide template once and sweeps servers whose test process died (under a
// lock: ctest runs binaries in parallel), then copies the template into a folder of our own.
bool DbServer::Prepare() {
    const bool pg = m_kind == Kind::Postgres;
    const QString prefix = QDir::tempPath() + "/trellion-" + Name(m_kind) + '-';
    const QString cache = prefix + "template-uid" + QString::number(getuid());
    QDir().mkpath(cache);
    ::chmod(QFile::encodeName(cache).constData(), 0755);
    const int lock =
        ::open(QFile::encodeName(cache + "/.lock").constData(), O_CREAT | O_RDWR | O_CLOEXEC, 0600);
    if (lock < 0 || ::flock(lock, LOCK_EX) != 0)
        return false;
    const auto chown = [&](const QString& path) {
        return !pg || !Root() || Execute({"chown", "-R", "postgres:", path}, 60000);
    };
    QString output;
    bool ok = QDir(cache + "/data").exists();
    if (!ok && pg) {
        QFile pw(cache + "/pwfile");
        ok = pw.open(QIODevice::WriteOnly) && pw.write(Password().toUtf8() + '\n') > 0;
        pw.close();
        ok = ok && chown(cache) &&
             Run({kPgBin + "initdb", "-D", cache + "/building", "-U", User(), "--no-sync",
                  "--pwfile=" + pw.fileName(), "--auth-host=scram-sha-256",
                  "--auth-local=scram-sha-256", "-E", "UTF8", "--locale=C"},
                 180000, &output);
    } else if (!ok) {
        ok = Run({"mariadb-install-db", "--no-defaults", "--datadir=" + cache + "/building",
                  "--auth-root-authentication-method=normal", "--skip-test-db",
                  "--innodb-log-file-size=4M", UserOption()},
                 180000, &output);
    }
    ok = ok &&
         (QDir(cache + "/data").exists() || QDir().rename(cache + "/building", cache + "/data"));
    if (!ok)
        ADD_FAILURE() << "cannot make the template in " << qPrintable(cache) << ":\n"
                      << qPrintable(output);
    // A test process that crashed or timed out leaves its server running: stop it at once
    // (SIGQUIT is PostgreSQL's immediate shutdown) and remove its folder.
    const QDir tmp(QDir::tempPath());
    for (const QString& name :
         tmp.entryList({"trellion-" + Name(m_kind) + "-??????"}, QDir::Dirs)) {
        const QString dir = tmp.filePath(name);
        const pid_t owner = ReadPid(dir + "/owner.pid");
        if (owner <= 0 || Alive(owner))
            continue;
        const pid_t server = ReadPid(ServerPidFile(m_kind, dir));
        if (Alive(server) && ::kill(server, pg ? SIGQUIT : SIGKILL) == 0)
            WaitGone(server);
        QDir(dir).removeRecursively();
    }
    QByteArray pattern = QFile::encodeName(prefix + "XXXXXX");
    m_dir = ok && ::mkdtemp(pattern.data()) ? QFile::decodeName(pattern) : QString();
    QFile owner(m_dir + "/owner.pid");
    ok = !m_dir.isEmpty() && ::chmod(pattern.constData(), 0755) == 0 &&
         owner.open(QIODevice::WriteOnly) && owner.write(QByteArray::number(::getpid())) > 0;
    owner.close();
    ok = ok && Execute({"cp", "-a", cache + "/data", m_dir + "/data"}, 120000) && chown(m_dir);
    ::close(lock);
    return ok;
}

bool DbServer::Start() {
    if (m_running)
        return true;
    if (m_dir.isEmpty() && !Prepare())
        return false;
    const QString log = m_dir + "/server.log";
    // The port found free may be taken by the time the server binds it: try a few.
    for (int attempt = 0; attempt < 5 && !m_running; ++attempt) {
        if (m_port == 0 || attempt > 0)
            m_port = TcpPort(0);
        QFile::remove(log);
        if (m_kind == Kind::Postgres) {
            const QString options =
                QString(
                    "-p %1 -c listen_addresses=127.0.0.1 -k %2 -c fsync=off -c shared_buffers=16MB")
                    .arg(m_port)
                    .arg(m_dir);
            m_running = Run({kPgBin + "pg_ctl", "-D", m_dir + "/data", "-l", log, "-w", "-t", "120",
                             "-o", options, "start"},
                            150000);
            continue;
        }
        OdbcTestEnv::AddDriver(Driver(), "libmaodbc.so");
        // The user and database come from the init file, run at every start.
        QFile init(m_dir + "/init.sql");
        if (!init.open(QIODevice::WriteOnly) ||
            init.write(QString("CREATE USER IF NOT EXISTS '%1'@'127.0.0.1' IDENTIFIED BY '%2';\n"
                               "GRANT ALL ON *.* TO '%1'@'127.0.0.1';\n"
                               "CREATE DATABASE IF NOT EXISTS %3;\n")
                           .arg(User(), Password(), Database())
                           .toUtf8()) <= 0)
            break;
        init.close();
        QFile out(m_dir + "/server.out"); // what it says before its log is open
        out.open(QIODevice::WriteOnly);
        const pid_t pid = TestSupport::Spawn(
            {"/usr/sbin/mariadbd", "--no-defaults", "--datadir=" + m_dir + "/data",
             "--port=" + QString::number(m_port), "--bind-address=127.0.0.1",
             "--socket=" + m_dir + "/mysqld.sock", "--pid-file=" + m_dir + "/server.pid",
             "--log-error=" + log, "--skip-log-bin", "--init-file=" + init.fileName(),
             "--skip-name-resolve", "--innodb-log-file-size=4M", "--innodb-buffer-pool-size=16M",
             UserOption()},
            -1, out.handle(), true);
        out.close();
        bool alive = pid > 0;
        for (int waited = 0; alive && !m_running && waited < 120000; waited += 100) {
            QThread::msleep(100);
            m_running = TcpPort(m_port) == 1 && ReadPid(m_dir + "/server.pid") == pid;
            alive = Alive(pid);
        }
    }
    if (!m_running)
        ADD_FAILURE() << qPrintable(Name(m_kind)) << " server did not start; see "
                      << qPrintable(log);
    return m_running;
}

bool DbServer::Stop() {
    if (!m_running)
        return true;
    const pid_t pid = ReadPid(ServerPidFile(m_kind, m_dir));
    if (m_kind == Kind::Postgres)
        Run({kPgBin + "pg_ctl", "-D", m_dir + "/data", "-m", "fast", "-w", "stop"}, 90000);
    else
        ::kill(pid, SIGTERM);
    m_running = !WaitGone(pid);
    if (m_running)
        ADD_FAILURE() << qPrintable(Name(m_kind)) << " server did not stop";
    return !m_running;
}
