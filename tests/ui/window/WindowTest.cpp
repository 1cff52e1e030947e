// The main window offscreen (start-up from the store, layouts, commands with a late tray, number
// boxes, notices, the logon entry); "Select Data Source" and Select, Del and Poll on SQLite and
// PostgreSQL; the built program as a child process (command line, instances, signals).
#include "app/MonitorApp.h"
#include "controls/RecordingTrayShell.h"
#include "controls/TrayIcon.h"
#include "monitor/PollScheduler.h"
#include "monitor/SlotMonitor.h"
#include "probe/DatabaseProbe.h"
#include "settings/SettingsStore.h"
#include "tests/common/DbServer.h"
#include "tests/common/OdbcTestEnv.h"
#include "tests/common/SilentListener.h"
#include "tests/common/TestSupport.h"
#include "tests/monitor/MonitorTestSupport.h"
#include "ui/DataSourceChooserDlg.h"
#include "ui/DatabaseCommands.h"
#include "ui/LogonStart.h"
#include "ui/MonitorDlg.h"
#include "ui/NoticeBox.h"

#include <QAction>
#include <QClipboard>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <array>
#include <csignal>
#include <functional>
#include <thread>

namespace {

// The store keeps text; numbers are read back from it. "key=value|key=value".
void Write(const QString& pairs) {
    for (const QString& pair : pairs.split(u'|'))
        SettingsStore::WriteString(SettingsStore::kSettings, pair.section(u'=', 0, 0),
                                   pair.section(u'=', 1));
}
int ReadInt(const QString& key) {
    return SettingsStore::ReadInt(SettingsStore::kSettings, key, -1);
}
// An empty store but for a server, so that no first-start prompt comes.
void ResetStore() {
    QFile::remove(SettingsStore::FilePath());
    Write("SMTP=127.0.0.1:1");
}
// Generous: a loaded two-core machine under the sanitizer is slow, and every wait ends early.
bool WaitUntil(const std::function<bool()>& done, int timeoutMs = 60000) {
    return TestSupport::WaitUntil(done, timeoutMs);
}
std::unique_ptr<CMonitorDlg> MakeWindow(CRecordingTrayShell** shell = nullptr) {
    auto recording = std::make_unique<CRecordingTrayShell>();
    if (shell)
        *shell = recording.get();
    return std::make_unique<CMonitorDlg>(std::move(recording));
}

TEST(WindowInitTest, EveryStoredKeyIsRestoredTheDatabasesArePolledAndDelTakesTheRedMarkOff) {
    OdbcTestEnv::Install();
    ResetStore();
    CDatabaseProbe::SetLoginTimeoutSeconds(2);
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
    auto w = MakeWindow(&shell);
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
    // Del of the only unreachable database takes the red mark off the tray at once.
    const auto icon = [&] { return shell->Shown(CTrayIcon::kTrayMenu); };
    ASSERT_TRUE(WaitUntil([&] { return icon().iconNumber == 138; }));
    ASSERT_TRUE(w->Scheduler().RemoveDatabase(2));
    ASSERT_TRUE(WaitUntil([&] { return icon().iconNumber == 128; }));
    EXPECT_EQ(icon().tip, "Trellion");
    EXPECT_FALSE(w->Control(CMonitorDlg::IDC_POLL[2])->isEnabled() ||
                 w->Control(CMonitorDlg::IDC_DEL[2])->isEnabled());
    CDatabaseProbe::SetLoginTimeoutSeconds(60);
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
    CMonitorDlg w{std::unique_ptr<ITrayShell>(shell)};
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

using Button = QDialogButtonBox::StandardButton;
QString g_dir, g_userDb;
DbServer* g_cluster = nullptr;

struct CommandsWindow : IDatabaseCommandsWindow {
    bool AskYesNo(const QString& text) override {
        questions << text;
        return answer;
    }
    void ApplyWindowLayout() override {}
    bool answer = false;
    QStringList questions;
};

class ChooserTest : public ::testing::Test {
protected:
    // Data sources are written before the first ODBC call: unixODBC keeps what it read.
    static void SetUpTestSuite() {
        OdbcTestEnv::Install();
        g_cluster = new DbServer(DbServer::Kind::Postgres);
        ASSERT_TRUE(g_cluster->Start());
        g_dir = TestSupport::MakeTempDir(QStringLiteral("chooser"));
        g_userDb = g_dir + QStringLiteral("/user.db");
        OdbcTestEnv::AddDsn("UserLite", "SQLite3", {{"Database", g_userDb}});
        OdbcTestEnv::AddDsn("Ops", "PostgreSQL Unicode",
                            {{"Servername", "127.0.0.1"},
                             {"Port", QString::number(g_cluster->Port())},
                             {"Database", g_cluster->Database()}},
                            true);
        OdbcTestEnv::CreateSqliteDatabase(g_userDb);
    }
    static void TearDownTestSuite() { delete g_cluster; }

    void SetUp() override {
        commands->SetProbeMaker([this](INotice* n) { return CreateSelectedProbe(choice, n); });
        QObject::connect(scheduler.get(), &PollScheduler::PollEnded, [this](int s) { ++ended[s]; });
    }

    // The user fills the dialog and clicks; the selection's probe, whatever the outcome.
    std::unique_ptr<CDatabaseProbe> Choose(const std::function<void(CDataSourceChooserDlg&)>& fill,
                                           Button button = Button::Ok) {
        CDataSourceChooserDlg dlg;
        QTimer::singleShot(0, &dlg, [&] {
            fill(dlg);
            dlg.findChild<QDialogButtonBox*>()->button(button)->click();
        });
        return dlg.SelectAndConnect(&rig.notice);
    }
    void Select(int slot, std::optional<QString> answer) {
        choice = std::move(answer);
        commands->SelectDatabase(slot);
    }
    bool Polled(int slot, int total) {
        return WaitUntil([&] { return ended[slot] >= total && !scheduler->IsPolling(slot); },
                         30000);
    }
    QStringList Captions(int slot) { return rig.view.Last("captions", slot).texts; }
    static QString Setting(const QString& key) {
        return SettingsStore::ReadString(SettingsStore::kSettings, key, QStringLiteral("-"));
    }

    MonitorRig rig;
    CommandsWindow window;
    std::unique_ptr<PollScheduler> scheduler = rig.MakeScheduler();
    std::unique_ptr<CDatabaseCommands> commands = std::make_unique<CDatabaseCommands>(
        scheduler.get(), rig.monitor.get(), &window, &rig.notice);
    std::optional<QString> choice;
    std::array<int, 4> ended{};
};

TEST_F(ChooserTest, BuildsTheStringOfEachSourceAndRefusesWhatIsMissing) {
    using Dlg = CDataSourceChooserDlg;
    EXPECT_EQ(Dlg::TypedString("Odd}Driver", " ;A=1"), "DRIVER={Odd}}Driver};A=1");
    // Braces only where a plain value would be misread, '}' doubled inside them.
    EXPECT_EQ(Dlg::WithCredentials("DSN=Ops;", "o'brien", "{a;b}c"),
              "DSN=Ops;UID=o'brien;PWD={{a;b}}c}");
    EXPECT_EQ(Dlg::WithCredentials("", "", "x=y z"), "PWD=x=y z");
    CDataSourceChooserDlg dlg;
    dlg.SetDatabaseFile("/srv/sales 2024.db");
    EXPECT_EQ(dlg.BuildConnectionString().value_or("-"),
              "DRIVER={SQLite3};Database=/srv/sales 2024.db;NoCreat=1");
    QStringList warnings;
    dlg.SetWarningHandler([&](const QString& text) { warnings << text; });
    for (const QString& file : {QString(), QStringLiteral("/a;b.db"), g_dir + "/typo.db"}) {
        dlg.SetDatabaseFile(file);
        dlg.accept();
    }
    EXPECT_EQ(warnings, QStringList({"Please choose a database file.",
                                     "The path of the database file must not contain ';'.",
                                     "The database file does not exist."}));
    EXPECT_FALSE(dlg.AcceptedConnectionString().has_value());
    EXPECT_FALSE(QFile::exists(g_dir + "/typo.db"));
}

TEST_F(ChooserTest, SelectsAFileADataSourceAndALoginEndToEnd) {
    const auto file = Choose([](auto& dlg) { dlg.SetDatabaseFile(g_userDb); });
    // The driver's completion names no driver and would not connect again: the input is kept.
    EXPECT_EQ(file->ConnectionString(), "DRIVER={SQLite3};Database=" + g_userDb + ";NoCreat=1");
    EXPECT_EQ(file->Title(), "user.db");
    const auto dsn = Choose([](auto& dlg) { dlg.SelectDataSource("UserLite"); });
    EXPECT_TRUE(dsn->ConnectionString().startsWith("DSN=UserLite;"));
    EXPECT_EQ(dsn->Title(), "USERLITE(" + g_userDb + ")");
    const auto login = [&](const QString& password) {
        return Choose([&](auto& dlg) {
            dlg.SelectDataSource("Ops");
            dlg.SetUserName(g_cluster->User());
            dlg.SetPassword(password);
        });
    };
    EXPECT_EQ(login(g_cluster->Password())->Title(), g_cluster->User() + "@OPS(127.0.0.1)");
    const auto cancelled = Choose([](auto& dlg) { dlg.SetDatabaseFile(g_userDb); }, Button::Cancel);
    EXPECT_EQ(cancelled->Title(), "Not Connected");
    // A wrong password keeps the dialog open (tested with the dialog's own cases).
}

TEST_F(ChooserTest, SelectFailCancelOutageAndDelOnOneSlot) {
    Select(2, "DSN=UserLite");
    const QString title = "USERLITE(" + g_userDb + ")";
    const QString stored = Setting("lastDatabase2");
    EXPECT_EQ(Captions(2), QStringList({title, title}));
    EXPECT_TRUE(stored.startsWith("DSN=UserLite;") && Setting("lastDatabaseTitle2") == title);
    ASSERT_TRUE(Polled(2, 1));
    // A failed choice and a cancel leave the slot unconfigured and the stored database alone.
    Select(2, OdbcTestEnv::SqliteConnectionString(g_dir + "/missing.db"));
    Select(2, std::nullopt);
    EXPECT_EQ(Captions(2), QStringList({"Database 3", "Select Database"}));
    EXPECT_EQ(rig.notice.Texts().size(), 1);
    EXPECT_EQ(Setting("lastDatabase2") + Setting("lastDatabaseTitle2"), stored + title);
    // Chosen again, then its file moved away: unreachable, not a new empty file.
    Select(2, "DSN=UserLite");
    ASSERT_TRUE(Polled(2, 2) && QFile::rename(g_userDb, g_userDb + ".moved"));
    commands->PollNow(2);
    ASSERT_TRUE(Polled(2, 3));
    EXPECT_FALSE(QFile::exists(g_userDb));
    EXPECT_EQ(rig.view.LastColour(2), SlotColour::Unreachable);
    ASSERT_TRUE(QFile::rename(g_userDb + ".moved", g_userDb));
    commands->RemoveDatabase(2);
    EXPECT_TRUE(rig.monitor->IsConfigured(2)) << "answered No";
    window.answer = true;
    commands->RemoveDatabase(2);
    commands->RemoveDatabase(2);
    EXPECT_EQ(window.questions,
              QStringList(2, "Are you sure you want to stop monitoring " + title + "?"));
    EXPECT_FALSE(rig.monitor->HasProbe(2) || scheduler->IsArmed(2));
    EXPECT_EQ(Setting("lastDatabase2") + Setting("lastDatabaseTitle2"), "");
    EXPECT_EQ(Captions(2), QStringList({"Database 3", "Select Database"}));
}

TEST_F(ChooserTest, DatabaseFilesAreTitledByNameAndTwoOfOneNameStayApart) {
    const QString ledger = g_dir + "/ledger.db", sales = g_dir + "/sales/ledger.db";
    OdbcTestEnv::CreateSqliteDatabase(ledger);
    OdbcTestEnv::CreateSqliteDatabase(sales);
    Select(0, OdbcTestEnv::SqliteConnectionString(ledger));
    Select(1, OdbcTestEnv::SqliteConnectionString(sales));
    Select(2, OdbcTestEnv::SqliteConnectionString(g_dir + "/sales/../ledger.db"));
    EXPECT_EQ(Captions(0), QStringList({"ledger.db", "ledger.db"}));
    EXPECT_EQ(Captions(1), QStringList({"sales/ledger.db", "sales/ledger.db"}));
    EXPECT_EQ(rig.monitor->Title(2), "ledger.db") << "the same file, the same database";
    ASSERT_TRUE(Polled(1, 1));
    // An outage of one file is its own: its section, its log line, its alert.
    ASSERT_TRUE(QFile::remove(sales));
    commands->PollNow(1);
    ASSERT_TRUE(Polled(1, 2));
    EXPECT_EQ(SettingsStore::ReadInt("sales/ledger.db", "Warned", 0), 1);
    EXPECT_EQ(SettingsStore::ReadInt("ledger.db", "Warned", 0), 0);
    EXPECT_EQ(rig.ErrorLines(), QStringList({"Database unreachable: sales/ledger.db"}));
}

TEST_F(ChooserTest, AStringTheDriverMisreadsCreatesNoFile) {
    // The driver took the whole text for a file name and made that file.
    const QString before = QDir::currentPath();
    QDir::setCurrent(g_dir);
    Select(1, "DRIVER={SQLite3};ledger");
    EXPECT_FALSE(rig.monitor->IsConfigured(1));
    EXPECT_EQ(QDir(g_dir).entryList({"DRIVER*"}), QStringList());
    // Where that file exists, the driver's completion names a data source that does not: the
    // string that connected is kept instead.
    QFile(g_dir + "/NoCreat=1;DRIVER={SQLite3};ledger").open(QIODevice::WriteOnly);
    Select(1, "NoCreat=1;DRIVER={SQLite3};ledger");
    QDir::setCurrent(before);
    EXPECT_EQ(Setting("lastDatabase1"), "NoCreat=1;DRIVER={SQLite3};ledger");
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

// No display at all; without display, a platform that would need one.
std::unique_ptr<QProcess> Start(const QStringList& args = {}, bool display = true) {
    auto p = std::make_unique<QProcess>();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), display ? "offscreen" : "xcb");
    env.remove(QStringLiteral("DISPLAY"));
    p->setProcessEnvironment(env);
    if (display) // nobody reads a running window's pipes
        p->setProcessChannelMode(QProcess::ForwardedChannels);
    p->start(QStringLiteral(TRELLION_BINARY_DIR "/trellion"), args);
    return p;
}
// The window is initialised once it has written the entry; taken away for the next.
bool WaitUntilRunning() {
    for (int i = 0; i < 1500 && !QFile::exists(LogonStart::EntryPath()); ++i)
        QThread::msleep(20);
    return QFile::remove(LogonStart::EntryPath());
}
bool Ends(QProcess* p, int signal) {
    ::kill(static_cast<pid_t>(p->processId()), signal);
    return p->waitForFinished(30000) && p->exitStatus() == QProcess::NormalExit &&
           p->exitCode() == 0;
}

TEST(ProgramProcessTest, CommandLineAnswersWithoutADisplayAndNeverStartsTheMonitor) {
    const std::string version = "Trellion " TRELLION_VERSION "\n";
    // Arguments, exit status, standard output (whole; of the help its start), a part of stderr.
    const std::tuple<QStringList, int, std::string, QString> cases[] = {
        {{"--version"}, 0, version, {}},
        {{"-platform", "offscreen", "-v"}, 0, version, {}}, // Qt's own options pass
        {{"--help"}, 0, "Usage: trellion [options]\n", {}},
        {{"--bogus", "--version"}, 2, {}, "trellion: Unknown option 'bogus'."},
        {{"extra"}, 2, {}, "trellion: Unexpected argument 'extra'."},
    };
    for (const auto& [args, exitCode, out, err] : cases) {
        SCOPED_TRACE(qPrintable(args.join(' ')));
        const std::unique_ptr<QProcess> p = Start(args, false);
        ASSERT_TRUE(p->waitForFinished(30000));
        EXPECT_EQ(p->exitStatus() == QProcess::NormalExit ? p->exitCode() : -1, exitCode);
        const std::string printed = p->readAllStandardOutput().toStdString();
        EXPECT_EQ(printed.substr(0, args[0] == "--help" ? out.size() : printed.size()), out);
        EXPECT_TRUE(QString::fromLocal8Bit(p->readAllStandardError()).contains(err));
        EXPECT_EQ(printed.find("platform"), std::string::npos) << "Qt's options stay out of help";
    }
    EXPECT_FALSE(QFile::exists(LogonStart::EntryPath())) << "no window was made";
}

TEST(ProgramProcessTest, InstancesCountUpAndDownAndEndInOrderOnSignals) {
    ResetStore();
    const QString logs = qEnvironmentVariable("XDG_STATE_HOME");
    // A stale count from a crash; narrow, so a small virtual screen does not move the window.
    Write(QStringLiteral("AccessLogFile=%1/a.log|ErrorLogFile=%1/e.log|NumOpen=7|LocX=300|LocY=200|"
                         "ViewDetails=0")
              .arg(logs));
    const std::unique_ptr<QProcess> first = Start();
    ASSERT_TRUE(WaitUntilRunning());
    EXPECT_EQ(ReadInt("NumOpen"), 1) << "the first instance starts the count anew";
    // No server: the second opens the e-mail settings dialog shortly after its start.
    Write("SMTP=");
    const std::unique_ptr<QProcess> second = Start();
    ASSERT_TRUE(WaitUntilRunning());
    EXPECT_EQ(ReadInt("NumOpen"), 2);
    QThread::msleep(1500);
    ASSERT_TRUE(Ends(second.get(), SIGINT)) << "an open dialog does not keep the program";
    EXPECT_EQ(ReadInt("NumOpen"), 1);
    Write("LocX=-1");
    ASSERT_TRUE(Ends(first.get(), SIGTERM));
    EXPECT_EQ(ReadInt("NumOpen"), 0);
    EXPECT_EQ(ReadInt("LocX"), 300) << "the destruction steps ran";
}

} // namespace
