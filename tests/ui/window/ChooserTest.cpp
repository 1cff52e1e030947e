// "Select Data Source" and the Select, Del and Poll commands on SQLite and a private PostgreSQL
// cluster, with the engine's recording view in place of the window.
#include "monitor/PollScheduler.h"
#include "monitor/SlotMonitor.h"
#include "probe/ConnectionStrings.h"
#include "probe/DatabaseProbe.h"
#include "settings/SettingsStore.h"
#include "tests/common/DbServer.h"
#include "tests/common/OdbcTestEnv.h"
#include "tests/common/TestSupport.h"
#include "tests/monitor/MonitorTestSupport.h"
#include "tests/ui/window/WindowTestSupport.h"
#include "ui/DataSourceChooserDlg.h"
#include "ui/DatabaseCommands.h"

#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <optional>

namespace {

using WindowTestSupport::WaitUntil;

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
    EXPECT_EQ(ConnectionStrings::WithDriver("Odd}Driver", " ;A=1"), "DRIVER={Odd}}Driver};A=1");
    // Braces only where a plain value would be misread, '}' doubled inside them.
    EXPECT_EQ(ConnectionStrings::WithCredentials("DSN=Ops;", "o'brien", "{a;b}c"),
              "DSN=Ops;UID=o'brien;PWD={{a;b}}c}");
    EXPECT_EQ(ConnectionStrings::WithCredentials("", "", "x=y z"), "PWD=x=y z");
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

} // namespace
