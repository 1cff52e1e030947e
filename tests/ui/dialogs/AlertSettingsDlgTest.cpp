// "Alert Settings" offscreen on the real settings file: digits only, each value checked against
// its range on OK with the refusal said and the dialog kept open, and a good set stored.
#include "ui/AlertSettingsDlg.h"
#include "settings/SettingKeys.h"
#include "settings/SettingsStore.h"
#include "ui/DialogPrompt.h"

#include <QFile>
#include <QLineEdit>
#include <QTest>

#include <gtest/gtest.h>

namespace {

struct RecordingPrompt : IDialogPrompt {
    void Tell(QWidget*, const QString& text) override { texts << text; }
    bool Ask(QWidget* parent, const QString& text) override {
        Tell(parent, text);
        return false;
    }
    QStringList texts;
};

class AlertSettingsDlgTest : public ::testing::Test {
protected:
    void SetUp() override { QFile::remove(SettingsStore::FilePath()); }
    static std::array<int, 4> Stored() {
        return {Config::Read(Config::kConfirmPolls), Config::Read(Config::kConfirmSeconds),
                Config::Read(Config::kRemindMinutes), Config::Read(Config::kSlowMailMinutes)};
    }
    RecordingPrompt prompt;
};

TEST_F(AlertSettingsDlgTest, ShowsTheStoredValuesAndTakesDigitsOnly) {
    Config::Write(Config::kConfirmPolls, 3);
    Config::Write(Config::kRemindMinutes, 45);
    CAlertSettingsDlg dlg(nullptr, &prompt);
    EXPECT_EQ(dlg.Box(0)->text(), "3");
    EXPECT_EQ(dlg.Box(1)->text(), "30");
    EXPECT_EQ(dlg.Box(2)->text(), "45");
    EXPECT_EQ(dlg.Box(3)->text(), "0");
    dlg.Box(1)->clear();
    QTest::keyClicks(dlg.Box(1), "-1a2 x3");
    EXPECT_EQ(dlg.Box(1)->text(), "123");
}

TEST_F(AlertSettingsDlgTest, OkChecksEveryRangeAndStoresOnlyAGoodSet) {
    struct Row {
        std::array<const char*, 4> typed;
        QString refused; // empty: accepted
        int focused = -1;
    };
    const std::vector<Row> rows = {
        {{"0", "30", "0", "0"},
         "Failed polls before an alert must be a whole number from 1 to 10.",
         0},
        {{"3", "4", "0", "0"},
         "Seconds between confirming polls must be a whole number from 5 to 3600.",
         1},
        {{"3", "30", "", "0"},
         "Minutes between reminders must be a whole number from 0 to 10080.",
         2},
        {{"3", "30", "0", "1441"},
         "Minutes between warning mails must be a whole number from 0 to 1440.",
         3},
        {{"10", "3600", "10080", "1440"}, ""},
        {{"1", "5", "0", "0"}, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.typed[0] + std::string(" ") + row.typed[1]);
        QFile::remove(SettingsStore::FilePath());
        prompt.texts.clear();
        CAlertSettingsDlg dlg(nullptr, &prompt);
        dlg.show();
        for (int i = 0; i < 4; ++i)
            dlg.Box(i)->setText(QString::fromLatin1(row.typed[i]));
        dlg.accept();
        if (row.refused.isEmpty()) {
            EXPECT_TRUE(prompt.texts.isEmpty());
            EXPECT_EQ(dlg.result(), QDialog::Accepted);
            for (int i = 0; i < 4; ++i)
                EXPECT_EQ(Stored()[i], QString::fromLatin1(row.typed[i]).toInt()) << i;
        } else {
            EXPECT_EQ(prompt.texts, QStringList{row.refused});
            EXPECT_TRUE(dlg.isVisible()) << "stays open";
            EXPECT_EQ(dlg.Box(row.focused)->selectedText(), dlg.Box(row.focused)->text());
            EXPECT_FALSE(QFile::exists(SettingsStore::FilePath())) << "nothing stored";
        }
    }
}

} // namespace
