// The probe on the real SQLite3 ODBC driver: data source and DRIVER= strings, creation and
// its notice, the chooser, stored probes, and probes on several threads.
#include "probe/DatabaseProbe.h"
#include "tests/common/OdbcTestEnv.h"
#include "tests/common/TestSupport.h"
#include "tests/probe/ProbeTestSupport.h"

#include <QFileInfo>

#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

namespace {

class ProbeSqliteTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        OdbcTestEnv::Install();
        s_db =
            OdbcTestEnv::CreateSqliteDatabase(TestSupport::MakeTempDir("sqlite") + "/monitored.db");
        OdbcTestEnv::AddDsn("LiteDsn", "SQLite3", {{"Database", s_db}, {"NoCreat", "1"}});
        OdbcTestEnv::AddDsn("Default", "SQLite3", {{"Database", s_db}, {"NoCreat", "1"}});
    }
    void TearDown() override { CDatabaseProbe::SetConnectHookForTesting({}); }

    static QString s_db;
};
QString ProbeSqliteTest::s_db;

TEST_F(ProbeSqliteTest, DataSourceConnectsAndIsNamedAfterItAndTheFile) {
    ASSERT_FALSE(s_db.isEmpty());
    ScriptedChooser chooser(QString("DSN=LiteDsn"));
    RecordingNotice notice;
    CDatabaseProbe probe(&chooser, QString(), false, &notice);

    EXPECT_EQ(chooser.Calls(), 1);
    EXPECT_TRUE(probe.HasConnection());
    EXPECT_TRUE(probe.ConnectionString().startsWith("DSN=LiteDsn;"))
        << qPrintable(probe.ConnectionString());
    EXPECT_TRUE(probe.ConnectionString().contains(s_db));
    EXPECT_EQ(probe.DataSourceName(), "LITEDSN");
    EXPECT_EQ(probe.ServerName(), s_db); // The SQLite driver names the file as its server.
    EXPECT_EQ(probe.UserName(), "");
    EXPECT_EQ(probe.Title(), "LITEDSN(" + s_db + ")");
    EXPECT_TRUE(notice.Texts().isEmpty());
    EXPECT_EQ(probe.GetStatus(), CDatabaseProbe::Reachable);

    // The stored completed string connects again without the chooser, and keeps the title.
    const QString stored = probe.ConnectionString();
    QString error = "untouched";
    ASSERT_TRUE(probe.Connect(stored, &error));
    EXPECT_EQ(error, "untouched");
    EXPECT_EQ(probe.ConnectionString(), stored);
    EXPECT_TRUE(probe.Disconnect());
    EXPECT_EQ(chooser.Calls(), 1);
    EXPECT_EQ(probe.Title(), "LITEDSN(" + s_db + ")");
}

TEST_F(ProbeSqliteTest, DataSourceNamedDefaultIsTitledLikeAStringWithoutOne) {
    ScriptedChooser chooser(QString("DSN=Default"));
    CDatabaseProbe probe(&chooser, QString(), false, nullptr);
    ASSERT_TRUE(probe.HasConnection());
    EXPECT_EQ(probe.DataSourceName(), "DEFAULT");
    // No user: the first attribute's value, which is the data source's own name.
    EXPECT_EQ(probe.Title(), "Default");
}

TEST_F(ProbeSqliteTest, DriverStringIsStoredAsGivenAndTitledByTheFirstAttribute) {
    const QString in = OdbcTestEnv::SqliteConnectionString(s_db);
    ScriptedChooser chooser(in);
    CDatabaseProbe probe(&chooser, QString(), false, nullptr);
    ASSERT_TRUE(probe.HasConnection());
    // The driver completes to "DSN=;Database=...;" without the DRIVER, which cannot connect
    // again; the string that did connect is stored instead.
    EXPECT_EQ(probe.ConnectionString(), in);
    // The completion's first attribute, DSN=, is empty: the file names the database.
    EXPECT_EQ(probe.DataSourceName(), "");
    EXPECT_EQ(probe.Title(), "monitored.db");
    EXPECT_TRUE(probe.Schemas().isEmpty());

    std::unique_ptr<CDatabaseProbe> polled(CDatabaseProbe::FromStored(in, probe.Title()));
    for (int poll = 0; poll < 3; ++poll) {
        QString error;
        ASSERT_TRUE(polled->Connect(polled->ConnectionString(), &error)) << qPrintable(error);
        EXPECT_TRUE(polled->Disconnect());
        EXPECT_EQ(polled->ConnectionString(), in);
    }
}

TEST_F(ProbeSqliteTest, NonAsciiPathSurvivesTheRoundTrip) {
    // (The SQLite driver takes no braced values, so no ';' in the name.)
    const QString path = TestSupport::MakeTempDir("sqlite") + "/Ünïcødé база (1) x=y.db";
    ASSERT_EQ(OdbcTestEnv::CreateSqliteDatabase(path), path);
    const QString in = OdbcTestEnv::SqliteConnectionString(path);
    CDatabaseProbe probe(nullptr, in, true, nullptr);
    ASSERT_TRUE(probe.HasConnection());
    EXPECT_EQ(probe.ServerName(), path);
    EXPECT_TRUE(probe.ConnectionString().contains(path)) << qPrintable(probe.ConnectionString());
}

TEST_F(ProbeSqliteTest, MissingFileFailsWithTheDriversMessage) {
    const QString missing = TestSupport::MakeTempDir("sqlite") + "/absent.db";
    CDatabaseProbe probe(nullptr, OdbcTestEnv::SqliteConnectionString(s_db), true, nullptr);
    ASSERT_TRUE(probe.HasConnection());
    probe.SetTitle("kept");

    QString error;
    EXPECT_FALSE(probe.Connect(OdbcTestEnv::SqliteConnectionString(missing), &error));
    EXPECT_FALSE(error.isEmpty());
    EXPECT_LE(error.size(), 399);
    EXPECT_FALSE(QFileInfo::exists(missing));
    // A failure changes neither the title nor the stored string of a configured probe.
    EXPECT_EQ(probe.Title(), "kept");
    EXPECT_TRUE(probe.ConnectionString().contains(s_db));
    // Without a target the failure is still reported by the result alone.
    EXPECT_FALSE(probe.Connect("DSN=NoSuchSource", nullptr));
    EXPECT_TRUE(probe.Disconnect());
}

TEST_F(ProbeSqliteTest, CreationShowsTheFailureOnlyWhenNotQuiet) {
    const QString missing =
        OdbcTestEnv::SqliteConnectionString(TestSupport::MakeTempDir("sqlite") + "/none.db");

    RecordingNotice loud;
    CDatabaseProbe shown(nullptr, missing, false, &loud);
    ASSERT_EQ(loud.Texts().size(), 1);
    EXPECT_TRUE(loud.Texts()[0].startsWith("Could not connect to data source.\n\n"));
    EXPECT_GT(loud.Texts()[0].size(), QString("Could not connect to data source.\n\n").size());
    // A stored string: configured even though the attempt failed; nothing filled in.
    EXPECT_TRUE(shown.HasConnection());
    EXPECT_EQ(shown.ConnectionString(), "");
    EXPECT_EQ(shown.Title(), "");

    RecordingNotice quiet;
    CDatabaseProbe silent(nullptr, missing, true, &quiet);
    EXPECT_TRUE(quiet.Texts().isEmpty());
    EXPECT_TRUE(silent.HasConnection());
    EXPECT_EQ(silent.ConnectionString(), "");
    EXPECT_EQ(silent.Title(), "");

    // Success at creation with a stored string: completed string kept, no title derived.
    RecordingNotice none;
    CDatabaseProbe good(nullptr, "DSN=LiteDsn", false, &none);
    EXPECT_TRUE(none.Texts().isEmpty());
    EXPECT_TRUE(good.HasConnection());
    EXPECT_TRUE(good.ConnectionString().startsWith("DSN=LiteDsn;"));
    EXPECT_EQ(good.Title(), "");
}

TEST_F(ProbeSqliteTest, CancelledChoiceFailsWithoutNoticeAndIsNotConnected) {
    ScriptedChooser cancel(std::nullopt);
    RecordingNotice notice;
    CDatabaseProbe probe(&cancel, QString(), false, &notice);
    EXPECT_EQ(cancel.Calls(), 1);
    EXPECT_FALSE(probe.HasConnection());
    EXPECT_EQ(probe.Title(), "Not Connected");
    EXPECT_EQ(probe.ConnectionString(), "");
    EXPECT_TRUE(notice.Texts().isEmpty());

    // The same through Connect: no diagnostic reaches the target.
    QString error = "untouched";
    EXPECT_FALSE(probe.Connect(QString(), &error));
    EXPECT_EQ(error, "untouched");
    EXPECT_EQ(cancel.Calls(), 2);

    // No chooser at all behaves as a cancel.
    CDatabaseProbe orphan(nullptr, QString(), false, &notice);
    EXPECT_FALSE(orphan.HasConnection());
    EXPECT_EQ(orphan.Title(), "Not Connected");
    EXPECT_TRUE(notice.Texts().isEmpty());
}

TEST_F(ProbeSqliteTest, ChosenStringThatFailsIsShownAndLeavesTheProbeUnconnected) {
    ScriptedChooser chooser(
        OdbcTestEnv::SqliteConnectionString(TestSupport::MakeTempDir("sqlite") + "/gone.db"));
    RecordingNotice notice;
    CDatabaseProbe probe(&chooser, QString(), false, &notice);
    EXPECT_FALSE(probe.HasConnection());
    EXPECT_EQ(probe.Title(), "Not Connected");
    ASSERT_EQ(notice.Texts().size(), 1);
    EXPECT_TRUE(notice.Texts()[0].startsWith("Could not connect to data source.\n\n"));
}

TEST_F(ProbeSqliteTest, StoredProbeMakesNoAttemptUntilPolled) {
    std::atomic<int> connects{0};
    CDatabaseProbe::SetConnectHookForTesting([&] { ++connects; });

    std::unique_ptr<CDatabaseProbe> probe(
        CDatabaseProbe::FromStored("DSN=LiteDsn;Database=" + s_db, "Stored Title"));
    EXPECT_EQ(connects.load(), 0);
    EXPECT_TRUE(probe->HasConnection());
    EXPECT_EQ(probe->ConnectionString(), "DSN=LiteDsn;Database=" + s_db);
    EXPECT_EQ(probe->Title(), "Stored Title");
    EXPECT_EQ(probe->GetStatus(), CDatabaseProbe::Reachable);

    ASSERT_TRUE(probe->Connect(probe->ConnectionString(), nullptr));
    EXPECT_EQ(connects.load(), 1);
    EXPECT_TRUE(probe->Disconnect());
    EXPECT_EQ(probe->Title(), "Stored Title"); // A poll never renames the database.
    EXPECT_EQ(probe->ServerName(), s_db);
}

TEST_F(ProbeSqliteTest, ConnectHookCanHoldAConnectOnItsThread) {
    std::atomic<bool> entered{false};
    std::atomic<bool> release{false};
    CDatabaseProbe::SetConnectHookForTesting([&] {
        entered = true;
        WaitUntil([&] { return release.load(); }, 60000);
    });
    std::unique_ptr<CDatabaseProbe> probe(CDatabaseProbe::FromStored("DSN=LiteDsn", "t"));
    std::atomic<bool> done{false};
    bool connected = false;
    std::thread poll([&] {
        connected = probe->Connect(probe->ConnectionString(), nullptr);
        probe->Disconnect();
        done = true;
    });
    ASSERT_TRUE(WaitUntil([&] { return entered.load(); }, 30000));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(done.load());
    release = true;
    poll.join();
    EXPECT_TRUE(connected);
}

TEST_F(ProbeSqliteTest, ProbesOnSeveralThreadsAtOnce) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 25;
    std::vector<std::unique_ptr<CDatabaseProbe>> probes;
    for (int i = 0; i < kThreads; ++i)
        probes.emplace_back(CDatabaseProbe::FromStored(
            i % 2 ? "DSN=LiteDsn" : OdbcTestEnv::SqliteConnectionString(s_db), "t"));
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            for (int round = 0; round < kRounds; ++round) {
                QString error;
                if (!probes[i]->Connect(probes[i]->ConnectionString(), &error))
                    ++failures;
                probes[i]->Disconnect();
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(failures.load(), 0);
    for (const auto& probe : probes)
        EXPECT_EQ(probe->ServerName(), s_db);
}

} // namespace
