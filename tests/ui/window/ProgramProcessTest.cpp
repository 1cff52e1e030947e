// The built program as a child process: instance counting and an orderly end on SIGTERM.
#include "settings/SettingsStore.h"
#include "tests/common/TestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QThread>

#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include <csignal>

namespace {

const QString kSettings = QLatin1String(SettingsStore::kSettings);

int NumOpen() {
    return SettingsStore::ReadInt(kSettings, QStringLiteral("NumOpen"), -99);
}

bool WaitFor(const std::function<bool()>& done, int timeoutMs) {
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > timeoutMs)
            return false;
        QThread::msleep(20);
    }
    return true;
}

class ProgramProcessTest : public ::testing::Test {
protected:
    void SetUp() override {
        QFile::remove(SettingsStore::FilePath());
        m_logDir = TestSupport::MakeTempDir(QStringLiteral("logs"));
        // The child shares this process's settings, state and runtime folders: the test reads
        // what the program wrote, and two children see each other's lock.
        SettingsStore::WriteString(kSettings, QStringLiteral("AccessLogFile"),
                                   m_logDir + QStringLiteral("/access.log"));
        SettingsStore::WriteString(kSettings, QStringLiteral("ErrorLogFile"),
                                   m_logDir + QStringLiteral("/error.log"));
        SettingsStore::WriteString(kSettings, QStringLiteral("SMTP"),
                                   QStringLiteral("127.0.0.1:1"));
        QFile::remove(AutostartEntry());
    }
    void TearDown() override {
        for (auto& p : m_children) {
            if (p->state() != QProcess::NotRunning) {
                p->kill();
                p->waitForFinished(5000);
            }
        }
    }

    static QString AutostartEntry() {
        return qEnvironmentVariable("XDG_CONFIG_HOME") +
               QStringLiteral("/autostart/Trellion.desktop");
    }

    QProcess* Start() {
        auto p = std::make_unique<QProcess>();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        p->setProcessEnvironment(env);
        p->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        p->start(QStringLiteral(TRELLION_BINARY_DIR "/trellion"), {});
        EXPECT_TRUE(p->waitForStarted(10000));
        m_children.push_back(std::move(p));
        return m_children.back().get();
    }

    // The window is initialised once the logon start entry has been written.
    static bool WaitUntilRunning() {
        return WaitFor([] { return QFile::exists(AutostartEntry()); }, 30000);
    }

    static bool Terminate(QProcess* p) {
        ::kill(static_cast<pid_t>(p->processId()), SIGTERM);
        return p->waitForFinished(30000) && p->exitStatus() == QProcess::NormalExit &&
               p->exitCode() == 0;
    }

    QString m_logDir;
    std::vector<std::unique_ptr<QProcess>> m_children;
};

TEST_F(ProgramProcessTest, SigtermEndsWithTheDestructionSteps) {
    SettingsStore::WriteInt(kSettings, QStringLiteral("LocX"), 300);
    SettingsStore::WriteInt(kSettings, QStringLiteral("LocY"), 200);
    // Narrow, so the right edge of a small virtual screen does not move the window.
    SettingsStore::WriteInt(kSettings, QStringLiteral("ViewDetails"), 0);
    QProcess* p = Start();
    ASSERT_TRUE(WaitUntilRunning());
    EXPECT_EQ(NumOpen(), 1);
    // Written at start: the default log paths were kept, the details flag rewritten.
    EXPECT_EQ(SettingsStore::ReadInt(kSettings, QStringLiteral("ViewDetails"), -1), 0);
    SettingsStore::WriteInt(kSettings, QStringLiteral("LocX"), -1);
    ASSERT_TRUE(Terminate(p));
    EXPECT_EQ(NumOpen(), 0);
    EXPECT_EQ(SettingsStore::ReadInt(kSettings, QStringLiteral("LocX"), -1), 300);
    EXPECT_EQ(SettingsStore::ReadInt(kSettings, QStringLiteral("LocY"), -1), 200);
    EXPECT_EQ(SettingsStore::ReadString(QStringLiteral("Location"), QStringLiteral("0"),
                                        QStringLiteral("<missing>")),
              QString());
}

TEST_F(ProgramProcessTest, SigintAndAnOpenDialogStillEndInOrder) {
    // No server: the e-mail settings dialog opens over the window shortly after the start.
    SettingsStore::WriteString(kSettings, QStringLiteral("SMTP"), QString());
    QProcess* p = Start();
    ASSERT_TRUE(WaitUntilRunning());
    QThread::msleep(1500);
    ::kill(static_cast<pid_t>(p->processId()), SIGINT);
    ASSERT_TRUE(p->waitForFinished(30000));
    EXPECT_EQ(p->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(NumOpen(), 0);
}

TEST_F(ProgramProcessTest, TwoInstancesCountUpAndDown) {
    SettingsStore::WriteInt(kSettings, QStringLiteral("NumOpen"), 7); // stale, from a crash
    QProcess* first = Start();
    ASSERT_TRUE(WaitUntilRunning());
    EXPECT_EQ(NumOpen(), 1) << "the first instance starts the count anew";
    QFile::remove(AutostartEntry());
    QProcess* second = Start();
    ASSERT_TRUE(WaitUntilRunning());
    EXPECT_EQ(NumOpen(), 2);
    ASSERT_TRUE(Terminate(second));
    EXPECT_EQ(NumOpen(), 1);
    EXPECT_EQ(first->state(), QProcess::Running);
    ASSERT_TRUE(Terminate(first));
    EXPECT_EQ(NumOpen(), 0);
    // The lock went with them: the next start is a first instance again.
    QFile::remove(AutostartEntry());
    QProcess* third = Start();
    ASSERT_TRUE(WaitUntilRunning());
    EXPECT_EQ(NumOpen(), 1);
    ASSERT_TRUE(Terminate(third));
}

} // namespace
