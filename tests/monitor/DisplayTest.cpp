// The slot display: its arithmetic, then real polls of a SQLite database with the probe's
// measured time set by a scripted millisecond counter so that exact values come out.
#include "monitor/SlotStatus.h"
#include "probe/DatabaseProbe.h"
#include "settings/SettingsStore.h"
#include "tests/common/OdbcTestEnv.h"
#include "tests/monitor/MonitorTestSupport.h"

#include <QFile>

#include <gtest/gtest.h>

#include <climits>
#include <clocale>

namespace {

TEST(SlotStatusTest, NumberTexts) {
    const struct {
        double value;
        const char* text;
        double scale; // RoundScale edits the "%g" text: see the large and negative rows
    } cases[] = {{16, "16", 20},        {123, "123", 130},      {120, "120", 120},
                 {125.5, "125.5", 130}, {0.1 + 0.2, "0.3", 10}, {0, "0", 0},
                 {99999, "99999", 1e5}, {-99, "-99", -80},      {-198, "-198", -180},
                 {999995, "999995", 1}, {2e6, "2e+06", 0},      {123450, "123450", 123450}};
    // The application object sets the user's locale; a decimal comma would break the rounding.
    // A private build of de_DE (package locales) stands in for a machine that has one.
    const QString locales = TestSupport::MakeTempDir("locale");
    TestSupport::WaitExit(
        TestSupport::Spawn({"localedef", "-i", "de_DE", "-f", "UTF-8", locales + "/de_DE.UTF-8"}),
        60000);
    qputenv("LOCPATH", locales.toLocal8Bit());
    const std::string saved = std::setlocale(LC_NUMERIC, nullptr);
    ASSERT_NE(std::setlocale(LC_NUMERIC, "de_DE.UTF-8"), nullptr);
    for (const auto& c : cases) {
        EXPECT_EQ(FormatMs(c.value), c.text) << c.value;
        EXPECT_EQ(RoundScale(c.value), c.scale) << c.value;
    }
    std::setlocale(LC_NUMERIC, saved.c_str());
    const std::pair<const char*, int> boxes[] = {
        {"  \t42ms", 42}, {"-7", -7}, {"+5x", 5}, {"- 3", 0}, {"", 0}, {"-99999999999", INT_MIN}};
    for (const auto& [text, value] : boxes)
        EXPECT_EQ(LeadingInt(text), value) << text;
}

using Field = IMonitorView::SlotField;

class DisplayTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(OdbcTestEnv::CreateSqliteDatabase(db).isEmpty());
        rig.StoreSlot(0, OdbcTestEnv::SqliteConnectionString(db), "DisplayDb");
        rig.monitor->SetTickSource([this]() -> std::uint32_t {
            // First call of a poll: before Connect; second: after Disconnect.
            return started.exchange(true) ? base + elapsed : base.load();
        });
    }
    void Poll(int ms) {
        elapsed = ms;
        started = false;
        rig.view.Clear();
        rig.monitor->PollSlot(0);
    }

    MonitorRig rig;
    QString db = rig.dir + "/display.db";
    std::atomic<std::uint32_t> base{1000};
    std::atomic<int> elapsed{0};
    std::atomic<bool> started{false};
};

TEST_F(DisplayTest, ScaleThresholdAndHistoryWindowOverAPollingRun) {
    rig.monitor->SetThreshold(0, 16);
    Poll(16); // at the threshold: reachable; the scale rises to 16 and rounds up to 20
    const auto when = rig.monitor->History(0).value(0).when;
    EXPECT_TRUE(IsStamp(when));
    EXPECT_EQ(rig.view.Last("sample", 0).mark, 0.0);
    EXPECT_EQ(rig.view.LastColour(0), IMonitorView::kColourReachable);
    EXPECT_EQ(rig.view.Legend(0), QStringList({"20ms", "16ms", "12ms", "8ms", "4ms"}));
    EXPECT_EQ(rig.view.Text(0, Field::BestAccess), "16ms" + when);
    EXPECT_TRUE(IsStamp(rig.view.Text(0, Field::LastAccess).mid(4)));
    Poll(17); // one more: slow, marked, warned in both logs
    EXPECT_EQ(rig.view.Last("sample", 0).mark, 1.0);
    EXPECT_EQ(rig.view.LastColour(0), IMonitorView::kColourSlow);
    EXPECT_EQ(rig.monitor->Probe(0)->GetStatus(), CDatabaseProbe::Slow);
    EXPECT_EQ(rig.ErrorLines(), QStringList{"WARNING DisplayDb 17ms"});
    EXPECT_EQ(rig.view.Text(0, Field::WorstAccess), "17ms" + rig.monitor->History(0)[1].when);
    Poll(0); // reachable, yet shown as unavailable
    EXPECT_EQ(rig.view.LastColour(0), IMonitorView::kColourReachable);
    EXPECT_TRUE(rig.view.Text(0, Field::LastAccess).startsWith("unavailable on "));
    EXPECT_EQ(rig.AccessLines(), QStringList({"SUCCESS DisplayDb 16ms", "WARNING DisplayDb 17ms",
                                              "SUCCESS DisplayDb 0ms"}));
    rig.monitor->SetThreshold(0, 10000);
    while (rig.monitor->History(0).size() < kHistoryLength - 1)
        Poll(50);
    EXPECT_EQ(rig.monitor->GraphScale(0), 50) << "raised, not yet twice the mean";
    Poll(50); // the history is full: twice the mean, 97.8, rounded up
    EXPECT_EQ(rig.monitor->GraphScale(0), 100);
    EXPECT_EQ(rig.view.Legend(0), QStringList({"100ms", "80ms", "60ms", "40ms", "20ms"}));
    base = 0xFFFFFFF8u; // the counter wraps during the probe
    Poll(16);
    EXPECT_EQ(rig.monitor->History(0).size(), kHistoryLength) << "one record dropped per poll";
    EXPECT_EQ(rig.monitor->History(0).last().elapsed, 16);
}

// Without e-mail the alert state still advances, and says so; a reset leaves it alone.
TEST_F(DisplayTest, FailureResetAndRecoveryWithoutMail) {
    QFile::remove(db);
    Poll(16);
    EXPECT_EQ(rig.monitor->History(0).value(0).elapsed, -99);
    EXPECT_EQ(rig.view.Last("sample", 0).value, 0.0) << "a failed probe draws no bar";
    EXPECT_EQ(rig.monitor->GraphScale(0), 10);
    EXPECT_TRUE(rig.view.Text(0, Field::LastAccess).startsWith("unavailable on "));
    EXPECT_EQ(rig.view.Last("text", 0, int(Field::BestAccess)).slot, -1);
    EXPECT_EQ(rig.view.LastColour(0), IMonitorView::kColourUnreachable);
    EXPECT_EQ(rig.monitor->LastAlert(0), "(alert not sent, missing email setup)");
    rig.view.Clear();
    rig.monitor->ResetSlotDisplay(0);
    for (int field = 0; field < 5; ++field) // every text cleared, and the graph
        EXPECT_TRUE(rig.view.Last("text", 0, field).slot == 0 &&
                    rig.view.Text(0, Field(field)) == "");
    EXPECT_EQ(rig.view.Last("resetGraph", 0).slot, 0);
    EXPECT_EQ(rig.view.LastColour(0), IMonitorView::kColourDefault);
    EXPECT_TRUE(rig.monitor->History(0).isEmpty());
    EXPECT_TRUE(rig.monitor->LastAlert(0).isEmpty());
    Poll(0); // still down and already notified: no new alert text
    EXPECT_TRUE(rig.monitor->LastAlert(0).isEmpty());
    EXPECT_EQ(SettingsStore::ReadInt("DisplayDb", "Warned", 0), 1);
    ASSERT_FALSE(OdbcTestEnv::CreateSqliteDatabase(db).isEmpty());
    Poll(0);
    EXPECT_EQ(rig.monitor->LastRecovery(0), "(recovery not sent, missing email setup)");
    EXPECT_EQ(SettingsStore::ReadInt("DisplayDb", "Warned", 0), 0);
}

} // namespace
