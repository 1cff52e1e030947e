#pragma once

// The monitor's inner parts, shared by its source files: SlotMonitor.cpp has the public calls,
// PollCycle.cpp the poll, its timing and the watchdog, PollFinish.cpp the alert step and the
// outcome handed to the window. For monitor/ only.

#include "monitor/ComputerState.h"
#include "monitor/SlotMonitor.h"

#include "log/LogWriter.h"
#include "monitor/AlertPolicy.h"
#include "monitor/DesktopNotice.h"
#include "monitor/MonitorSignals.h"
#include "monitor/PollOutcome.h"
#include "monitor/SlotStatus.h"
#include "platform/Notice.h"
#include "probe/DatabaseProbe.h"
#include "settings/SettingKeys.h"
#include "settings/SettingsStore.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <list>
#include <map>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

namespace SlotMonitorDetail {

using Clock = std::chrono::steady_clock;

inline constexpr double kFailed = -99.0;

// Polls run below the UI thread's priority so that a burst of them never makes the window lag.
void LowerThreadPriority();

struct Outcome {
    double elapsed = kFailed;
    QString errorText; // the driver's message, or the failed health query's reason
    // Set when a health query ran: its part of elapsed, and what it found.
    std::optional<double> queryMs;
    QString healthValue;
    bool healthFailed = false;
};

// One poll's claim on the slot. The watchdog and the probing thread race for it: whoever moves
// it out of Probing finishes the poll.
struct PollTicket {
    enum State { Probing, Probed, GivenUp };

    int slot = 0;
    quint64 generation = 0;
    std::shared_ptr<CDatabaseProbe> probe;
    QString title;
    QString connectionString;
    int threshold = 0;
    // The database's health query as its section held it when the poll began; its time-out
    // (and the cancel's grace) lengthens the watchdog's bound.
    HealthQuery health;
    Clock::time_point deadline;
    std::atomic<int> state{Probing};
    qint64 sleptAtStart = 0; // the computer's sleep clock when the poll began
};

} // namespace SlotMonitorDetail

// The monitor's state, shared with its poll threads (which keep it alive while they run).
struct SlotMonitor::Core : std::enable_shared_from_this<Core> {
    using Clock = SlotMonitorDetail::Clock;
    using Outcome = SlotMonitorDetail::Outcome;
    using PollTicket = SlotMonitorDetail::PollTicket;

    // Guards the slots, their generations, the e-mail settings and the poll-ended handler.
    // Events are queued under it, so a poll's outcome never slips in after a command that
    // emptied its slot.
    mutable std::mutex mutex;
    std::array<DatabaseSlot, kSlotCount> slotData;
    // Bumped whenever a slot gets another probe or none, so a poll can tell its slot changed.
    std::array<quint64, kSlotCount> generation{};
    EmailSettings email;

    std::shared_ptr<LogWriter> log;
    std::shared_ptr<ComputerState> computer;
    std::shared_ptr<SmtpClient> smtp;
    std::shared_ptr<IDesktopNotifier> desktop; // under mutex
    std::atomic<INotice*> notice{nullptr};

    std::atomic<bool> accepting{true};
    std::atomic<bool> closed{false};
    std::atomic<bool> shutDown{false};
    // Fixed at construction, before any poll.
    int minuteMs = 60000;
    int earlyMs = 1000;
    int watchdogBoundMs = 0;
    ProbeOptions probeOptions; // set at construction, read-only afterwards
    int stateLockWaitMs = 20000;
    std::function<ProbeTime()> probeClock = SteadyProbeTime;
    std::function<void(const PollOutcome&)> outcomeTap;

    mutable std::mutex pollMutex;
    mutable std::condition_variable pollCv;
    int runningPolls = 0;
    int hungCalls = 0;

    std::mutex watchMutex;
    std::condition_variable watchCv;
    std::list<std::weak_ptr<PollTicket>> tickets;
    bool watchStop = false;
    bool watchIdle = false;
    Clock::time_point watchWake = Clock::time_point::max();
    std::thread watchThread;

    // One lock per database title around its alert state: slots that watch the same title share
    // one "Warned" value, and their polls run side by side (all of them at start-up), so the
    // read, the notice and the write must not interleave or both would alert.
    std::mutex stateLocksMutex;
    std::map<QString, std::shared_ptr<std::mutex>> stateLocks;

    // --- helpers ---
    static void CheckSlot(int slot) { Q_ASSERT(slot >= 0 && slot < kSlotCount); }

    bool Current(int slot, quint64 gen) const { return !closed && generation[slot] == gen; }

    // Runs f(slot record) when the slot still holds the poll's database.
    template <typename F> void WithSlot(int slot, quint64 gen, F&& f) {
        std::lock_guard lock(mutex);
        if (Current(slot, gen))
            f(slotData[slot]);
    }

    // The window's events, in order; taken by the UI thread.
    std::mutex eventsMutex;
    std::vector<MonitorEvent> events;
    MonitorSignals* signaller = nullptr; // under eventsMutex; null after shutdown
    // Queues an event and wakes the UI thread when the queue was empty. Nothing after shutdown.
    void Push(MonitorEvent event);
    // A poll that says nothing about its database: logged and shown grey, nothing else.
    void ShowNotChecked(const PollTicket& ticket, const QString& why);

    void WriteAccessLog(const QString& line) {
        if (!closed && log)
            log->WriteLogLine(line, log->Settings().accessLogPath, false);
    }
    void WriteErrorLog(const QString& line) {
        if (!closed && log)
            log->WriteLogLine(line, log->Settings().errorLogPath, false);
    }
    // One mail of a poll from the return address. A failure is shown as the client would show
    // it, goes to the error log with its reason (unless no mail server is set up at all, as for
    // the warnings that are tried anyway), and the reason, on one line, comes back.
    bool Send(const EmailSettings& mail, const QString& to, const QString& subject,
              const QString& body, QString* reason = nullptr);

    // A desktop notification with the mail's subject and the first line of its body.
    void Desktop(const QString& subject, const QString& body, IDesktopNotifier::Urgency urgency);

    EmailSettings Email() const {
        std::lock_guard lock(mutex);
        return email;
    }

    std::shared_ptr<std::mutex> StateLock(const QString& title);

    int BoundMs() const {
        if (watchdogBoundMs > 0)
            return watchdogBoundMs;
        return probeOptions.loginTimeoutSeconds * 1000 + kWatchdogGraceMs;
    }

    // --- the watchdog ---
    // Tickets are watched through weak references: a finished poll frees its ticket at once and
    // the watchdog forgets it lazily, so the common case costs a push and no wake-up.
    void Watch(const std::shared_ptr<PollTicket>& ticket);

    void WatchLoop();

    // The probing thread is stuck in the driver: finish the poll on a thread of its own and let
    // the slot go on with a fresh probe, leaving the stuck one to its thread.
    void GiveUp(const std::shared_ptr<PollTicket>& ticket);

    void ReplaceHungProbe(const PollTicket& ticket);

    // --- the poll ---
    std::shared_ptr<PollTicket> MakeTicket(int slot);

    // Connect, the health query if there is one, and Disconnect, timed. Nothing when the
    // watchdog gave the call up meanwhile.
    std::optional<Outcome> TimedProbe(const std::shared_ptr<PollTicket>& ticket);

    // The health query on the probe's open connection, then Disconnect; the query's time goes
    // into the outcome apart, the total (from t0) only when it passed.
    void CheckHealth(CDatabaseProbe& probe, const HealthQuery& query, ProbeTime t0,
                     Outcome& outcome);

    // Steps of the timed probe after the probe itself: history, scale, status, tray.
    double ProbeTail(const PollTicket& ticket, double elapsed);

    void RunPoll(int slot);

    void FinishPoll(const PollTicket& ticket, const Outcome& outcome);

    // The alert step under the database's locks: its stored state, the rules' effects in
    // order (logs, desktop notices, mails), the state the mail's result settles, what changed
    // saved and the slot's texts.
    void AlertStep(const PollTicket& t, PollFacts facts, PollOutcome& shown);

    // Shows the texts that another copy stored meanwhile. Texts this program wrote, or cleared
    // from the slot by a reset, stay as they are.
    void AdoptStoredTexts(const PollTicket& t, const AlertState& stored);

    // The slot's statistics, scale and texts added to the outcome, which is queued when the slot
    // still holds the poll's database.
    void ShowSlotStatus(PollOutcome shown);

    // The red or yellow mark for the slots as they are now; none when neither applies. Under
    // mutex.
    std::optional<TrayMark> Mark() const;

    // The poll's last step: re-arm the slot's timer, unless the slot was emptied meanwhile.
    void EndPoll(int slot, quint64 gen, bool probed);
};
