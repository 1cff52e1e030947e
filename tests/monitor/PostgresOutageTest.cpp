// An outage of a real PostgreSQL server, end to end: the private cluster stopped and started
// under a monitor, with the real SMTP server, settings file and log files.
#include "probe/DatabaseProbe.h"
#include "settings/SettingsStore.h"
#include "tests/common/PgCluster.h"
#include "tests/common/SmtpSink.h"
#include "tests/monitor/MonitorTestSupport.h"

#include <gtest/gtest.h>

namespace {

using Field = IMonitorView::SlotField;

int Warned(const QString& title) {
    return SettingsStore::ReadInt(title, QStringLiteral("Warned"), 0);
}

class PostgresOutageTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pg.Start());
        CDatabaseProbe::SetLoginTimeoutSeconds(10);
    }

    PgCluster pg;
    MonitorRig rig;
};

TEST_F(PostgresOutageTest, OneAlertPerOutageAndOneRecovery) {
    SmtpSink sink;
    ASSERT_TRUE(sink.Start());
    rig.SetUpEmail(sink.Port());
    const QString title = QStringLiteral("trellion@PGMAIN");
    rig.StoreSlot(0, pg.DriverConnectionString(), title);

    // Reachable.
    rig.monitor->PollSlot(0);
    ASSERT_EQ(rig.AccessLines().size(), 1);
    EXPECT_TRUE(rig.AccessLines()[0].startsWith("SUCCESS trellion@PGMAIN "))
        << rig.AccessLines()[0].toStdString();
    EXPECT_TRUE(rig.ErrorLines().isEmpty());
    EXPECT_EQ(rig.view.LastColour(0), IMonitorView::kColourReachable);
    EXPECT_GT(rig.monitor->History(0)[0].elapsed, 0);

    // Server stopped: error line, one alert carrying the driver's message.
    ASSERT_TRUE(pg.Stop());
    rig.monitor->PollSlot(0);
    EXPECT_EQ(rig.ErrorLines(), QStringList({"Database unreachable: trellion@PGMAIN"}));
    ASSERT_TRUE(sink.WaitForMessages(1, 15000));
    const SmtpSink::Message alert = sink.Messages()[0];
    EXPECT_EQ(SubjectOf(alert.data), "Alert - trellion@PGMAIN");
    EXPECT_EQ(alert.rcptTos, QStringList({kAlertTo}));
    EXPECT_EQ(alert.mailFrom, kSender);
    const QString body = BodyOf(alert.data);
    const qsizetype gap = body.indexOf("\n\n");
    ASSERT_GT(gap, 0) << body.toStdString();
    EXPECT_TRUE(body.startsWith("Database unreachable on ")) << body.toStdString();
    EXPECT_TRUE(IsStamp(body.mid(20, gap - 20)));
    EXPECT_GT(body.mid(gap + 2).trimmed().size(), 5) << "the driver's message";
    EXPECT_EQ(Warned(title), 1);
    const QString lastAlert = SettingsStore::ReadString(title, QStringLiteral("lastAlert"));
    EXPECT_TRUE(IsStamp(lastAlert));
    EXPECT_EQ(body.mid(20, gap - 20), lastAlert) << "the mail and the field carry stamp A";
    EXPECT_EQ(rig.view.Text(0, Field::LastAlert), lastAlert);
    EXPECT_TRUE(rig.view.Text(0, Field::LastAccess).startsWith("unavailable on "));

    // Still down: the error line only.
    rig.monitor->PollSlot(0);
    EXPECT_EQ(rig.ErrorLines().size(), 2);
    EXPECT_EQ(sink.Messages().size(), 1);

    // A restart while down: the persisted state holds back a second alert.
    rig.Restart();
    EXPECT_EQ(rig.monitor->LastAlert(0), lastAlert);
    rig.monitor->PollSlot(0);
    EXPECT_EQ(rig.ErrorLines().size(), 3);
    EXPECT_EQ(sink.Messages().size(), 1);
    EXPECT_EQ(Warned(title), 1);

    // Server back: one recovery, the state clears.
    ASSERT_TRUE(pg.Start());
    rig.monitor->PollSlot(0);
    ASSERT_TRUE(sink.WaitForMessages(2, 15000));
    const SmtpSink::Message recovery = sink.Messages()[1];
    EXPECT_EQ(SubjectOf(recovery.data), "Recovery - trellion@PGMAIN");
    EXPECT_EQ(recovery.rcptTos, QStringList({kRecoveryTo}));
    EXPECT_TRUE(BodyOf(recovery.data).startsWith("Database recovered on "));
    EXPECT_EQ(Warned(title), 0);
    const QString lastRecovery = SettingsStore::ReadString(title, QStringLiteral("lastRecovery"));
    EXPECT_TRUE(IsStamp(lastRecovery));
    EXPECT_EQ(rig.view.Text(0, Field::LastRecovery), lastRecovery);
    EXPECT_EQ(SettingsStore::ReadString(title, QStringLiteral("lastAlert")), lastAlert);
    EXPECT_EQ(rig.AccessLines().size(), 2);
    EXPECT_EQ(rig.view.LastColour(0), IMonitorView::kColourReachable);

    // Healthy again: no more mail.
    rig.monitor->PollSlot(0);
    EXPECT_EQ(sink.Messages().size(), 2);
}

TEST_F(PostgresOutageTest, OutageWithoutEmailSetUp) {
    const QString title = QStringLiteral("trellion@PGNOMAIL");
    rig.StoreSlot(1, pg.DriverConnectionString(), title);
    rig.monitor->PollSlot(1);
    ASSERT_TRUE(pg.Stop());
    rig.monitor->PollSlot(1);
    EXPECT_EQ(rig.monitor->LastAlert(1), "(alert not sent, missing email setup)");
    EXPECT_EQ(Warned(title), 1);
    rig.monitor->PollSlot(1);
    EXPECT_EQ(rig.ErrorLines().size(), 2);
    ASSERT_TRUE(pg.Start());
    rig.monitor->PollSlot(1);
    EXPECT_EQ(rig.monitor->LastRecovery(1), "(recovery not sent, missing email setup)");
    EXPECT_EQ(SettingsStore::ReadString(title, QStringLiteral("lastRecovery")),
              "(recovery not sent, missing email setup)");
    EXPECT_EQ(Warned(title), 0);
    EXPECT_TRUE(rig.notice.Texts().isEmpty()) << "no SMTP attempt without a server";
}

} // namespace
