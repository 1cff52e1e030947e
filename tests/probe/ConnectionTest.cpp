// Connections as the probe makes them, on a private PostgreSQL server and a SQLite file: the
// handles that own them end their server sessions on every way out and survive a move, and
// every driver connect of a probe goes through the connector it was given.
#include "probe/DatabaseProbe.h"
#include "probe/OdbcHandles.h"
#include "tests/common/OdbcTestEnv.h"
#include "tests/common/SharedPostgres.h"
#include "tests/common/TestSupport.h"
#include "tests/probe/ProbeDoubles.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>

namespace {

class ConnectionTest : public SharedPostgresSuite {
protected:
    static QByteArray ServerString() { return s_server->DriverConnectionString().toUtf8(); }

    // The first column of the first row of a query, or -1 when it fails.
    static int QueryInt(const Odbc::Connection& connection, const char* sql) {
        Odbc::Statement statement(connection);
        QByteArray text(sql);
        if (!statement.IsValid() ||
            !SQL_SUCCEEDED(
                SQLExecDirect(statement.Get(), reinterpret_cast<SQLCHAR*>(text.data()), SQL_NTS)) ||
            !SQL_SUCCEEDED(SQLFetch(statement.Get())))
            return -1;
        SQLINTEGER value = -1;
        SQLLEN indicator = 0;
        if (!SQL_SUCCEEDED(SQLGetData(statement.Get(), 1, SQL_C_SLONG, &value, 0, &indicator)))
            return -1;
        return value;
    }

    // Client sessions on the server besides the one that asks.
    static int OtherSessions() {
        const Odbc::Environment env;
        Odbc::Connection observer(env);
        if (!observer.DriverConnect(ServerString(), nullptr, nullptr))
            return -1;
        return QueryInt(observer, "SELECT count(*) FROM pg_stat_activity WHERE backend_type = "
                                  "'client backend' AND pid <> pg_backend_pid()");
    }

    // The server ends a session shortly after its client has gone.
    static bool SessionsBecome(int count) {
        return TestSupport::WaitUntil([count] { return OtherSessions() == count; }, 10000);
    }
};

TEST_F(ConnectionTest, AConnectionThatGoesWhileConnectedEndsItsSession) {
    const Odbc::Environment env;
    ASSERT_TRUE(env.IsValid());
    ASSERT_TRUE(SessionsBecome(0));
    {
        Odbc::Connection connection(env);
        ASSERT_TRUE(connection.DriverConnect(ServerString(), nullptr, nullptr));
        EXPECT_TRUE(connection.IsConnected());
        EXPECT_EQ(QueryInt(connection, "SELECT 7"), 7);
        EXPECT_TRUE(SessionsBecome(1));
    }
    EXPECT_TRUE(SessionsBecome(0)) << "a connected handle was freed without a disconnect";

    // A connect that fails leaves nothing to disconnect and tells why.
    Odbc::Connection refused(env);
    QByteArray wrong = ServerString();
    wrong.replace("PWD=", "PWD=wrong");
    EXPECT_FALSE(refused.DriverConnect(wrong, nullptr, nullptr));
    EXPECT_FALSE(refused.IsConnected());
    EXPECT_TRUE(refused.FirstDiagnostic(399).value_or("").contains("password"))
        << refused.FirstDiagnostic(399).value_or("(none)").toStdString();
}

TEST_F(ConnectionTest, AMovedConnectionKeepsItsSessionAndTheOneMovedOverEndsIts) {
    const Odbc::Environment env;
    ASSERT_TRUE(SessionsBecome(0));
    auto original = std::make_unique<Odbc::Connection>(env);
    ASSERT_TRUE(original->DriverConnect(ServerString(), nullptr, nullptr));
    Odbc::Connection moved(std::move(*original));
    EXPECT_FALSE(original->IsConnected() || original->IsValid());
    original.reset(); // the source goes first: it must not take the handle with it
    ASSERT_TRUE(moved.IsConnected());
    EXPECT_EQ(QueryInt(moved, "SELECT 1"), 1);
    EXPECT_TRUE(SessionsBecome(1));

    Odbc::Connection other(env);
    ASSERT_TRUE(other.DriverConnect(ServerString(), nullptr, nullptr));
    ASSERT_TRUE(SessionsBecome(2));
    const int otherPid = QueryInt(other, "SELECT pg_backend_pid()");
    moved = std::move(other);
    EXPECT_TRUE(SessionsBecome(1)) << "the connection moved over kept its session";
    EXPECT_EQ(QueryInt(moved, "SELECT pg_backend_pid()"), otherPid);
    EXPECT_FALSE(other.IsConnected());

    moved.Disconnect();
    EXPECT_FALSE(moved.IsConnected());
    EXPECT_TRUE(SessionsBecome(0));
    EXPECT_EQ(QueryInt(moved, "SELECT 1"), -1) << "a statement on a disconnected connection";
}

// A selection connects once more with the string it keeps when that differs from the one given;
// a completed string longer than the first room costs a reconnect; a poll connects once.
TEST_F(ConnectionTest, EveryDriverConnectOfAProbeGoesThroughItsConnector) {
    const QString file = OdbcTestEnv::CreateSqliteDatabase(TestSupport::MakeTempDir("connector") +
                                                           QStringLiteral("/counted.db"));
    ASSERT_FALSE(file.isEmpty());
    const QString server = s_server->DriverConnectionString();
    const QString longer = server + ";ConnSettings=%2f%2a" + QString(3000, u'x') + "%2a%2f";
    const struct {
        const char* what;
        std::optional<QString> choice; // a selection; nothing for a stored database
        QString stored;
        int connects;
        bool connected;
    } cases[] = {
        {"poll of a file", std::nullopt, OdbcTestEnv::SqliteConnectionString(file), 1, true},
        {"poll of a server", std::nullopt, server, 1, true},
        {"poll of a long string", std::nullopt, longer, 2, true},
        {"selection of a server", server, {}, 2, true},
        {"selection of a file", OdbcTestEnv::SqliteConnectionString(file), {}, 1, true},
        {"cancelled selection", QString(), {}, 0, false},
        {"poll of a missing file", std::nullopt,
         OdbcTestEnv::SqliteConnectionString(file + ".gone"), 1, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto connector = std::make_shared<SteppedConnector>();
        const ProbeOptions options{5, connector};
        bool connected = false;
        if (c.choice) {
            FixedChooser chooser(*c.choice);
            CDatabaseProbe probe(&chooser, QString(), true, nullptr, options);
            connected = probe.HasConnection();
        } else {
            std::unique_ptr<CDatabaseProbe> probe(
                CDatabaseProbe::FromStored(c.stored, "t", options));
            EXPECT_EQ(probe->Options().loginTimeoutSeconds, 5);
            connected = probe->Connect(probe->ConnectionString(), nullptr);
            probe->Disconnect();
        }
        EXPECT_EQ(connected, c.connected);
        EXPECT_EQ(connector->Connects(), c.connects);
    }
}

// A step of the connector runs on the probing thread before the driver is asked, so a probe
// held there has not reached the server.
TEST_F(ConnectionTest, AConnectHeldInTheConnectorHasNotReachedTheServer) {
    ASSERT_TRUE(SessionsBecome(0));
    auto connector = std::make_shared<SteppedConnector>();
    int sessionsWhileHeld = -2;
    connector->SetStep([&] { sessionsWhileHeld = OtherSessions(); });
    std::unique_ptr<CDatabaseProbe> probe(CDatabaseProbe::FromStored(
        s_server->DriverConnectionString(), "held", ProbeOptions{5, connector}));
    ASSERT_TRUE(probe->Connect(probe->ConnectionString(), nullptr));
    EXPECT_EQ(sessionsWhileHeld, 0);
    EXPECT_TRUE(SessionsBecome(1));
    probe->Disconnect();
    EXPECT_TRUE(SessionsBecome(0)) << "Disconnect left the session open";
}

} // namespace
