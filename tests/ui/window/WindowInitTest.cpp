// Initialisation of the main window from the settings store: every key, and the defaults.
#include "tests/ui/window/WindowTestSupport.h"

#include "app/MonitorApp.h"
#include "controls/RecordingTrayShell.h"
#include "controls/TrayIcon.h"
#include "monitor/SlotMonitor.h"
#include "probe/DatabaseProbe.h"
#include "settings/SettingsStore.h"
#include "tests/common/OdbcTestEnv.h"
#include "tests/common/SilentListener.h"
#include "tests/common/TestSupport.h"
#include "ui/LogonStart.h"

#include <QFile>
#include <QLabel>
#include <QLineEdit>

#include <gtest/gtest.h>

using namespace WindowTest;

namespace {

TEST(WindowInitTest, EveryStoredKeyIsRestoredAndTheDatabasesArePolledOnTheirWorkers) {
    OdbcTestEnv::Install();
    ClearSettings();
    CDatabaseProbe::SetLoginTimeoutSeconds(2);
    const QString dir = TestSupport::MakeTempDir(QStringLiteral("init-all"));
    const QString db = OdbcTestEnv::CreateSqliteDatabase(dir + QStringLiteral("/inventory.db"));
    SilentListener silent; // a server that accepts and never answers
    ASSERT_TRUE(!db.isEmpty() && silent.Port() > 0);
    const QStringList ints =
        QStringLiteral("Interval0=1 Interval1=7 Interval2=30 Interval3=99 "
                       "Warn0=250 Warn1=1 Warn2=999999 Warn3=4000 LocX=120 "
                       "LocY=80 CompactMode=1 AOT=1 ViewDetails=0 Hid=1 Auto=0 "
                       "DoAccessLog=0 SMTPAuth=1")
            .split(u' ');
    for (const QString& key : ints)
        WriteInt(key.section(u'=', 0, 0), key.section(u'=', 1).toInt());
    const QString strings =
        QStringLiteral("SMTPName=Night Watch|SMTPEmail=w@example.org|SMTPAlert=oncall@example.org|"
                       "SMTPRecovery=team@example.org|SMTP=127.0.0.1:1|SMTPUsername=watch|"
                       "SMTPPassword=pw|AccessLogFile=%1/a.log|ErrorLogFile=%1/e.log|"
                       "lastDatabaseTitle0=Inventory|lastDatabaseTitle2=Orders|lastDatabase0=%2|"
                       "lastDatabase2=DRIVER={PostgreSQL Unicode};Server=127.0.0.1;Port=%3;"
                       "Database=orders;UID=monitor;PWD=secret")
            .arg(dir, OdbcTestEnv::SqliteConnectionString(db), QString::number(silent.Port()));
    for (const QString& key : strings.split(u'|'))
        WriteString(key.section(u'=', 0, 0), key.section(u'=', 1));
    SettingsStore::WriteString("Orders", "lastAlert", " on 01/02/2026 at 03:04:05");
    QFile::remove(LogonStart::EntryPath());
    ASSERT_TRUE(LogonStart::Apply(true, QStringLiteral("/opt/old/trellion"), nullptr));

    CRecordingTrayShell* shell = nullptr;
    auto w = MakeWindow(&shell);
    CMonitorApp::LoadIntervalsAndThresholds(*w);
    ASSERT_TRUE(w->OnInitDialog());
    EXPECT_EQ(silent.AcceptedCount(), 0) << "initialisation must not wait for a database";
    w->show();
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(w->IntervalText(i) + " " + w->ThresholdText(i),
                  ints[i].section(u'=', 1) + " " + ints[4 + i].section(u'=', 1));
        // Poll and Del only where a database is.
        EXPECT_EQ(w->Control(CMonitorDlg::IDC_POLL[i])->isEnabled(), i % 2 == 0) << i;
        EXPECT_EQ(w->Control(CMonitorDlg::IDC_DEL[i])->isEnabled(), i % 2 == 0) << i;
    }
    qobject_cast<QLineEdit*>(w->Control(CMonitorDlg::IDC_THRESHOLD[0]))->setText("321");
    EXPECT_EQ(w->pos(), QPoint(120, 80));
    EXPECT_TRUE(w->CompactFlag() && w->AlwaysOnTopFlag() && !w->DetailsFlag() &&
                w->StartHiddenFlag() && !w->DoAccessLog() && w->DoErrorLog());
    EXPECT_TRUE((w->windowFlags() & Qt::WindowStaysOnTopHint) && ReadInt("AOT", -1) == 1);
    EXPECT_EQ(w->frameGeometry().width(), CMonitorDlg::kWidthNarrow);
    EXPECT_FALSE(w->AutoStartFlag() || QFile::exists(LogonStart::EntryPath())) << "entry removed";
    EXPECT_EQ(w->AccessLogPath() + w->ErrorLogPath(), dir + "/a.log" + dir + "/e.log");
    EXPECT_EQ(w->Monitor().Email().senderName + w->Monitor().Email().password, "Night Watchpw");
    EXPECT_EQ(w->Monitor().LastAlert(2), QStringLiteral(" on 01/02/2026 at 03:04:05"));

    // The start-up tick: captions from the titles, then the window hides into the tray.
    ASSERT_TRUE(WaitFor([&] { return !w->isVisible(); }));
    EXPECT_EQ(w->Control(CMonitorDlg::IDC_SELECT[2])->property("text").toString(), "Orders");
    EXPECT_TRUE(shell->IsShown(CTrayIcon::kTrayMenu));
    // The first polls: SQLite answers; the silent server is contacted and ends unreachable.
    auto* last = qobject_cast<QLabel*>(w->Control(CMonitorDlg::IDC_LAST_ACCESS[0]));
    ASSERT_TRUE(WaitFor([&] { return !last->text().isEmpty(); }, 20000));
    ASSERT_TRUE(WaitFor([&] { return w->Monitor().Probe(2)->GetStatus() == 3; }, 60000));
    EXPECT_GT(silent.AcceptedCount(), 0);
    EXPECT_EQ(ReadInt(QStringLiteral("Warn0"), -1), 321) << "the box is read at the tick";
    CDatabaseProbe::SetLoginTimeoutSeconds(60);
}

} // namespace
