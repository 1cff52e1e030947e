#include "probe/DatabaseProbe.h"
#include "tests/common/OdbcTestEnv.h"
#include "tests/common/PgCluster.h"
#include "tests/common/SilentListener.h"
#include "tests/common/TestSupport.h"
#include "tests/ui/chooser/ChooserTestSupport.h"
#include "ui/DataSourceChooserDlg.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <sql.h>
#include <sqlext.h>

#include <algorithm>

using namespace ChooserTest;
using Source = CDataSourceChooserDlg::Source;

namespace {

QString g_userDb;
QString g_systemDb;
PgCluster* g_cluster = nullptr;

class ChooserDialogTest : public ::testing::Test {
protected:
    // Every data source is written before the first ODBC call: unixODBC keeps what it read of
    // odbc.ini for about 20 s, so a data source added or changed later would not be seen.
    static void SetUpTestSuite() {
        OdbcTestEnv::Install();
        g_cluster = new PgCluster;
        ASSERT_TRUE(g_cluster->Start()) << qPrintable(g_cluster->Dir());
        const QString dir = TestSupport::MakeTempDir(QStringLiteral("chooser"));
        g_userDb = dir + QStringLiteral("/user.db");
        g_systemDb = dir + QStringLiteral("/system.db");
        OdbcTestEnv::AddDsn(QStringLiteral("UserLite"), QStringLiteral("SQLite3"),
                            {{QStringLiteral("Database"), g_userDb}}, false);
        OdbcTestEnv::AddDsn(QStringLiteral("Warehouse"), QStringLiteral("SQLite3"),
                            {{QStringLiteral("Database"), g_systemDb}}, true);
        OdbcTestEnv::AddDsn(QStringLiteral("Ops"), QStringLiteral("PostgreSQL Unicode"),
                            {{QStringLiteral("Servername"), QStringLiteral("127.0.0.1")},
                             {QStringLiteral("Port"), QString::number(g_cluster->Port())},
                             {QStringLiteral("Database"), g_cluster->Database()}},
                            true);
        OdbcTestEnv::CreateSqliteDatabase(g_userDb);
        OdbcTestEnv::CreateSqliteDatabase(g_systemDb);
    }
    static void TearDownTestSuite() {
        delete g_cluster;
        g_cluster = nullptr;
    }

    void SetUp() override { CDatabaseProbe::SetLoginTimeoutSeconds(20); }
    void TearDown() override {
        CDatabaseProbe::SetLoginTimeoutSeconds(CDatabaseProbe::kLoginTimeoutSeconds);
    }

    // Runs `script` once the dialog's modal loop is up; ends the dialog (as a failure) if the
    // script left it open far too long, so that a broken dialog cannot hang the suite.
    static void WhenShown(CDataSourceChooserDlg& dlg, std::function<void()> script) {
        QTimer::singleShot(0, &dlg, std::move(script));
        QTimer::singleShot(120000, &dlg, [&dlg] {
            ADD_FAILURE() << "the dialog was still open after two minutes";
            dlg.done(QDialog::Rejected);
        });
    }

    static void Click(CDataSourceChooserDlg& dlg, QDialogButtonBox::StandardButton which) {
        ButtonsOf(&dlg)->button(which)->click();
    }
};

TEST_F(ChooserDialogTest, ListsUserThenSystemDataSourcesWithTheirDrivers) {
    CDataSourceChooserDlg dlg;
    EXPECT_EQ(dlg.windowTitle(), "Select Data Source");

    const QList<CDataSourceChooserDlg::DataSourceEntry> listed = dlg.ListedDataSources();
    ASSERT_EQ(listed.size(), 3);
    EXPECT_EQ(listed[0], (CDataSourceChooserDlg::DataSourceEntry{"UserLite", "SQLite3", false}));
    QList<CDataSourceChooserDlg::DataSourceEntry> system = listed.mid(1);
    std::sort(system.begin(), system.end(),
              [](const auto& a, const auto& b) { return a.name < b.name; });
    EXPECT_EQ(system[0],
              (CDataSourceChooserDlg::DataSourceEntry{"Ops", "PostgreSQL Unicode", true}));
    EXPECT_EQ(system[1], (CDataSourceChooserDlg::DataSourceEntry{"Warehouse", "SQLite3", true}));
    // With data sources to show, the dialog opens on them.
    EXPECT_EQ(dlg.CurrentSource(), Source::DataSource);

    QStringList drivers = dlg.ListedDrivers();
    drivers.sort();
    EXPECT_EQ(drivers, QStringList({"PostgreSQL Unicode", "SQLite3"}));

    // A refresh keeps the selection.
    ASSERT_TRUE(dlg.SelectDataSource("Warehouse"));
    dlg.Refresh();
    EXPECT_EQ(dlg.ListedDataSources(), listed);
    EXPECT_EQ(dlg.BuildConnectionString(), "DSN=Warehouse");
}

TEST_F(ChooserDialogTest, BuildsTheStringOfEachSource) {
    CDataSourceChooserDlg dlg;

    ASSERT_TRUE(dlg.SelectDataSource("UserLite"));
    EXPECT_EQ(dlg.BuildConnectionString(), "DSN=UserLite");

    dlg.SetDatabaseFile("/srv/data/sales 2024.db");
    EXPECT_EQ(dlg.CurrentSource(), Source::DatabaseFile);
    EXPECT_EQ(dlg.BuildConnectionString(),
              "DRIVER={SQLite3};Database=/srv/data/sales 2024.db;NoCreat=1");

    ASSERT_TRUE(dlg.SetDriver("PostgreSQL Unicode"));
    dlg.SetTypedAttributes("Server=127.0.0.1;Port=5432;Database=ops");
    EXPECT_EQ(dlg.CurrentSource(), Source::ConnectionString);
    EXPECT_EQ(dlg.BuildConnectionString(),
              "DRIVER={PostgreSQL Unicode};Server=127.0.0.1;Port=5432;Database=ops");
    // Nothing typed: the driver alone; stray separators in front are dropped.
    dlg.SetTypedAttributes("");
    EXPECT_EQ(dlg.BuildConnectionString(), "DRIVER={PostgreSQL Unicode}");
    dlg.SetTypedAttributes(" ;Database=ops ");
    EXPECT_EQ(dlg.BuildConnectionString(), "DRIVER={PostgreSQL Unicode};Database=ops");
    // A whole string typed with its own DRIVER, DSN or FILEDSN is taken as it is.
    dlg.SetTypedAttributes("DSN=Warehouse;Timeout=5");
    EXPECT_EQ(dlg.BuildConnectionString(), "DSN=Warehouse;Timeout=5");
    dlg.SetTypedAttributes("driver={SQLite3};Database=/tmp/x.db");
    EXPECT_EQ(dlg.BuildConnectionString(), "driver={SQLite3};Database=/tmp/x.db");
    EXPECT_EQ(CDataSourceChooserDlg::TypedString("Odd}Driver", "A=1"), "DRIVER={Odd}}Driver};A=1");
}

TEST_F(ChooserDialogTest, AddsUserNameAndPasswordOnlyWhenFilled) {
    CDataSourceChooserDlg dlg;
    dlg.SetDatabaseFile("/data/a.db");
    const QString base = "DRIVER={SQLite3};Database=/data/a.db;NoCreat=1";

    EXPECT_EQ(dlg.BuildConnectionString(), base);
    dlg.SetUserName("monitor");
    EXPECT_EQ(dlg.BuildConnectionString(), base + ";UID=monitor");
    dlg.SetPassword("s3cret");
    EXPECT_EQ(dlg.BuildConnectionString(), base + ";UID=monitor;PWD=s3cret");
    dlg.SetUserName("");
    EXPECT_EQ(dlg.BuildConnectionString(), base + ";PWD=s3cret");

    // A string that already ends in ';' gets no empty attribute.
    EXPECT_EQ(CDataSourceChooserDlg::WithCredentials("DSN=x;", "u", ""), "DSN=x;UID=u");
    EXPECT_EQ(CDataSourceChooserDlg::WithCredentials("", "u", "p"), "UID=u;PWD=p");

    // Braces only where a plain value would be misread; '}' doubled inside them.
    EXPECT_EQ(CDataSourceChooserDlg::WithCredentials("DSN=x", "o'brien", "a;b}c"),
              "DSN=x;UID=o'brien;PWD={a;b}}c}");
    EXPECT_EQ(CDataSourceChooserDlg::QuoteValue("b}r"), "b}r");
    EXPECT_EQ(CDataSourceChooserDlg::QuoteValue("{lead"), "{{lead}");
    EXPECT_EQ(CDataSourceChooserDlg::QuoteValue("x=y z"), "x=y z");
}

TEST_F(ChooserDialogTest, OkWithAMissingFieldWarnsAndKeepsTheDialogOpen) {
    CDataSourceChooserDlg dlg;
    QStringList warnings;
    dlg.SetWarningHandler([&](const QString& text) { warnings.append(text); });

    dlg.SetSource(Source::DatabaseFile);
    dlg.accept();
    dlg.SetDatabaseFile("/data/semi;colon.db");
    dlg.accept();
    dlg.SetSource(Source::ConnectionString);
    // Both data-source-less drivers gone: nothing to build a typed string on.
    dlg.findChild<QComboBox*>("driver")->clear();
    dlg.SetTypedAttributes("Server=x");
    dlg.accept();

    EXPECT_EQ(warnings, QStringList({"Please choose a database file.",
                                     "The path of the database file must not contain ';'.",
                                     "Please choose a driver."}));
    EXPECT_FALSE(dlg.AcceptedConnectionString().has_value());
    EXPECT_EQ(dlg.result(), QDialog::Rejected);

    // Shown modally: OK with no data source picked warns, the dialog stays; Cancel gives nothing.
    CDataSourceChooserDlg shown;
    QStringList shownWarnings;
    shown.SetWarningHandler([&](const QString& text) { shownWarnings.append(text); });
    bool stillOpen = false;
    WhenShown(shown, [&] {
        shown.SetSource(Source::DataSource);
        Click(shown, QDialogButtonBox::Ok);
        stillOpen = shown.isVisible();
        EXPECT_EQ(shown.focusWidget(), shown.findChild<QWidget*>("dataSources"));
        Click(shown, QDialogButtonBox::Cancel);
    });
    EXPECT_EQ(shown.ChooseDataSource(), std::nullopt);
    EXPECT_TRUE(stillOpen);
    EXPECT_EQ(shownWarnings, QStringList({"Please select a data source."}));
}

TEST_F(ChooserDialogTest, DatabaseFileMustExistAndIsStoredWithItsWholePath) {
    // The SQLite driver makes a missing file and connects to it: a mistyped path would be
    // "reachable" for ever while the real database is never polled.
    RecordingNotice notice;
    const QString dir = TestSupport::MakeTempDir(QStringLiteral("chooserfile"));
    const QString missing = dir + QStringLiteral("/typo.db");
    {
        CDataSourceChooserDlg dlg;
        QStringList warnings;
        dlg.SetWarningHandler([&](const QString& text) { warnings.append(text); });
        bool stillOpen = false;
        WhenShown(dlg, [&] {
            dlg.SetDatabaseFile(missing);
            Click(dlg, QDialogButtonBox::Ok);
            stillOpen = dlg.isVisible() && !dlg.IsBusy();
            EXPECT_EQ(dlg.focusWidget(), dlg.findChild<QWidget*>("databaseFile"));
            Click(dlg, QDialogButtonBox::Cancel);
        });
        const std::unique_ptr<CDatabaseProbe> probe = dlg.SelectAndConnect(&notice);
        EXPECT_TRUE(stillOpen);
        EXPECT_EQ(warnings, QStringList({"The database file does not exist."}));
        ASSERT_NE(probe, nullptr);
        EXPECT_FALSE(probe->HasConnection());
        EXPECT_FALSE(QFile::exists(missing));
    }
    {
        // A path typed relative to the current folder names the same file at the next start,
        // which may run elsewhere (the logon start runs in the home folder).
        const QString real = dir + QStringLiteral("/real.db");
        OdbcTestEnv::CreateSqliteDatabase(real);
        const QString before = QDir::currentPath();
        ASSERT_TRUE(QDir::setCurrent(dir));
        CDataSourceChooserDlg dlg;
        dlg.SetDatabaseFile(QStringLiteral("real.db"));
        const std::optional<QString> built = dlg.BuildConnectionString();
        dlg.accept();
        QDir::setCurrent(before);
        EXPECT_EQ(built, "DRIVER={SQLite3};Database=" + real + ";NoCreat=1");
        EXPECT_EQ(dlg.result(), QDialog::Accepted);
        EXPECT_EQ(dlg.AcceptedConnectionString(),
                  "DRIVER={SQLite3};Database=" + real + ";NoCreat=1");
    }
}

TEST_F(ChooserDialogTest, ChooseReturnsTheStringOnOkAndNothingOnCancel) {
    {
        // Without exec(): fill and accept programmatically.
        CDataSourceChooserDlg dlg;
        ASSERT_TRUE(dlg.SelectDataSource("Warehouse"));
        dlg.SetUserName("u;1");
        dlg.accept();
        EXPECT_EQ(dlg.result(), QDialog::Accepted);
        EXPECT_EQ(dlg.AcceptedConnectionString(), "DSN=Warehouse;UID={u;1}");
    }
    {
        CDataSourceChooserDlg dlg;
        WhenShown(dlg, [&] {
            dlg.SetDatabaseFile(g_userDb);
            Click(dlg, QDialogButtonBox::Ok);
        });
        EXPECT_EQ(dlg.ChooseDataSource(), "DRIVER={SQLite3};Database=" + g_userDb + ";NoCreat=1");
    }
    {
        // A second run of the same dialog forgets the first answer when cancelled.
        CDataSourceChooserDlg dlg;
        WhenShown(dlg, [&] {
            dlg.SetDatabaseFile(g_userDb);
            Click(dlg, QDialogButtonBox::Ok);
        });
        ASSERT_TRUE(dlg.ChooseDataSource().has_value());
        WhenShown(dlg, [&] { QTest::keyClick(&dlg, Qt::Key_Escape); });
        EXPECT_EQ(dlg.ChooseDataSource(), std::nullopt);
    }
}

TEST_F(ChooserDialogTest, CancelGivesTheUnconnectedProbeOfACancelledSelection) {
    RecordingNotice notice;
    CDataSourceChooserDlg dlg;
    WhenShown(dlg, [&] {
        dlg.SetDatabaseFile(g_userDb);
        Click(dlg, QDialogButtonBox::Cancel);
    });
    const std::unique_ptr<CDatabaseProbe> probe = dlg.SelectAndConnect(&notice);
    ASSERT_NE(probe, nullptr);
    EXPECT_FALSE(probe->HasConnection());
    EXPECT_EQ(probe->Title(), "Not Connected");
    EXPECT_EQ(probe->ConnectionString(), "");
    EXPECT_TRUE(notice.Texts().isEmpty());
}

TEST_F(ChooserDialogTest, ShowsItIsBusyAndStaysResponsiveWhileTheAttemptRuns) {
    SilentListener silent;
    ASSERT_NE(silent.Port(), 0);
    CDatabaseProbe::SetLoginTimeoutSeconds(2);
    RecordingNotice notice;
    CDataSourceChooserDlg dlg;
    QSignalSpy started(&dlg, &CDataSourceChooserDlg::ConnectionAttemptStarted);
    QSignalSpy finished(&dlg, &CDataSourceChooserDlg::ConnectionAttemptFinished);

    int ticksWhileBusy = 0;
    bool sawBusyState = false;
    bool escapeIgnored = false;
    QTimer ticker;
    ticker.setInterval(50);
    QObject::connect(&ticker, &QTimer::timeout, &dlg, [&] {
        if (!dlg.IsBusy())
            return;
        ++ticksWhileBusy;
        if (ticksWhileBusy == 3) {
            sawBusyState = !ButtonsOf(&dlg)->isEnabled() &&
                           !dlg.findChild<QLineEdit*>("password")->isEnabled() &&
                           dlg.findChild<QProgressBar*>()->isVisible();
            QTest::keyClick(&dlg, Qt::Key_Escape);
            dlg.reject();
            escapeIgnored = dlg.isVisible() && dlg.IsBusy();
        }
    });
    WhenShown(dlg, [&] {
        ASSERT_TRUE(dlg.SetDriver("PostgreSQL Unicode"));
        dlg.SetTypedAttributes(
            QStringLiteral("Server=127.0.0.1;Port=%1;Database=none").arg(silent.Port()));
        dlg.SetUserName("nobody");
        dlg.SetPassword("x");
        ticker.start();
        Click(dlg, QDialogButtonBox::Ok);
    });
    QElapsedTimer clock;
    clock.start();
    const std::unique_ptr<CDatabaseProbe> probe = dlg.SelectAndConnect(&notice);
    ticker.stop();

    EXPECT_EQ(started.size(), 1);
    EXPECT_EQ(finished.size(), 1);
    EXPECT_GE(silent.AcceptedCount(), 1);
    // The attempt lasted about the login time-out, and the loop ran all along.
    EXPECT_GE(clock.elapsed(), 1500);
    EXPECT_GE(ticksWhileBusy, 5);
    EXPECT_TRUE(sawBusyState);
    EXPECT_TRUE(escapeIgnored);
    EXPECT_FALSE(dlg.IsBusy());

    ASSERT_NE(probe, nullptr);
    EXPECT_FALSE(probe->HasConnection());
    EXPECT_EQ(probe->Title(), "Not Connected");
    const QStringList texts = notice.Texts();
    ASSERT_EQ(texts.size(), 1);
    EXPECT_TRUE(texts[0].startsWith("Could not connect to data source.\n\n"))
        << texts[0].toStdString();
    EXPECT_GT(texts[0].size(), QString("Could not connect to data source.\n\n").size());
}

TEST_F(ChooserDialogTest, SelectsARealSqliteFileAndDataSourceEndToEnd) {
    RecordingNotice notice;
    {
        CDataSourceChooserDlg dlg;
        WhenShown(dlg, [&] {
            dlg.SetDatabaseFile(g_userDb);
            Click(dlg, QDialogButtonBox::Ok);
        });
        const std::unique_ptr<CDatabaseProbe> probe = dlg.SelectAndConnect(&notice);
        ASSERT_NE(probe, nullptr);
        EXPECT_TRUE(probe->HasConnection());
        // The SQLite driver completes to "DSN=;Database=..." without its DRIVER, which could
        // not connect again; the string that did connect is what the slot keeps.
        EXPECT_EQ(probe->ConnectionString(),
                  "DRIVER={SQLite3};Database=" + g_userDb + ";NoCreat=1");
        QString error;
        ASSERT_TRUE(probe->Connect(probe->ConnectionString(), &error)) << error.toStdString();
        probe->Disconnect();
        // A database file that has gone is a failed connection, not a new empty database.
        const QString moved = g_userDb + QStringLiteral(".moved");
        ASSERT_TRUE(QFile::rename(g_userDb, moved));
        EXPECT_FALSE(probe->Connect(probe->ConnectionString(), &error));
        EXPECT_FALSE(QFile::exists(g_userDb));
        ASSERT_TRUE(QFile::rename(moved, g_userDb));
        ASSERT_TRUE(probe->Connect(probe->ConnectionString(), &error)) << error.toStdString();
        probe->Disconnect();
        EXPECT_EQ(probe->ServerName(), g_userDb);
        // No data source and no user: the title is the value of the driver's completed
        // string's first attribute, its empty "DSN=".
        EXPECT_EQ(probe->DataSourceName(), "");
        EXPECT_EQ(probe->Title(), "");
    }
    {
        CDataSourceChooserDlg dlg;
        WhenShown(dlg, [&] {
            ASSERT_TRUE(dlg.SelectDataSource("UserLite"));
            Click(dlg, QDialogButtonBox::Ok);
        });
        const std::unique_ptr<CDatabaseProbe> probe = dlg.SelectAndConnect(&notice);
        ASSERT_NE(probe, nullptr);
        EXPECT_TRUE(probe->HasConnection());
        EXPECT_TRUE(probe->ConnectionString().startsWith("DSN=UserLite;"));
        EXPECT_EQ(probe->Title(), "USERLITE(" + g_userDb + ")");
    }
    EXPECT_TRUE(notice.Texts().isEmpty()) << notice.Texts().join('|').toStdString();
}

// Runs statements on the cluster as its owner.
bool ExecAsOwner(const PgCluster& cluster, const QStringList& statements) {
    SQLHENV env = SQL_NULL_HENV;
    SQLHDBC dbc = SQL_NULL_HDBC;
    SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env);
    SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc);
    QByteArray in = cluster.DriverConnectionString().toUtf8();
    bool ok = SQL_SUCCEEDED(SQLDriverConnect(dbc, nullptr, reinterpret_cast<SQLCHAR*>(in.data()),
                                             SQL_NTS, nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT));
    if (ok) {
        SQLHSTMT stmt = SQL_NULL_HSTMT;
        SQLAllocHandle(SQL_HANDLE_STMT, dbc, &stmt);
        for (const QString& sql : statements) {
            QByteArray text = sql.toUtf8();
            ok = ok && SQL_SUCCEEDED(
                           SQLExecDirect(stmt, reinterpret_cast<SQLCHAR*>(text.data()), SQL_NTS));
            SQLFreeStmt(stmt, SQL_CLOSE);
        }
        SQLFreeHandle(SQL_HANDLE_STMT, stmt);
        SQLDisconnect(dbc);
    }
    SQLFreeHandle(SQL_HANDLE_DBC, dbc);
    SQLFreeHandle(SQL_HANDLE_ENV, env);
    return ok;
}

TEST_F(ChooserDialogTest, SelectsARealPostgresDataSourceWithALoginEndToEnd) {
    ASSERT_NE(g_cluster, nullptr);
    // A password that needs braces and a doubled '}' in the connection string.
    const QString password = "w;tch}er{pw";
    ASSERT_TRUE(ExecAsOwner(*g_cluster, {"DROP ROLE IF EXISTS watcher",
                                         "CREATE ROLE watcher LOGIN PASSWORD 'w;tch}er{pw'"}));

    RecordingNotice notice;
    CDataSourceChooserDlg dlg;
    WhenShown(dlg, [&] {
        ASSERT_TRUE(dlg.SelectDataSource("Ops"));
        dlg.SetUserName("watcher");
        dlg.SetPassword(password);
        Click(dlg, QDialogButtonBox::Ok);
    });
    const std::unique_ptr<CDatabaseProbe> probe = dlg.SelectAndConnect(&notice);
    ASSERT_NE(probe, nullptr);
    EXPECT_EQ(dlg.AcceptedConnectionString(), "DSN=Ops;UID=watcher;PWD={w;tch}}er{pw}");
    ASSERT_TRUE(probe->HasConnection()) << notice.Texts().join('|').toStdString();
    EXPECT_TRUE(notice.Texts().isEmpty());
    EXPECT_EQ(probe->UserName(), "watcher");
    EXPECT_EQ(probe->Title(), "watcher@OPS(127.0.0.1)");

    // The completed string is what a poll connects with later, without any dialog.
    QString error;
    ASSERT_TRUE(probe->Connect(probe->ConnectionString(), &error)) << error.toStdString();
    probe->Disconnect();

    // The wrong password: the driver's message in the notice, and no connection.
    CDataSourceChooserDlg wrong;
    WhenShown(wrong, [&] {
        ASSERT_TRUE(wrong.SelectDataSource("Ops"));
        wrong.SetUserName("watcher");
        wrong.SetPassword("w;tch}er");
        Click(wrong, QDialogButtonBox::Ok);
    });
    const std::unique_ptr<CDatabaseProbe> refused = wrong.SelectAndConnect(&notice);
    EXPECT_FALSE(refused->HasConnection());
    const QStringList texts = notice.Texts();
    ASSERT_EQ(texts.size(), 1);
    EXPECT_TRUE(texts[0].startsWith("Could not connect to data source.\n\n"));
    EXPECT_TRUE(texts[0].contains("password authentication failed")) << texts[0].toStdString();
}

} // namespace
