#include "monitor/SlotMonitorCore.h"

#include "platform/Platform.h"
#include "settings/SettingKeys.h"

using namespace SlotMonitorDetail;

namespace SlotMonitorDetail {

void LowerThreadPriority() {
    CurrentPlatform().LowerThreadPriority();
}

} // namespace SlotMonitorDetail

namespace {

HealthQuery ReadHealthQuery(const QString& title) {
    HealthQuery query;
    query.sql = Config::Read(title, Config::kHealthQuery);
    if (!query.IsSet())
        return query;
    query.expect = Config::Read(title, Config::kHealthExpect);
    // A hand-edited time-out below a second would fail every poll; past an hour it is a typo.
    const int seconds = Config::Read(title, Config::kHealthTimeout);
    constexpr int kMaxTimeoutSeconds = 3600;
    query.timeoutSeconds =
        seconds < 1 ? HealthQuery::kDefaultTimeoutSeconds : std::min(seconds, kMaxTimeoutSeconds);
    return query;
}

int HealthBoundMs(const HealthQuery& query) {
    return query.IsSet() ? query.timeoutSeconds * 1000 + HealthQueryRunner::kCancelGraceMs : 0;
}

} // namespace

std::shared_ptr<std::mutex> SlotMonitor::Core::StateLock(const QString& title) {
    std::lock_guard lock(stateLocksMutex);
    std::shared_ptr<std::mutex>& m = stateLocks[title];
    if (!m)
        m = std::make_shared<std::mutex>();
    return m;
}

void SlotMonitor::Core::Watch(const std::shared_ptr<PollTicket>& ticket) {
    ticket->deadline =
        Clock::now() + std::chrono::milliseconds(BoundMs() + HealthBoundMs(ticket->health));
    std::lock_guard lock(watchMutex);
    if (watchStop)
        return;
    if (!watchThread.joinable())
        watchThread = std::thread([this] { WatchLoop(); });
    while (!tickets.empty() && tickets.front().expired())
        tickets.pop_front();
    tickets.push_back(ticket);
    // Sleeping on an earlier deadline, the watchdog finds this one when it wakes.
    if (watchIdle || ticket->deadline < watchWake)
        watchCv.notify_all();
}

void SlotMonitor::Core::WatchLoop() {
    std::unique_lock lock(watchMutex);
    while (!watchStop) {
        const Clock::time_point now = Clock::now();
        std::vector<std::shared_ptr<PollTicket>> expired;
        Clock::time_point next = Clock::time_point::max();
        for (auto it = tickets.begin(); it != tickets.end();) {
            std::shared_ptr<PollTicket> t = it->lock();
            if (!t || t->state != PollTicket::Probing) {
                it = tickets.erase(it);
            } else if (t->deadline <= now) {
                int probing = PollTicket::Probing;
                if (t->state.compare_exchange_strong(probing, PollTicket::GivenUp))
                    expired.push_back(std::move(t));
                it = tickets.erase(it);
            } else {
                next = std::min(next, t->deadline);
                ++it;
            }
        }
        if (!expired.empty()) {
            lock.unlock();
            for (const auto& t : expired)
                GiveUp(t);
            lock.lock();
            continue;
        }
        watchIdle = next == Clock::time_point::max();
        watchWake = next;
        if (watchIdle)
            watchCv.wait(lock);
        else
            watchCv.wait_until(lock, next);
        watchIdle = false;
    }
}

void SlotMonitor::Core::GiveUp(const std::shared_ptr<PollTicket>& ticket) {
    {
        std::lock_guard lock(pollMutex);
        ++hungCalls;
    }
    const int seconds = (BoundMs() + HealthBoundMs(ticket->health) + 999) / 1000;
    Outcome given;
    given.errorText = QStringLiteral("No answer from the database within %1 s").arg(seconds);
    auto self = shared_from_this();
    try {
        std::thread([self, ticket, given] {
            LowerThreadPriority();
            self->ReplaceHungProbe(*ticket);
            self->FinishPoll(*ticket, given);
        }).detach();
    } catch (const std::system_error&) {
        // No thread to be had: finish here rather than leave the slot stopped.
        ReplaceHungProbe(*ticket);
        FinishPoll(*ticket, given);
    }
}

void SlotMonitor::Core::ReplaceHungProbe(const PollTicket& ticket) {
    std::lock_guard lock(mutex);
    DatabaseSlot& s = slotData[ticket.slot];
    if (generation[ticket.slot] != ticket.generation || s.probe != ticket.probe)
        return;
    s.probe.reset(CDatabaseProbe::FromStored(s.connectionString, s.title, probeOptions));
}

std::shared_ptr<PollTicket> SlotMonitor::Core::MakeTicket(int slot) {
    auto ticket = std::make_shared<PollTicket>();
    std::lock_guard lock(mutex);
    const DatabaseSlot& s = slotData[slot];
    ticket->slot = slot;
    ticket->generation = generation[slot];
    ticket->probe = s.probe;
    ticket->title = s.title;
    ticket->connectionString = s.connectionString;
    ticket->threshold = s.warningThreshold;
    if (computer)
        ticket->sleptAtStart = computer->sleptClock();
    return ticket;
}

void SlotMonitor::Core::CheckHealth(CDatabaseProbe& probe, const HealthQuery& query, ProbeTime t0,
                                    Outcome& outcome) {
    const ProbeTime q0 = probeClock();
    const HealthVerdict verdict = probe.CheckHealth(query);
    const ProbeTime q1 = probeClock();
    probe.Disconnect();
    outcome.queryMs = ElapsedMs(q0, q1);
    outcome.healthValue = verdict.shownValue;
    if (verdict.passed) {
        outcome.elapsed = ElapsedMs(t0, probeClock());
    } else {
        outcome.healthFailed = true;
        outcome.errorText = verdict.reason;
    }
}

std::optional<Outcome> SlotMonitor::Core::TimedProbe(const std::shared_ptr<PollTicket>& ticket) {
    Watch(ticket);
    CDatabaseProbe& probe = *ticket->probe;
    Outcome outcome;
    const ProbeTime t0 = probeClock();
    if (probe.Connect(probe.ConnectionString(), &outcome.errorText)) {
        if (ticket->health.IsSet()) {
            CheckHealth(probe, ticket->health, t0, outcome);
        } else {
            probe.Disconnect();
            outcome.elapsed = ElapsedMs(t0, probeClock());
        }
    }
    int expected = PollTicket::Probing;
    if (!ticket->state.compare_exchange_strong(expected, PollTicket::Probed)) {
        {
            std::lock_guard lock(pollMutex);
            --hungCalls;
        }
        pollCv.notify_all();
        return std::nullopt;
    }
    return outcome;
}

double SlotMonitor::Core::ProbeTail(const PollTicket& ticket, double elapsed) {
    const int slot = ticket.slot;
    WithSlot(slot, ticket.generation, [&](DatabaseSlot& s) {
        if (elapsed > s.graphScale)
            s.graphScale = elapsed;
        s.history.append(AccessRecord{elapsed, TimeStamp()});
        int status = CDatabaseProbe::Reachable;
        if (elapsed < 0)
            status = CDatabaseProbe::Unreachable;
        else if (ticket.threshold < elapsed)
            status = CDatabaseProbe::Slow;
        if (s.probe)
            s.probe->SetStatus(status);
    });
    return elapsed;
}

void SlotMonitor::Core::RunPoll(int slot) {
    std::shared_ptr<PollTicket> ticket = MakeTicket(slot);
    if (closed || !ticket->probe || !ticket->probe->HasConnection()) {
        EndPoll(slot, ticket->generation, false);
        return;
    }
    // Read afresh each poll, like the alert state: the dialog's OK counts from the next poll.
    ticket->health = ReadHealthQuery(ticket->title);
    std::optional<Outcome> outcome = TimedProbe(ticket);
    if (!outcome)
        return; // the watchdog finished this poll
    FinishPoll(*ticket, *outcome);
}

void SlotMonitor::Core::EndPoll(int slot, quint64 gen, bool probed) {
    {
        std::lock_guard lock(mutex);
        // An interval below a minute can only come from a hand-edited store; taken as it is,
        // it would stop the slot for good or spin it: poll at the shortest interval instead.
        qint64 delay = static_cast<qint64>(std::max(slotData[slot].interval, 1)) * minuteMs;
        if (probed)
            delay -= earlyMs;
        // An unconfirmed failure is checked again after the confirming pause, scaled as minutes.
        if (probed && slotData[slot].confirmDelayMs >= 0)
            delay = slotData[slot].confirmDelayMs * minuteMs / 60000;
        slotData[slot].confirmDelayMs = -1;
        if (generation[slot] != gen && !slotData[slot].probe)
            delay = -1;
        Push(PollEnded{slot, delay});
    }
    {
        std::lock_guard lock(pollMutex);
        --runningPolls;
    }
    pollCv.notify_all();
}
