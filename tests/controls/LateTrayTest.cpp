// The tray icon for real under Xvfb: trayer, an XEmbed tray, starts once the icon has failed to
// show; the icon docks, a left click runs the menu's first command, the right button shows the
// menu.
#include "controls/Icons.h"
#include "controls/TrayIcon.h"
#include "tests/common/TestSupport.h"

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QProcess>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTest>

#include <gtest/gtest.h>

namespace {

constexpr int kOpen = 32772;

std::unique_ptr<QMenu> TrayMenu() {
    auto menu = std::make_unique<QMenu>();
    menu->addAction(QStringLiteral("&Open Trellion"))->setProperty("controlId", kOpen);
    menu->addSeparator();
    menu->addAction(QStringLiteral("&Terminate Trellion"))->setProperty("controlId", 32773);
    return menu;
}

// Whether Qt's window for the icon has an X parent other than the root: docked in a tray.
bool Docked(QWidget* icon) {
    QProcess info;
    info.start("xwininfo", {"-children", "-id", QString::number(icon->winId())});
    info.waitForFinished(5000);
    const QString out = QString::fromLocal8Bit(info.readAllStandardOutput());
    auto id = [&](const char* what) { return out.section(what, 1).section(u' ', 1, 1); };
    return !id("Parent window id:").isEmpty() && id("Parent window id:") != id("Root window id:");
}

bool WaitUntilPopup(QMenu* menu) {
    return TestSupport::WaitUntil(
        [&] { return QApplication::activePopupWidget() == menu && menu->isVisible(); }, 10000);
}

TEST(LateTrayTest, TheIconDocksWhenTrayerStartsLaterALeftClickOpensAndTheRightOneShowsTheMenu) {
    if (QGuiApplication::platformName() != QStringLiteral("xcb"))
        GTEST_SKIP() << "runs under Xvfb";
    ASSERT_FALSE(QSystemTrayIcon::isSystemTrayAvailable()) << "a tray host before trayer";
    QWidget window;
    const std::unique_ptr<QMenu> menu = TrayMenu();
    CTrayIcon tray(CTrayIcon::kTrayMenu);
    tray.BindWindow(&window, 1024);
    tray.SetMenu(menu.get());
    EXPECT_FALSE(tray.UpdateIconWithTip(IconId::Unreachable, QStringLiteral("Trellion\ndown")));
    tray.LookForTray(250, 60000);
    TestSupport::WaitUntil([] { return false; }, 600);
    ASSERT_FALSE(tray.IsShown());
    QProcess trayer;
    trayer.start("trayer", {"--edge", "top", "--widthtype", "pixel", "--width", "120"});
    ASSERT_TRUE(trayer.waitForStarted());
    QWidget* icon = nullptr;
    ASSERT_TRUE(TestSupport::WaitUntil(
        [&] {
            for (QWidget* w : QApplication::topLevelWidgets())
                if (qstrcmp(w->metaObject()->className(), "QSystemTrayIconSys") == 0)
                    icon = w;
            return tray.IsShown() && icon && Docked(icon);
        },
        20000));
    // Qt reports the left button on the docked icon as a Trigger: the window's Open command.
    QSignalSpy commands(&tray, &CTrayIcon::commandRequested);
    QTest::mouseClick(icon, Qt::LeftButton, {}, QPoint(8, 8));
    EXPECT_TRUE(TestSupport::WaitUntil([&] { return commands.count() > 0; }, 10000));
    EXPECT_EQ(commands.value(0).value(0).toInt(), kOpen);
    // The right button: Qt pops up the menu handed to the icon; choosing from it is the menu's.
    QTest::mouseClick(icon, Qt::RightButton, {}, QPoint(8, 8));
    EXPECT_TRUE(WaitUntilPopup(menu.get()));
    menu->close();
}

} // namespace
