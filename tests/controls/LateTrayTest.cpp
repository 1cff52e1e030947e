// A tray host that starts after the program, for real: Xvfb, and trayer started once the icon
// has failed to show. The icon appears by itself, docked in trayer, and a left click opens.
#include "controls/Icons.h"
#include "controls/TrayIcon.h"
#include "tests/controls/PixelSupport.h"

#include <QApplication>
#include <QProcess>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTest>

#include <gtest/gtest.h>

namespace {

// Whether Qt's window for the icon has an X parent other than the root: docked in a tray.
bool Docked(QWidget* icon) {
    QProcess info;
    info.start("xwininfo", {"-children", "-id", QString::number(icon->winId())});
    info.waitForFinished(5000);
    const QString out = QString::fromLocal8Bit(info.readAllStandardOutput());
    auto id = [&](const char* what) { return out.section(what, 1).section(u' ', 1, 1); };
    return !id("Parent window id:").isEmpty() && id("Parent window id:") != id("Root window id:");
}

TEST(LateTrayTest, TheIconDocksWhenTrayerStartsLaterAndALeftClickOpens) {
    if (QGuiApplication::platformName() != QStringLiteral("xcb"))
        GTEST_SKIP() << "runs under Xvfb";
    ASSERT_FALSE(QSystemTrayIcon::isSystemTrayAvailable()) << "a tray host before trayer";
    QWidget window;
    CTrayIcon tray(CTrayIcon::kTrayMenu);
    tray.BindWindow(&window, 1024);
    EXPECT_FALSE(tray.UpdateIconWithTip(IconId::Unreachable, QStringLiteral("Trellion\ndown")));
    tray.LookForTray(250, 60000);
    PixelSupport::WaitFor([] { return false; }, 600);
    ASSERT_FALSE(tray.IsShown());
    QProcess trayer;
    trayer.start("trayer", {"--edge", "top", "--widthtype", "pixel", "--width", "120"});
    ASSERT_TRUE(trayer.waitForStarted());
    QWidget* icon = nullptr;
    ASSERT_TRUE(PixelSupport::WaitFor(
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
    EXPECT_TRUE(PixelSupport::WaitFor([&] { return commands.count() > 0; }));
    EXPECT_EQ(commands.value(0).value(0).toInt(), CTrayIcon::kCommandOpen);
}

} // namespace
