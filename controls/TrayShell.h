#pragma once

#include <QIcon>
#include <QString>

#include <functional>

class QMenu;
class QWidget;

// Flags of a tray record: which members the shell is to take.
namespace TrayFlag {
inline constexpr unsigned Message = 1; // report mouse events on the icon
inline constexpr unsigned Icon = 2;
inline constexpr unsigned Tip = 4;
} // namespace TrayFlag

// Mouse events on the icon, under the numbers the desktop's tray protocol gave them, so that an
// event is one integer on every path (shell, owner, tests).
namespace TrayEvent {
inline constexpr unsigned MouseMove = 0x200;
inline constexpr unsigned LeftButtonDown = 0x201;
inline constexpr unsigned LeftButtonUp = 0x202;
inline constexpr unsigned LeftDoubleClick = 0x203;
inline constexpr unsigned RightButtonDown = 0x204;
inline constexpr unsigned RightButtonUp = 0x205;
inline constexpr unsigned MiddleButtonUp = 0x208;
} // namespace TrayEvent

// What the tray icon hands to the shell on every call.
struct TrayRecord {
    static constexpr int kTipLength = 63; // characters; the tip field holds 64 with its terminator

    int size = 88;
    QWidget* window = nullptr; // owner; receives the menu commands
    unsigned id = 0;
    unsigned flags = 0;
    unsigned callbackMessage = 0;
    QIcon icon;         // null while no icon is shown
    int iconNumber = 0; // resource number of icon, 0 when it came from elsewhere or is null
    QString tip;
};

// The desktop's notification area, reduced to the calls the tray icon makes.
class ITrayShell {
public:
    using EventHandler = std::function<void(unsigned id, unsigned event)>;

    virtual ~ITrayShell() = default;
    virtual bool Add(const TrayRecord& record) = 0;
    virtual bool Modify(const TrayRecord& record) = 0;
    virtual bool Delete(const TrayRecord& record) = 0;
    // Where mouse events on an icon shown with TrayFlag::Message go; called on the UI thread.
    virtual void SetEventHandler(EventHandler handler) = 0;
    // The menu the host shows on the icon (a StatusNotifierItem host reads it over DBusMenu, an
    // XEmbed tray pops it up at the cursor); not owned, null for none. UI thread.
    virtual void SetMenu(QMenu* menu) = 0;
};
