// The scheduler's rules with short timers: the threshold and spin texts, one poll per slot at a
// time, the end. (Start-up, selection and removal run through the window's own tests.)
#include "monitor/PollScheduler.h"
#include "probe/DatabaseProbe.h"
#include "settings/SettingsStore.h"
#include "tests/common/OdbcTestEnv.h"
#include "tests/monitor/MonitorTestSupport.h"

#include <QCoreApplication>
#include <QThread>

#include <gtest/gtest.h>

#include <thread>

namespace {

class SchedulerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(OdbcTestEnv::CreateSqliteDatabase(db).isEmpty());
        rig.monitor->SetMinuteMs(4000);
        rig.view.thresholdTexts.fill("10000");
        scheduler = std::make_unique<PollScheduler>(rig.monitor.get(), &rig.view);
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

TEST_F(SchedulerTest, ThresholdBoxAndSpinRules) {
    rig.StoreSlot(1, connection, "Thresholds");
    rig.monitor->SetThreshold(1, 777);
    const std::pair<QString, int> thresholds[] = {{"", 777}, {"  250 ms", 250}, {"fast", 0}};
    for (const auto& [text, value] : thresholds) {
        rig.view.thresholdTexts[1] = text;
        scheduler->Tick(313);
        ASSERT_TRUE(Ended(1, started[1]));
        EXPECT_EQ(rig.monitor->Threshold(1), value) << text.toStdString();
        EXPECT_EQ(SettingsStore::ReadInt("Settings", "Warn1", -1), text.isEmpty() ? -1 : value);
    }
    scheduler->Tick(999); // not a timer of ours
    EXPECT_EQ(started[1], 3);
    const struct {
        int slot;
        QString text;
        int delta;
        int interval; // an empty box counts as 5; never below 1; no upper limit
    } spins[] = {{0, "", -1, 6}, {1, "1", +1, 1}, {2, "99", -1, 100}, {3, "30", -1, 31}};
    for (const auto& s : spins) {
        rig.view.intervalTexts[s.slot] = s.text;
        EXPECT_EQ(rig.monitor->Interval(s.slot), 15) << "a typed value counts from the next click";
        EXPECT_EQ(scheduler->SpinInterval(s.slot, s.delta), 0);
        EXPECT_EQ(rig.view.intervalTexts[s.slot], QString::number(s.interval));
        EXPECT_EQ(rig.monitor->Interval(s.slot), s.interval);
        EXPECT_EQ(SettingsStore::ReadInt("Settings", SlotKeys::Interval(s.slot), -1), s.interval);
        EXPECT_GT(scheduler->RemainingMs(s.slot), s.interval * 4000 - 10000);
    }
}

TEST_F(SchedulerTest, OnePollPerSlotASpinDuringAPollAndTheEnd) {
    rig.StoreSlot(0, connection, "Busy");
    rig.SetUpEmail(25); // no prompt
    rig.view.intervalTexts[0] = "1";
    rig.monitor->SetMinuteMs(1000);
    rig.monitor->SetEarlyMs(1500); // the poll's own re-arm would be 2 x 1000 - 1500 ms
    {
        ConnectGate gate;
        scheduler->PollNow(0);
        ASSERT_TRUE(gate.WaitForEntered(1, 20000));
        scheduler->PollNow(0); // its tick comes and waits for the running poll
        scheduler->SpinInterval(0, -1);
        QThread::msleep(300);
        QCoreApplication::processEvents();
        EXPECT_EQ(started[0], 1);
        gate.open = true;
        ASSERT_TRUE(Ended(0, 2));
        EXPECT_EQ(gate.maxInside.load(), 1) << "never two probes of one slot at once";
    }
    EXPECT_EQ(started[0], 2);
    ConnectGate gate; // destroying the scheduler waits for a running poll, which ends normally
    scheduler->PollNow(0);
    ASSERT_TRUE(gate.WaitForEntered(1, 20000));
    std::thread opener([&] { QThread::msleep(300), gate.open = true; });
    scheduler.reset();
    opener.join();
    EXPECT_EQ(rig.monitor->RunningPolls(), 0);
    EXPECT_EQ(rig.AccessLines().size(), 3);
}

} // namespace
