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
    // Kept only while a rule below is switched on, so a file under the defaults reads as before.
    std::optional<int> failedPolls;      // "failedPolls": unconfirmed failures in a row
    std::optional<QString> outageSince;  // "outageSince": ms since the epoch; empty when none
    std::optional<QString> lastReminder; // "lastReminder": ms since the epoch
    std::optional<int> slowPolls;        // "slowPolls": slow polls not yet told of
    std::optional<QString> slowestMs;    // "slowestMs": the slowest of them
    std::optional<QString> lastWarning;  // "lastWarning": ms since the epoch of the last one

    bool Warned() const { return warned.value_or(0) != 0; }
    QString Pending() const { return alertPending.value_or(QString()); }
    bool Down() const { return down ? *down != 0 : Warned() || !Pending().isEmpty(); }

    friend bool operator==(const AlertState&, const AlertState&) = default;
};

enum class PollStatus { Reachable, Slow, Unreachable };

// The user's alert settings in milliseconds. The defaults are the behaviour from before they
// existed: every failed poll is an outage, no reminders, every slow poll warns.
struct AlertRules {
    int confirmPolls = 1;
    qint64 confirmMs = 30000;
    qint64 remindMs = 0;   // 0: never
    qint64 slowMailMs = 0; // 0: every slow poll
    // Any rule switched on keeps the outage's start, which the mails then tell of.
    bool KeepsOutage() const { return confirmPolls > 1 || remindMs > 0 || slowMailMs > 0; }
    friend bool operator==(const AlertRules&, const AlertRules&) = default;
};

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
    AlertRules rules;
    qint64 nowMs = 0; // when the poll ended, ms since the epoch
    // Why the poll says nothing about the database (the computer slept or is offline); empty for
    // a poll that counts.
    QString notChecked;
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
    enum class Kind { Alert, Warning, Recovery, Reminder };
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
    // The database failed without the outage being confirmed yet: the next poll is confirming
    // poll `confirming` of `rules.confirmPolls` and comes after `rules.confirmMs`; 0 otherwise.
    int confirming = 0;
};

namespace AlertPolicy {

inline const QString kMissingAlert = QStringLiteral("(alert not sent, missing email setup)");
inline const QString kMissingRecovery = QStringLiteral("(recovery not sent, missing email setup)");

// "1 h 05 min", "42 s": a length of time for a mail.
QString FormatDuration(qint64 ms);

// The effects of one poll on the database's state.
AlertDecision Decide(const AlertState& state, const PollFacts& facts);

// The state once the settling mail was tried: decision.next when it went out, otherwise the
// state that makes the next poll of the same outcome try again; reason is the failure on one
// line. Without a settling mail, decision.next.
AlertState Settle(const AlertDecision& decision, bool sent, const QString& reason);

} // namespace AlertPolicy
