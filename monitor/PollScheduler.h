#pragma once

#include <QObject>
#include <QString>

#include <array>
#include <memory>
#include <utility>
#include <vector>

class CDatabaseProbe;
class QTimer;
class SlotMonitor;

// Decides when each slot is polled: one single-shot timer per slot (ids 312 to 315) and the
// start-up timer (245), all on the UI thread. A tick starts the slot's poll on a thread of its
// own; the poll re-arms the timer when it ends.
//
// One poll per slot at a time: a tick that comes while the slot's poll still runs waits for that
// poll to end and then starts the next one. A Poll click or a spin change during a poll arms the
// timer as usual; the running poll's own re-arm then leaves that timer alone.
//
// Lives on the UI thread; every method is called there. What the window is to do (captions,
// hiding, the first-start prompt) it asks through its signals; it reads nothing of the window.
class PollScheduler : public QObject {
    Q_OBJECT
public:
    static constexpr int kStartupTimerId = 245;
    static constexpr int kSlotTimerBase = 312;
    static constexpr int kFirstTickMs = 100;

    // The monitor must outlive the scheduler.
    explicit PollScheduler(SlotMonitor* monitor, QObject* parent = nullptr);
    // Stops the timers and shuts the monitor down (waits up to 5 s for running polls).
    ~PollScheduler() override;

    // Window initialisation: the first-start flag is set and the start-up timer and the four
    // slot timers are armed at 100 ms.
    void Start();

    // Timer tick by id (312 + slot or 245); other ids are ignored. Public so that the window and
    // the tests can drive it like the platform's timer message.
    void Tick(int timerId);

    // --- Slot commands ---
    // Kill the slot's timer and arm it at 100 ms (Poll button, Enter for slot 0).
    void PollNow(int slot);
    // Kill the slot's timer; nothing re-arms it until PollNow, a spin click or a selection.
    void Stop(int slot);
    // The spin beside the slot's interval: boxText is what the interval box shows (empty counts
    // as 5), proposedDelta the control's proposed change of position (-1 for the up arrow, +1
    // for the down arrow). The interval is stored and the timer restarted; returns the new
    // interval (at least 1), for the box to show.
    int SpinInterval(int slot, const QString& boxText, int proposedDelta);
    // A value the window settled (typed, or stepped and held to the box's range): stored as the
    // slot's interval and its timer restarted, as a spin click does.
    void SetIntervalNow(int slot, int minutes);
    // Select Database after the probe was made: the probe becomes the slot's, whatever the
    // outcome. Connected: "lastDatabase"/"lastDatabaseTitle" written, captions := title, and the
    // slot polled in 100 ms. Otherwise the empty slot's captions; the stored keys stay.
    void SelectDatabase(int slot, std::shared_ptr<CDatabaseProbe> probe);
    // Del after the user said Yes: timer stopped, probe released (after a poll still using it),
    // keys cleared, captions reset, display reset. False when the slot had no probe. The window
    // applies its layout afterwards.
    bool RemoveDatabase(int slot);
    // The "Reset Database N" menu command.
    void ResetSlotDisplay(int slot);

    void SetFirstStart(bool firstStart) { m_firstStart = firstStart; }
    bool FirstStart() const { return m_firstStart; }

    // State, for the window and the tests.
    bool IsArmed(int slot) const;
    int RemainingMs(int slot) const;
    bool IsPolling(int slot) const;

    // Stops every timer, refuses new polls, waits up to waitMs for running ones and then cuts
    // them off the window. Idempotent.
    void Shutdown(int waitMs);

signals:
    // Emitted before the poll takes the slot's settings: a directly connected receiver may
    // still store what the window holds for it.
    void PollStarted(int slot);
    void PollEnded(int slot);
    // Captions of the slot's group box and of its Select Database button: the title for both,
    // or "Database N" and "Select Database" for a slot without a connected database.
    void CaptionsChanged(int slot, const QString& group, const QString& button);
    // Start-up with "Hid" set: the window hides; it stays reachable from the tray.
    void HideRequested();
    // The first-start e-mail prompt, before "Database 1" is first polled: connected directly,
    // the receiver opens the e-mail settings modally and hands any new settings to the engine
    // before it returns.
    void EmailPromptRequested();

private:
    struct SlotTimer {
        QTimer* timer = nullptr;
        bool polling = false;
        // A tick that came while the poll ran, to start once it has ended.
        bool tickWaiting = false;
        // Poll now, a spin or a stop set the timer while the poll ran: the poll's re-arm must
        // not override it.
        bool leaveTimer = false;
    };

    void Arm(int slot, qint64 delayMs);
    void OnStartupTick();
    void OnSlotTick(int slot);
    void OnPollEnded(int slot, qint64 delayMs);

    SlotMonitor* m_monitor;
    QTimer* m_startupTimer;
    std::array<SlotTimer, 4> m_slots;
    bool m_firstStart = false;
    bool m_shutDown = false;
};
