#include "monitor/ComputerWatch.h"

#include "monitor/PollScheduler.h"
#include "monitor/SlotMonitor.h"
#include "platform/NetworkWatcher.h"
#include "platform/SleepWatcher.h"

ComputerWatch::ComputerWatch(PollScheduler& scheduler, SlotMonitor& monitor,
                             std::shared_ptr<ComputerState> state, int graceMs, QObject* parent)
    : QObject(parent), m_scheduler(scheduler), m_monitor(monitor), m_state(std::move(state)) {
    m_grace.setSingleShot(true);
    m_grace.setInterval(graceMs);
    connect(&m_grace, &QTimer::timeout, this, &ComputerWatch::PollAll);
}

void ComputerWatch::Watch(SleepWatcher* sleep, NetworkWatcher* network) {
    if (sleep) {
        connect(sleep, &SleepWatcher::GoingToSleep, this, &ComputerWatch::OnGoingToSleep);
        connect(sleep, &SleepWatcher::Woke, this, &ComputerWatch::OnWoke);
    }
    if (network) {
        const auto take = [this](NetworkWatcher::Reach r) {
            OnReach(r == NetworkWatcher::Reach::Online    ? ComputerState::Online
                    : r == NetworkWatcher::Reach::Offline ? ComputerState::Offline
                                                          : ComputerState::Unknown);
        };
        connect(network, &NetworkWatcher::Changed, this, take);
        take(network->State());
    }
}

void ComputerWatch::WatchThisComputer() {
    auto* sleep = new SleepWatcher(&SleepWatcher::SystemSleptMs, 2000, this);
    sleep->WatchLogind();
    Watch(sleep, new NetworkWatcher(this));
}

void ComputerWatch::OnGoingToSleep() {
    m_state->sleeping = true;
}

void ComputerWatch::OnWoke() {
    m_state->sleeping = false;
    m_state->wokeAt = m_state->steadyClock();
    if (m_state->reach == ComputerState::Online)
        PollAll();
    else
        m_grace.start(); // the network's return polls sooner
}

void ComputerWatch::OnReach(ComputerState::Reach reach) {
    const int before = m_state->reach.exchange(reach);
    if (reach == ComputerState::Online && (before == ComputerState::Offline || m_grace.isActive()))
        PollAll();
}

void ComputerWatch::PollAll() {
    m_grace.stop();
    for (int slot = 0; slot < 4; ++slot)
        if (m_monitor.IsConfigured(slot))
            m_scheduler.PollNow(slot);
}
