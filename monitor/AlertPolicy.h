#pragma once

#include <QList>
#include <QString>

#include <optional>
#include <variant>

// The alert rules of one database, as pure functions: its stored state and one poll's facts in,
// the effects (log lines, desktop notices, mails) and the new state out. No I/O and no clock: the
// caller performs the effects in order, reports whether the mail that settles the state went
// out, and stores what changed.

// What the database's own section of the settings file holds (the section named by its title).
// A key that is absent stays absent until a rule writes it, so the file is written exactly as
// far as the rules say: an empty value and a missing key are different things to the file.
struct AlertState {
    std::optional<int> warned;           // "Warned": the outage's alert went out (or could not)
    std::optional<QString> lastAlert;    // "lastAlert"
    std::optional<QString> lastRecovery; // "lastRecovery"
    // "alertPending": when an outage began whose alert could not be sent; empty when none.
    std::optional<QString> alertPending;
    // "Down": the desktop heard of the outage. Files from before it was kept lack it; then an
    // outage counts as known when it was alerted or is pending.
    std::optional<int> down;

    bool Warned() const { return warned.value_or(0) != 0; }
    QString Pending() const { return alertPending.value_or(QString()); }
    bool Down() const { return down ? *down != 0 : Warned() || !Pending().isEmpty(); }

    friend bool operator==(const AlertState&, const AlertState&) = default;
};

enum class PollStatus { Reachable, Slow, Unreachable };

// One poll as the rules need it.
struct PollFacts {
    QString title;
    PollStatus status = PollStatus::Reachable;
    double elapsedMs = 0.0; // meaningful when reachable or slow
    QString errorText;      // the driver's message, or the health query's reason, when unreachable
    // When a health query ran: its part of elapsedMs, shown apart in the access log line.
    std::optional<double> queryMs;
    bool healthFailed = false; // unreachable because the health query failed (errorText says why)
    QString stamp;             // " on %m/%d/%Y at %H:%M:%S" of the poll
    bool emailSetUp = false;
    bool desktopNotify = true;
};

struct LogEffect {
    enum class Log { Access, Error };
    Log log;
    QString line;
    friend bool operator==(const LogEffect&, const LogEffect&) = default;
};

struct DesktopEffect {
    enum class Urgency { Normal, Critical };
    QString summary;
    QString body; // one line
    Urgency urgency = Urgency::Normal;
    friend bool operator==(const DesktopEffect&, const DesktopEffect&) = default;
};

struct MailEffect {
    enum class Kind { Alert, Warning, Recovery };
    Kind kind;
    QString subject;
    QString body;
    // Alerts and warnings go to the alert recipient, recoveries to the recovery recipient.
    bool toRecoveryRecipient() const { return kind == Kind::Recovery; }
    friend bool operator==(const MailEffect&, const MailEffect&) = default;
};

using AlertEffect = std::variant<LogEffect, DesktopEffect, MailEffect>;

struct AlertDecision {
    QList<AlertEffect> effects; // in the order they are to happen
    // The state once every effect happened and every mail went out.
    AlertState next;
    // The alert or recovery mail among the effects whose failure changes the state (a warning's
    // result changes nothing); absent when there is none.
    std::optional<MailEffect::Kind> settlingMail;
    // The state when that mail failed; the failure's reason goes into its last alert text when
    // failureNamesReason (the alert, sent alone or with the recovery, did not go out).
    AlertState ifFailed;
    bool failureNamesReason = false;
};

namespace AlertPolicy {

inline const QString kMissingAlert = QStringLiteral("(alert not sent, missing email setup)");
inline const QString kMissingRecovery = QStringLiteral("(recovery not sent, missing email setup)");

// The effects of one poll on the database's state.
AlertDecision Decide(const AlertState& state, const PollFacts& facts);

// The state once the settling mail was tried: decision.next when it went out, otherwise the
// state that makes the next poll of the same outcome try again; reason is the failure on one
// line. Without a settling mail, decision.next.
AlertState Settle(const AlertDecision& decision, bool sent, const QString& reason);

} // namespace AlertPolicy
