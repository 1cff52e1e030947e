// The main window on a real X server (Xvfb, 1280x800) at twice the normal scale, where the
// screen has room for 640x400 of it: the window stays on the screen and its slots scroll, so that
// "Database 4" is reached with the keyboard and the mouse. Pictures of the window go to the build
// folder to be looked at.
#include "monitor/PollScheduler.h"
#include "settings/SettingsStore.h"
#include "tests/common/OdbcTestEnv.h"
#include "tests/common/TestSupport.h"
#include "tests/common/tray/RecordingTrayShell.h"
#include "tests/common/tray/TestProgram.h"
#include "ui/MonitorDlg.h"

#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QTest>

#include <gtest/gtest.h>

namespace {

const QString kSection = QString::fromLatin1(SettingsStore::kSettings);

// The part of the widget the user sees: inside the scroll area's viewport and the window.
QRect VisiblePart(QWidget* widget, QScrollArea* scroll) {
    QWidget* viewport = scroll->viewport();
    const QRect inViewport(widget->mapTo(viewport, QPoint(0, 0)), widget->size());
    return inViewport.intersected(viewport->rect());
}

bool WhollyVisible(QWidget* widget, QScrollArea* scroll) {
    return VisiblePart(widget, scroll).size() == widget->size();
}

void SavePicture(QWidget* window, const char* name) {
    const QString path = QStringLiteral(TRELLION_BINARY_DIR "/") + QLatin1String(name);
    EXPECT_TRUE(window->grab().save(path)) << path.toStdString();
}

TEST(ScaledWindowTest, AtScaleTwoOnASmallScreenTheWindowFitsAndDatabase4IsReachedByScrolling) {
    if (QGuiApplication::platformName() != QStringLiteral("xcb"))
        GTEST_SKIP() << "runs under Xvfb at QT_SCALE_FACTOR=2";
    OdbcTestEnv::Install();
    QFile::remove(SettingsStore::FilePath());
    const QString dir = TestSupport::MakeTempDir(QStringLiteral("scaled"));
    const QString db = OdbcTestEnv::CreateSqliteDatabase(dir + QStringLiteral("/stock.db"));
    ASSERT_FALSE(db.isEmpty());
    // Four databases, so that Compact Mode could not have shortened the window either.
    SettingsStore::WriteString(kSection, QStringLiteral("SMTP"), QStringLiteral("127.0.0.1:1"));
    for (int i = 0; i < 4; ++i) {
        SettingsStore::WriteString(kSection, QStringLiteral("lastDatabase%1").arg(i),
                                   OdbcTestEnv::SqliteConnectionString(db));
        SettingsStore::WriteString(kSection, QStringLiteral("lastDatabaseTitle%1").arg(i),
                                   QStringLiteral("stock %1").arg(i + 1));
    }
    SettingsStore::WriteString(kSection, QStringLiteral("CompactMode"), QStringLiteral("1"));

    TestProgram program;
    CMonitorDlg& w = *program;
    ASSERT_TRUE(w.OnInitDialog());
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    QScreen* screen = w.screen();
    ASSERT_EQ(screen->devicePixelRatio(), 2.0);
    ASSERT_EQ(screen->geometry().size(), QSize(640, 400));
    const QRect desktop = screen->availableGeometry();
    auto* scroll = w.findChild<QScrollArea*>(QStringLiteral("slotScroll"));
    ASSERT_TRUE(scroll);

    // Every slot is polled once, so that the picture shows the fields filled in.
    ASSERT_TRUE(TestSupport::WaitUntil(
        [&] {
            for (int i = 0; i < 4; ++i) {
                auto* last = qobject_cast<QLabel*>(w.Control(CMonitorDlg::IDC_LAST_ACCESS[i]));
                if (last->text().isEmpty() || w.Scheduler().IsPolling(i))
                    return false;
            }
            return true;
        },
        60000));
    // Whatever the layout commands ask for, the window stays on the screen.
    for (const int command : {0, CMonitorDlg::ID_COMPACT_MODE, CMonitorDlg::ID_SHOW_DETAILS,
                              CMonitorDlg::ID_SHOW_DETAILS}) {
        if (command)
            w.OnCommand(command);
        SCOPED_TRACE(testing::Message() << "command " << command);
        ASSERT_TRUE(
            TestSupport::WaitUntil([&] { return desktop.contains(w.frameGeometry()); }, 5000))
            << w.frameGeometry().width() << "x" << w.frameGeometry().height();
    }
    ASSERT_TRUE(w.DetailsFlag() && !w.CompactFlag());
    SavePicture(&w, "scaled-window-top.png");

    // Database 4 lies beyond the screen's edge at first.
    QWidget* group4 = w.Control(CMonitorDlg::IDC_GROUP[3]);
    auto* select4 = qobject_cast<QPushButton*>(w.Control(CMonitorDlg::IDC_SELECT[3]));
    auto* interval4 = qobject_cast<QLineEdit*>(w.Control(CMonitorDlg::IDC_INTERVAL[3]));
    auto* poll4 = qobject_cast<QPushButton*>(w.Control(CMonitorDlg::IDC_POLL[3]));
    EXPECT_TRUE(VisiblePart(group4, scroll).isEmpty());
    EXPECT_GT(scroll->verticalScrollBar()->maximum(), 0);
    EXPECT_GT(scroll->horizontalScrollBar()->maximum(), 0) << "the details are wider, too";

    // With the keyboard: Tab from the third slot's threshold walks into the fourth slot, which
    // scrolls into view.
    w.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
    w.Control(CMonitorDlg::IDC_THRESHOLD[2])->setFocus(Qt::TabFocusReason);
    for (int i = 0; i < 12 && !group4->isAncestorOf(QApplication::focusWidget()); ++i)
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QWidget* focused = QApplication::focusWidget();
    ASSERT_TRUE(group4->isAncestorOf(focused));
    EXPECT_TRUE(WhollyVisible(focused, scroll)) << focused->metaObject()->className();
    scroll->ensureWidgetVisible(interval4);
    interval4->setFocus(Qt::TabFocusReason);
    QTest::keyClick(interval4, Qt::Key_Up);
    EXPECT_EQ(interval4->text(), QStringLiteral("16"));

    // With the mouse: the scroll bar down to the end; Select and Poll of database 4 are there
    // and take clicks.
    scroll->verticalScrollBar()->setValue(scroll->verticalScrollBar()->maximum());
    scroll->horizontalScrollBar()->setValue(scroll->horizontalScrollBar()->maximum());
    EXPECT_TRUE(WhollyVisible(select4, scroll));
    EXPECT_TRUE(WhollyVisible(poll4, scroll));
    const QPoint pollCentre = poll4->mapTo(&w, poll4->rect().center());
    EXPECT_EQ(w.childAt(pollCentre), poll4);
    int polls = 0;
    QObject::connect(&w.Scheduler(), &PollScheduler::PollStarted, &w,
                     [&](int slot) { polls += slot == 3; });
    QTest::mouseClick(poll4, Qt::LeftButton);
    EXPECT_TRUE(TestSupport::WaitUntil([&] { return polls == 1; }, 10000));
    SavePicture(&w, "scaled-window-database4.png");
}

} // namespace
