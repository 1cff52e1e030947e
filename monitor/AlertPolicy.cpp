#include "monitor/AlertPolicy.h"

#include "monitor/SlotStatus.h"

#include <algorithm>
#include <ctime>

namespace AlertPolicy {
namespace {

QString Ms(double elapsed) {
    return FormatMs(elapsed) + QStringLiteral("ms");
}

// The time of a poll with a health query: the total, then its two parts.
QString Times(const PollFacts& f) {
    if (!f.queryMs)
        return Ms(f.elapsedMs);
    return Ms(f.elapsedMs) + QStringLiteral(" (connect ") + Ms(f.elapsedMs - *f.queryMs) +
           QStringLiteral(", query ") + Ms(*f.queryMs) + u')';
}

// A stored time or count that is missing, empty or not a number reads as unknown (-1).
qint64 Number(const std::optional<QString>& value) {
    bool ok = false;
    const qint64 n = value ? value->toLongLong(&ok) : -1;
    return ok && n >= 0 ? n : -1;
}

QString When(qint64 ms) {
    return TimeStamp(static_cast<std::time_t>(ms / 1000));
}

// The outage's start and length for a mail, when it is known and not in the future (a clock
// set back by hand).
std::optional<qint64> Lasted(const AlertState& state, const PollFacts& f) {
    const qint64 since = Number(state.outageSince);
    if (since < 0 || f.nowMs < since)
        return std::nullopt;
    return f.nowMs - since;
}

void Remind(const AlertState& state, const PollFacts& f, AlertDecision& d) {
    qint64 base = Number(state.lastReminder);
    if (base < 0)
        base = Number(state.outageSince);
    // Without a start, or with the clock set back past it, the reminders count from now.
    if (base < 0 || f.nowMs < base) {
        d.next.lastReminder = QString::number(f.nowMs);
        return;
    }
    if (f.nowMs - base < f.rules.remindMs)
        return;
    QString body = QStringLiteral("Database still unreachable") + f.stamp + QStringLiteral("\n\n");
    if (const auto lasted = Lasted(state, f))
        body += QStringLiteral("The outage began") + When(Number(state.outageSince)) +
                QStringLiteral(" and has lasted ") + FormatDuration(*lasted) +
                QStringLiteral(".\n\n");
    body += f.errorText;
    d.effects << MailEffect{MailEffect::Kind::Reminder, QStringLiteral("Still down - ") + f.title,
                            body};
    d.next.lastReminder = QString::number(f.nowMs);
}

// The desktop hears of an outage once, when it is confirmed, whatever becomes of the mail. A
// failed health query names its reason in the error log and the notification too: the database
// answered, so "unreachable" alone would mislead.
void Unreachable(const AlertState& state, const PollFacts& f, AlertDecision& d) {
    const QString why = f.healthFailed ? QStringLiteral(" (") + f.errorText + u')' : QString();
    d.effects << LogEffect{LogEffect::Log::Error,
                           QStringLiteral("Database unreachable: ") + f.title + why};
    const AlertRules& rules = f.rules;
    AlertState& next = d.next;
    const bool known = state.Down() || state.Warned() || !state.Pending().isEmpty();
    int streak = 1;
    if (!known && rules.KeepsOutage()) {
        streak = std::max(state.failedPolls.value_or(0), 0) + 1;
        if (streak == 1 || Number(state.outageSince) < 0)
            next.outageSince = QString::number(f.nowMs);
        if (streak < rules.confirmPolls) {
            next.failedPolls = streak;
            d.confirming = streak + 1;
            return;
        }
        if (state.failedPolls)
            next.failedPolls = 0;
    }
    const QString subject = QStringLiteral("Alert - ") + f.title;
    QString body =
        QStringLiteral("Database unreachable") + f.stamp + QStringLiteral("\n\n") + f.errorText;
    if (!state.Down()) {
        next.down = 1;
        if (f.desktopNotify)
            d.effects << DesktopEffect{subject, body.section(u'\n', 0, 0) + why,
                                       DesktopEffect::Urgency::Critical};
    }
    if (state.Warned()) {
        if (rules.remindMs > 0 && f.emailSetUp)
            Remind(state, f, d);
        return;
    }
    next.lastRecovery = QString();
    if (!f.emailSetUp) {
        next.lastAlert = kMissingAlert;
        next.alertPending = QString();
        next.warned = 1;
        return;
    }
    if (streak > 1) {
        const AlertState started = next;
        if (const auto lasted = Lasted(started, f))
            body += QStringLiteral("\n\nThe database has been failing for ") +
                    FormatDuration(*lasted) + QStringLiteral(", since its first failed poll") +
                    When(Number(started.outageSince)) + QStringLiteral(" (") +
                    QString::number(streak) + QStringLiteral(" failed polls in a row).");
    }
    d.effects << MailEffect{MailEffect::Kind::Alert, subject, body};
    d.settlingMail = MailEffect::Kind::Alert;
    // Not sent: "Warned" stays 0 and the outage's start is kept, so the next unreachable poll
    // tries again and a recovery that comes first can tell of the missed alert.
    d.ifFailed = next;
    d.failureNamesReason = true;
    if (state.Pending().isEmpty())
        d.ifFailed.alertPending = f.stamp;
    next.lastAlert = f.stamp;
    if (!state.Pending().isEmpty())
        next.alertPending = QString();
    next.warned = 1;
    if (rules.remindMs > 0)
        next.lastReminder = QString::number(f.nowMs);
}

void Slow(const AlertState& state, const PollFacts& f, AlertDecision& d) {
    const QString line = QStringLiteral("WARNING ") + f.title + u' ' + Times(f);
    d.effects << LogEffect{LogEffect::Log::Access, line} << LogEffect{LogEffect::Log::Error, line};
    const QString subject = QStringLiteral("Warning - ") + f.title;
    QString body =
        QStringLiteral("Slow response from database (") + Ms(f.elapsedMs) + u')' + f.stamp;
    const qint64 every = f.rules.slowMailMs;
    if (every > 0) {
        // One warning per period tells of every slow poll since the one before.
        const int count = std::max(state.slowPolls.value_or(0), 0) + 1;
        const double slowest =
            std::max(state.slowestMs.value_or(QString()).toDouble(), f.elapsedMs);
        const qint64 last = Number(state.lastWarning);
        if (last >= 0 && last <= f.nowMs && f.nowMs - last < every) {
            d.next.slowPolls = count;
            d.next.slowestMs = QString::number(slowest);
            return;
        }
        d.next.slowPolls = 0;
        d.next.slowestMs = QString();
        d.next.lastWarning = QString::number(f.nowMs);
        const QString many = count == 1 ? QStringLiteral("1 slow poll")
                                        : QString::number(count) + QStringLiteral(" slow polls");
        body += QStringLiteral("\n\n") + many + QStringLiteral(" since the last warning; the ") +
                QStringLiteral("slowest took ") + Ms(slowest) + u'.';
    }
    if (f.desktopNotify)
        d.effects << DesktopEffect{subject, body.section(u'\n', 0, 0),
                                   DesktopEffect::Urgency::Normal};
    // A warning goes out whether or not e-mail is set up; the result does not matter.
    d.effects << MailEffect{MailEffect::Kind::Warning, subject, body};
}

// A slow answer counts as a recovery too.
void Recovery(const AlertState& state, const PollFacts& f, AlertDecision& d) {
    AlertState& next = d.next;
    const QString subject = QStringLiteral("Recovery - ") + f.title;
    // Failures never confirmed end quietly.
    if (state.failedPolls.value_or(0) > 0)
        next.failedPolls = 0;
    const auto lasted = Lasted(state, f);
    const auto endOutage = [&](AlertState& s) {
        if (state.outageSince.value_or(QString()) != QString())
            s.outageSince = QString();
        if (state.lastReminder.value_or(QString()) != QString())
            s.lastReminder = QString();
    };
    if (state.Down()) {
        next.down = 0;
        if (f.desktopNotify)
            d.effects << DesktopEffect{subject, QStringLiteral("Database recovered") + f.stamp,
                                       DesktopEffect::Urgency::Normal};
    }
    const bool warned = state.Warned();
    const QString pending = state.Pending();
    if (!warned && pending.isEmpty()) {
        endOutage(next);
        return;
    }
    if (!f.emailSetUp) {
        next.lastRecovery = kMissingRecovery;
        next.alertPending = QString();
        next.warned = 0;
        endOutage(next);
        return;
    }
    next.lastRecovery = f.stamp;
    QString body = QStringLiteral("Database recovered") + f.stamp;
    // The alert never went out: this mail is the only word of the outage.
    if (!warned)
        body += QStringLiteral("\n\nThe database became unreachable") + pending +
                QStringLiteral("; the alert could not be sent then.");
    if (lasted)
        body += QStringLiteral("\n\nThe outage lasted ") + FormatDuration(*lasted) + u'.';
    d.effects << MailEffect{MailEffect::Kind::Recovery, subject, body};
    d.settlingMail = MailEffect::Kind::Recovery;
    // Not sent: the state stays as it is and the next answer tries again.
    d.ifFailed = next;
    d.failureNamesReason = !warned;
    if (!warned) {
        next.lastAlert = f.stamp;
        next.alertPending = QString();
    }
    next.warned = 0;
    endOutage(next);
}

} // namespace

QString FormatDuration(qint64 ms) {
    const qint64 s = std::max<qint64>(ms, 0) / 1000;
    const auto two = [](qint64 n) { return QStringLiteral("%1").arg(n, 2, 10, QChar(u'0')); };
    if (s < 60)
        return QString::number(s) + QStringLiteral(" s");
    if (s < 3600)
        return QString::number(s / 60) + QStringLiteral(" min ") + two(s % 60) +
               QStringLiteral(" s");
    if (s < 86400)
        return QString::number(s / 3600) + QStringLiteral(" h ") + two(s / 60 % 60) +
               QStringLiteral(" min");
    return QString::number(s / 86400) + QStringLiteral(" d ") + QString::number(s / 3600 % 24) +
           QStringLiteral(" h");
}

AlertDecision Decide(const AlertState& state, const PollFacts& facts) {
    AlertDecision d;
    d.next = state;
    if (!facts.notChecked.isEmpty()) {
        // The poll says nothing about the database: no sample, no mail, no change of state.
        d.effects << LogEffect{LogEffect::Log::Access, QStringLiteral("NOT CHECKED ") +
                                                           facts.title + QStringLiteral(" (") +
                                                           facts.notChecked + u')'};
        d.ifFailed = d.next;
        return d;
    }
    switch (facts.status) {
    case PollStatus::Unreachable:
        Unreachable(state, facts, d);
        break;
    case PollStatus::Slow:
        Slow(state, facts, d);
        Recovery(state, facts, d);
        break;
    case PollStatus::Reachable:
        d.effects << LogEffect{LogEffect::Log::Access,
                               QStringLiteral("SUCCESS ") + facts.title + u' ' + Times(facts)};
        Recovery(state, facts, d);
        break;
    }
    if (!d.settlingMail)
        d.ifFailed = d.next;
    return d;
}

AlertState Settle(const AlertDecision& decision, bool sent, const QString& reason) {
    if (!decision.settlingMail || sent)
        return decision.next;
    AlertState state = decision.ifFailed;
    if (decision.failureNamesReason)
        state.lastAlert = QStringLiteral("(alert not sent: ") + reason + u')';
    return state;
}

} // namespace AlertPolicy
