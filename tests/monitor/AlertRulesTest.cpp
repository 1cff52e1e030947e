// The rules that keep alerts worth reading: confirmation before an alert, polls that say nothing
// (asleep, offline), reminders during a long outage, the outage's length in the recovery, and
// one warning mail per period. Timelines in milliseconds, no database, no clock.
#include "monitor/AlertPolicy.h"
#include "monitor/SlotStatus.h"

#include <gtest/gtest.h>

#include <ctime>

namespace {

constexpr qint64 kStart = 1780000000000; // ms since the epoch, a day in 2026
constexpr qint64 kMinute = 60000;

struct Step {
    qint64 atMs; // after kStart
    PollStatus status;
    double elapsedMs = 12.5;
    QString notChecked;
};

Step Down(qint64 atMs) {
    return {atMs, PollStatus::Unreachable, -99, QString()};
}
Step Up(qint64 atMs) {
    return {atMs, PollStatus::Reachable, 12.5, QString()};
}
Step SlowPoll(qint64 atMs, double elapsedMs) {
    return {atMs, PollStatus::Slow, elapsedMs, QString()};
}
Step Asleep(qint64 atMs) {
    return {atMs, PollStatus::Unreachable, -99, QStringLiteral("this computer was asleep")};
}

QString StampAt(qint64 atMs) {
    return TimeStamp(static_cast<std::time_t>((kStart + atMs) / 1000));
}

PollFacts Facts(const AlertRules& rules, const Step& step) {
    PollFacts f;
    f.title = QStringLiteral("sales");
    f.status = step.status;
    f.elapsedMs = step.elapsedMs;
    f.errorText = QStringLiteral("[unixODBC] could not connect");
    f.stamp = StampAt(step.atMs);
    f.emailSetUp = true;
    f.rules = rules;
    f.nowMs = kStart + step.atMs;
    f.notChecked = step.notChecked;
    return f;
}

// What the user got along a timeline: "<seconds>s mail|notice <subject>", one per effect.
struct Walked {
    std::vector<std::string> got;
    std::vector<int> confirming; // per poll
    std::vector<MailEffect> mails;
    AlertState state;
};

Walked Walk(const AlertRules& rules, const std::vector<Step>& steps, AlertState state = {},
            const std::vector<bool>& sent = {}) {
    Walked w;
    size_t settling = 0;
    for (const Step& step : steps) {
        const AlertDecision d = AlertPolicy::Decide(state, Facts(rules, step));
        const std::string at = std::to_string(step.atMs / 1000) + "s ";
        for (const AlertEffect& effect : d.effects) {
            if (const auto* mail = std::get_if<MailEffect>(&effect)) {
                w.got.push_back(at + "mail " + mail->subject.toStdString());
                w.mails.push_back(*mail);
            } else if (const auto* note = std::get_if<DesktopEffect>(&effect)) {
                w.got.push_back(at + "notice " + note->summary.toStdString());
            }
        }
        w.confirming.push_back(d.confirming);
        bool ok = true;
        if (d.settlingMail && settling < sent.size())
            ok = sent[settling++];
        state = AlertPolicy::Settle(d, ok, QStringLiteral("421 busy"));
    }
    w.state = state;
    return w;
}

AlertRules Confirm(int polls, qint64 pauseMs = 30000) {
    AlertRules r;
    r.confirmPolls = polls;
    r.confirmMs = pauseMs;
    return r;
}

TEST(AlertRulesTest, ConfirmationAlertsOnlyAnOutageThatLasts) {
    struct Row {
        const char* name;
        AlertRules rules;
        std::vector<Step> steps;
        std::vector<std::string> got;
        std::vector<int> confirming;
    };
    const std::vector<Row> rows = {
        {"three failures in a row: one alert and one notice, at the third",
         Confirm(3),
         {Down(0), Down(30000), Down(60000)},
         {"60s notice Alert - sales", "60s mail Alert - sales"},
         {2, 3, 0}},
        {"a blip: the success in between ends it with nothing sent",
         Confirm(3),
         {Down(0), Up(30000), Up(90000)},
         {},
         {2, 0, 0}},
        {"a slow answer ends it too, with its warning only",
         Confirm(3),
         {Down(0), SlowPoll(30000, 20000)},
         {"30s notice Warning - sales", "30s mail Warning - sales"},
         {2, 0}},
        {"the count starts again after a success",
         Confirm(3),
         {Down(0), Down(30000), Up(60000), Down(120000), Down(150000)},
         {},
         {2, 3, 0, 2, 3}},
        {"a confirmed outage mails once, then recovers once",
         Confirm(2),
         {Down(0), Down(30000), Down(90000), Up(150000)},
         {"30s notice Alert - sales", "30s mail Alert - sales", "150s notice Recovery - sales",
          "150s mail Recovery - sales"},
         {2, 0, 0, 0}},
        {"one poll to confirm is the first failure, as before",
         Confirm(1),
         {Down(0), Down(60000)},
         {"0s notice Alert - sales", "0s mail Alert - sales"},
         {0, 0}},
        {"a sleep in the middle neither counts nor breaks the count",
         Confirm(3),
         {Down(0), Asleep(30000), Down(60000), Down(90000)},
         {"90s notice Alert - sales", "90s mail Alert - sales"},
         {2, 0, 3, 0}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const Walked w = Walk(row.rules, row.steps);
        EXPECT_EQ(w.got, row.got);
        EXPECT_EQ(w.confirming, row.confirming);
    }
}

TEST(AlertRulesTest, TheAlertSaysHowLongTheDatabaseHasBeenFailing) {
    const Walked w = Walk(Confirm(3), {Down(0), Down(30000), Down(60000)});
    ASSERT_EQ(w.mails.size(), 1u);
    EXPECT_EQ(w.mails[0].body, "Database unreachable" + StampAt(60000) +
                                   "\n\n[unixODBC] could not connect\n\nThe database has been "
                                   "failing for 1 min 00 s, since its first failed poll" +
                                   StampAt(0) + " (3 failed polls in a row).");
}

TEST(AlertRulesTest, APollThatSaysNothingChangesNothing) {
    const AlertRules rules = Confirm(3);
    const std::vector<AlertState> states = {
        Walk(rules, {}).state, Walk(rules, {Down(0)}).state,         // unconfirmed
        Walk(rules, {Down(0), Down(1), Down(2)}).state,              // alerted
        Walk(rules, {Down(0), Down(1), Down(2)}, {}, {false}).state, // alert pending
    };
    for (size_t i = 0; i < states.size(); ++i) {
        SCOPED_TRACE(i);
        for (const PollStatus status :
             {PollStatus::Unreachable, PollStatus::Reachable, PollStatus::Slow}) {
            Step step{5 * kMinute, status, 20000, QStringLiteral("this computer is offline")};
            const AlertDecision d = AlertPolicy::Decide(states[i], Facts(rules, step));
            ASSERT_EQ(d.effects.size(), 1);
            EXPECT_EQ(std::get<LogEffect>(d.effects[0]),
                      (LogEffect{LogEffect::Log::Access,
                                 "NOT CHECKED sales (this computer is offline)"}));
            EXPECT_EQ(d.next, states[i]);
            EXPECT_FALSE(d.settlingMail.has_value());
            EXPECT_EQ(d.confirming, 0);
        }
    }
}

TEST(AlertRulesTest, RemindersWhileAnAlertedOutageLasts) {
    AlertRules rules;
    rules.remindMs = 10 * kMinute;
    struct Row {
        const char* name;
        std::vector<Step> steps;
        std::vector<bool> sent; // the settling mails' results in order; the rest go out
        std::vector<std::string> got;
    };
    const std::vector<Row> rows = {
        {"every ten minutes from the alert, none after the recovery",
         {Down(0), Down(5 * kMinute), Down(10 * kMinute), Down(15 * kMinute), Down(21 * kMinute),
          Up(25 * kMinute), Up(40 * kMinute)},
         {},
         {"0s notice Alert - sales", "0s mail Alert - sales", "600s mail Still down - sales",
          "1260s mail Still down - sales", "1500s notice Recovery - sales",
          "1500s mail Recovery - sales"}},
        {"an alert not sent yet has nothing to remind of; the interval runs from the retry",
         {Down(0), Down(1 * kMinute), Down(10 * kMinute), Down(11 * kMinute)},
         {false, true},
         {"0s notice Alert - sales", "0s mail Alert - sales", "60s mail Alert - sales",
          "660s mail Still down - sales"}},
        {"a clock set back by hand counts again from then, with no mail",
         {Down(20 * kMinute), Down(5 * kMinute), Down(14 * kMinute), Down(15 * kMinute)},
         {},
         {"1200s notice Alert - sales", "1200s mail Alert - sales",
          "900s mail Still down - sales"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(Walk(rules, row.steps, {}, row.sent).got, row.got);
    }

    const Walked w = Walk(rules, {Down(0), Down(10 * kMinute), Up(95 * kMinute)});
    ASSERT_EQ(w.mails.size(), 3u);
    EXPECT_EQ(w.mails[1].body, "Database still unreachable" + StampAt(10 * kMinute) +
                                   "\n\nThe outage began" + StampAt(0) +
                                   " and has lasted 10 min 00 s.\n\n[unixODBC] could not connect");
    // The recovery's text stays as it was, with the length below it.
    EXPECT_EQ(w.mails[2].body,
              "Database recovered" + StampAt(95 * kMinute) + "\n\nThe outage lasted 1 h 35 min.");
    EXPECT_FALSE(w.mails[1].toRecoveryRecipient());
}

TEST(AlertRulesTest, OneWarningMailPerPeriodTellsOfEverySlowPoll) {
    AlertRules rules;
    rules.slowMailMs = 30 * kMinute;
    const Walked w =
        Walk(rules, {SlowPoll(0, 20000), SlowPoll(kMinute, 45000), SlowPoll(2 * kMinute, 21000),
                     Up(3 * kMinute), SlowPoll(30 * kMinute, 22000)});
    EXPECT_EQ(w.got, (std::vector<std::string>{
                         "0s notice Warning - sales", "0s mail Warning - sales",
                         "1800s notice Warning - sales", "1800s mail Warning - sales"}));
    ASSERT_EQ(w.mails.size(), 2u);
    EXPECT_EQ(w.mails[0].body, "Slow response from database (20000ms)" + StampAt(0) +
                                   "\n\n1 slow poll since the last warning; the slowest took "
                                   "20000ms.");
    EXPECT_EQ(w.mails[1].body, "Slow response from database (22000ms)" + StampAt(30 * kMinute) +
                                   "\n\n3 slow polls since the last warning; the slowest took "
                                   "45000ms.");
    EXPECT_EQ(w.state.slowPolls, 0);
}

// Under the defaults the file gains no key and every mail reads as before.
TEST(AlertRulesTest, DefaultsKeepNoNewStateAndMailAsBefore) {
    const Walked w = Walk(AlertRules{}, {Down(0), Down(kMinute), SlowPoll(2 * kMinute, 20000),
                                         SlowPoll(3 * kMinute, 20000), Up(4 * kMinute)});
    EXPECT_EQ(w.got, (std::vector<std::string>{
                         "0s notice Alert - sales", "0s mail Alert - sales",
                         "120s notice Warning - sales", "120s mail Warning - sales",
                         "120s notice Recovery - sales", "120s mail Recovery - sales",
                         "180s notice Warning - sales", "180s mail Warning - sales"}));
    for (const MailEffect& mail : w.mails)
        EXPECT_FALSE(mail.body.contains("\n\nThe outage") || mail.body.contains("slow poll"))
            << mail.body.toStdString();
    EXPECT_EQ(w.mails.back().body, "Slow response from database (20000ms)" + StampAt(3 * kMinute));
    EXPECT_FALSE(w.state.failedPolls || w.state.outageSince || w.state.lastReminder ||
                 w.state.slowPolls || w.state.slowestMs || w.state.lastWarning);
}

TEST(AlertRulesTest, HandEditedStateReadsAsUnknown) {
    AlertState edited;
    edited.failedPolls = -4;
    edited.outageSince = QStringLiteral("yesterday");
    const Walked w = Walk(Confirm(2), {Down(0), Down(30000)}, edited);
    EXPECT_EQ(w.confirming, (std::vector<int>{2, 0}));
    ASSERT_EQ(w.mails.size(), 1u);
    EXPECT_TRUE(w.mails[0].body.endsWith("failing for 30 s, since its first failed poll" +
                                         StampAt(0) + " (2 failed polls in a row)."))
        << w.mails[0].body.toStdString();
}

TEST(AlertRulesTest, DurationsForMails) {
    const std::vector<std::pair<qint64, QString>> rows = {
        {-5, "0 s"},
        {999, "0 s"},
        {59999, "59 s"},
        {60000, "1 min 00 s"},
        {3599000, "59 min 59 s"},
        {3600000, "1 h 00 min"},
        {86399000, "23 h 59 min"},
        {90000000, "1 d 1 h"},
    };
    for (const auto& [ms, text] : rows)
        EXPECT_EQ(AlertPolicy::FormatDuration(ms), text) << ms;
}

} // namespace
