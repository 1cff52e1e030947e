// The scheduler's rules with short timers: ticks, the threshold and spin texts, poll now, one
// poll per slot at a time, the first-start prompt, selection and removal.
#include "monitor/PollScheduler.h"
#include "probe/DataSourceChooser.h"
#include "probe/DatabaseProbe.h"
#include "settings/SettingsStore.h"
#include "tests/common/OdbcTestEnv.h"
#include "tests/monitor/MonitorTestSupport.h"

#include <QCoreApplication>
#include <QFile>
#include <QThread>

#include <gtest/gtest.h>

#include <thread>

namespace {

const QString kSettings = QString::fromLatin1(SettingsStore::kSettings);

class CancelledChooser : public IDataSourceChooser {
public:
    std::optional<QString> ChooseDataSource() override { return std::nullopt; }
};

class SchedulerTest : public ::testing::Test {
protected:
    void SetUp() override {
        dbPath = rig.dir + QStringLiteral("/sched.db");
        ASSERT_FALSE(OdbcTestEnv::CreateSqliteDatabase(dbPath).isEmpty());
        connection = OdbcTestEnv::SqliteConnectionString(dbPath);
        rig.monitor->SetMinuteMs(4000);
        rig.monitor->SetEarlyMs(1000);
        for (int i = 0; i < 4; ++i)
            rig.view.thresholdTexts[i] = QStringLiteral("10000");
        MakeScheduler();
    }
    void TearDown() override { scheduler.reset(); }

    void MakeScheduler() {
        scheduler = std::make_unique<PollScheduler>(rig.monitor.get(), &rig.view);
        QObject::connect(scheduler.get(), &PollScheduler::PollStarted,
                         [this](int slot) { ++started[slot]; });
        QObject::connect(scheduler.get(), &PollScheduler::PollEnded,
                         [this](int slot) { ++ended[slot]; });
    }

    int Count(const QString& what) const {
        int n = 0;
        for (const auto& c : rig.view.Calls())
            n += c.what == what;
        return n;
    }

    MonitorRig rig;
    QString dbPath;
    QString connection;
    std::unique_ptr<PollScheduler> scheduler;
    std::array<int, 4> started{};
    std::array<int, 4> ended{};
};

TEST_F(SchedulerTest, StartTicksEverySlotAndPromptsForEmailFirst) {
    rig.StoreSlot(2, connection, QStringLiteral("Third"));
    rig.view.Clear();
    scheduler->Start();
    EXPECT_TRUE(scheduler->FirstStart());
    for (int i = 0; i < 4; ++i) {
        EXPECT_TRUE(scheduler->IsArmed(i));
        EXPECT_LE(scheduler->RemainingMs(i), 100 + 5);
    }
    ASSERT_TRUE(WaitUntil([&] { return ended[1] == 1 && ended[2] == 1 && ended[3] == 1; }, 20000));
    EXPECT_EQ(Count("prompt"), 1) << "no SMTP server: slot 0's first tick opens the settings";
    EXPECT_FALSE(scheduler->FirstStart());
    // The start-up tick captioned the occupied slot.
    bool captioned = false;
    for (const auto& c : rig.view.Calls())
        captioned |=
            c.what == u"captions" && c.slot == 2 && c.texts == QStringList({"Third", "Third"});
    EXPECT_TRUE(captioned);
    // Slot 0 is polled after the prompt anyway.
    ASSERT_TRUE(WaitUntil([&] { return ended[0] == 1; }, 20000));
    EXPECT_EQ(Count("prompt"), 1);
    // Empty slots re-arm at interval x minute; the probed one a second earlier.
    EXPECT_GT(scheduler->RemainingMs(1), 15 * 4000 - 20000);
    EXPECT_LE(scheduler->RemainingMs(1), 15 * 4000 + 5);
    EXPECT_LE(scheduler->RemainingMs(2), 15 * 4000 - 1000 + 5);
    EXPECT_EQ(rig.monitor->History(2).size(), 1);
    EXPECT_EQ(Count("hide"), 0);
}

TEST_F(SchedulerTest, EmailSetUpMeansNoPromptAndStartHiddenHides) {
    rig.SetUpEmail(25);
    SettingsStore::WriteInt(kSettings, QStringLiteral("Hid"), 1);
    scheduler->Start();
    ASSERT_TRUE(WaitUntil([&] { return ended[0] == 1; }, 20000));
    EXPECT_EQ(Count("prompt"), 0);
    EXPECT_EQ(Count("hide"), 1);
}

TEST_F(SchedulerTest, TickTakesTheThresholdFromItsBox) {
    rig.StoreSlot(1, connection, QStringLiteral("Thresholds"));
    rig.monitor->SetThreshold(1, 777);
    SettingsStore::WriteInt(kSettings, QStringLiteral("Warn1"), 777);

    rig.view.thresholdTexts[1] = QString();
    scheduler->Tick(313);
    ASSERT_TRUE(WaitUntil([&] { return ended[1] == 1; }, 20000));
    EXPECT_EQ(rig.monitor->Threshold(1), 777) << "an empty box keeps the threshold";
    EXPECT_EQ(SettingsStore::ReadInt(kSettings, QStringLiteral("Warn1"), -1), 777);

    rig.view.thresholdTexts[1] = QStringLiteral("  250 ms");
    scheduler->Tick(313);
    ASSERT_TRUE(WaitUntil([&] { return ended[1] == 2; }, 20000));
    EXPECT_EQ(rig.monitor->Threshold(1), 250);
    EXPECT_EQ(SettingsStore::ReadInt(kSettings, QStringLiteral("Warn1"), -1), 250);

    rig.view.thresholdTexts[1] = QStringLiteral("fast");
    scheduler->Tick(313);
    ASSERT_TRUE(WaitUntil([&] { return ended[1] == 3; }, 20000));
    EXPECT_EQ(rig.monitor->Threshold(1), 0) << "text without digits is 0";
    EXPECT_EQ(SettingsStore::ReadInt(kSettings, QStringLiteral("Warn1"), -1), 0);

    scheduler->Tick(999); // not ours: ignored
    EXPECT_EQ(started[1], 3);
}

TEST_F(SchedulerTest, SpinRules) {
    rig.view.intervalTexts[0] = QString();
    EXPECT_EQ(scheduler->SpinInterval(0, -1), 0);
    EXPECT_EQ(rig.view.intervalTexts[0], "6") << "an empty box counts as 5";
    EXPECT_EQ(rig.monitor->Interval(0), 6);
    EXPECT_EQ(SettingsStore::ReadInt(kSettings, QStringLiteral("Interval0"), -1), 6);
    EXPECT_TRUE(scheduler->IsArmed(0));
    EXPECT_GT(scheduler->RemainingMs(0), 6 * 4000 - 10000);

    rig.view.intervalTexts[1] = QStringLiteral("1");
    scheduler->SpinInterval(1, +1);
    EXPECT_EQ(rig.view.intervalTexts[1], "1") << "never below 1";
    EXPECT_EQ(rig.monitor->Interval(1), 1);

    rig.view.intervalTexts[2] = QStringLiteral("99");
    scheduler->SpinInterval(2, -1);
    EXPECT_EQ(rig.view.intervalTexts[2], "100") << "no upper limit";

    // A typed value counts only from the next click, which starts from it.
    rig.view.intervalTexts[3] = QStringLiteral("30");
    EXPECT_EQ(rig.monitor->Interval(3), 15);
    scheduler->SpinInterval(3, -1);
    EXPECT_EQ(rig.monitor->Interval(3), 31);
    EXPECT_EQ(SettingsStore::ReadInt(kSettings, QStringLiteral("Interval3"), -1), 31);
}

TEST_F(SchedulerTest, OnePollPerSlotRequestsWaitForTheRunningOne) {
    rig.StoreSlot(0, connection, QStringLiteral("Busy"));
    rig.SetUpEmail(25); // no prompt
    {
        ConnectGate gate;
        scheduler->PollNow(0);
        ASSERT_TRUE(gate.WaitForEntered(1, 20000));
        EXPECT_TRUE(scheduler->IsPolling(0));
        // Poll now while the poll runs: its tick comes and waits.
        scheduler->PollNow(0);
        ASSERT_TRUE(WaitUntil([&] { return !scheduler->IsArmed(0); }, 5000));
        QThread::msleep(200);
        QCoreApplication::processEvents();
        EXPECT_EQ(started[0], 1);
        EXPECT_EQ(gate.Entered(), 1);
        gate.Open();
        ASSERT_TRUE(WaitUntil([&] { return ended[0] == 2; }, 20000));
        EXPECT_EQ(gate.MaxInside(), 1) << "never two probes of one slot at once";
        EXPECT_EQ(started[0], 2) << "the waiting tick ran after the first poll";
    }
    // The second poll re-armed as usual.
    EXPECT_TRUE(scheduler->IsArmed(0));
    EXPECT_GT(scheduler->RemainingMs(0), 15 * 4000 - 1000 - 20000);
    EXPECT_EQ(rig.monitor->History(0).size(), 2);
}

TEST_F(SchedulerTest, SpinDuringAPollKeepsItsNewTimer) {
    rig.StoreSlot(0, connection, QStringLiteral("SpinBusy"));
    rig.SetUpEmail(25);
    rig.view.intervalTexts[0] = QStringLiteral("1");
    // The poll's own re-arm would give 2 x 4000 - 6000 = 2000 ms; the spin's timer is 8000 ms.
    rig.monitor->SetEarlyMs(6000);
    {
        ConnectGate gate;
        scheduler->PollNow(0);
        ASSERT_TRUE(gate.WaitForEntered(1, 20000));
        scheduler->SpinInterval(0, -1); // 2 minutes = 8000 ms here
        gate.Open();
        ASSERT_TRUE(WaitUntil([&] { return ended[0] == 1; }, 20000));
    }
    EXPECT_TRUE(scheduler->IsArmed(0));
    EXPECT_GT(scheduler->RemainingMs(0), 2500);
    EXPECT_LE(scheduler->RemainingMs(0), 2 * 4000 + 5);
    EXPECT_EQ(started[0], 1);
}

TEST_F(SchedulerTest, AShortIntervalKeepsPolling) {
    rig.SetUpEmail(25);
    rig.monitor->SetMinuteMs(1300); // 1 minute: next tick 300 ms after each poll
    rig.view.intervalTexts[0] = QStringLiteral("2");
    scheduler->SpinInterval(0, +1); // 1
    rig.StoreSlot(0, connection, QStringLiteral("Loop"));
    scheduler->PollNow(0);
    ASSERT_TRUE(WaitUntil([&] { return ended[0] >= 3; }, 30000));
    EXPECT_GE(rig.AccessLines().size(), 3);
}

TEST_F(SchedulerTest, SelectAndRemove) {
    // A connected selection: stored, captioned, polled soon.
    std::shared_ptr<CDatabaseProbe> probe(
        CDatabaseProbe::FromStored(connection, QStringLiteral("Chosen")));
    scheduler->SelectDatabase(1, probe);
    EXPECT_EQ(SettingsStore::ReadString(kSettings, QStringLiteral("lastDatabase1")), connection);
    EXPECT_EQ(SettingsStore::ReadString(kSettings, QStringLiteral("lastDatabaseTitle1")), "Chosen");
    EXPECT_TRUE(scheduler->IsArmed(1));
    EXPECT_LE(scheduler->RemainingMs(1), 100 + 5);
    ASSERT_TRUE(WaitUntil([&] { return ended[1] == 1; }, 20000));
    EXPECT_EQ(rig.monitor->History(1).size(), 1);

    // A cancelled selection: the new probe stays but is not polled; the keys stay.
    CancelledChooser chooser;
    std::shared_ptr<CDatabaseProbe> cancelled =
        std::make_shared<CDatabaseProbe>(&chooser, QString(), true, nullptr);
    ASSERT_FALSE(cancelled->HasConnection());
    scheduler->SelectDatabase(1, cancelled);
    EXPECT_EQ(SettingsStore::ReadString(kSettings, QStringLiteral("lastDatabase1")), connection);
    EXPECT_TRUE(rig.monitor->HasProbe(1));
    EXPECT_FALSE(rig.monitor->IsConfigured(1));
    const auto calls = rig.view.Calls();
    ASSERT_EQ(calls.last().what, "captions");
    EXPECT_EQ(calls.last().texts, QStringList({"Database 2", "Select Database"}));
    scheduler->PollNow(1);
    ASSERT_TRUE(WaitUntil([&] { return ended[1] == 2; }, 20000));
    EXPECT_EQ(rig.monitor->History(1).size(), 1) << "an unconfigured probe is not polled";

    // Remove: timer stopped, keys cleared, display reset; the database's section stays.
    SettingsStore::WriteInt(QStringLiteral("Chosen"), QStringLiteral("Warned"), 1);
    EXPECT_TRUE(scheduler->RemoveDatabase(1));
    EXPECT_FALSE(scheduler->IsArmed(1));
    EXPECT_FALSE(rig.monitor->HasProbe(1));
    EXPECT_TRUE(SettingsStore::ReadString(kSettings, QStringLiteral("lastDatabase1")).isEmpty());
    EXPECT_TRUE(
        SettingsStore::ReadString(kSettings, QStringLiteral("lastDatabaseTitle1")).isEmpty());
    EXPECT_EQ(SettingsStore::ReadInt(QStringLiteral("Chosen"), QStringLiteral("Warned"), 0), 1);
    EXPECT_TRUE(rig.monitor->History(1).isEmpty());
    EXPECT_FALSE(scheduler->RemoveDatabase(1)) << "nothing to remove";

    // Poll on the emptied slot: the timer runs again and only re-arms.
    scheduler->PollNow(1);
    ASSERT_TRUE(WaitUntil([&] { return ended[1] == 3; }, 20000));
    EXPECT_TRUE(scheduler->IsArmed(1));
    EXPECT_GT(scheduler->RemainingMs(1), 15 * 4000 - 20000);
}

TEST_F(SchedulerTest, RemoveDuringAPollLeavesTheSlotStopped) {
    rig.StoreSlot(3, connection, QStringLiteral("GoneWhilePolling"));
    {
        ConnectGate gate;
        scheduler->PollNow(3);
        ASSERT_TRUE(gate.WaitForEntered(1, 20000));
        EXPECT_TRUE(scheduler->RemoveDatabase(3));
        gate.Open();
        ASSERT_TRUE(WaitUntil([&] { return ended[3] == 1; }, 20000));
    }
    QCoreApplication::processEvents();
    EXPECT_FALSE(scheduler->IsArmed(3));
    EXPECT_TRUE(rig.monitor->History(3).isEmpty());
    EXPECT_TRUE(rig.AccessLines().isEmpty());
}

TEST_F(SchedulerTest, DestroyingTheSchedulerWaitsForARunningPoll) {
    rig.StoreSlot(0, connection, QStringLiteral("Closing"));
    rig.SetUpEmail(25);
    ConnectGate gate;
    scheduler->PollNow(0);
    ASSERT_TRUE(gate.WaitForEntered(1, 20000));
    std::thread opener([&] {
        QThread::msleep(300);
        gate.Open();
    });
    scheduler.reset(); // waits: the poll ends within the bound and reports normally
    opener.join();
    EXPECT_EQ(rig.monitor->RunningPolls(), 0);
    EXPECT_EQ(rig.AccessLines().size(), 1);
}

} // namespace
