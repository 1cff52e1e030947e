#include "monitor/AlertPolicy.h"

#include "monitor/SlotStatus.h"

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

// The desktop hears of an outage once, at its first poll, whatever becomes of the mail. A failed
// health query names its reason in the error log and the notification too: the database
// answered, so "unreachable" alone would mislead.
void Unreachable(const AlertState& state, const PollFacts& f, AlertDecision& d) {
    const QString why = f.healthFailed ? QStringLiteral(" (") + f.errorText + u')' : QString();
    d.effects << LogEffect{LogEffect::Log::Error,
                           QStringLiteral("Database unreachable: ") + f.title + why};
    const QString subject = QStringLiteral("Alert - ") + f.title;
    const QString body =
        QStringLiteral("Database unreachable") + f.stamp + QStringLiteral("\n\n") + f.errorText;
    AlertState& next = d.next;
    if (!state.Down()) {
        next.down = 1;
        if (f.desktopNotify)
            d.effects << DesktopEffect{subject, body.section(u'\n', 0, 0) + why,
                                       DesktopEffect::Urgency::Critical};
    }
    if (state.Warned())
        return;
    next.lastRecovery = QString();
    if (!f.emailSetUp) {
        next.lastAlert = kMissingAlert;
        next.alertPending = QString();
        next.warned = 1;
        return;
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
}

void Slow(const PollFacts& f, AlertDecision& d) {
    const QString line = QStringLiteral("WARNING ") + f.title + u' ' + Times(f);
    d.effects << LogEffect{LogEffect::Log::Access, line} << LogEffect{LogEffect::Log::Error, line};
    const QString subject = QStringLiteral("Warning - ") + f.title;
    const QString body =
        QStringLiteral("Slow response from database (") + Ms(f.elapsedMs) + u')' + f.stamp;
    if (f.desktopNotify)
        d.effects << DesktopEffect{subject, body, DesktopEffect::Urgency::Normal};
    // Every slow poll warns, whether or not e-mail is set up; the result does not matter.
    d.effects << MailEffect{MailEffect::Kind::Warning, subject, body};
}

// A slow answer counts as a recovery too.
void Recovery(const AlertState& state, const PollFacts& f, AlertDecision& d) {
    AlertState& next = d.next;
    const QString subject = QStringLiteral("Recovery - ") + f.title;
    if (state.Down()) {
        next.down = 0;
        if (f.desktopNotify)
            d.effects << DesktopEffect{subject, QStringLiteral("Database recovered") + f.stamp,
                                       DesktopEffect::Urgency::Normal};
    }
    const bool warned = state.Warned();
    const QString pending = state.Pending();
    if (!warned && pending.isEmpty())
        return;
    if (!f.emailSetUp) {
        next.lastRecovery = kMissingRecovery;
        next.alertPending = QString();
        next.warned = 0;
        return;
    }
    next.lastRecovery = f.stamp;
    QString body = QStringLiteral("Database recovered") + f.stamp;
    // The alert never went out: this mail is the only word of the outage.
    if (!warned)
        body += QStringLiteral("\n\nThe database became unreachable") + pending +
                QStringLiteral("; the alert could not be sent then.");
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
}

} // namespace

AlertDecision Decide(const AlertState& state, const PollFacts& facts) {
    AlertDecision d;
    d.next = state;
    switch (facts.status) {
    case PollStatus::Unreachable:
        Unreachable(state, facts, d);
        break;
    case PollStatus::Slow:
        Slow(facts, d);
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
