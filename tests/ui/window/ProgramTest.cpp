// The built program as a child process: its command line without a display, the instance
// count, and the orderly end on signals.
#include "settings/SettingsStore.h"
#include "tests/ui/window/WindowTestSupport.h"
#include "ui/LogonStart.h"

#include <QFile>
#include <QProcess>
#include <QThread>

#include <gtest/gtest.h>

#include <csignal>
#include <tuple>

namespace {

using WindowTestSupport::ReadInt;
using WindowTestSupport::ResetStore;
using WindowTestSupport::Write;

std::unique_ptr<QProcess> Start(const QStringList& args = {}, bool display = true) {
    auto p = std::make_unique<QProcess>();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), display ? "offscreen" : "xcb");
    env.remove(QStringLiteral("DISPLAY"));
    p->setProcessEnvironment(env);
    if (display) // nobody reads a running window's pipes
        p->setProcessChannelMode(QProcess::ForwardedChannels);
    p->start(QStringLiteral(TRELLION_BINARY_DIR "/trellion"), args);
    return p;
}
// The window is initialised once it has written the entry; taken away for the next.
bool WaitUntilRunning() {
    for (int i = 0; i < 1500 && !QFile::exists(LogonStart::EntryPath()); ++i)
        QThread::msleep(20);
    return QFile::remove(LogonStart::EntryPath());
}
bool Ends(QProcess* p, int signal) {
    ::kill(static_cast<pid_t>(p->processId()), signal);
    return p->waitForFinished(30000) && p->exitStatus() == QProcess::NormalExit &&
           p->exitCode() == 0;
}

TEST(ProgramProcessTest, CommandLineAnswersWithoutADisplayAndNeverStartsTheMonitor) {
    const std::string version = "Trellion " TRELLION_VERSION "\n";
    // Arguments, exit status, standard output (whole; of the help its start), a part of stderr.
    const std::tuple<QStringList, int, std::string, QString> cases[] = {
        {{"--version"}, 0, version, {}},
        {{"-platform", "offscreen", "-v"}, 0, version, {}}, // Qt's own options pass
        {{"--help"}, 0, "Usage: trellion [options]\n", {}},
        {{"--bogus", "--version"}, 2, {}, "trellion: Unknown option 'bogus'."},
        {{"extra"}, 2, {}, "trellion: Unexpected argument 'extra'."},
    };
    for (const auto& [args, exitCode, out, err] : cases) {
        SCOPED_TRACE(qPrintable(args.join(' ')));
        const std::unique_ptr<QProcess> p = Start(args, false);
        ASSERT_TRUE(p->waitForFinished(30000));
        EXPECT_EQ(p->exitStatus() == QProcess::NormalExit ? p->exitCode() : -1, exitCode);
        const std::string printed = p->readAllStandardOutput().toStdString();
        EXPECT_EQ(printed.substr(0, args[0] == "--help" ? out.size() : printed.size()), out);
        EXPECT_TRUE(QString::fromLocal8Bit(p->readAllStandardError()).contains(err));
        EXPECT_EQ(printed.find("platform"), std::string::npos) << "Qt's options stay out of help";
    }
    EXPECT_FALSE(QFile::exists(LogonStart::EntryPath())) << "no window was made";
}

TEST(ProgramProcessTest, InstancesCountUpAndDownAndEndInOrderOnSignals) {
    ResetStore();
    const QString logs = qEnvironmentVariable("XDG_STATE_HOME");
    // A stale count from a crash; narrow, so a small virtual screen does not move the window.
    Write(QStringLiteral("AccessLogFile=%1/a.log|ErrorLogFile=%1/e.log|NumOpen=7|LocX=300|LocY=200|"
                         "ViewDetails=0")
              .arg(logs));
    const std::unique_ptr<QProcess> first = Start();
    ASSERT_TRUE(WaitUntilRunning());
    EXPECT_EQ(ReadInt("NumOpen"), 1) << "the first instance starts the count anew";
    // No server: the second opens the e-mail settings dialog shortly after its start.
    Write("SMTP=");
    const std::unique_ptr<QProcess> second = Start();
    ASSERT_TRUE(WaitUntilRunning());
    EXPECT_EQ(ReadInt("NumOpen"), 2);
    QThread::msleep(1500);
    ASSERT_TRUE(Ends(second.get(), SIGINT)) << "an open dialog does not keep the program";
    EXPECT_EQ(ReadInt("NumOpen"), 1);
    Write("LocX=-1");
    ASSERT_TRUE(Ends(first.get(), SIGTERM));
    EXPECT_EQ(ReadInt("NumOpen"), 0);
    EXPECT_EQ(ReadInt("LocX"), 300) << "the destruction steps ran";
}

} // namespace
