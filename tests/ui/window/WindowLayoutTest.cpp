// Where a new window opens, the details and compact layouts, the tray after a Del.
#include "tests/ui/window/WindowTestSupport.h"

#include "controls/RecordingTrayShell.h"
#include "controls/TrayIcon.h"
#include "monitor/PollScheduler.h"
#include "monitor/SlotMonitor.h"
#include "probe/DatabaseProbe.h"

#include <QScreen>

#include <gtest/gtest.h>

using namespace WindowTest;

namespace {

std::shared_ptr<CDatabaseProbe> StoredProbe(const QString& title) {
    return std::shared_ptr<CDatabaseProbe>(CDatabaseProbe::FromStored(
        QStringLiteral("DRIVER={SQLite3};Database=/nonexistent/%1.db;NoCreat=1").arg(title),
        title));
}

// The group box of a slot in window coordinates.
QRect Box(CMonitorDlg& w, int slot) {
    QWidget* c = w.Control(CMonitorDlg::IDC_GROUP[slot]);
    return QRect(c->mapTo(&w, QPoint(0, 0)), c->size());
}

TEST(WindowLayoutTest, ANewWindowIsCentredCompactCutsUnderTheLastSlotInUseDetailsSetTheWidth) {
    ClearSettings();
    WriteInt("ViewDetails", 0); // narrow and compact: small enough to centre on any screen
    WriteInt("CompactMode", 1);
    WriteInt("LocX", 2000); // out of range: not restored
    auto w = MakeWindow();
    ASSERT_TRUE(w->OnInitDialog());
    const QPoint off = w->frameGeometry().center() - w->screen()->availableGeometry().center();
    EXPECT_LE(off.manhattanLength(), 2) << "where the desktop would put it, not in its corner";
    w->show();
    for (bool details : {true, false})
        for (bool compact : {false, true})
            for (int occupied = 0; occupied < 8; ++occupied) { // bits: slots 2 to 4
                for (int s = 1; s < 4; ++s)
                    w->Monitor().SetProbe(s,
                                          (occupied >> (s - 1)) & 1 ? StoredProbe("x") : nullptr);
                if (w->DetailsFlag() != details)
                    w->OnCommand(CMonitorDlg::ID_SHOW_DETAILS);
                if (w->CompactFlag() != compact)
                    w->OnCommand(CMonitorDlg::ID_COMPACT_MODE);
                w->resize(w->width(), 555);
                w->ApplyWindowLayout();
                SCOPED_TRACE(testing::Message() << details << compact << occupied);
                EXPECT_EQ(w->frameGeometry().width(),
                          details ? CMonitorDlg::kWidthDetails : CMonitorDlg::kWidthNarrow);
                const int shown = compact ? std::array{1, 2, 3, 3, 0, 0, 0, 0}[occupied] : 4;
                // The fourth slot in use keeps the height; otherwise the last slot in use shows
                // whole and nothing of the next one.
                EXPECT_TRUE(shown == 0   ? w->height() == 555
                            : shown == 4 ? w->frameGeometry().height() == CMonitorDlg::kHeightFull
                                         : Box(*w, shown - 1).bottom() < w->height() &&
                                               Box(*w, shown).top() >= w->height());
            }
}

TEST(WindowLayoutTest, DelOfTheOnlyUnreachableDatabaseTakesTheRedMarkOffTheTray) {
    ClearSettings();
    CRecordingTrayShell* shell = nullptr;
    auto w = MakeWindow(&shell);
    w->Monitor().SetTrayFrameMs(1);
    w->Monitor().SetProbe(1, StoredProbe(QStringLiteral("db1")));
    w->Monitor().Probe(1)->SetStatus(3);
    w->Monitor().UpdateTrayStatus(QStringLiteral("db1"));
    ASSERT_TRUE(WaitFor([&] { return shell->Shown(CTrayIcon::kTrayMenu).iconNumber == 138; }));
    w->SetSlotCaptions(1, QStringLiteral("db1"), QStringLiteral("db1"));
    EXPECT_TRUE(w->Control(CMonitorDlg::IDC_DEL[1])->isEnabled());
    // No poll follows the Del, yet the red mark goes at once.
    ASSERT_TRUE(w->Scheduler().RemoveDatabase(1));
    ASSERT_TRUE(WaitFor([&] { return shell->Shown(CTrayIcon::kTrayMenu).iconNumber == 128; }));
    EXPECT_EQ(shell->Shown(CTrayIcon::kTrayMenu).tip, QStringLiteral("Trellion"));
    EXPECT_FALSE(w->Control(CMonitorDlg::IDC_POLL[1])->isEnabled());
    EXPECT_FALSE(w->Control(CMonitorDlg::IDC_DEL[1])->isEnabled());
}

} // namespace
