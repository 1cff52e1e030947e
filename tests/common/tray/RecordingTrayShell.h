#pragma once

#include "controls/TrayShell.h"

#include <map>
#include <mutex>
#include <vector>

// A tray shell that keeps its icons in memory and records every call, for tests. It answers
// like the desktop's: adding a shown identifier or changing or removing an unknown one fails.
class CRecordingTrayShell : public ITrayShell {
public:
    enum class Action { Add, Modify, Delete };
    struct Call {
        Action action;
        TrayRecord record;
        bool result;
    };

    bool Add(const TrayRecord& record) override;
    bool Modify(const TrayRecord& record) override;
    bool Delete(const TrayRecord& record) override;
    void SetEventHandler(EventHandler handler) override;
    void SetMenu(QMenu* menu) override;

    // The next count calls fail whatever they ask.
    void FailNextCalls(int count);
    // Forgets every icon, as a restarted task bar does.
    void Restart();
    // Without a tray host every call fails and nothing is shown; a host coming back starts empty.
    void SetHostPresent(bool present);
    // A mouse event on icon id; reaches the handler only while that icon is shown with the
    // message flag. Returns whether it was delivered.
    bool SendEvent(unsigned id, unsigned event);

    std::vector<Call> Calls() const;
    void ClearCalls();
    bool IsShown(unsigned id) const;
    TrayRecord Shown(unsigned id) const; // empty record when not shown
    QMenu* Menu() const;                 // what the host would show on a right click

private:
    bool Record(Action action, const TrayRecord& record);

    mutable std::mutex m_lock;
    std::map<unsigned, TrayRecord> m_icons;
    std::vector<Call> m_calls;
    EventHandler m_handler;
    QMenu* m_menu = nullptr;
    int m_failures = 0;
    bool m_host = true;
};
