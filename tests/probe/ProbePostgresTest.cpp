// The probe on the real PostgreSQL driver against a private cluster: data source and DRIVER=
// strings, the driver's own failures, the login time-out, long completed strings, listings
// and probes running side by side with one that hangs.
#include "probe/DatabaseProbe.h"
#include "tests/common/OdbcTestEnv.h"
#include "tests/common/PgCluster.h"
#include "tests/common/SilentListener.h"
#include "tests/common/TestSupport.h"
#include "tests/probe/ProbeTestSupport.h"

#include <QElapsedTimer>

#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

namespace {

class ProbePostgresTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        OdbcTestEnv::Install();
        s_pg = new PgCluster;
        s_started = s_pg->Start();
        if (!s_started)
            return;
        OdbcTestEnv::AddDsn("PgDsn", "PostgreSQL Unicode",
                            {{"Servername", "127.0.0.1"},
                             {"Port", QString::number(s_pg->Port())},
                             {"Database", s_pg->Database()},
                             {"Username", s_pg->User()},
                             {"Password", s_pg->Password()}});
    }
    static void TearDownTestSuite() {
        delete s_pg;
        s_pg = nullptr;
    }
    void SetUp() override { ASSERT_TRUE(s_started) << "no PostgreSQL cluster"; }
    void TearDown() override {
        CDatabaseProbe::SetLoginTimeoutSeconds(CDatabaseProbe::kLoginTimeoutSeconds);
        if (!s_pg->Start()) // A test that stopped the server brings it back for the next.
            s_started = false;
    }

    static PgCluster* s_pg;
    static bool s_started;
};
PgCluster* ProbePostgresTest::s_pg = nullptr;
bool ProbePostgresTest::s_started = false;

TEST_F(ProbePostgresTest, DataSourceIsTitledUserAtNameAndServer) {
    ScriptedChooser chooser(QString("DSN=PgDsn"));
    RecordingNotice notice;
    CDatabaseProbe probe(&chooser, QString(), false, &notice);
    ASSERT_TRUE(probe.HasConnection());
    EXPECT_TRUE(notice.Texts().isEmpty());
    EXPECT_TRUE(probe.ConnectionString().startsWith("DSN=PgDsn;"));
    EXPECT_EQ(probe.DataSourceName(), "PGDSN");
    EXPECT_EQ(probe.ServerName(), "127.0.0.1");
    EXPECT_EQ(probe.UserName(), s_pg->User());
    EXPECT_EQ(probe.Title(), s_pg->User() + "@PGDSN(127.0.0.1)");
    EXPECT_TRUE(probe.Schemas().contains("public")) << qPrintable(probe.Schemas().join(','));
    EXPECT_EQ(probe.Catalogs(), QStringList{s_pg->Database()});
}

TEST_F(ProbePostgresTest, DriverStringIsTitledUserAtServerAndReconnectsFromTheStoredString) {
    ScriptedChooser chooser(s_pg->DriverConnectionString());
    CDatabaseProbe probe(&chooser, QString(), false, nullptr);
    ASSERT_TRUE(probe.HasConnection());
    EXPECT_TRUE(probe.ConnectionString().startsWith("DRIVER={PostgreSQL Unicode};"));
    // psqlodbc writes ~570 characters in full: more than a 512-byte buffer would have kept.
    EXPECT_GT(probe.ConnectionString().size(), 512);
    EXPECT_TRUE(probe.ConnectionString().endsWith(';')) << qPrintable(probe.ConnectionString());
    EXPECT_EQ(probe.DataSourceName(), "");
    EXPECT_EQ(probe.Title(), s_pg->User() + "@(127.0.0.1)");

    const QString stored = probe.ConnectionString();
    std::unique_ptr<CDatabaseProbe> later(CDatabaseProbe::FromStored(stored, probe.Title()));
    QString error;
    ASSERT_TRUE(later->Connect(later->ConnectionString(), &error)) << qPrintable(error);
    EXPECT_EQ(later->ConnectionString(), stored);
    EXPECT_TRUE(later->Disconnect());
}

// ConnSettings (SQL run at connect) is echoed into the completed string: a long comment
// there makes the completed string as long as a test needs.
QString WithConnSettingsComment(const QString& connectionString, int length) {
    return connectionString + ";ConnSettings=%2f%2a" + QString(length, u'x') + "%2a%2f";
}

TEST_F(ProbePostgresTest, CompletedStringLongerThanTheBufferIsKeptWholeAndReusedUncut) {
    const QString filler(3000, u'x');
    CDatabaseProbe probe(nullptr, WithConnSettingsComment("DSN=PgDsn", 3000), true, nullptr);
    ASSERT_TRUE(probe.HasConnection());
    const QString completed = probe.ConnectionString();
    // The driver reported more than the first buffer held: connected again to get it all.
    EXPECT_GT(completed.size(), 3500);
    EXPECT_TRUE(completed.contains(filler));
    EXPECT_TRUE(completed.startsWith("DSN=PgDsn;"));
    EXPECT_TRUE(completed.endsWith(';')) << qPrintable(completed.right(40));

    // Stored and polled: handed to the driver whole, completed to the same string again.
    QString error;
    ASSERT_TRUE(probe.Connect(completed, &error)) << qPrintable(error);
    EXPECT_EQ(probe.ConnectionString(), completed);
    EXPECT_TRUE(probe.Disconnect());
}

TEST_F(ProbePostgresTest, StringBeyondWhatTheDriverCompletesIsKeptAsGiven) {
    // psqlodbc connects but returns an empty completed string past its ~4 KB limit.
    const QString in = WithConnSettingsComment("DSN=PgDsn", 6000);
    ScriptedChooser chooser(in);
    CDatabaseProbe probe(&chooser, QString(), false, nullptr);
    ASSERT_TRUE(probe.HasConnection());
    EXPECT_EQ(probe.ConnectionString(), in);
    EXPECT_EQ(probe.Title(), s_pg->User() + "@PGDSN(127.0.0.1)");

    std::unique_ptr<CDatabaseProbe> later(CDatabaseProbe::FromStored(in, probe.Title()));
    QString error;
    ASSERT_TRUE(later->Connect(later->ConnectionString(), &error)) << qPrintable(error);
    EXPECT_EQ(later->ConnectionString(), in);
    EXPECT_EQ(chooser.Calls(), 1); // Never an empty string that would ask the user again.
    EXPECT_TRUE(later->Disconnect());
}

TEST_F(ProbePostgresTest, NonAsciiPasswordStillLogsInFromTheStoredString) {
    // psqlodbc's completion turns every non-ASCII password byte into "%ff".
    ASSERT_EQ(ExecSql(s_pg->DriverConnectionString(),
                      {"DROP ROLE IF EXISTS \"wörker\"",
                       "CREATE ROLE \"wörker\" LOGIN PASSWORD 'pässwörd;1'"}),
              "");
    const QString in = QString("DRIVER={PostgreSQL Unicode};Server=127.0.0.1;Port=%1;"
                               "Database=%2;UID=wörker;PWD={pässwörd;1}")
                           .arg(s_pg->Port())
                           .arg(s_pg->Database());
    ScriptedChooser chooser(in);
    CDatabaseProbe probe(&chooser, QString(), false, nullptr);
    ASSERT_TRUE(probe.HasConnection());
    EXPECT_EQ(probe.Title(), "wörker@(127.0.0.1)");
    EXPECT_TRUE(probe.ConnectionString().contains("UID=wörker;PWD={pässwörd;1};"))
        << qPrintable(probe.ConnectionString());

    for (int poll = 0; poll < 2; ++poll) {
        QString error;
        ASSERT_TRUE(probe.Connect(probe.ConnectionString(), &error)) << qPrintable(error);
        EXPECT_TRUE(probe.Disconnect());
    }

    // An ASCII password keeps the driver's own %-encoded form, which works as it is.
    ScriptedChooser plain(s_pg->DriverConnectionString());
    CDatabaseProbe ascii(&plain, QString(), false, nullptr);
    ASSERT_TRUE(ascii.HasConnection());
    EXPECT_TRUE(ascii.ConnectionString().contains("PWD=Pg%2dsecret%2d1;"))
        << qPrintable(ascii.ConnectionString());
}

TEST_F(ProbePostgresTest, WrongPasswordFailsWithTheServersMessage) {
    QString cs = s_pg->DriverConnectionString();
    cs.replace("PWD=" + s_pg->Password(), "PWD=wrong");
    RecordingNotice notice;
    ScriptedChooser chooser(cs);
    CDatabaseProbe probe(&chooser, QString(), false, &notice);
    EXPECT_FALSE(probe.HasConnection());
    EXPECT_EQ(probe.Title(), "Not Connected");
    ASSERT_EQ(notice.Texts().size(), 1);
    EXPECT_TRUE(notice.Texts()[0].contains("password authentication failed"))
        << qPrintable(notice.Texts()[0]);

    QString error;
    EXPECT_FALSE(probe.Connect(cs, &error));
    EXPECT_TRUE(error.contains("password authentication failed")) << qPrintable(error);
    EXPECT_LE(error.size(), 399);
}

TEST_F(ProbePostgresTest, StoppedServerFailsFastThenRecovers) {
    std::unique_ptr<CDatabaseProbe> probe(
        CDatabaseProbe::FromStored(s_pg->DriverConnectionString(), "pg"));
    ASSERT_TRUE(s_pg->Stop());

    QElapsedTimer timer;
    timer.start();
    QString error;
    EXPECT_FALSE(probe->Connect(probe->ConnectionString(), &error));
    // Refused at once: nowhere near the 60 s login time-out.
    EXPECT_LT(timer.elapsed(), 30000);
    EXPECT_TRUE(error.contains("127.0.0.1")) << qPrintable(error);
    EXPECT_EQ(probe->Title(), "pg");

    ASSERT_TRUE(s_pg->Start());
    error.clear();
    EXPECT_TRUE(probe->Connect(probe->ConnectionString(), &error)) << qPrintable(error);
    EXPECT_TRUE(probe->Disconnect());
}

TEST_F(ProbePostgresTest, SilentServerFailsAfterTheLoginTimeOut) {
    SilentListener listener;
    ASSERT_GT(listener.Port(), 0);
    CDatabaseProbe::SetLoginTimeoutSeconds(2);
    std::unique_ptr<CDatabaseProbe> probe(CDatabaseProbe::FromStored(
        QString("DRIVER={PostgreSQL Unicode};Server=127.0.0.1;Port=%1;Database=x;UID=u;PWD=p")
            .arg(listener.Port()),
        "silent"));

    QElapsedTimer timer;
    timer.start();
    QString error;
    EXPECT_FALSE(probe->Connect(probe->ConnectionString(), &error));
    const qint64 elapsed = timer.elapsed();
    EXPECT_GE(listener.AcceptedCount(), 1);
    EXPECT_GE(elapsed, 1500);  // It did wait for the server...
    EXPECT_LT(elapsed, 45000); // ...but gave up long before the default time-out.
    EXPECT_TRUE(error.contains("timeout expired")) << qPrintable(error);
}

TEST_F(ProbePostgresTest, ListingsTrimNamesAndFollowTheDatabase) {
    ASSERT_EQ(ExecSql(s_pg->DriverConnectionString(),
                      {"DROP DATABASE IF EXISTS listing", "CREATE DATABASE listing"}),
              "");
    QString cs = s_pg->DriverConnectionString();
    cs.replace("Database=" + s_pg->Database(), "Database=listing");
    ASSERT_EQ(ExecSql(cs, {"CREATE SCHEMA alpha", "CREATE SCHEMA \"  padded  \"",
                           "CREATE SCHEMA \"Größe\""}),
              "");

    std::unique_ptr<CDatabaseProbe> probe(CDatabaseProbe::FromStored(cs, "listing"));
    ASSERT_TRUE(probe->Connect(probe->ConnectionString(), nullptr));
    EXPECT_TRUE(probe->Disconnect());
    const QStringList schemas = probe->Schemas();
    EXPECT_TRUE(schemas.contains("alpha")) << qPrintable(schemas.join(','));
    EXPECT_TRUE(schemas.contains("padded")) << qPrintable(schemas.join(','));
    EXPECT_TRUE(schemas.contains("Größe")) << qPrintable(schemas.join(','));
    EXPECT_TRUE(schemas.contains("public"));
    EXPECT_EQ(probe->Catalogs(), QStringList{"listing"});

    // The lists are those of the last successful Connect.
    ASSERT_TRUE(probe->Connect(s_pg->DriverConnectionString(), nullptr));
    EXPECT_TRUE(probe->Disconnect());
    EXPECT_FALSE(probe->Schemas().contains("alpha"));
    EXPECT_EQ(probe->Catalogs(), QStringList{s_pg->Database()});
}

TEST_F(ProbePostgresTest, AHangingServerDoesNotHoldUpOtherProbes) {
    auto listener = std::make_unique<SilentListener>();
    ASSERT_GT(listener->Port(), 0);
    // The hang ends when the listener goes away, not by the time-out.
    std::unique_ptr<CDatabaseProbe> hanging(CDatabaseProbe::FromStored(
        QString("DRIVER={PostgreSQL Unicode};Server=127.0.0.1;Port=%1;Database=x;UID=u;PWD=p")
            .arg(listener->Port()),
        "silent"));
    std::atomic<bool> hangDone{false};
    std::thread hang([&] {
        hanging->Connect(hanging->ConnectionString(), nullptr);
        hangDone = true;
    });
    ASSERT_TRUE(WaitUntil([&] { return listener->AcceptedCount() >= 1; }, 30000));

    constexpr int kThreads = 3;
    constexpr int kRounds = 10;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            std::unique_ptr<CDatabaseProbe> probe(CDatabaseProbe::FromStored(
                i == 0 ? QString("DSN=PgDsn") : s_pg->DriverConnectionString(), "pg"));
            for (int round = 0; round < kRounds; ++round) {
                QString error;
                if (!probe->Connect(probe->ConnectionString(), &error)) {
                    ++failures;
                    ADD_FAILURE() << qPrintable(error);
                }
                probe->Disconnect();
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_FALSE(hangDone.load()); // All that while the other connect was still waiting.

    listener.reset();
    hang.join();
}

} // namespace
