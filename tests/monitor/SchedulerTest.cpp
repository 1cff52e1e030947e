// The poll scheduler with short timers on a real engine and SQLite file.
#include "monitor/PollScheduler.h"
#include "settings/SettingKeys.h"
#include "settings/SettingsStore.h"
#include "tests/common/OdbcTestEnv.h"
#include "tests/monitor/MonitorTestSupport.h"

#include <QCoreApplication>
#include <QThread>

#include <gtest/gtest.h>

#include <thread>

namespace {

// The scheduler's rules with short timers: the threshold a tick polls with, the spin, one poll
// per slot at a time, the end. (Start-up, selection and removal run through the window's own
// tests.)

class SchedulerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(OdbcTestEnv::CreateSqliteDatabase(db).isEmpty());
        rig.options.minuteMs = 4000;
        MakeScheduler();
    }
    // A scheduler on a monitor restarted with the rig's options.
    void MakeScheduler() {
        scheduler.reset();
        rig.Restart();
        scheduler = rig.MakeScheduler();
        QObject::connect(scheduler.get(), &PollScheduler::PollStarted,
                         [&](int s) { ++started[s]; });
        QObject::connect(scheduler.get(), &PollScheduler::PollEnded, [&](int s) { ++ended[s]; });
    }
    void TearDown() override { scheduler.reset(); }
    bool Ended(int slot, int count) {
        return WaitUntil([&] { return ended[slot] >= count; }, 20000);
    }
    MonitorRig rig;
    QString db = rig.dir + "/sched.db";
    QString connection = OdbcTestEnv::SqliteConnectionString(db);
    std::unique_ptr<PollScheduler> scheduler;
    std::array<int, 4> started{}, ended{};
};

// A tick polls with the threshold the engine holds (the window stores what is typed) and
// leaves it, and its key, as they are.
TEST_F(SchedulerTest, ThresholdAndSpinRules) {
    rig.StoreSlot(1, connection, "Thresholds");
    const std::pair<int, QString> thresholds[] = {{777, "SUCCESS"}, {0, "WARNING"}};
    for (const auto& [value, kind] : thresholds) {
        rig.monitor->SetThreshold(1, value);
        scheduler->Tick(313);
        ASSERT_TRUE(Ended(1, started[1]));
        EXPECT_EQ(rig.monitor->Threshold(1), value);
        EXPECT_EQ(SettingsStore::ReadInt("Settings", "Warn1", -1), -1);
        EXPECT_TRUE(rig.AccessLines().last().startsWith(kind + " Thresholds "))
            << rig.AccessLines().last().toStdString();
    }
    scheduler->Tick(999); // not a timer of ours
    EXPECT_EQ(started[1], 2);
    const struct {
        int slot;
        QString text;
        int delta;
        int interval; // an empty box counts as 5; never below 1; no upper limit
    } spins[] = {{0, "", -1, 6}, {1, "1", +1, 1}, {2, "99", -1, 100}, {3, "30", -1, 31}};
    for (const auto& s : spins) {
        EXPECT_EQ(rig.monitor->Interval(s.slot), 15) << "a typed value counts from the next click";
        EXPECT_EQ(scheduler->SpinInterval(s.slot, s.text, s.delta), s.interval);
        EXPECT_EQ(rig.monitor->Interval(s.slot), s.interval);
        EXPECT_EQ(Config::Read(Config::kInterval[s.slot], -1), s.interval);
        EXPECT_GT(scheduler->RemainingMs(s.slot), s.interval * 4000 - 10000);
    }
}

// Polls of all four slots ending together hand their ends over at once: every slot is re-armed
// with its own delay, none is lost or taken twice.
TEST_F(SchedulerTest, FourPollsEndingTogetherEachReArmTheirSlot) {
    for (int slot = 0; slot < 4; ++slot) {
        rig.StoreSlot(slot, connection, QStringLiteral("Together%1").arg(slot));
        rig.monitor->SetInterval(slot, slot + 2);
    }
    ConnectGate gate(*rig.connector);
    for (int slot = 0; slot < 4; ++slot)
        scheduler->Tick(PollScheduler::kSlotTimerBase + slot);
    ASSERT_TRUE(gate.WaitForEntered(4, 20000));
    gate.open = true;
    ASSERT_TRUE(WaitUntil([&] { return rig.monitor->RunningPolls() == 0; }, 20000));
    for (int slot = 0; slot < 4; ++slot) {
        ASSERT_TRUE(Ended(slot, 1));
        EXPECT_EQ(ended[slot], 1);
        EXPECT_TRUE(scheduler->IsArmed(slot));
        EXPECT_GT(scheduler->RemainingMs(slot), (slot + 2) * 4000 - 3000) << slot;
    }
}

TEST_F(SchedulerTest, OnePollPerSlotASpinDuringAPollAndTheEnd) {
    rig.StoreSlot(0, connection, "Busy");
    rig.SetUpEmail(25); // no prompt
    rig.options.minuteMs = 1000;
    rig.options.earlyMs = 1500; // the poll's own re-arm would be 2 x 1000 - 1500 ms
    MakeScheduler();
    {
        ConnectGate gate(*rig.connector);
        scheduler->PollNow(0);
        ASSERT_TRUE(gate.WaitForEntered(1, 20000));
        scheduler->PollNow(0); // its tick comes and waits for the running poll
        scheduler->SpinInterval(0, "1", -1);
        QThread::msleep(300);
        QCoreApplication::processEvents();
        EXPECT_EQ(started[0], 1);
        gate.open = true;
        ASSERT_TRUE(Ended(0, 2));
        EXPECT_EQ(gate.maxInside.load(), 1) << "never two probes of one slot at once";
    }
    EXPECT_EQ(started[0], 2);
    ConnectGate gate(
        *rig.connector); // destroying the scheduler waits for a running poll, which ends normally
    scheduler->PollNow(0);
    ASSERT_TRUE(gate.WaitForEntered(1, 20000));
    std::thread opener([&] { QThread::msleep(300), gate.open = true; });
    scheduler.reset();
    opener.join();
    EXPECT_EQ(rig.monitor->RunningPolls(), 0);
    EXPECT_EQ(rig.AccessLines().size(), 3);
}

} // namespace
