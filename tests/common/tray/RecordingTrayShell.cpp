#include "tests/common/tray/RecordingTrayShell.h"

bool CRecordingTrayShell::Add(const TrayRecord& record) {
    return Record(Action::Add, record);
}

bool CRecordingTrayShell::Modify(const TrayRecord& record) {
    return Record(Action::Modify, record);
}

bool CRecordingTrayShell::Delete(const TrayRecord& record) {
    return Record(Action::Delete, record);
}

void CRecordingTrayShell::SetEventHandler(EventHandler handler) {
    std::lock_guard guard(m_lock);
    m_handler = std::move(handler);
}

void CRecordingTrayShell::SetMenu(QMenu* menu) {
    std::lock_guard guard(m_lock);
    m_menu = menu;
}

QMenu* CRecordingTrayShell::Menu() const {
    std::lock_guard guard(m_lock);
    return m_menu;
}

bool CRecordingTrayShell::Record(Action action, const TrayRecord& record) {
    std::lock_guard guard(m_lock);
    const auto shown = m_icons.find(record.id);
    bool ok = false;
    if (m_failures > 0) {
        --m_failures;
    } else if (m_host) {
        switch (action) {
        case Action::Add:
            ok = shown == m_icons.end();
            if (ok)
                m_icons.emplace(record.id, record);
            break;
        case Action::Modify:
            ok = shown != m_icons.end();
            if (ok) {
                // The shell keeps the members the flags name and its old values of the others.
                TrayRecord& kept = shown->second;
                if (record.flags & TrayFlag::Icon) {
                    kept.icon = record.icon;
                    kept.iconNumber = record.iconNumber;
                }
                if (record.flags & TrayFlag::Tip)
                    kept.tip = record.tip;
                if (record.flags & TrayFlag::Message) {
                    kept.window = record.window;
                    kept.callbackMessage = record.callbackMessage;
                }
                kept.flags |= record.flags;
            }
            break;
        case Action::Delete:
            ok = shown != m_icons.end();
            if (ok)
                m_icons.erase(shown);
            break;
        }
    }
    m_calls.push_back({action, record, ok});
    return ok;
}

void CRecordingTrayShell::FailNextCalls(int count) {
    std::lock_guard guard(m_lock);
    m_failures = count;
}

void CRecordingTrayShell::Restart() {
    std::lock_guard guard(m_lock);
    m_icons.clear();
}

void CRecordingTrayShell::SetHostPresent(bool present) {
    std::lock_guard guard(m_lock);
    m_host = present;
    m_icons.clear();
}

bool CRecordingTrayShell::SendEvent(unsigned id, unsigned event) {
    EventHandler handler;
    {
        std::lock_guard guard(m_lock);
        const auto shown = m_icons.find(id);
        if (shown == m_icons.end() || !(shown->second.flags & TrayFlag::Message) || !m_handler)
            return false;
        handler = m_handler;
    }
    handler(id, event);
    return true;
}

std::vector<CRecordingTrayShell::Call> CRecordingTrayShell::Calls() const {
    std::lock_guard guard(m_lock);
    return m_calls;
}

void CRecordingTrayShell::ClearCalls() {
    std::lock_guard guard(m_lock);
    m_calls.clear();
}

bool CRecordingTrayShell::IsShown(unsigned id) const {
    std::lock_guard guard(m_lock);
    return m_icons.count(id) != 0;
}

TrayRecord CRecordingTrayShell::Shown(unsigned id) const {
    std::lock_guard guard(m_lock);
    const auto shown = m_icons.find(id);
    return shown != m_icons.end() ? shown->second : TrayRecord();
}
