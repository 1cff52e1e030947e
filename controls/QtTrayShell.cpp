#include "controls/QtTrayShell.h"

#include <QThread>

CQtTrayShell::CQtTrayShell(QObject* parent)
    : QObject(parent), m_available(QSystemTrayIcon::isSystemTrayAvailable()) {}

CQtTrayShell::~CQtTrayShell() = default;

bool CQtTrayShell::Add(const TrayRecord& record) {
    return Dispatch(Action::Add, record);
}

bool CQtTrayShell::Modify(const TrayRecord& record) {
    return Dispatch(Action::Modify, record);
}

bool CQtTrayShell::Delete(const TrayRecord& record) {
    return Dispatch(Action::Delete, record);
}

void CQtTrayShell::SetEventHandler(EventHandler handler) {
    m_handler = std::move(handler);
}

void CQtTrayShell::SetMenu(QMenu* menu) {
    m_menu = menu;
    if (m_icon)
        m_icon->setContextMenu(menu);
}

bool CQtTrayShell::Dispatch(Action action, const TrayRecord& record) {
    if (QThread::currentThread() == thread())
        return Apply(action, record);
    // QSystemTrayIcon is a UI object. A poll thread must not wait for the UI thread (which may be
    // waiting for it), so the call is queued and answered with the outcome it should have: an add
    // works when a tray was seen, a change or removal when an icon is (about to be) shown.
    bool expected = false;
    switch (action) {
    case Action::Add:
        expected = m_available.load();
        break;
    case Action::Modify:
        expected = m_expected.load();
        break;
    case Action::Delete:
        expected = m_expected.exchange(false);
        break;
    }
    if (action == Action::Add)
        m_expected = expected;
    QMetaObject::invokeMethod(
        this, [this, action, record] { Apply(action, record); }, Qt::QueuedConnection);
    return expected;
}

bool CQtTrayShell::Apply(Action action, const TrayRecord& record) {
    bool ok = false;
    switch (action) {
    case Action::Add:
        // Without a tray host there is nothing to add to; the window stays the way in. An add
        // while shown takes over the icon: Qt's tray has no identifiers to clash.
        m_available = QSystemTrayIcon::isSystemTrayAvailable();
        if (!m_available)
            break;
        if (!m_icon) {
            m_icon = new QSystemTrayIcon(this);
            connect(m_icon, &QSystemTrayIcon::activated, this, &CQtTrayShell::OnActivated);
            // Given before the icon shows, so that a StatusNotifierItem host finds the menu
            // exported when it first reads the item.
            m_icon->setContextMenu(m_menu);
        }
        m_icon->setIcon(record.flags & TrayFlag::Icon ? record.icon : QIcon());
        m_icon->setToolTip(record.flags & TrayFlag::Tip ? record.tip : QString());
        m_icon->show();
        ok = true;
        break;
    case Action::Modify:
        if (!m_shown || !m_icon)
            break;
        if (record.flags & TrayFlag::Icon)
            m_icon->setIcon(record.icon);
        m_icon->setToolTip(record.flags & TrayFlag::Tip ? record.tip : QString());
        ok = true;
        break;
    case Action::Delete:
        if (!m_shown || !m_icon)
            break;
        m_icon->hide();
        ok = true;
        break;
    }
    if (ok) {
        m_id = record.id;
        m_flags = record.flags;
        m_shown = action != Action::Delete;
    }
    m_expected = m_shown.load();
    return ok;
}

void CQtTrayShell::OnActivated(QSystemTrayIcon::ActivationReason reason) {
    if (!(m_flags & TrayFlag::Message) || !m_handler)
        return;
    unsigned event = 0;
    switch (reason) {
    case QSystemTrayIcon::Context:
        event = TrayEvent::RightButtonUp;
        break;
    case QSystemTrayIcon::DoubleClick:
        event = TrayEvent::LeftDoubleClick;
        break;
    case QSystemTrayIcon::Trigger:
        event = TrayEvent::LeftButtonUp;
        break;
    case QSystemTrayIcon::MiddleClick:
        event = TrayEvent::MiddleButtonUp;
        break;
    case QSystemTrayIcon::Unknown:
        return;
    }
    m_handler(m_id, event);
}
