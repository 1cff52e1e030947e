// The alert state in the settings file: keys absent stay absent, an empty value is kept as one,
// and a save touches only what changed (another copy's write to an unchanged key survives).
#include "monitor/AlertStateStore.h"
#include "settings/SettingsStore.h"
#include "tests/common/TestSupport.h"

#include <QFile>

#include <gtest/gtest.h>

namespace {

QString FileText() {
    return QString::fromUtf8(TestSupport::ReadFile(SettingsStore::FilePath()));
}

class AlertStateStoreTest : public ::testing::Test {
protected:
    void SetUp() override { QFile::remove(SettingsStore::FilePath()); }
};

TEST_F(AlertStateStoreTest, AMissingSectionLoadsAbsentAndAnEmptySaveWritesNothing) {
    const AlertState state = AlertStateStore::Load("nowhere.db");
    EXPECT_EQ(state, AlertState{});
    AlertStateStore::Save("nowhere.db", state, state);
    EXPECT_FALSE(FileText().contains("[nowhere.db]")) << FileText().toStdString();
}

TEST_F(AlertStateStoreTest, EmptyValuesAndMissingKeysRoundTripApart) {
    AlertState after;
    after.warned = 1;
    after.alertPending = QString();
    after.lastRecovery = QStringLiteral(" on 01/02/2026 at 03:04:05");
    after.down = 0;
    AlertStateStore::Save("ledger.db", AlertState{}, after);
    const QString text = FileText();
    EXPECT_TRUE(text.contains("\nalertPending=\n")) << text.toStdString();
    EXPECT_TRUE(text.contains("\nDown=0\n")) << text.toStdString();
    EXPECT_FALSE(text.contains("lastAlert")) << "never written, so never in the file";
    const AlertState loaded = AlertStateStore::Load("ledger.db");
    EXPECT_EQ(loaded, after);
    ASSERT_TRUE(loaded.alertPending.has_value());
    EXPECT_TRUE(loaded.alertPending->isEmpty());
    EXPECT_FALSE(loaded.lastAlert.has_value());
}

TEST_F(AlertStateStoreTest, OnlyChangedKeysAreWritten) {
    SettingsStore::WriteString("ledger.db", "lastAlert", "mine");
    SettingsStore::WriteInt("ledger.db", "Warned", 0);
    const AlertState before = AlertStateStore::Load("ledger.db");
    // Another copy writes between this copy's load and save.
    SettingsStore::WriteString("ledger.db", "lastAlert", "theirs");
    AlertState after = before;
    after.warned = 1;
    AlertStateStore::Save("ledger.db", before, after);
    EXPECT_EQ(SettingsStore::ReadString("ledger.db", "lastAlert"), "theirs");
    EXPECT_EQ(SettingsStore::ReadInt("ledger.db", "Warned", -1), 1);
}

TEST_F(AlertStateStoreTest, ANonNumberReadsAsMissingAsTheRulesDefaultsDid) {
    SettingsStore::WriteString("ledger.db", "Warned", "yes");
    SettingsStore::WriteString("ledger.db", "Down", "");
    const AlertState state = AlertStateStore::Load("ledger.db");
    EXPECT_FALSE(state.warned.has_value());
    EXPECT_FALSE(state.down.has_value());
    EXPECT_FALSE(state.Warned());
}

// The rules' own keys survive a restart beside "Warned" and "alertPending".
TEST_F(AlertStateStoreTest, TheConfirmationReminderAndWarningKeysRoundTrip) {
    AlertState after;
    after.failedPolls = 2;
    after.outageSince = QStringLiteral("1780000000000");
    after.lastReminder = QString();
    after.slowPolls = 4;
    after.slowestMs = QStringLiteral("45000.5");
    after.lastWarning = QStringLiteral("1780000060000");
    AlertStateStore::Save("ledger.db", AlertState{}, after);
    EXPECT_TRUE(FileText().contains("\nfailedPolls=2\n")) << FileText().toStdString();
    EXPECT_EQ(AlertStateStore::Load("ledger.db"), after);
}

} // namespace
