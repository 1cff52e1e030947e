// The 30-day availability in the slot's and the tray's tips: real polls of a SQLite database
// through the engine, written by the feed to a real history file and read back for the tips.
#include "history/HistoryFeed.h"
#include "tests/common/OdbcTestEnv.h"
#include "tests/history/HistoryTestSupport.h"
#include "tests/monitor/MonitorTestSupport.h"
#include "ui/HistoryAvailability.h"

#include <QFile>

#include <gtest/gtest.h>

#include <memory>

namespace {

// Keeps the slots' tips and the tray's last tip.
class TipSurface : public ISlotSurface {
public:
    void SetLabelColour(int, int) override {}
    void AddGraphSample(int, double, double) override {}
    void SetGraphLegend(int, const QStringList&) override {}
    void SetGraphScale(int, double) override {}
    void SetSlotText(int, SlotField, const QString&) override {}
    void SetTrayIcon(int, const QString& tip) override { trayTip = tip; }
    void ResetGraph(int) override {}
    void SetSlotTip(int slot, const QString& tip) override { tips[slot] = tip; }

    QString tips[4];
    QString trayTip;
};

class HistoryTipTest : public ::testing::Test {
protected:
    void SetUp() override {
        clock.now = Utc(2026, 6, 1, 8, 0);
        store = std::make_unique<HistoryStore>(clock.Options(rig.dir + "/state"));
        feed = std::make_unique<HistoryFeed>(*store, [this] { return clock.now.load(); });
        rig.options.outcomeTap = feed->Tap();
        rig.Restart();
        ASSERT_FALSE(OdbcTestEnv::CreateSqliteDatabase(db).isEmpty());
        rig.StoreSlot(2, OdbcTestEnv::SqliteConnectionString(db), "Sales");
        // This test's presenter is the window; the rig's takes what the start queued and goes.
        rig.presenter->Drain();
        rig.view.presenter = nullptr;
        rig.presenter.reset();
        presenter = std::make_unique<SlotPresenter>(*rig.monitor, surface, 0);
        // No caching here: each poll's tip reads the file.
        availability = std::make_unique<HistoryAvailability>(
            *store, [this] { return clock.now.load(); }, 0);
        presenter->SetAvailabilitySource(availability->Source());
    }
    void TearDown() override {
        presenter.reset();
        rig.monitor->Shutdown();
    }
    // One poll a minute on; shown once written.
    void Poll() {
        clock.now += 60000;
        rig.monitor->PollSlot(2);
        ASSERT_TRUE(store->Flush(10000));
        presenter->Drain();
    }

    HistoryFixture clock;
    MonitorRig rig;
    QString db = rig.dir + "/tips.db";
    std::unique_ptr<HistoryStore> store;
    std::unique_ptr<HistoryFeed> feed;
    TipSurface surface;
    std::unique_ptr<HistoryAvailability> availability;
    std::unique_ptr<SlotPresenter> presenter;
};

TEST_F(HistoryTipTest, SlotAndTrayTipsFollowThePolls) {
    Poll();
    EXPECT_EQ(surface.tips[2], "Available 100.00 % over 30 days");
    EXPECT_EQ(surface.trayTip, "Trellion\nSales\nAvailable 100.00 % over 30 days");
    Poll();
    Poll();
    QFile::remove(db);
    Poll(); // 3 of 4 answered
    EXPECT_EQ(surface.tips[2], "Available 75.00 % over 30 days");
    ASSERT_FALSE(OdbcTestEnv::CreateSqliteDatabase(db).isEmpty());
    Poll();
    Poll(); // 5 of 6
    EXPECT_EQ(surface.tips[2], "Available 83.33 % over 30 days");
    EXPECT_TRUE(surface.tips[0].isEmpty()) << "other slots untouched";

    rig.monitor->ResetSlotDisplay(2);
    presenter->Drain();
    EXPECT_TRUE(surface.tips[2].isEmpty()) << "a reset slot shows no old figure";
}

// The figure is read once per refresh interval and database; polls older than 30 days and
// "not checked" polls do not count.
TEST(HistoryAvailabilityTest, CachedPerIntervalAndCountingOnlyThirtyCheckedDays) {
    HistoryFixture clock;
    clock.now = Utc(2026, 6, 1);
    HistoryStore store(clock.Options(TestSupport::MakeTempDir("history-tip")));
    const qint64 day = HistoryTime::kDayMs;
    store.Record({clock.now - 31 * day, "Web", PollResult::Unreachable, 0, "old"});
    store.Record({clock.now - 29 * day, "Web", PollResult::Reachable, 10, {}});
    store.Record({clock.now - 2 * day, "Web", PollResult::NotChecked, 0, {}});
    ASSERT_TRUE(store.Flush(10000));
    HistoryAvailability availability(store, [&] { return clock.now.load(); });
    EXPECT_EQ(availability.Text("Web"), "Available 100.00 % over 30 days");
    EXPECT_TRUE(availability.Text("Nothing yet").isEmpty());

    store.Record({clock.now, "Web", PollResult::Unreachable, 0, "down"});
    ASSERT_TRUE(store.Flush(10000));
    clock.now += HistoryAvailability::kRefreshMs - 1;
    EXPECT_EQ(availability.Text("Web"), "Available 100.00 % over 30 days") << "still cached";
    clock.now += 1;
    EXPECT_EQ(availability.Text("Web"), "Available 50.00 % over 30 days");
}

} // namespace
