#include "controls/TrayIcon.h"

#include "controls/Icons.h"
#include "controls/RecordingTrayShell.h"
#include "tests/controls/PixelSupport.h"

#include <QAction>
#include <QApplication>
#include <QCursor>
#include <QMenu>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QWidget>

#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

namespace {

using Action = CRecordingTrayShell::Action;
constexpr unsigned kId = 110;
constexpr unsigned kCallback = 1024;

class TrayIconTest : public ::testing::Test {
protected:
    void SetUp() override {
        shell = std::make_shared<CRecordingTrayShell>();
        tray = std::make_unique<CTrayIcon>(kId, shell);
    }
    void TearDown() override {
        tray.reset();
        if (QWidget* popup = QApplication::activePopupWidget())
            popup->close();
    }

    // The main window's start: bound to its window, shown with icon 128 and "Trellion".
    void ShowLikeTheMainWindow() {
        tray->BindWindow(&window, kCallback);
        ASSERT_TRUE(tray->UpdateIconWithTip(IconId::Program, QStringLiteral("Trellion")));
        shell->ClearCalls();
    }

    Action LastAction() const { return shell->Calls().back().action; }

    QWidget window;
    std::shared_ptr<CRecordingTrayShell> shell;
    std::unique_ptr<CTrayIcon> tray;
};

TEST_F(TrayIconTest, ConstructionFillsTheRecordAndShowsNothing) {
    const TrayRecord record = tray->Record();
    EXPECT_EQ(record.size, 88);
    EXPECT_EQ(record.id, kId);
    EXPECT_EQ(record.window, nullptr);
    EXPECT_EQ(record.callbackMessage, 0u);
    EXPECT_TRUE(record.icon.isNull());
    EXPECT_EQ(record.tip, QString()); // there is no string 110
    EXPECT_TRUE(shell->Calls().empty());
    // An identifier with a string takes it as its first tip.
    CTrayIcon named(128, std::make_shared<CRecordingTrayShell>());
    EXPECT_EQ(named.Record().tip, QStringLiteral("Trellion"));
}

TEST_F(TrayIconTest, RemovingWhenNoneIsShownSucceedsWithoutCallingTheShell) {
    EXPECT_TRUE(tray->UpdateIconFromResource(0));
    EXPECT_TRUE(tray->UpdateIcon(QIcon(), QStringLiteral("ignored")));
    EXPECT_TRUE(shell->Calls().empty());
}

TEST_F(TrayIconTest, FirstUpdateAddsLaterOnesModifyAndRemovalDeletes) {
    tray->BindWindow(&window, kCallback);
    ASSERT_TRUE(tray->UpdateIconWithTip(IconId::Program, QStringLiteral("Trellion")));
    ASSERT_TRUE(tray->UpdateIconWithTip(IconId::Frame1, QStringLiteral("Trellion\nsales")));
    ASSERT_TRUE(tray->UpdateIconFromResource(IconId::Program));
    ASSERT_TRUE(tray->UpdateIconFromResource(0));
    const auto calls = shell->Calls();
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[0].action, Action::Add);
    EXPECT_EQ(calls[0].record.flags, TrayFlag::Message | TrayFlag::Icon | TrayFlag::Tip);
    EXPECT_EQ(calls[0].record.iconNumber, IconId::Program);
    EXPECT_EQ(calls[0].record.tip, QStringLiteral("Trellion"));
    EXPECT_EQ(calls[0].record.window, &window);
    EXPECT_EQ(calls[0].record.callbackMessage, kCallback);
    EXPECT_EQ(calls[1].action, Action::Modify);
    EXPECT_EQ(calls[1].record.iconNumber, IconId::Frame1);
    EXPECT_EQ(calls[1].record.tip, QStringLiteral("Trellion\nsales"));
    // From the resource: the tip is string 128 again.
    EXPECT_EQ(calls[2].action, Action::Modify);
    EXPECT_EQ(calls[2].record.tip, QStringLiteral("Trellion"));
    EXPECT_EQ(calls[3].action, Action::Delete);
    EXPECT_FALSE(calls[3].record.flags & TrayFlag::Icon);
    EXPECT_FALSE(shell->IsShown(kId));
    EXPECT_TRUE(tray->Record().icon.isNull());
    // After a removal the next icon is added anew.
    ASSERT_TRUE(tray->UpdateIconWithTip(IconId::Slow, QStringLiteral("x")));
    EXPECT_EQ(LastAction(), Action::Add);
}

TEST_F(TrayIconTest, MessageFlagNeedsBothAWindowAndACallbackMessage) {
    tray->UpdateIconWithTip(IconId::Program, QStringLiteral("a"));
    EXPECT_EQ(shell->Calls().back().record.flags, TrayFlag::Icon | TrayFlag::Tip);
    tray->BindWindow(&window, 0);
    tray->UpdateIconWithTip(IconId::Program, QStringLiteral("a"));
    EXPECT_EQ(shell->Calls().back().record.flags, TrayFlag::Icon | TrayFlag::Tip);
    tray->BindWindow(nullptr, kCallback);
    tray->UpdateIconWithTip(IconId::Program, QStringLiteral("a"));
    EXPECT_EQ(shell->Calls().back().record.flags, TrayFlag::Icon | TrayFlag::Tip);
    tray->BindWindow(&window, kCallback);
    tray->UpdateIconWithTip(IconId::Program, QStringLiteral("a"));
    EXPECT_EQ(shell->Calls().back().record.flags,
              TrayFlag::Message | TrayFlag::Icon | TrayFlag::Tip);
}

TEST_F(TrayIconTest, TipsAreCutTo63CharactersEmptyOnesLeaveTheFlagOutAndNoneKeepsTheOld) {
    ShowLikeTheMainWindow();
    const QString seventy = QStringLiteral("Trellion\n") + QString(61, QLatin1Char('x'));
    ASSERT_EQ(seventy.size(), 70);
    tray->UpdateIconWithTip(IconId::Frame2, seventy);
    EXPECT_EQ(shell->Calls().back().record.tip, seventy.left(63));
    EXPECT_EQ(shell->Shown(kId).tip, seventy.left(63));

    tray->UpdateIconWithTip(IconId::Frame3, QString());
    EXPECT_EQ(shell->Calls().back().record.flags, TrayFlag::Message | TrayFlag::Icon);
    // The shell keeps the tip it had, as it does for a member left out of the flags.
    EXPECT_EQ(shell->Shown(kId).tip, seventy.left(63));

    tray->UpdateIconWithTip(IconId::Frame4, QStringLiteral("kept"));
    tray->UpdateIcon(TrellionIcon(IconId::Program));
    EXPECT_EQ(shell->Calls().back().record.tip, QStringLiteral("kept"));
    EXPECT_TRUE(shell->Calls().back().record.flags & TrayFlag::Tip);

    // No string 131: the tip from that resource is empty.
    tray->UpdateIconFromResource(IconId::Frame1);
    EXPECT_EQ(shell->Calls().back().record.tip, QString());
    EXPECT_FALSE(shell->Calls().back().record.flags & TrayFlag::Tip);

    // A cut never splits a character outside the basic plane.
    const QString emoji = QString(62, QLatin1Char('a')) + QString::fromUtf8("\U0001F5C4");
    tray->UpdateIconWithTip(IconId::Program, emoji);
    EXPECT_EQ(shell->Calls().back().record.tip, QString(62, QLatin1Char('a')));
}

TEST_F(TrayIconTest, AfterAFailedChangeTheNextUpdateIsAnAdd) {
    ShowLikeTheMainWindow();
    shell->FailNextCalls(1);
    EXPECT_FALSE(tray->UpdateIconWithTip(IconId::Frame1, QStringLiteral("t")));
    EXPECT_EQ(LastAction(), Action::Modify);
    EXPECT_TRUE(tray->Record().icon.isNull());
    tray->UpdateIconWithTip(IconId::Frame2, QStringLiteral("t"));
    EXPECT_EQ(LastAction(), Action::Add);
}

TEST_F(TrayIconTest, AnIconLostByTheShellComesBackThroughTheFailedUpdate) {
    ShowLikeTheMainWindow();
    shell->Restart();
    EXPECT_FALSE(tray->UpdateIconWithTip(IconId::Frame1, QStringLiteral("Trellion\nsales")));
    EXPECT_EQ(LastAction(), Action::Modify);
    EXPECT_FALSE(shell->IsShown(kId));
    EXPECT_TRUE(tray->UpdateIconWithTip(IconId::Frame2, QStringLiteral("Trellion\nsales")));
    EXPECT_EQ(LastAction(), Action::Add);
    EXPECT_TRUE(shell->IsShown(kId));
    EXPECT_EQ(shell->Shown(kId).iconNumber, IconId::Frame2);

    // A failed add is retried as an add.
    shell->Restart();
    tray->UpdateIconFromResource(0);
    shell->FailNextCalls(1);
    EXPECT_FALSE(tray->UpdateIconWithTip(IconId::Program, QStringLiteral("Trellion")));
    EXPECT_EQ(LastAction(), Action::Add);
    EXPECT_TRUE(tray->UpdateIconWithTip(IconId::Program, QStringLiteral("Trellion")));
    EXPECT_EQ(LastAction(), Action::Add);
}

TEST_F(TrayIconTest, AFailedRemovalStillForgetsTheIcon) {
    ShowLikeTheMainWindow();
    shell->FailNextCalls(1);
    EXPECT_FALSE(tray->UpdateIconFromResource(0));
    EXPECT_TRUE(tray->Record().icon.isNull());
    shell->ClearCalls();
    EXPECT_TRUE(tray->UpdateIconFromResource(0)); // nothing shown as far as the record knows
    EXPECT_TRUE(shell->Calls().empty());
}

TEST_F(TrayIconTest, AnUnknownIconNumberRemovesTheIcon) {
    ShowLikeTheMainWindow();
    EXPECT_TRUE(tray->UpdateIconWithTip(999, QStringLiteral("none")));
    EXPECT_EQ(LastAction(), Action::Delete);
    EXPECT_FALSE(shell->IsShown(kId));
}

TEST_F(TrayIconTest, DestructionRemovesTheIcon) {
    ShowLikeTheMainWindow();
    ASSERT_TRUE(shell->IsShown(kId));
    tray.reset();
    EXPECT_FALSE(shell->IsShown(kId));
    EXPECT_EQ(LastAction(), Action::Delete);
    // The shell no longer reaches the destroyed icon.
    EXPECT_FALSE(shell->SendEvent(kId, TrayEvent::LeftDoubleClick));
}

TEST_F(TrayIconTest, DoubleClickSendsTheFirstMenuCommandAtOnce) {
    ShowLikeTheMainWindow();
    QSignalSpy commands(tray.get(), &CTrayIcon::commandRequested);
    EXPECT_TRUE(tray->HandleTrayEvent(kId, TrayEvent::LeftDoubleClick));
    ASSERT_EQ(commands.count(), 1);
    EXPECT_EQ(commands.at(0).at(0).toInt(), CTrayIcon::kCommandOpen);
    // The same through the shell, as a click on the icon arrives.
    EXPECT_TRUE(shell->SendEvent(kId, TrayEvent::LeftDoubleClick));
    ASSERT_EQ(commands.count(), 2);
    EXPECT_EQ(commands.at(1).at(0).toInt(), CTrayIcon::kCommandOpen);
    EXPECT_EQ(QApplication::activePopupWidget(), nullptr);
}

TEST_F(TrayIconTest, OtherEventsAndOtherIdentifiersAreIgnored) {
    ShowLikeTheMainWindow();
    QSignalSpy commands(tray.get(), &CTrayIcon::commandRequested);
    for (unsigned event : {TrayEvent::MouseMove, TrayEvent::LeftButtonDown, TrayEvent::LeftButtonUp,
                           TrayEvent::RightButtonDown, TrayEvent::MiddleButtonUp, 0u})
        EXPECT_FALSE(tray->HandleTrayEvent(kId, event)) << event;
    EXPECT_FALSE(tray->HandleTrayEvent(kId + 1, TrayEvent::LeftDoubleClick));
    EXPECT_FALSE(tray->HandleTrayEvent(kId + 1, TrayEvent::RightButtonUp));
    EXPECT_EQ(commands.count(), 0);
    EXPECT_EQ(QApplication::activePopupWidget(), nullptr);
}

TEST_F(TrayIconTest, RightButtonUpOpensTheTrayMenuAtTheCursorWithOpenAsDefault) {
    ShowLikeTheMainWindow();
    QSignalSpy commands(tray.get(), &CTrayIcon::commandRequested);
    QCursor::setPos(200, 150);
    ASSERT_TRUE(shell->SendEvent(kId, TrayEvent::RightButtonUp));
    QMenu* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    ASSERT_NE(menu, nullptr);
    EXPECT_EQ(menu->pos(), QCursor::pos());
    const QList<QAction*> items = menu->actions();
    ASSERT_EQ(items.size(), 4);
    EXPECT_EQ(items[0]->text(), QStringLiteral("&Open Trellion"));
    EXPECT_EQ(items[0]->data().toInt(), 32772);
    EXPECT_EQ(items[1]->text(), QStringLiteral("&About Trellion..."));
    EXPECT_EQ(items[1]->data().toInt(), 57664);
    EXPECT_TRUE(items[2]->isSeparator());
    EXPECT_EQ(items[3]->text(), QStringLiteral("&Terminate Trellion"));
    EXPECT_EQ(items[3]->data().toInt(), 32773);
    EXPECT_EQ(menu->defaultAction(), items[0]);
    EXPECT_EQ(commands.count(), 0); // nothing chosen yet

    QPointer<QMenu> watched(menu);
    items[3]->trigger();
    ASSERT_EQ(commands.count(), 1);
    EXPECT_EQ(commands.at(0).at(0).toInt(), CTrayIcon::kCommandTerminate);
    menu->close();
    EXPECT_TRUE(PixelSupport::WaitFor([&] { return watched.isNull(); }))
        << "the closed menu is released";
}

TEST_F(TrayIconTest, ASecondRightClickReplacesTheOpenMenu) {
    ShowLikeTheMainWindow();
    ASSERT_TRUE(tray->HandleTrayEvent(kId, TrayEvent::RightButtonUp));
    QPointer<QMenu> first(qobject_cast<QMenu*>(QApplication::activePopupWidget()));
    ASSERT_FALSE(first.isNull());
    ASSERT_TRUE(tray->HandleTrayEvent(kId, TrayEvent::RightButtonUp));
    ASSERT_FALSE(first.isNull());
    EXPECT_FALSE(first->isVisible());
    EXPECT_TRUE(PixelSupport::WaitFor([&] { return first.isNull(); }));
    QMenu* second = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    ASSERT_NE(second, nullptr);
    EXPECT_TRUE(second->isVisible());
}

// A tray icon whose menu resource is missing.
class CMenulessTrayIcon : public CTrayIcon {
public:
    using CTrayIcon::CTrayIcon;

protected:
    std::unique_ptr<QMenu> LoadTrayMenu() const override { return nullptr; }
};

TEST(TrayIconMenuTest, WithoutItsMenuNoEventIsHandled) {
    CMenulessTrayIcon tray(kId, std::make_shared<CRecordingTrayShell>());
    QSignalSpy commands(&tray, &CTrayIcon::commandRequested);
    EXPECT_FALSE(tray.HandleTrayEvent(kId, TrayEvent::RightButtonUp));
    EXPECT_FALSE(tray.HandleTrayEvent(kId, TrayEvent::LeftDoubleClick));
    EXPECT_EQ(commands.count(), 0);
    EXPECT_EQ(QApplication::activePopupWidget(), nullptr);
}

TEST_F(TrayIconTest, UpdatesFromSeveralPollThreadsAreSerialised) {
    tray->BindWindow(&window, kCallback);
    std::vector<std::thread> polls;
    for (int t = 0; t < 4; ++t)
        polls.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i)
                tray->UpdateIconWithTip(IconId::Frame1 + (i + t) % 4,
                                        QStringLiteral("Trellion\nslot %1").arg(t));
        });
    for (std::thread& poll : polls)
        poll.join();
    const auto calls = shell->Calls();
    ASSERT_EQ(calls.size(), 800u);
    // One add, then changes only, every one of them answered yes: no two updates both saw "no
    // icon", and none changed an icon before it was added.
    EXPECT_EQ(calls[0].action, Action::Add);
    for (size_t i = 0; i < calls.size(); ++i) {
        EXPECT_TRUE(calls[i].result) << i;
        if (i > 0) {
            EXPECT_EQ(calls[i].action, Action::Modify) << i;
        }
    }
}

TEST(TrayIconDesktopTest, WithoutATrayHostNothingIsShownAndNothingBreaks) {
    if (QSystemTrayIcon::isSystemTrayAvailable())
        GTEST_SKIP() << "this desktop has a tray";
    QWidget window;
    CTrayIcon tray(kId);
    tray.BindWindow(&window, kCallback);
    EXPECT_FALSE(tray.UpdateIconWithTip(IconId::Program, QStringLiteral("Trellion")));
    EXPECT_TRUE(tray.Record().icon.isNull());
    EXPECT_FALSE(tray.UpdateIconFromResource(IconId::Program));
    EXPECT_TRUE(tray.UpdateIconFromResource(0));
    // From a poll thread as well.
    bool fromThread = true;
    std::thread([&] {
        fromThread = tray.UpdateIconWithTip(IconId::Slow, QStringLiteral("s"));
    }).join();
    EXPECT_FALSE(fromThread);
    QCoreApplication::processEvents();
    // The menu still works for a window that routes tray events itself.
    QSignalSpy commands(&tray, &CTrayIcon::commandRequested);
    EXPECT_TRUE(tray.HandleTrayEvent(kId, TrayEvent::LeftDoubleClick));
    EXPECT_EQ(commands.count(), 1);
}

} // namespace
