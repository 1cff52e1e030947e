// Outages reported on every channel: real polls of a SQLite file, a real SMTP server that refuses
// and then accepts, and a notification service recorded on a private D-Bus (the test's CMake
// entry runs it in a session bus of its own with nothing to start on demand).
#include "notify/DesktopNotifier.h"
#include "probe/DatabaseProbe.h"
#include "settings/SettingsStore.h"
#include "tests/common/OdbcTestEnv.h"
#include "tests/common/SmtpSink.h"
#include "tests/monitor/MonitorTestSupport.h"
#include "tests/monitor/NotificationRecorder.h"

#include <QDBusConnection>
#include <QFile>
#include <QThread>

#include <gtest/gtest.h>

namespace {

class AlertPathTest : public ::testing::Test {
protected:
    void SetUp() override {
        notifier = std::make_shared<DesktopNotifier>(QImage(16, 16, QImage::Format_RGB32));
        rig.monitor->SetDesktopNotifier(notifier);
        ASSERT_TRUE(service.registerService(QStringLiteral("org.freedesktop.Notifications")));
        ASSERT_TRUE(service.registerObject(QStringLiteral("/org/freedesktop/Notifications"),
                                           &recorder, QDBusConnection::ExportAllSlots));
        rig.StoreSlot(0, OdbcTestEnv::SqliteConnectionString(dbPath), title);
    }
    void TearDown() override { QDBusConnection::disconnectFromBus(QStringLiteral("recorder")); }

    // The summaries shown since the last call. A marker sent last arrives after everything the
    // polls sent before it, so nothing still on its way is missed.
    std::string NewNotes() {
        const QString marker = QStringLiteral("marker %1").arg(seen);
        notifier->Notify(marker, QString(), IDesktopNotifier::Urgency::Normal);
        EXPECT_TRUE(WaitUntil(
            [&] { return !recorder.notes.isEmpty() && recorder.notes.last().summary == marker; },
            20000));
        QStringList out;
        for (qsizetype i = seen; i < recorder.notes.size() - 1; ++i)
            out << recorder.notes[i].summary;
        seen = recorder.notes.size();
        return out.join(" | ").toStdString();
    }
    void Poll() { rig.monitor->PollSlot(0); }
    void Restart() {
        rig.Restart();
        rig.monitor->SetDesktopNotifier(notifier);
    }
    int Warned() { return SettingsStore::ReadInt(title, QStringLiteral("Warned"), 0); }

    MonitorRig rig;
    NotificationRecorder recorder;
    QDBusConnection service = QDBusConnection::connectToBus(
        qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS"), QStringLiteral("recorder"));
    std::shared_ptr<DesktopNotifier> notifier;
    const QString title = QStringLiteral("ledger.db");
    const QString dbPath = rig.dir + QStringLiteral("/ledger.db");
    qsizetype seen = 0;
};

TEST_F(AlertPathTest, AnAlertThatCouldNotBeSentGoesOutWithTheRecovery) {
    SmtpSink refusing;
    ASSERT_TRUE(refusing.Start(SmtpSink::Mode::RefuseRecipients));
    rig.SetUpEmail(refusing.Port());
    Poll();
    EXPECT_EQ(NewNotes(), "Alert - ledger.db");
    const NotificationRecorder::Note alert = recorder.notes.first();
    EXPECT_TRUE(alert.app == "Trellion" && alert.urgency == 2 && alert.imageWidth == 16 &&
                IsStamp(alert.body.mid(20))) // the first line of the mail
        << alert.body.toStdString();
    EXPECT_EQ(Warned(), 0);
    const QString began = SettingsStore::ReadString(title, "alertPending");
    ASSERT_TRUE(IsStamp(began)) << began.toStdString();
    EXPECT_TRUE(rig.monitor->LastAlert(0).startsWith("(alert not sent: ") &&
                rig.monitor->LastAlert(0).contains("554"))
        << rig.monitor->LastAlert(0).toStdString();
    EXPECT_TRUE(rig.ErrorLines().value(1).startsWith("Mail not sent (Alert - ledger.db): "));
    EXPECT_EQ(rig.notice.Texts().size(), 1) << "the user still sees the refusal";
    // A restart during the outage: no second notification, the pending alert is kept and tried.
    Restart();
    EXPECT_TRUE(rig.monitor->LastAlert(0).startsWith("(alert not sent: "));
    SettingsStore::WriteString(title, "lastAlert", "marker");
    Poll();
    EXPECT_EQ(NewNotes(), "");
    EXPECT_TRUE(SettingsStore::ReadString(title, "lastAlert").startsWith("(alert not sent: "))
        << "tried again";
    EXPECT_EQ(Warned(), 0);
    SmtpSink accepting;
    ASSERT_TRUE(accepting.Start());
    rig.SetUpEmail(accepting.Port());
    ASSERT_FALSE(OdbcTestEnv::CreateSqliteDatabase(dbPath).isEmpty());
    Poll();
    ASSERT_TRUE(accepting.WaitForMessages(1, 10000));
    const SmtpSink::Message mail = accepting.Messages().first();
    EXPECT_EQ(mail.Subject(), "Recovery - ledger.db");
    EXPECT_EQ(mail.rcptTos, QStringList({kRecoveryTo}));
    const QString body = mail.Body();
    EXPECT_TRUE(body.startsWith("Database recovered on ") &&
                body.contains("The database became unreachable" + began +
                              "; the alert could not be sent then."))
        << body.toStdString();
    EXPECT_EQ(NewNotes(), "Recovery - ledger.db");
    EXPECT_EQ(recorder.notes[seen - 2].urgency, 1);
    EXPECT_TRUE(IsStamp(rig.monitor->LastAlert(0)) && IsStamp(rig.monitor->LastRecovery(0)));
    EXPECT_EQ(SettingsStore::ReadString(title, "alertPending") + QString::number(Warned()), "0");
    Poll();
    EXPECT_EQ(NewNotes(), "");
    EXPECT_FALSE(accepting.WaitForMessages(2, 1000));
}

// One notification per outage and recovery, one at every slow poll, none while switched off;
// without a notification service, or a bus, the mail still goes.
TEST_F(AlertPathTest, NotificationsPerOutageRecoveryAndSlowPollAndTheMailAlwaysGoes) {
    SmtpSink accepting;
    ASSERT_TRUE(accepting.Start());
    rig.SetUpEmail(accepting.Port());
    SettingsStore::WriteInt(SettingsStore::kSettings, "DesktopNotify", 0);
    Poll();
    EXPECT_EQ(NewNotes(), "");
    SettingsStore::WriteInt(SettingsStore::kSettings, "DesktopNotify", 1);
    ASSERT_TRUE(accepting.WaitForMessages(1, 10000));
    EXPECT_EQ(accepting.Messages().first().rcptTos, QStringList({kAlertTo}));
    EXPECT_EQ(Warned(), 1);
    // Slow answers while the recovery mail is refused: the recovery is shown once, the mail
    // is tried at every poll, the warning is shown every time.
    SmtpSink refusing;
    ASSERT_TRUE(refusing.Start(SmtpSink::Mode::RefuseData));
    rig.SetUpEmail(refusing.Port());
    ASSERT_FALSE(OdbcTestEnv::CreateSqliteDatabase(dbPath).isEmpty());
    rig.monitor->SetThreshold(0, 0);
    rig.connector->SetStep([] { QThread::msleep(3); });
    Poll();
    EXPECT_EQ(NewNotes(), "Warning - ledger.db | Recovery - ledger.db");
    Poll();
    rig.connector->SetStep({});
    EXPECT_EQ(NewNotes(), "Warning - ledger.db");
    EXPECT_EQ(rig.ErrorLines().filter("Mail not sent (Recovery - ledger.db): ").size(), 2);
    EXPECT_EQ(Warned(), 1);
    EXPECT_EQ(recorder.notes[1].urgency, 1) << "a warning is no alert";
    EXPECT_TRUE(recorder.notes[1].body.startsWith("Slow response from database ("));
    // Nobody owns the service name, then there is no bus at all.
    rig.SetUpEmail(accepting.Port());
    rig.monitor->SetThreshold(0, 10000);
    const auto notices = rig.notice.Texts().size();
    ASSERT_TRUE(service.unregisterService(QStringLiteral("org.freedesktop.Notifications")));
    ASSERT_TRUE(QFile::remove(dbPath));
    Poll();
    rig.monitor->SetDesktopNotifier(std::make_shared<DesktopNotifier>(
        QImage(), QDBusConnection::connectToBus(QStringLiteral("unix:path=/nonexistent/bus"),
                                                QStringLiteral("nobus"))));
    ASSERT_FALSE(OdbcTestEnv::CreateSqliteDatabase(dbPath).isEmpty());
    Poll();
    ASSERT_TRUE(accepting.WaitForMessages(2, 10000));
    EXPECT_EQ(accepting.Messages()[1].Subject(), "Recovery - ledger.db");
    EXPECT_EQ(Warned(), 0);
    EXPECT_EQ(rig.notice.Texts().size(), notices);
}

} // namespace
