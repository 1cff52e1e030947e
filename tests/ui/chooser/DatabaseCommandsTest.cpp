#include "ui/DatabaseCommands.h"
#include "log/LogWriter.h"
#include "mail/SmtpClient.h"
#include "monitor/DatabaseSlot.h"
#include "monitor/PollScheduler.h"
#include "monitor/SlotMonitor.h"
#include "probe/DatabaseProbe.h"
#include "settings/SettingsStore.h"
#include "tests/common/OdbcTestEnv.h"
#include "tests/common/SilentListener.h"
#include "tests/common/SmtpSink.h"
#include "tests/common/TestSupport.h"
#include "tests/ui/chooser/ChooserTestSupport.h"
#include "ui/DataSourceChooserDlg.h"

#include <QFile>
#include <QSignalSpy>

#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <optional>

using namespace ChooserTest;
using Field = IMonitorView::SlotField;

namespace {

QString g_db;      // a SQLite file behind the data source "Stock"
QString g_otherDb; // a second one behind "Orders"

QString Setting(const QString& key) {
    return SettingsStore::ReadString(SettingsStore::kSettings, key, QStringLiteral("<unset>"));
}

// The engine and window pieces the commands work with: a real monitor and scheduler, a
// recording window, and the user's answer to the chooser given by the test.
class DatabaseCommandsTest : public ::testing::Test {
protected:
    // Once per process, for every suite here: unixODBC keeps what it read of odbc.ini for
    // about 20 s, so a data source rewritten later would still be seen with its old values.
    static void SetUpTestSuite() {
        static const bool once = [] {
            OdbcTestEnv::Install();
            const QString dir = TestSupport::MakeTempDir(QStringLiteral("commands"));
            g_db = dir + QStringLiteral("/stock.db");
            g_otherDb = dir + QStringLiteral("/orders.db");
            OdbcTestEnv::AddDsn(QStringLiteral("Stock"), QStringLiteral("SQLite3"),
                                {{QStringLiteral("Database"), g_db},
                                 {QStringLiteral("NoCreat"), QStringLiteral("1")}});
            OdbcTestEnv::AddDsn(QStringLiteral("Orders"), QStringLiteral("SQLite3"),
                                {{QStringLiteral("Database"), g_otherDb}});
            OdbcTestEnv::CreateSqliteDatabase(g_db);
            OdbcTestEnv::CreateSqliteDatabase(g_otherDb);
            return true;
        }();
        (void)once;
    }

    void SetUp() override {
        QFile::remove(SettingsStore::FilePath());
        m_dir = TestSupport::MakeTempDir(QStringLiteral("rig"));
        m_log = std::make_shared<LogWriter>(&m_notice);
        m_log->SetSettings({m_dir + QStringLiteral("/access.log"),
                            m_dir + QStringLiteral("/error.log"), true, true});
        m_smtp = std::make_shared<SmtpClient>(&m_notice);
        m_monitor = std::make_unique<SlotMonitor>(&m_view, m_log, m_smtp);
        m_monitor->SetTrayFrameMs(1);
        m_scheduler = std::make_unique<PollScheduler>(m_monitor.get(), &m_view);
        m_commands = std::make_unique<CDatabaseCommands>(m_scheduler.get(), m_monitor.get(),
                                                         &m_window, &m_notice);
        QObject::connect(m_scheduler.get(), &PollScheduler::PollEnded,
                         [this](int slot) { ++m_ended[slot]; });
        m_commands->SetProbeMaker(
            [this](INotice* notice) { return CreateSelectedProbe(m_choice, notice); });
    }

    void TearDown() override {
        m_commands.reset();
        m_scheduler.reset(); // waits for running polls
        m_monitor.reset();
        CDatabaseProbe::SetLoginTimeoutSeconds(CDatabaseProbe::kLoginTimeoutSeconds);
    }

    // Select Database with the user picking `choice` (nothing: Cancel).
    void Select(int slot, std::optional<QString> choice) {
        m_choice = std::move(choice);
        m_commands->SelectDatabase(slot);
    }

    // Waits until the slot's polls ended so far number `total` and none is running.
    bool WaitForPolls(int slot, int total, int timeoutMs = 30000) {
        return WaitUntil([&] { return m_ended[slot] >= total && !m_scheduler->IsPolling(slot); },
                         timeoutMs);
    }

    QString m_dir;
    RecordingView m_view;
    RecordingNotice m_notice;
    ScriptedWindow m_window;
    std::shared_ptr<LogWriter> m_log;
    std::shared_ptr<SmtpClient> m_smtp;
    std::unique_ptr<SlotMonitor> m_monitor;
    std::unique_ptr<PollScheduler> m_scheduler;
    std::unique_ptr<CDatabaseCommands> m_commands;
    std::optional<QString> m_choice;
    std::array<int, 4> m_ended{};
};

TEST_F(DatabaseCommandsTest, SelectStoresTheDatabaseCaptionsItAndPollsItSoon) {
    QSignalSpy started(m_scheduler.get(), &PollScheduler::PollStarted);
    Select(2, QStringLiteral("DSN=Stock"));

    // The title by the probe's rules: data source name in upper case, the server (the SQLite
    // driver names the file) in parentheses, no user.
    const QString title = "STOCK(" + g_db + ")";
    EXPECT_EQ(m_monitor->Title(2), title);
    EXPECT_TRUE(m_monitor->IsConfigured(2));
    EXPECT_TRUE(Setting("lastDatabase2").startsWith("DSN=Stock;"))
        << Setting("lastDatabase2").toStdString();
    EXPECT_EQ(Setting("lastDatabase2"), m_monitor->Probe(2)->ConnectionString());
    EXPECT_EQ(Setting("lastDatabaseTitle2"), title);
    EXPECT_EQ(Setting("lastDatabase0"), "<unset>");
    EXPECT_EQ(m_view.CaptionsOf(2).group, title);
    EXPECT_EQ(m_view.CaptionsOf(2).button, title);

    // Polled about 100 ms later.
    EXPECT_TRUE(m_scheduler->IsArmed(2));
    EXPECT_LE(m_scheduler->RemainingMs(2), PollScheduler::kFirstTickMs);
    ASSERT_TRUE(WaitUntil([&] { return started.size() >= 1; }, 10000));
    EXPECT_EQ(started.first().first().toInt(), 2);
    ASSERT_TRUE(WaitForPolls(2, 1));
    ASSERT_EQ(m_monitor->History(2).size(), 1);
    EXPECT_GE(m_monitor->History(2).first().elapsed, 0.0);
    EXPECT_EQ(m_view.Colour(2), IMonitorView::kColourReachable);
    EXPECT_TRUE(m_notice.Texts().isEmpty()) << m_notice.Texts().join('|').toStdString();
}

TEST_F(DatabaseCommandsTest, FailedSelectionShowsTheDriverMessageAndKeepsTheStoredDatabase) {
    Select(1, QStringLiteral("DSN=Orders"));
    ASSERT_TRUE(m_monitor->IsConfigured(1));
    const QString stored = Setting("lastDatabase1");
    const QString storedTitle = Setting("lastDatabaseTitle1");
    ASSERT_TRUE(WaitForPolls(1, 1));

    Select(1, OdbcTestEnv::SqliteConnectionString(m_dir + QStringLiteral("/missing.db")));

    const QStringList texts = m_notice.Texts();
    ASSERT_EQ(texts.size(), 1);
    const QString prefix = "Could not connect to data source.\n\n";
    EXPECT_TRUE(texts[0].startsWith(prefix)) << texts[0].toStdString();
    EXPECT_GT(texts[0].size(), prefix.size());
    EXPECT_EQ(m_view.CaptionsOf(1).group, "Database 2");
    EXPECT_EQ(m_view.CaptionsOf(1).button, "Select Database");
    // The failed probe holds the slot, unconfigured; the earlier database stays stored.
    EXPECT_TRUE(m_monitor->HasProbe(1));
    EXPECT_FALSE(m_monitor->IsConfigured(1));
    EXPECT_EQ(m_monitor->Title(1), "Not Connected");
    EXPECT_EQ(Setting("lastDatabase1"), stored);
    EXPECT_EQ(Setting("lastDatabaseTitle1"), storedTitle);
}

TEST_F(DatabaseCommandsTest, CancelAfterAnEarlierSelectionShowsNoBoxAndKeepsTheKeys) {
    Select(0, QStringLiteral("DSN=Stock"));
    ASSERT_TRUE(WaitForPolls(0, 1));
    const QString stored = Setting("lastDatabase0");
    const QString storedTitle = Setting("lastDatabaseTitle0");
    const int samples = m_view.Samples(0);

    QSignalSpy started(m_scheduler.get(), &PollScheduler::PollStarted);
    Select(0, std::nullopt);

    EXPECT_TRUE(m_notice.Texts().isEmpty());
    EXPECT_EQ(m_view.CaptionsOf(0).group, "Database 1");
    EXPECT_EQ(m_view.CaptionsOf(0).button, "Select Database");
    EXPECT_EQ(Setting("lastDatabase0"), stored);
    EXPECT_EQ(Setting("lastDatabaseTitle0"), storedTitle);
    EXPECT_TRUE(m_monitor->HasProbe(0));
    EXPECT_FALSE(m_monitor->IsConfigured(0));

    // The slot is not probed until the stored database is restored at the next start.
    m_commands->PollNow(0);
    ASSERT_TRUE(WaitUntil([&] { return started.size() >= 1; }, 10000));
    ASSERT_TRUE(WaitForPolls(0, 2));
    EXPECT_EQ(m_view.Samples(0), samples);
    EXPECT_EQ(m_monitor->History(0).size(), 1); // only the poll from before the cancel
}

TEST_F(DatabaseCommandsTest, DelAnsweredNoChangesNothingAndYesEmptiesTheSlot) {
    Select(3, QStringLiteral("DSN=Stock"));
    ASSERT_TRUE(WaitForPolls(3, 1));
    const QString title = m_monitor->Title(3);
    SettingsStore::WriteInt(title, QStringLiteral("Warned"), 1);
    ASSERT_EQ(m_monitor->History(3).size(), 1);
    ASSERT_FALSE(m_view.Text(3, Field::LastAccess).isEmpty());
    const QString stored = Setting("lastDatabase3");

    m_window.answer = false;
    m_commands->RemoveDatabase(3);
    ASSERT_EQ(m_window.questions,
              QStringList({"Are you sure you want to stop monitoring " + title + "?"}));
    EXPECT_TRUE(m_monitor->IsConfigured(3));
    EXPECT_EQ(Setting("lastDatabase3"), stored);
    EXPECT_EQ(m_view.CaptionsOf(3).button, title);
    EXPECT_EQ(m_monitor->History(3).size(), 1);
    EXPECT_EQ(m_window.layouts, 0);
    EXPECT_TRUE(m_scheduler->IsArmed(3));

    const int resets = m_view.GraphResets(3);
    m_window.answer = true;
    m_commands->RemoveDatabase(3);
    EXPECT_EQ(m_window.questions.size(), 2);
    EXPECT_FALSE(m_monitor->HasProbe(3));
    EXPECT_FALSE(m_scheduler->IsArmed(3));
    EXPECT_EQ(Setting("lastDatabase3"), "");
    EXPECT_EQ(Setting("lastDatabaseTitle3"), "");
    EXPECT_EQ(m_view.CaptionsOf(3).group, "Database 4");
    EXPECT_EQ(m_view.CaptionsOf(3).button, "Select Database");
    EXPECT_EQ(m_window.layouts, 1);
    // The display is reset; the database's own section is not.
    EXPECT_TRUE(m_monitor->History(3).isEmpty());
    for (Field field : {Field::LastAccess, Field::BestAccess, Field::WorstAccess, Field::LastAlert,
                        Field::LastRecovery})
        EXPECT_EQ(m_view.Text(3, field), "");
    EXPECT_EQ(m_view.Colour(3), IMonitorView::kColourDefault);
    EXPECT_EQ(m_view.GraphResets(3), resets + 1);
    EXPECT_EQ(SettingsStore::ReadInt(title, QStringLiteral("Warned"), 0), 1);

    // Del on the emptied slot asks nothing.
    m_commands->RemoveDatabase(3);
    EXPECT_EQ(m_window.questions.size(), 2);
    EXPECT_EQ(m_window.layouts, 1);
}

TEST_F(DatabaseCommandsTest, PollOnAnEmptiedSlotRunsTheTimerAndOnlyRearmsIt) {
    m_monitor->SetMinuteMs(150);
    m_monitor->SetEarlyMs(0);
    m_monitor->SetInterval(1, 1);
    Select(1, QStringLiteral("DSN=Orders"));
    ASSERT_TRUE(WaitForPolls(1, 1));
    m_window.answer = true;
    m_commands->RemoveDatabase(1);
    ASSERT_FALSE(m_monitor->HasProbe(1));

    QSignalSpy started(m_scheduler.get(), &PollScheduler::PollStarted);
    // Nothing re-arms the emptied slot on its own.
    WaitUntil([] { return false; }, 400);
    EXPECT_EQ(started.size(), 0);
    EXPECT_FALSE(m_scheduler->IsArmed(1));

    m_commands->PollNow(1);
    EXPECT_TRUE(m_scheduler->IsArmed(1));
    ASSERT_TRUE(WaitUntil([&] { return started.size() >= 3; }, 20000));
    EXPECT_TRUE(m_monitor->History(1).isEmpty());
    EXPECT_EQ(m_view.Samples(1), 0);
    EXPECT_EQ(m_view.Text(1, Field::LastAccess), "");
    EXPECT_TRUE(m_notice.Texts().isEmpty());
}

TEST_F(DatabaseCommandsTest, ResetWhileNotifiedClearsTheFieldsAndKeepsWarned) {
    SmtpSink sink;
    ASSERT_TRUE(sink.Start());
    SettingsStore::WriteString(SettingsStore::kSettings, QStringLiteral("SMTP"),
                               QStringLiteral("127.0.0.1:%1").arg(sink.Port()));
    EmailSettings email;
    email.server = QStringLiteral("127.0.0.1:%1").arg(sink.Port());
    email.returnAddress = QStringLiteral("monitor@example.test");
    email.alertRecipient = QStringLiteral("alerts@example.test");
    email.recoveryRecipient = QStringLiteral("alerts@example.test");
    m_monitor->SetEmailSettings(email);

    // A database notified as down before this start: stored, its alert remembered.
    const QString title = QStringLiteral("Gone");
    const QString alert = QStringLiteral(" on 01/02/2026 at 03:04:05");
    SettingsStore::WriteString(SettingsStore::kSettings, SlotKeys::LastDatabase(0),
                               OdbcTestEnv::SqliteConnectionString(m_dir + "/gone.db"));
    SettingsStore::WriteString(SettingsStore::kSettings, SlotKeys::LastDatabaseTitle(0), title);
    SettingsStore::WriteInt(title, QStringLiteral("Warned"), 1);
    SettingsStore::WriteString(title, QStringLiteral("lastAlert"), alert);
    m_monitor->RestoreSlots();
    ASSERT_EQ(m_monitor->LastAlert(0), alert);

    m_commands->PollNow(0);
    ASSERT_TRUE(WaitUntil([&] { return m_monitor->History(0).size() == 1; }, 30000));
    ASSERT_TRUE(WaitForPolls(0, 1));
    ASSERT_EQ(m_view.Colour(0), IMonitorView::kColourUnreachable);
    ASSERT_EQ(m_view.Text(0, Field::LastAlert), alert);

    const int resets = m_view.GraphResets(0);
    m_commands->ResetSlotDisplay(0);
    ASSERT_TRUE(WaitUntil([&] { return m_view.GraphResets(0) == resets + 1; }, 5000));
    for (Field field : {Field::LastAccess, Field::BestAccess, Field::WorstAccess, Field::LastAlert,
                        Field::LastRecovery})
        EXPECT_EQ(m_view.Text(0, field), "");
    EXPECT_EQ(m_view.Colour(0), IMonitorView::kColourDefault);
    EXPECT_TRUE(m_monitor->History(0).isEmpty());
    EXPECT_EQ(m_monitor->LastAlert(0), "");
    EXPECT_EQ(SettingsStore::ReadInt(title, QStringLiteral("Warned"), 0), 1);
    EXPECT_EQ(SettingsStore::ReadString(title, QStringLiteral("lastAlert")), alert);
    // The probe and its timer stay.
    EXPECT_TRUE(m_monitor->IsConfigured(0));

    // Still down: no new alert, and the alert field stays empty until the next one.
    m_commands->PollNow(0);
    ASSERT_TRUE(WaitUntil([&] { return m_monitor->History(0).size() == 1; }, 30000));
    ASSERT_TRUE(WaitForPolls(0, 2));
    EXPECT_EQ(m_view.Colour(0), IMonitorView::kColourUnreachable);
    EXPECT_EQ(m_monitor->LastAlert(0), "");
    EXPECT_EQ(m_view.Text(0, Field::LastAlert), "");
    EXPECT_EQ(SettingsStore::ReadInt(title, QStringLiteral("Warned"), 0), 1);
    EXPECT_FALSE(sink.WaitForMessages(1, 1500));
}

// A poll of slot 0 that hangs on a server which never answers, until the login time-out.
class RunningPollTest : public DatabaseCommandsTest {
protected:
    void StartHangingPoll() {
        ASSERT_NE(m_silent.Port(), 0);
        CDatabaseProbe::SetLoginTimeoutSeconds(3);
        SettingsStore::WriteString(
            SettingsStore::kSettings, SlotKeys::LastDatabase(0),
            QStringLiteral("DRIVER={PostgreSQL Unicode};Server=127.0.0.1;Port=%1;Database=x;"
                           "UID=u;PWD=p")
                .arg(m_silent.Port()));
        SettingsStore::WriteString(SettingsStore::kSettings, SlotKeys::LastDatabaseTitle(0),
                                   QStringLiteral("Silent"));
        m_monitor->RestoreSlots();
        m_commands->PollNow(0);
        ASSERT_TRUE(WaitUntil([&] { return m_silent.AcceptedCount() >= 1; }, 20000));
        ASSERT_TRUE(m_scheduler->IsPolling(0));
    }

    SilentListener m_silent;
};

TEST_F(RunningPollTest, SelectAndDelWhileThatSlotsPollRuns) {
    StartHangingPoll();
    Select(0, QStringLiteral("DSN=Stock"));
    EXPECT_TRUE(m_monitor->IsConfigured(0));
    EXPECT_EQ(m_monitor->Title(0), "STOCK(" + g_db + ")");
    m_window.answer = true;
    m_commands->RemoveDatabase(0);
    EXPECT_FALSE(m_monitor->HasProbe(0));
    EXPECT_TRUE(m_scheduler->IsPolling(0));

    // The hanging poll ends with the login time-out; its results reach neither the slot nor
    // the window, and nothing polls the emptied slot afterwards.
    ASSERT_TRUE(WaitForPolls(0, 1));
    WaitUntil([] { return false; }, 300);
    EXPECT_FALSE(m_monitor->HasProbe(0));
    EXPECT_TRUE(m_monitor->History(0).isEmpty());
    EXPECT_EQ(m_view.Samples(0), 0);
    EXPECT_NE(m_view.Colour(0), IMonitorView::kColourUnreachable);
    EXPECT_FALSE(m_scheduler->IsArmed(0));
    EXPECT_EQ(Setting("lastDatabase0"), "");
}

TEST_F(RunningPollTest, SelectWhileThatSlotsPollRunsPollsTheNewDatabaseAfterIt) {
    StartHangingPoll();
    Select(0, QStringLiteral("DSN=Orders"));
    ASSERT_TRUE(m_monitor->IsConfigured(0));

    // The old poll's unreachable result is dropped; the new database's poll follows it.
    ASSERT_TRUE(WaitUntil([&] { return !m_monitor->History(0).isEmpty(); }, 30000));
    ASSERT_TRUE(WaitForPolls(0, 2));
    const QList<AccessRecord> history = m_monitor->History(0);
    ASSERT_EQ(history.size(), 1);
    EXPECT_GE(history.first().elapsed, 0.0);
    EXPECT_EQ(m_view.Colour(0), IMonitorView::kColourReachable);
    EXPECT_TRUE(Setting("lastDatabase0").startsWith("DSN=Orders;"));
}

TEST(DatabaseCommandsQuestion, NamesTheTitle) {
    EXPECT_EQ(CDatabaseCommands::RemoveQuestion("sa@MYDB(SRV1)"),
              "Are you sure you want to stop monitoring sa@MYDB(SRV1)?");
    EXPECT_EQ(CDatabaseCommands::RemoveQuestion(""), "Are you sure you want to stop monitoring ?");
}

} // namespace
