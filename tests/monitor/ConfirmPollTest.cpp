// Confirmation on the real engine: a SQLite file taken away and given back, a real SMTP server,
// the settings file and the poll ends the scheduler re-arms its timers from.
#include "settings/SettingKeys.h"
#include "settings/SettingsStore.h"
#include "tests/common/OdbcTestEnv.h"
#include "tests/common/SmtpSink.h"
#include "tests/monitor/MonitorTestSupport.h"

#include <QFile>

#include <gtest/gtest.h>

namespace {

class ConfirmPollTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(sink.Start());
        rig.options.minuteMs = 4000;
        rig.Restart();
        rig.SetUpEmail(sink.Port());
        ASSERT_FALSE(OdbcTestEnv::CreateSqliteDatabase(db).isEmpty());
        rig.StoreSlot(0, OdbcTestEnv::SqliteConnectionString(db), kTitle);
        rig.monitor->SetInterval(0, 5);
    }
    // One poll of slot 0; the delay its end asks the scheduler for.
    qint64 Poll(bool reachable) {
        if (reachable)
            OdbcTestEnv::CreateSqliteDatabase(db);
        else
            QFile::remove(db);
        rig.monitor->PollSlot(0);
        const QList<PollEnded> ends = rig.Ends();
        return ends.isEmpty() ? -2 : ends.last().delayMs;
    }
    // The tips the tray showed during the last poll.
    QStringList TrayTips() {
        QStringList tips;
        for (const RecordingView::Call& call : rig.view.Calls())
            if (call.what == "tray")
                tips << call.text;
        rig.view.Clear();
        return tips;
    }

    static inline const QString kTitle = QStringLiteral("Ledger");
    SmtpSink sink;
    MonitorRig rig;
    QString db = rig.dir + "/confirm.db";
};

TEST_F(ConfirmPollTest, ABlipMailsNothingAndAnOutageIsAlertedAtItsThirdPoll) {
    Config::Write(Config::kConfirmPolls, 3);
    Config::Write(Config::kConfirmSeconds, 60); // one minute: 4000 ms here
    const qint64 interval = 5 * 4000 - rig.options.earlyMs;

    EXPECT_EQ(Poll(true), interval);
    EXPECT_EQ(Poll(false), 4000) << "the confirming poll comes after the pause";
    EXPECT_TRUE(TrayTips().contains("Trellion\nLedger\nunreachable, checking again 2 of 3"));
    EXPECT_EQ(Poll(true), interval);
    EXPECT_EQ(SettingsStore::ReadInt(kTitle, "Warned", -1), -1) << "never confirmed";
    EXPECT_EQ(rig.ErrorLines(), QStringList{"Database unreachable: " + kTitle})
        << "every failed poll is logged";

    EXPECT_EQ(Poll(false), 4000);
    EXPECT_EQ(Poll(false), 4000);
    EXPECT_TRUE(TrayTips().contains("Trellion\nLedger\nunreachable, checking again 3 of 3"));
    EXPECT_EQ(Poll(false), interval);
    ASSERT_TRUE(sink.WaitForMessages(1, 15000));
    EXPECT_EQ(Poll(true), interval);
    ASSERT_TRUE(sink.WaitForMessages(2, 15000));

    const QList<SmtpSink::Message> mails = sink.Messages();
    ASSERT_EQ(mails.size(), 2);
    EXPECT_EQ(mails[0].Subject(), "Alert - " + kTitle);
    EXPECT_TRUE(mails[0].Body().contains("(3 failed polls in a row)."))
        << mails[0].Body().toStdString();
    EXPECT_EQ(mails[1].Subject(), "Recovery - " + kTitle);
    EXPECT_TRUE(mails[1].Body().contains("\n\nThe outage lasted "))
        << mails[1].Body().toStdString();
    EXPECT_EQ(SettingsStore::ReadInt(kTitle, "Warned", -1), 0);
}

// The count of failures and the outage's start are kept in the database's section, so a restart
// in the middle of the confirming polls (or a sleep that ends the program) loses nothing.
TEST_F(ConfirmPollTest, AnUnconfirmedOutageSurvivesARestart) {
    Config::Write(Config::kConfirmPolls, 3);
    Poll(false);
    Poll(false);
    EXPECT_EQ(SettingsStore::ReadInt(kTitle, "failedPolls", -1), 2);
    rig.Restart();
    rig.SetUpEmail(sink.Port());
    Poll(false);
    ASSERT_TRUE(sink.WaitForMessages(1, 15000));
    EXPECT_EQ(sink.Messages()[0].Subject(), "Alert - " + kTitle);
    EXPECT_TRUE(sink.Messages()[0].Body().contains("(3 failed polls in a row)."));
    EXPECT_EQ(SettingsStore::ReadInt(kTitle, "failedPolls", -1), 0);
}

TEST_F(ConfirmPollTest, UnderTheDefaultsTheFirstFailureAlertsAndTheIntervalStays) {
    const qint64 interval = 5 * 4000 - rig.options.earlyMs;
    EXPECT_EQ(Poll(false), interval);
    ASSERT_TRUE(sink.WaitForMessages(1, 15000));
    EXPECT_EQ(sink.Messages()[0].Subject(), "Alert - " + kTitle);
    EXPECT_EQ(Poll(true), interval);
    ASSERT_TRUE(sink.WaitForMessages(2, 15000));
    EXPECT_FALSE(sink.Messages()[1].Body().contains("outage")) << "the recovery reads as before";
    EXPECT_EQ(SettingsStore::ReadString(kTitle, "outageSince", "none"), "none")
        << "no new key under the defaults";
}

} // namespace
