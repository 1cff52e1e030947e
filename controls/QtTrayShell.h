#pragma once

#include "controls/TrayShell.h"

#include <QMenu>
#include <QObject>
#include <QPointer>
#include <QSystemTrayIcon>

#include <atomic>

// The desktop's tray through QSystemTrayIcon. Without a tray host every call fails and nothing
// is shown. Create it on the UI thread; calls from other threads are carried out there later and
// answer with the outcome expected now.
class CQtTrayShell : public QObject, public ITrayShell {
    Q_OBJECT

public:
    explicit CQtTrayShell(QObject* parent = nullptr);
    ~CQtTrayShell() override;

    bool Add(const TrayRecord& record) override;
    bool Modify(const TrayRecord& record) override;
    bool Delete(const TrayRecord& record) override;
    void SetEventHandler(EventHandler handler) override;
    void SetMenu(QMenu* menu) override;

private:
    enum class Action { Add, Modify, Delete };
    bool Dispatch(Action action, const TrayRecord& record);
    bool Apply(Action action, const TrayRecord& record);
    void OnActivated(QSystemTrayIcon::ActivationReason reason);

    QSystemTrayIcon* m_icon = nullptr;
    EventHandler m_handler;
    QPointer<QMenu> m_menu;
    unsigned m_id = 0;
    unsigned m_flags = 0;
    std::atomic<bool> m_available{false}; // a tray host was there at the last look
    std::atomic<bool> m_shown{false};     // UI thread's view
    std::atomic<bool> m_expected{false};  // shown once the queued calls have run
};
