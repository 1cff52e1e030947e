#include "monitor/SlotMonitorCore.h"

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
    if (!notifier || closed ||
        SettingsStore::ReadInt(Settings(), QStringLiteral("DesktopNotify"), 1) == 0)
        return;
    // Subjects are "<kind> - <title>": one notification per database, the newest in place of
    // the one before.
    notifier->Notify(subject, body.section(u'\n', 0, 0), urgency,
                     subject.section(QStringLiteral(" - "), 1));
}

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

void SlotMonitor::Core::Unreachable(const PollTicket& t, const QString& errorText,
                                    const QString& stampA) {
    const QString& title = t.title;
    SetColour(t.slot, t.generation, IMonitorView::kColourUnreachable);
    WriteErrorLog(QStringLiteral("Database unreachable: ") + title);
    const std::shared_ptr<std::mutex> state = StateLock(title);
    std::lock_guard stateLock(*state);
    const SettingsStore::SectionLock copies(title, stateLockWaitMs, &closed);
    if (closed)
        return;
    AdoptStoredTexts(t, copies);
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

void SlotMonitor::Core::Slow(const PollTicket& t, double elapsed, const QString& stampA) {
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

void SlotMonitor::Core::Reachable(const PollTicket& t, double elapsed) {
    SetColour(t.slot, t.generation, IMonitorView::kColourReachable);
    WriteAccessLog(QStringLiteral("SUCCESS ") + t.title + u' ' + FormatMs(elapsed) +
                   QStringLiteral("ms"));
}

void SlotMonitor::Core::Recovery(const PollTicket& t) {
    const QString& title = t.title;
    const std::shared_ptr<std::mutex> state = StateLock(title);
    std::lock_guard stateLock(*state);
    const SettingsStore::SectionLock copies(title, stateLockWaitMs, &closed);
    if (closed)
        return;
    AdoptStoredTexts(t, copies);
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

void SlotMonitor::Core::AdoptStoredTexts(const PollTicket& t,
                                         const SettingsStore::SectionLock& copies) {
    if (!copies.Held())
        WriteErrorLog(QStringLiteral("Alert state of ") + t.title +
                      QStringLiteral(" not locked against other running copies (") +
                      copies.Failure() + QStringLiteral("); going on"));
    const QString alert = SettingsStore::ReadString(t.title, QStringLiteral("lastAlert"));
    const QString recovery = SettingsStore::ReadString(t.title, QStringLiteral("lastRecovery"));
    WithSlot(t.slot, t.generation, [&](DatabaseSlot& s, IMonitorView*) {
        if (alert != s.storedAlert)
            s.lastAlert = s.storedAlert = alert;
        if (recovery != s.storedRecovery)
            s.lastRecovery = s.storedRecovery = recovery;
    });
}

void SlotMonitor::Core::SetTexts(const PollTicket& t, const QString* alert,
                                 std::optional<QString> recovery) {
    WithSlot(t.slot, t.generation, [&](DatabaseSlot& s, IMonitorView*) {
        if (alert)
            s.lastAlert = s.storedAlert = *alert;
        if (recovery)
            s.lastRecovery = s.storedRecovery = *recovery;
    });
    if (alert)
        SettingsStore::WriteString(t.title, QStringLiteral("lastAlert"), *alert);
    if (recovery)
        SettingsStore::WriteString(t.title, QStringLiteral("lastRecovery"), *recovery);
}

void SlotMonitor::Core::ShowSlotStatus(int slot, quint64 gen, double elapsed) {
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

void SlotMonitor::Core::Tray(int icon, const QString& tip) {
    std::lock_guard lock(mutex);
    if (view && !closed)
        view->SetTrayIcon(icon, tip);
}

void SlotMonitor::Core::UpdateTrayStatus(const QString& title) {
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

void SlotMonitor::Core::TraySummary(const std::optional<QString>& plain) {
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
