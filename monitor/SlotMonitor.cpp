#include "monitor/SlotMonitor.h"

#include "log/LogWriter.h"
#include "monitor/DesktopNotice.h"
#include "monitor/MonitorView.h"
#include "monitor/SlotStatus.h"
#include "platform/Notice.h"
#include "probe/DatabaseProbe.h"
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

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
using Field = IMonitorView::SlotField;

constexpr double kFailed = -99.0;

// Keys of a database's own section.
const QString kWarned = QStringLiteral("Warned");
const QString kDown = QStringLiteral("Down");
const QString kAlertPending = QStringLiteral("alertPending");
const QString kMissingAlert = QStringLiteral("(alert not sent, missing email setup)");
const QString kMissingRecovery = QStringLiteral("(recovery not sent, missing email setup)");

const QString& Settings() {
    static const QString s = QString::fromLatin1(SettingsStore::kSettings);
    return s;
}

// Polls run below the UI thread's priority so that a burst of them never makes the window lag.
void LowerThreadPriority() {
    const id_t tid = static_cast<id_t>(::syscall(SYS_gettid));
    errno = 0;
    const int current = ::getpriority(PRIO_PROCESS, tid);
    if (errno == 0)
        ::setpriority(PRIO_PROCESS, tid, std::min(current + 5, 19));
}

struct Outcome {
    double elapsed = kFailed;
    QString errorText;
};

} // namespace

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
    bool fullPoll = true;
    Clock::time_point deadline;
    std::atomic<int> state{Probing};
};

struct SlotMonitor::Core : std::enable_shared_from_this<Core> {
    // Guards the slots, their generations, the e-mail settings, the view pointer and the
    // poll-ended handler. View calls are made under it: they only queue, and holding it keeps a
    // poll's update from slipping in after a command that emptied its slot.
    mutable std::mutex mutex;
    std::array<DatabaseSlot, kSlotCount> slotData;
    // Bumped whenever a slot gets another probe or none, so a poll can tell its slot changed.
    std::array<quint64, kSlotCount> generation{};
    EmailSettings email;
    IMonitorView* view = nullptr;
    PollEndedHandler pollEnded;

    std::shared_ptr<LogWriter> log;
    std::shared_ptr<SmtpClient> smtp;
    std::shared_ptr<IDesktopNotifier> desktop; // under mutex
    std::atomic<INotice*> notice{nullptr};

    std::atomic<bool> accepting{true};
    std::atomic<bool> closed{false};
    std::atomic<bool> shutDown{false};
    std::atomic<bool> trayBusy{false};
    std::atomic<int> minuteMs{60000};
    std::atomic<int> earlyMs{1000};
    std::atomic<int> trayFrameMs{kTrayFrameMs};
    std::atomic<int> watchdogBoundMs{0};
    std::function<std::uint32_t()> tickSource = TickCount; // set before polls start

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

    // Runs f(slot record, view or null) when the slot still holds the poll's database.
    template <typename F> void WithSlot(int slot, quint64 gen, F&& f) {
        std::lock_guard lock(mutex);
        if (Current(slot, gen))
            f(slotData[slot], view);
    }

    void SetColour(int slot, quint64 gen, int rgb) {
        WithSlot(slot, gen, [&](DatabaseSlot&, IMonitorView* v) {
            if (v)
                v->SetLabelColour(slot, rgb);
        });
    }

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
              const QString& body, QString* reason = nullptr) {
        if (closed || !smtp)
            return false;
        QString failure;
        if (smtp->SendMail(mail.returnAddress, to, subject, body, SendOptions{&failure, &closed}))
            return true;
        if (closed)
            return false;
        if (INotice* n = notice.load(); n && !failure.isEmpty())
            n->ShowNotice(failure);
        const QString why = failure.isEmpty()
                                ? QStringLiteral("The mail server did not accept the message.")
                                : failure.simplified();
        if (!mail.server.isEmpty())
            WriteErrorLog(QStringLiteral("Mail not sent (") + subject + QStringLiteral("): ") +
                          why);
        if (reason)
            *reason = why;
        return false;
    }

    // A desktop notification with the mail's subject and the first line of its body.
    void Desktop(const QString& subject, const QString& body, IDesktopNotifier::Urgency urgency) {
        std::shared_ptr<IDesktopNotifier> notifier;
        {
            std::lock_guard lock(mutex);
            notifier = desktop;
        }
        if (!notifier || closed ||
            SettingsStore::ReadInt(Settings(), QStringLiteral("DesktopNotify"), 1) == 0)
            return;
        // Subjects are "<kind> - <title>": one notification per database, the newest in place
        // of the one before.
        notifier->Notify(subject, body.section(u'\n', 0, 0), urgency,
                         subject.section(QStringLiteral(" - "), 1));
    }

    EmailSettings Email() const {
        std::lock_guard lock(mutex);
        return email;
    }

    std::shared_ptr<std::mutex> StateLock(const QString& title) {
        std::lock_guard lock(stateLocksMutex);
        std::shared_ptr<std::mutex>& m = stateLocks[title];
        if (!m)
            m = std::make_shared<std::mutex>();
        return m;
    }

    int BoundMs() const {
        const int fixed = watchdogBoundMs;
        if (fixed > 0)
            return fixed;
        return CDatabaseProbe::LoginTimeoutSeconds() * 1000 + kWatchdogGraceMs;
    }

    // --- the watchdog ---
    // Tickets are watched through weak references: a finished poll frees its ticket at once and
    // the watchdog forgets it lazily, so the common case costs a push and no wake-up.
    void Watch(const std::shared_ptr<PollTicket>& ticket) {
        ticket->deadline = Clock::now() + std::chrono::milliseconds(BoundMs());
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

    void WatchLoop() {
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

    // The probing thread is stuck in the driver: finish the poll on a thread of its own and let
    // the slot go on with a fresh probe, leaving the stuck one to its thread.
    void GiveUp(const std::shared_ptr<PollTicket>& ticket) {
        {
            std::lock_guard lock(pollMutex);
            ++hungCalls;
        }
        const int seconds = (BoundMs() + 999) / 1000;
        const QString error =
            QStringLiteral("No answer from the database within %1 s").arg(seconds);
        auto self = shared_from_this();
        try {
            std::thread([self, ticket, error] {
                LowerThreadPriority();
                self->ReplaceHungProbe(*ticket);
                if (ticket->fullPoll)
                    self->FinishPoll(*ticket, Outcome{kFailed, error});
                else
                    self->ProbeTail(*ticket, kFailed);
            }).detach();
        } catch (const std::system_error&) {
            // No thread to be had: finish here rather than leave the slot stopped.
            ReplaceHungProbe(*ticket);
            if (ticket->fullPoll)
                FinishPoll(*ticket, Outcome{kFailed, error});
        }
    }

    void ReplaceHungProbe(const PollTicket& ticket) {
        std::lock_guard lock(mutex);
        DatabaseSlot& s = slotData[ticket.slot];
        if (generation[ticket.slot] != ticket.generation || s.probe != ticket.probe)
            return;
        s.probe.reset(CDatabaseProbe::FromStored(s.connectionString, s.title));
    }

    // --- the poll ---
    std::shared_ptr<PollTicket> MakeTicket(int slot, bool fullPoll) {
        auto ticket = std::make_shared<PollTicket>();
        std::lock_guard lock(mutex);
        const DatabaseSlot& s = slotData[slot];
        ticket->slot = slot;
        ticket->generation = generation[slot];
        ticket->probe = s.probe;
        ticket->title = s.title;
        ticket->connectionString = s.connectionString;
        ticket->threshold = s.warningThreshold;
        ticket->fullPoll = fullPoll;
        return ticket;
    }

    // Connect and Disconnect, timed. Nothing when the watchdog gave the call up meanwhile.
    std::optional<Outcome> TimedProbe(const std::shared_ptr<PollTicket>& ticket) {
        Watch(ticket);
        CDatabaseProbe& probe = *ticket->probe;
        Outcome outcome;
        const std::uint32_t t0 = tickSource();
        if (probe.Connect(probe.ConnectionString(), &outcome.errorText)) {
            probe.Disconnect();
            outcome.elapsed = ElapsedMs(t0, tickSource());
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

    // Steps of the timed probe after the probe itself: history, scale, status, tray.
    double ProbeTail(const PollTicket& ticket, double elapsed) {
        const int slot = ticket.slot;
        WithSlot(slot, ticket.generation, [&](DatabaseSlot& s, IMonitorView*) {
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
        if (!closed)
            UpdateTrayStatus(ticket.title);
        return elapsed;
    }

    void RunPoll(int slot) {
        std::shared_ptr<PollTicket> ticket = MakeTicket(slot, true);
        if (closed || !ticket->probe || !ticket->probe->HasConnection()) {
            EndPoll(slot, ticket->generation, false);
            return;
        }
        std::optional<Outcome> outcome = TimedProbe(ticket);
        if (!outcome)
            return; // the watchdog finished this poll
        FinishPoll(*ticket, *outcome);
    }

    void FinishPoll(const PollTicket& ticket, const Outcome& outcome) {
        const int slot = ticket.slot;
        const quint64 gen = ticket.generation;
        bool current;
        {
            std::lock_guard lock(mutex);
            current = Current(slot, gen);
        }
        if (!current) {
            // Emptied or given another database while the probe ran: nothing to report.
            EndPoll(slot, gen, true);
            return;
        }
        const double elapsed = ProbeTail(ticket, outcome.elapsed);
        const double threshold = ticket.threshold;
        const bool slowMark = threshold < elapsed;
        WithSlot(slot, gen, [&](DatabaseSlot&, IMonitorView* v) {
            if (v)
                v->AddGraphSample(slot, elapsed > 0 ? elapsed : 0.0, slowMark ? 1.0 : 0.0);
        });
        const QString stampA = TimeStamp();
        if (elapsed < 0) {
            Unreachable(ticket, outcome.errorText, stampA);
        } else if (threshold < elapsed) {
            Slow(ticket, elapsed, stampA);
            Recovery(ticket);
        } else {
            Reachable(ticket, elapsed);
            Recovery(ticket);
        }
        ShowSlotStatus(slot, gen, elapsed);
        EndPoll(slot, gen, true);
    }

    void Unreachable(const PollTicket& t, const QString& errorText, const QString& stampA) {
        const QString& title = t.title;
        SetColour(t.slot, t.generation, IMonitorView::kColourUnreachable);
        WriteErrorLog(QStringLiteral("Database unreachable: ") + title);
        const std::shared_ptr<std::mutex> state = StateLock(title);
        std::lock_guard stateLock(*state);
        if (closed)
            return;
        const int warned = SettingsStore::ReadInt(title, kWarned, 0);
        const QString pending = SettingsStore::ReadString(title, kAlertPending);
        const QString subject = QStringLiteral("Alert - ") + title;
        const QString body =
            QStringLiteral("Database unreachable") + stampA + QStringLiteral("\n\n") + errorText;
        // The desktop hears of an outage once, at its first poll, whatever becomes of the mail.
        if (SettingsStore::ReadInt(title, kDown, Down(warned, pending)) == 0) {
            SettingsStore::WriteInt(title, kDown, 1);
            Desktop(subject, body, IDesktopNotifier::Urgency::Critical);
        }
        if (warned != 0)
            return;
        const EmailSettings mail = Email();
        SetTexts(t, nullptr, QString());
        if (mail.server.isEmpty()) {
            SetTexts(t, &kMissingAlert, std::nullopt);
            SettingsStore::WriteString(title, kAlertPending, QString());
            SettingsStore::WriteInt(title, kWarned, 1);
            return;
        }
        QString reason;
        if (Send(mail, mail.alertRecipient, subject, body, &reason)) {
            SetTexts(t, &stampA, std::nullopt);
            if (!pending.isEmpty())
                SettingsStore::WriteString(title, kAlertPending, QString());
            SettingsStore::WriteInt(title, kWarned, 1);
            return;
        }
        // "Warned" stays 0: the next unreachable poll tries again.
        const QString notSent = QStringLiteral("(alert not sent: ") + reason + u')';
        SetTexts(t, &notSent, std::nullopt);
        if (pending.isEmpty())
            SettingsStore::WriteString(title, kAlertPending, stampA);
    }

    void Slow(const PollTicket& t, double elapsed, const QString& stampA) {
        SetColour(t.slot, t.generation, IMonitorView::kColourSlow);
        const QString line =
            QStringLiteral("WARNING ") + t.title + u' ' + FormatMs(elapsed) + QStringLiteral("ms");
        WriteAccessLog(line);
        WriteErrorLog(line);
        const QString subject = QStringLiteral("Warning - ") + t.title;
        const QString body = QStringLiteral("Slow response from database (") + FormatMs(elapsed) +
                             QStringLiteral("ms)") + stampA;
        Desktop(subject, body, IDesktopNotifier::Urgency::Normal);
        // Every slow poll warns, whether or not e-mail is set up; the result does not matter.
        const EmailSettings mail = Email();
        Send(mail, mail.alertRecipient, subject, body);
    }

    void Reachable(const PollTicket& t, double elapsed) {
        SetColour(t.slot, t.generation, IMonitorView::kColourReachable);
        WriteAccessLog(QStringLiteral("SUCCESS ") + t.title + u' ' + FormatMs(elapsed) +
                       QStringLiteral("ms"));
    }

    void Recovery(const PollTicket& t) {
        const QString& title = t.title;
        const std::shared_ptr<std::mutex> state = StateLock(title);
        std::lock_guard stateLock(*state);
        if (closed)
            return;
        const int warned = SettingsStore::ReadInt(title, kWarned, 0);
        const QString pending = SettingsStore::ReadString(title, kAlertPending);
        const QString subject = QStringLiteral("Recovery - ") + title;
        const QString stampR = TimeStamp();
        if (SettingsStore::ReadInt(title, kDown, Down(warned, pending)) != 0) {
            SettingsStore::WriteInt(title, kDown, 0);
            Desktop(subject, QStringLiteral("Database recovered") + stampR,
                    IDesktopNotifier::Urgency::Normal);
        }
        if (warned == 0 && pending.isEmpty())
            return;
        const EmailSettings mail = Email();
        if (mail.server.isEmpty()) {
            SetTexts(t, nullptr, kMissingRecovery);
            SettingsStore::WriteString(title, kAlertPending, QString());
            SettingsStore::WriteInt(title, kWarned, 0);
            return;
        }
        SetTexts(t, nullptr, stampR);
        QString body = QStringLiteral("Database recovered") + stampR;
        // The alert never went out: this mail is the only word of the outage.
        if (warned == 0)
            body += QStringLiteral("\n\nThe database became unreachable") + pending +
                    QStringLiteral("; the alert could not be sent then.");
        QString reason;
        if (Send(mail, mail.recoveryRecipient, subject, body, &reason)) {
            if (warned == 0) {
                SetTexts(t, &stampR, std::nullopt);
                SettingsStore::WriteString(title, kAlertPending, QString());
            }
            SettingsStore::WriteInt(title, kWarned, 0);
        } else if (warned == 0) {
            // Tried again at the next answer, like a recovery that failed.
            const QString notSent = QStringLiteral("(alert not sent: ") + reason + u')';
            SetTexts(t, &notSent, std::nullopt);
        }
    }

    // An outage that began before "Down" was kept is still one.
    static int Down(int warned, const QString& pending) {
        return warned != 0 || !pending.isEmpty() ? 1 : 0;
    }

    // The slot's Last alert and Last recovery texts, in the slot and in the database's section;
    // a null alert or a missing recovery is left as it is.
    void SetTexts(const PollTicket& t, const QString* alert, std::optional<QString> recovery) {
        WithSlot(t.slot, t.generation, [&](DatabaseSlot& s, IMonitorView*) {
            if (alert)
                s.lastAlert = *alert;
            if (recovery)
                s.lastRecovery = *recovery;
        });
        if (alert)
            SettingsStore::WriteString(t.title, QStringLiteral("lastAlert"), *alert);
        if (recovery)
            SettingsStore::WriteString(t.title, QStringLiteral("lastRecovery"), *recovery);
    }

    void ShowSlotStatus(int slot, quint64 gen, double elapsed) {
        WithSlot(slot, gen, [&](DatabaseSlot& s, IMonitorView* v) {
            if (s.history.size() > kHistoryLength)
                s.history.removeFirst();
            const AccessStatistics stats = ComputeAccessStatistics(s.history, s.graphScale);
            s.graphScale = RoundScale(stats.scaleCandidate);
            if (!v)
                return;
            v->SetGraphLegend(slot, LegendTexts(s.graphScale));
            v->SetGraphScale(slot, s.graphScale);
            const QString ms = QStringLiteral("ms");
            v->SetSlotText(slot, Field::LastAccess,
                           (elapsed > 0 ? FormatMs(elapsed) + ms : QStringLiteral("unavailable")) +
                               TimeStamp());
            if (stats.best.elapsed > 0)
                v->SetSlotText(slot, Field::BestAccess,
                               FormatMs(stats.best.elapsed) + ms + stats.best.when);
            if (stats.worst.elapsed > 0)
                v->SetSlotText(slot, Field::WorstAccess,
                               FormatMs(stats.worst.elapsed) + ms + stats.worst.when);
            v->SetSlotText(slot, Field::LastAlert, s.lastAlert);
            v->SetSlotText(slot, Field::LastRecovery, s.lastRecovery);
        });
    }

    void Tray(int icon, const QString& tip) {
        std::lock_guard lock(mutex);
        if (view && !closed)
            view->SetTrayIcon(icon, tip);
    }

    void UpdateTrayStatus(const QString& title) {
        bool expected = false;
        if (!trayBusy.compare_exchange_strong(expected, true))
            return; // another poll is animating
        const QString tip = QStringLiteral("Trellion\n") + title;
        const int frameMs = trayFrameMs;
        for (int icon = kIconFirstFrame; icon <= kIconLastFrame; ++icon) {
            Tray(icon, tip);
            if (frameMs > 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(frameMs));
        }
        Tray(kIconMain, tip);
        TraySummary(std::nullopt);
        trayBusy = false;
    }

    // The red or yellow mark for the slots as they are now; plain is shown when neither applies
    // (none after a poll, which has just shown its own tip). Counting and showing under one lock
    // keeps a summary from overtaking a later one.
    void TraySummary(const std::optional<QString>& plain) {
        std::lock_guard lock(mutex);
        if (!view || closed)
            return;
        int unreachable = 0;
        int slow = 0;
        for (const DatabaseSlot& s : slotData) {
            if (!s.probe)
                continue;
            const int status = s.probe->GetStatus();
            unreachable += status == CDatabaseProbe::Unreachable;
            slow += status == CDatabaseProbe::Slow;
        }
        if (unreachable > 0)
            view->SetTrayIcon(kIconUnreachable,
                              QStringLiteral("Trellion\nAt least one database in unreachable"));
        else if (slow > 0)
            view->SetTrayIcon(kIconSlow, QStringLiteral("Trellion\nAt least one database in slow"));
        else if (plain)
            view->SetTrayIcon(kIconMain, *plain);
    }

    // The poll's last step: re-arm the slot's timer, unless the slot was emptied meanwhile.
    void EndPoll(int slot, quint64 gen, bool probed) {
        {
            std::lock_guard lock(mutex);
            // An interval below a minute can only come from a hand-edited store; taken as it is,
            // it would stop the slot for good or spin it: poll at the shortest interval instead.
            qint64 delay = static_cast<qint64>(std::max(slotData[slot].interval, 1)) * minuteMs;
            if (probed)
                delay -= earlyMs;
            if (generation[slot] != gen && !slotData[slot].probe)
                delay = -1;
            if (pollEnded && !closed)
                pollEnded(slot, delay);
        }
        {
            std::lock_guard lock(pollMutex);
            --runningPolls;
        }
        pollCv.notify_all();
    }
};

SlotMonitor::SlotMonitor(IMonitorView* view, std::shared_ptr<LogWriter> log,
                         std::shared_ptr<SmtpClient> smtp)
    : m_core(std::make_shared<Core>()) {
    m_core->view = view;
    m_core->log = std::move(log);
    m_core->smtp = std::move(smtp);
}

SlotMonitor::~SlotMonitor() {
    Shutdown(kShutdownWaitMs);
}

void SlotMonitor::LoadIntervalsAndThresholds() {
    for (int i = 0; i < kSlotCount; ++i) {
        const int interval = SettingsStore::ReadInt(Settings(), SlotKeys::Interval(i),
                                                    DatabaseSlot::kDefaultInterval);
        const int threshold =
            SettingsStore::ReadInt(Settings(), SlotKeys::Warn(i), DatabaseSlot::kDefaultThreshold);
        std::lock_guard lock(m_core->mutex);
        m_core->slotData[i].interval = interval;
        m_core->slotData[i].warningThreshold = threshold;
    }
}

void SlotMonitor::RestoreSlots() {
    for (int i = 0; i < kSlotCount; ++i) {
        const QString connection = SettingsStore::ReadString(Settings(), SlotKeys::LastDatabase(i));
        std::shared_ptr<CDatabaseProbe> probe;
        QString title;
        QString lastAlert;
        QString lastRecovery;
        if (!connection.isEmpty()) {
            // No connection attempt: a database that hangs must not freeze the start.
            title = SettingsStore::ReadString(Settings(), SlotKeys::LastDatabaseTitle(i));
            probe.reset(CDatabaseProbe::FromStored(connection, title));
            lastAlert = SettingsStore::ReadString(title, QStringLiteral("lastAlert"));
            lastRecovery = SettingsStore::ReadString(title, QStringLiteral("lastRecovery"));
        }
        std::lock_guard lock(m_core->mutex);
        DatabaseSlot& s = m_core->slotData[i];
        s.probe = std::move(probe);
        s.title = title;
        s.connectionString = connection;
        s.lastAlert = lastAlert;
        s.lastRecovery = lastRecovery;
        s.history.clear();
        s.graphScale = DatabaseSlot::kInitialScale;
        ++m_core->generation[i];
        if (m_core->view)
            m_core->view->ResetGraph(i);
    }
}

void SlotMonitor::SetDesktopNotifier(std::shared_ptr<IDesktopNotifier> notifier) {
    std::lock_guard lock(m_core->mutex);
    m_core->desktop = std::move(notifier);
}

void SlotMonitor::SetNotice(INotice* notice) {
    m_core->notice = notice;
}

void SlotMonitor::SetEmailSettings(const EmailSettings& settings) {
    std::lock_guard lock(m_core->mutex);
    m_core->email = settings;
}

EmailSettings SlotMonitor::Email() const {
    return m_core->Email();
}

bool SlotMonitor::EmailSetUp() const {
    return !Email().server.isEmpty();
}

std::shared_ptr<CDatabaseProbe> SlotMonitor::Probe(int slot) const {
    Core::CheckSlot(slot);
    std::lock_guard lock(m_core->mutex);
    return m_core->slotData[slot].probe;
}

bool SlotMonitor::HasProbe(int slot) const {
    return Probe(slot) != nullptr;
}

bool SlotMonitor::IsConfigured(int slot) const {
    const auto probe = Probe(slot);
    return probe && probe->HasConnection();
}

QString SlotMonitor::Title(int slot) const {
    Core::CheckSlot(slot);
    std::lock_guard lock(m_core->mutex);
    return m_core->slotData[slot].title;
}

QString SlotMonitor::ConnectionString(int slot) const {
    Core::CheckSlot(slot);
    std::lock_guard lock(m_core->mutex);
    return m_core->slotData[slot].connectionString;
}

int SlotMonitor::Interval(int slot) const {
    Core::CheckSlot(slot);
    std::lock_guard lock(m_core->mutex);
    return m_core->slotData[slot].interval;
}

void SlotMonitor::SetInterval(int slot, int minutes) {
    Core::CheckSlot(slot);
    std::lock_guard lock(m_core->mutex);
    m_core->slotData[slot].interval = minutes;
}

int SlotMonitor::Threshold(int slot) const {
    Core::CheckSlot(slot);
    std::lock_guard lock(m_core->mutex);
    return m_core->slotData[slot].warningThreshold;
}

void SlotMonitor::SetThreshold(int slot, int milliseconds) {
    Core::CheckSlot(slot);
    std::lock_guard lock(m_core->mutex);
    m_core->slotData[slot].warningThreshold = milliseconds;
}

QList<AccessRecord> SlotMonitor::History(int slot) const {
    Core::CheckSlot(slot);
    std::lock_guard lock(m_core->mutex);
    return m_core->slotData[slot].history;
}

double SlotMonitor::GraphScale(int slot) const {
    Core::CheckSlot(slot);
    std::lock_guard lock(m_core->mutex);
    return m_core->slotData[slot].graphScale;
}

QString SlotMonitor::LastAlert(int slot) const {
    Core::CheckSlot(slot);
    std::lock_guard lock(m_core->mutex);
    return m_core->slotData[slot].lastAlert;
}

QString SlotMonitor::LastRecovery(int slot) const {
    Core::CheckSlot(slot);
    std::lock_guard lock(m_core->mutex);
    return m_core->slotData[slot].lastRecovery;
}

void SlotMonitor::SetProbe(int slot, std::shared_ptr<CDatabaseProbe> probe) {
    Core::CheckSlot(slot);
    // Read before the probe is shared: no poll uses it yet.
    const QString title = probe ? probe->Title() : QString();
    const QString connection = probe ? probe->ConnectionString() : QString();
    std::shared_ptr<CDatabaseProbe> old;
    {
        std::lock_guard lock(m_core->mutex);
        DatabaseSlot& s = m_core->slotData[slot];
        old = std::move(s.probe);
        s.probe = std::move(probe);
        s.title = title;
        s.connectionString = connection;
        ++m_core->generation[slot];
    }
    // A database that leaves the slot takes its mark off the tray.
    if (const int was = old ? old->GetStatus() : 0;
        was == CDatabaseProbe::Unreachable || was == CDatabaseProbe::Slow)
        m_core->TraySummary(QStringLiteral("Trellion"));
    // old goes out of scope here, outside the lock; a running poll still holds its own copy.
}

void SlotMonitor::ResetSlotDisplay(int slot) {
    Core::CheckSlot(slot);
    std::lock_guard lock(m_core->mutex);
    DatabaseSlot& s = m_core->slotData[slot];
    s.lastAlert.clear();
    s.lastRecovery.clear();
    if (IMonitorView* v = m_core->view; v && !m_core->closed) {
        v->SetLabelColour(slot, IMonitorView::kColourDefault);
        for (Field f : {Field::LastAccess, Field::BestAccess, Field::WorstAccess, Field::LastAlert,
                        Field::LastRecovery})
            v->SetSlotText(slot, f, QString());
        v->ResetGraph(slot);
    }
    s.graphScale = DatabaseSlot::kInitialScale;
    s.history.clear();
}

void SlotMonitor::PollSlot(int slot) {
    Core::CheckSlot(slot);
    {
        std::lock_guard lock(m_core->pollMutex);
        ++m_core->runningPolls;
    }
    m_core->RunPoll(slot);
}

double SlotMonitor::ProbeAndTime(int slot, QString* errorText) {
    Core::CheckSlot(slot);
    auto ticket = m_core->MakeTicket(slot, false);
    if (!ticket->probe || !ticket->probe->HasConnection())
        return kFailed;
    std::optional<Outcome> outcome = m_core->TimedProbe(ticket);
    if (!outcome)
        return kFailed;
    if (errorText)
        *errorText = outcome->errorText;
    return m_core->ProbeTail(*ticket, outcome->elapsed);
}

void SlotMonitor::StartPoll(int slot) {
    Core::CheckSlot(slot);
    if (!m_core->accepting)
        return;
    {
        std::lock_guard lock(m_core->pollMutex);
        ++m_core->runningPolls;
    }
    auto core = m_core;
    try {
        std::thread([core, slot] {
            LowerThreadPriority();
            core->RunPoll(slot);
        }).detach();
    } catch (const std::system_error&) {
        // Out of threads: end the poll at once so that the timer is armed again.
        core->EndPoll(slot, core->MakeTicket(slot, true)->generation, false);
    }
}

void SlotMonitor::ShowSlotStatus(int slot, double elapsed) {
    Core::CheckSlot(slot);
    quint64 gen;
    {
        std::lock_guard lock(m_core->mutex);
        gen = m_core->generation[slot];
    }
    m_core->ShowSlotStatus(slot, gen, elapsed);
}

void SlotMonitor::UpdateTrayStatus(const QString& title) {
    m_core->UpdateTrayStatus(title);
}

void SlotMonitor::SetPollEndedHandler(PollEndedHandler handler) {
    std::lock_guard lock(m_core->mutex);
    m_core->pollEnded = std::move(handler);
}

int SlotMonitor::RunningPolls() const {
    std::lock_guard lock(m_core->pollMutex);
    return m_core->runningPolls;
}

int SlotMonitor::HungCalls() const {
    std::lock_guard lock(m_core->pollMutex);
    return m_core->hungCalls;
}

bool SlotMonitor::WaitForPolls(int timeoutMs) const {
    std::unique_lock lock(m_core->pollMutex);
    return m_core->pollCv.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                   [this] { return m_core->runningPolls == 0; });
}

void SlotMonitor::Shutdown(int waitMs) {
    if (m_core->shutDown.exchange(true))
        return;
    m_core->accepting = false;
    WaitForPolls(waitMs);
    {
        std::lock_guard lock(m_core->mutex);
        m_core->closed = true;
        m_core->view = nullptr;
        m_core->pollEnded = nullptr;
    }
    {
        std::lock_guard lock(m_core->watchMutex);
        m_core->watchStop = true;
        m_core->tickets.clear();
    }
    m_core->watchCv.notify_all();
    if (m_core->watchThread.joinable())
        m_core->watchThread.join();
}

void SlotMonitor::SetMinuteMs(int ms) {
    m_core->minuteMs = ms;
}
void SlotMonitor::SetEarlyMs(int ms) {
    m_core->earlyMs = ms;
}
void SlotMonitor::SetTrayFrameMs(int ms) {
    m_core->trayFrameMs = ms;
}
void SlotMonitor::SetWatchdogBoundMs(int ms) {
    m_core->watchdogBoundMs = ms;
}
void SlotMonitor::SetTickSource(std::function<std::uint32_t()> source) {
    m_core->tickSource = source ? std::move(source) : std::function<std::uint32_t()>(TickCount);
}
int SlotMonitor::MinuteMs() const {
    return m_core->minuteMs;
}
int SlotMonitor::WatchdogBoundMs() const {
    return m_core->BoundMs();
}
