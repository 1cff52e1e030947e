#pragma once

#include "monitor/ComputerState.h"

#include <QObject>
#include <QTimer>

#include <memory>

class NetworkWatcher;
class PollScheduler;
class SleepWatcher;
class SlotMonitor;

// Keeps the engine's knowledge of the computer current and polls every configured slot once
// after a wake, as soon as the network is up or at the latest after a grace; and at once when
// the network comes back. Each slot's timer is armed again from that poll. Lives on the UI
// thread, beside the scheduler.
class ComputerWatch : public QObject {
    Q_OBJECT
public:
    ComputerWatch(PollScheduler& scheduler, SlotMonitor& monitor,
                  std::shared_ptr<ComputerState> state, int graceMs = 30000,
                  QObject* parent = nullptr);
    // Follows the watchers; either may be null.
    void Watch(SleepWatcher* sleep, NetworkWatcher* network);
    // Makes this computer's watchers (logind where there is a system bus, the boot clock, and
    // NetworkManager where there is one), kept with this object, and follows them.
    void WatchThisComputer();

    void OnGoingToSleep();
    void OnWoke();
    void OnReach(ComputerState::Reach reach);

private:
    void PollAll();

    PollScheduler& m_scheduler;
    SlotMonitor& m_monitor;
    std::shared_ptr<ComputerState> m_state;
    QTimer m_grace;
};
