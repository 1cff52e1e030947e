// Polls of a PostgreSQL database that answers but fails its health query: a real outage with an
// alert mail, error log line and notification that name the reason, a recovery when the query
// passes again, a query past its time-out that ends the poll within its bound, and polls without
// a query that write exactly what they wrote before.
#include "notify/DesktopNotifier.h"
#include "settings/SettingKeys.h"
#include "settings/SettingsStore.h"
#include "tests/common/OdbcTestEnv.h"
#include "tests/common/SharedPostgres.h"
#include "tests/common/SmtpSink.h"
#include "tests/monitor/MonitorTestSupport.h"
#include "tests/monitor/NotificationRecorder.h"

#include <QDBusConnection>
#include <QElapsedTimer>
#include <QRegularExpression>

#include <gtest/gtest.h>

namespace {

std::string Str(const QString& text) {
    return text.toStdString();
}

class HealthPollTest : public SharedPostgresSuite {
protected:
    void SetUp() override {
        const QString error =
            OdbcTestEnv::ExecSql(s_server->DriverConnectionString(),
                                 {"DROP TABLE IF EXISTS queue", "CREATE TABLE queue (id int)",
                                  "INSERT INTO queue SELECT generate_series(1, 37)"});
        ASSERT_TRUE(error.isEmpty()) << Str(error);
        notifier = std::make_shared<DesktopNotifier>(QImage(16, 16, QImage::Format_RGB32));
        rig.monitor->SetDesktopNotifier(notifier);
        ASSERT_TRUE(service.registerService(QStringLiteral("org.freedesktop.Notifications")));
        ASSERT_TRUE(service.registerObject(QStringLiteral("/org/freedesktop/Notifications"),
                                           &recorder, QDBusConnection::ExportAllSlots));
        ASSERT_TRUE(sink.Start());
        rig.SetUpEmail(sink.Port());
        rig.StoreSlot(0, s_server->DriverConnectionString(), title);
    }
    void TearDown() override { QDBusConnection::disconnectFromBus(QStringLiteral("recorder")); }

    void SetQuery(const QString& sql, const QString& expect, int timeoutSeconds = 5) {
        Config::Write(title, Config::kHealthQuery, sql);
        Config::Write(title, Config::kHealthExpect, expect);
        Config::Write(title, Config::kHealthTimeout, timeoutSeconds);
    }
    // The body of the last notification, once count of them arrived.
    QString NotificationBody(int count) {
        EXPECT_TRUE(WaitUntil([&] { return recorder.notes.size() >= count; }, 10000));
        return recorder.notes.isEmpty() ? QString() : recorder.notes.last().body;
    }
    SmtpSink::Message Mail(int count) {
        EXPECT_TRUE(sink.WaitForMessages(count, 10000));
        return sink.Messages().value(count - 1);
    }
    QString Tip() { return rig.view.Tip(0).value_or("(none)"); }

    MonitorRig rig;
    SmtpSink sink;
    NotificationRecorder recorder;
    QDBusConnection service = QDBusConnection::connectToBus(
        qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS"), QStringLiteral("recorder"));
    std::shared_ptr<DesktopNotifier> notifier;
    const QString title = QStringLiteral("queue@pg");
};

TEST_F(HealthPollTest, AFailedQueryIsAnOutageWithItsReasonAndAPassingOneARecovery) {
    const QString reason = "Health query failed: expected 0:10, got 37";
    SetQuery("SELECT count(*) FROM queue", "0:10");
    rig.monitor->PollSlot(0);
    const SmtpSink::Message alert = Mail(1);
    EXPECT_EQ(alert.Subject(), "Alert - queue@pg");
    EXPECT_TRUE(alert.Body().startsWith("Database unreachable on ") &&
                alert.Body().trimmed().endsWith("\n\n" + reason))
        << Str(alert.Body());
    EXPECT_EQ(rig.ErrorLines(), QStringList{"Database unreachable: queue@pg (" + reason + ")"});
    EXPECT_TRUE(NotificationBody(1).endsWith(" (" + reason + ")")) << Str(NotificationBody(1));
    EXPECT_EQ(Tip(), reason);
    EXPECT_EQ(rig.view.LastColour(0), SlotColour::Unreachable);
    EXPECT_TRUE(rig.AccessLines().isEmpty());

    // The queue drained: the next poll passes and recovers.
    ASSERT_TRUE(
        OdbcTestEnv::ExecSql(s_server->DriverConnectionString(), {"DELETE FROM queue WHERE id > 5"})
            .isEmpty());
    rig.monitor->PollSlot(0);
    EXPECT_EQ(Mail(2).Subject(), "Recovery - queue@pg");
    const QString success = rig.AccessLines().value(0);
    static const QRegularExpression timed(
        R"(^SUCCESS queue@pg ([0-9.]+)ms \(connect ([0-9.]+)ms, query ([0-9.]+)ms\)$)");
    const QRegularExpressionMatch times = timed.match(success);
    ASSERT_TRUE(times.hasMatch()) << Str(success);
    const double total = times.captured(1).toDouble();
    const double connect = times.captured(2).toDouble();
    const double query = times.captured(3).toDouble();
    EXPECT_GT(query, 0.0);
    EXPECT_NEAR(connect + query, total, total * 0.01 + 0.01) << "the parts add up to the total";
    EXPECT_TRUE(Tip().startsWith("Connect ") && Tip().endsWith("\nHealth query passed: 5"))
        << Str(Tip());
    EXPECT_GT(rig.view.Last("sample", 0).value, query) << "the graph keeps the total";
    EXPECT_EQ(rig.view.LastColour(0), SlotColour::Reachable);
}

TEST_F(HealthPollTest, AQueryPastItsTimeOutEndsThePollWithinItsBound) {
    SetQuery("SELECT pg_sleep(60)", "", 1);
    QElapsedTimer timer;
    timer.start();
    rig.monitor->PollSlot(0);
    EXPECT_LT(timer.elapsed(), 4000);
    EXPECT_TRUE(Mail(1).Body().trimmed().endsWith("\n\nHealth query failed: no answer within 1 s"))
        << Str(Mail(1).Body());
    EXPECT_EQ(rig.ErrorLines(), QStringList{"Database unreachable: queue@pg (Health query "
                                            "failed: no answer within 1 s)"});
}

// The watchdog's bound grows by the query's time-out: the query's own reason comes, not the
// watchdog's.
TEST_F(HealthPollTest, TheWatchdogWaitsForTheQuerysTimeOut) {
    rig.options.watchdogBoundMs = 500;
    rig.Restart();
    SetQuery("SELECT pg_sleep(60)", "", 2);
    rig.monitor->PollSlot(0);
    EXPECT_TRUE(Mail(1).Body().trimmed().endsWith("\n\nHealth query failed: no answer within 2 s"))
        << Str(Mail(1).Body());
}

TEST_F(HealthPollTest, WithoutAQueryThePollWritesWhatItAlwaysWrote) {
    SetQuery("", "0:10"); // an expectation alone is no query
    rig.monitor->PollSlot(0);
    rig.monitor->PollSlot(0);
    static const QRegularExpression plain(R"(^SUCCESS queue@pg [0-9.e+]+ms$)");
    const QStringList lines = rig.AccessLines();
    ASSERT_EQ(lines.size(), 2);
    for (const QString& line : lines)
        EXPECT_TRUE(plain.match(line).hasMatch()) << Str(line);
    EXPECT_TRUE(rig.ErrorLines().isEmpty());
    EXPECT_EQ(Tip(), "") << "a poll without a query clears the tip";
    EXPECT_FALSE(sink.WaitForMessages(1, 200));
}

} // namespace
