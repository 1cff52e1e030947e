// An outage of a real database server, end to end: the private PostgreSQL or MariaDB server
// stopped and started under a monitor, with the real SMTP server, settings file and log files.
#include "probe/DatabaseProbe.h"
#include "settings/SettingsStore.h"
#include "tests/common/DbServer.h"
#include "tests/common/SmtpSink.h"
#include "tests/monitor/MonitorTestSupport.h"

#include <QElapsedTimer>

#include <gtest/gtest.h>

namespace {

using Field = IMonitorView::SlotField;

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
    EXPECT_LE(body.section("\n\n", 1).trimmed().size(), 399);
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
