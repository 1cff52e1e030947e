// The tray icon on a recording shell: what it hands the shell, how it comes back after a failure
// or a late host, and what the mouse events do.
#include "controls/TrayIcon.h"

#include "controls/Icons.h"
#include "controls/RecordingTrayShell.h"
#include "tests/controls/PixelSupport.h"

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QSignalSpy>

#include <gtest/gtest.h>

namespace {

constexpr unsigned kId = 110;

struct TrayIconTest : ::testing::Test {
    QString Shown() const { // icon number and tip as the host shows them
        const TrayRecord r = shell->Shown(kId);
        return shell->IsShown(kId) ? QString::number(r.iconNumber) + ":" + r.tip : "none";
    }
    QWidget window;
    std::shared_ptr<CRecordingTrayShell> shell = std::make_shared<CRecordingTrayShell>();
    std::unique_ptr<CTrayIcon> tray = std::make_unique<CTrayIcon>(kId, shell);
};

TEST_F(TrayIconTest, UpdatesCutTheTipAndAFailedOrLateHostGetsTheLastIconAgain) {
    EXPECT_TRUE(tray->UpdateIconFromResource(0) && shell->Calls().empty()) << "nothing to remove";
    tray->BindWindow(&window, 1024);
    const QString seventy = "Trellion\n" + QString(61, u'x');
    EXPECT_TRUE(tray->UpdateIconWithTip(IconId::Frame2, seventy));
    EXPECT_EQ(Shown(), "132:" + seventy.left(63));
    tray->UpdateIconWithTip(IconId::Frame4, QString());
    EXPECT_EQ(shell->Calls().back().record.flags, TrayFlag::Message | TrayFlag::Icon);
    tray->UpdateIconFromResource(IconId::Program); // string 128 becomes the tip
    EXPECT_EQ(Shown(), "128:Trellion");

    // The host went away (and a restarted one forgets its icons): nothing shows until one comes,
    // then the last icon and tip asked for.
    shell->SetHostPresent(false);
    EXPECT_FALSE(tray->UpdateIconWithTip(IconId::Slow, QStringLiteral("Trellion\nslow")));
    EXPECT_FALSE(tray->IsShown());
    tray->LookForTray(20, 10000);
    PixelSupport::WaitFor([] { return false; }, 100);
    shell->SetHostPresent(true);
    ASSERT_TRUE(PixelSupport::WaitFor([&] { return tray->IsShown(); }));
    EXPECT_EQ(Shown(), "142:Trellion\nslow");
    tray.reset();
    EXPECT_EQ(Shown(), "none") << "destruction removes the icon";
}

TEST_F(TrayIconTest, LeftClicksOpenTheWindowTheRightButtonTheMenuOthersNothing) {
    QSignalSpy commands(tray.get(), &CTrayIcon::commandRequested);
    // A single left click is all a StatusNotifierItem host reports.
    const std::tuple<unsigned, unsigned, bool> cases[] = {
        {TrayEvent::LeftButtonUp, kId, true},         {TrayEvent::LeftDoubleClick, kId, true},
        {TrayEvent::LeftDoubleClick, kId + 1, false}, {TrayEvent::MouseMove, kId, false},
        {TrayEvent::LeftButtonDown, kId, false},      {TrayEvent::RightButtonDown, kId, false},
        {TrayEvent::MiddleButtonUp, kId, false}};
    for (const auto& [event, id, opens] : cases) {
        commands.clear();
        EXPECT_EQ(tray->HandleTrayEvent(id, event) && commands.count() == 1 &&
                      commands.at(0).at(0).toInt() == CTrayIcon::kCommandOpen,
                  opens)
            << std::hex << event << " " << id;
    }
    ASSERT_TRUE(tray->HandleTrayEvent(kId, TrayEvent::RightButtonUp));
    auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    ASSERT_NE(menu, nullptr);
    EXPECT_EQ(menu->defaultAction(), menu->actions().first());
    commands.clear();
    menu->actions().last()->trigger(); // "&Terminate Trellion"
    EXPECT_EQ(commands.value(0).value(0).toInt(), CTrayIcon::kCommandTerminate);
    menu->close();
}

} // namespace
