// The history feed on the real engine: polls of real SQLite and PostgreSQL databases through a
// SlotMonitor with a real SMTP server, written to a real history file, then read back.
#include "history/HistoryFeed.h"
#include "history/HistoryReader.h"
#include "tests/common/DbServer.h"
#include "tests/common/OdbcTestEnv.h"
#include "tests/common/SmtpSink.h"
#include "tests/history/HistoryTestSupport.h"
#include "tests/monitor/MonitorTestSupport.h"

#include <QFile>

#include <gtest/gtest.h>

#include <memory>

namespace {

constexpr qint64 kMinute = 60000;

// A monitor whose outcomes go through a feed into a store on the rig's folder. The feed's and
// the store's clock is `now`, set before each poll, so rows carry known times.
class FeedTest : public ::testing::Test {
protected:
    void SetUp() override { Open(); }
    void TearDown() override { Close(); }

    void Open() {
        store = std::make_unique<HistoryStore>(clock.Options(rig.dir + "/state"));
        feed = std::make_unique<HistoryFeed>(*store, [this] { return clock.now.load(); });
        rig.options.outcomeTap = feed->Tap();
        rig.Restart();
    }
    // The program ends: the monitor first, then the feed and the store (which writes its queue).
    void Close() {
        rig.monitor->Shutdown();
        feed.reset();
        store.reset();
    }
    void Restart() {
        Close();
        Open();
    }
    void PollAt(qint64 t) {
        clock.now = t;
        rig.monitor->PollSlot(0);
    }

    std::vector<PollRecord> Polls(const QString& key) {
        EXPECT_TRUE(store->Flush(10000));
        HistoryReader reader;
        HistoryReader::Error error;
        EXPECT_TRUE(reader.Open(store->FilePath(), 5000, &error)) << error.text.toStdString();
        return reader.Polls(key, 0, kEnd, &error).value_or(std::vector<PollRecord>{});
    }
    std::vector<OutageRecord> Outages(const QString& key) {
        EXPECT_TRUE(store->Flush(10000));
        return store->Outages(key, 0, kEnd).value_or(std::vector<OutageRecord>{});
    }

    static constexpr qint64 kEnd = qint64(1) << 50;
    const qint64 t0 = Utc(2026, 3, 1, 12, 0);
    HistoryFixture clock;
    MonitorRig rig;
    std::unique_ptr<HistoryStore> store;
    std::unique_ptr<HistoryFeed> feed;
};

struct Expected {
    int minute;
    PollResult outcome;
};

void ExpectPolls(const std::vector<PollRecord>& polls, qint64 t0,
                 const std::vector<Expected>& expected) {
    ASSERT_EQ(polls.size(), expected.size());
    for (size_t i = 0; i < polls.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(polls[i].utcMs, t0 + expected[i].minute * kMinute);
        EXPECT_EQ(polls[i].outcome, expected[i].outcome);
        if (expected[i].outcome == PollResult::Unreachable) {
            EXPECT_FALSE(polls[i].reason.isEmpty()) << "the driver's message";
            EXPECT_EQ(polls[i].elapsedMs, 0) << "not the -99 marker";
        } else {
            EXPECT_TRUE(polls[i].reason.isEmpty());
            EXPECT_GT(polls[i].elapsedMs, 0);
        }
    }
}

void ExpectOutage(const OutageRecord& outage, qint64 start, qint64 end, bool alerted) {
    EXPECT_EQ(outage.startMs, start);
    EXPECT_EQ(outage.endMs, end);
    EXPECT_EQ(outage.alertSent, alerted);
    EXPECT_FALSE(outage.reason.isEmpty());
}

// A SQLite file removed and created again: two outages, the first alerted and lasting across a
// restart, the second without mail set up; a slow poll answers and ends nothing it should not.
TEST_F(FeedTest, OutagesOfASqliteDatabaseAcrossARestart) {
    SmtpSink sink;
    ASSERT_TRUE(sink.Start());
    rig.SetUpEmail(sink.Port());
    const QString db = rig.dir + "/feed.db";
    ASSERT_FALSE(OdbcTestEnv::CreateSqliteDatabase(db).isEmpty());
    rig.StoreSlot(0, OdbcTestEnv::SqliteConnectionString(db), "Sales");

    PollAt(t0);
    QFile::remove(db);
    PollAt(t0 + 1 * kMinute); // the outage begins, the alert goes out
    ASSERT_TRUE(sink.WaitForMessages(1, 15000));
    PollAt(t0 + 2 * kMinute);
    Restart();
    PollAt(t0 + 3 * kMinute); // the same outage, still open in the file
    ASSERT_FALSE(OdbcTestEnv::CreateSqliteDatabase(db).isEmpty());
    PollAt(t0 + 4 * kMinute); // recovery
    rig.monitor->SetThreshold(0, 0);
    PollAt(t0 + 5 * kMinute); // slow
    rig.monitor->SetThreshold(0, 10000);
    rig.SetUpEmail(0);
    QFile::remove(db);
    PollAt(t0 + 6 * kMinute); // no mail set up: an outage without alert
    ASSERT_FALSE(OdbcTestEnv::CreateSqliteDatabase(db).isEmpty());
    PollAt(t0 + 7 * kMinute);

    using R = PollResult;
    ExpectPolls(Polls("Sales"), t0,
                {{0, R::Reachable},
                 {1, R::Unreachable},
                 {2, R::Unreachable},
                 {3, R::Unreachable},
                 {4, R::Reachable},
                 {5, R::Slow},
                 {6, R::Unreachable},
                 {7, R::Reachable}});
    const auto outages = Outages("Sales");
    ASSERT_EQ(outages.size(), 2u);
    ExpectOutage(outages[0], t0 + 1 * kMinute, t0 + 4 * kMinute, true);
    ExpectOutage(outages[1], t0 + 6 * kMinute, t0 + 7 * kMinute, false);
    EXPECT_TRUE(clock.Faults().isEmpty()) << clock.Faults().join('\n').toStdString();
}

// An alert that the mail server refuses is retried at the next unreachable poll; the outage is
// marked when it goes out, not before.
TEST_F(FeedTest, AlertRetriedAtALaterPollMarksTheOutage) {
    SmtpSink refusing;
    ASSERT_TRUE(refusing.Start(SmtpSink::Mode::RefuseData));
    rig.SetUpEmail(refusing.Port());
    const QString db = rig.dir + "/retry.db";
    rig.StoreSlot(0, OdbcTestEnv::SqliteConnectionString(db), "Stock");

    PollAt(t0); // no file: unreachable from the start, the alert refused
    ASSERT_EQ(Outages("Stock").size(), 1u);
    EXPECT_FALSE(Outages("Stock")[0].alertSent);

    SmtpSink accepting;
    ASSERT_TRUE(accepting.Start());
    rig.SetUpEmail(accepting.Port());
    PollAt(t0 + kMinute);
    ASSERT_TRUE(accepting.WaitForMessages(1, 15000));
    const auto outages = Outages("Stock");
    ASSERT_EQ(outages.size(), 1u);
    EXPECT_TRUE(outages[0].IsOpen());
    EXPECT_TRUE(outages[0].alertSent);
    EXPECT_EQ(outages[0].startMs, t0);
}

// A PostgreSQL server stopped and started again, the program restarted during the outage: the
// first answered poll of the new run closes the outage the old run opened.
TEST_F(FeedTest, PostgresOutageClosedByTheFirstAnswerAfterARestart) {
    DbServer server(DbServer::Kind::Postgres);
    ASSERT_TRUE(server.Start());
    const QString title = "Orders";
    rig.StoreSlot(0, server.DriverConnectionString(), title);

    PollAt(t0);
    ASSERT_TRUE(server.Stop());
    PollAt(t0 + 10 * kMinute);
    Restart();
    ASSERT_TRUE(server.Start());
    PollAt(t0 + 20 * kMinute);
    PollAt(t0 + 30 * kMinute);

    using R = PollResult;
    const auto polls = Polls(title);
    ExpectPolls(polls, t0,
                {{0, R::Reachable}, {10, R::Unreachable}, {20, R::Reachable}, {30, R::Reachable}});
    ASSERT_EQ(polls.size(), 4u);
    EXPECT_TRUE(polls[1].reason.contains("127.0.0.1")) << polls[1].reason.toStdString();
    const auto outages = Outages(title);
    ASSERT_EQ(outages.size(), 1u);
    ExpectOutage(outages[0], t0 + 10 * kMinute, t0 + 20 * kMinute, false);
    EXPECT_EQ(outages[0].reason, polls[1].reason);
}

} // namespace
