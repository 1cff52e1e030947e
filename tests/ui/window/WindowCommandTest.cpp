// The menus and the commands of the main window: ids, order, check marks, and how the window
// hides, opens and ends.
#include "tests/ui/window/WindowTestSupport.h"

#include "controls/RecordingTrayShell.h"
#include "controls/TrayIcon.h"
#include "monitor/PollScheduler.h"
#include "settings/SettingsStore.h"
#include "tests/common/OdbcTestEnv.h"
#include "tests/common/TestSupport.h"
#include "ui/NoticeBox.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <thread>

using namespace WindowTest;

namespace {

class WindowCommandTest : public ::testing::Test {
protected:
    void SetUp() override {
        ClearSettings();
        SetUpEmail();
    }
};

// "text id" per item, "-" per separator.
QStringList Items(QMenu* menu) {
    QStringList out;
    for (QAction* a : menu->actions()) {
        if (a->isSeparator())
            out << QStringLiteral("-");
        else
            out << QStringLiteral("%1 %2").arg(a->text()).arg(a->property("controlId").toInt());
    }
    return out;
}

TEST_F(WindowCommandTest, MenuBarHasEveryItemWithItsIdInOrder) {
    auto w = MakeWindow();
    QStringList titles;
    QList<QStringList> items;
    for (QAction* a : w->MenuBar()->actions()) {
        titles << a->text();
        items << Items(a->menu());
    }
    EXPECT_EQ(titles, (QStringList{"Trellion", "View", "Setup", "Help"}));
    ASSERT_EQ(items.size(), 4);
    EXPECT_EQ(items[0],
              (QStringList{"Show Details 32775", "Compact Mode 32787", "-", "Start Hidden 32788",
                           "Auto Start with Windows 32789", "&Hide 32774", "&Always on Top 1116",
                           "-", "E&xit\tESC 32773"}));
    EXPECT_EQ(items[1], (QStringList{"Access log 32777", "Error log 32778"}));
    EXPECT_EQ(items[2], (QStringList{"Email settings 32771", "Test Email Settings 32790",
                                     "Desktop Notifications 0", "-", "Log settings 32776", "-",
                                     "Reset Database 1 32781", "Reset Database 2 32784",
                                     "Reset Database 3 32785", "Reset Database 4 32786"}));
    EXPECT_EQ(items[3], (QStringList{"Contents 57670", "-", "On the web... 32779", "-",
                                     "Tell a friend... 32783", "-", "&About 57664"}));
    // Lookup by id reaches the same actions.
    EXPECT_EQ(w->Action(CMonitorDlg::ID_EXIT)->text(), QStringLiteral("E&xit\tESC"));
}

TEST_F(WindowCommandTest, EverySlotControlCarriesItsId) {
    auto w = MakeWindow();
    const std::array<const std::array<int, 4>*, 13> tables = {
        &CMonitorDlg::IDC_GROUP,        &CMonitorDlg::IDC_SELECT,
        &CMonitorDlg::IDC_POLL,         &CMonitorDlg::IDC_DEL,
        &CMonitorDlg::IDC_INTERVAL,     &CMonitorDlg::IDC_SPIN,
        &CMonitorDlg::IDC_THRESHOLD,    &CMonitorDlg::IDC_GRAPH,
        &CMonitorDlg::IDC_LAST_ACCESS,  &CMonitorDlg::IDC_BEST_ACCESS,
        &CMonitorDlg::IDC_WORST_ACCESS, &CMonitorDlg::IDC_LAST_ALERT,
        &CMonitorDlg::IDC_LAST_RECOVERY};
    QSet<int> seen;
    for (const auto* table : tables) {
        for (int slot = 0; slot < 4; ++slot) {
            const int id = (*table)[slot];
            QWidget* control = w->Control(id);
            ASSERT_NE(control, nullptr) << id;
            EXPECT_EQ(control->property("controlId").toInt(), id);
            // Each control sits in its own slot's group box.
            EXPECT_TRUE(w->Control(CMonitorDlg::IDC_GROUP[slot])->isAncestorOf(control) ||
                        control == w->Control(CMonitorDlg::IDC_GROUP[slot]))
                << id;
            EXPECT_FALSE(seen.contains(id)) << id;
            seen.insert(id);
        }
    }
    EXPECT_EQ(seen.size(), 52);
}

TEST_F(WindowCommandTest, TogglesWriteTheirKeyAndFollowWithTheCheckMark) {
    auto w = MakeWindow();
    ASSERT_TRUE(w->OnInitDialog());
    struct Toggle {
        int id;
        const char* key;
    };
    for (const Toggle& t :
         {Toggle{CMonitorDlg::ID_START_HIDDEN, "Hid"}, Toggle{CMonitorDlg::ID_ALWAYS_ON_TOP, "AOT"},
          Toggle{CMonitorDlg::ID_COMPACT_MODE, "CompactMode"},
          Toggle{CMonitorDlg::ID_SHOW_DETAILS, "ViewDetails"},
          Toggle{CMonitorDlg::ID_AUTO_START, "Auto"}}) {
        QAction* action = w->Action(t.id);
        const bool before = action->isChecked();
        // Through the menu item, as a click does: Qt flips the check first, the handler decides.
        action->trigger();
        EXPECT_EQ(action->isChecked(), !before) << t.key;
        EXPECT_EQ(ReadInt(QLatin1String(t.key), -1), before ? 0 : 1) << t.key;
        w->OnCommand(t.id);
        EXPECT_EQ(action->isChecked(), before) << t.key;
        EXPECT_EQ(ReadInt(QLatin1String(t.key), -1), before ? 1 : 0) << t.key;
    }
    w->OnCommand(CMonitorDlg::ID_ALWAYS_ON_TOP);
    EXPECT_TRUE(w->windowFlags() & Qt::WindowStaysOnTopHint);
    w->OnCommand(CMonitorDlg::ID_ALWAYS_ON_TOP);
    EXPECT_FALSE(w->windowFlags() & Qt::WindowStaysOnTopHint);
}

TEST_F(WindowCommandTest, CloseAndHideOnlyHideOpenRestoresExitEnds) {
    WriteInt(QStringLiteral("NumOpen"), 2);
    auto w = MakeWindow();
    w->move(150, 90);
    bool hiddenByClose = false, hiddenByHide = false, shownByOpen = false, shownByTray = false;
    bool endedEarly = false;
    QTimer::singleShot(300, w.get(), [&] {
        w->close();
        hiddenByClose = !w->isVisible();
        endedEarly = w->HasEnded();
        w->OnCommand(CMonitorDlg::ID_OPEN);
        shownByOpen = w->isVisible();
        w->OnCommand(CMonitorDlg::ID_HIDE);
        hiddenByHide = !w->isVisible();
        // A double click on the tray icon runs the tray menu's first item, "&Open Trellion".
        auto& shell = static_cast<CRecordingTrayShell&>(w->Tray().Shell());
        shell.SendEvent(CTrayIcon::kTrayMenu, TrayEvent::LeftDoubleClick);
        shownByTray = w->isVisible();
        endedEarly = endedEarly || w->HasEnded();
        w->Action(CMonitorDlg::ID_EXIT)->trigger();
    });
    w->RunModal();
    EXPECT_TRUE(hiddenByClose);
    EXPECT_TRUE(shownByOpen);
    EXPECT_TRUE(hiddenByHide);
    EXPECT_TRUE(shownByTray);
    EXPECT_FALSE(endedEarly);
    EXPECT_TRUE(w->HasEnded());
    // The destruction steps ran.
    EXPECT_EQ(ReadInt(QStringLiteral("NumOpen"), -1), 1);
    EXPECT_EQ(ReadInt(QStringLiteral("LocX"), -1), 150);
    EXPECT_EQ(ReadInt(QStringLiteral("LocY"), -1), 90);
    EXPECT_EQ(SettingsStore::ReadString(QStringLiteral("Location"), QStringLiteral("0"),
                                        QStringLiteral("<missing>")),
              QString());
}

TEST_F(WindowCommandTest, TerminateFromTheTrayEndsTheProgram) {
    auto w = MakeWindow();
    QTimer::singleShot(200, w.get(),
                       [&] { emit w->Tray().commandRequested(CTrayIcon::kCommandTerminate); });
    w->RunModal();
    EXPECT_TRUE(w->HasEnded());
    EXPECT_EQ(ReadInt(QStringLiteral("NumOpen"), -1), 0) << "default 1, lowered by one";
}

TEST_F(WindowCommandTest, EscapeEndsAtOnceEvenHiddenFromExitFlag) {
    WriteInt(QStringLiteral("NumOpen"), 3);
    auto w = MakeWindow();
    QTimer::singleShot(200, w.get(), [&] { QTest::keyClick(w.get(), Qt::Key_Escape); });
    w->RunModal();
    EXPECT_TRUE(w->HasEnded());
    EXPECT_EQ(ReadInt(QStringLiteral("NumOpen"), -1), 2);
}

TEST_F(WindowCommandTest, EnterPollsDatabaseOneWithin100Ms) {
    auto w = MakeWindow();
    ASSERT_TRUE(w->OnInitDialog());
    w->show();
    // Let every start-up tick pass: each free slot re-arms for its whole interval.
    ASSERT_TRUE(WaitFor([&] {
        for (int i = 0; i < 4; ++i)
            if (w->Scheduler().RemainingMs(i) <= 60000)
                return false;
        return true;
    }));
    // Focus on another slot's button: Enter still means the window's OK action.
    w->Control(CMonitorDlg::IDC_SELECT[2])->setFocus();
    QTest::keyClick(w->Control(CMonitorDlg::IDC_SELECT[2]), Qt::Key_Return);
    EXPECT_TRUE(w->Scheduler().IsArmed(0));
    EXPECT_LE(w->Scheduler().RemainingMs(0), 100);
    EXPECT_GT(w->Scheduler().RemainingMs(1), 60000);
    EXPECT_FALSE(w->HasEnded());
}

TEST_F(WindowCommandTest, SpinArrowsGoThroughTheScheduler) {
    auto w = MakeWindow();
    ASSERT_TRUE(w->OnInitDialog());
    auto* spin = w->Control(CMonitorDlg::IDC_SPIN[1]);
    auto* up = spin->findChildren<QAbstractButton*>().value(0);
    ASSERT_NE(up, nullptr);
    up->click();
    EXPECT_EQ(w->IntervalText(1), QStringLiteral("16"));
    EXPECT_EQ(ReadInt(QStringLiteral("Interval1"), -1), 16);
    w->SetIntervalText(1, QString());
    spin->findChildren<QAbstractButton*>().value(1)->click();
    EXPECT_EQ(w->IntervalText(1), QStringLiteral("4")) << "an empty box counts as 5";
}

TEST_F(WindowCommandTest, WithoutATrayHidingMinimisesInstead) {
    auto w = MakeWindow();
    w->SetTrayAvailableForTest(0);
    w->show();
    w->close();
    EXPECT_TRUE(w->isVisible());
    EXPECT_TRUE(w->isMinimized());
    w->OnCommand(CMonitorDlg::ID_OPEN);
    EXPECT_FALSE(w->isMinimized());
}

TEST_F(WindowCommandTest, StartHiddenWithoutATrayKeepsTheWindowReachable) {
    WriteInt(QStringLiteral("Hid"), 1);
    auto w = MakeWindow();
    w->SetTrayAvailableForTest(0);
    ASSERT_TRUE(w->OnInitDialog());
    w->show();
    ASSERT_TRUE(WaitFor([&] { return w->isMinimized(); }));
    EXPECT_TRUE(w->isVisible());
    EXPECT_FALSE(w->HasEnded());
}

TEST_F(WindowCommandTest, NoticesFromAnyThreadBecomeTrellionBoxesWithoutBlocking) {
    auto w = MakeWindow();
    w->show();
    std::thread poller([&] {
        w->Notice()->ShowNotice(QStringLiteral("first"));
        w->Notice()->ShowNotice(QStringLiteral("second"));
    });
    poller.join(); // returns although nobody has pressed OK
    QList<QMessageBox*> boxes;
    ASSERT_TRUE(WaitFor([&] {
        boxes = w->findChildren<QMessageBox*>(QLatin1String(CNoticeBox::kObjectName));
        return boxes.size() == 2 && boxes[0]->isVisible() && boxes[1]->isVisible();
    }));
    QStringList texts;
    for (QMessageBox* box : boxes) {
        EXPECT_EQ(box->windowTitle(), QStringLiteral("Trellion"));
        EXPECT_FALSE(box->isModal());
        texts << box->text();
    }
    texts.sort();
    EXPECT_EQ(texts, (QStringList{"first", "second"}));

    // The same failure at every poll of a long outage: one box while it waits for OK.
    for (int i = 0; i < 20; ++i)
        std::thread([&] { w->Notice()->ShowNotice(QStringLiteral("first")); }).join();
    for (int i = 0; i < 10; ++i)
        QCoreApplication::processEvents();
    boxes = w->findChildren<QMessageBox*>(QLatin1String(CNoticeBox::kObjectName));
    EXPECT_EQ(boxes.size(), 2);

    // Once answered, the next occurrence is shown again.
    for (QMessageBox* box : boxes)
        if (box->text() == QStringLiteral("first"))
            box->close();
    w->Notice()->ShowNotice(QStringLiteral("first"));
    ASSERT_TRUE(WaitFor([&] {
        int open = 0;
        for (QMessageBox* box :
             w->findChildren<QMessageBox*>(QLatin1String(CNoticeBox::kObjectName)))
            open += box->isVisible() && box->text() == QStringLiteral("first");
        return open == 1;
    }));
}

TEST_F(WindowCommandTest, EndingClosesAModalDialogFirst) {
    auto w = MakeWindow();
    bool aboutSeen = false;
    QString aboutText;
    QTimer::singleShot(200, w.get(), [&] { w->OnCommand(CMonitorDlg::ID_ABOUT); });
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box && !aboutSeen) {
            aboutSeen = true;
            aboutText = box->text() + u'\n' + box->informativeText();
            // As SIGTERM does while the About box is open.
            w->EndProgram();
        }
    });
    poll.start(20);
    w->RunModal();
    EXPECT_TRUE(aboutSeen);
    EXPECT_TRUE(aboutText.contains(QStringLiteral("Trellion")));
    EXPECT_TRUE(aboutText.contains(QLatin1String(TRELLION_VERSION)));
    EXPECT_TRUE(aboutText.contains(QStringLiteral("databases")));
    EXPECT_TRUE(w->HasEnded());
}

} // namespace
