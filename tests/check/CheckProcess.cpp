#include "tests/check/CheckProcess.h"

#include "tests/common/TestSupport.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryFile>

#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace CheckProcess {

namespace {

Finished Start(const QStringList& command, const QString& input, int timeoutMs) {
    Finished run;
    QTemporaryFile in;
    QTemporaryFile out;
    QTemporaryFile err;
    if (!in.open() || !out.open() || !err.open())
        return run;
    in.write(input.toUtf8());
    in.flush();
    in.seek(0);

    std::vector<QByteArray> bytes;
    std::vector<char*> argv;
    for (const QString& arg : command)
        bytes.push_back(arg.toLocal8Bit());
    for (QByteArray& arg : bytes)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_adddup2(&actions, in.handle(), 0);
    ::posix_spawn_file_actions_adddup2(&actions, out.handle(), 1);
    ::posix_spawn_file_actions_adddup2(&actions, err.handle(), 2);
    QElapsedTimer timer;
    timer.start();
    pid_t pid = 0;
    const int spawned = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        return run;
    const int status = TestSupport::WaitExit(pid, timeoutMs);
    run.ms = timer.elapsed();
    if (status < 0)
        TestSupport::End(pid, SIGKILL, 1000);
    else if (WIFEXITED(status))
        run.exitCode = WEXITSTATUS(status);
    out.seek(0);
    err.seek(0);
    run.out = QString::fromUtf8(out.readAll());
    run.err = QString::fromUtf8(err.readAll());
    return run;
}

} // namespace

QString Binary() {
    return QStringLiteral(TRELLION_BINARY_DIR "/trellion-check");
}

Finished Check(const QStringList& args, const QStringList& env, int timeoutMs) {
    return Start(QStringList{"env"} + env + QStringList{Binary()} + args, QString(), timeoutMs);
}

Finished Tool(const QStringList& command, const QString& input, int timeoutMs) {
    return Start(command, input, timeoutMs);
}

} // namespace CheckProcess
