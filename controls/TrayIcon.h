#pragma once

#include "controls/TrayShell.h"

#include <QDeadlineTimer>
#include <QMenu>
#include <QObject>
#include <QPointer>

#include <memory>
#include <mutex>
#include <optional>

class QTimer;

// The program's icon in the notification area: shown, changed and removed on request, with the
// tray menu the host shows, and that menu's first command on a left click or double click.
class CTrayIcon : public QObject {
    Q_OBJECT

public:
    // The icon's identifier, that of the tray menu's resource.
    static constexpr int kTrayMenu = 110;

    // id: the icon's identifier (the main window uses 110); the tip starts as string resource id.
    // shell: null for the desktop's tray (QSystemTrayIcon); shared so that a test can watch it.
    explicit CTrayIcon(unsigned id, std::shared_ptr<ITrayShell> shell = nullptr,
                       QObject* parent = nullptr);
    // Removes the icon.
    ~CTrayIcon() override;

    void BindWindow(QWidget* window, unsigned callbackMessage);
    // The tray menu, handed to the host, whose actions carry their command ids as the property
    // "controlId"; the first is the default. Not owned. UI thread.
    void SetMenu(QMenu* menu);
    QMenu* Menu() const { return m_menu; }

    // icon null: removes the icon. tip: replaces the tip (cut to 63 characters) when given.
    // Returns the shell's answer; after a failure the next update with an icon adds it anew.
    // Updates may come from any thread; they are serialised.
    bool UpdateIcon(const QIcon& icon, std::optional<QString> tip = std::nullopt);
    // number != 0: tip := string resource number, icon := icon resource number. 0 removes the icon.
    bool UpdateIconFromResource(int number);
    // icon := icon resource number (none for 0), tip := tip.
    bool UpdateIconWithTip(int number, const QString& tip);

    // Whether the shell took the last icon (false after a failure or a removal).
    bool IsShown() const;
    // Adds the last icon asked for again when the shell has not taken it, as a tray host that
    // came late needs. Returns whether an icon is shown now.
    bool ShowAgain();
    // UI thread: ShowAgain every everyMs until an icon is shown or forMs have passed.
    void LookForTray(int everyMs, int forMs);

    // event: a TrayEvent. A left click or double click emits the menu's first command; the
    // right button is the host's, which shows the menu itself. Returns true when handled. UI
    // thread.
    bool HandleTrayEvent(unsigned id, unsigned event);

    TrayRecord Record() const;
    ITrayShell& Shell() const { return *m_shell; }

signals:
    // The tray menu's first command, asked for by a click on the icon, for the owner.
    void commandRequested(int command);

private:
    bool Update(const QIcon& icon, int iconNumber, const std::optional<QString>& tip,
                const std::optional<QString>& presetTip = std::nullopt);

    std::shared_ptr<ITrayShell> m_shell;
    mutable std::mutex m_lock; // guards m_record
    TrayRecord m_record;
    QIcon m_wanted; // the icon last asked for, kept through a failed add
    int m_wantedNumber = 0;
    QTimer* m_lookTimer = nullptr;
    QDeadlineTimer m_lookUntil;
    QPointer<QMenu> m_menu;
};
