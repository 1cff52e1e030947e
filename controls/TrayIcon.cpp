#include "controls/TrayIcon.h"

#include "controls/Icons.h"
#include "controls/QtTrayShell.h"

#include <QAction>
#include <QMenu>
#include <QTimer>

namespace {

// At most kTipLength characters, without splitting a surrogate pair at the cut.
QString CutTip(const QString& tip) {
    if (tip.size() <= TrayRecord::kTipLength)
        return tip;
    qsizetype length = TrayRecord::kTipLength;
    if (tip.at(length - 1).isHighSurrogate())
        --length;
    return tip.left(length);
}

} // namespace

CTrayIcon::CTrayIcon(unsigned id, std::shared_ptr<ITrayShell> shell, QObject* parent)
    : QObject(parent), m_shell(std::move(shell)) {
    if (!m_shell)
        m_shell = std::make_shared<CQtTrayShell>();
    m_record.id = id;
    m_record.tip = CutTip(TrellionString(static_cast<int>(id)));
    m_shell->SetEventHandler(
        [this](unsigned eventId, unsigned event) { HandleTrayEvent(eventId, event); });
}

CTrayIcon::~CTrayIcon() {
    UpdateIconFromResource(0);
    m_shell->SetEventHandler(nullptr);
    m_shell->SetMenu(nullptr);
}

void CTrayIcon::BindWindow(QWidget* window, unsigned callbackMessage) {
    std::lock_guard guard(m_lock);
    m_record.window = window;
    m_record.callbackMessage = callbackMessage;
}

void CTrayIcon::SetMenu(QMenu* menu) {
    m_menu = menu;
    if (menu && !menu->actions().isEmpty())
        menu->setDefaultAction(menu->actions().first());
    m_shell->SetMenu(menu);
}

bool CTrayIcon::UpdateIcon(const QIcon& icon, std::optional<QString> tip) {
    return Update(icon, 0, tip);
}

bool CTrayIcon::UpdateIconFromResource(int number) {
    if (number == 0)
        return Update(QIcon(), 0, std::nullopt);
    // The resource's string becomes the tip before the update, even one that changes nothing.
    return Update(TrellionIcon(number), number, std::nullopt, TrellionString(number));
}

bool CTrayIcon::UpdateIconWithTip(int number, const QString& tip) {
    const QIcon icon = number != 0 ? TrellionIcon(number) : QIcon();
    return Update(icon, icon.isNull() ? 0 : number, tip);
}

bool CTrayIcon::Update(const QIcon& icon, int iconNumber, const std::optional<QString>& tip,
                       const std::optional<QString>& presetTip) {
    // Poll threads update the icon; one update at a time keeps the record whole and the
    // add/modify decision in step with the shell.
    std::lock_guard guard(m_lock);
    if (presetTip)
        m_record.tip = CutTip(*presetTip);
    enum class Action { Add, Modify, Delete } action;
    m_record.flags = 0;
    if (!icon.isNull()) {
        action = m_record.icon.isNull() ? Action::Add : Action::Modify;
        m_wanted = icon;
        m_wantedNumber = iconNumber;
        m_record.icon = icon;
        m_record.iconNumber = iconNumber;
        m_record.flags |= TrayFlag::Icon;
    } else {
        m_wanted = QIcon();
        if (m_record.icon.isNull())
            return true;
        action = Action::Delete;
    }
    if (tip)
        m_record.tip = CutTip(*tip);
    if (!m_record.tip.isEmpty())
        m_record.flags |= TrayFlag::Tip;
    if (m_record.callbackMessage != 0 && m_record.window)
        m_record.flags |= TrayFlag::Message;

    bool ok = false;
    switch (action) {
    case Action::Add:
        ok = m_shell->Add(m_record);
        break;
    case Action::Modify:
        ok = m_shell->Modify(m_record);
        break;
    case Action::Delete:
        ok = m_shell->Delete(m_record);
        break;
    }
    // Forgetting the icon after a failure makes the next update an add, which brings back an
    // icon the shell lost (a restarted tray host).
    if (action == Action::Delete || !ok) {
        m_record.icon = QIcon();
        m_record.iconNumber = 0;
    }
    return ok;
}

bool CTrayIcon::IsShown() const {
    std::lock_guard guard(m_lock);
    return !m_record.icon.isNull();
}

bool CTrayIcon::ShowAgain() {
    QIcon icon;
    int number;
    {
        std::lock_guard guard(m_lock);
        if (!m_record.icon.isNull() || m_wanted.isNull())
            return !m_record.icon.isNull();
        icon = m_wanted;
        number = m_wantedNumber;
    }
    return Update(icon, number, std::nullopt);
}

void CTrayIcon::LookForTray(int everyMs, int forMs) {
    if (!m_lookTimer) {
        m_lookTimer = new QTimer(this);
        connect(m_lookTimer, &QTimer::timeout, this, [this] {
            if (ShowAgain() || m_lookUntil.hasExpired())
                m_lookTimer->stop();
        });
    }
    m_lookUntil.setRemainingTime(forMs);
    if (!IsShown())
        m_lookTimer->start(everyMs);
}

bool CTrayIcon::HandleTrayEvent(unsigned id, unsigned event) {
    {
        std::lock_guard guard(m_lock);
        if (id != m_record.id)
            return false;
    }
    // StatusNotifierItem hosts report a left click and never a double click; XEmbed trays
    // report both. Either runs the menu's first command, which opens the window.
    if (event != TrayEvent::LeftButtonUp && event != TrayEvent::LeftDoubleClick)
        return false;
    if (!m_menu || m_menu->actions().isEmpty())
        return false;
    emit commandRequested(m_menu->actions().first()->property("controlId").toInt());
    return true;
}

TrayRecord CTrayIcon::Record() const {
    std::lock_guard guard(m_lock);
    return m_record;
}
