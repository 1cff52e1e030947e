// The alert settings as stored and as typed: in range they are taken, anything else falls back
// to the default (told of once) or, in the dialog, is named with its range.
#include "monitor/AlertSettings.h"
#include "settings/SettingsStore.h"
#include "tests/common/TestSupport.h"

#include <QFile>

#include <gtest/gtest.h>

namespace {

class AlertSettingsTest : public ::testing::Test {
protected:
    void SetUp() override { QFile::remove(SettingsStore::FilePath()); }
    static void Store(const char* key, const QString& value) {
        SettingsStore::WriteString(QString::fromLatin1(SettingsStore::kSettings),
                                   QLatin1String(key), value);
    }
};

TEST_F(AlertSettingsTest, AnEmptyFileGivesTodaysBehaviour) {
    const AlertSettings::Loaded loaded = AlertSettings::Read();
    EXPECT_EQ(loaded.rules, AlertRules{});
    EXPECT_FALSE(loaded.rules.KeepsOutage());
    EXPECT_TRUE(loaded.problems.isEmpty());
}

TEST_F(AlertSettingsTest, StoredValuesInRangeAreTakenInMilliseconds) {
    Store("ConfirmPolls", "3");
    Store("ConfirmSeconds", "45");
    Store("RemindMinutes", "60");
    Store("SlowMailMinutes", "15");
    const AlertSettings::Loaded loaded = AlertSettings::Read();
    EXPECT_EQ(loaded.rules.confirmPolls, 3);
    EXPECT_EQ(loaded.rules.confirmMs, 45000);
    EXPECT_EQ(loaded.rules.remindMs, 3600000);
    EXPECT_EQ(loaded.rules.slowMailMs, 900000);
    EXPECT_TRUE(loaded.problems.isEmpty());
}

TEST_F(AlertSettingsTest, ValuesWrittenAsNumbersReadBack) {
    Config::Write(Config::kConfirmPolls, 4);
    Config::Write(Config::kRemindMinutes, 99999);
    const AlertSettings::Loaded loaded = AlertSettings::Read();
    EXPECT_EQ(loaded.rules.confirmPolls, 4);
    EXPECT_EQ(loaded.rules.remindMs, 0);
    EXPECT_EQ(loaded.problems,
              QStringList{"Setting RemindMinutes=99999 is not a whole number from 0 to 10080; "
                          "using 0"});
}

TEST_F(AlertSettingsTest, HandEditedValuesFallBackAndAreToldOfOnce) {
    Store("ConfirmPolls", "11");
    Store("ConfirmSeconds", "2");
    Store("RemindMinutes", "soon");
    Store("SlowMailMinutes", "-5");
    const AlertSettings::Loaded first = AlertSettings::Read();
    EXPECT_EQ(first.rules, AlertRules{});
    EXPECT_EQ(first.problems,
              (QStringList{"Setting ConfirmPolls=11 is not a whole number from 1 to 10; using 1",
                           "Setting ConfirmSeconds=2 is not a whole number from 5 to 3600; "
                           "using 30",
                           "Setting RemindMinutes=soon is not a whole number from 0 to 10080; "
                           "using 0",
                           "Setting SlowMailMinutes=-5 is not a whole number from 0 to 1440; "
                           "using 0"}));
    const AlertSettings::Loaded again = AlertSettings::Read();
    EXPECT_EQ(again.rules, AlertRules{});
    EXPECT_TRUE(again.problems.isEmpty()) << "read at every poll, told of once";
}

TEST(AlertSettingsCheckTest, TypedValuesAreCheckedAgainstTheirRange) {
    const AlertSettings::Range& polls = AlertSettings::Ranges()[0];
    const QString wrong = QStringLiteral("Failed polls before an alert must be a whole number "
                                         "from 1 to 10.");
    const std::vector<std::pair<QString, QString>> rows = {
        {"1", ""},   {"10", ""},    {" 4 ", ""},   {"0", wrong},           {"11", wrong},
        {"", wrong}, {"3x", wrong}, {"+3", wrong}, {"99999999999", wrong}, {"٣", wrong},
    };
    for (const auto& [typed, problem] : rows)
        EXPECT_EQ(AlertSettings::Check(polls, typed), problem) << typed.toStdString();
    EXPECT_EQ(AlertSettings::Check(AlertSettings::Ranges()[1], "4"),
              "Seconds between confirming polls must be a whole number from 5 to 3600.");
    EXPECT_EQ(AlertSettings::Check(AlertSettings::Ranges()[2], "0"), "");
}

} // namespace
