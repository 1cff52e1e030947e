// "Logs" on OK with real files and folders: every log switched on must open for appending, a
// refusal names the log, its file and the reason and keeps the dialog open, and a corrected set
// is taken and stored.
#include "log/LogWriter.h"
#include "settings/SettingsStore.h"
#include "tests/common/TestSupport.h"
#include "ui/DialogCommands.h"
#include "ui/DialogPrompt.h"
#include "ui/LogSettingsDlg.h"

#include <QApplication>
#include <QCheckBox>
#include <QFile>
#include <QLineEdit>
#include <QTimer>

#include <gtest/gtest.h>

#include <functional>

namespace {

struct TellingPrompt : IDialogPrompt {
    void Tell(QWidget*, const QString& text) override {
        texts << text;
        if (onTell)
            onTell();
    }
    bool Ask(QWidget* parent, const QString& text) override {
        Tell(parent, text);
        return false;
    }
    QStringList texts;
    std::function<void()> onTell;
};

class LogSettingsCheck : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(QFile(dir + "/plain.txt").open(QIODevice::WriteOnly)); }
    QString dir = TestSupport::MakeTempDir("logsettings");
    TellingPrompt prompt;
};

TEST_F(LogSettingsCheck, OkRefusesEachLogThatCannotBeOpenedAndStaysOpen) {
    const QString good = dir + "/access.log";
    const QString missing = dir + "/none/error.log";
    const QString underFile = dir + "/plain.txt/error.log";
    const auto refusal = [](const char* log, const QString& path, const QString& reason) {
        return QStringLiteral("The %1 log '%2' cannot be opened for appending: %3.")
            .arg(log, path, reason);
    };
    const struct {
        bool accessOn;
        QString accessPath;
        bool errorOn;
        QString errorPath;
        QString refused; // empty: accepted
        bool accessFocused = false;
    } rows[] = {
        {true, good, true, dir + "/error.log", ""},
        {true, missing, true, good,
         refusal("access", missing, "the folder '" + dir + "/none' does not exist"), true},
        {true, good, true, "", refusal("error", "", "no file name is given")},
        {true, good, true, underFile,
         refusal("error", underFile, "a part of the path is not a folder")},
        {true, dir, true, good, refusal("access", dir, "it is a folder"), true},
        // A log switched off is not looked at.
        {false, missing, true, good, ""},
        {true, good, false, "", ""},
        // The first of two bad logs is named.
        {true, "", true, missing, refusal("access", "", "no file name is given"), true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.accessPath.toStdString() + " | " + row.errorPath.toStdString());
        prompt.texts.clear();
        const LogSettings before{dir + "/before-a.log", dir + "/before-e.log", true, true};
        CLogSettingsDlg dialog(before, nullptr, &prompt);
        dialog.show();
        dialog.AccessLogBox()->setChecked(row.accessOn);
        dialog.AccessPathEdit()->setText(row.accessPath);
        dialog.ErrorLogBox()->setChecked(row.errorOn);
        dialog.ErrorPathEdit()->setText(row.errorPath);
        dialog.accept();
        if (row.refused.isEmpty()) {
            EXPECT_TRUE(prompt.texts.isEmpty()) << prompt.texts.join('\n').toStdString();
            EXPECT_EQ(dialog.result(), QDialog::Accepted);
            EXPECT_TRUE(dialog.Settings() ==
                        (LogSettings{row.accessPath, row.errorPath, row.accessOn, row.errorOn}));
        } else {
            EXPECT_EQ(prompt.texts, QStringList{row.refused});
            EXPECT_TRUE(dialog.isVisible()) << "the dialog stays open";
            EXPECT_EQ(dialog.result(), QDialog::Rejected);
            EXPECT_TRUE(dialog.Settings() == before) << "nothing taken";
            EXPECT_EQ(dialog.focusWidget(),
                      row.accessFocused ? dialog.AccessPathEdit() : dialog.ErrorPathEdit());
        }
    }
    EXPECT_FALSE(QFile::exists(good) || QFile::exists(dir + "/error.log")) << "nothing created";
}

// Through the command: a refused OK keeps the old set in the writer and the store, the corrected
// one replaces both.
TEST_F(LogSettingsCheck, TheCorrectedSetIsTakenAndStored) {
    LogWriter writer(nullptr);
    const LogSettings before{dir + "/a.log", dir + "/e.log", true, true};
    writer.SetSettings(before);
    SettingsStore::WriteString("Settings", "AccessLogFile", before.accessLogPath);
    const QString missing = dir + "/none/a.log";
    QTimer::singleShot(0, [&] {
        auto* dialog = qobject_cast<CLogSettingsDlg*>(QApplication::activeModalWidget());
        ASSERT_NE(dialog, nullptr);
        prompt.onTell = [&, dialog] {
            EXPECT_TRUE(writer.Settings() == before);
            EXPECT_EQ(SettingsStore::ReadString("Settings", "AccessLogFile"), before.accessLogPath);
            // Corrected after the box, as the user would.
            QTimer::singleShot(0, [&, dialog] {
                dialog->AccessPathEdit()->setText(dir + "/fixed.log");
                dialog->accept();
            });
        };
        dialog->AccessPathEdit()->setText(missing);
        dialog->accept();
    });
    RunLogSettings(nullptr, writer, prompt);
    EXPECT_EQ(prompt.texts.size(), 1);
    const LogSettings after{dir + "/fixed.log", dir + "/e.log", true, true};
    EXPECT_TRUE(writer.Settings() == after);
    EXPECT_EQ(SettingsStore::ReadString("Settings", "AccessLogFile"), dir + "/fixed.log");
}

} // namespace
