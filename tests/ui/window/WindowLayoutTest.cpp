// Window position, the details/compact layouts and the tray summary.
#include "tests/ui/window/WindowTestSupport.h"

#include "controls/RecordingTrayShell.h"
#include "controls/TrayIcon.h"
#include "monitor/SlotMonitor.h"
#include "probe/DatabaseProbe.h"

#include <QGroupBox>
#include <QLabel>
#include <QScreen>

#include <gtest/gtest.h>

using namespace WindowTest;

namespace {

std::shared_ptr<CDatabaseProbe> StoredProbe(const QString& title) {
    return std::shared_ptr<CDatabaseProbe>(CDatabaseProbe::FromStored(
        QStringLiteral("DRIVER={SQLite3};Database=/nonexistent/%1.db;NoCreat=1").arg(title),
        title));
}

class WindowLayoutTest : public ::testing::Test {
protected:
    void SetUp() override {
        ClearSettings();
        SetUpEmail();
    }
};

struct PositionCase {
    int x, y;
    bool restored;
};

class WindowPositionTest : public WindowLayoutTest,
                           public ::testing::WithParamInterface<PositionCase> {};

TEST_P(WindowPositionTest, StoredCornerIsRestoredOnlyInsideTheRange) {
    const PositionCase c = GetParam();
    WriteInt(QStringLiteral("LocX"), c.x);
    WriteInt(QStringLiteral("LocY"), c.y);
    // Narrow, so that the layout does not move the window.
    WriteInt(QStringLiteral("ViewDetails"), 0);
    auto w = MakeWindow();
    w->move(7, 9);
    ASSERT_TRUE(w->OnInitDialog());
    EXPECT_EQ(w->pos(), c.restored ? QPoint(c.x, c.y) : QPoint(7, 9));
}

INSTANTIATE_TEST_SUITE_P(Corners, WindowPositionTest,
                         ::testing::Values(PositionCase{0, 100, false}, PositionCase{100, 0, false},
                                           PositionCase{1, 1, true}, PositionCase{1999, 1999, true},
                                           PositionCase{2000, 100, false},
                                           PositionCase{100, 2000, false},
                                           PositionCase{-32, 100, false},
                                           PositionCase{100, -32, false},
                                           PositionCase{-5, 100, false}));

TEST_F(WindowLayoutTest, PositionIsSavedAtTheEnd) {
    auto w = MakeWindow();
    ASSERT_TRUE(w->OnInitDialog());
    w->OnCommand(CMonitorDlg::ID_SHOW_DETAILS); // narrow: no move at the right edge
    w->move(321, 123);
    w.reset();
    EXPECT_EQ(ReadInt(QStringLiteral("LocX"), -1), 321);
    EXPECT_EQ(ReadInt(QStringLiteral("LocY"), -1), 123);
}

// Every combination of the two flags and the probes in slots 2 to 4 (slot 1 never counts).
TEST_F(WindowLayoutTest, OuterSizeForEveryDetailsCompactAndOccupiedCombination) {
    CRecordingTrayShell* shell = nullptr;
    auto w = MakeWindow(&shell);
    // Left edge where even the wide window fits the screen.
    w->move(0, 0);
    const int heightsCompact[8] = {
        // bit 0: slot 2 occupied, bit 1: slot 3, bit 2: slot 4; -1: unchanged
        CMonitorDlg::kHeightCompact1,
        CMonitorDlg::kHeightCompact2,
        CMonitorDlg::kHeightCompact3,
        CMonitorDlg::kHeightCompact3,
        -1,
        -1,
        -1,
        -1};
    for (bool details : {true, false}) {
        for (bool compact : {false, true}) {
            for (int occupied = 0; occupied < 8; ++occupied) {
                for (bool slot1 : {false, true}) {
                    w->Monitor().SetProbe(0, slot1 ? StoredProbe("one") : nullptr);
                    for (int s = 1; s < 4; ++s)
                        w->Monitor().SetProbe(s, (occupied >> (s - 1)) & 1
                                                     ? StoredProbe(QString::number(s))
                                                     : nullptr);
                    if (w->DetailsFlag() != details)
                        w->OnCommand(CMonitorDlg::ID_SHOW_DETAILS);
                    if (w->CompactFlag() != compact)
                        w->OnCommand(CMonitorDlg::ID_COMPACT_MODE);
                    w->resize(w->width(), 555);
                    w->move(0, 0);
                    w->ApplyWindowLayout();
                    const int width =
                        details ? CMonitorDlg::kWidthDetails : CMonitorDlg::kWidthNarrow;
                    int height = CMonitorDlg::kHeightFull;
                    if (compact)
                        height = heightsCompact[occupied] < 0 ? 555 : heightsCompact[occupied];
                    SCOPED_TRACE(testing::Message()
                                 << "details " << details << " compact " << compact << " occupied "
                                 << occupied << " slot1 " << slot1);
                    EXPECT_EQ(w->frameGeometry().size(), QSize(width, height));
                    EXPECT_EQ(w->Action(CMonitorDlg::ID_SHOW_DETAILS)->isChecked(), details);
                    EXPECT_EQ(w->Action(CMonitorDlg::ID_COMPACT_MODE)->isChecked(), compact);
                }
            }
        }
    }
}

TEST_F(WindowLayoutTest, CompactHeightChangesOnlyWhenTheLayoutIsApplied) {
    auto w = MakeWindow();
    w->move(0, 0);
    w->OnCommand(CMonitorDlg::ID_COMPACT_MODE);
    EXPECT_EQ(w->frameGeometry().height(), CMonitorDlg::kHeightCompact1);
    // A database selected into slot 2 does not relayout by itself.
    w->Monitor().SetProbe(1, StoredProbe("two"));
    EXPECT_EQ(w->frameGeometry().height(), CMonitorDlg::kHeightCompact1);
    w->OnCommand(CMonitorDlg::ID_COMPACT_MODE);
    w->OnCommand(CMonitorDlg::ID_COMPACT_MODE);
    EXPECT_EQ(w->frameGeometry().height(), CMonitorDlg::kHeightCompact2);
}

TEST_F(WindowLayoutTest, WideWindowGrowsLeftAtTheDesktopsRightEdge) {
    auto w = MakeWindow();
    const QRect desktop = w->screen()->geometry();
    w->OnCommand(CMonitorDlg::ID_SHOW_DETAILS); // narrow
    ASSERT_FALSE(w->DetailsFlag());
    const int left = desktop.left() + desktop.width() - CMonitorDlg::kWidthNarrow - 10;
    w->move(left, 40);
    w->ApplyWindowLayout();
    const int right = left + CMonitorDlg::kWidthNarrow;
    w->OnCommand(CMonitorDlg::ID_SHOW_DETAILS); // wide would pass the edge
    EXPECT_EQ(w->frameGeometry().width(), CMonitorDlg::kWidthDetails);
    EXPECT_EQ(w->frameGeometry().left() + w->frameGeometry().width(), right);
    EXPECT_EQ(w->frameGeometry().top(), 40);
    // Where it fits, the left edge stays.
    w->move(desktop.left() + 5, 40);
    w->OnCommand(CMonitorDlg::ID_SHOW_DETAILS);
    w->OnCommand(CMonitorDlg::ID_SHOW_DETAILS);
    if (desktop.width() >= CMonitorDlg::kWidthDetails + 5) {
        EXPECT_EQ(w->frameGeometry().left(), desktop.left() + 5);
    }
}

// Narrow shows every slot's whole graph; wide shows every control inside the window, with room
// for the longest texts the fields take.
TEST_F(WindowLayoutTest, NarrowShowsTheGraphsWideShowsEverythingLegibly) {
    auto w = MakeWindow();
    w->move(0, 0);
    w->show();
    for (bool details : {true, false}) {
        if (w->DetailsFlag() != details)
            w->OnCommand(CMonitorDlg::ID_SHOW_DETAILS);
        WaitFor([] { return false; }, 200); // the layouts settle
        const QRect inside = w->rect();
        for (int slot = 0; slot < 4; ++slot) {
            QWidget* graph = w->Control(CMonitorDlg::IDC_GRAPH[slot]);
            const QRect g(graph->mapTo(w.get(), QPoint(0, 0)), graph->size());
            EXPECT_TRUE(inside.contains(g)) << "graph " << slot << " details " << details;
            EXPECT_GE(g.width(), 250);
            EXPECT_TRUE(graph->isVisible());
            for (const auto* table :
                 {&CMonitorDlg::IDC_SELECT, &CMonitorDlg::IDC_POLL, &CMonitorDlg::IDC_DEL,
                  &CMonitorDlg::IDC_INTERVAL, &CMonitorDlg::IDC_SPIN, &CMonitorDlg::IDC_THRESHOLD,
                  &CMonitorDlg::IDC_LAST_ACCESS, &CMonitorDlg::IDC_BEST_ACCESS,
                  &CMonitorDlg::IDC_WORST_ACCESS, &CMonitorDlg::IDC_LAST_ALERT,
                  &CMonitorDlg::IDC_LAST_RECOVERY}) {
                QWidget* c = w->Control((*table)[slot]);
                const QRect r(c->mapTo(w.get(), QPoint(0, 0)), c->size());
                if (details) {
                    EXPECT_TRUE(c->isVisible());
                    EXPECT_TRUE(inside.contains(r))
                        << (*table)[slot] << " at " << r.x() << "," << r.y() << " " << r.width()
                        << "x" << r.height() << " in " << inside.width() << "x" << inside.height();
                    EXPECT_FALSE(r.intersects(g)) << (*table)[slot];
                } else {
                    EXPECT_FALSE(c->isVisible() && inside.intersects(r)) << (*table)[slot];
                }
            }
            if (details) {
                auto* alert =
                    qobject_cast<QLabel*>(w->Control(CMonitorDlg::IDC_LAST_RECOVERY[slot]));
                EXPECT_GE(alert->contentsRect().width(),
                          alert->fontMetrics().horizontalAdvance(
                              QStringLiteral("(recovery not sent, missing email setup)")));
                auto* select = qobject_cast<QWidget*>(w->Control(CMonitorDlg::IDC_SELECT[slot]));
                EXPECT_GE(select->width(), select->sizeHint().width());
            }
        }
    }
}

class TraySummaryTest : public WindowLayoutTest {
protected:
    void SetUp() override {
        WindowLayoutTest::SetUp();
        w = MakeWindow(&shell);
        w->Monitor().SetTrayFrameMs(1);
        for (int s = 0; s < 4; ++s)
            w->Monitor().SetProbe(s, StoredProbe(QStringLiteral("db%1").arg(s)));
    }
    void SetStatuses(std::array<int, 4> statuses) {
        for (int s = 0; s < 4; ++s)
            w->Monitor().Probe(s)->SetStatus(statuses[s]);
    }
    // Runs the summary as a poll does and waits for the final icon.
    TrayRecord After(const QString& title, int expectedIcon) {
        shell->ClearCalls();
        w->Monitor().UpdateTrayStatus(title);
        WaitFor([&] {
            return shell->Shown(CTrayIcon::kTrayMenu).iconNumber == expectedIcon &&
                   !shell->Calls().empty() &&
                   shell->Calls().back().record.iconNumber == expectedIcon &&
                   shell->Calls().size() >= 5;
        });
        return shell->Shown(CTrayIcon::kTrayMenu);
    }
    CRecordingTrayShell* shell = nullptr;
    std::unique_ptr<CMonitorDlg> w;
};

TEST_F(TraySummaryTest, UnreachableOutranksSlow) {
    SetStatuses({3, 2, 3, 1});
    const TrayRecord r = After(QStringLiteral("db1"), 138);
    EXPECT_EQ(r.iconNumber, 138);
    EXPECT_EQ(r.tip, QStringLiteral("Trellion\nAt least one database in unreachable"));
    // The animation ran first, in order, with the title as the tip's second line.
    std::vector<int> icons;
    for (const auto& call : shell->Calls())
        icons.push_back(call.record.iconNumber);
    ASSERT_GE(icons.size(), 6u);
    EXPECT_EQ(std::vector<int>(icons.begin(), icons.begin() + 6),
              (std::vector<int>{131, 132, 133, 134, 128, 138}));
    EXPECT_EQ(shell->Calls()[0].record.tip, QStringLiteral("Trellion\ndb1"));
}

TEST_F(TraySummaryTest, SlowWhenNoneIsUnreachable) {
    SetStatuses({1, 1, 2, 1});
    const TrayRecord r = After(QStringLiteral("db0"), 142);
    EXPECT_EQ(r.iconNumber, 142);
    EXPECT_EQ(r.tip, QStringLiteral("Trellion\nAt least one database in slow"));
}

TEST_F(TraySummaryTest, AllReachableShowsTheTitlePolledLast) {
    SetStatuses({1, 1, 1, 1});
    const TrayRecord r = After(QStringLiteral("db3"), 128);
    EXPECT_EQ(r.iconNumber, 128);
    EXPECT_EQ(r.tip, QStringLiteral("Trellion\ndb3"));
    // An emptied slot no longer counts.
    w->Monitor().Probe(2)->SetStatus(3);
    w->Monitor().SetProbe(2, nullptr);
    EXPECT_EQ(After(QStringLiteral("db1"), 128).tip, QStringLiteral("Trellion\ndb1"));
}

} // namespace
