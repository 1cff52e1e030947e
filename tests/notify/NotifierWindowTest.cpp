// The window and the desktop: a click on the notice of an outage opens the hidden window.
#include "app/MonitorApp.h"
#include "settings/SettingsStore.h"
#include "tests/common/OdbcTestEnv.h"
#include "tests/common/TestSupport.h"
#include "tests/common/tray/RecordingTrayShell.h"
#include "tests/common/tray/TestProgram.h"
#include "tests/notify/NotificationRecorder.h"
#include "ui/MonitorDlg.h"
#include "ui/NoticeBox.h"

#include <QDir>
#include <QFile>
#include <QMessageBox>

#include <gtest/gtest.h>

namespace {

TEST(NotifierWindowTest, AClickOnTheAlertNoticeOpensTheHiddenWindow) {
    NotificationRecorder recorder;
    ASSERT_TRUE(recorder.Register());
    OdbcTestEnv::Install();
    QFile::remove(SettingsStore::FilePath());
    const QString dir = TestSupport::MakeTempDir("notice-window");
    const QString stored[][2] = {
        {"SMTP", "127.0.0.1:1"}, // set up, so that no first-start prompt comes
        {"Hid", "1"},
        {"AccessLogFile", dir + "/a.log"},
        {"ErrorLogFile", dir + "/e.log"},
        {"lastDatabase0", OdbcTestEnv::SqliteConnectionString(dir + "/gone.db")},
        {"lastDatabaseTitle0", "gone.db"},
    };
    for (const auto& [key, value] : stored)
        SettingsStore::WriteString(SettingsStore::kSettings, key, value);

    TestProgram program;
    CMonitorDlg& window = *program;
    CMonitorApp::LoadIntervalsAndThresholds(window);
    ASSERT_TRUE(window.OnInitDialog());
    const auto alert = [&] {
        for (const auto& note : recorder.notes) {
            if (note.summary == "Alert - gone.db")
                return note.id;
        }
        return 0U;
    };
    ASSERT_TRUE(TestSupport::WaitUntil([&] { return alert() != 0; }, 60000));
    ASSERT_FALSE(window.isVisible()) << "started hidden";
    recorder.Click(alert(), "default");
    EXPECT_TRUE(TestSupport::WaitUntil([&] { return window.isVisible(); }, 20000));
}

// A log that stays shut is told once on both channels, over the window and on the desktop,
// naming the log; and once more when it can be written again.
TEST(NotifierWindowTest, ALogThatStaysShutIsToldInANoticeBoxAndOnTheDesktop) {
    NotificationRecorder recorder;
    ASSERT_TRUE(recorder.Register());
    OdbcTestEnv::Install();
    QFile::remove(SettingsStore::FilePath());
    const QString dir = TestSupport::MakeTempDir("log-shut");
    const QString db = OdbcTestEnv::CreateSqliteDatabase(dir + "/stock.db");
    ASSERT_FALSE(db.isEmpty());
    const QString shutLog = dir + "/not-yet/a.log";
    const QString stored[][2] = {
        {"SMTP", "127.0.0.1:1"},
        {"Hid", "1"},
        {"AccessLogFile", shutLog},
        {"ErrorLogFile", dir + "/e.log"},
        {"lastDatabase0", OdbcTestEnv::SqliteConnectionString(db)},
        {"lastDatabaseTitle0", "stock.db"},
    };
    for (const auto& [key, value] : stored)
        SettingsStore::WriteString(SettingsStore::kSettings, key, value);

    // A minute of interval is 300 ms: every poll writes an access line to the shut log.
    ProgramOptions options;
    options.engine.minuteMs = 300;
    options.engine.earlyMs = 0;
    options.logFaultAfter = std::chrono::milliseconds(500);
    TestProgram program(std::make_unique<CRecordingTrayShell>(), std::move(options));
    CMonitorDlg& window = *program;
    CMonitorApp::LoadIntervalsAndThresholds(window);
    ASSERT_TRUE(window.OnInitDialog());

    const auto noteAbout = [&](const QString& summary) -> const NotificationRecorder::Note* {
        for (const auto& note : recorder.notes) {
            if (note.summary == summary)
                return &note;
        }
        return nullptr;
    };
    const auto boxSaying = [&](const QString& text) {
        for (auto* box : window.findChildren<QMessageBox*>(CNoticeBox::kObjectName)) {
            if (box->isVisible() && box->text() == text)
                return true;
        }
        return false;
    };
    ASSERT_TRUE(TestSupport::WaitUntil([&] { return noteAbout("Log not written"); }, 30000));
    const QString shutText = noteAbout("Log not written")->body;
    EXPECT_TRUE(shutText.startsWith("Could not write to log '" + shutLog + "' since "))
        << shutText.toStdString();
    EXPECT_TRUE(TestSupport::WaitUntil([&] { return boxSaying(shutText); }, 10000))
        << "the notice box over the window says what the desktop said";

    ASSERT_TRUE(QDir(dir).mkdir("not-yet"));
    ASSERT_TRUE(TestSupport::WaitUntil([&] { return noteAbout("Log written again"); }, 30000));
    const QString openText = "The log '" + shutLog + "' can be written again.";
    EXPECT_EQ(noteAbout("Log written again")->body, openText);
    EXPECT_TRUE(TestSupport::WaitUntil([&] { return boxSaying(openText); }, 10000));
    int shutNotes = 0;
    for (const auto& note : recorder.notes)
        shutNotes += note.summary == "Log not written";
    EXPECT_EQ(shutNotes, 1) << "told once, not at every poll";
}

} // namespace
