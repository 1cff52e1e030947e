// The poll cycle and its alert state machine on real SQLite databases, real log files, the real
// settings store and a real SMTP server; the watchdog and the slot commands against running
// polls.
#include "probe/DatabaseProbe.h"
#include "settings/SettingsStore.h"
#include "tests/common/OdbcTestEnv.h"
#include "tests/common/SilentListener.h"
#include "tests/common/SmtpSink.h"
#include "tests/monitor/MonitorTestSupport.h"

#include <QFile>
#include <QThread>

#include <gtest/gtest.h>

#include <cerrno>
#include <optional>
#include <thread>

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

using Field = IMonitorView::SlotField;

int Warned(const QString& title) {
    return SettingsStore::ReadInt(title, QStringLiteral("Warned"), 0);
}

QStringList Subjects(const QList<SmtpSink::Message>& messages) {
    QStringList out;
    for (const auto& m : messages)
        out << SubjectOf(m.data);
    return out;
}

class PollTest : public ::testing::Test {
protected:
    void SetUp() override {
        dbPath = rig.dir + QStringLiteral("/poll.db");
        connection = OdbcTestEnv::SqliteConnectionString(dbPath);
    }
    void CreateDatabase() { ASSERT_FALSE(OdbcTestEnv::CreateSqliteDatabase(dbPath).isEmpty()); }
    void DropDatabase() { ASSERT_TRUE(QFile::remove(dbPath)); }

    MonitorRig rig;
    QString dbPath;
    QString connection;
};

TEST_F(PollTest, OutageWithoutEmailSetUpAdvancesTheStateAndSaysSo) {
    const QString title = QStringLiteral("NoMailDb");
    rig.StoreSlot(0, connection, title);

    rig.monitor->PollSlot(0); // the file does not exist: unreachable
    EXPECT_EQ(rig.ErrorLines(), QStringList({"Database unreachable: NoMailDb"}));
    EXPECT_EQ(rig.monitor->LastAlert(0), "(alert not sent, missing email setup)");
    EXPECT_EQ(SettingsStore::ReadString(title, QStringLiteral("lastAlert")),
              "(alert not sent, missing email setup)");
    EXPECT_TRUE(rig.monitor->LastRecovery(0).isEmpty());
    EXPECT_EQ(Warned(title), 1);
    EXPECT_EQ(rig.view.Text(0, Field::LastAlert), "(alert not sent, missing email setup)");

    rig.monitor->PollSlot(0);
    EXPECT_EQ(rig.ErrorLines().size(), 2) << "an error line at every unreachable poll";
    EXPECT_EQ(Warned(title), 1);

    CreateDatabase();
    rig.monitor->PollSlot(0);
    EXPECT_EQ(rig.monitor->LastRecovery(0), "(recovery not sent, missing email setup)");
    EXPECT_EQ(SettingsStore::ReadString(title, QStringLiteral("lastRecovery")),
              "(recovery not sent, missing email setup)");
    EXPECT_EQ(rig.monitor->LastAlert(0), "(alert not sent, missing email setup)");
    EXPECT_EQ(Warned(title), 0);
    ASSERT_EQ(rig.AccessLines().size(), 1);
    EXPECT_TRUE(rig.AccessLines()[0].startsWith("SUCCESS NoMailDb "))
        << rig.AccessLines()[0].toStdString();
    EXPECT_TRUE(rig.AccessLines()[0].endsWith("ms"));
}

TEST_F(PollTest, RefusedAlertIsRetriedAtTheNextUnreachablePollWithANewStamp) {
    SmtpSink sink;
    ASSERT_TRUE(sink.Start(SmtpSink::Mode::RefuseRecipients));
    rig.SetUpEmail(sink.Port());
    const QString title = QStringLiteral("RefusedDb");
    rig.StoreSlot(0, connection, title);

    for (int attempt = 1; attempt <= 3; ++attempt) {
        SettingsStore::WriteString(title, QStringLiteral("lastAlert"), QStringLiteral("marker"));
        rig.monitor->PollSlot(0);
        EXPECT_EQ(Warned(title), 0) << "attempt " << attempt;
        const QString alert = SettingsStore::ReadString(title, QStringLiteral("lastAlert"));
        EXPECT_TRUE(alert.startsWith("(alert not sent: ")) << attempt << alert.toStdString();
        EXPECT_EQ(rig.monitor->LastAlert(0), alert);
    }
    EXPECT_EQ(rig.notice.Texts().size(), 3) << "the client reports each refusal itself";
    EXPECT_TRUE(sink.Messages().isEmpty());

    // Once the server takes mail, the alert goes out and the state advances.
    SmtpSink good;
    ASSERT_TRUE(good.Start());
    rig.SetUpEmail(good.Port());
    rig.monitor->PollSlot(0);
    ASSERT_TRUE(good.WaitForMessages(1, 10000));
    EXPECT_EQ(Warned(title), 1);
}

TEST_F(PollTest, ThresholdZeroWarnsAtEveryPollInBothLogsAndByMail) {
    CreateDatabase();
    SmtpSink sink;
    ASSERT_TRUE(sink.Start());
    rig.SetUpEmail(sink.Port());
    const QString title = QStringLiteral("SlowDb");
    rig.StoreSlot(0, connection, title);
    rig.monitor->SetThreshold(0, 0);
    // Any real probe takes at least a millisecond this way.
    CDatabaseProbe::SetConnectHookForTesting([] { QThread::msleep(3); });

    for (int i = 0; i < 3; ++i)
        rig.monitor->PollSlot(0);
    CDatabaseProbe::SetConnectHookForTesting(nullptr);

    const QStringList access = rig.AccessLines();
    const QStringList errors = rig.ErrorLines();
    ASSERT_EQ(access.size(), 3);
    EXPECT_EQ(errors, access) << "the same WARNING line goes to both logs";
    for (const QString& line : access)
        EXPECT_TRUE(line.startsWith("WARNING SlowDb ") && line.endsWith("ms"))
            << line.toStdString();

    ASSERT_TRUE(sink.WaitForMessages(3, 10000));
    const auto messages = sink.Messages();
    ASSERT_EQ(messages.size(), 3);
    for (const auto& m : messages) {
        EXPECT_EQ(SubjectOf(m.data), "Warning - SlowDb");
        EXPECT_EQ(m.rcptTos, QStringList({kAlertTo}));
        EXPECT_EQ(m.mailFrom, kSender);
        EXPECT_TRUE(BodyOf(m.data).startsWith("Slow response from database ("))
            << BodyOf(m.data).toStdString();
    }
    EXPECT_EQ(Warned(title), 0) << "warnings leave the alert state alone";
    EXPECT_EQ(rig.view.LastColour(0), IMonitorView::kColourSlow);
}

TEST_F(PollTest, SlowAnswerAfterAnOutageWarnsFirstAndRecoversSecond) {
    SmtpSink sink;
    ASSERT_TRUE(sink.Start());
    rig.SetUpEmail(sink.Port());
    const QString title = QStringLiteral("FlakyDb");
    rig.StoreSlot(0, connection, title);

    rig.monitor->PollSlot(0);
    ASSERT_TRUE(sink.WaitForMessages(1, 10000));
    EXPECT_EQ(Warned(title), 1);
    const QString alertText = rig.monitor->LastAlert(0);
    EXPECT_TRUE(IsStamp(alertText));

    CreateDatabase();
    rig.monitor->SetThreshold(0, 0);
    CDatabaseProbe::SetConnectHookForTesting([] { QThread::msleep(3); });
    rig.monitor->PollSlot(0);
    CDatabaseProbe::SetConnectHookForTesting(nullptr);

    ASSERT_TRUE(sink.WaitForMessages(3, 10000));
    const auto messages = sink.Messages();
    EXPECT_EQ(Subjects(messages),
              QStringList({"Alert - FlakyDb", "Warning - FlakyDb", "Recovery - FlakyDb"}));
    EXPECT_EQ(messages[2].rcptTos, QStringList({kRecoveryTo}));
    const QString recoveryBody = BodyOf(messages[2].data);
    EXPECT_TRUE(recoveryBody.startsWith("Database recovered on ")) << recoveryBody.toStdString();
    EXPECT_EQ(Warned(title), 0);
    EXPECT_TRUE(IsStamp(rig.monitor->LastRecovery(0)));
    EXPECT_EQ(rig.monitor->LastAlert(0), alertText) << "a recovery keeps the alert text";
    EXPECT_EQ(rig.ErrorLines().size(), 2); // unreachable, then WARNING
    EXPECT_TRUE(rig.ErrorLines()[1].startsWith("WARNING FlakyDb "));
}

TEST_F(PollTest, TwoSlotsWithOneTitleShareTheirAlertState) {
    SmtpSink sink;
    ASSERT_TRUE(sink.Start());
    rig.SetUpEmail(sink.Port());
    const QString title = QStringLiteral("SharedTitle");
    rig.StoreSlot(0, connection, title);
    rig.StoreSlot(2, OdbcTestEnv::SqliteConnectionString(rig.dir + "/other.db"), title);

    rig.monitor->PollSlot(0);
    ASSERT_TRUE(sink.WaitForMessages(1, 10000));
    rig.monitor->PollSlot(2);
    EXPECT_EQ(sink.Messages().size(), 1) << "the outage was notified through slot 1 already";
    EXPECT_EQ(rig.ErrorLines(), QStringList({"Database unreachable: SharedTitle",
                                             "Database unreachable: SharedTitle"}));
    // A restart reads the shared texts into both slots.
    rig.Restart();
    EXPECT_EQ(rig.monitor->LastAlert(0), rig.monitor->LastAlert(2));
    EXPECT_TRUE(IsStamp(rig.monitor->LastAlert(2)));
}

TEST_F(PollTest, TwoSlotsWithOneTitlePolledTogetherNotifyOnce) {
    SmtpSink sink;
    ASSERT_TRUE(sink.Start());
    rig.SetUpEmail(sink.Port());
    const QString title = QStringLiteral("TwinTitle");
    const QString otherPath = rig.dir + QStringLiteral("/twin.db");
    rig.StoreSlot(0, connection, title);
    rig.StoreSlot(2, OdbcTestEnv::SqliteConnectionString(otherPath), title);

    // Both polls are held at their Connect and let go together, as at start-up.
    const auto pollBothTogether = [&] {
        ConnectGate gate;
        rig.monitor->StartPoll(0);
        rig.monitor->StartPoll(2);
        ASSERT_TRUE(gate.WaitForEntered(2, 10000));
        gate.Open();
        ASSERT_TRUE(rig.monitor->WaitForPolls(30000));
    };

    int expected = 0;
    for (int round = 1; round <= 3; ++round) {
        pollBothTogether(); // both files missing
        ++expected;
        EXPECT_EQ(Warned(title), 1) << "round " << round;
        EXPECT_EQ(sink.Messages().size(), expected) << "one alert, round " << round;

        CreateDatabase();
        ASSERT_FALSE(OdbcTestEnv::CreateSqliteDatabase(otherPath).isEmpty());
        pollBothTogether();
        ++expected;
        EXPECT_EQ(Warned(title), 0) << "round " << round;
        EXPECT_EQ(sink.Messages().size(), expected) << "one recovery, round " << round;
        DropDatabase();
        ASSERT_TRUE(QFile::remove(otherPath));
    }
    QStringList subjects;
    for (int round = 0; round < 3; ++round)
        subjects << "Alert - TwinTitle"
                 << "Recovery - TwinTitle";
    EXPECT_EQ(Subjects(sink.Messages()).join(u'|').toStdString(),
              subjects.join(u'|').toStdString());
}

TEST_F(PollTest, TrayAnimatesThenSummarisesEverySlot) {
    CreateDatabase();
    rig.StoreSlot(0, connection, QStringLiteral("UpDb"));
    rig.StoreSlot(1, OdbcTestEnv::SqliteConnectionString(rig.dir + "/down.db"),
                  QStringLiteral("DownDb"));
    auto trayCalls = [&] {
        QList<QPair<int, QString>> out;
        for (const auto& c : rig.view.Calls())
            if (c.what == u"tray")
                out << qMakePair(static_cast<int>(c.value), c.text);
        return out;
    };

    rig.monitor->PollSlot(0);
    const QString up = QStringLiteral("Trellion\nUpDb");
    EXPECT_EQ(trayCalls(),
              (QList<QPair<int, QString>>{{131, up}, {132, up}, {133, up}, {134, up}, {128, up}}));

    rig.view.Clear();
    rig.monitor->PollSlot(1);
    rig.monitor->PollSlot(0);
    auto calls = trayCalls();
    ASSERT_EQ(calls.size(), 12);
    EXPECT_EQ(calls[5],
              qMakePair(138, QStringLiteral("Trellion\nAt least one database in unreachable")));
    EXPECT_EQ(calls[10], qMakePair(128, up));
    EXPECT_EQ(calls[11].first, 138) << "the summary counts the other slot too";

    // Slow elsewhere, nothing down: icon 142.
    QFile::remove(rig.dir + "/down.db");
    ASSERT_FALSE(OdbcTestEnv::CreateSqliteDatabase(rig.dir + "/down.db").isEmpty());
    rig.monitor->SetThreshold(1, 0);
    CDatabaseProbe::SetConnectHookForTesting([] { QThread::msleep(3); });
    rig.monitor->PollSlot(1);
    CDatabaseProbe::SetConnectHookForTesting(nullptr);
    rig.view.Clear();
    rig.monitor->PollSlot(0);
    calls = trayCalls();
    ASSERT_EQ(calls.size(), 6);
    EXPECT_EQ(calls[5], qMakePair(142, QStringLiteral("Trellion\nAt least one database in slow")));
}

TEST_F(PollTest, OnlyOnePollAnimatesTheTrayAtATime) {
    rig.monitor->SetTrayFrameMs(80);
    std::thread a([&] { rig.monitor->UpdateTrayStatus(QStringLiteral("A")); });
    std::thread b([&] { rig.monitor->UpdateTrayStatus(QStringLiteral("B")); });
    a.join();
    b.join();
    int firstFrames = 0;
    for (const auto& c : rig.view.Calls())
        firstFrames += c.what == u"tray" && c.value == 131;
    EXPECT_EQ(firstFrames, 1);
    // Free again afterwards.
    rig.view.Clear();
    rig.monitor->UpdateTrayStatus(QStringLiteral("C"));
    EXPECT_EQ(rig.view.Calls().size(), 5);
}

TEST_F(PollTest, EmptyAndUnconfiguredSlotsOnlyReArm) {
    QList<qint64> delays;
    std::mutex m;
    rig.monitor->SetMinuteMs(1000);
    rig.monitor->SetInterval(3, 2);
    rig.monitor->SetPollEndedHandler([&](int slot, qint64 delay) {
        std::lock_guard lock(m);
        delays << slot * 100000 + delay;
    });
    rig.view.Clear();
    rig.monitor->PollSlot(3);
    EXPECT_EQ(delays, QList<qint64>({300000 + 2000})) << "interval x minute, no second taken off";
    EXPECT_TRUE(rig.view.CallsFor(3).isEmpty());
    EXPECT_TRUE(rig.AccessLines().isEmpty());
    EXPECT_TRUE(rig.ErrorLines().isEmpty());

    CreateDatabase();
    rig.StoreSlot(3, connection, QStringLiteral("Armed"));
    rig.monitor->PollSlot(3);
    EXPECT_EQ(delays.last(), 300000 + 2000 - 1000) << "a probed slot re-arms a second early";
}

TEST_F(PollTest, AnIntervalBelowAMinuteFromTheStoreStillPollsEveryMinute) {
    const QString settings = QString::fromLatin1(SettingsStore::kSettings);
    SettingsStore::WriteInt(settings, QStringLiteral("Interval0"), 0);
    SettingsStore::WriteInt(settings, QStringLiteral("Interval1"), -5);
    rig.monitor->LoadIntervalsAndThresholds();
    QList<qint64> delays;
    std::mutex m;
    rig.monitor->SetMinuteMs(5000);
    rig.monitor->SetPollEndedHandler([&](int slot, qint64 delay) {
        std::lock_guard lock(m);
        delays << slot * 100000 + delay;
    });
    CreateDatabase();
    rig.StoreSlot(1, connection, QStringLiteral("Edited"));
    rig.monitor->PollSlot(0); // empty: re-armed, not spinning at 0 ms
    rig.monitor->PollSlot(1); // probed: re-armed a second early, not stopped
    EXPECT_EQ(delays, QList<qint64>({5000, 100000 + 5000 - 1000}));
    EXPECT_EQ(rig.AccessLines().size(), 1);
}

TEST_F(PollTest, RestoreMakesNoConnectionAndKeepsTheStoredState) {
    const QString title = QStringLiteral("Stored");
    SettingsStore::WriteString(title, QStringLiteral("lastAlert"),
                               QStringLiteral(" on 01/02/2026 at 03:04:05"));
    SettingsStore::WriteString(title, QStringLiteral("lastRecovery"),
                               QStringLiteral("(recovery not sent, missing email setup)"));
    SettingsStore::WriteInt(QString::fromLatin1(SettingsStore::kSettings),
                            QStringLiteral("Interval1"), 7);
    SettingsStore::WriteInt(QString::fromLatin1(SettingsStore::kSettings), QStringLiteral("Warn1"),
                            250);
    std::atomic<int> attempts{0};
    CDatabaseProbe::SetConnectHookForTesting([&] { ++attempts; });
    rig.StoreSlot(1, connection, title);
    rig.monitor->LoadIntervalsAndThresholds();
    CDatabaseProbe::SetConnectHookForTesting(nullptr);
    EXPECT_EQ(attempts.load(), 0) << "a frozen database must not hold up the start";

    EXPECT_TRUE(rig.monitor->IsConfigured(1));
    EXPECT_EQ(rig.monitor->Title(1), title);
    EXPECT_EQ(rig.monitor->Probe(1)->ConnectionString(), connection);
    EXPECT_EQ(rig.monitor->LastAlert(1), " on 01/02/2026 at 03:04:05");
    EXPECT_EQ(rig.monitor->LastRecovery(1), "(recovery not sent, missing email setup)");
    EXPECT_EQ(rig.monitor->Interval(1), 7);
    EXPECT_EQ(rig.monitor->Threshold(1), 250);
    EXPECT_EQ(rig.monitor->Interval(0), 15);
    EXPECT_EQ(rig.monitor->Threshold(0), 10000);
    EXPECT_FALSE(rig.monitor->HasProbe(0));
    EXPECT_EQ(rig.monitor->GraphScale(1), 10);
    int resets = 0;
    for (const auto& c : rig.view.Calls())
        resets += c.what == u"resetGraph";
    EXPECT_GE(resets, 4) << "every graph is prepared";
}

TEST_F(PollTest, AnEmptyTitleKeepsItsStateInTheStoresTopLevel) {
    rig.StoreSlot(0, connection, QString());
    rig.monitor->PollSlot(0);
    EXPECT_EQ(SettingsStore::ReadInt(QString(), QStringLiteral("Warned"), 0), 1);
    EXPECT_EQ(SettingsStore::ReadString(QString(), QStringLiteral("lastAlert")),
              "(alert not sent, missing email setup)");
    EXPECT_EQ(rig.ErrorLines(), QStringList({"Database unreachable: "}));
}

TEST_F(PollTest, PollThreadsRunBelowTheCallersPriority) {
    CreateDatabase();
    rig.StoreSlot(0, connection, QStringLiteral("Nice"));
    std::atomic<int> pollNice{-100};
    CDatabaseProbe::SetConnectHookForTesting([&] {
        errno = 0;
        pollNice = getpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)));
    });
    errno = 0;
    const int ownNice = getpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)));
    rig.monitor->StartPoll(0);
    ASSERT_TRUE(rig.monitor->WaitForPolls(20000));
    CDatabaseProbe::SetConnectHookForTesting(nullptr);
    if (ownNice >= 19)
        GTEST_SKIP() << "already at the lowest priority";
    EXPECT_GT(pollNice.load(), ownNice);
}

TEST_F(PollTest, RemovingADatabaseDuringItsPollChangesNothingAfterwards) {
    CreateDatabase();
    rig.StoreSlot(0, connection, QStringLiteral("Removed"));
    std::weak_ptr<CDatabaseProbe> probe = rig.monitor->Probe(0);
    std::atomic<qint64> endDelay{12345};
    rig.monitor->SetPollEndedHandler([&](int, qint64 d) { endDelay = d; });
    {
        ConnectGate gate;
        rig.monitor->StartPoll(0);
        ASSERT_TRUE(gate.WaitForEntered(1, 10000));
        rig.monitor->SetProbe(0, nullptr);
        rig.monitor->ResetSlotDisplay(0);
        EXPECT_FALSE(probe.expired()) << "the running poll still holds its probe";
        rig.view.Clear();
        gate.Open();
        ASSERT_TRUE(rig.monitor->WaitForPolls(20000));
    }
    EXPECT_TRUE(WaitUntil([&] { return probe.expired(); }, 10000))
        << "released when the poll ended";
    EXPECT_TRUE(rig.view.CallsFor(0).isEmpty());
    EXPECT_TRUE(rig.monitor->History(0).isEmpty());
    EXPECT_TRUE(rig.AccessLines().isEmpty());
    EXPECT_EQ(endDelay.load(), -1) << "the emptied slot stays stopped";
}

TEST_F(PollTest, ReplacingADatabaseDuringItsPollKeepsTheOldOneForThePoll) {
    CreateDatabase();
    rig.StoreSlot(0, connection, QStringLiteral("Old"));
    std::weak_ptr<CDatabaseProbe> old = rig.monitor->Probe(0);
    {
        ConnectGate gate;
        rig.monitor->StartPoll(0);
        ASSERT_TRUE(gate.WaitForEntered(1, 10000));
        std::shared_ptr<CDatabaseProbe> replacement(CDatabaseProbe::FromStored(
            OdbcTestEnv::SqliteConnectionString(rig.dir + "/new.db"), QStringLiteral("New")));
        rig.monitor->SetProbe(0, replacement);
        gate.Open();
        ASSERT_TRUE(rig.monitor->WaitForPolls(20000));
    }
    EXPECT_TRUE(WaitUntil([&] { return old.expired(); }, 10000));
    EXPECT_EQ(rig.monitor->Title(0), "New");
    EXPECT_TRUE(rig.monitor->History(0).isEmpty()) << "the old database's result is not shown";
}

TEST_F(PollTest, WatchdogEndsAHungPollAndTheSlotGoesOnWithAFreshProbe) {
    CreateDatabase();
    SmtpSink sink;
    ASSERT_TRUE(sink.Start());
    rig.SetUpEmail(sink.Port());
    const QString title = QStringLiteral("HungDb");
    rig.StoreSlot(0, connection, title);
    EXPECT_EQ(rig.monitor->WatchdogBoundMs(), CDatabaseProbe::LoginTimeoutSeconds() * 1000 + 5000);
    rig.monitor->SetWatchdogBoundMs(1500);
    std::weak_ptr<CDatabaseProbe> hung = rig.monitor->Probe(0);
    std::atomic<qint64> endDelay{-2};
    rig.monitor->SetPollEndedHandler([&](int, qint64 d) { endDelay = d; });

    auto gate = std::make_unique<ConnectGate>();
    rig.monitor->StartPoll(0);
    ASSERT_TRUE(gate->WaitForEntered(1, 10000));
    ASSERT_TRUE(rig.monitor->WaitForPolls(30000)) << "the watchdog ends the poll";
    EXPECT_EQ(endDelay.load(), 15 * 60000 - 1000) << "and re-arms the slot";
    EXPECT_EQ(rig.monitor->HungCalls(), 1);
    EXPECT_EQ(rig.ErrorLines(), QStringList({"Database unreachable: HungDb"}));
    EXPECT_EQ(Warned(title), 1);
    ASSERT_TRUE(sink.WaitForMessages(1, 10000));
    EXPECT_EQ(SubjectOf(sink.Messages()[0].data), "Alert - HungDb");
    EXPECT_TRUE(
        BodyOf(sink.Messages()[0].data).contains("\n\nNo answer from the database within 2 s"))
        << BodyOf(sink.Messages()[0].data).toStdString();

    const auto fresh = rig.monitor->Probe(0);
    ASSERT_NE(fresh, nullptr);
    EXPECT_NE(fresh, hung.lock());
    EXPECT_EQ(fresh->ConnectionString(), connection);
    EXPECT_EQ(fresh->Title(), title);
    EXPECT_EQ(fresh->GetStatus(), CDatabaseProbe::Unreachable);
    EXPECT_FALSE(hung.expired()) << "the hung call keeps its probe";

    // The hung call returns: it changes nothing and lets its probe go.
    const auto calls = rig.view.Calls().size();
    gate.reset();
    ASSERT_TRUE(WaitUntil([&] { return rig.monitor->HungCalls() == 0; }, 30000));
    EXPECT_TRUE(WaitUntil([&] { return hung.expired(); }, 10000));
    EXPECT_EQ(rig.view.Calls().size(), calls);
    EXPECT_EQ(rig.monitor->History(0).size(), 1);

    // The next poll uses the fresh probe and recovers.
    rig.monitor->PollSlot(0);
    EXPECT_EQ(Warned(title), 0);
    ASSERT_TRUE(sink.WaitForMessages(2, 10000));
    EXPECT_EQ(SubjectOf(sink.Messages()[1].data), "Recovery - HungDb");
}

TEST_F(PollTest, WatchdogCatchesAServerThatNeverAnswers) {
    std::optional<SilentListener> silent;
    silent.emplace();
    ASSERT_GT(silent->Port(), 0);
    const int savedTimeout = CDatabaseProbe::LoginTimeoutSeconds();
    // The driver would wait for its login time-out; the watchdog gives up well before.
    CDatabaseProbe::SetLoginTimeoutSeconds(60);
    rig.monitor->SetWatchdogBoundMs(1000);
    const QString silentString =
        QStringLiteral(
            "DRIVER={PostgreSQL Unicode};Server=127.0.0.1;Port=%1;Database=x;UID=u;PWD=p")
            .arg(silent->Port());
    rig.StoreSlot(1, silentString, QStringLiteral("SilentDb"));
    rig.monitor->StartPoll(1);
    ASSERT_TRUE(rig.monitor->WaitForPolls(30000));
    CDatabaseProbe::SetLoginTimeoutSeconds(savedTimeout);
    EXPECT_EQ(rig.ErrorLines(), QStringList({"Database unreachable: SilentDb"}));
    ASSERT_EQ(rig.monitor->History(1).size(), 1);
    EXPECT_EQ(rig.monitor->History(1)[0].elapsed, -99);
    EXPECT_EQ(rig.view.LastColour(1), IMonitorView::kColourUnreachable);
    EXPECT_EQ(rig.monitor->HungCalls(), 1);
    // Closing the listener's sockets lets the hung driver call fail and end.
    silent.reset();
    EXPECT_TRUE(WaitUntil([&] { return rig.monitor->HungCalls() == 0; }, 90000));
}

TEST_F(PollTest, ShutdownCutsAStuckPollOffTheWindowAndTheLogs) {
    CreateDatabase();
    rig.StoreSlot(0, connection, QStringLiteral("Late"));
    auto gate = std::make_unique<ConnectGate>();
    rig.monitor->StartPoll(0);
    ASSERT_TRUE(gate->WaitForEntered(1, 10000));
    rig.view.Clear();
    const auto start = std::chrono::steady_clock::now();
    rig.monitor->Shutdown(300);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    rig.monitor.reset(); // the window's side is gone
    gate.reset();        // the poll resumes and finishes on its own
    // It holds the log writer and client until it ends, then lets them go.
    ASSERT_TRUE(WaitUntil([&] { return rig.log.use_count() == 1; }, 20000));
    EXPECT_TRUE(rig.view.Calls().isEmpty());
    EXPECT_TRUE(rig.AccessLines().isEmpty());
}

} // namespace
