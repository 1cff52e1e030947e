// The alert rules without a database, a mail server or a settings file: every transition of a
// database's alert state, with each mail going out or failing, from states as a restart finds
// them in the file.
#include "monitor/AlertPolicy.h"

#include <gtest/gtest.h>

namespace {

const QString kStamp = QStringLiteral(" on 03/04/2026 at 05:06:07");
const QString kEarlier = QStringLiteral(" on 03/04/2026 at 04:00:00");

// One line per effect, so that a table row reads like what the user gets.
std::string Describe(const AlertEffect& effect) {
    if (const auto* log = std::get_if<LogEffect>(&effect))
        return (log->log == LogEffect::Log::Access ? "access: " : "error: ") +
               log->line.toStdString();
    if (const auto* note = std::get_if<DesktopEffect>(&effect))
        return (note->urgency == DesktopEffect::Urgency::Critical ? "desktop!: " : "desktop: ") +
               note->summary.toStdString() + " / " + note->body.toStdString();
    const auto& mail = std::get<MailEffect>(effect);
    return (mail.toRecoveryRecipient() ? "mail to recovery: " : "mail to alert: ") +
           mail.subject.toStdString();
}

std::vector<std::string> Effects(const AlertDecision& decision) {
    std::vector<std::string> out;
    for (const AlertEffect& effect : decision.effects)
        out.push_back(Describe(effect));
    return out;
}

// The stored keys, "-" for a key the file does not have.
std::string Keys(const AlertState& s) {
    auto text = [](const std::optional<QString>& v) {
        return v ? "'" + v->toStdString() + "'" : std::string("-");
    };
    auto number = [](const std::optional<int>& v) {
        return v ? std::to_string(*v) : std::string("-");
    };
    return "Warned=" + number(s.warned) + " lastAlert=" + text(s.lastAlert) +
           " lastRecovery=" + text(s.lastRecovery) + " alertPending=" + text(s.alertPending) +
           " Down=" + number(s.down);
}

PollFacts Poll(PollStatus status, bool email = true, double ms = 12.5) {
    PollFacts f;
    f.title = QStringLiteral("sales");
    f.status = status;
    f.elapsedMs = ms;
    f.errorText = QStringLiteral("[unixODBC] could not connect");
    f.stamp = kStamp;
    f.emailSetUp = email;
    return f;
}

// A state as a file holds it; the default is a database never seen down.
AlertState Stored(std::optional<int> warned = std::nullopt,
                  std::optional<QString> pending = std::nullopt,
                  std::optional<int> down = std::nullopt) {
    AlertState s;
    s.warned = warned;
    s.alertPending = pending;
    s.down = down;
    s.lastAlert = QStringLiteral("old alert");
    s.lastRecovery = QStringLiteral("old recovery");
    return s;
}

enum class Mail { Sent, Failed };

struct Row {
    const char* name;
    AlertState before;
    PollFacts poll;
    Mail mail;
    std::vector<std::string> effects;
    std::string after;
};

const std::string kUnreachableLine = "error: Database unreachable: sales";
const std::string kAlertNote =
    "desktop!: Alert - sales / Database unreachable" + kStamp.toStdString();
const std::string kRecoveryNote =
    "desktop: Recovery - sales / Database recovered" + kStamp.toStdString();
const std::string kStampText = kStamp.toStdString();

TEST(AlertPolicyTest, EveryTransitionOfTheAlertState) {
    const std::vector<Row> rows = {
        {"clear, down, no e-mail: marked as alerted without a mail",
         Stored(),
         Poll(PollStatus::Unreachable, false),
         Mail::Sent,
         {kUnreachableLine, kAlertNote},
         "Warned=1 lastAlert='(alert not sent, missing email setup)' lastRecovery='' "
         "alertPending='' Down=1"},
        {"clear, down, alert sent",
         Stored(0),
         Poll(PollStatus::Unreachable),
         Mail::Sent,
         {kUnreachableLine, kAlertNote, "mail to alert: Alert - sales"},
         "Warned=1 lastAlert='" + kStampText + "' lastRecovery='' alertPending=- Down=1"},
        {"clear, down, alert refused: pending from this poll, Warned stays",
         Stored(0),
         Poll(PollStatus::Unreachable),
         Mail::Failed,
         {kUnreachableLine, kAlertNote, "mail to alert: Alert - sales"},
         "Warned=0 lastAlert='(alert not sent: 554 no)' lastRecovery='' alertPending='" +
             kStampText + "' Down=1"},
        {"pending, down again, refused again: the outage keeps its start, no second notice",
         Stored(0, kEarlier, 1),
         Poll(PollStatus::Unreachable),
         Mail::Failed,
         {kUnreachableLine, "mail to alert: Alert - sales"},
         "Warned=0 lastAlert='(alert not sent: 554 no)' lastRecovery='' alertPending='" +
             kEarlier.toStdString() + "' Down=1"},
        {"pending, down again, sent: pending cleared",
         Stored(0, kEarlier, 1),
         Poll(PollStatus::Unreachable),
         Mail::Sent,
         {kUnreachableLine, "mail to alert: Alert - sales"},
         "Warned=1 lastAlert='" + kStampText + "' lastRecovery='' alertPending='' Down=1"},
        {"alerted, still down: the error line only",
         Stored(1, std::nullopt, 1),
         Poll(PollStatus::Unreachable),
         Mail::Sent,
         {kUnreachableLine},
         "Warned=1 lastAlert='old alert' lastRecovery='old recovery' alertPending=- Down=1"},
        {"alerted before Down was kept (restart): no second notice",
         Stored(1),
         Poll(PollStatus::Unreachable),
         Mail::Sent,
         {kUnreachableLine},
         "Warned=1 lastAlert='old alert' lastRecovery='old recovery' alertPending=- Down=-"},
        {"clear, answers: the access line only",
         Stored(),
         Poll(PollStatus::Reachable),
         Mail::Sent,
         {"access: SUCCESS sales 12.5ms"},
         "Warned=- lastAlert='old alert' lastRecovery='old recovery' alertPending=- Down=-"},
        {"clear, slow: warned on every channel, state unchanged",
         Stored(0),
         Poll(PollStatus::Slow, true, 20001),
         Mail::Failed,
         {"access: WARNING sales 20001ms", "error: WARNING sales 20001ms",
          "desktop: Warning - sales / Slow response from database (20001ms)" + kStampText,
          "mail to alert: Warning - sales"},
         "Warned=0 lastAlert='old alert' lastRecovery='old recovery' alertPending=- Down=-"},
        {"clear, slow, no e-mail: the warning is tried anyway",
         Stored(),
         Poll(PollStatus::Slow, false, 0.25),
         Mail::Sent,
         {"access: WARNING sales 0.25ms", "error: WARNING sales 0.25ms",
          "desktop: Warning - sales / Slow response from database (0.25ms)" + kStampText,
          "mail to alert: Warning - sales"},
         "Warned=- lastAlert='old alert' lastRecovery='old recovery' alertPending=- Down=-"},
        {"alerted, answers, recovery sent",
         Stored(1, std::nullopt, 1),
         Poll(PollStatus::Reachable),
         Mail::Sent,
         {"access: SUCCESS sales 12.5ms", kRecoveryNote, "mail to recovery: Recovery - sales"},
         "Warned=0 lastAlert='old alert' lastRecovery='" + kStampText + "' alertPending=- Down=0"},
        {"alerted, answers, recovery refused: stays alerted, tried again",
         Stored(1, std::nullopt, 1),
         Poll(PollStatus::Reachable),
         Mail::Failed,
         {"access: SUCCESS sales 12.5ms", kRecoveryNote, "mail to recovery: Recovery - sales"},
         "Warned=1 lastAlert='old alert' lastRecovery='" + kStampText + "' alertPending=- Down=0"},
        {"alerted, recovery retried after a refusal: no second notice",
         Stored(1, std::nullopt, 0),
         Poll(PollStatus::Reachable),
         Mail::Sent,
         {"access: SUCCESS sales 12.5ms", "mail to recovery: Recovery - sales"},
         "Warned=0 lastAlert='old alert' lastRecovery='" + kStampText + "' alertPending=- Down=0"},
        {"alerted without e-mail, answers",
         Stored(1, std::nullopt, 1),
         Poll(PollStatus::Reachable, false),
         Mail::Sent,
         {"access: SUCCESS sales 12.5ms", kRecoveryNote},
         "Warned=0 lastAlert='old alert' lastRecovery='(recovery not sent, missing email "
         "setup)' alertPending='' Down=0"},
        {"alerted, slow answer: warning first, then the recovery",
         Stored(1, std::nullopt, 1),
         Poll(PollStatus::Slow, true, 30000),
         Mail::Sent,
         {"access: WARNING sales 30000ms", "error: WARNING sales 30000ms",
          "desktop: Warning - sales / Slow response from database (30000ms)" + kStampText,
          "mail to alert: Warning - sales", kRecoveryNote, "mail to recovery: Recovery - sales"},
         "Warned=0 lastAlert='old alert' lastRecovery='" + kStampText + "' alertPending=- Down=0"},
        {"recovery before the alert's retry: the recovery tells of the missed alert",
         Stored(0, kEarlier, 1),
         Poll(PollStatus::Reachable),
         Mail::Sent,
         {"access: SUCCESS sales 12.5ms", kRecoveryNote, "mail to recovery: Recovery - sales"},
         "Warned=0 lastAlert='" + kStampText + "' lastRecovery='" + kStampText +
             "' alertPending='' Down=0"},
        {"recovery before the alert's retry, refused too: both tried again",
         Stored(0, kEarlier, 1),
         Poll(PollStatus::Reachable),
         Mail::Failed,
         {"access: SUCCESS sales 12.5ms", kRecoveryNote, "mail to recovery: Recovery - sales"},
         "Warned=0 lastAlert='(alert not sent: 554 no)' lastRecovery='" + kStampText +
             "' alertPending='" + kEarlier.toStdString() + "' Down=0"},
        {"pending from a file without Down (restart): the recovery notice still comes",
         Stored(0, kEarlier),
         Poll(PollStatus::Reachable, false),
         Mail::Sent,
         {"access: SUCCESS sales 12.5ms", kRecoveryNote},
         "Warned=0 lastAlert='old alert' lastRecovery='(recovery not sent, missing email "
         "setup)' alertPending='' Down=0"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const AlertDecision decision = AlertPolicy::Decide(row.before, row.poll);
        EXPECT_EQ(Effects(decision), row.effects);
        const AlertState after =
            AlertPolicy::Settle(decision, row.mail == Mail::Sent, QStringLiteral("554 no"));
        EXPECT_EQ(Keys(after), row.after);
    }
}

TEST(AlertPolicyTest, MailTextsAndWhichMailSettlesTheState) {
    const AlertDecision alert = AlertPolicy::Decide(Stored(0), Poll(PollStatus::Unreachable));
    ASSERT_EQ(alert.settlingMail, MailEffect::Kind::Alert);
    const auto& mail = std::get<MailEffect>(alert.effects.last());
    EXPECT_EQ(mail.body, "Database unreachable" + kStamp + "\n\n[unixODBC] could not connect");
    EXPECT_FALSE(mail.toRecoveryRecipient());

    const AlertDecision missed =
        AlertPolicy::Decide(Stored(0, kEarlier, 1), Poll(PollStatus::Reachable));
    EXPECT_EQ(std::get<MailEffect>(missed.effects.last()).body,
              "Database recovered" + kStamp + "\n\nThe database became unreachable" + kEarlier +
                  "; the alert could not be sent then.");

    // A warning's failure changes nothing, so a slow poll of a clear database settles nothing.
    const AlertDecision slow = AlertPolicy::Decide(Stored(0), Poll(PollStatus::Slow, true, 20001));
    EXPECT_FALSE(slow.settlingMail.has_value());
    EXPECT_EQ(AlertPolicy::Settle(slow, false, "x"), AlertPolicy::Settle(slow, true, "x"));
}

TEST(AlertPolicyTest, DesktopNoticesSwitchedOffLeaveTheStateAsWithThem) {
    PollFacts quiet = Poll(PollStatus::Unreachable);
    quiet.desktopNotify = false;
    const AlertDecision off = AlertPolicy::Decide(Stored(0), quiet);
    const AlertDecision on = AlertPolicy::Decide(Stored(0), Poll(PollStatus::Unreachable));
    EXPECT_EQ(Effects(off),
              (std::vector<std::string>{kUnreachableLine, "mail to alert: Alert - sales"}));
    // The outage is still known, so switching notices on mid-outage raises none for it.
    EXPECT_EQ(off.next, on.next);
    EXPECT_EQ(off.next.down, 1);
}

// Two slots watching one database share its section: the second slot's poll sees the state the
// first one left, so an outage is alerted and recovered once.
TEST(AlertPolicyTest, TwoSlotsOfOneTitleAlertAndRecoverOnce) {
    AlertState shared = Stored();
    int alerts = 0;
    int recoveries = 0;
    auto poll = [&](PollStatus status) {
        const AlertDecision d = AlertPolicy::Decide(shared, Poll(status));
        for (const AlertEffect& e : d.effects) {
            if (const auto* mail = std::get_if<MailEffect>(&e)) {
                alerts += mail->kind == MailEffect::Kind::Alert;
                recoveries += mail->kind == MailEffect::Kind::Recovery;
            }
        }
        shared = AlertPolicy::Settle(d, true, QString());
    };
    for (int round = 0; round < 3; ++round) {
        poll(PollStatus::Unreachable); // slot 1
        poll(PollStatus::Unreachable); // slot 3, same title
    }
    poll(PollStatus::Reachable);
    poll(PollStatus::Reachable);
    EXPECT_EQ(alerts, 1);
    EXPECT_EQ(recoveries, 1);
    EXPECT_FALSE(shared.Warned());
}

// A poll with a health query: its times apart in the access line, and a failed query's reason
// in the error line and the notification as well as in the mail; the driver's message of a
// failed connect stays in the mail alone.
TEST(AlertPolicyTest, AHealthQueryShowsItsTimesAndItsReason) {
    const QString reason = QStringLiteral("Health query failed: expected 0:10, got 37");
    PollFacts failed = Poll(PollStatus::Unreachable);
    failed.healthFailed = true;
    failed.errorText = reason;
    PollFacts passed = Poll(PollStatus::Reachable, true, 12.5);
    passed.queryMs = 2.25;
    PollFacts slow = Poll(PollStatus::Slow, true, 20000);
    slow.queryMs = 19000;
    const struct {
        const char* what;
        PollFacts facts;
        std::vector<std::string> effects;
    } cases[] = {
        {"failed query",
         failed,
         {"error: Database unreachable: sales (" + reason.toStdString() + ")",
          "desktop!: Alert - sales / Database unreachable" + kStamp.toStdString() + " (" +
              reason.toStdString() + ")",
          "mail to alert: Alert - sales"}},
        {"failed connect",
         Poll(PollStatus::Unreachable),
         {"error: Database unreachable: sales",
          "desktop!: Alert - sales / Database unreachable" + kStamp.toStdString(),
          "mail to alert: Alert - sales"}},
        {"passed query", passed, {"access: SUCCESS sales 12.5ms (connect 10.25ms, query 2.25ms)"}},
        {"slow query",
         slow,
         {"access: WARNING sales 20000ms (connect 1000ms, query 19000ms)",
          "error: WARNING sales 20000ms (connect 1000ms, query 19000ms)",
          "desktop: Warning - sales / Slow response from database (20000ms)" + kStamp.toStdString(),
          "mail to alert: Warning - sales"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const AlertDecision d = AlertPolicy::Decide(Stored(), c.facts);
        EXPECT_EQ(Effects(d), c.effects);
        for (const AlertEffect& e : d.effects) {
            const auto* mail = std::get_if<MailEffect>(&e);
            if (mail && mail->kind == MailEffect::Kind::Alert) {
                EXPECT_TRUE(mail->body.endsWith("\n\n" + c.facts.errorText));
            }
        }
    }
}

} // namespace
