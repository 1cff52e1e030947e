// "Select Data Source" and "New Data Source" offscreen with the real drivers, a private ODBC
// configuration and private PostgreSQL and MariaDB servers: a failed attempt keeps the chooser
// open with the driver's reason, the example text follows the driver, a file that is no
// database is refused, and a new user data source is written, listed, selected and connects.
#include "monitor/PollScheduler.h"
#include "monitor/SlotMonitor.h"
#include "probe/DatabaseProbe.h"
#include "probe/OdbcConfig.h"
#include "settings/SettingsStore.h"
#include "tests/common/DbServer.h"
#include "tests/common/OdbcTestEnv.h"
#include "tests/common/RecordingNotice.h"
#include "tests/common/TestSupport.h"
#include "tests/monitor/MonitorTestSupport.h"
#include "tests/probe/ProbeDoubles.h"
#include "ui/DataSourceChooserDlg.h"
#include "ui/DatabaseCommands.h"
#include "ui/NewDataSourceDlg.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include <gtest/gtest.h>

#include <unistd.h>

#include <array>
#include <functional>

namespace {

using Kind = DbServer::Kind;

DbServer* g_pg = nullptr;
DbServer* g_maria = nullptr;
QString g_dir;
QString g_textFile; // a text file where a database should be
QString g_dbFile;   // a real SQLite database

void WriteFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size())
        << path.toStdString();
}

QString UserIni() {
    return QString::fromLocal8Bit(qgetenv("ODBCINI"));
}

QString ServerAttributes(const DbServer& server) {
    return QString("Server=127.0.0.1;Port=%1;Database=%2")
        .arg(server.Port())
        .arg(server.Database());
}

void Click(QDialog& dialog, QDialogButtonBox::StandardButton button) {
    dialog.findChild<QDialogButtonBox*>()->button(button)->click();
}

class DataSourceForms : public ::testing::Test {
protected:
    // Everything is registered before the first ODBC call: unixODBC keeps what it read.
    static void SetUpTestSuite() {
        OdbcTestEnv::Install();
        g_dir = TestSupport::MakeTempDir(QStringLiteral("forms"));
        g_textFile = g_dir + "/odbcinst.ini";
        WriteFile(g_textFile, "[SQLite3]\nDriver = libsqlite3odbc.so\n");
        g_dbFile = OdbcTestEnv::CreateSqliteDatabase(g_dir + "/ledger.db");
        OdbcTestEnv::AddDsn("TextLite", "SQLite3", {{"Database", g_textFile}});
        OdbcTestEnv::AddDsn("Taken", "SQLite3", {{"Database", g_dbFile}}, /*system=*/true);
        // Judged by its library, not its name; and one the form has nothing for.
        OdbcTestEnv::AddDriver("Ledger Server", "psqlodbcw.so");
        OdbcTestEnv::AddDriver("Acme Warehouse", "libacme-warehouse.so");
        g_pg = new DbServer(Kind::Postgres);
        g_maria = new DbServer(Kind::MariaDb);
        ASSERT_TRUE(g_pg->Start());
        ASSERT_TRUE(g_maria->Start());
    }
    static void TearDownTestSuite() {
        delete g_pg;
        delete g_maria;
    }
};

// A selection whose attempt fails stays in the chooser with the driver's reason; the user then
// corrects the password (or gives up), and nothing goes to the window's notice.
TEST_F(DataSourceForms, AFailedAttemptKeepsTheChooserOpenWithTheDriversReason) {
    const struct {
        const char* name;
        std::function<void(CDataSourceChooserDlg&)> fill;
        QString reason;
        std::function<void(CDataSourceChooserDlg&)> then; // after the failure
        bool connected;
    } cases[] = {
        {"wrong password, then the right one",
         [](CDataSourceChooserDlg& dlg) {
             dlg.SetDriver(g_pg->Driver());
             dlg.SetTypedAttributes(ServerAttributes(*g_pg));
             dlg.SetUserName(g_pg->User());
             dlg.SetPassword("wrong");
         },
         "password authentication failed",
         [](CDataSourceChooserDlg& dlg) {
             dlg.SetPassword(g_pg->Password());
             Click(dlg, QDialogButtonBox::Ok);
         },
         true},
        {"a text file as a data source, then Cancel",
         [](CDataSourceChooserDlg& dlg) { dlg.SelectDataSource("TextLite"); },
         "file is not a database",
         [](CDataSourceChooserDlg& dlg) { Click(dlg, QDialogButtonBox::Cancel); }, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CDataSourceChooserDlg dlg;
        // Every attempt connects with the options given, on the dialog's worker thread.
        auto connector = std::make_shared<SteppedConnector>();
        dlg.SetProbeOptions(ProbeOptions{5, connector});
        RecordingNotice notice;
        int finished = 0;
        bool openAfterFailure = false;
        QString shown;
        QWidget* focusAfterFailure = nullptr;
        QObject::connect(&dlg, &CDataSourceChooserDlg::ConnectionAttemptFinished, &dlg, [&] {
            if (++finished != 1)
                return;
            openAfterFailure = dlg.isVisible();
            shown = dlg.FailureText();
            focusAfterFailure = QApplication::focusWidget();
            QTimer::singleShot(0, &dlg, [&] { c.then(dlg); });
        });
        QTimer::singleShot(0, &dlg, [&] {
            c.fill(dlg);
            Click(dlg, QDialogButtonBox::Ok);
        });
        // Should the dialog wrongly wait for more, the test ends instead of hanging.
        QTimer::singleShot(120000, &dlg, [&] { dlg.done(QDialog::Rejected); });
        const std::unique_ptr<CDatabaseProbe> probe = dlg.SelectAndConnect(&notice);

        EXPECT_TRUE(openAfterFailure);
        EXPECT_TRUE(shown.startsWith("Could not connect to data source.\n\n"))
            << shown.toStdString();
        EXPECT_TRUE(shown.contains(c.reason)) << shown.toStdString();
        EXPECT_EQ(focusAfterFailure, dlg.findChild<QLineEdit*>("password"));
        EXPECT_EQ(finished, c.connected ? 2 : 1);
        EXPECT_EQ(probe->HasConnection(), c.connected);
        EXPECT_EQ(probe->Options().connector, connector);
        EXPECT_EQ(probe->Options().loginTimeoutSeconds, 5);
        EXPECT_GE(connector->Connects(), c.connected ? 2 : 1);
        if (c.connected)
            EXPECT_EQ(probe->UserName(), g_pg->User());
        else
            EXPECT_EQ(probe->Title(), "Not Connected");
        EXPECT_EQ(notice.Texts(), QStringList());
    }
}

// The example in the empty Connection String field is one for the chosen driver.
TEST_F(DataSourceForms, TheExampleTextFollowsTheChosenDriver) {
    CDataSourceChooserDlg dlg;
    const auto* attributes = dlg.findChild<QLineEdit*>("attributes");
    const struct {
        QString driver, example;
    } cases[] = {
        {"PostgreSQL Unicode", "Server=localhost;Port=5432;Database=name"},
        {"MariaDB Unicode", "Server=localhost;Port=3306;Database=name"},
        {"SQLite3", "Database=/path/to/file.db"},
        {"Ledger Server", "Server=localhost;Port=5432;Database=name"},
        {"Acme Warehouse", "Attribute=value;Attribute=value"},
        {"PostgreSQL Unicode", "Server=localhost;Port=5432;Database=name"},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(dlg.SetDriver(c.driver)) << c.driver.toStdString();
        EXPECT_EQ(attributes->placeholderText(), c.example) << c.driver.toStdString();
    }
}

// The Database File tab takes a SQLite database or an empty file (a new database) and refuses
// a missing file, a text file and a file cut inside the header, each with its own text.
TEST_F(DataSourceForms, TheDatabaseFileTabRefusesAFileThatIsNoDatabase) {
    const QString empty = g_dir + "/new.db", cut = g_dir + "/cut.db", locked = g_dir + "/locked.db";
    WriteFile(empty, "");
    WriteFile(cut, "SQLite format 3"); // the header without its closing NUL
    QFile::copy(g_dbFile, locked);
    QFile::setPermissions(locked, QFileDevice::WriteOwner);
    const bool root = geteuid() == 0; // reads any file
    const struct {
        QString file, warning; // warning empty: accepted
    } cases[] = {
        {g_dbFile, ""},
        {empty, ""},
        {g_dir + "/typo.db", "The database file does not exist."},
        {g_textFile, "The file '" + g_textFile + "' is not a SQLite database."},
        {cut, "The file '" + cut + "' is not a SQLite database."},
        {locked,
         root ? "" : "The database file '" + locked + "' cannot be read: Permission denied"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file.toStdString());
        CDataSourceChooserDlg dlg;
        QStringList warnings;
        dlg.SetWarningHandler([&](const QString& text) { warnings << text; });
        dlg.SetDatabaseFile(c.file);
        dlg.accept();
        EXPECT_EQ(warnings, c.warning.isEmpty() ? QStringList() : QStringList(c.warning));
        EXPECT_EQ(dlg.AcceptedConnectionString().has_value(), c.warning.isEmpty());
    }
}

// The user clicks "New..." in the chooser and fills the form; fill returns nothing to click OK.
QString MakeWithForm(CDataSourceChooserDlg& chooser,
                     const std::function<void(CNewDataSourceDlg&)>& fill) {
    QString created;
    QTimer::singleShot(0, &chooser, [&] {
        auto* form = qobject_cast<CNewDataSourceDlg*>(QApplication::activeModalWidget());
        if (!form) {
            ADD_FAILURE() << "no form opened";
            return;
        }
        fill(*form);
        Click(*form, QDialogButtonBox::Ok);
        created = form->CreatedName();
        if (form->isVisible())
            Click(*form, QDialogButtonBox::Cancel);
    });
    chooser.findChild<QPushButton*>("newDataSource")->click();
    return created;
}

// A new data source of each kind is written to the user's odbc.ini without its password, shows
// in the list selected, and connects with the password given in the chooser.
TEST_F(DataSourceForms, NewDataSourcesAreWrittenListedSelectedAndConnect) {
    const struct {
        QString name;
        DbServer* server; // null: SQLite
    } cases[] = {{"Sales PG", g_pg}, {"sales_maria", g_maria}, {"Ledger.File", nullptr}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name.toStdString());
        CDataSourceChooserDlg chooser;
        const QString driver = c.server ? c.server->Driver() : QString("SQLite3");
        const QString created = MakeWithForm(chooser, [&](CNewDataSourceDlg& form) {
            form.SetName(c.name);
            ASSERT_TRUE(form.SetDriver(driver));
            if (c.server) {
                form.SetServer("127.0.0.1");
                form.SetPort(QString::number(c.server->Port()));
                form.SetDatabase(c.server->Database());
                form.SetUserName(c.server->User());
            } else {
                form.SetDatabaseFile(g_dbFile);
            }
        });
        EXPECT_EQ(created, c.name);
        EXPECT_TRUE(chooser.ListedDataSources().contains({c.name, driver, false}));
        // Selected: OK would connect through it; the password is the chooser's.
        if (c.server)
            chooser.SetPassword(c.server->Password());
        const std::optional<QString> chosen = chooser.BuildConnectionString();
        ASSERT_TRUE(chosen.has_value());
        EXPECT_TRUE(chosen->startsWith("DSN=" + c.name)) << chosen->toStdString();
        RecordingNotice notice;
        const auto probe = CreateSelectedProbe(chosen, &notice);
        EXPECT_TRUE(probe->HasConnection()) << notice.Texts().join('|').toStdString();
        // A file that goes missing must not be made anew by any program using the data source.
        EXPECT_EQ(OdbcConfig::ProfileString(c.name, "NoCreat", "ODBC.INI"), c.server ? "" : "1");
        if (c.server) {
            EXPECT_EQ(probe->UserName(), c.server->User()) << "the user comes from the file";
            EXPECT_EQ(probe->DatabaseName(), c.server->Database());
        }
    }
    const QByteArray ini = TestSupport::ReadFile(UserIni());
    EXPECT_FALSE(ini.contains(g_pg->Password().toUtf8()) ||
                 ini.contains(g_maria->Password().toUtf8()));
    EXPECT_TRUE(ini.contains("[Sales PG]") && ini.contains("[Ledger.File]")) << ini.toStdString();
    const QByteArray system = TestSupport::ReadFile(OdbcTestEnv::Install() + "/odbc.ini");
    EXPECT_FALSE(system.contains("Sales PG")) << "a user data source, not a system one";
}

// The form offers only drivers it can describe, and refuses in order of its fields: nothing is
// written until all is well.
TEST_F(DataSourceForms, TheNewFormRefusesBadNamesAndFieldsAndWritesNothing) {
    CNewDataSourceDlg offer;
    EXPECT_TRUE(offer.OfferedDrivers().contains("Ledger Server"));
    EXPECT_TRUE(offer.OfferedDrivers().contains("SQLite3"));
    EXPECT_FALSE(offer.OfferedDrivers().contains("Acme Warehouse"));
    const QString invalid = "' is not a valid data source name: at most 32 characters, none of "
                            "[ ] { } ( ) , ; ? * = ! @ \\, and not DEFAULT.";
    const struct {
        QString name, driver, server, port, database, file, warning;
    } cases[] = {
        {"", "PostgreSQL Unicode", "h", "5432", "d", "",
         "Please enter a name for the data source."},
        {"a;b", "PostgreSQL Unicode", "h", "5432", "d", "", "'a;b" + invalid},
        {"x=1", "PostgreSQL Unicode", "h", "5432", "d", "", "'x=1" + invalid},
        {"default", "SQLite3", "", "", "", g_dbFile, "'default" + invalid},
        {"taken", "SQLite3", "", "", "", g_dbFile, "A data source named 'Taken' already exists."},
        {"textlite", "SQLite3", "", "", "", g_dbFile,
         "A data source named 'TextLite' already exists."},
        {"Fresh", "PostgreSQL Unicode", " ", "5432", "d", "", "Please enter the server."},
        {"Fresh", "MariaDB Unicode", "h", "3306", "", "", "Please enter the database."},
        {"Fresh", "PostgreSQL Unicode", "h", "70000", "d", "",
         "The port must be a number from 1 to 65535."},
        {"Fresh", "PostgreSQL Unicode", "h", "0", "d", "",
         "The port must be a number from 1 to 65535."},
        {"Fresh", "SQLite3", "", "", "", "", "Please choose a database file."},
        {"Fresh", "SQLite3", "", "", "", g_textFile,
         "The file '" + g_textFile + "' is not a SQLite database."},
    };
    // The name field stops at 32 characters; the rule itself counts the bytes.
    EXPECT_EQ(CNewDataSourceDlg::NameProblem(QString(32, u'n')), "");
    EXPECT_EQ(CNewDataSourceDlg::NameProblem(QString(31, u'n') + "é"),
              "'" + QString(31, u'n') + "é" + invalid);
    const QByteArray before = TestSupport::ReadFile(UserIni());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.warning.toStdString());
        CNewDataSourceDlg form;
        QStringList warnings;
        form.SetWarningHandler([&](const QString& text) { warnings << text; });
        form.SetName(c.name);
        ASSERT_TRUE(form.SetDriver(c.driver));
        form.SetServer(c.server);
        form.SetPort(c.port);
        form.SetDatabase(c.database);
        form.SetDatabaseFile(c.file);
        form.accept();
        EXPECT_EQ(warnings, QStringList(c.warning));
        EXPECT_EQ(form.CreatedName(), "");
    }
    EXPECT_EQ(TestSupport::ReadFile(UserIni()), before);
}

struct YesWindow : IDatabaseCommandsWindow {
    bool AskYesNo(const QString&) override { return true; }
    void ApplyWindowLayout() override {}
};

// Two databases of one server and user, selected into two slots, keep apart: an outage of one
// is its own (its section's "Warned", its error line) while the other stays quiet, and both
// titles come back after a restart.
TEST_F(DataSourceForms, TwoDatabasesOfOneServerAndUserKeepTheirOwnAlertStates) {
    ASSERT_EQ(OdbcTestEnv::ExecSql(g_pg->DriverConnectionString(),
                                   {"DROP DATABASE IF EXISTS sales", "CREATE DATABASE sales",
                                    "DROP DATABASE IF EXISTS ledger", "CREATE DATABASE ledger"}),
              "");
    MonitorRig rig;
    auto scheduler = rig.MakeScheduler();
    YesWindow window;
    auto commands = std::make_unique<CDatabaseCommands>(scheduler.get(), rig.monitor.get(), &window,
                                                        &rig.notice);
    std::optional<QString> choice;
    commands->SetProbeMaker([&](INotice* notice) { return CreateSelectedProbe(choice, notice); });
    std::array<int, 2> ended{};
    QObject::connect(scheduler.get(), &PollScheduler::PollEnded,
                     [&](int slot) { ++ended.at(slot); });
    const auto pollBoth = [&](int total) {
        commands->PollNow(0);
        commands->PollNow(1);
        return TestSupport::WaitUntil(
            [&] {
                return ended[0] >= total && ended[1] >= total && !scheduler->IsPolling(0) &&
                       !scheduler->IsPolling(1);
            },
            60000);
    };
    const QStringList databases = {"sales", "ledger"};
    for (int slot = 0; slot < 2; ++slot) {
        choice = g_pg->DriverConnectionString().replace("Database=" + g_pg->Database() + ";",
                                                        "Database=" + databases[slot] + ";");
        commands->SelectDatabase(slot);
        ASSERT_TRUE(rig.monitor->IsConfigured(slot)) << rig.notice.Texts().join('|').toStdString();
    }
    const QString sales = rig.monitor->Title(0), ledger = rig.monitor->Title(1);
    EXPECT_TRUE(sales.startsWith(g_pg->User() + "@(127.0.0.1") && sales.endsWith(")/sales"))
        << sales.toStdString();
    EXPECT_EQ(ledger.chopped(6) + "sales", sales);
    ASSERT_TRUE(pollBoth(1));

    ASSERT_EQ(OdbcTestEnv::ExecSql(g_pg->DriverConnectionString(),
                                   {"ALTER DATABASE ledger ALLOW_CONNECTIONS false"}),
              "");
    ASSERT_TRUE(pollBoth(2));
    EXPECT_EQ(SettingsStore::ReadInt(ledger, "Warned", -1), 1);
    EXPECT_EQ(SettingsStore::ReadInt(sales, "Warned", 0), 0);
    EXPECT_EQ(rig.ErrorLines(), QStringList({"Database unreachable: " + ledger}));

    ASSERT_EQ(OdbcTestEnv::ExecSql(g_pg->DriverConnectionString(),
                                   {"ALTER DATABASE ledger ALLOW_CONNECTIONS true"}),
              "");
    ASSERT_TRUE(pollBoth(3));
    EXPECT_EQ(SettingsStore::ReadInt(ledger, "Warned", -1), 0);
    EXPECT_EQ(rig.ErrorLines().size(), 1);

    // The scheduler and the commands work on the monitor that a restart replaces.
    commands.reset();
    scheduler.reset();
    rig.Restart();
    EXPECT_EQ(rig.monitor->Title(0), sales);
    EXPECT_EQ(rig.monitor->Title(1), ledger);
}

} // namespace
