// The probe on real drivers: the naming rules, SQLite files, private PostgreSQL and MariaDB
// servers (titles, listings, failures, long completed strings) and a server that never answers.
#include "probe/ConnectionStrings.h"
#include "probe/DatabaseProbe.h"
#include "tests/common/DbServer.h"
#include "tests/common/OdbcTestEnv.h"
#include "tests/common/RecordingNotice.h"
#include "tests/common/SilentListener.h"
#include "tests/common/TestSupport.h"
#include "tests/probe/ProbeDoubles.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <future>
#include <memory>

namespace {

using Kind = DbServer::Kind;
const QString kNotice = QStringLiteral("Could not connect to data source.\n\n");

void WriteFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size())
        << path.toStdString();
}

// A probe made as Select Database makes it, then polled from its stored string: the stored
// string must connect again, unchanged, and the poll must not rename the database.
void ExpectPollsAgain(const CDatabaseProbe& chosen) {
    std::unique_ptr<CDatabaseProbe> polled(
        CDatabaseProbe::FromStored(chosen.ConnectionString(), chosen.Title()));
    QString error;
    ASSERT_TRUE(polled->Connect(polled->ConnectionString(), &error)) << error.toStdString();
    EXPECT_TRUE(polled->Disconnect());
    EXPECT_EQ(polled->ConnectionString(), chosen.ConnectionString());
    EXPECT_EQ(polled->Title(), chosen.Title());
}

TEST(ProbeTest, DataSourceNamesAndTitles) {
    // clang-format off
    const struct { QString completed, server, user, database, dsn, title; } cases[] = {
        {"DSN=MyDb;UID=sa", "SRV1", "sa", "sales", "MYDB", "sa@MYDB(SRV1)"},
        {"DSN=MyDb;UID=sa", "MYDB", "sa", "", "MYDB", "sa@MYDB"},
        {"DSN=MyDb", "MyDb", "", "", "MYDB", "MYDB(MyDb)"},
        {"FILEDSN=x;DSN=y", "host", "u", "", "X", "u@X(host)"},
        {"dsn=lower;UID=u", "h", "u", "", "", "u@(h)"},
        {"dsn=lower;UID=u", "h", "u", "sales", "", "u@(h)/sales"},
        {"DRIVER={PostgreSQL};Server=h", "h", "u", "ledger", "", "u@(h)/ledger"},
        {"DSN=dEfAuLt;UID=sa", "SRV1", "sa", "", "DEFAULT", "sa@(SRV1)"},
        {"DSN=dEfAuLt;UID=sa", "SRV1", "sa", "master", "DEFAULT", "sa@(SRV1)/master"},
        {"DSN=Default", "/a.db", "", "/a.db", "DEFAULT", "Default"},
        {"DSN=DEFAULTS", "", "", "", "DEFAULTS", "DEFAULTS"},
        {"DRIVER={SQL Server};SERVER=SRV1", "SRV1", "", "", "", "{SQL Server}"},
        {"DRIVER={SQL Server};SERVER=SRV1", "SRV1", "", "sales", "", "{SQL Server}/sales"},
        {"DRIVER={SQL Server};SERVER=SRV1", "", "u", "", "", "u@"},
        {"Database=a=b", "", "", "", "", "a=b"},
        {"DSN=;Database=/x.db;", "/x.db", "", "", "", "x.db"},
        {"DSN=;Database=/x.db;", "/x.db", "", "/x.db", "", "x.db"},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.completed.toStdString() + " / " + c.server.toStdString() + " / " +
                     c.database.toStdString());
        EXPECT_EQ(ConnectionStrings::DataSourceNameOf(c.completed), c.dsn);
        EXPECT_EQ(CDatabaseProbe::DeriveTitle(c.completed, c.dsn, c.server, c.user, c.database),
                  c.title);
    }
}

TEST(ProbeTest, SqliteChoicesTitlesAndFailures) {
    const QString dir = TestSupport::MakeTempDir("probe");
    const QString db = OdbcTestEnv::CreateSqliteDatabase(dir + "/Ünïcødé база (1) x=y.db");
    const QString missing = dir + "/absent.db";
    OdbcTestEnv::AddDsn("LiteDsn", "SQLite3", {{"Database", db}, {"NoCreat", "1"}});
    OdbcTestEnv::AddDsn("Default", "SQLite3", {{"Database", db}, {"NoCreat", "1"}});
    const struct {
        std::optional<QString> choice;
        QString stored, title; // stored: the start of the stored string; "-" not connected
        bool notice;
    } cases[] = {
        {"DSN=LiteDsn", "DSN=LiteDsn;", "LITEDSN(" + db + ")", false},
        {"DSN=Default", "DSN=Default;", "Default", false},
        // The driver completes to "DSN=;Database=..." without the driver, which would not
        // connect again: the string that connected is stored.
        {OdbcTestEnv::SqliteConnectionString(db), OdbcTestEnv::SqliteConnectionString(db),
         QFileInfo(db).fileName(), false},
        {OdbcTestEnv::SqliteConnectionString(missing), "-", "Not Connected", true},
        // NoCreat=1 goes first: the driver takes the first of two values.
        {"DRIVER={SQLite3};Database=" + missing + ";NoCreat=0", "-", "Not Connected", true},
        {std::nullopt, "-", "Not Connected", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.choice.value_or("(cancel)").toStdString());
        FixedChooser chooser(c.choice);
        RecordingNotice notice;
        CDatabaseProbe probe(&chooser, QString(), false, &notice);
        EXPECT_EQ(probe.Title(), c.title);
        EXPECT_EQ(notice.Texts().size(), c.notice ? 1 : 0);
        EXPECT_GE(notice.Texts().value(0).size(), c.notice ? kNotice.size() + 5 : 0);
        EXPECT_EQ(probe.HasConnection(), c.stored != "-");
        if (c.stored != "-") {
            EXPECT_TRUE(probe.ConnectionString().startsWith(c.stored));
            ExpectPollsAgain(probe);
        }
    }
    EXPECT_FALSE(QFileInfo::exists(missing)) << "a mistyped file must not be created";
    // A stored file that was replaced by text (or never was a database) is unreachable with the
    // driver's reason, although the driver connects to it; an empty file is a new database.
    const QString text = dir + "/odbcinst.ini", empty = dir + "/empty.db";
    WriteFile(text, "[SQLite3]\nDriver = libsqlite3odbc.so\n");
    WriteFile(empty, "");
    const struct {
        QString file;
        bool reachable;
    } files[] = {{db, true}, {text, false}, {empty, true}};
    for (const auto& f : files) {
        SCOPED_TRACE(f.file.toStdString());
        std::unique_ptr<CDatabaseProbe> polled(
            CDatabaseProbe::FromStored(OdbcTestEnv::SqliteConnectionString(f.file), "stored"));
        QString error;
        EXPECT_EQ(polled->Connect(polled->ConnectionString(), &error), f.reachable);
        polled->Disconnect();
        EXPECT_EQ(error.contains("file is not a database"), !f.reachable) << error.toStdString();
    }
    // Chosen through a data source as well.
    OdbcTestEnv::AddDsn("TextDsn", "SQLite3", {{"Database", text}});
    FixedChooser textChoice(QStringLiteral("DSN=TextDsn"));
    RecordingNotice textNotice;
    CDatabaseProbe textProbe(&textChoice, QString(), false, &textNotice);
    EXPECT_FALSE(textProbe.HasConnection());
    EXPECT_EQ(textNotice.Texts(), QStringList({kNotice + "[SQLite]file is not a database (26)"}));
    // A stored database that fails keeps its title and string.
    CDatabaseProbe stored(nullptr, "DSN=LiteDsn", true, nullptr);
    stored.SetTitle("kept");
    EXPECT_FALSE(stored.Connect(OdbcTestEnv::SqliteConnectionString(missing), nullptr));
    EXPECT_EQ(stored.Title(), "kept");
    EXPECT_TRUE(stored.ConnectionString().startsWith("DSN=LiteDsn;"));
}

class ServerProbeTest : public ::testing::TestWithParam<Kind> {
protected:
    static void TearDownTestSuite() { s_servers[0].reset(), s_servers[1].reset(); }
    void SetUp() override {
        OdbcTestEnv::Install();
        auto& server = s_servers[int(GetParam())];
        if (!server)
            server = std::make_unique<DbServer>(GetParam());
        ASSERT_TRUE(server->Start());
        db = server.get();
    }
    static inline std::unique_ptr<DbServer> s_servers[2];
    DbServer* db = nullptr;
};

TEST_P(ServerProbeTest, TitleAndListings) {
    ASSERT_EQ(OdbcTestEnv::ExecSql(db->DriverConnectionString(),
                                   {"DROP DATABASE IF EXISTS listing", "CREATE DATABASE listing"}),
              "");
    FixedChooser chooser(db->DriverConnectionString());
    CDatabaseProbe probe(&chooser, QString(), false, nullptr);
    ASSERT_TRUE(probe.HasConnection());
    EXPECT_TRUE(probe.ConnectionString().startsWith("DRIVER={" + db->Driver() + "};"));
    EXPECT_EQ(probe.UserName(), db->User());
    EXPECT_TRUE(probe.ServerName().startsWith("127.0.0.1")) << probe.ServerName().toStdString();
    EXPECT_EQ(probe.DatabaseName(), db->Database());
    EXPECT_EQ(probe.Title(), db->User() + "@(" + probe.ServerName() + ")/" + db->Database());
    ExpectPollsAgain(probe);
    EXPECT_TRUE(probe.Catalogs().contains(db->Database()))
        << probe.Catalogs().join(',').toStdString();
    if (db->ServerKind() == Kind::Postgres) // one catalogue per connection; schemas in it
        EXPECT_TRUE(probe.Schemas().contains("public"));
    else // every database is a catalogue
        EXPECT_TRUE(probe.Catalogs().contains("listing"));
}

// Two databases of one server and user get titles of their own, and so alert states of their
// own; a database stored with the title an earlier version gave it keeps that title.
TEST_P(ServerProbeTest, TwoDatabasesOfOneServerAndUserAreTitledApart) {
    ASSERT_EQ(OdbcTestEnv::ExecSql(db->DriverConnectionString(),
                                   {"DROP DATABASE IF EXISTS sales", "CREATE DATABASE sales",
                                    "DROP DATABASE IF EXISTS ledger", "CREATE DATABASE ledger"}),
              "");
    QStringList titles;
    for (const QString name : {"sales", "ledger"}) {
        SCOPED_TRACE(name.toStdString());
        QString connectionString = db->DriverConnectionString();
        connectionString.replace("Database=" + db->Database() + ";", "Database=" + name + ";");
        FixedChooser chooser(connectionString);
        CDatabaseProbe probe(&chooser, QString(), false, nullptr);
        ASSERT_TRUE(probe.HasConnection());
        EXPECT_EQ(probe.DatabaseName(), name);
        const QString earlier = db->User() + "@(" + probe.ServerName() + ")";
        EXPECT_EQ(probe.Title(), earlier + "/" + name);
        titles << probe.Title();
        ExpectPollsAgain(probe);

        std::unique_ptr<CDatabaseProbe> restored(
            CDatabaseProbe::FromStored(probe.ConnectionString(), earlier));
        ASSERT_TRUE(restored->Connect(restored->ConnectionString(), nullptr));
        EXPECT_EQ(restored->DatabaseName(), name);
        restored->Disconnect();
        EXPECT_EQ(restored->Title(), earlier);
    }
    EXPECT_NE(titles.value(0), titles.value(1));
}

INSTANTIATE_TEST_SUITE_P(Servers, ServerProbeTest, ::testing::Values(Kind::Postgres, Kind::MariaDb),
                         [](const auto& info) {
                             return info.param == Kind::Postgres ? "PostgreSQL" : "MariaDB";
                         });

// psqlodbc completes to ~570 characters, echoes ConnSettings (SQL run at connect) and gives up
// completing past ~4 KB; its completion turns every non-ASCII password byte into "%ff".
TEST_P(ServerProbeTest, CompletedStringsThatMustStillConnect) {
    if (db->ServerKind() != Kind::Postgres)
        GTEST_SKIP() << "psqlodbc's completion";
    const auto comment = [](int n) { return ";ConnSettings=%2f%2a" + QString(n, u'x') + "%2a%2f"; };
    CDatabaseProbe longer(nullptr, db->DriverConnectionString() + comment(3000), true, nullptr);
    EXPECT_GT(longer.ConnectionString().size(), 3500) << "fetched whole after a reconnect";
    EXPECT_TRUE(longer.ConnectionString().endsWith(';'));
    ExpectPollsAgain(longer);
    const QString beyond = db->DriverConnectionString() + comment(6000);
    FixedChooser chooser(beyond);
    CDatabaseProbe kept(&chooser, QString(), false, nullptr);
    EXPECT_EQ(kept.ConnectionString(), beyond);
    ExpectPollsAgain(kept);

    ASSERT_EQ(OdbcTestEnv::ExecSql(db->DriverConnectionString(),
                                   {"DROP ROLE IF EXISTS \"wörker\"",
                                    "CREATE ROLE \"wörker\" LOGIN PASSWORD 'pässwörd;1'"}),
              "");
    FixedChooser nonAscii(
        QString("DRIVER={PostgreSQL Unicode};Server=127.0.0.1;Port=%1;Database=%2;"
                "UID=wörker;PWD={pässwörd;1}")
            .arg(db->Port())
            .arg(db->Database()));
    CDatabaseProbe worker(&nonAscii, QString(), false, nullptr);
    EXPECT_TRUE(worker.ConnectionString().contains("UID=wörker;PWD={pässwörd;1};"));
    ExpectPollsAgain(worker);
}

// A server that accepts and never answers fails the probe after the login time-out, and probes
// of other databases go on meanwhile.
TEST_P(ServerProbeTest, ASilentServerFailsAfterTheLoginTimeOut) {
    if (db->ServerKind() != Kind::Postgres) // its time-out does not cover the server's greeting
        GTEST_SKIP() << "MariaDB Connector/ODBC waits for the greeting regardless";
    auto silent = std::make_unique<SilentListener>();
    QString cs = db->DriverConnectionString();
    std::unique_ptr<CDatabaseProbe> probe(CDatabaseProbe::FromStored(
        cs.replace(QString::number(db->Port()), QString::number(silent->Port())), "silent",
        ProbeOptions{3, nullptr}));
    QString error;
    QElapsedTimer timer;
    timer.start();
    auto hung = std::async(std::launch::async, [&] {
        return probe->Connect(probe->ConnectionString(), &error), timer.elapsed();
    });
    ASSERT_TRUE(TestSupport::WaitUntil([&] { return silent->AcceptedCount() > 0; }, 20000));
    std::unique_ptr<CDatabaseProbe> other(
        CDatabaseProbe::FromStored(db->DriverConnectionString(), "up"));
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(other->Connect(other->ConnectionString(), nullptr) && other->Disconnect());
    const bool ended = hung.wait_for(std::chrono::seconds(40)) == std::future_status::ready;
    silent.reset(); // closing the sockets ends a connect that is still waiting
    EXPECT_TRUE(ended) << "no login time-out reached the driver";
    EXPECT_GE(hung.get(), 1500); // psqlodbc counts the time-out from its own start
    EXPECT_FALSE(error.isEmpty());
}

} // namespace
