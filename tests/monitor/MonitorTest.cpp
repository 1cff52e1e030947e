// The monitor engine on real databases, log files, settings and SMTP servers: the slot
// display, the poll cycle and its alert state, the scheduler, and an outage end to end.
#include "monitor/PollScheduler.h"
#include "monitor/SlotStatus.h"
#include "probe/DatabaseProbe.h"
#include "settings/SettingsStore.h"
#include "tests/common/DbServer.h"
#include "tests/common/OdbcTestEnv.h"
#include "tests/common/SmtpSink.h"
#include "tests/monitor/MonitorTestSupport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QThread>

#include <gtest/gtest.h>

#include <climits>
#include <clocale>
#include <cmath>
#include <thread>

namespace {

// The slot display: its arithmetic, then real polls of a SQLite database with the probe's
// measured time set by a scripted millisecond counter so that exact values come out.

TEST(SlotStatusTest, NumberTexts) {
    const struct {
        double value;
        const char* text;
        double scale; // RoundScale edits the "%g" text: see the large and negative rows
    } cases[] = {{16, "16", 20},        {123, "123", 130},      {120, "120", 120},
                 {125.5, "125.5", 130}, {0.1 + 0.2, "0.3", 10}, {0, "0", 0},
                 {99999, "99999", 1e5}, {-99, "-99", -80},      {-198, "-198", -180},
                 {999995, "999995", 1}, {2e6, "2e+06", 0},      {123450, "123450", 123450}};
    // The application object sets the user's locale; a decimal comma would break the rounding.
    // A private build of de_DE (package locales) stands in for a machine that has one.
    const QString locales = TestSupport::MakeTempDir("locale");
    TestSupport::WaitExit(
        TestSupport::Spawn({"localedef", "-i", "de_DE", "-f", "UTF-8", locales + "/de_DE.UTF-8"}),
        60000);
    qputenv("LOCPATH", locales.toLocal8Bit());
    const std::string saved = std::setlocale(LC_NUMERIC, nullptr);
    ASSERT_NE(std::setlocale(LC_NUMERIC, "de_DE.UTF-8"), nullptr);
    for (const auto& c : cases) {
        EXPECT_EQ(FormatMs(c.value), c.text) << c.value;
        EXPECT_EQ(RoundScale(c.value), c.scale) << c.value;
    }
    std::setlocale(LC_NUMERIC, saved.c_str());
    const std::pair<const char*, int> boxes[] = {
        {"  \t42ms", 42}, {"-7", -7}, {"+5x", 5}, {"- 3", 0}, {"", 0}, {"-99999999999", INT_MIN}};
    for (const auto& [text, value] : boxes)
        EXPECT_EQ(LeadingInt(text), value) << text;
}

using Field = SlotField;

class DisplayTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(OdbcTestEnv::CreateSqliteDatabase(db).isEmpty());
        rig.StoreSlot(0, OdbcTestEnv::SqliteConnectionString(db), "DisplayDb");
        rig.options.probeClock = [this] {
            // First call of a poll: before Connect; second: after Disconnect.
            const std::chrono::nanoseconds t0{base.load()};
            if (!started.exchange(true))
                return t0;
            return t0 + std::chrono::round<std::chrono::nanoseconds>(
                            std::chrono::duration<double, std::milli>(elapsed.load()));
        };
        rig.Restart();
    }
    void Poll(double ms) {
        elapsed = ms;
        started = false;
        rig.view.Clear();
        rig.monitor->PollSlot(0);
    }

    MonitorRig rig;
    QString db = rig.dir + "/display.db";
    std::atomic<std::int64_t> base{1'000'000'000};
    std::atomic<double> elapsed{0};
    std::atomic<bool> started{false};
};

TEST_F(DisplayTest, ScaleThresholdAndHistoryWindowOverAPollingRun) {
    rig.monitor->SetThreshold(0, 16);
    Poll(16); // at the threshold: reachable; the scale rises to 16 and rounds up to 20
    const auto when = rig.monitor->History(0).value(0).when;
    EXPECT_TRUE(IsStamp(when));
    EXPECT_EQ(rig.view.Last("sample", 0).mark, 0.0);
    EXPECT_EQ(rig.view.LastColour(0), SlotColour::Reachable);
    EXPECT_EQ(rig.view.Legend(0), QStringList({"20ms", "16ms", "12ms", "8ms", "4ms"}));
    EXPECT_EQ(rig.view.Text(0, Field::BestAccess), "16ms" + when);
    EXPECT_TRUE(IsStamp(rig.view.Text(0, Field::LastAccess).mid(4)));
    Poll(17); // one more: slow, marked, warned in both logs
    EXPECT_EQ(rig.view.Last("sample", 0).mark, 1.0);
    EXPECT_EQ(rig.view.LastColour(0), SlotColour::Slow);
    EXPECT_EQ(rig.monitor->Probe(0)->GetStatus(), CDatabaseProbe::Slow);
    EXPECT_EQ(rig.ErrorLines(), QStringList{"WARNING DisplayDb 17ms"});
    EXPECT_EQ(rig.view.Text(0, Field::WorstAccess), "17ms" + rig.monitor->History(0)[1].when);
    Poll(0); // reachable, yet shown as unavailable
    EXPECT_EQ(rig.view.LastColour(0), SlotColour::Reachable);
    EXPECT_TRUE(rig.view.Text(0, Field::LastAccess).startsWith("unavailable on "));
    EXPECT_EQ(rig.AccessLines(), QStringList({"SUCCESS DisplayDb 16ms", "WARNING DisplayDb 17ms",
                                              "SUCCESS DisplayDb 0ms"}));
    rig.monitor->SetThreshold(0, 10000);
    while (rig.monitor->History(0).size() < kHistoryLength - 1)
        Poll(50);
    EXPECT_EQ(rig.monitor->GraphScale(0), 50) << "raised, not yet twice the mean";
    Poll(50); // the history is full: twice the mean, 97.8, rounded up
    EXPECT_EQ(rig.monitor->GraphScale(0), 100);
    EXPECT_EQ(rig.view.Legend(0), QStringList({"100ms", "80ms", "60ms", "40ms", "20ms"}));
    Poll(0.25); // a fraction of a millisecond is kept, and shown
    EXPECT_EQ(rig.monitor->History(0).size(), kHistoryLength) << "one record dropped per poll";
    EXPECT_EQ(rig.monitor->History(0).last().elapsed, 0.25);
    EXPECT_EQ(rig.view.Last("sample", 0).value, 0.25);
    EXPECT_TRUE(rig.view.Text(0, Field::LastAccess).startsWith("0.25ms on "));
    EXPECT_EQ(rig.AccessLines().last(), "SUCCESS DisplayDb 0.25ms");
}

// The real clock on a local file, which answers in about a millisecond or less: every poll is
// measured to a fraction of a millisecond, so none reads "unavailable" and each draws a bar.
TEST_F(DisplayTest, ALocalFileIsTimedToAFractionOfAMillisecond) {
    rig.options.probeClock = nullptr;
    rig.Restart();
    for (int poll = 0; poll < 5; ++poll) {
        Poll(0);
        const AccessRecord record = rig.monitor->History(0).last();
        EXPECT_GT(record.elapsed, 0);
        EXPECT_NE(record.elapsed, std::floor(record.elapsed)) << "counted in whole milliseconds";
        const QString lastAccess = rig.view.Text(0, Field::LastAccess);
        EXPECT_TRUE(lastAccess.startsWith(FormatMs(record.elapsed) + "ms on "))
            << lastAccess.toStdString();
        EXPECT_EQ(rig.view.Last("sample", 0).value, record.elapsed);
        EXPECT_EQ(rig.view.LastColour(0), SlotColour::Reachable);
    }
    double best = 1e9, worst = 0;
    for (const AccessRecord& r : rig.monitor->History(0)) {
        best = std::min(best, r.elapsed);
        worst = std::max(worst, r.elapsed);
    }
    EXPECT_TRUE(rig.view.Text(0, Field::BestAccess).startsWith(FormatMs(best) + "ms on "));
    EXPECT_TRUE(rig.view.Text(0, Field::WorstAccess).startsWith(FormatMs(worst) + "ms on "));
}

// Without e-mail the alert state still advances, and says so; a reset leaves it alone.
TEST_F(DisplayTest, FailureResetAndRecoveryWithoutMail) {
    QFile::remove(db);
    Poll(16);
    EXPECT_EQ(rig.monitor->History(0).value(0).elapsed, -99);
    EXPECT_EQ(rig.view.Last("sample", 0).value, 0.0) << "a failed probe draws no bar";
    EXPECT_EQ(rig.monitor->GraphScale(0), 10);
    EXPECT_TRUE(rig.view.Text(0, Field::LastAccess).startsWith("unavailable on "));
    EXPECT_EQ(rig.view.Last("text", 0, int(Field::BestAccess)).slot, -1);
    EXPECT_EQ(rig.view.LastColour(0), SlotColour::Unreachable);
    EXPECT_EQ(rig.monitor->LastAlert(0), "(alert not sent, missing email setup)");
    rig.view.Clear();
    rig.monitor->ResetSlotDisplay(0);
    for (int field = 0; field < 5; ++field) // every text cleared, and the graph
        EXPECT_TRUE(rig.view.Last("text", 0, field).slot == 0 &&
                    rig.view.Text(0, Field(field)) == "");
    EXPECT_EQ(rig.view.Last("resetGraph", 0).slot, 0);
    EXPECT_EQ(rig.view.LastColour(0), SlotColour::Default);
    EXPECT_TRUE(rig.monitor->History(0).isEmpty());
    EXPECT_TRUE(rig.monitor->LastAlert(0).isEmpty());
    Poll(0); // still down and already notified: no new alert text
    EXPECT_TRUE(rig.monitor->LastAlert(0).isEmpty());
    EXPECT_EQ(SettingsStore::ReadInt("DisplayDb", "Warned", 0), 1);
    ASSERT_FALSE(OdbcTestEnv::CreateSqliteDatabase(db).isEmpty());
    Poll(0);
    EXPECT_EQ(rig.monitor->LastRecovery(0), "(recovery not sent, missing email setup)");
    EXPECT_EQ(SettingsStore::ReadInt("DisplayDb", "Warned", 0), 0);
}

// The poll cycle and its alert state machine on real SQLite databases, real log files, the real
// settings store and a real SMTP server; the re-arm rules, the watchdog and the slot commands
// against running polls.

int Warned(const QString& title) {
    return SettingsStore::ReadInt(title, "Warned", 0);
}

QStringList Subjects(const SmtpSink& sink) {
    QStringList out;
    for (const auto& m : sink.Messages())
        out << m.Subject();
    return out;
}

class PollTest : public ::testing::Test {
protected:
    void Create(const QString& path) {
        ASSERT_FALSE(OdbcTestEnv::CreateSqliteDatabase(path).isEmpty());
    }
    MonitorRig rig;
    QString db = rig.dir + "/poll.db";
    QString connection = OdbcTestEnv::SqliteConnectionString(db);
};

// Slots watching one title share its state; polled together (as at start-up) they alert once
// and recover once.
TEST_F(PollTest, OneTitleInTwoSlotsPolledTogetherNotifiesOnce) {
    SmtpSink sink;
    ASSERT_TRUE(sink.Start());
    rig.SetUpEmail(sink.Port());
    const QString twin = rig.dir + "/twin.db";
    rig.StoreSlot(0, connection, "Twin");
    rig.StoreSlot(2, OdbcTestEnv::SqliteConnectionString(twin), "Twin");
    for (int round = 1; round <= 6; ++round) {
        if (round % 2 == 0)
            Create(db), Create(twin);
        ConnectGate gate(*rig.connector);
        rig.monitor->StartPoll(0);
        rig.monitor->StartPoll(2);
        ASSERT_TRUE(gate.WaitForEntered(2, 10000));
        gate.open = true;
        ASSERT_TRUE(rig.monitor->WaitForPolls(30000));
        EXPECT_EQ(Warned("Twin"), round % 2);
        ASSERT_TRUE(sink.WaitForMessages(round, 10000));
        if (round % 2 == 0)
            QFile::remove(db), QFile::remove(twin);
    }
    EXPECT_EQ(Subjects(sink).join(' '),
              QString("Alert - Twin Recovery - Twin ").repeated(3).trimmed());
    rig.Restart(); // both slots read the shared texts
    EXPECT_EQ(rig.monitor->LastAlert(2), rig.monitor->LastAlert(0));
}

// Each poll re-arms its slot: interval x minute, a second less after a probe; an interval below
// one minute (a hand-edited store) polls every minute instead of stopping or spinning. A start
// makes no connection; an empty title keeps its state at the store's top level.
TEST_F(PollTest, ReArmDelaysStartAndEmptyTitle) {
    SettingsStore::WriteInt("Settings", "Interval0", 0);
    SettingsStore::WriteInt("Settings", "Interval1", -5);
    SettingsStore::WriteInt("Settings", "Interval3", 2);
    rig.connector->SetStep([] { ADD_FAILURE() << "connected at the start"; });
    Create(db);
    rig.StoreSlot(1, connection, "Edited");
    rig.StoreSlot(2, OdbcTestEnv::SqliteConnectionString(rig.dir + "/none.db"), "");
    rig.StoreSlot(3, connection, "Edited");
    rig.monitor->LoadIntervalsAndThresholds();
    rig.connector->SetStep({});
    QList<qint64> delays;
    rig.options.minuteMs = 5000;
    rig.Restart();
    for (int slot : {0, 1, 2, 3})
        rig.monitor->PollSlot(slot);
    rig.monitor->SetProbe(3, nullptr);
    rig.monitor->PollSlot(3);
    for (const PollEnded& end : rig.Ends())
        delays << end.slot * 100000 + end.delayMs;
    EXPECT_EQ(delays, QList<qint64>({5000, 104000, 274000, 309000, 310000}));
    EXPECT_EQ(rig.AccessLines().size(), 2);
    EXPECT_EQ(rig.ErrorLines(), QStringList{"Database unreachable: "});
    EXPECT_EQ(Warned(""), 1);
}

// The watchdog's bound: a fixed one wins, else the login time-out given, else the probe's, each
// plus the 5 s of grace.
TEST(WatchdogBoundTest, FixedOrLoginTimeOutPlusGrace) {
    const struct {
        int login, fixed, bound;
    } cases[] = {
        {3, 0, 8000}, {3, 1500, 1500}, {ProbeOptions::kDefaultLoginTimeoutSeconds, 0, 65000}};
    auto log = std::make_shared<LogWriter>(nullptr);
    auto smtp = std::make_shared<SmtpClient>(nullptr);
    for (const auto& c : cases) {
        MonitorOptions options;
        options.probe.loginTimeoutSeconds = c.login;
        options.watchdogBoundMs = c.fixed;
        SlotMonitor monitor(log, smtp, options);
        EXPECT_EQ(monitor.WatchdogBoundMs(), c.bound) << c.login << " " << c.fixed;
    }
}

TEST_F(PollTest, WatchdogEndsAHungPollAndTheSlotGoesOnWithAFreshProbe) {
    Create(db);
    SmtpSink sink;
    ASSERT_TRUE(sink.Start());
    rig.SetUpEmail(sink.Port());
    rig.StoreSlot(0, connection, "HungDb");
    rig.options.watchdogBoundMs = 1500;
    rig.Restart();
    std::weak_ptr<CDatabaseProbe> hung = rig.monitor->Probe(0);
    auto gate = std::make_unique<ConnectGate>(*rig.connector);
    rig.monitor->StartPoll(0);
    ASSERT_TRUE(gate->WaitForEntered(1, 10000));
    ASSERT_TRUE(rig.monitor->WaitForPolls(30000)) << "the watchdog ends the poll";
    ASSERT_EQ(rig.Ends().size(), 1);
    EXPECT_EQ(rig.Ends()[0].delayMs, 15 * 60000 - 1000);
    EXPECT_EQ(rig.monitor->HungCalls(), 1);
    EXPECT_EQ(rig.ErrorLines(), QStringList{"Database unreachable: HungDb"});
    ASSERT_TRUE(sink.WaitForMessages(1, 10000));
    EXPECT_TRUE(sink.Messages()[0].Body().contains("\n\nNo answer from the database within 2 s"));
    EXPECT_NE(rig.monitor->Probe(0), hung.lock());
    const auto calls = rig.view.Calls().size();
    gate.reset(); // the hung call returns: it changes nothing and lets its probe go
    ASSERT_TRUE(WaitUntil([&] { return rig.monitor->HungCalls() == 0 && hung.expired(); }, 30000));
    EXPECT_EQ(rig.view.Calls().size(), calls);
    rig.monitor->PollSlot(0); // the fresh probe recovers
    ASSERT_TRUE(sink.WaitForMessages(2, 10000));
    EXPECT_EQ(sink.Messages()[1].Subject(), "Recovery - HungDb");
}

// A database removed during its poll, then a shutdown while a poll is stuck: neither poll
// touches the slot, the window or the logs afterwards, and each lets its probe go.
TEST_F(PollTest, RemovalAndShutdownCutRunningPollsOff) {
    Create(db);
    rig.StoreSlot(0, connection, "Removed");
    std::weak_ptr<CDatabaseProbe> probe = rig.monitor->Probe(0);
    auto gate = std::make_unique<ConnectGate>(*rig.connector);
    rig.monitor->StartPoll(0);
    ASSERT_TRUE(gate->WaitForEntered(1, 10000));
    rig.monitor->SetProbe(0, nullptr);
    EXPECT_FALSE(probe.expired()) << "the running poll holds its probe";
    rig.view.Clear();
    gate->open = true;
    ASSERT_TRUE(rig.monitor->WaitForPolls(20000));
    const QList<PollEnded> ends = rig.Ends();
    ASSERT_EQ(ends.size(), 1);
    EXPECT_EQ(ends[0].delayMs, -1) << "the emptied slot stays stopped";
    EXPECT_TRUE(WaitUntil([&] { return probe.expired(); }, 10000));
    gate.reset();
    gate = std::make_unique<ConnectGate>(*rig.connector);
    rig.StoreSlot(0, connection, "Late");
    rig.monitor->StartPoll(0);
    ASSERT_TRUE(gate->WaitForEntered(1, 10000));
    rig.view.Clear();
    rig.monitor->Shutdown(300);
    rig.monitor.reset();
    gate.reset(); // the poll resumes and ends on its own, then lets the log writer go
    ASSERT_TRUE(WaitUntil([&] { return rig.log.use_count() == 1; }, 20000));
    EXPECT_TRUE(rig.view.Calls().isEmpty());
    EXPECT_TRUE(rig.AccessLines().isEmpty());
}

// An outage of a real database server, end to end: the private PostgreSQL or MariaDB server
// stopped and started under a monitor, with the real SMTP server, settings file and log files.

class OutageTest : public ::testing::TestWithParam<DbServer::Kind> {};

TEST_P(OutageTest, OneAlertCarryingTheDriversMessageAndOneRecovery) {
    DbServer db(GetParam());
    MonitorRig rig;
    ASSERT_TRUE(db.Start());
    SmtpSink sink;
    ASSERT_TRUE(sink.Start());
    rig.SetUpEmail(sink.Port());
    const QString t = db.User() + "@" + db.Driver();
    const auto warned = [&] { return SettingsStore::ReadInt(t, "Warned", 0); };
    rig.StoreSlot(0, db.DriverConnectionString(), t);

    rig.monitor->PollSlot(0); // reachable
    EXPECT_TRUE(rig.AccessLines().value(0).startsWith("SUCCESS " + t + " "));

    ASSERT_TRUE(db.Stop()); // stopped: an error line at every poll, one alert
    QElapsedTimer timer;
    timer.start();
    rig.monitor->PollSlot(0);
    rig.monitor->PollSlot(0);
    rig.Restart(); // a restart while down: the stored state holds back a second alert
    rig.monitor->PollSlot(0);
    EXPECT_LT(timer.elapsed(), 30000) << "refused at once, not after the login time-out";
    EXPECT_EQ(rig.ErrorLines(), QStringList(3, "Database unreachable: " + t));
    ASSERT_TRUE(sink.WaitForMessages(1, 15000));
    const SmtpSink::Message alert = sink.Messages()[0];
    EXPECT_EQ(alert.Subject(), "Alert - " + t);
    EXPECT_EQ(alert.rcptTos, QStringList{kAlertTo});
    EXPECT_EQ(alert.mailFrom, kSender);
    const QString lastAlert = SettingsStore::ReadString(t, "lastAlert");
    EXPECT_TRUE(IsStamp(lastAlert));
    EXPECT_EQ(rig.view.Text(0, Field::LastAlert), lastAlert);
    const QString body = alert.Body();
    EXPECT_TRUE(body.startsWith("Database unreachable" + lastAlert + "\n\n")) << body.toStdString();
    EXPECT_TRUE(body.contains("127.0.0.1")) << "the driver's message: " << body.toStdString();
    EXPECT_EQ(warned(), 1);

    ASSERT_TRUE(db.Start()); // back: one recovery, the state clears
    rig.monitor->PollSlot(0);
    rig.monitor->PollSlot(0);
    ASSERT_TRUE(sink.WaitForMessages(2, 15000));
    const SmtpSink::Message recovery = sink.Messages()[1];
    EXPECT_EQ(recovery.Subject(), "Recovery - " + t);
    EXPECT_EQ(recovery.rcptTos, QStringList{kRecoveryTo});
    const QString lastRecovery = SettingsStore::ReadString(t, "lastRecovery");
    EXPECT_TRUE(IsStamp(lastRecovery));
    EXPECT_TRUE(recovery.Body().startsWith("Database recovered" + lastRecovery));
    EXPECT_EQ(rig.view.Text(0, Field::LastRecovery), lastRecovery);
    EXPECT_EQ(SettingsStore::ReadString(t, "lastAlert"), lastAlert);
    EXPECT_EQ(warned(), 0);
    EXPECT_EQ(rig.AccessLines().size(), 3);
    EXPECT_EQ(sink.Messages().size(), 2);
}

INSTANTIATE_TEST_SUITE_P(Servers, OutageTest,
                         ::testing::Values(DbServer::Kind::Postgres, DbServer::Kind::MariaDb),
                         [](const auto& info) {
                             return info.param == DbServer::Kind::Postgres ? "PostgreSQL"
                                                                           : "MariaDB";
                         });

} // namespace
