#pragma once

#include "mail/SmtpClient.h"
#include "monitor/DatabaseSlot.h"
#include "monitor/PollOutcome.h"
#include "probe/ProbeOptions.h"

#include <QList>
#include <QString>

#include <chrono>
#include <functional>
#include <memory>
#include <vector>

class CDatabaseProbe;
class IDesktopNotifier;
class INotice;
class MonitorSignals;
class LogWriter;

// The four database slots and the poll that checks one of them: timing a connection,
// classifying it, the access and error logs, the alert rules (AlertPolicy) on the state stored
// in the database's section, the notices and mails, and the poll's outcome for the window. The
// window is never called: outcomes and display resets queue up as values (PollOutcome.h) for the
// UI thread to take.
//
// An alert mail that fails leaves "Warned" at 0 and the alert pending: "alertPending" in the
// database's section keeps when the outage began (so a restart does not lose it), and Last
// alert reads "(alert not sent: <reason>)". The next unreachable poll tries again; a recovery
// that comes first sends the recovery mail with the missed alert in it.
//
// Every method is safe to call from any thread. Polls run on worker threads (the scheduler
// starts them); the slot commands run on the UI thread while polls may be running. A poll keeps
// the probe it started with; if the slot is emptied or given another database meanwhile, the
// poll's outcome is dropped.
//
// Two running copies of the program (a start at logon and one by hand) watch the same databases
// through one settings file. The alert step of a database (reading "Warned", "alertPending" and
// "Down", the mail and notification that follow and the writes) holds the database's section
// lock of the store, so each alert and recovery goes out once; a copy that finds it sent shows
// the texts the store holds.
//
// A poll whose Connect or Disconnect does not return within the login time-out plus 5 s (plus
// the health query's time-out and a second of grace, when the database has one) is given up: it
// ends as unreachable with "No answer from the database within N s", the hung call keeps its probe
// on its own thread, and the slot goes on with a fresh probe for the same connection string and
// title.

struct ComputerState;

// Time units and bounds of the engine, fixed at its construction (tests shorten them).
struct MonitorOptions {
    int minuteMs = 60000; // one minute of interval
    int earlyMs = 1000;   // taken off the interval after a probe
    // What every probe of the engine is given; its login time-out bounds the watchdog.
    ProbeOptions probe;
    // The watchdog's bound; 0 for the login time-out plus 5 s (plus a health query's time-out
    // and a second, per poll).
    int watchdogBoundMs = 0;
    // How long a poll waits for another running copy of the program to finish its alert step
    // on the same database (a mail to a slow server takes a while) before it goes on alone.
    int stateLockWaitMs = 20000;
    // The clock the probe is timed with; null for the steady clock.
    std::function<std::chrono::nanoseconds()> probeClock;
    // Sees every poll's outcome on the poll's thread, in the order polls end (the uptime
    // history); it must not call back into the monitor.
    std::function<void(const PollOutcome&)> outcomeTap;
    // Whether the computer slept or is offline; null: every poll counts, as before.
    std::shared_ptr<ComputerState> computer;
};

class SlotMonitor {
public:
    static constexpr int kSlotCount = 4;
    static constexpr int kWatchdogGraceMs = 5000;
    static constexpr int kShutdownWaitMs = 5000;

    // The log writer and SMTP client are shared so that a poll still running at shutdown never
    // uses freed ones; the notice they report through must live as long as they do.
    SlotMonitor(std::shared_ptr<LogWriter> log, std::shared_ptr<SmtpClient> smtp,
                MonitorOptions options = {});
    // Shutdown(kShutdownWaitMs) unless already done.
    ~SlotMonitor();
    SlotMonitor(const SlotMonitor&) = delete;
    SlotMonitor& operator=(const SlotMonitor&) = delete;

    // --- Start-up ---
    // The intervals and warning thresholds of the four slots ("Interval0".., "Warn0"..).
    void LoadIntervalsAndThresholds();
    // Restores every slot from "lastDatabase"/"lastDatabaseTitle" and the per-database section,
    // without any connection attempt, and prepares the four graphs.
    void RestoreSlots();

    // --- Alert channels ---
    // Desktop notifications beside the mail (none until set): one at the first unreachable
    // poll of an outage, one at the recovery that ends it, one at every slow poll, while the
    // "DesktopNotify" setting is not 0. "Down" in the database's section remembers the outage,
    // so that a restart during it raises no second one.
    void SetDesktopNotifier(std::shared_ptr<IDesktopNotifier> notifier);
    // Where a poll's mail failures are shown, as the SMTP client would show them itself; the
    // polls also log them and keep the reason. Must outlive every poll, like the client's own.
    void SetNotice(INotice* notice);

    // --- Settings the window holds ---
    void SetEmailSettings(const EmailSettings& settings);
    EmailSettings Email() const;
    bool EmailSetUp() const;

    // --- Slot data ---
    // The options of the probes the monitor makes, for a selection's probe to share.
    const ProbeOptions& OptionsForProbes() const;
    std::shared_ptr<CDatabaseProbe> Probe(int slot) const;
    bool HasProbe(int slot) const;
    bool IsConfigured(int slot) const;
    QString Title(int slot) const;
    // The connection string the slot's database was stored with; empty for an empty slot.
    QString ConnectionString(int slot) const;
    int Interval(int slot) const;
    void SetInterval(int slot, int minutes);
    int Threshold(int slot) const;
    void SetThreshold(int slot, int milliseconds);
    QList<AccessRecord> History(int slot) const;
    double GraphScale(int slot) const;
    QString LastAlert(int slot) const;
    QString LastRecovery(int slot) const;

    // --- Slot commands (UI thread) ---
    // The slot's probe becomes this one (null empties the slot). A probe replaced or removed
    // while a poll uses it is released when that poll ends. Settings keys are not touched.
    void SetProbe(int slot, std::shared_ptr<CDatabaseProbe> probe);
    // Clears what the slot shows and remembers: texts, label colour, graph, history, scale.
    void ResetSlotDisplay(int slot);

    // --- The poll ---
    // One poll of the slot on the calling thread; ends with the poll-ended handler.
    void PollSlot(int slot);
    // Starts PollSlot on a new thread at lowered priority and returns at once.
    void StartPoll(int slot);

    // --- What the UI thread is handed ---
    // Every poll's outcome and end and every display reset, in the order they happened, since
    // the last call. For the UI thread (any one thread).
    std::vector<MonitorEvent> TakeEvents();
    // Takes the events and emits delivered() for each, on the calling thread. The engine's
    // wake-up runs it on the thread the engine was made on; tests call it to flush the queue.
    void DeliverEvents();
    // Emits eventsReady() from the thread that queued into an empty queue.
    MonitorSignals* Signals() const;
    // Bumped whenever the slot gets another probe or none: an outcome of an older generation
    // is about a database the slot no longer shows.
    quint64 Generation(int slot) const;

    // Polls started and not yet ended (hung calls given up by the watchdog not counted).
    int RunningPolls() const;
    // Connect/Disconnect calls given up by the watchdog that have not returned yet.
    int HungCalls() const;
    // Waits up to timeoutMs for running polls to end (true when none is left).
    bool WaitForPolls(int timeoutMs) const;

    // Refuses new polls, waits up to waitMs for running ones, then cuts every poll still
    // running off the window, the logs, the mail and the slots.
    void Shutdown(int waitMs = kShutdownWaitMs);

    int MinuteMs() const;
    int WatchdogBoundMs() const;

private:
    struct Core;
    std::shared_ptr<Core> m_core;
    std::unique_ptr<MonitorSignals> m_signals;
};
