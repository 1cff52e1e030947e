// The "Health Check" dialog offscreen against a private PostgreSQL server: Test runs the probe
// off the UI thread (the loop keeps ticking) and shows the value, the times and the verdict; a
// dialog closed during a test neither waits nor crashes; OK refuses statements that write and
// expectations that state nothing, and stores the three keys in the database's section.
#include "ui/HealthCheckDlg.h"
#include "settings/SettingKeys.h"
#include "tests/common/OdbcTestEnv.h"
#include "tests/common/SharedPostgres.h"
#include "tests/ui/dialogs/DialogsTestSupport.h"

#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QSpinBox>

#include <memory>

namespace {

using DialogsTestSupport::RecordingPrompt;
using DialogsTestSupport::WaitUntil;

std::string Str(const QString& text) {
    return text.toStdString();
}

class HealthCheckDlgTest : public SharedPostgresSuite {
protected:
    static void SetUpTestSuite() {
        SharedPostgresSuite::SetUpTestSuite();
        if (HasFatalFailure())
            return;
        const QString error =
            OdbcTestEnv::ExecSql(s_server->DriverConnectionString(),
                                 {"DROP TABLE IF EXISTS queue", "CREATE TABLE queue (id int)",
                                  "INSERT INTO queue SELECT generate_series(1, 37)"});
        ASSERT_TRUE(error.isEmpty()) << Str(error);
    }
    void SetUp() override { DialogsTestSupport::ResetSettingsStore(); }

    std::unique_ptr<CHealthCheckDlg> Open() {
        auto dialog =
            std::make_unique<CHealthCheckDlg>(kSection, s_server->DriverConnectionString(),
                                              ProbeOptions{5, nullptr}, nullptr, &prompt);
        dialog->show();
        return dialog;
    }
    static void Enter(CHealthCheckDlg& dialog, const QString& sql, const QString& expect,
                      int timeout = 5) {
        dialog.QueryEdit()->setPlainText(sql);
        dialog.ExpectEdit()->setText(expect);
        dialog.TimeoutBox()->setValue(timeout);
    }
    // Clicks Test and counts the loop's ticks until the result is shown.
    static int RunTest(CHealthCheckDlg& dialog) {
        QSignalSpy finished(&dialog, &CHealthCheckDlg::TestFinished);
        int ticks = 0;
        QTimer heartbeat;
        QObject::connect(&heartbeat, &QTimer::timeout, [&] { ++ticks; });
        heartbeat.start(10);
        QTest::mouseClick(dialog.TestButton(), Qt::LeftButton);
        EXPECT_FALSE(dialog.TestButton()->isEnabled()) << "one test at a time";
        EXPECT_TRUE(WaitUntil([&] { return finished.count() == 1; }));
        EXPECT_TRUE(dialog.TestButton()->isEnabled());
        return ticks;
    }

    const QString kSection = QStringLiteral("queue@pg");
    RecordingPrompt prompt;
};

TEST_F(HealthCheckDlgTest, TestShowsTheValueTheTimesAndTheVerdict) {
    const auto dialog = Open();
    const struct {
        const char* what;
        QString sql;
        QString expect;
        QString first; // the result's first line
    } cases[] = {
        {"inside the range", "SELECT count(*) FROM queue", "30:40", "Passes: 37"},
        {"outside the range", "SELECT count(*) FROM queue", "0:10",
         "Health query failed: expected 0:10, got 37"},
        {"a driver error", "SELECT * FROM missing", "",
         "Health query failed: ERROR: relation \"missing\" does not exist;"},
        {"a statement that writes", "DELETE FROM queue", "",
         "Health query failed: A health query must be a query (SELECT, WITH, VALUES, SHOW, "
         "PRAGMA, EXPLAIN), not DELETE."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Enter(*dialog, c.sql, c.expect);
        RunTest(*dialog);
        const QStringList lines = dialog->ResultLabel()->text().split(u'\n');
        ASSERT_EQ(lines.size(), 2) << Str(dialog->ResultLabel()->text());
        EXPECT_TRUE(lines[0].startsWith(c.first)) << Str(lines[0]);
        static const QRegularExpression took(
            R"(^Took [0-9.e+]+ms \(connect [0-9.e+]+ms, query [0-9.e+]+ms\)$)");
        EXPECT_TRUE(took.match(lines[1]).hasMatch()) << Str(lines[1]);
    }
    EXPECT_EQ(OdbcTestEnv::ExecSql(s_server->DriverConnectionString(),
                                   {"DO $$ BEGIN IF (SELECT count(*) FROM queue) <> 37 THEN "
                                    "RAISE EXCEPTION 'rows gone'; END IF; END $$"}),
              "");
    Enter(*dialog, "  ", "");
    QTest::mouseClick(dialog->TestButton(), Qt::LeftButton);
    EXPECT_EQ(dialog->ResultLabel()->text(), "Enter a query to test.");

    // The picture, to look at: the last verdict shown.
    Enter(*dialog, "SELECT count(*) FROM queue", "0:10");
    RunTest(*dialog);
    const QString picture = QStringLiteral(TRELLION_BINARY_DIR "/health-check-dialog.png");
    EXPECT_TRUE(dialog->grab().save(picture)) << Str(picture);
}

TEST_F(HealthCheckDlgTest, ASlowTestLeavesTheWindowResponsiveAndACloseDuringItIsSafe) {
    auto dialog = Open();
    Enter(*dialog, "SELECT pg_sleep(1)", "");
    const int ticks = RunTest(*dialog);
    EXPECT_GT(ticks, 20) << "the UI thread waited for the query";
    EXPECT_TRUE(dialog->ResultLabel()->text().startsWith("Passes: \"\""))
        << Str(dialog->ResultLabel()->text());

    Enter(*dialog, "SELECT pg_sleep(1)", "");
    QTest::mouseClick(dialog->TestButton(), Qt::LeftButton);
    ASSERT_EQ(CHealthCheckDlg::RunningTests(), 1);
    dialog.reset();
    EXPECT_TRUE(WaitUntil([] { return CHealthCheckDlg::RunningTests() == 0; }));
}

TEST_F(HealthCheckDlgTest, OkRefusesWhatCannotBeCheckedAndStoresTheRest) {
    auto dialog = Open();
    const struct {
        QString sql;
        QString expect;
        QString box;
    } refused[] = {
        {"UPDATE queue SET id = 0", "",
         "A health query must be a query (SELECT, WITH, VALUES, SHOW, PRAGMA, EXPLAIN), not "
         "UPDATE."},
        {"SELECT 1; DROP TABLE queue", "", "The health query must be a single statement."},
        {"SELECT 1", "~(", "The pattern \"(\" is not valid"},
        {"SELECT 1", "ten", "Expected a range such as 0:10, =text or ~pattern;"},
    };
    for (const auto& c : refused) {
        SCOPED_TRACE(Str(c.sql + " / " + c.expect));
        prompt.boxes.clear();
        Enter(*dialog, c.sql, c.expect);
        dialog->accept();
        ASSERT_EQ(prompt.Texts().size(), 1);
        EXPECT_TRUE(prompt.Texts()[0].startsWith(c.box)) << Str(prompt.Texts()[0]);
        EXPECT_TRUE(dialog->isVisible()) << "a refused OK keeps the dialog open";
        EXPECT_EQ(Config::Read(kSection, Config::kHealthQuery), "") << "nothing stored";
    }

    Enter(*dialog, "SELECT count(*)\nFROM queue", "0:10", 7);
    dialog->accept();
    EXPECT_EQ(dialog->result(), QDialog::Accepted);
    EXPECT_EQ(Config::Read(kSection, Config::kHealthQuery), "SELECT count(*)\nFROM queue");
    EXPECT_EQ(Config::Read(kSection, Config::kHealthExpect), "0:10");
    EXPECT_EQ(Config::Read(kSection, Config::kHealthTimeout), 7);
    EXPECT_EQ(Config::Read(QStringLiteral("Settings"), Config::kHealthQuery), "")
        << "the keys belong to the database's section";

    // Opened again, it shows what was stored.
    dialog = Open();
    EXPECT_EQ(dialog->QueryEdit()->toPlainText(), "SELECT count(*)\nFROM queue");
    EXPECT_EQ(dialog->ExpectEdit()->text(), "0:10");
    EXPECT_EQ(dialog->TimeoutBox()->value(), 7);
    // A blank query is stored as none.
    Enter(*dialog, "", "");
    dialog->accept();
    EXPECT_EQ(Config::Read(kSection, Config::kHealthQuery), "");
}

} // namespace
