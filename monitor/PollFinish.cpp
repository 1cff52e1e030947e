#include "monitor/SlotMonitorCore.h"

#include "monitor/AlertPolicy.h"
#include "monitor/AlertSettings.h"
#include "monitor/AlertStateStore.h"
#include "settings/EmailSettings.h"
#include "settings/SettingKeys.h"

#include <QDateTime>

using namespace SlotMonitorDetail;

bool SlotMonitor::Core::Send(const EmailSettings& mail, const QString& to, const QString& subject,
                             const QString& body, QString* reason) {
    if (closed || !smtp)
        return false;
    QString failure;
    if (smtp->SendMail(EmailSettingsStore::ForSending(mail), mail.returnAddress, to, subject, body,
                       SendOptions{&failure, &closed}))
        return true;
    if (closed)
        return false;
    if (INotice* n = notice.load(); n && !failure.isEmpty())
        n->ShowNotice(failure);
    const QString why = failure.isEmpty()
                            ? QStringLiteral("The mail server did not accept the message.")
                            : failure.simplified();
    if (!mail.server.isEmpty())
        WriteErrorLog(QStringLiteral("Mail not sent (") + subject + QStringLiteral("): ") + why);
    if (reason)
        *reason = why;
    return false;
}

void SlotMonitor::Core::Desktop(const QString& subject, const QString& body,
                                IDesktopNotifier::Urgency urgency) {
    std::shared_ptr<IDesktopNotifier> notifier;
    {
        std::lock_guard lock(mutex);
        notifier = desktop;
    }
    if (!notifier || closed)
        return;
    // Subjects are "<kind> - <title>": one notification per database, the newest in place of
    // the one before.
    notifier->Notify(subject, body.section(u'\n', 0, 0), urgency,
                     subject.section(QStringLiteral(" - "), 1));
}

namespace {

QString HealthToolTip(const Outcome& outcome) {
    if (!outcome.queryMs)
        return QString();
    if (outcome.healthFailed)
        return outcome.errorText;
    const QString ms = QStringLiteral("ms");
    return QStringLiteral("Connect ") + FormatMs(outcome.elapsed - *outcome.queryMs) + ms +
           QStringLiteral(", query ") + FormatMs(*outcome.queryMs) + ms +
           QStringLiteral("\nHealth query passed: ") + outcome.healthValue;
}

} // namespace

void SlotMonitor::Core::FinishPoll(const PollTicket& ticket, const Outcome& outcome) {
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
    const QString why = NotCheckedReason(Circumstances(
        computer.get(), ticket.sleptAtStart, outcome.elapsed < 0, ticket.connectionString));
    if (!why.isEmpty()) {
        ShowNotChecked(ticket, why);
        EndPoll(slot, gen, true);
        return;
    }
    PollOutcome shown;
    shown.slot = slot;
    shown.generation = gen;
    shown.title = ticket.title;
    const double elapsed = ProbeTail(ticket, outcome.elapsed);
    shown.elapsed = elapsed;
    shown.trayTip = QStringLiteral("Trellion\n") + ticket.title;
    {
        std::lock_guard lock(mutex);
        shown.trayMark = Mark();
    }
    const double threshold = ticket.threshold;
    shown.sampleValue = elapsed > 0 ? elapsed : 0.0;
    shown.sampleMark = threshold < elapsed ? 1.0 : 0.0;
    PollFacts facts;
    facts.title = ticket.title;
    facts.elapsedMs = elapsed;
    facts.errorText = outcome.errorText;
    facts.healthFailed = outcome.healthFailed;
    if (!outcome.healthFailed)
        facts.queryMs = outcome.queryMs;
    facts.stamp = TimeStamp();
    shown.queryMs = facts.queryMs;
    shown.healthValue = outcome.healthValue;
    if (outcome.healthFailed)
        shown.healthReason = outcome.errorText;
    shown.toolTip = HealthToolTip(outcome);
    if (elapsed < 0) {
        facts.status = PollStatus::Unreachable;
        shown.colour = SlotColour::Unreachable;
    } else if (threshold < elapsed) {
        facts.status = PollStatus::Slow;
        shown.colour = SlotColour::Slow;
    } else {
        facts.status = PollStatus::Reachable;
        shown.colour = SlotColour::Reachable;
    }
    shown.status = facts.status;
    if (facts.status == PollStatus::Unreachable)
        shown.failure = outcome.errorText;
    AlertStep(ticket, facts, shown);
    ShowSlotStatus(std::move(shown));
    EndPoll(slot, gen, true);
}

namespace {

// How many of the step's first effects follow from the poll alone (its log lines; for a slow
// poll the warning too): they come before the stored state is reported on.
qsizetype LeadingEffects(const AlertDecision& d, PollStatus status) {
    if (status != PollStatus::Slow)
        return 1;
    for (qsizetype i = 0; i < d.effects.size(); ++i)
        if (const auto* mail = std::get_if<MailEffect>(&d.effects[i]);
            mail && mail->kind == MailEffect::Kind::Warning)
            return i + 1;
    return 2; // a warning held back for its period: the two log lines
}

} // namespace

void SlotMonitor::Core::AlertStep(const PollTicket& t, PollFacts facts, PollOutcome& shown) {
    const QString& title = t.title;
    const std::shared_ptr<std::mutex> state = StateLock(title);
    std::lock_guard stateLock(*state);
    const SettingsStore::SectionLock copies(title, stateLockWaitMs, &closed);
    if (closed)
        return;
    const AlertState stored = AlertStateStore::Load(title);
    AdoptStoredTexts(t, stored);
    const EmailSettings mail = Email();
    facts.emailSetUp = !mail.server.isEmpty();
    // Without a notifier there is nothing to switch off, and no setting to read.
    bool hasNotifier;
    {
        std::lock_guard lock(mutex);
        hasNotifier = desktop != nullptr;
    }
    facts.desktopNotify = hasNotifier && Config::Read(Config::kDesktopNotify);
    const AlertSettings::Loaded rules = AlertSettings::Read();
    for (const QString& problem : rules.problems)
        WriteErrorLog(problem);
    facts.rules = rules.rules;
    facts.nowMs = QDateTime::currentMSecsSinceEpoch();
    // The rules never read the texts: decided without them, the texts a rule writes are exactly
    // those present afterwards, and those go to the slot even when the file already held them.
    AlertState bare = stored;
    bare.lastAlert.reset();
    bare.lastRecovery.reset();
    const AlertDecision decision = AlertPolicy::Decide(bare, facts);
    const qsizetype leading = LeadingEffects(decision, facts.status);
    // Going on without the other copies' lock is said where the stored state first matters.
    const auto sayUnlocked = [&] {
        if (!copies.Held())
            WriteErrorLog(QStringLiteral("Alert state of ") + title +
                          QStringLiteral(" not locked against other running copies (") +
                          copies.Failure() + QStringLiteral("); going on"));
    };
    bool sent = true;
    QString reason;
    for (qsizetype i = 0; i < decision.effects.size(); ++i) {
        if (i == leading)
            sayUnlocked();
        const AlertEffect& effect = decision.effects[i];
        if (const auto* log = std::get_if<LogEffect>(&effect)) {
            if (log->log == LogEffect::Log::Access)
                WriteAccessLog(log->line);
            else
                WriteErrorLog(log->line);
        } else if (const auto* note = std::get_if<DesktopEffect>(&effect)) {
            Desktop(note->summary, note->body,
                    note->urgency == DesktopEffect::Urgency::Critical
                        ? IDesktopNotifier::Urgency::Critical
                        : IDesktopNotifier::Urgency::Normal);
        } else if (const auto* m = std::get_if<MailEffect>(&effect)) {
            const QString& to =
                m->toRecoveryRecipient() ? mail.recoveryRecipient : mail.alertRecipient;
            QString why;
            const bool ok = Send(mail, to, m->subject, m->body, &why);
            shown.mails << MailResult{m->kind, ok, why};
            if (decision.settlingMail == m->kind) {
                sent = ok;
                reason = why;
            }
        }
    }
    if (leading >= decision.effects.size())
        sayUnlocked();
    shown.decisions = decision.effects;
    const AlertState settled = AlertPolicy::Settle(decision, sent, reason);
    AlertState after = settled;
    if (!after.lastAlert)
        after.lastAlert = stored.lastAlert;
    if (!after.lastRecovery)
        after.lastRecovery = stored.lastRecovery;
    AlertStateStore::Save(title, stored, after);
    if (decision.confirming)
        shown.trayTip += QStringLiteral("\nunreachable, checking again ") +
                         QString::number(decision.confirming) + QStringLiteral(" of ") +
                         QString::number(facts.rules.confirmPolls);
    WithSlot(t.slot, t.generation, [&](DatabaseSlot& s) {
        s.confirmDelayMs = decision.confirming ? facts.rules.confirmMs : -1;
        if (settled.lastAlert)
            s.lastAlert = s.storedAlert = *settled.lastAlert;
        if (settled.lastRecovery)
            s.lastRecovery = s.storedRecovery = *settled.lastRecovery;
    });
}

void SlotMonitor::Core::AdoptStoredTexts(const PollTicket& t, const AlertState& stored) {
    const QString alert = stored.lastAlert.value_or(QString());
    const QString recovery = stored.lastRecovery.value_or(QString());
    WithSlot(t.slot, t.generation, [&](DatabaseSlot& s) {
        if (alert != s.storedAlert)
            s.lastAlert = s.storedAlert = alert;
        if (recovery != s.storedRecovery)
            s.lastRecovery = s.storedRecovery = recovery;
    });
}

void SlotMonitor::Core::ShowSlotStatus(PollOutcome shown) {
    const int slot = shown.slot;
    const double elapsed = shown.elapsed;
    std::lock_guard lock(mutex);
    if (!Current(slot, shown.generation))
        return;
    DatabaseSlot& s = slotData[slot];
    if (s.history.size() > kHistoryLength)
        s.history.removeFirst();
    const AccessStatistics stats = ComputeAccessStatistics(s.history, s.graphScale);
    s.graphScale = RoundScale(stats.scaleCandidate);
    shown.legend = LegendTexts(s.graphScale);
    shown.scale = s.graphScale;
    const QString ms = QStringLiteral("ms");
    auto& texts = shown.texts;
    texts[int(SlotField::LastAccess)] =
        (elapsed > 0 ? FormatMs(elapsed) + ms : QStringLiteral("unavailable")) + TimeStamp();
    if (stats.best.elapsed > 0)
        texts[int(SlotField::BestAccess)] = FormatMs(stats.best.elapsed) + ms + stats.best.when;
    if (stats.worst.elapsed > 0)
        texts[int(SlotField::WorstAccess)] = FormatMs(stats.worst.elapsed) + ms + stats.worst.when;
    texts[int(SlotField::LastAlert)] = s.lastAlert;
    texts[int(SlotField::LastRecovery)] = s.lastRecovery;
    // Under the slot lock, so that the tap sees polls in the order they end and never after
    // Shutdown (which closes under it).
    if (outcomeTap && !closed)
        outcomeTap(shown);
    Push(std::move(shown));
}

std::optional<TrayMark> SlotMonitor::Core::Mark() const {
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
        return TrayMark{TrayIcons::Unreachable,
                        QStringLiteral("Trellion\nAt least one database in unreachable")};
    if (slow > 0)
        return TrayMark{TrayIcons::Slow, QStringLiteral("Trellion\nAt least one database in slow")};
    return std::nullopt;
}

void SlotMonitor::Core::Push(MonitorEvent event) {
    bool wake;
    {
        std::lock_guard lock(eventsMutex);
        if (closed)
            return;
        wake = events.empty();
        events.push_back(std::move(event));
        // Under the lock: Shutdown takes it before the signaller may go.
        if (wake && signaller)
            emit signaller->eventsReady();
    }
}
