// The OS layer against the real system: an instance lock held by a second real process, the
// autostart entry on disk, signals delivered to this process, file modes, folders, thread
// priority and whatever keyring the session has.
#include "platform/Platform.h"
#include "tests/common/TestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QObject>
#include <QThread>

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <thread>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

using TestSupport::WaitUntil;

constexpr char kLockName[] = "PlatformTestLock";

unsigned Mode(const QString& path) {
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode & 0777 : 0;
}

// Restores an environment variable when the test ends.
class EnvVar {
public:
    EnvVar(const char* name, const QByteArray& value)
        : m_name(name), m_had(qEnvironmentVariableIsSet(name)), m_old(qgetenv(name)) {
        if (value.isNull())
            qunsetenv(name);
        else
            qputenv(name, value);
    }
    ~EnvVar() {
        if (m_had)
            qputenv(m_name, m_old);
        else
            qunsetenv(m_name);
    }

private:
    const char* m_name;
    bool m_had;
    QByteArray m_old;
};

// Run as the second process: holds the lock, says what it saw in the file named by the
// environment, and keeps the hold until it is killed.
TEST(PlatformChild, DISABLED_HoldInstanceLockUntilKilled) {
    const QString report = qEnvironmentVariable("TRELLION_LOCK_REPORT");
    ASSERT_FALSE(report.isEmpty());
    // The test main gave this process a run-time folder of its own: use the parent's.
    qputenv("XDG_RUNTIME_DIR", qgetenv("TRELLION_LOCK_RUNTIME"));
    const auto hold = CurrentPlatform().HoldInstanceLock(kLockName);
    QFile f(report + ".part");
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(hold->OthersRunning() ? "others" : "alone");
    f.close();
    ASSERT_TRUE(QFile::rename(report + ".part", report));
    for (;;)
        ::pause();
}

TEST(PlatformTest, InstanceLockSeesAnotherRealProcessUntilItEnds) {
    const QString report = TestSupport::MakeTempDir("lock") + "/report";
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    auto first = CurrentPlatform().HoldInstanceLock(kLockName);
    EXPECT_FALSE(first->OthersRunning()) << "nobody else holds it yet";
    EXPECT_TRUE(QFile::exists(runtime + "/" + kLockName));

    qputenv("TRELLION_LOCK_REPORT", report.toLocal8Bit());
    qputenv("TRELLION_LOCK_RUNTIME", runtime.toLocal8Bit());
    const pid_t child =
        TestSupport::Spawn({QCoreApplication::applicationFilePath(),
                            "--gtest_filter=PlatformChild.DISABLED_HoldInstanceLockUntilKilled",
                            "--gtest_also_run_disabled_tests"});
    ASSERT_GT(child, 0);
    ASSERT_TRUE(WaitUntil([&] { return QFile::exists(report); }, 30000));
    EXPECT_EQ(TestSupport::ReadFile(report), "others") << "the child saw this process's hold";

    first.reset(); // only the child holds it now
    EXPECT_TRUE(CurrentPlatform().HoldInstanceLock(kLockName)->OthersRunning());
    TestSupport::End(child, SIGKILL, 5000); // a killed instance lets go too
    EXPECT_FALSE(CurrentPlatform().HoldInstanceLock(kLockName)->OthersRunning());
}

TEST(PlatformTest, LogonEntryIsWrittenReadableAndRemoved) {
    IPlatform& os = CurrentPlatform();
    const QString path = os.LogonEntryPath("Watcher");
    EXPECT_EQ(path, qEnvironmentVariable("XDG_CONFIG_HOME") + "/autostart/Watcher.desktop");
    QFile::remove(path);
    const LogonEntry entry{"Watcher", "Watches things", "/opt/My Tools/watcher", "watcher-icon"};
    ASSERT_TRUE(os.SetLogonStart(entry, true));
    EXPECT_EQ(TestSupport::ReadFile(path).toStdString(), "[Desktop Entry]\n"
                                                         "Type=Application\n"
                                                         "Name=Watcher\n"
                                                         "Comment=Watches things\n"
                                                         "Exec=\"/opt/My Tools/watcher\"\n"
                                                         "Icon=watcher-icon\n"
                                                         "Terminal=false\n"
                                                         "X-GNOME-Autostart-enabled=true\n");
    // Written again in place, then removed; removing a missing entry is no failure.
    ASSERT_TRUE(os.SetLogonStart({"Watcher", "", "/usr/bin/watcher", ""}, true));
    EXPECT_TRUE(TestSupport::ReadFile(path).contains("\nExec=/usr/bin/watcher\n"));
    EXPECT_TRUE(os.SetLogonStart(entry, false));
    EXPECT_FALSE(QFile::exists(path));
    EXPECT_TRUE(os.SetLogonStart(entry, false));

    // A file where the autostart folder should be: the entry cannot be written.
    const QString folder = QFileInfo(path).absolutePath();
    ASSERT_TRUE(QDir(folder).removeRecursively());
    QFile blocker(folder);
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    EXPECT_FALSE(os.SetLogonStart(entry, true));
    ASSERT_TRUE(blocker.remove());
}

// Every end signal reaches the watcher on this thread, and the process lives on.
TEST(PlatformTest, EndSignalsSentToThisProcessReachTheWatcher) {
    QObject context;
    int calls = 0;
    ASSERT_TRUE(CurrentPlatform().WatchEndSignals(&context, [&] { ++calls; }));
    EXPECT_FALSE(CurrentPlatform().WatchEndSignals(&context, [] {})) << "once per process";
    int expected = 0;
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(signal);
        ASSERT_EQ(::kill(::getpid(), signal), 0);
        ++expected;
        EXPECT_TRUE(WaitUntil([&] { return calls == expected; }, 5000));
    }
    WaitUntil([] { return false; }, 100);
    EXPECT_EQ(calls, 3) << "one call per signal";
}

TEST(PlatformTest, PrivateFilesAndFoldersAreTheUsersAlone) {
    IPlatform& os = CurrentPlatform();
    const QString folder = TestSupport::MakeTempDir("private") + "/a/b";
    const QString file = folder + "/secret.conf";
    ASSERT_TRUE(os.MakePrivateFile(file));
    EXPECT_EQ(Mode(folder), 0700u);
    EXPECT_EQ(Mode(file), 0600u);
    // An existing file keeps its content and loses the others' rights.
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("kept");
    f.close();
    ASSERT_TRUE(f.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup |
                                 QFile::ReadOther));
    ASSERT_TRUE(os.MakePrivateFile(file));
    EXPECT_EQ(Mode(file), 0600u);
    EXPECT_EQ(TestSupport::ReadFile(file), "kept");
    EXPECT_TRUE(os.IsWritableFolder(folder));
    EXPECT_FALSE(os.IsWritableFolder(file)) << "a file is no folder";
    EXPECT_FALSE(os.IsWritableFolder(QString()));
    EXPECT_FALSE(os.IsWritableFolder("/proc/1")) << "no files can be made there, not even by root";
}

TEST(PlatformTest, FoldersFollowTheXdgVariablesAndTheirFallbacks) {
    IPlatform& os = CurrentPlatform();
    const QString home = TestSupport::HomeDir();
    EXPECT_EQ(os.ConfigFolder(), home + "/config");
    EXPECT_EQ(os.StateFolder(), home + "/state");
    EXPECT_EQ(os.RuntimeFolder(), home + "/runtime");
    {
        EnvVar state("XDG_STATE_HOME", "relative/state"); // to be ignored
        EXPECT_EQ(os.StateFolder(), QDir::homePath() + "/.local/state");
    }
    {
        EnvVar runtime("XDG_RUNTIME_DIR", QByteArray());
        const QString fallback = QString("/tmp/trellion-%1").arg(::getuid());
        EXPECT_EQ(os.RuntimeFolder(), fallback);
        EXPECT_EQ(Mode(fallback), 0700u);
    }
    {
        EnvVar runtime("XDG_RUNTIME_DIR", (home + "/no-such-folder").toLocal8Bit());
        EXPECT_TRUE(os.RuntimeFolder().startsWith("/tmp/trellion-"));
    }
}

TEST(PlatformTest, LowerThreadPriorityLowersTheCallingThreadOnly) {
    const auto niceOf = [](pid_t tid) {
        return ::getpriority(PRIO_PROCESS, static_cast<id_t>(tid));
    };
    const pid_t self = static_cast<pid_t>(::syscall(SYS_gettid));
    const int before = niceOf(self);
    int inside = -100;
    int insideBefore = -100;
    std::thread worker([&] {
        const pid_t tid = static_cast<pid_t>(::syscall(SYS_gettid));
        insideBefore = niceOf(tid);
        CurrentPlatform().LowerThreadPriority();
        inside = niceOf(tid);
    });
    worker.join();
    EXPECT_EQ(inside, std::min(insideBefore + 5, 19));
    EXPECT_EQ(niceOf(self), before) << "the caller's thread only";
}

// No test keyring can be made here: whatever the session has, a read and a write answer, and
// a secret a keyring took comes back.
TEST(PlatformTest, KeyringAnswersAndGivesBackWhatItTook) {
    QObject context;
    IPlatform& os = CurrentPlatform();
    std::atomic<int> stored{-1};
    os.WriteSecret("TrellionTest", "probe", "pässwort", &context,
                   [&](bool ok) { stored = ok ? 1 : 0; });
    ASSERT_TRUE(WaitUntil([&] { return stored >= 0; }, 60000));
    SecretRead read = SecretRead::NotFound;
    QString secret = "<none>";
    bool answered = false;
    os.ReadSecret("TrellionTest", "probe", &context, [&](SecretRead r, const QString& s) {
        read = r;
        secret = s;
        answered = true;
    });
    ASSERT_TRUE(WaitUntil([&] { return answered; }, 60000));
    if (stored == 1) {
        EXPECT_EQ(read, SecretRead::Found);
        EXPECT_EQ(secret, "pässwort");
    } else {
        EXPECT_EQ(read, SecretRead::NoKeyring);
        EXPECT_EQ(secret, "");
    }
}

} // namespace
