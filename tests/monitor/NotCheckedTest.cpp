// Polls that say nothing about their database on the real engine: one across a sleep, a remote
// failure while offline, and the polls after a wake, with a real SQLite file, SMTP server and
// scheduler; the computer's clocks and network state are moved by hand.
#include "monitor/ComputerWatch.h"
#include "settings/SettingsStore.h"
#include "tests/common/OdbcTestEnv.h"
#include "tests/common/SmtpSink.h"
#include "tests/monitor/MonitorTestSupport.h"

#include <QFile>

#include <gtest/gtest.h>

namespace {

class NotCheckedTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(sink.Start());
        computer->sleptClock = [this] { return slept.load(); };
        computer->steadyClock = [this] { return steady.load(); };
        rig.options.minuteMs = 4000;
        rig.options.computer = computer;
        rig.Restart();
        rig.SetUpEmail(sink.Port());
        ASSERT_FALSE(OdbcTestEnv::CreateSqliteDatabase(db).isEmpty());
        rig.StoreSlot(0, OdbcTestEnv::SqliteConnectionString(db), kTitle);
    }
    int Samples() {
        int count = 0;
        for (const RecordingView::Call& call : rig.view.Calls())
            count += call.what == "sample";
        return count;
    }

    static inline const QString kTitle = QStringLiteral("Ledger");
    std::shared_ptr<ComputerState> computer = std::make_shared<ComputerState>();
    std::atomic<qint64> slept{0};
    std::atomic<qint64> steady{1000000};
    SmtpSink sink;
    MonitorRig rig;
    QString db = rig.dir + "/local.db";
};

TEST_F(NotCheckedTest, APollAcrossASleepSaysNothingEvenOfAnOutage) {
    QFile::remove(db);
    // The poll reads the sleep clock as it starts; a minute of sleep passes during it.
    rig.connector->SetStep([this] { slept = 60000; });
    rig.monitor->PollSlot(0);
    rig.connector->SetStep({});
    EXPECT_EQ(rig.AccessLines(), QStringList{"NOT CHECKED Ledger (this computer was asleep)"});
    EXPECT_TRUE(rig.ErrorLines().isEmpty());
    EXPECT_EQ(Samples(), 0) << "no sample drawn";
    EXPECT_TRUE(rig.monitor->History(0).isEmpty());
    EXPECT_EQ(rig.view.LastColour(0), SlotColour::NotChecked);
    EXPECT_TRUE(rig.view.Text(0, SlotField::LastAccess)
                    .startsWith("not checked (this computer was asleep) on "));
    EXPECT_EQ(SettingsStore::ReadString(kTitle, "Warned", "none"), "none");

    rig.monitor->PollSlot(0); // awake: the outage counts
    ASSERT_TRUE(sink.WaitForMessages(1, 15000));
    EXPECT_EQ(sink.Messages()[0].Subject(), "Alert - " + kTitle);
}

TEST_F(NotCheckedTest, OfflineOnlyARemoteFailureIsNotChecked) {
    rig.StoreSlot(1, QStringLiteral("DSN=NoSuchSourceAnywhere"), QStringLiteral("Remote"));
    computer->reach = ComputerState::Offline;
    rig.monitor->PollSlot(1);
    QFile::remove(db);
    rig.monitor->PollSlot(0);
    EXPECT_EQ(rig.AccessLines(), QStringList{"NOT CHECKED Remote (this computer is offline)"});
    EXPECT_EQ(rig.ErrorLines(), QStringList{"Database unreachable: Ledger"})
        << "the file on this computer is really gone";
    ASSERT_TRUE(sink.WaitForMessages(1, 15000));
    EXPECT_EQ(sink.Messages().size(), 1);
    EXPECT_EQ(sink.Messages()[0].Subject(), "Alert - Ledger");
    EXPECT_EQ(SettingsStore::ReadString("Remote", "Warned", "none"), "none");
}

TEST_F(NotCheckedTest, AfterAWakeEveryConfiguredSlotIsPolledOnceTheNetworkIsUp) {
    rig.StoreSlot(2, OdbcTestEnv::SqliteConnectionString(db), QStringLiteral("Copy"));
    std::unique_ptr<PollScheduler> scheduler = rig.MakeScheduler();
    std::array<int, 4> started{};
    QObject::connect(scheduler.get(), &PollScheduler::PollStarted, [&](int s) { ++started[s]; });
    ComputerWatch watch(*scheduler, *rig.monitor, computer, 400);
    const auto polledOnce = [&] { return started == std::array<int, 4>{1, 0, 1, 0}; };
    const auto wake = [&](ComputerState::Reach reach) {
        started = {};
        watch.OnReach(reach);
        watch.OnWoke();
    };

    wake(ComputerState::Online);
    EXPECT_TRUE(WaitUntil(polledOnce, 300)) << "online: at once";

    wake(ComputerState::Offline);
    EXPECT_FALSE(WaitUntil(polledOnce, 250)) << "offline: waits for the network";
    watch.OnReach(ComputerState::Online);
    EXPECT_TRUE(WaitUntil(polledOnce, 300)) << "the network is back: at once";

    wake(ComputerState::Unknown);
    EXPECT_FALSE(WaitUntil(polledOnce, 250)) << "no word of the network: within the grace";
    EXPECT_TRUE(WaitUntil(polledOnce, 2000)) << "polled when the grace ends";

    // The network coming back with no wake behind it polls at once too.
    watch.OnReach(ComputerState::Offline);
    started = {};
    watch.OnReach(ComputerState::Online);
    EXPECT_TRUE(WaitUntil(polledOnce, 300));
    EXPECT_EQ(computer->wokeAt, 1000000);
}

} // namespace
