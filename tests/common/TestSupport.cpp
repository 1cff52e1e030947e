#include "tests/common/TestSupport.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QThread>

#include <atomic>
#include <vector>

#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

namespace TestSupport {

QString HomeDir() {
    return qEnvironmentVariable("TRELLION_TEST_HOME", QDir::tempPath());
}

QString MakeTempDir(const QString& prefix) {
    static std::atomic<int> counter{0};
    const QString path = HomeDir() + u'/' + prefix + u'-' + QString::number(counter++);
    QDir(path).removeRecursively();
    QDir().mkpath(path);
    return path;
}

QByteArray ReadFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool WaitUntil(const std::function<bool()>& done, int timeoutMs) {
    const QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        // Only the thread that owns the application object may run its events.
        if (QCoreApplication::instance() &&
            QThread::currentThread() == QCoreApplication::instance()->thread())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(5);
    }
    return true;
}

pid_t Spawn(const QStringList& command, int stdinFd, int stdoutFd, bool merge) {
    std::vector<QByteArray> bytes;
    std::vector<char*> argv;
    for (const QString& arg : command)
        bytes.push_back(arg.toLocal8Bit());
    for (QByteArray& arg : bytes)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    if (stdinFd < 0)
        ::posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    else
        ::posix_spawn_file_actions_adddup2(&actions, stdinFd, 0);
    if (stdoutFd >= 0)
        ::posix_spawn_file_actions_adddup2(&actions, stdoutFd, 1);
    if (stdoutFd >= 0 && merge)
        ::posix_spawn_file_actions_adddup2(&actions, stdoutFd, 2);
    // A server user may not enter the test's own folders.
    const QByteArray dir = QFile::encodeName(QDir::tempPath());
    ::posix_spawn_file_actions_addchdir_np(&actions, dir.constData());
    pid_t pid = 0;
    if (::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
        pid = 0;
    ::posix_spawn_file_actions_destroy(&actions);
    return pid;
}

int WaitExit(pid_t pid, int timeoutMs) {
    for (int waited = 0;; waited += 10) {
        int status = 0;
        const pid_t done = pid > 0 ? ::waitpid(pid, &status, WNOHANG) : -1;
        if (done != 0)
            return done == pid ? status : 0; // 0 also for a pid that is not (or no more) ours
        if (waited >= timeoutMs)
            return -1;
        QThread::msleep(10);
    }
}

bool End(pid_t pid, int signal, int timeoutMs) {
    ::kill(pid, signal);
    if (WaitExit(pid, timeoutMs) >= 0)
        return true;
    ::kill(pid, SIGKILL);
    WaitExit(pid, 10000);
    return false;
}

} // namespace TestSupport
