// The poll cycle and its alert state machine on real SQLite databases, real log files, the real
// settings store and a real SMTP server; the re-arm rules, the watchdog and the slot commands
// against running polls.
#include "probe/DatabaseProbe.h"
#include "settings/SettingsStore.h"
#include "tests/common/OdbcTestEnv.h"
#include "tests/common/SmtpSink.h"
#include "tests/monitor/MonitorTestSupport.h"

#include <QFile>

#include <gtest/gtest.h>

namespace {

int Warned(const QString& title) {
    return SettingsStore::ReadInt(title, "Warned", 0);
}

QStringList Subjects(const SmtpSink& sink) {
    QStringList out;
    for (const auto& m : sink.Messages())
        out << m.Subject();
    return out;
}

class PollTest : public ::testing::Test {
protected:
    void Create(const QString& path) {
        ASSERT_FALSE(OdbcTestEnv::CreateSqliteDatabase(path).isEmpty());
    }
    MonitorRig rig;
    QString db = rig.dir + "/poll.db";
    QString connection = OdbcTestEnv::SqliteConnectionString(db);
};

// Slots watching one title share its state; polled together (as at start-up) they alert once
// and recover once.
TEST_F(PollTest, OneTitleInTwoSlotsPolledTogetherNotifiesOnce) {
    SmtpSink sink;
    ASSERT_TRUE(sink.Start());
    rig.SetUpEmail(sink.Port());
    const QString twin = rig.dir + "/twin.db";
    rig.StoreSlot(0, connection, "Twin");
    rig.StoreSlot(2, OdbcTestEnv::SqliteConnectionString(twin), "Twin");
    for (int round = 1; round <= 6; ++round) {
        if (round % 2 == 0)
            Create(db), Create(twin);
        ConnectGate gate;
        rig.monitor->StartPoll(0);
        rig.monitor->StartPoll(2);
        ASSERT_TRUE(gate.WaitForEntered(2, 10000));
        gate.open = true;
        ASSERT_TRUE(rig.monitor->WaitForPolls(30000));
        EXPECT_EQ(Warned("Twin"), round % 2);
        ASSERT_TRUE(sink.WaitForMessages(round, 10000));
        if (round % 2 == 0)
            QFile::remove(db), QFile::remove(twin);
    }
    EXPECT_EQ(Subjects(sink).join(' '),
              QString("Alert - Twin Recovery - Twin ").repeated(3).trimmed());
    rig.Restart(); // both slots read the shared texts
    EXPECT_EQ(rig.monitor->LastAlert(2), rig.monitor->LastAlert(0));
}

// Each poll re-arms its slot: interval x minute, a second less after a probe; an interval below
// one minute (a hand-edited store) polls every minute instead of stopping or spinning. A start
// makes no connection; an empty title keeps its state at the store's top level.
TEST_F(PollTest, ReArmDelaysStartAndEmptyTitle) {
    SettingsStore::WriteInt("Settings", "Interval0", 0);
    SettingsStore::WriteInt("Settings", "Interval1", -5);
    SettingsStore::WriteInt("Settings", "Interval3", 2);
    CDatabaseProbe::SetConnectHookForTesting([] { ADD_FAILURE() << "connected at the start"; });
    Create(db);
    rig.StoreSlot(1, connection, "Edited");
    rig.StoreSlot(2, OdbcTestEnv::SqliteConnectionString(rig.dir + "/none.db"), "");
    rig.StoreSlot(3, connection, "Edited");
    rig.monitor->LoadIntervalsAndThresholds();
    CDatabaseProbe::SetConnectHookForTesting(nullptr);
    QList<qint64> delays;
    rig.monitor->SetMinuteMs(5000);
    rig.monitor->SetPollEndedHandler([&](int slot, qint64 d) { delays << slot * 100000 + d; });
    for (int slot : {0, 1, 2, 3})
        rig.monitor->PollSlot(slot);
    rig.monitor->SetProbe(3, nullptr);
    rig.monitor->PollSlot(3);
    EXPECT_EQ(delays, QList<qint64>({5000, 104000, 274000, 309000, 310000}));
    EXPECT_EQ(rig.AccessLines().size(), 2);
    EXPECT_EQ(rig.ErrorLines(), QStringList{"Database unreachable: "});
    EXPECT_EQ(Warned(""), 1);
}

TEST_F(PollTest, WatchdogEndsAHungPollAndTheSlotGoesOnWithAFreshProbe) {
    Create(db);
    SmtpSink sink;
    ASSERT_TRUE(sink.Start());
    rig.SetUpEmail(sink.Port());
    rig.StoreSlot(0, connection, "HungDb");
    rig.monitor->SetWatchdogBoundMs(1500);
    std::weak_ptr<CDatabaseProbe> hung = rig.monitor->Probe(0);
    std::atomic<qint64> delay{-2};
    rig.monitor->SetPollEndedHandler([&](int, qint64 d) { delay = d; });
    auto gate = std::make_unique<ConnectGate>();
    rig.monitor->StartPoll(0);
    ASSERT_TRUE(gate->WaitForEntered(1, 10000));
    ASSERT_TRUE(rig.monitor->WaitForPolls(30000)) << "the watchdog ends the poll";
    EXPECT_EQ(delay.load(), 15 * 60000 - 1000);
    EXPECT_EQ(rig.monitor->HungCalls(), 1);
    EXPECT_EQ(rig.ErrorLines(), QStringList{"Database unreachable: HungDb"});
    ASSERT_TRUE(sink.WaitForMessages(1, 10000));
    EXPECT_TRUE(sink.Messages()[0].Body().contains("\n\nNo answer from the database within 2 s"));
    EXPECT_NE(rig.monitor->Probe(0), hung.lock());
    const auto calls = rig.view.Calls().size();
    gate.reset(); // the hung call returns: it changes nothing and lets its probe go
    ASSERT_TRUE(WaitUntil([&] { return rig.monitor->HungCalls() == 0 && hung.expired(); }, 30000));
    EXPECT_EQ(rig.view.Calls().size(), calls);
    rig.monitor->PollSlot(0); // the fresh probe recovers
    ASSERT_TRUE(sink.WaitForMessages(2, 10000));
    EXPECT_EQ(sink.Messages()[1].Subject(), "Recovery - HungDb");
}

// A database removed during its poll, then a shutdown while a poll is stuck: neither poll
// touches the slot, the window or the logs afterwards, and each lets its probe go.
TEST_F(PollTest, RemovalAndShutdownCutRunningPollsOff) {
    Create(db);
    rig.StoreSlot(0, connection, "Removed");
    std::weak_ptr<CDatabaseProbe> probe = rig.monitor->Probe(0);
    std::atomic<qint64> delay{0};
    rig.monitor->SetPollEndedHandler([&](int, qint64 d) { delay = d; });
    auto gate = std::make_unique<ConnectGate>();
    rig.monitor->StartPoll(0);
    ASSERT_TRUE(gate->WaitForEntered(1, 10000));
    rig.monitor->SetProbe(0, nullptr);
    EXPECT_FALSE(probe.expired()) << "the running poll holds its probe";
    rig.view.Clear();
    gate->open = true;
    ASSERT_TRUE(rig.monitor->WaitForPolls(20000));
    EXPECT_EQ(delay.load(), -1) << "the emptied slot stays stopped";
    EXPECT_TRUE(WaitUntil([&] { return probe.expired(); }, 10000));
    gate.reset();
    gate = std::make_unique<ConnectGate>();
    rig.StoreSlot(0, connection, "Late");
    rig.monitor->StartPoll(0);
    ASSERT_TRUE(gate->WaitForEntered(1, 10000));
    rig.view.Clear();
    rig.monitor->Shutdown(300);
    rig.monitor.reset();
    gate.reset(); // the poll resumes and ends on its own, then lets the log writer go
    ASSERT_TRUE(WaitUntil([&] { return rig.log.use_count() == 1; }, 20000));
    EXPECT_TRUE(rig.view.Calls().isEmpty());
    EXPECT_TRUE(rig.AccessLines().isEmpty());
}

} // namespace
