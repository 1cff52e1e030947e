// Initialisation of the main window from the settings store: every key, and the defaults.
#include "tests/ui/window/WindowTestSupport.h"

#include "app/MonitorApp.h"
#include "controls/RecordingTrayShell.h"
#include "controls/TrayIcon.h"
#include "mail/SmtpClient.h"
#include "monitor/PollScheduler.h"
#include "monitor/SlotMonitor.h"
#include "probe/DatabaseProbe.h"
#include "settings/SettingsStore.h"
#include "tests/common/OdbcTestEnv.h"
#include "tests/common/SilentListener.h"
#include "tests/common/TestSupport.h"
#include "ui/LogonStart.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include <gtest/gtest.h>

using namespace WindowTest;

namespace {

class WindowInitTest : public ::testing::Test {
protected:
    void SetUp() override {
        OdbcTestEnv::Install();
        ClearSettings();
        QFile::remove(LogonStart::EntryPath());
        CDatabaseProbe::SetLoginTimeoutSeconds(2);
    }
    void TearDown() override { CDatabaseProbe::SetLoginTimeoutSeconds(60); }

    static QString Text(CMonitorDlg& w, int id) {
        if (auto* edit = qobject_cast<QLineEdit*>(w.Control(id)))
            return edit->text();
        if (auto* label = qobject_cast<QLabel*>(w.Control(id)))
            return label->text();
        if (auto* button = qobject_cast<QPushButton*>(w.Control(id)))
            return button->text();
        if (auto* group = qobject_cast<QGroupBox*>(w.Control(id)))
            return group->title();
        return QStringLiteral("<no control %1>").arg(id);
    }
};

TEST_F(WindowInitTest, EveryStoredKeyIsRestored) {
    const QString dir = TestSupport::MakeTempDir(QStringLiteral("init-all"));
    const QString db = OdbcTestEnv::CreateSqliteDatabase(dir + QStringLiteral("/inventory.db"));
    ASSERT_FALSE(db.isEmpty());
    SilentListener silent;
    ASSERT_GT(silent.Port(), 0);
    const QString silentString =
        QStringLiteral("DRIVER={PostgreSQL Unicode};Server=127.0.0.1;Port=%1;Database=orders;"
                       "UID=monitor;PWD=secret")
            .arg(silent.Port());

    const int intervals[] = {1, 7, 30, 99};
    const int thresholds[] = {250, 1, 999999, 4000};
    for (int i = 0; i < 4; ++i) {
        WriteInt(QStringLiteral("Interval%1").arg(i), intervals[i]);
        WriteInt(QStringLiteral("Warn%1").arg(i), thresholds[i]);
    }
    WriteInt(QStringLiteral("NumOpen"), 1);
    WriteInt(QStringLiteral("LocX"), 120);
    WriteInt(QStringLiteral("LocY"), 80);
    WriteInt(QStringLiteral("CompactMode"), 1);
    WriteInt(QStringLiteral("AOT"), 1);
    WriteInt(QStringLiteral("ViewDetails"), 0);
    WriteInt(QStringLiteral("Hid"), 1);
    WriteInt(QStringLiteral("Auto"), 0);
    WriteInt(QStringLiteral("DoAccessLog"), 0);
    WriteInt(QStringLiteral("DoErrorLog"), 1);
    WriteString(QStringLiteral("AccessLogFile"), dir + QStringLiteral("/a.log"));
    WriteString(QStringLiteral("ErrorLogFile"), dir + QStringLiteral("/e.log"));
    WriteString(QStringLiteral("SMTPName"), QStringLiteral("Night Watch"));
    WriteString(QStringLiteral("SMTPEmail"), QStringLiteral("watch@example.org"));
    WriteString(QStringLiteral("SMTPAlert"), QStringLiteral("oncall@example.org"));
    WriteString(QStringLiteral("SMTPRecovery"), QStringLiteral("team@example.org"));
    WriteString(QStringLiteral("SMTP"), QStringLiteral("127.0.0.1:1"));
    WriteInt(QStringLiteral("SMTPAuth"), 1);
    WriteString(QStringLiteral("SMTPUsername"), QStringLiteral("watch"));
    WriteString(QStringLiteral("SMTPPassword"), QStringLiteral("pw"));
    WriteString(QStringLiteral("lastDatabase0"), OdbcTestEnv::SqliteConnectionString(db));
    WriteString(QStringLiteral("lastDatabaseTitle0"), QStringLiteral("Inventory"));
    WriteString(QStringLiteral("lastDatabase2"), silentString);
    WriteString(QStringLiteral("lastDatabaseTitle2"), QStringLiteral("Orders"));
    SettingsStore::WriteString(QStringLiteral("Orders"), QStringLiteral("lastAlert"),
                               QStringLiteral(" on 01/02/2026 at 03:04:05"));
    SettingsStore::WriteString(QStringLiteral("Orders"), QStringLiteral("lastRecovery"),
                               QStringLiteral("(recovery not sent, missing email setup)"));
    // A stale entry that "Auto" = 0 must remove.
    ASSERT_TRUE(LogonStart::Apply(true, QStringLiteral("/opt/old/trellion"), nullptr));

    CRecordingTrayShell* shell = nullptr;
    auto w = MakeWindow(&shell);
    CMonitorApp::LoadIntervalsAndThresholds(*w);
    w->move(10, 10);

    ASSERT_TRUE(w->OnInitDialog());
    // Nothing has touched the database that does not answer (an attempt here would have been
    // accepted and then held the UI thread for the login time-out): the first contact is the
    // poll on its worker.
    EXPECT_EQ(silent.AcceptedCount(), 0);
    w->show();

    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(w->IntervalText(i), QString::number(intervals[i]));
        EXPECT_EQ(Text(*w, CMonitorDlg::IDC_INTERVAL[i]), QString::number(intervals[i]));
        EXPECT_EQ(Text(*w, CMonitorDlg::IDC_THRESHOLD[i]), QString::number(thresholds[i]));
    }
    EXPECT_EQ(w->pos(), QPoint(120, 80));
    // Typed before the first tick: the tick takes it and stores it.
    qobject_cast<QLineEdit*>(w->Control(CMonitorDlg::IDC_THRESHOLD[0]))->setText("321");
    EXPECT_TRUE(w->CompactFlag());
    EXPECT_TRUE(w->Action(CMonitorDlg::ID_COMPACT_MODE)->isChecked());
    EXPECT_TRUE(w->AlwaysOnTopFlag());
    EXPECT_TRUE(w->Action(CMonitorDlg::ID_ALWAYS_ON_TOP)->isChecked());
    EXPECT_TRUE(w->windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_EQ(ReadInt(QStringLiteral("AOT"), -1), 1);
    EXPECT_FALSE(w->DetailsFlag());
    EXPECT_FALSE(w->Action(CMonitorDlg::ID_SHOW_DETAILS)->isChecked());
    EXPECT_EQ(ReadInt(QStringLiteral("ViewDetails"), -1), 0);
    // Narrow and compact with slot 3 occupied, slot 4 free.
    EXPECT_EQ(w->frameGeometry().size(),
              QSize(CMonitorDlg::kWidthNarrow, CMonitorDlg::kHeightCompact3));
    EXPECT_TRUE(w->StartHiddenFlag());
    EXPECT_TRUE(w->Action(CMonitorDlg::ID_START_HIDDEN)->isChecked());
    EXPECT_FALSE(w->AutoStartFlag());
    EXPECT_FALSE(w->Action(CMonitorDlg::ID_AUTO_START)->isChecked());
    EXPECT_FALSE(QFile::exists(LogonStart::EntryPath()));
    EXPECT_FALSE(w->DoAccessLog());
    EXPECT_TRUE(w->DoErrorLog());
    EXPECT_EQ(w->AccessLogPath(), dir + QStringLiteral("/a.log"));
    EXPECT_EQ(w->ErrorLogPath(), dir + QStringLiteral("/e.log"));

    const EmailSettings email = w->Monitor().Email();
    EXPECT_EQ(email.senderName, QStringLiteral("Night Watch"));
    EXPECT_EQ(email.returnAddress, QStringLiteral("watch@example.org"));
    EXPECT_EQ(email.alertRecipient, QStringLiteral("oncall@example.org"));
    EXPECT_EQ(email.recoveryRecipient, QStringLiteral("team@example.org"));
    EXPECT_EQ(email.server, QStringLiteral("127.0.0.1:1"));
    EXPECT_TRUE(email.authentication);
    EXPECT_EQ(email.userName, QStringLiteral("watch"));
    EXPECT_EQ(email.password, QStringLiteral("pw"));

    // The stored databases are configured without having been reached.
    EXPECT_TRUE(w->Monitor().IsConfigured(0));
    EXPECT_FALSE(w->Monitor().HasProbe(1));
    EXPECT_TRUE(w->Monitor().IsConfigured(2));
    EXPECT_FALSE(w->Monitor().HasProbe(3));
    EXPECT_EQ(w->Monitor().Title(2), QStringLiteral("Orders"));
    EXPECT_EQ(w->Monitor().LastAlert(2), QStringLiteral(" on 01/02/2026 at 03:04:05"));
    EXPECT_EQ(w->Monitor().LastRecovery(2),
              QStringLiteral("(recovery not sent, missing email setup)"));

    // The start-up tick: captions from the titles, and the window hides into the tray.
    ASSERT_TRUE(WaitFor([&] { return !w->isVisible(); }));
    EXPECT_EQ(Text(*w, CMonitorDlg::IDC_GROUP[0]), QStringLiteral("Inventory"));
    EXPECT_EQ(Text(*w, CMonitorDlg::IDC_SELECT[0]), QStringLiteral("Inventory"));
    EXPECT_EQ(Text(*w, CMonitorDlg::IDC_GROUP[1]), QStringLiteral("Database 2"));
    EXPECT_EQ(Text(*w, CMonitorDlg::IDC_SELECT[1]), QStringLiteral("Select Database"));
    EXPECT_EQ(Text(*w, CMonitorDlg::IDC_GROUP[2]), QStringLiteral("Orders"));
    EXPECT_TRUE(shell->IsShown(CTrayIcon::kTrayMenu));

    // The first polls, on their workers: SQLite answers, the silent server is contacted and
    // times out as unreachable while the window keeps handling events.
    // A SQLite poll can take under a millisecond, which the field shows as "unavailable".
    ASSERT_TRUE(WaitFor(
        [&] {
            const QString last = Text(*w, CMonitorDlg::IDC_LAST_ACCESS[0]);
            return last.contains("ms") || last.startsWith("unavailable");
        },
        20000));
    ASSERT_TRUE(WaitFor([&] { return silent.AcceptedCount() > 0; }, 20000));
    ASSERT_TRUE(WaitFor(
        [&] {
            auto probe = w->Monitor().Probe(2);
            return probe && probe->GetStatus() == CDatabaseProbe::Unreachable;
        },
        60000));
    // The threshold box was read at the tick and written back.
    EXPECT_EQ(ReadInt(QStringLiteral("Warn0"), -1), 321);
    EXPECT_EQ(w->Monitor().Threshold(0), 321);
}

TEST_F(WindowInitTest, EmptyStoreGivesTheDefaults) {
    const QString programDir = TestSupport::MakeTempDir(QStringLiteral("program"));
    auto w = MakeWindow();
    w->SetProgramDirectory(programDir);
    CMonitorApp::LoadIntervalsAndThresholds(*w);
    w->move(33, 44);
    ASSERT_TRUE(w->OnInitDialog());

    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(Text(*w, CMonitorDlg::IDC_INTERVAL[i]), QStringLiteral("15"));
        EXPECT_EQ(Text(*w, CMonitorDlg::IDC_THRESHOLD[i]), QStringLiteral("10000"));
        EXPECT_FALSE(w->Monitor().HasProbe(i));
    }
    EXPECT_FALSE(w->CompactFlag());
    EXPECT_FALSE(w->AlwaysOnTopFlag());
    EXPECT_FALSE(w->windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_TRUE(w->DetailsFlag());
    EXPECT_TRUE(w->Action(CMonitorDlg::ID_SHOW_DETAILS)->isChecked());
    EXPECT_EQ(ReadInt(QStringLiteral("ViewDetails"), -1), 1);
    EXPECT_EQ(ReadInt(QStringLiteral("AOT"), -1), -1) << "AOT is only written when used";
    EXPECT_EQ(w->frameGeometry().size(),
              QSize(CMonitorDlg::kWidthDetails, CMonitorDlg::kHeightFull));
    EXPECT_FALSE(w->StartHiddenFlag());
    EXPECT_TRUE(w->AutoStartFlag());
    EXPECT_TRUE(w->Action(CMonitorDlg::ID_AUTO_START)->isChecked());
    EXPECT_TRUE(QFile::exists(LogonStart::EntryPath()));
    EXPECT_TRUE(w->DoAccessLog());
    EXPECT_TRUE(w->DoErrorLog());
    // The logs go beside the program and are written back at once.
    EXPECT_EQ(w->AccessLogPath(), programDir + QStringLiteral("/access.log"));
    EXPECT_EQ(w->ErrorLogPath(), programDir + QStringLiteral("/error.log"));
    EXPECT_EQ(ReadString(QStringLiteral("AccessLogFile")), w->AccessLogPath());
    EXPECT_EQ(ReadString(QStringLiteral("ErrorLogFile")), w->ErrorLogPath());
    EXPECT_EQ(w->Monitor().Email().senderName, QStringLiteral("Trellion"));
    EXPECT_TRUE(w->Monitor().Email().server.isEmpty());
    EXPECT_EQ(ReadInt(QStringLiteral("NumOpen"), -7), -7) << "the window does not count";

    // With no server set, slot 0's first tick opens the e-mail settings instead of a poll.
    QString modalClass;
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [&] {
        if (QWidget* modal = QApplication::activeModalWidget(); modal && modal != w.get()) {
            modalClass = QString::fromLatin1(modal->metaObject()->className());
            if (auto* dialog = qobject_cast<QDialog*>(modal))
                dialog->reject();
        }
    });
    closer.start(20);
    w->show();
    EXPECT_TRUE(WaitFor([&] { return !modalClass.isEmpty(); }));
    closer.stop();
    EXPECT_FALSE(modalClass.isEmpty());
    EXPECT_NE(modalClass, QStringLiteral("QMessageBox"));
}

TEST_F(WindowInitTest, LogsGoToTheStateFolderWhenTheProgramFolderIsNotWritable) {
    const QString state = qEnvironmentVariable("XDG_STATE_HOME") + QStringLiteral("/Trellion");
    QDir(state).removeRecursively();
    // A folder that does not exist cannot be written, whoever runs the test.
    EXPECT_EQ(CMonitorDlg::DefaultLogFolder(QStringLiteral("/nonexistent/trellion/bin")), state);
    EXPECT_TRUE(QDir(state).exists());
    EXPECT_EQ(CMonitorDlg::DefaultLogFolder(QString()), state);
    const QString writable = TestSupport::MakeTempDir(QStringLiteral("writable"));
    EXPECT_EQ(CMonitorDlg::DefaultLogFolder(writable), writable);

    SetUpEmail();
    auto w = MakeWindow();
    w->SetProgramDirectory(QStringLiteral("/nonexistent/trellion/bin"));
    ASSERT_TRUE(w->OnInitDialog());
    EXPECT_EQ(w->AccessLogPath(), state + QStringLiteral("/access.log"));
    EXPECT_EQ(ReadString(QStringLiteral("ErrorLogFile")), state + QStringLiteral("/error.log"));
}

} // namespace
