#pragma once

#include <QString>
#include <QStringList>

#include <functional>

#include <sys/types.h>

// Small helpers shared by the test binaries.
namespace TestSupport {

// The per-process temporary folder the test main made (settings, state, runtime under it).
QString HomeDir();

// A fresh empty folder under HomeDir(), removed with the process's temporary folder.
QString MakeTempDir(const QString& prefix);

// The file's bytes; empty when it cannot be read.
QByteArray ReadFile(const QString& path);

// Runs the event loop until done() holds or timeoutMs passed; true when done() held. For waits
// that must not depend on how loaded the machine is.
bool WaitUntil(const std::function<bool()>& done, int timeoutMs);

// Starts a program in the temp folder with stdin from stdinFd (-1: /dev/null) and stdout to
// stdoutFd (-1: this process's), stderr to stdoutFd too when merge is set; its pid, or 0. Tests
// start their peers this way, not with QProcess: Qt starts a child with a raw clone that the
// thread sanitizer does not see, after which it missed the starting thread's later locks and
// reported races that were not there.
pid_t Spawn(const QStringList& command, int stdinFd = -1, int stdoutFd = -1, bool merge = false);

// Waits up to timeoutMs for a started program to end: its wait status (0: exited with 0), or -1
// while it still runs.
int WaitExit(pid_t pid, int timeoutMs);

// Ends a started program: signal, then SIGKILL if it is still there after timeoutMs; true when
// the signal alone ended it.
bool End(pid_t pid, int signal, int timeoutMs);

} // namespace TestSupport
