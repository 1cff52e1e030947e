// The built program as a child process: command line, instance count, orderly end on signals.
#include "settings/SettingsStore.h"

#include <QFile>
#include <QProcess>
#include <QThread>

#include <gtest/gtest.h>

#include <csignal>
#include <memory>
#include <tuple>

namespace {

const QString kSettings = QLatin1String(SettingsStore::kSettings);
int Read(const char* key) {
    return SettingsStore::ReadInt(kSettings, QLatin1String(key), -99);
}
QString Entry() { // the logon start entry; the test main sets the folder
    return qEnvironmentVariable("XDG_CONFIG_HOME") + "/autostart/Trellion.desktop";
}
// No display at all; without display, a platform that would need one.
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
    for (int i = 0; i < 1500 && !QFile::exists(Entry()); ++i)
        QThread::msleep(20);
    return QFile::remove(Entry());
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
    EXPECT_FALSE(QFile::exists(Entry())) << "no window was made";
}

TEST(ProgramProcessTest, InstancesCountUpAndDownAndEndInOrderOnSignals) {
    const QString logs = qEnvironmentVariable("XDG_STATE_HOME");
    // A stale count from a crash; narrow, so a small virtual screen does not move the window.
    for (const QString& pair :
         {"AccessLogFile=" + logs + "/a.log", "ErrorLogFile=" + logs + "/e.log",
          QStringLiteral("SMTP=127.0.0.1:1"), QStringLiteral("NumOpen=7"),
          QStringLiteral("LocX=300"), QStringLiteral("LocY=200"), QStringLiteral("ViewDetails=0")})
        SettingsStore::WriteString(kSettings, pair.section(u'=', 0, 0), pair.section(u'=', 1));
    const std::unique_ptr<QProcess> first = Start();
    ASSERT_TRUE(WaitUntilRunning());
    EXPECT_EQ(Read("NumOpen"), 1) << "the first instance starts the count anew";
    // No server: the second opens the e-mail settings dialog shortly after its start.
    SettingsStore::WriteString(kSettings, QStringLiteral("SMTP"), QString());
    const std::unique_ptr<QProcess> second = Start();
    ASSERT_TRUE(WaitUntilRunning());
    EXPECT_EQ(Read("NumOpen"), 2);
    QThread::msleep(1500);
    ASSERT_TRUE(Ends(second.get(), SIGINT)) << "an open dialog does not keep the program";
    EXPECT_EQ(Read("NumOpen"), 1);
    SettingsStore::WriteInt(kSettings, QStringLiteral("LocX"), -1);
    ASSERT_TRUE(Ends(first.get(), SIGTERM));
    EXPECT_EQ(Read("NumOpen"), 0);
    EXPECT_EQ(Read("LocX"), 300) << "the destruction steps ran";
}

} // namespace
