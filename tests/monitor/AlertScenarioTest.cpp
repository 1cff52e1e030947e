// A day of a laptop's life against a real PostgreSQL server behind a loopback relay, with the
// real engine, SMTP server, settings file and logs: blips, a sleep, an offline spell and real
// outages (the relay cut, then the server stopped), counting the mails that went out.
#include "monitor/ComputerState.h"
#include "settings/SettingKeys.h"
#include "settings/SettingsStore.h"
#include "tests/common/DbServer.h"
#include "tests/common/OdbcTestEnv.h"
#include "tests/common/SmtpSink.h"
#include "tests/monitor/MonitorTestSupport.h"
#include "tests/monitor/TcpRelay.h"

#include <gtest/gtest.h>

namespace {

TEST(AlertScenarioTest, BlipsASleepAndAnOfflineSpellMailNothingRealOutagesMailOnce) {
    DbServer db(DbServer::Kind::Postgres);
    ASSERT_TRUE(db.Start());
    TcpRelay relay(db.Port());
    ASSERT_TRUE(relay.Start());
    SmtpSink sink;
    ASSERT_TRUE(sink.Start());
    // Reached by a data source name, as a database on another computer would be.
    OdbcTestEnv::AddDsn(QStringLiteral("Sales"), db.Driver(),
                        {{"Servername", "127.0.0.1"},
                         {"Port", QString::number(relay.Port())},
                         {"Database", db.Database()}});
    const QString connection =
        QStringLiteral("DSN=Sales;UID=%1;PWD=%2").arg(db.User(), db.Password());

    auto computer = std::make_shared<ComputerState>();
    std::atomic<qint64> slept{0};
    computer->sleptClock = [&] { return slept.load(); };
    MonitorRig rig;
    rig.options.computer = computer;
    rig.Restart();
    rig.SetUpEmail(sink.Port());
    Config::Write(Config::kConfirmPolls, 3);
    Config::Write(Config::kConfirmSeconds, 5);
    rig.StoreSlot(0, connection, QStringLiteral("Sales"));
    const auto poll = [&] { rig.monitor->PollSlot(0); };

    poll();
    ASSERT_TRUE(rig.AccessLines().value(0).startsWith("SUCCESS Sales ")) << "through the relay";

    for (int blip = 0; blip < 3; ++blip) {
        relay.Cut();
        poll();
        relay.Mend();
        poll();
    }

    relay.Cut(); // asleep, and nothing answers in the middle of it
    rig.connector->SetStep([&] { slept += 600000; });
    poll();
    rig.connector->SetStep({});
    relay.Mend();

    computer->reach = ComputerState::Offline;
    relay.Cut();
    for (int i = 0; i < 4; ++i)
        poll();
    computer->reach = ComputerState::Online;
    relay.Mend();
    poll();
    EXPECT_TRUE(sink.Messages().isEmpty()) << "no false alert";
    EXPECT_EQ(rig.AccessLines().filter("NOT CHECKED Sales (this computer is offline)").size(), 4);
    EXPECT_EQ(rig.AccessLines().filter("NOT CHECKED Sales (this computer was asleep)").size(), 1);

    relay.Cut(); // the server gone from the network: alerted at the third failure
    for (int i = 0; i < 5; ++i)
        poll();
    ASSERT_TRUE(sink.WaitForMessages(1, 15000));
    relay.Mend();
    poll();
    ASSERT_TRUE(sink.WaitForMessages(2, 15000));

    ASSERT_TRUE(db.Stop()); // the server itself down
    for (int i = 0; i < 3; ++i)
        poll();
    ASSERT_TRUE(sink.WaitForMessages(3, 15000));
    ASSERT_TRUE(db.Start());
    poll();
    ASSERT_TRUE(sink.WaitForMessages(4, 15000));

    QStringList subjects;
    for (const SmtpSink::Message& mail : sink.Messages())
        subjects << mail.Subject();
    EXPECT_EQ(subjects.join(" | "),
              "Alert - Sales | Recovery - Sales | Alert - Sales | Recovery - Sales");
    EXPECT_TRUE(sink.Messages()[0].Body().contains("(3 failed polls in a row)."));
    EXPECT_TRUE(sink.Messages()[1].Body().contains("\n\nThe outage lasted "));
    // Every failure that counted is logged: three blips and eight outage polls.
    EXPECT_EQ(rig.ErrorLines().filter("Database unreachable: Sales").size(), 3 + 5 + 3);
}

} // namespace
