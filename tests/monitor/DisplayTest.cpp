// The slot display after real polls of a SQLite database, with the probe's measured time set by
// a scripted millisecond counter so that the examples' exact values come out.
#include "monitor/SlotStatus.h"
#include "probe/DatabaseProbe.h"
#include "tests/common/OdbcTestEnv.h"
#include "tests/monitor/MonitorTestSupport.h"

#include <QFile>

#include <gtest/gtest.h>

#include <atomic>

namespace {

using Field = IMonitorView::SlotField;

class DisplayTest : public ::testing::Test {
protected:
    void SetUp() override {
        dbPath = rig.dir + QStringLiteral("/display.db");
        ASSERT_FALSE(OdbcTestEnv::CreateSqliteDatabase(dbPath).isEmpty());
        rig.StoreSlot(0, OdbcTestEnv::SqliteConnectionString(dbPath), QStringLiteral("DisplayDb"));
        rig.monitor->SetTickSource([this]() -> std::uint32_t {
            // First call of a poll: before Connect; second: after Disconnect.
            if (!started.exchange(true))
                return base;
            return base + static_cast<std::uint32_t>(nextElapsed.load());
        });
        rig.view.Clear();
    }

    // One poll whose probe, if it connects, measures elapsed milliseconds.
    void Poll(int elapsed) {
        nextElapsed = elapsed;
        started = false;
        rig.monitor->PollSlot(0);
    }

    QStringList SlotCallKinds() const {
        QStringList kinds;
        for (const auto& c : rig.view.CallsFor(0))
            kinds << c.what;
        return kinds;
    }

    MonitorRig rig;
    QString dbPath;
    std::uint32_t base = 1000;
    std::atomic<int> nextElapsed{0};
    std::atomic<bool> started{false};
};

TEST_F(DisplayTest, FirstPollOf16msRaisesAndRoundsTheScale) {
    Poll(16);
    const QList<AccessRecord> history = rig.monitor->History(0);
    ASSERT_EQ(history.size(), 1);
    EXPECT_EQ(history[0].elapsed, 16);
    EXPECT_TRUE(IsStamp(history[0].when)) << history[0].when.toStdString();
    EXPECT_EQ(rig.monitor->GraphScale(0), 20);
    EXPECT_EQ(rig.view.Scale(0), 20);
    EXPECT_EQ(rig.view.Legend(0), QStringList({"20ms", "16ms", "12ms", "8ms", "4ms"}));

    const QString last = rig.view.Text(0, Field::LastAccess);
    EXPECT_TRUE(last.startsWith("16ms on ")) << last.toStdString();
    EXPECT_TRUE(IsStamp(last.mid(4)));
    EXPECT_EQ(rig.view.Text(0, Field::BestAccess), "16ms" + history[0].when);
    EXPECT_EQ(rig.view.Text(0, Field::WorstAccess), "16ms" + history[0].when);
    EXPECT_EQ(rig.view.LastColour(0), IMonitorView::kColourReachable);

    // The order of one poll's updates: sample, colour, then the display.
    EXPECT_EQ(SlotCallKinds(), QStringList({"sample", "colour", "legend", "scale", "text", "text",
                                            "text", "text", "text"}));
    const auto calls = rig.view.CallsFor(0);
    EXPECT_EQ(calls[0].value, 16);
    EXPECT_EQ(calls[0].mark, 0.0);
    QList<int> fields;
    for (const auto& c : calls)
        if (c.what == u"text")
            fields << c.field;
    EXPECT_EQ(fields, QList<int>({0, 1, 2, 3, 4}));
}

TEST_F(DisplayTest, FailedFirstPollLeavesScaleBestAndWorst) {
    QFile::remove(dbPath);
    Poll(16);
    const QList<AccessRecord> history = rig.monitor->History(0);
    ASSERT_EQ(history.size(), 1);
    EXPECT_EQ(history[0].elapsed, -99);
    EXPECT_EQ(rig.monitor->GraphScale(0), 10);
    EXPECT_EQ(rig.view.Legend(0), QStringList({"10ms", "8ms", "6ms", "4ms", "2ms"}));
    const QString last = rig.view.Text(0, Field::LastAccess);
    EXPECT_TRUE(last.startsWith("unavailable on ")) << last.toStdString();
    EXPECT_FALSE(rig.view.HasText(0, Field::BestAccess));
    EXPECT_FALSE(rig.view.HasText(0, Field::WorstAccess));
    EXPECT_EQ(rig.view.LastColour(0), IMonitorView::kColourUnreachable);
    const auto calls = rig.view.CallsFor(0);
    ASSERT_FALSE(calls.isEmpty());
    EXPECT_EQ(calls[0].what, "sample");
    EXPECT_EQ(calls[0].value, 0.0) << "a failed probe draws no bar";
}

TEST_F(DisplayTest, SteadyPollsFollowTwiceTheMeanOnceTheHistoryIsFull) {
    Poll(50);
    EXPECT_EQ(rig.monitor->GraphScale(0), 50);
    for (int i = 2; i < kHistoryLength; ++i)
        Poll(50);
    EXPECT_EQ(rig.monitor->GraphScale(0), 50) << "106 polls: still the raised scale";
    Poll(50);
    EXPECT_EQ(rig.monitor->GraphScale(0), 100);
    EXPECT_EQ(rig.view.Legend(0), QStringList({"100ms", "80ms", "60ms", "40ms", "20ms"}));
    Poll(50);
    EXPECT_EQ(rig.monitor->History(0).size(), kHistoryLength) << "one record dropped per poll";
}

TEST_F(DisplayTest, A107thFailureGivesANegativeScale) {
    QFile::remove(dbPath);
    for (int i = 0; i < kHistoryLength - 1; ++i)
        Poll(0);
    EXPECT_EQ(rig.monitor->GraphScale(0), 10);
    Poll(0);
    EXPECT_EQ(rig.monitor->GraphScale(0), -180);
    EXPECT_EQ(rig.view.Legend(0), QStringList({"-180ms", "-144ms", "-108ms", "-72ms", "-36ms"}));
    EXPECT_FALSE(rig.view.HasText(0, Field::BestAccess));
}

TEST_F(DisplayTest, ZeroMillisecondsIsReachableButShownUnavailable) {
    Poll(0);
    EXPECT_EQ(rig.view.LastColour(0), IMonitorView::kColourReachable);
    EXPECT_TRUE(rig.view.Text(0, Field::LastAccess).startsWith("unavailable on "));
    EXPECT_EQ(rig.monitor->Probe(0)->GetStatus(), CDatabaseProbe::Reachable);
    EXPECT_TRUE(rig.AccessLines().contains("SUCCESS DisplayDb 0ms"));
    EXPECT_FALSE(rig.view.HasText(0, Field::BestAccess));

    // The next record is best because the sum before it is 0.
    Poll(40);
    const QList<AccessRecord> history = rig.monitor->History(0);
    ASSERT_EQ(history.size(), 2);
    EXPECT_EQ(rig.view.Text(0, Field::BestAccess), "40ms" + history[1].when);
}

TEST_F(DisplayTest, ExactlyTheThresholdIsReachableOneMoreIsSlow) {
    rig.monitor->SetThreshold(0, 16);
    Poll(16);
    EXPECT_EQ(rig.view.LastColour(0), IMonitorView::kColourReachable);
    EXPECT_EQ(rig.AccessLines(), QStringList({"SUCCESS DisplayDb 16ms"}));
    EXPECT_TRUE(rig.ErrorLines().isEmpty());

    rig.view.Clear();
    Poll(17);
    EXPECT_EQ(rig.view.LastColour(0), IMonitorView::kColourSlow);
    EXPECT_EQ(rig.monitor->Probe(0)->GetStatus(), CDatabaseProbe::Slow);
    EXPECT_EQ(rig.ErrorLines(), QStringList({"WARNING DisplayDb 17ms"}));
    const auto calls = rig.view.CallsFor(0);
    ASSERT_FALSE(calls.isEmpty());
    EXPECT_EQ(calls[0].mark, 1.0) << "a slow probe's bar is marked";
}

TEST_F(DisplayTest, ACounterWrapDuringTheProbeStillMeasures) {
    base = 0xFFFFFFF8u;
    Poll(16);
    ASSERT_EQ(rig.monitor->History(0).size(), 1);
    EXPECT_EQ(rig.monitor->History(0)[0].elapsed, 16);
}

TEST_F(DisplayTest, ResetClearsWhatTheSlotShowsButNotItsAlertState) {
    QFile::remove(dbPath);
    Poll(0); // unreachable, e-mail not set up: "Warned" 1, alert text set
    ASSERT_EQ(rig.monitor->LastAlert(0), "(alert not sent, missing email setup)");
    rig.view.Clear();

    rig.monitor->ResetSlotDisplay(0);
    EXPECT_TRUE(rig.monitor->History(0).isEmpty());
    EXPECT_EQ(rig.monitor->GraphScale(0), 10);
    EXPECT_TRUE(rig.monitor->LastAlert(0).isEmpty());
    QStringList kinds = SlotCallKinds();
    EXPECT_EQ(kinds, QStringList({"colour", "text", "text", "text", "text", "text", "resetGraph"}));
    EXPECT_EQ(rig.view.LastColour(0), IMonitorView::kColourDefault);
    EXPECT_TRUE(rig.view.Text(0, Field::LastAlert).isEmpty());
    EXPECT_NE(rig.monitor->Probe(0), nullptr);

    // Still down and still notified: no new alert, the alert text stays empty.
    Poll(0);
    EXPECT_TRUE(rig.monitor->LastAlert(0).isEmpty());
    EXPECT_TRUE(rig.view.Text(0, Field::LastAlert).isEmpty());
}

} // namespace
