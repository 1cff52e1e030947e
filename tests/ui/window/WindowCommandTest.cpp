// The window's commands: how it hides, opens and ends, with a tray that comes late; the number
// boxes; notices from poll threads.
#include "tests/ui/window/WindowTestSupport.h"

#include "controls/RecordingTrayShell.h"
#include "controls/TrayIcon.h"
#include "monitor/PollScheduler.h"
#include "ui/NoticeBox.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QLineEdit>
#include <QMessageBox>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <thread>

using namespace WindowTest;

namespace {

struct WindowCommandTest : ::testing::Test {
    void SetUp() override { ClearSettings(), SetUpEmail(); }
};

TEST_F(WindowCommandTest, ALateTrayCloseEscapeAndHideOnlyHideTrayClicksOpenExitEnds) {
    WriteInt(QStringLiteral("NumOpen"), 2);
    WriteInt(QStringLiteral("Hid"), 1);
    auto* shell = new CRecordingTrayShell;
    shell->SetHostPresent(false);
    CMonitorDlg w{std::unique_ptr<ITrayShell>(shell)};
    QStringList seen;
    QTimer::singleShot(200, &w, [&] {
        auto step = [&](const char* what, auto&& act) {
            act();
            seen << QStringLiteral("%1 %2").arg(what, !w.isVisible()    ? "hidden"
                                                      : w.isMinimized() ? "minimised"
                                                                        : "shown");
        };
        // With no tray, hiding would lose the window: Start Hidden and close minimise it.
        step("start hidden", [&] { WaitFor([&] { return w.isMinimized(); }); });
        step("open", [&] { w.OnCommand(CMonitorDlg::ID_OPEN); });
        step("close", [&] { w.close(); });
        step("tray comes", [&] {
            shell->SetHostPresent(true);
            WaitFor([&] { return shell->IsShown(CTrayIcon::kTrayMenu); },
                    CMonitorDlg::kTrayLookEveryMs + 5000);
            w.OnCommand(CMonitorDlg::ID_OPEN);
        });
        step("close", [&] { w.close(); });
        step("click", [&] { shell->SendEvent(CTrayIcon::kTrayMenu, TrayEvent::LeftButtonUp); });
        step("escape", [&] { QTest::keyClick(&w, Qt::Key_Escape); });
        step("double click",
             [&] { shell->SendEvent(CTrayIcon::kTrayMenu, TrayEvent::LeftDoubleClick); });
        step("hide", [&] { w.OnCommand(CMonitorDlg::ID_HIDE); });
        seen << (w.HasEnded() ? "ended" : "running");
        w.move(150, 90);
        w.Action(CMonitorDlg::ID_EXIT)->trigger();
    });
    w.RunModal();
    EXPECT_EQ(seen.join(u'|').toStdString(),
              "start hidden minimised|open shown|close minimised|tray comes shown|close hidden|"
              "click shown|escape hidden|double click shown|hide hidden|running");
    EXPECT_TRUE(w.HasEnded());
    EXPECT_EQ(ReadInt(QStringLiteral("NumOpen"), -1), 1);
    EXPECT_EQ(ReadInt(QStringLiteral("LocX"), -1), 150);
}

TEST_F(WindowCommandTest, NumberBoxesTakeDigitsOnlyTypedOrPasted) {
    auto w = MakeWindow();
    ASSERT_TRUE(w->OnInitDialog());
    auto* warn = qobject_cast<QLineEdit*>(w->Control(CMonitorDlg::IDC_THRESHOLD[1]));
    auto* interval = qobject_cast<QLineEdit*>(w->Control(CMonitorDlg::IDC_INTERVAL[1]));
    // "typed|pasted|what the box shows"
    const std::pair<QLineEdit*, QStringList> cases[] = {
        {warn, {"25x0||250", "1234567||123456", "0||0", "-5 ||5", "|4x5|", "9|1,000|9"}},
        {interval, {"0||", "35792||3579", "35791||35791", "7|O|7"}}};
    for (const auto& [box, list] : cases)
        for (const QString& c : list) {
            box->clear();
            QTest::keyClicks(box, c.section(u'|', 0, 0));
            QApplication::clipboard()->setText(c.section(u'|', 1, 1));
            box->paste();
            EXPECT_EQ(box->text(), c.section(u'|', 2, 2)) << c.toStdString();
        }
}

TEST_F(WindowCommandTest, NoticesFromPollThreadsNeitherBlockNorStack) {
    auto w = MakeWindow();
    w->show();
    auto open = [&](const char* text) {
        int n = 0;
        for (auto* box : w->findChildren<QMessageBox*>(QLatin1String(CNoticeBox::kObjectName)))
            n += box->isVisible() && box->text() == QLatin1String(text);
        return n;
    };
    // The same failure at every poll of a long outage: one box while it waits for OK.
    for (int i = 0; i < 20; ++i)
        std::thread([&] {
            w->Notice()->ShowNotice(QLatin1String(i % 2 ? "first" : "second"));
        }).join();
    EXPECT_TRUE(WaitFor([&] { return open("first") == 1 && open("second") == 1; }));
}

} // namespace
