// The main window offscreen: start-up from the store, layouts, commands with a late tray, the
// tray menu and the buttons as the window's commands, number boxes, notices, the logon entry.
#include "app/MonitorApp.h"
#include "controls/TrayIcon.h"
#include "monitor/PollScheduler.h"
#include "monitor/SlotMonitor.h"
#include "probe/DatabaseProbe.h"
#include "settings/SettingsStore.h"
#include "tests/common/DbServer.h"
#include "tests/common/OdbcTestEnv.h"
#include "tests/common/SilentListener.h"
#include "tests/common/TestSupport.h"
#include "tests/common/tray/RecordingTrayShell.h"
#include "tests/common/tray/TestProgram.h"
#include "tests/monitor/MonitorTestSupport.h"
#include "tests/ui/window/WindowTestSupport.h"
#include "ui/DataSourceChooserDlg.h"
#include "ui/DatabaseCommands.h"
#include "ui/HistoryDlg.h"
#include "ui/LogonStart.h"
#include "ui/MonitorDlg.h"
#include "ui/NoticeBox.h"

#include <QAction>
#include <QClipboard>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <array>
#include <csignal>
#include <functional>
#include <thread>

namespace {

using WindowTestSupport::ReadInt;
using WindowTestSupport::ResetStore;
using WindowTestSupport::WaitUntil;
using WindowTestSupport::Write;

TestProgram MakeWindow(CRecordingTrayShell** shell = nullptr, ProgramOptions options = {}) {
    auto recording = std::make_unique<CRecordingTrayShell>();
    if (shell)
        *shell = recording.get();
    return TestProgram(std::move(recording), std::move(options));
}

TEST(WindowInitTest, EveryStoredKeyIsRestoredTheDatabasesArePolledAndDelTakesTheRedMarkOff) {
    OdbcTestEnv::Install();
    ResetStore();
    const QString dir = TestSupport::MakeTempDir(QStringLiteral("init-all"));
    const QString db = OdbcTestEnv::CreateSqliteDatabase(dir + QStringLiteral("/inventory.db"));
    SilentListener silent; // a server that accepts and never answers
    ASSERT_TRUE(!db.isEmpty() && silent.Port() > 0);
    const QString stored =
        QStringLiteral(
            "Interval0=1|Interval1=7|Interval2=30|Interval3=99|Warn0=250|Warn1=1|"
            "Warn2=999999|Warn3=4000|LocX=120|LocY=80|CompactMode=1|AOT=1|"
            "ViewDetails=0|Hid=1|Auto=0|DoAccessLog=0|SMTPAuth=1|SMTPName=Night Watch|"
            "SMTPEmail=w@example.org|SMTPAlert=oncall@example.org|SMTP=127.0.0.1:1|"
            "SMTPRecovery=team@example.org|SMTPUsername=watch|SMTPPassword=pw|"
            "AccessLogFile=%1/a.log|ErrorLogFile=%1/e.log|lastDatabaseTitle0=Inventory|"
            "lastDatabaseTitle2=Orders|lastDatabase0=%2|lastDatabase2=DRIVER={PostgreSQL "
            "Unicode};Server=127.0.0.1;Port=%3;Database=orders;UID=monitor;PWD=secret")
            .arg(dir, OdbcTestEnv::SqliteConnectionString(db), QString::number(silent.Port()));
    Write(stored);
    SettingsStore::WriteString("Orders", "lastAlert", " on 01/02/2026 at 03:04:05");
    QFile::remove(LogonStart::EntryPath());
    ASSERT_TRUE(LogonStart::Apply(true, QStringLiteral("/opt/old/trellion"), nullptr));

    CRecordingTrayShell* shell = nullptr;
    auto w = MakeWindow(&shell, WithLoginTimeout(2));
    CMonitorApp::LoadIntervalsAndThresholds(*w);
    ASSERT_TRUE(w->OnInitDialog());
    EXPECT_EQ(silent.AcceptedCount(), 0) << "initialisation must not wait for a database";
    w->show();
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(w->IntervalText(i) + " " + w->ThresholdText(i),
                  (QStringList{"1 250", "7 1", "30 999999", "99 4000"}[i]));
        for (const auto& ids : {CMonitorDlg::IDC_POLL, CMonitorDlg::IDC_DEL}) // where a database is
            EXPECT_EQ(w->Control(ids[i])->isEnabled(), i % 2 == 0) << i;
    }
    qobject_cast<QLineEdit*>(w->Control(CMonitorDlg::IDC_THRESHOLD[0]))->setText("321");
    EXPECT_EQ(w->pos(), QPoint(120, 80));
    EXPECT_TRUE(w->CompactFlag() && w->AlwaysOnTopFlag() && !w->DetailsFlag() &&
                w->StartHiddenFlag() && !w->DoAccessLog() && w->DoErrorLog());
    EXPECT_TRUE((w->windowFlags() & Qt::WindowStaysOnTopHint) && ReadInt("AOT") == 1);
    EXPECT_FALSE(w->AutoStartFlag() || QFile::exists(LogonStart::EntryPath())) << "entry removed";
    EXPECT_EQ(w->AccessLogPath() + w->ErrorLogPath(), dir + "/a.log" + dir + "/e.log");
    EXPECT_EQ(w->Monitor().Email().senderName + w->Monitor().Email().password, "Night Watchpw");
    EXPECT_EQ(w->Monitor().LastAlert(2), QStringLiteral(" on 01/02/2026 at 03:04:05"));

    // The start-up tick: captions from the titles, then the window hides into the tray.
    ASSERT_TRUE(WaitUntil([&] { return !w->isVisible(); }));
    EXPECT_EQ(w->Control(CMonitorDlg::IDC_SELECT[2])->property("text").toString(), "Orders");
    EXPECT_TRUE(shell->IsShown(CTrayIcon::kTrayMenu));
    // The first polls: SQLite answers; the silent server is contacted and ends unreachable.
    auto* last = qobject_cast<QLabel*>(w->Control(CMonitorDlg::IDC_LAST_ACCESS[0]));
    ASSERT_TRUE(WaitUntil([&] { return !last->text().isEmpty(); }, 20000));
    ASSERT_TRUE(WaitUntil([&] { return w->Monitor().Probe(2)->GetStatus() == 3; }, 60000));
    EXPECT_GT(silent.AcceptedCount(), 0);
    EXPECT_EQ(ReadInt("Warn0"), 321) << "the box is read at the tick";
    // Every poll is recorded: the History window (View menu) offers the slots' databases, and
    // the one that never answered was available for none of the last day.
    w->Action(CMonitorDlg::ID_HISTORY)->trigger();
    auto* history = w->findChild<CHistoryDlg*>();
    ASSERT_NE(history, nullptr);
    EXPECT_TRUE(history->isVisible());
    QStringList offered;
    for (int i = 0; i < history->DatabaseBox()->count(); ++i)
        offered << history->DatabaseBox()->itemText(i);
    EXPECT_EQ(offered, QStringList({"Inventory", "Orders"}));
    history->DatabaseBox()->setCurrentIndex(1);
    EXPECT_TRUE(WaitUntil([&] {
        history->Reload();
        return history->Availability(0) == std::optional<double>(0.0);
    }));
    history->close();
    // Del of the only unreachable database takes the red mark off the tray at once.
    const auto icon = [&] { return shell->Shown(CTrayIcon::kTrayMenu); };
    ASSERT_TRUE(WaitUntil([&] { return icon().iconNumber == 138; }));
    ASSERT_TRUE(w->Scheduler().RemoveDatabase(2));
    ASSERT_TRUE(WaitUntil([&] { return icon().iconNumber == 128; }));
    EXPECT_EQ(icon().tip, "Trellion");
    EXPECT_FALSE(w->Control(CMonitorDlg::IDC_POLL[2])->isEnabled() ||
                 w->Control(CMonitorDlg::IDC_DEL[2])->isEnabled());
}

std::shared_ptr<CDatabaseProbe> StoredProbe(const QString& title) {
    return std::shared_ptr<CDatabaseProbe>(CDatabaseProbe::FromStored(
        QStringLiteral("DRIVER={SQLite3};Database=/nonexistent/%1.db;NoCreat=1").arg(title),
        title));
}

// The group box of a slot in window coordinates.
QRect Box(CMonitorDlg& w, int slot) {
    QWidget* c = w.Control(CMonitorDlg::IDC_GROUP[slot]);
    return QRect(c->mapTo(&w, QPoint(0, 0)), c->size());
}

TEST(WindowLayoutTest, ANewWindowIsCentredCompactCutsUnderTheLastSlotInUseDetailsSetTheWidth) {
    ResetStore();
    // Narrow and compact: small enough to centre on any screen; a place out of range is not taken.
    Write("ViewDetails=0|CompactMode=1|LocX=2000");
    auto w = MakeWindow();
    ASSERT_TRUE(w->OnInitDialog());
    const QPoint off = w->frameGeometry().center() - w->screen()->availableGeometry().center();
    EXPECT_LE(off.manhattanLength(), 2) << "where the desktop would put it, not in its corner";
    w->show();
    for (bool details : {true, false})
        for (bool compact : {false, true})
            for (int occupied = 0; occupied < 8; ++occupied) { // bits: slots 2 to 4
                for (int s = 1; s < 4; ++s)
                    w->Monitor().SetProbe(s,
                                          (occupied >> (s - 1)) & 1 ? StoredProbe("x") : nullptr);
                if (w->DetailsFlag() != details)
                    w->OnCommand(CMonitorDlg::ID_SHOW_DETAILS);
                if (w->CompactFlag() != compact)
                    w->OnCommand(CMonitorDlg::ID_COMPACT_MODE);
                w->resize(w->width(), 555);
                w->ApplyWindowLayout();
                SCOPED_TRACE(testing::Message() << details << compact << occupied);
                EXPECT_EQ(w->frameGeometry().width(),
                          details ? CMonitorDlg::kWidthDetails : CMonitorDlg::kWidthNarrow);
                const int shown = compact ? std::array{1, 2, 3, 3, 0, 0, 0, 0}[occupied] : 4;
                // The fourth slot in use keeps the height; otherwise the last slot in use shows
                // whole and nothing of the next one.
                EXPECT_TRUE(shown == 0   ? w->height() == 555
                            : shown == 4 ? w->frameGeometry().height() == CMonitorDlg::kHeightFull
                                         : Box(*w, shown - 1).bottom() < w->height() &&
                                               Box(*w, shown).top() >= w->height());
            }
}

TEST(WindowCommandTest, ALateTrayCloseEscapeAndHideOnlyHideTrayClicksOpenExitEnds) {
    ResetStore();
    Write("NumOpen=2|Hid=1");
    auto* shell = new CRecordingTrayShell;
    shell->SetHostPresent(false);
    TestProgram program{std::unique_ptr<ITrayShell>(shell)};
    CMonitorDlg& w = *program;
    QStringList seen;
    QTimer::singleShot(200, &w, [&] {
        auto step = [&](const char* what, auto&& act) {
            act();
            seen << QStringLiteral("%1 %2").arg(what, !w.isVisible()    ? "hidden"
                                                      : w.isMinimized() ? "minimised"
                                                                        : "shown");
        };
        // With no tray, hiding would lose the window: Start Hidden and close minimise it.
        step("start hidden", [&] { WaitUntil([&] { return w.isMinimized(); }); });
        step("open", [&] { w.OnCommand(CMonitorDlg::ID_OPEN); });
        step("close", [&] { w.close(); });
        step("tray comes", [&] {
            shell->SetHostPresent(true);
            WaitUntil([&] { return shell->IsShown(CTrayIcon::kTrayMenu); },
                      CMonitorDlg::kTrayLookEveryMs + 5000);
            w.OnCommand(CMonitorDlg::ID_OPEN);
        });
        step("close", [&] { w.close(); });
        step("click", [&] { shell->SendEvent(CTrayIcon::kTrayMenu, TrayEvent::LeftButtonUp); });
        step("escape", [&] { QTest::keyClick(&w, Qt::Key_Escape); });
        step("double click",
             [&] { shell->SendEvent(CTrayIcon::kTrayMenu, TrayEvent::LeftDoubleClick); });
        step("hide", [&] { w.OnCommand(CMonitorDlg::ID_HIDE); });
        seen << (w.HasEnded() ? "ended" : "running");
        w.move(150, 90);
        w.Action(CMonitorDlg::ID_EXIT)->trigger();
    });
    w.RunModal();
    EXPECT_EQ(seen.join(u'|').toStdString(),
              "start hidden minimised|open shown|close minimised|tray comes shown|close hidden|"
              "click shown|escape hidden|double click shown|hide hidden|running");
    EXPECT_TRUE(w.HasEnded());
    EXPECT_EQ(QString("%1 %2").arg(ReadInt("NumOpen")).arg(ReadInt("LocX")), "1 150");
}

TEST(WindowCommandTest, TheTrayMenuAndTheSlotButtonsRunTheWindowsCommands) {
    ResetStore();
    CRecordingTrayShell* shell = nullptr;
    auto w = MakeWindow(&shell);
    // The host is handed the window's tray menu: its items carry the commands' ids, the first
    // is the default (what a click on the icon runs).
    QMenu* menu = shell->Menu();
    ASSERT_NE(menu, nullptr);
    EXPECT_EQ(menu, w->TrayMenu());
    QStringList items;
    for (const QAction* action : menu->actions())
        items << (action->isSeparator()
                      ? QStringLiteral("-")
                      : action->text() + "=" + action->property("controlId").toString());
    EXPECT_EQ(items.join(u'|'), "&Open Trellion=32772|&History...=32791|&About Trellion...=57664|-|"
                                "&Terminate Trellion=32773");
    EXPECT_EQ(menu->defaultAction(), menu->actions().first());

    // A slot button and its action are one command: enabled together, a click triggers it.
    for (int i = 0; i < 4; ++i)
        for (const auto& ids :
             {CMonitorDlg::IDC_SELECT, CMonitorDlg::IDC_POLL, CMonitorDlg::IDC_DEL}) {
            QAction* action = w->Action(ids[i]);
            ASSERT_NE(action, nullptr) << ids[i];
            EXPECT_EQ(action->property("controlId").toInt(), ids[i]);
            EXPECT_EQ(action->isEnabled(), w->Control(ids[i])->isEnabled()) << ids[i];
            EXPECT_EQ(action->isEnabled(), ids == CMonitorDlg::IDC_SELECT) << "an empty slot";
        }
    int selected = -1;
    w->DatabaseCommands().SetProbeMaker([&](INotice*) {
        selected = 2;
        return std::unique_ptr<CDatabaseProbe>(CDatabaseProbe::FromStored(
            QStringLiteral("DRIVER={SQLite3};Database=/nonexistent/x.db;NoCreat=1"), "x"));
    });
    QSignalSpy triggered(w->Action(CMonitorDlg::IDC_SELECT[2]), &QAction::triggered);
    QTest::mouseClick(qobject_cast<QPushButton*>(w->Control(CMonitorDlg::IDC_SELECT[2])),
                      Qt::LeftButton);
    EXPECT_EQ(triggered.count(), 1);
    EXPECT_EQ(selected, 2) << "the click ran Select Database";
    // The selected database's Select button offers its health check on a right click, as the
    // Setup menu does; an empty slot's does not.
    QWidget* select = w->Control(CMonitorDlg::IDC_SELECT[2]);
    ASSERT_EQ(select->contextMenuPolicy(), Qt::ActionsContextMenu);
    ASSERT_EQ(select->actions().size(), 1);
    QAction* health = select->actions().first();
    EXPECT_EQ(health->text() + "=" + health->property("controlId").toString(),
              "Health Check...=32794");
    EXPECT_TRUE(health->isEnabled());
    EXPECT_FALSE(w->Control(CMonitorDlg::IDC_SELECT[3])->actions().first()->isEnabled());
    EXPECT_FALSE(w->Action(CMonitorDlg::ID_HEALTH_CHECK[3])->isEnabled());
    QString opened;
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [&] {
        if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
            opened = dialog->windowTitle();
            dialog->reject();
        }
    });
    closer.start(20);
    health->trigger();
    closer.stop();
    EXPECT_EQ(opened, "Health Check - x");
    closer.start(20);
    w->Action(CMonitorDlg::ID_ALERT_SETTINGS)->trigger();
    closer.stop();
    EXPECT_EQ(opened, "Alert Settings") << "Setup's Alert Settings... opens its dialog";
    closer.start(20);
    w->Action(CMonitorDlg::ID_METRICS_SETTINGS)->trigger();
    closer.stop();
    EXPECT_NE(opened, "Alert Settings") << "Setup's Metrics Settings... opens its dialog";
    EXPECT_TRUE(opened.startsWith("Metrics")) << opened.toStdString();
    w->Action(CMonitorDlg::IDC_DEL[3])->setEnabled(true);
    EXPECT_TRUE(w->Control(CMonitorDlg::IDC_DEL[3])->isEnabled());

    // From the tray: Open shows the hidden window, Terminate ends the program.
    ASSERT_FALSE(w->isVisible());
    menu->actions().first()->trigger();
    EXPECT_TRUE(w->isVisible());
    menu->actions().last()->trigger();
    EXPECT_TRUE(w->HasEnded());
}

TEST(WindowCommandTest, NumberBoxesTakeDigitsOnlyAndNoticesFromPollThreadsDoNotStack) {
    ResetStore();
    auto w = MakeWindow();
    ASSERT_TRUE(w->OnInitDialog());
    auto* warn = qobject_cast<QLineEdit*>(w->Control(CMonitorDlg::IDC_THRESHOLD[1]));
    auto* interval = qobject_cast<QLineEdit*>(w->Control(CMonitorDlg::IDC_INTERVAL[1]));
    // "typed|pasted|what the box shows"
    const std::pair<QLineEdit*, QStringList> cases[] = {
        {warn, {"25x0||250", "1234567||123456", "0||", "05||5", "-5 ||5", "|4x5|", "9|1,000|9"}},
        {interval, {"0||", "35792||3579", "35791||35791", "7|O|7"}}};
    for (const auto& [box, list] : cases)
        for (const QString& c : list) {
            box->clear();
            QTest::keyClicks(box, c.section(u'|', 0, 0));
            QApplication::clipboard()->setText(c.section(u'|', 1, 1));
            box->paste();
            EXPECT_EQ(box->text(), c.section(u'|', 2, 2)) << c.toStdString();
        }
    // Notices from poll threads neither block nor stack.
    w->show();
    auto open = [&](const char* text) {
        int n = 0;
        for (auto* box : w->findChildren<QMessageBox*>(QLatin1String(CNoticeBox::kObjectName)))
            n += box->isVisible() && box->text() == QLatin1String(text);
        return n;
    };
    // The same failure at every poll of a long outage: one box while it waits for OK.
    for (int i = 0; i < 20; ++i)
        std::thread([&] {
            w->Notice()->ShowNotice(QLatin1String(i % 2 ? "first" : "second"));
        }).join();
    EXPECT_TRUE(WaitUntil([&] { return open("first") == 1 && open("second") == 1; }));
}

QString ExecLine() {
    QFile f(LogonStart::EntryPath());
    const QString text = f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : "";
    return text.section("\nExec=", 1).section('\n', 0, 0);
}

TEST(HelpAndLogonTest, LogonEntryNamesTheInstalledProgramEscapedAndItsFailureIsReported) {
    ResetStore();
    auto w = MakeWindow();
    w->SetProgramDirectory(QStringLiteral(TRELLION_INSTALL_BINDIR));
    ASSERT_TRUE(w->OnInitDialog());
    // "Auto" is 1 by default: the entry names the program; logs never go beside it (root).
    EXPECT_EQ(ExecLine().toStdString(), TRELLION_INSTALL_BINDIR "/window_test");
    EXPECT_EQ(w->AccessLogPath().toStdString(),
              qgetenv("XDG_STATE_HOME").toStdString() + "/Trellion/access.log");
    w->OnCommand(CMonitorDlg::ID_AUTO_START);
    EXPECT_FALSE(QFile::exists(LogonStart::EntryPath()));
    EXPECT_TRUE(LogonStart::Apply(false, w->ProgramPath(), w->Notice())) << "none is no failure";
    // A file where the autostart folder should be: nothing can be written under it.
    const QString folder = QFileInfo(LogonStart::EntryPath()).absolutePath();
    ASSERT_TRUE(QDir(folder).removeRecursively());
    QFile blocker(folder);
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    w->OnCommand(CMonitorDlg::ID_AUTO_START);
    const auto notices = [&] { return w->findChildren<QMessageBox*>(CNoticeBox::kObjectName); };
    ASSERT_TRUE(WaitUntil([&] { return !notices().isEmpty(); }));
    WaitUntil([] { return false; }, 100);
    ASSERT_EQ(notices().size(), 1) << "the removals said nothing";
    EXPECT_EQ(notices()[0]->text(), QStringLiteral("Could not register Trellion."));
    EXPECT_TRUE(w->Action(CMonitorDlg::ID_AUTO_START)->isChecked() && ReadInt("Auto") == 1)
        << "the wish stays";
    ASSERT_TRUE(blocker.remove());
    const char* cases[][2] = {
        {"/usr/bin/trellion", "/usr/bin/trellion"},
        {"/opt/My Tools/trellion", "\"/opt/My Tools/trellion\""}, // a blank splits arguments
        {"/opt/100%ok/trellion", "/opt/100%%ok/trellion"},        // '%' starts a field code
        {"/opt/a$b/trellion", "\"/opt/a\\\\$b/trellion\""},       // escaped twice: quote, file
        {"/opt/a\nX-Injected=1/trellion", "\"/opt/a\\nX-Injected=1/trellion\""}, // a new key
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(LogonStart::Apply(true, QString::fromUtf8(c[0]), nullptr));
        EXPECT_EQ(ExecLine().toStdString(), c[1]) << c[0];
    }
}

} // namespace

// What the window writes for its toggles and at its end, read back as the file's own text: a
// window started without the program's count counts itself as the one open.
TEST(WindowStoreTest, TogglesAndTheEndWriteTheirKeysAndAnEmptyLocationList) {
    ResetStore();
    auto w = MakeWindow();
    QTimer::singleShot(200, w.get(), [&] {
        for (int id : {CMonitorDlg::ID_ALWAYS_ON_TOP, CMonitorDlg::ID_COMPACT_MODE,
                       CMonitorDlg::ID_START_HIDDEN, CMonitorDlg::ID_SHOW_DETAILS})
            w->Action(id)->trigger();
        w->Action(CMonitorDlg::ID_EXIT)->trigger();
    });
    w->RunModal();
    ASSERT_TRUE(w->HasEnded());

    QFile file(SettingsStore::FilePath());
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(file.readAll());
    for (const char* line :
         {"AOT=1", "CompactMode=1", "Hid=1", "ViewDetails=0", "NumOpen=0", "[Location]\n0="})
        EXPECT_TRUE(text.contains(QLatin1String(line))) << line << " missing from:\n"
                                                        << text.toStdString();
}
