// The shared database fixtures themselves: other areas' tests rely on them behaving.
#include "tests/common/OdbcTestEnv.h"
#include "tests/common/PgCluster.h"
#include "tests/common/SilentListener.h"
#include "tests/common/TestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>

#include <gtest/gtest.h>

#include <sql.h>
#include <sqlext.h>

#include <cstdio>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Connects with a raw driver-manager call; returns the diagnostic on failure, "" on success.
QString TryConnect(const QString& connectionString, int loginTimeout = 0) {
    SQLHENV env = SQL_NULL_HENV;
    SQLHDBC dbc = SQL_NULL_HDBC;
    SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env);
    SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc);
    if (loginTimeout > 0)
        SQLSetConnectAttr(dbc, SQL_ATTR_LOGIN_TIMEOUT,
                          reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(loginTimeout)), 0);
    QByteArray in = connectionString.toUtf8();
    const SQLRETURN rc = SQLDriverConnect(dbc, nullptr, reinterpret_cast<SQLCHAR*>(in.data()),
                                          SQL_NTS, nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT);
    QString result;
    if (SQL_SUCCEEDED(rc)) {
        SQLDisconnect(dbc);
    } else {
        SQLCHAR state[6] = {};
        SQLINTEGER native = 0;
        SQLCHAR message[512] = {};
        SQLSMALLINT length = 0;
        SQLGetDiagRec(SQL_HANDLE_DBC, dbc, 1, state, &native, message, sizeof message, &length);
        result = QStringLiteral("[%1] %2").arg(reinterpret_cast<char*>(state),
                                               reinterpret_cast<char*>(message));
        if (result == QStringLiteral("[] "))
            result = QStringLiteral("failed without a diagnostic");
    }
    SQLFreeHandle(SQL_HANDLE_DBC, dbc);
    SQLFreeHandle(SQL_HANDLE_ENV, env);
    return result;
}

class FixturesTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { OdbcTestEnv::Install(); }
};

TEST_F(FixturesTest, PrivateOdbcConfigurationHoldsBothDriversAndNewDataSources) {
    const QString dir = OdbcTestEnv::Install();
    EXPECT_EQ(OdbcTestEnv::Install(), dir);
    EXPECT_EQ(qEnvironmentVariable("ODBCSYSINI"), dir);
    EXPECT_TRUE(QFileInfo::exists(dir + "/odbcinst.ini"));

    const QString db = TestSupport::MakeTempDir("fixture") + "/sample.db";
    ASSERT_EQ(OdbcTestEnv::CreateSqliteDatabase(db), db);
    EXPECT_EQ(TryConnect(OdbcTestEnv::SqliteConnectionString(db)), "");
    // NoCreat: a missing file fails rather than appearing.
    const QString missing = db + ".missing";
    EXPECT_NE(TryConnect(OdbcTestEnv::SqliteConnectionString(missing)), "");
    EXPECT_FALSE(QFileInfo::exists(missing));

    OdbcTestEnv::AddDsn("FixtureUser", "SQLite3", {{"Database", db}, {"NoCreat", "1"}});
    OdbcTestEnv::AddDsn("FixtureSystem", "SQLite3", {{"Database", db}, {"NoCreat", "1"}}, true);
    EXPECT_EQ(TryConnect("DSN=FixtureUser"), "");
    EXPECT_EQ(TryConnect("DSN=FixtureSystem"), "");
    EXPECT_NE(TryConnect("DSN=NoSuchSource"), "");
}

TEST_F(FixturesTest, PgClusterServesStopsAndStartsAgainOnTheSamePort) {
    PgCluster pg;
    ASSERT_TRUE(pg.Start());
    const int port = pg.Port();
    EXPECT_GT(port, 0);
    EXPECT_EQ(TryConnect(pg.DriverConnectionString()), "");
    EXPECT_NE(TryConnect(pg.DriverConnectionString().replace("PWD=" + pg.Password(), "PWD=no")),
              "");

    ASSERT_TRUE(pg.Stop());
    EXPECT_NE(TryConnect(pg.DriverConnectionString()), "");
    ASSERT_TRUE(pg.Start());
    EXPECT_EQ(pg.Port(), port);
    EXPECT_EQ(TryConnect(pg.DriverConnectionString()), "");
}

TEST_F(FixturesTest, TwoClustersRunSideBySide) {
    PgCluster a;
    PgCluster b;
    ASSERT_TRUE(a.Start());
    ASSERT_TRUE(b.Start());
    EXPECT_NE(a.Port(), b.Port());
    EXPECT_EQ(TryConnect(a.DriverConnectionString()), "");
    EXPECT_EQ(TryConnect(b.DriverConnectionString()), "");
}

// Run in a child process by the test below: leaves a running cluster behind, as a crashed
// or timed-out test would.
TEST_F(FixturesTest, DISABLED_ChildAbandonsItsCluster) {
    auto* pg = new PgCluster;
    ASSERT_TRUE(pg->Start());
    std::printf("cluster-dir=%s\nhome-dir=%s\n", qPrintable(pg->Dir()),
                qPrintable(TestSupport::HomeDir()));
    std::fflush(stdout);
    ::_exit(0);
}

TEST_F(FixturesTest, ClusterOfADeadProcessIsStoppedAndRemovedByTheNextStart) {
    QProcess child;
    child.start(QCoreApplication::applicationFilePath(),
                {"--gtest_also_run_disabled_tests",
                 "--gtest_filter=FixturesTest.DISABLED_ChildAbandonsItsCluster"});
    ASSERT_TRUE(child.waitForFinished(180000));
    const QString out = QString::fromLocal8Bit(child.readAllStandardOutput());
    const qsizetype at = out.indexOf("cluster-dir=");
    ASSERT_GE(at, 0) << qPrintable(out);
    const QString dir = out.mid(at + 12).section(u'\n', 0, 0).trimmed();
    ASSERT_TRUE(QFileInfo::exists(dir + "/data/postmaster.pid")) << qPrintable(dir);

    // _exit skipped the child's own clean-up of its temporary folder.
    const qsizetype home = out.indexOf("home-dir=");
    if (home >= 0)
        QDir(out.mid(home + 9).section(u'\n', 0, 0).trimmed()).removeRecursively();

    PgCluster next;
    ASSERT_TRUE(next.Start());
    EXPECT_FALSE(QFileInfo::exists(dir));
}

TEST_F(FixturesTest, SilentListenerAcceptsAndNeverAnswers) {
    SilentListener listener;
    ASSERT_GT(listener.Port(), 0);
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(listener.Port()));
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::send(fd, "hello?\n", 7, MSG_NOSIGNAL), 7);
    // Neither data nor an orderly close arrives: the peer just sits there.
    pollfd pfd{fd, POLLIN, 0};
    EXPECT_EQ(::poll(&pfd, 1, 500), 0);
    ::close(fd);
}

} // namespace
