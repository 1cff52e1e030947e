// The History window on a real history file filled through the store: the figures against
// values worked out by hand, the outages of each range, the chart's buckets, CSV files written,
// the keyboard, and pictures at 100 % and 200 % in a light and a dark palette.
#include "ui/HistoryDlg.h"
#include "history/HistoryStore.h"
#include "tests/common/TestSupport.h"
#include "tests/history/HistoryTestSupport.h"
#include "ui/DialogPrompt.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QTest>
#include <QTimeZone>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>

namespace {

using HistoryTime::kDayMs;
using HistoryTime::kHourMs;
using Range = CHistoryDlg::Range;

struct WarnedPrompt : IDialogPrompt {
    void Tell(QWidget*, const QString& text) override { texts << text; }
    bool Ask(QWidget*, const QString& text) override {
        texts << text;
        return false;
    }
    QStringList texts;
};

// "Sales": a poll every hour at half past for a year, all answering in 20 ms except:
//   hours ago 3, 4          unreachable (the last 24 h: 22 of 24 answered)
//   hours ago 30 to 35      unreachable (the last 7 d: 160 of 168)
//   hours ago 200 to 223    unreachable (the last 30 d: 688 of 720)
//   hours ago 1000 to 1099  unreachable (the year: 8628 of 8760)
//   hour ago 10             slow, 900 ms (answered: counts as available)
// and two polls "not checked" at hours 5 and 6 ago (counted neither way). Each unreachable spell
// is an outage; all but the second were alerted. "Stock": down for the last three polls, its
// outage still open.
class HistoryDlgTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        fixture = new HistoryFixture;
        fixture->now = now;
        store = new HistoryStore(fixture->Options(TestSupport::MakeTempDir("history-dlg")));
        for (int h = 8759; h >= 0; --h) {
            PollRecord poll{PollAt(h), "Sales", PollResult::Reachable, 20, {}};
            if (Down(h)) {
                poll.outcome = PollResult::Unreachable;
                poll.elapsedMs = 0;
                poll.reason = "Connection refused";
            } else if (h == 10) {
                poll.outcome = PollResult::Slow;
                poll.elapsedMs = 900;
            }
            store->Record(poll);
            if (h == 5 || h == 6)
                store->Record({PollAt(h) + 15 * 60000, "Sales", PollResult::NotChecked, 0, {}});
        }
        for (const auto& [first, last, alerted] : kSpells) {
            store->OpenOutage("Sales", PollAt(last), "Connection refused", alerted);
            store->CloseOutage("Sales", PollAt(first - 1));
        }
        for (int h = 2; h >= 0; --h)
            store->Record({PollAt(h), "Stock", PollResult::Unreachable, 0, "No route"});
        store->OpenOutage("Stock", PollAt(2), "No route", false);
        store->RollUpNow(); // raw polls older than a week are gone: the rest comes from roll-ups
        ASSERT_TRUE(store->Flush(60000));
    }
    static void TearDownTestSuite() {
        delete store;
        delete fixture;
    }

    void SetUp() override {
        dlg = std::make_unique<CHistoryDlg>(*store, QStringList{"Sales", "", "Stock", "Sales"},
                                            nullptr, &prompt);
        dlg->SetClock([] { return now; });
    }

    static qint64 PollAt(int hoursAgo) { return now - hoursAgo * kHourMs - 30 * 60000; }
    static bool Down(int h) {
        for (const auto& spell : kSpells)
            if (h >= spell.first && h <= spell.last)
                return true;
        return false;
    }
    QStringList Figures() const {
        QStringList texts;
        for (int i = 0; i < 4; ++i)
            texts << dlg->AvailabilityLabel(i)->text();
        return texts;
    }

    struct Spell {
        int first, last; // hours ago
        bool alerted;
    };
    static constexpr Spell kSpells[] = {
        {3, 4, true}, {30, 35, false}, {200, 223, true}, {1000, 1099, true}};
    static constexpr qint64 now = 1773576000000; // 2026-03-15 12:00 UTC
    static inline HistoryFixture* fixture = nullptr;
    static inline HistoryStore* store = nullptr;
    WarnedPrompt prompt;
    std::unique_ptr<CHistoryDlg> dlg;
};

TEST_F(HistoryDlgTest, AvailabilityAgainstHandCountedPolls) {
    EXPECT_EQ(dlg->DatabaseBox()->count(), 2) << "empty and repeated titles left out";
    EXPECT_EQ(dlg->Database(), "Sales");
    // 22/24, 160/168, 688/720, 8628/8760, floored to two decimals.
    EXPECT_EQ(Figures(), QStringList({"91.66 %", "95.23 %", "95.55 %", "98.49 %"}));
    EXPECT_NEAR(*dlg->Availability(3), 100.0 * 8628 / 8760, 1e-9);

    dlg->DatabaseBox()->setCurrentText("Stock");
    EXPECT_EQ(Figures(), QStringList(4, "0.00 %"));
    ASSERT_EQ(dlg->OutageList()->topLevelItemCount(), 1);
    EXPECT_EQ(dlg->OutageList()->topLevelItem(0)->text(1), "going on");
    EXPECT_EQ(dlg->OutageList()->topLevelItem(0)->text(2), "2 h 30 min");

    CHistoryDlg empty(*store, {"Never polled"}, nullptr, &prompt);
    EXPECT_EQ(empty.AvailabilityLabel(0)->text(), "no polls");
    EXPECT_FALSE(empty.Availability(0).has_value());
}

TEST_F(HistoryDlgTest, RangesListTheirOutagesAndBuckets) {
    const struct {
        Range range;
        int outages;
        size_t minBuckets, maxBuckets;
        qint64 polls; // polls the chart's buckets hold
    } cases[] = {{Range::Day, 1, 96, 97, 24 + 2},
                 {Range::Week, 2, 168, 169, 168 + 2},
                 {Range::Month, 3, 120, 121, 720 + 2},
                 {Range::Year, 4, 365, 367, 8760 + 2}};
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.range));
        dlg->RangeBox()->setCurrentIndex(static_cast<int>(c.range));
        EXPECT_EQ(dlg->OutageList()->topLevelItemCount(), c.outages);
        const auto& buckets = dlg->Chart()->Buckets();
        EXPECT_GE(buckets.size(), c.minBuckets);
        EXPECT_LE(buckets.size(), c.maxBuckets);
        qint64 polls = 0;
        double slowest = 0;
        for (const SeriesBucket& b : buckets) {
            polls += b.summary.count;
            slowest = std::max(slowest, b.summary.maxMs);
        }
        EXPECT_EQ(polls, c.polls);
        EXPECT_EQ(slowest, 900);
        EXPECT_EQ(dlg->Chart()->ScaleTop(), 1000);
        EXPECT_FALSE(dlg->Chart()->TimeTicks().empty());
        EXPECT_TRUE(dlg->StatusLabel()->isHidden()) << dlg->StatusLabel()->text().toStdString();
    }
    // The newest outage, as listed: local times, two hours, alerted.
    dlg->SetRange(Range::Day);
    const QTreeWidgetItem* row = dlg->OutageList()->topLevelItem(0);
    EXPECT_EQ(row->text(0),
              QDateTime::fromMSecsSinceEpoch(PollAt(4)).toString("yyyy-MM-dd HH:mm:ss"));
    EXPECT_EQ(row->text(2), "2 h 00 min");
    EXPECT_EQ(row->text(3), "yes");
    dlg->SetRange(Range::Week);
    EXPECT_EQ(dlg->OutageList()->topLevelItem(0)->text(3), "no") << "oldest first";
    EXPECT_EQ(dlg->OutageList()->topLevelItem(0)->text(2), "6 h 00 min");
}

// The year's buckets are local days: across the two daylight-saving changes of the year before
// 2026-03-15 (the entry runs in Europe/Berlin) one day has 23 hours and one 25, and each holds
// as many hourly polls as it has hours.
TEST_F(HistoryDlgTest, YearChartBucketsAreLocalDays) {
    dlg->SetRange(Range::Year);
    std::map<qint64, int> daysOfLength; // hours -> days
    for (const SeriesBucket& b : dlg->Chart()->Buckets()) {
        const QDateTime start = QDateTime::fromMSecsSinceEpoch(b.startMs);
        EXPECT_EQ(start.time(), QTime(0, 0)) << "local midnight";
        const qint64 hours = (b.endMs - b.startMs) / kHourMs;
        ++daysOfLength[hours];
        // Whole days inside the year and outside the not-checked polls hold one poll an hour.
        if (b.startMs >= now - 364 * kDayMs && b.endMs <= now - kDayMs) {
            EXPECT_EQ(b.summary.count, hours) << start.toString().toStdString();
        }
    }
    if (QTimeZone::systemTimeZoneId() != "Europe/Berlin")
        GTEST_SKIP() << "the day lengths are checked in Europe/Berlin";
    EXPECT_EQ(daysOfLength[23], 1);
    EXPECT_EQ(daysOfLength[25], 1);
}

TEST_F(HistoryDlgTest, LengthAndPercentTexts) {
    const std::pair<qint64, const char*> lengths[] = {{0, "0 s"},
                                                      {59999, "59 s"},
                                                      {60000, "1 min 00 s"},
                                                      {3599000, "59 min 59 s"},
                                                      {3600000, "1 h 00 min"},
                                                      {kDayMs + 3 * kHourMs, "1 d 3 h"}};
    for (const auto& [ms, text] : lengths)
        EXPECT_EQ(CHistoryDlg::LengthText(ms), text) << ms;
    EXPECT_EQ(CHistoryDlg::PercentText(100), "100.00 %");
    EXPECT_EQ(CHistoryDlg::PercentText(99.999), "99.99 %") << "an outage never rounds up to 100";
    EXPECT_EQ(CHistoryDlg::PercentText(0), "0.00 %");
}

TEST_F(HistoryDlgTest, ExportsThePollsAndOutagesOfTheRange) {
    const QString dir = TestSupport::MakeTempDir("history-export");
    QString asked;
    dlg->SetPathChooser([&](QWidget*, const QString&, const QString& suggested) {
        asked = suggested;
        return dir + "/" + suggested;
    });
    dlg->SetRange(Range::Day);
    dlg->ExportPollsButton()->click();
    EXPECT_EQ(asked, "Sales-polls.csv");
    QList<QByteArray> lines = TestSupport::ReadFile(dir + "/Sales-polls.csv").split('\n');
    ASSERT_GT(lines.size(), 1);
    EXPECT_EQ(lines.front(), "time_utc,database,outcome,elapsed_ms,reason");
    lines.removeLast();
    EXPECT_EQ(lines.size(), 1 + 24 + 2);
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const QByteArray& line) { return line.contains(",unreachable,"); }),
              2);

    dlg->SetRange(Range::Month);
    dlg->ExportOutagesButton()->click();
    EXPECT_EQ(asked, "Sales-outages.csv");
    lines = TestSupport::ReadFile(dir + "/Sales-outages.csv").split('\n');
    lines.removeLast();
    ASSERT_EQ(lines.size(), 1 + 3);
    EXPECT_TRUE(lines[1].startsWith("Sales,")) << lines[1].toStdString();
    EXPECT_TRUE(prompt.texts.isEmpty());

    // A folder that does not exist: a clear message, nothing written.
    EXPECT_FALSE(dlg->ExportOutages(dir + "/missing/out.csv"));
    ASSERT_EQ(prompt.texts.size(), 1);
    EXPECT_TRUE(prompt.texts[0].startsWith("The outages could not be saved to '" + dir +
                                           "/missing/out.csv': "))
        << prompt.texts[0].toStdString();
    // Cancelled: nothing asked of the store, nothing said.
    dlg->SetPathChooser([](QWidget*, const QString&, const QString&) { return QString(); });
    dlg->ExportPollsButton()->click();
    EXPECT_EQ(prompt.texts.size(), 1);
}

TEST_F(HistoryDlgTest, ReachableByKeyboard) {
    dlg->show();
    dlg->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(dlg.get()));
    QTest::keyClick(dlg.get(), Qt::Key_R, Qt::AltModifier);
    EXPECT_EQ(QApplication::focusWidget(), dlg->RangeBox());
    QTest::keyClick(dlg->RangeBox(), Qt::Key_Down);
    EXPECT_EQ(dlg->ChosenRange(), Range::Week);
    EXPECT_EQ(dlg->OutageList()->topLevelItemCount(), 2);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), dlg->OutageList());
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), dlg->ExportPollsButton());
    QTest::keyClick(dlg.get(), Qt::Key_D, Qt::AltModifier);
    EXPECT_EQ(QApplication::focusWidget(), dlg->DatabaseBox());
    QTest::keyClick(dlg->DatabaseBox(), Qt::Key_Down);
    EXPECT_EQ(dlg->Database(), "Stock");
    QTest::keyClick(dlg.get(), Qt::Key_C, Qt::AltModifier);
    // A mnemonic clicks the button as if pressed for a moment.
    EXPECT_TRUE(TestSupport::WaitUntil([&] { return !dlg->isVisible(); }, 5000))
        << "Close ends the window";
}

// A history that cannot be read (a folder where the file should be): the window says so and
// shows no figures.
TEST(HistoryDlgFaultTest, UnreadableHistoryIsSaid) {
    const QString blocker = TestSupport::MakeTempDir("history-blocked");
    ASSERT_TRUE(QDir().mkpath(HistoryStore::FileName(blocker)));
    HistoryFixture clock;
    HistoryStore store(clock.Options(blocker));
    WarnedPrompt prompt;
    CHistoryDlg dlg(store, {"Sales"}, nullptr, &prompt);
    EXPECT_FALSE(dlg.StatusLabel()->isHidden());
    const QString said = dlg.StatusLabel()->text();
    const QString lead = "The history could not be read: ";
    EXPECT_TRUE(said.startsWith(lead)) << said.toStdString();
    EXPECT_GT(said.size(), lead.size() + 5) << "with its reason";
    EXPECT_EQ(dlg.AvailabilityLabel(0)->text(), "no polls");
    EXPECT_TRUE(dlg.Chart()->Buckets().empty());
    EXPECT_EQ(dlg.OutageList()->topLevelItemCount(), 0);
}

QPalette DarkPalette() {
    QPalette p;
    p.setColor(QPalette::Window, QColor(40, 40, 44));
    p.setColor(QPalette::Base, QColor(28, 28, 30));
    p.setColor(QPalette::AlternateBase, QColor(45, 45, 50));
    p.setColor(QPalette::Text, QColor(225, 225, 225));
    p.setColor(QPalette::WindowText, QColor(225, 225, 225));
    p.setColor(QPalette::Button, QColor(50, 50, 55));
    p.setColor(QPalette::ButtonText, QColor(225, 225, 225));
    return p;
}

// Pictures of the whole window go to the build folder, to be looked at; the chart's pixels are
// checked for its three marks and for text that stands out from the background.
TEST_F(HistoryDlgTest, PicturesAtBothScalesInLightAndDark) {
    const QString out = QStringLiteral(TRELLION_BINARY_DIR "/pictures");
    QDir().mkpath(out);
    dlg->resize(dlg->sizeHint().expandedTo({760, 620}));
    const std::pair<Range, const char*> ranges[] = {
        {Range::Day, "day"}, {Range::Week, "week"}, {Range::Year, "year"}};
    for (const auto& [range, rangeName] : ranges)
        for (const bool dark : {false, true})
            for (const int scale : {1, 2}) {
                const QString name = QString("%1/history-%2-%3-%4x.png")
                                         .arg(out, rangeName, dark ? "dark" : "light")
                                         .arg(scale);
                SCOPED_TRACE(name.toStdString());
                dlg->SetRange(range);
                dlg->setPalette(dark ? DarkPalette() : QApplication::style()->standardPalette());
                QImage window(dlg->size() * scale, QImage::Format_ARGB32);
                window.setDevicePixelRatio(scale);
                window.fill(Qt::transparent);
                dlg->render(&window);
                EXPECT_TRUE(window.save(name));

                QImage chart(dlg->Chart()->size() * scale, QImage::Format_ARGB32);
                chart.setDevicePixelRatio(scale);
                dlg->Chart()->render(&chart);
                const QColor base = dlg->Chart()->palette().color(QPalette::Base);
                const int baseLightness = base.lightness();
                int reddish = 0, bluish = 0, contrasting = 0;
                for (int y = 0; y < chart.height(); ++y) {
                    const auto* line = reinterpret_cast<const QRgb*>(chart.constScanLine(y));
                    for (int x = 0; x < chart.width(); ++x) {
                        const int r = qRed(line[x]), g = qGreen(line[x]), b = qBlue(line[x]);
                        const int lightness =
                            (std::max({r, g, b}) + std::min({r, g, b})) / 2; // as QColor's
                        reddish += r > g + 40 && r > b + 40;
                        bluish += b > r + 60;
                        contrasting += std::abs(lightness - baseLightness) > 120;
                    }
                }
                // Each range's spells (the narrowest: 2 of 24 hours, 8 of 168 hours, 10 of 365
                // days) over the plot's height: far more than the legend's swatch.
                EXPECT_GT(reddish, 1500 * scale * scale) << "the unreachable spells";
                EXPECT_GT(bluish, 200 * scale * scale) << "the bars and the mean";
                EXPECT_GT(contrasting, 300 * scale * scale) << "labels readable on the background";
            }
}

} // namespace
