// Each database keeps one notice on the desktop: a recovery takes the place of its alert, notices
// of other databases stay apart, and a click on one of this program's notices reaches the
// program. Through the notifier alone, and through real polls of a SQLite file.
#include "notify/DesktopNotifier.h"
#include "settings/SettingsStore.h"
#include "tests/common/OdbcTestEnv.h"
#include "tests/common/TestSupport.h"
#include "tests/monitor/MonitorTestSupport.h"
#include "tests/notify/NotificationRecorder.h"

#include <QFile>

#include <gtest/gtest.h>

namespace {

using Urgency = IDesktopNotifier::Urgency;

class NotifierTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(recorder.Register()); }
    bool WaitForNotes(qsizetype count, int timeoutMs = 20000) {
        return TestSupport::WaitUntil([&] { return recorder.notes.size() >= count; }, timeoutMs);
    }
    // "summary replaced-summary" per note, the second part empty for a fresh notice.
    std::string Shown() const {
        QStringList out;
        for (const auto& note : recorder.notes) {
            QString replaced;
            for (const auto& earlier : recorder.notes) {
                if (note.replaces != 0 && earlier.id == note.replaces) {
                    replaced = earlier.summary;
                    break;
                }
            }
            out << note.summary + " <- " + (replaced.isEmpty() ? "new" : replaced);
        }
        return out.join(" | ").toStdString();
    }

    NotificationRecorder recorder;
    DesktopNotifier notifier{QImage(8, 8, QImage::Format_RGB32)};
};

TEST_F(NotifierTest, EachKeyReplacesItsOwnNoticeInTheOrderSent) {
    // Sent at once: each must still learn the id of the notice it replaces.
    notifier.Notify("Alert - a", "down", Urgency::Critical, "a");
    notifier.Notify("Alert - b", "down", Urgency::Critical, "b");
    notifier.Notify("Recovery - a", "up", Urgency::Normal, "a");
    notifier.Notify("standalone", "", Urgency::Normal);
    notifier.Notify("Warning - b", "slow", Urgency::Normal, "b");
    notifier.Notify("Recovery - b", "up", Urgency::Normal, "b");
    ASSERT_TRUE(WaitForNotes(6));
    EXPECT_EQ(Shown(), "Alert - a <- new | Alert - b <- new | Recovery - a <- Alert - a | "
                       "standalone <- new | Warning - b <- Alert - b | Recovery - b <- Alert - b");
    for (const auto& note : recorder.notes)
        EXPECT_EQ(note.actions, QStringList({"default", "Open Trellion"})) << "clickable";
}

TEST_F(NotifierTest, ANoticeWaitsForTheServiceToAnswerTheOneBefore) {
    recorder.hold = true;
    notifier.Notify("Alert - a", "down", Urgency::Critical, "a");
    ASSERT_TRUE(WaitForNotes(1));
    notifier.Notify("Recovery - a", "up", Urgency::Normal, "a");
    notifier.Notify("standalone", "", Urgency::Normal);
    EXPECT_FALSE(WaitForNotes(2, 1000)) << "sent before the id it replaces was known";
    recorder.Answer();
    ASSERT_TRUE(WaitForNotes(3));
    EXPECT_EQ(Shown(), "Alert - a <- new | Recovery - a <- Alert - a | standalone <- new");
}

TEST_F(NotifierTest, OnlyAClickOnOneOfItsOwnNoticesCounts) {
    int opened = 0;
    QObject::connect(notifier.Link(), &DesktopNotifierLink::activated, [&] { ++opened; });
    notifier.Notify("Alert - a", "down", Urgency::Critical, "a");
    ASSERT_TRUE(WaitForNotes(1));
    const uint id = recorder.notes[0].id;
    recorder.Click(id + 100, "default"); // another program's notice
    recorder.Click(id, "dismiss");
    recorder.Click(id, "default");
    ASSERT_TRUE(TestSupport::WaitUntil([&] { return opened > 0; }, 20000));
    EXPECT_FALSE(TestSupport::WaitUntil([&] { return opened > 1; }, 1000)) << "counted once";
    // The id stays the program's after a replacement.
    notifier.Notify("Recovery - a", "up", Urgency::Normal, "a");
    ASSERT_TRUE(WaitForNotes(2));
    recorder.Click(id, "default");
    ASSERT_TRUE(TestSupport::WaitUntil([&] { return opened > 1; }, 20000));
}

// Real polls: an unreachable SQLite file, then the file made; the recovery replaces the alert.
TEST_F(NotifierTest, APolledRecoveryReplacesTheAlertOfItsDatabaseOnly) {
    MonitorRig rig;
    rig.monitor->SetDesktopNotifier(std::make_shared<DesktopNotifier>());
    const QString ledger = rig.dir + "/ledger.db", stock = rig.dir + "/stock.db";
    rig.StoreSlot(0, OdbcTestEnv::SqliteConnectionString(ledger), "ledger.db");
    rig.StoreSlot(1, OdbcTestEnv::SqliteConnectionString(stock), "stock.db");
    rig.monitor->PollSlot(0);
    ASSERT_TRUE(WaitForNotes(1));
    rig.monitor->PollSlot(1);
    ASSERT_TRUE(WaitForNotes(2));
    ASSERT_FALSE(OdbcTestEnv::CreateSqliteDatabase(ledger).isEmpty());
    rig.monitor->PollSlot(0);
    ASSERT_TRUE(WaitForNotes(3));
    EXPECT_EQ(Shown(), "Alert - ledger.db <- new | Alert - stock.db <- new | "
                       "Recovery - ledger.db <- Alert - ledger.db");
}

} // namespace
