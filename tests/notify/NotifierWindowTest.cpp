// The window and the desktop: a click on the notice of an outage opens the hidden window.
#include "app/MonitorApp.h"
#include "settings/SettingsStore.h"
#include "tests/common/OdbcTestEnv.h"
#include "tests/common/TestSupport.h"
#include "tests/common/tray/RecordingTrayShell.h"
#include "tests/notify/NotificationRecorder.h"
#include "ui/MonitorDlg.h"

#include <QFile>

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

    CMonitorDlg window{std::make_unique<CRecordingTrayShell>()};
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

} // namespace
