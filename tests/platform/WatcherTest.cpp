// Sleep and network knowledge against real D-Bus peers: logind and NetworkManager as
// python-dbusmock serves them on a private bus that stands for the system bus, and the clock
// jump through an injected clock.
#include "platform/NetworkWatcher.h"
#include "platform/SleepWatcher.h"
#include "tests/common/TestSupport.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QProcess>

#include <gtest/gtest.h>

#include <memory>

namespace {

using TestSupport::WaitUntil;

// The test runs inside a private session bus; that bus stands for the system bus too. Set
// before anything asks Qt for the system bus, which it keeps for the process.
QDBusConnection SystemBus() {
    static const bool pointed = [] {
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", qgetenv("DBUS_SESSION_BUS_ADDRESS"));
        return true;
    }();
    (void)pointed;
    return QDBusConnection::systemBus();
}

// One python-dbusmock template served on the system bus until the object goes.
class MockService {
public:
    MockService(const QString& name, const QString& templateName) : m_name(name) {
        SystemBus();
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(QStringLiteral("/usr/bin/python3"),
                        {"-m", "dbusmock", "--system", "--template", templateName});
    }
    ~MockService() { Stop(); }
    bool Ready() {
        return WaitUntil([&] { return SystemBus().interface()->isServiceRegistered(m_name); },
                         15000);
    }
    void Stop() {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.kill();
        m_process.waitForFinished(5000);
        WaitUntil([&] { return !SystemBus().interface()->isServiceRegistered(m_name); }, 5000);
    }
    // A call on the mock's control interface of the object at `path`.
    bool Mock(const QString& path, const QString& method, const QVariantList& args) {
        QDBusMessage call = QDBusMessage::createMethodCall(
            m_name, path, QStringLiteral("org.freedesktop.DBus.Mock"), method);
        call.setArguments(args);
        const QDBusMessage reply = SystemBus().call(call, QDBus::Block, 10000);
        EXPECT_NE(reply.type(), QDBusMessage::ErrorMessage) << reply.errorMessage().toStdString();
        return reply.type() != QDBusMessage::ErrorMessage;
    }

private:
    QString m_name;
    QProcess m_process;
};

struct Recorder {
    explicit Recorder(SleepWatcher& w) {
        QObject::connect(&w, &SleepWatcher::GoingToSleep, [this] { events.push_back(-1); });
        QObject::connect(&w, &SleepWatcher::Woke, [this](qint64 ms) { events.push_back(ms); });
    }
    std::vector<qint64> events; // -1: going to sleep; otherwise a wake and how long it slept
};

TEST(SleepClockTest, OnlyAJumpBetweenTheBootAndMonotonicClocksIsASleep) {
    struct Row {
        const char* name;
        std::vector<qint64> readings; // boot minus monotonic at each look
        std::vector<qint64> wakes;
    };
    const std::vector<Row> rows = {
        {"clocks running together", {0, 0, 5, 5, 12}, {}},
        {"a busy machine drifts a little, never a second at once",
         {0, 900, 1900, 2800, 3700, 4600},
         {}},
        {"a minute asleep", {100, 100, 60100, 60100}, {60000}},
        {"two sleeps", {0, 4000, 4000, 10000}, {4000, 6000}},
        {"just above the bound", {0, SleepWatcher::kJumpMs + 1}, {SleepWatcher::kJumpMs + 1}},
        {"just at the bound", {0, SleepWatcher::kJumpMs}, {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        size_t at = 0;
        qint64 now = row.readings[0];
        SleepWatcher watcher([&] { return now; }, 3600000);
        Recorder seen(watcher);
        for (at = 1; at < row.readings.size(); ++at) {
            now = row.readings[at];
            watcher.Look();
        }
        EXPECT_EQ(seen.events, row.wakes);
    }
    // The real clocks: no jump while the test runs.
    const qint64 before = SleepWatcher::SystemSleptMs();
    EXPECT_FALSE(SleepWatcher::SleptBetween(before, SleepWatcher::SystemSleptMs()));
}

TEST(SleepLogindTest, PrepareForSleepTellsOfTheSleepAndTheWakeOnce) {
    MockService logind(QStringLiteral("org.freedesktop.login1"), QStringLiteral("logind"));
    ASSERT_TRUE(logind.Ready());
    qint64 now = 0;
    SleepWatcher watcher([&] { return now; }, 3600000);
    Recorder seen(watcher);
    ASSERT_TRUE(watcher.WatchLogind());
    const auto prepare = [&](bool start) {
        return logind.Mock(QStringLiteral("/org/freedesktop/login1"), QStringLiteral("EmitSignal"),
                           {QStringLiteral("org.freedesktop.login1.Manager"),
                            QStringLiteral("PrepareForSleep"), QStringLiteral("b"),
                            QVariant::fromValue(QVariantList{start})});
    };

    ASSERT_TRUE(prepare(true));
    ASSERT_TRUE(WaitUntil([&] { return watcher.Sleeping(); }, 10000));
    now = 30000; // the boot clock ran on through the sleep
    ASSERT_TRUE(prepare(false));
    ASSERT_TRUE(WaitUntil([&] { return seen.events.size() == 2; }, 10000));
    watcher.Look(); // the clocks tell of the same sleep: no second wake
    EXPECT_EQ(seen.events, (std::vector<qint64>{-1, 30000}));
    EXPECT_FALSE(watcher.Sleeping());

    // The clocks may tell of a wake before logind does: still one wake.
    ASSERT_TRUE(prepare(true));
    ASSERT_TRUE(WaitUntil([&] { return watcher.Sleeping(); }, 10000));
    now = 40000;
    watcher.Look();
    ASSERT_TRUE(prepare(false));
    WaitUntil([&] { return seen.events.size() > 4; }, 1000); // a second wake would come now
    EXPECT_EQ(seen.events, (std::vector<qint64>{-1, 30000, -1, 10000}));

    // logind gone: the clocks still tell of a sleep.
    logind.Stop();
    now = 100000;
    watcher.Look();
    EXPECT_EQ(seen.events, (std::vector<qint64>{-1, 30000, -1, 10000, 60000}));
}

// Qt loads one network backend per process, on first use: this is the only test that does.
TEST(NetworkWatcherTest, NetworkManagerSaysWhenTheComputerIsOffline) {
    MockService nm(QStringLiteral("org.freedesktop.NetworkManager"),
                   QStringLiteral("networkmanager"));
    ASSERT_TRUE(nm.Ready());
    NetworkWatcher watcher;
    ASSERT_TRUE(watcher.HasBackend());
    std::vector<NetworkWatcher::Reach> changes;
    QObject::connect(&watcher, &NetworkWatcher::Changed,
                     [&](NetworkWatcher::Reach r) { changes.push_back(r); });
    EXPECT_TRUE(WaitUntil([&] { return watcher.State() == NetworkWatcher::Reach::Online; }, 10000));

    const QString manager = QStringLiteral("/org/freedesktop/NetworkManager");
    constexpr uint kDisconnected = 20;
    constexpr uint kConnectedGlobal = 70;
    ASSERT_TRUE(nm.Mock(manager, QStringLiteral("SetGlobalConnectionState"), {kDisconnected}));
    EXPECT_TRUE(
        WaitUntil([&] { return watcher.State() == NetworkWatcher::Reach::Offline; }, 10000));
    ASSERT_TRUE(nm.Mock(manager, QStringLiteral("SetGlobalConnectionState"), {kConnectedGlobal}));
    EXPECT_TRUE(WaitUntil([&] { return watcher.State() == NetworkWatcher::Reach::Online; }, 10000));
    EXPECT_EQ(changes, (std::vector<NetworkWatcher::Reach>{NetworkWatcher::Reach::Offline,
                                                           NetworkWatcher::Reach::Online}));

    // NetworkManager gone: never "offline" for it, so nothing is held back.
    nm.Stop();
    WaitUntil([] { return false; }, 500);
    EXPECT_NE(watcher.State(), NetworkWatcher::Reach::Offline);
}

} // namespace
