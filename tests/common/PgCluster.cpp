#include "tests/common/PgCluster.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QThread>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const QString kBinDir = QStringLiteral("/usr/lib/postgresql/15/bin");
const QString kUser = QStringLiteral("trellion");
const QString kPassword = QStringLiteral("Pg-secret-1");

bool RunningAsRoot() {
    return geteuid() == 0;
}

// The account the server runs as: postgres when we are root (the server refuses root).
bool ServerAccount(uid_t* uid, gid_t* gid) {
    if (!RunningAsRoot()) {
        *uid = geteuid();
        *gid = getegid();
        return true;
    }
    const passwd* pw = getpwnam("postgres");
    if (!pw)
        return false;
    *uid = pw->pw_uid;
    *gid = pw->pw_gid;
    return true;
}

bool ChownTree(const QString& path, uid_t uid, gid_t gid) {
    if (!RunningAsRoot())
        return true;
    QProcess p;
    p.start(QStringLiteral("chown"),
            {QStringLiteral("-R"), QStringLiteral("%1:%2").arg(uid).arg(gid), path});
    return p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

int FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return 0;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
        port = ntohs(addr.sin_port);
    ::close(fd);
    return port;
}

QString MachineCacheDir() {
    return QDir::tempPath() + QStringLiteral("/trellion-pg15-template-uid%1").arg(getuid());
}

} // namespace

PgCluster::PgCluster() = default;

PgCluster::~PgCluster() {
    Stop();
    if (!m_dir.isEmpty())
        QDir(m_dir).removeRecursively();
}

QString PgCluster::User() const {
    return kUser;
}
QString PgCluster::Password() const {
    return kPassword;
}
QString PgCluster::Database() const {
    return QStringLiteral("postgres");
}

QString PgCluster::DriverConnectionString() const {
    return QStringLiteral("DRIVER={PostgreSQL Unicode};Server=127.0.0.1;Port=%1;Database=%2;"
                          "UID=%3;PWD=%4")
        .arg(m_port)
        .arg(Database(), User(), Password());
}

bool PgCluster::RunAsServerUser(const QStringList& command, int timeoutMs, QString* output) {
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    // The server user cannot enter the test's private folder.
    p.setWorkingDirectory(QDir::tempPath());
    if (RunningAsRoot())
        p.start(
            QStringLiteral("runuser"),
            QStringList{QStringLiteral("-u"), QStringLiteral("postgres"), QStringLiteral("--")} +
                command);
    else
        p.start(command.first(), command.mid(1));
    const bool finished = p.waitForFinished(timeoutMs);
    if (!finished) {
        p.kill();
        p.waitForFinished(5000);
    }
    const QString text = QString::fromLocal8Bit(p.readAll());
    if (output)
        *output = text;
    return finished && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

// A test process that crashed or was killed by a time-out leaves its server running: stop
// and remove clusters whose owning process is gone. Runs under the template lock.
void PgCluster::SweepOrphans() {
    const QDir tmp(QDir::tempPath());
    for (const QString& name : tmp.entryList({QStringLiteral("trellion-pg-*")}, QDir::Dirs)) {
        const QString dir = tmp.filePath(name);
        QFile owner(dir + QStringLiteral("/owner.pid"));
        if (!owner.open(QIODevice::ReadOnly))
            continue; // Not ours, or still being made.
        bool isNumber = false;
        const pid_t pid = owner.readAll().trimmed().toInt(&isNumber);
        if (!isNumber || pid <= 0 || ::kill(pid, 0) == 0 || errno != ESRCH)
            continue;
        if (QFileInfo::exists(dir + QStringLiteral("/data/postmaster.pid")))
            RunAsServerUser({kBinDir + QStringLiteral("/pg_ctl"), QStringLiteral("-D"),
                             dir + QStringLiteral("/data"), QStringLiteral("-m"),
                             QStringLiteral("immediate"), QStringLiteral("-w"),
                             QStringLiteral("stop")},
                            60000);
        QDir(dir).removeRecursively();
    }
}

// Makes the machine-wide template once (under a lock: ctest runs binaries in parallel), then
// copies it into a fresh folder of our own.
bool PgCluster::Prepare() {
    uid_t uid;
    gid_t gid;
    if (!ServerAccount(&uid, &gid)) {
        ADD_FAILURE() << "no postgres account";
        return false;
    }
    const QString cache = MachineCacheDir();
    const QString templ = cache + QStringLiteral("/data");
    QDir().mkpath(cache);
    ::chmod(cache.toLocal8Bit().constData(), 0755);
    const int lockFd = ::open((cache + QStringLiteral("/.lock")).toLocal8Bit().constData(),
                              O_CREAT | O_RDWR | O_CLOEXEC, 0600);
    if (lockFd < 0 || ::flock(lockFd, LOCK_EX) != 0) {
        ADD_FAILURE() << "cannot lock " << qPrintable(cache);
        if (lockFd >= 0)
            ::close(lockFd);
        return false;
    }
    bool ok = true;
    if (!QFileInfo::exists(templ + QStringLiteral("/PG_VERSION"))) {
        const QString building = cache + QStringLiteral("/building");
        QDir(building).removeRecursively();
        QDir(templ).removeRecursively();
        QDir().mkpath(building);
        const QString pwfile = cache + QStringLiteral("/pwfile");
        QFile pw(pwfile);
        ok = pw.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
             pw.write(kPassword.toUtf8() + '\n') > 0;
        pw.close();
        ok = ok && ChownTree(cache, uid, gid);
        QString output;
        ok = ok && RunAsServerUser(
                       {kBinDir + QStringLiteral("/initdb"), QStringLiteral("-D"), building,
                        QStringLiteral("-U"), kUser, QStringLiteral("--pwfile=") + pwfile,
                        QStringLiteral("--auth-host=scram-sha-256"),
                        QStringLiteral("--auth-local=scram-sha-256"), QStringLiteral("--no-sync"),
                        QStringLiteral("-E"), QStringLiteral("UTF8"), QStringLiteral("--locale=C")},
                       180000, &output);
        if (!ok)
            ADD_FAILURE() << "initdb failed:\n" << qPrintable(output);
        QFile::remove(pwfile);
        ok = ok && QDir().rename(building, templ);
    }
    if (ok)
        SweepOrphans();
    if (ok) {
        char pattern[] = "/tmp/trellion-pg-XXXXXX";
        const char* made = ::mkdtemp(pattern);
        ok = made != nullptr;
        if (ok) {
            m_dir = QString::fromLocal8Bit(made);
            ::chmod(made, 0755);
            QFile owner(m_dir + QStringLiteral("/owner.pid"));
            if (owner.open(QIODevice::WriteOnly))
                owner.write(QByteArray::number(::getpid()));
            owner.close();
            QProcess cp;
            cp.start(QStringLiteral("cp"), {QStringLiteral("-a"), templ, m_dir + "/data"});
            ok = cp.waitForFinished(60000) && cp.exitCode() == 0 && ChownTree(m_dir, uid, gid);
            if (!ok)
                ADD_FAILURE() << "cannot copy the cluster template";
        }
    }
    ::flock(lockFd, LOCK_UN);
    ::close(lockFd);
    return ok;
}

bool PgCluster::Start() {
    if (m_running)
        return true;
    if (m_dir.isEmpty() && !Prepare())
        return false;
    // The port found free may be taken by the time the server binds it: try a few.
    const bool keepPort = m_port != 0;
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (!keepPort || attempt > 0)
            m_port = FreePort();
        QString output;
        const QString options =
            QStringLiteral("-p %1 -c listen_addresses=127.0.0.1 -k %2 -c fsync=off "
                           "-c shared_buffers=16MB -c max_connections=40")
                .arg(m_port)
                .arg(m_dir);
        const QStringList command = {kBinDir + QStringLiteral("/pg_ctl"),
                                     QStringLiteral("-D"),
                                     m_dir + QStringLiteral("/data"),
                                     QStringLiteral("-l"),
                                     m_dir + QStringLiteral("/server.log"),
                                     QStringLiteral("-w"),
                                     QStringLiteral("-t"),
                                     QStringLiteral("120"),
                                     QStringLiteral("-o"),
                                     options,
                                     QStringLiteral("start")};
        if (RunAsServerUser(command, 150000, &output)) {
            m_running = true;
            return true;
        }
        QFile log(m_dir + QStringLiteral("/server.log"));
        const QByteArray serverLog = log.open(QIODevice::ReadOnly) ? log.readAll() : QByteArray();
        if (!serverLog.contains("could not bind") || attempt == 4) { // Not a port clash.
            ADD_FAILURE() << "pg_ctl start failed:\n"
                          << qPrintable(output) << "\n"
                          << serverLog.constData();
            return false;
        }
    }
    return false;
}

bool PgCluster::Stop() {
    if (!m_running)
        return true;
    QString output;
    const bool ok = RunAsServerUser(
        {kBinDir + QStringLiteral("/pg_ctl"), QStringLiteral("-D"), m_dir + QStringLiteral("/data"),
         QStringLiteral("-m"), QStringLiteral("fast"), QStringLiteral("-w"), QStringLiteral("-t"),
         QStringLiteral("60"), QStringLiteral("stop")},
        90000, &output);
    if (ok)
        m_running = false;
    else
        ADD_FAILURE() << "pg_ctl stop failed:\n" << qPrintable(output);
    return ok;
}
