// The "Log" viewer: what it shows for empty, missing and unterminated logs, stopping its loader
// on close, destruction and Refresh, Clear Log, and the writer's lines during a load.
#include "ui/LogViewDlg.h"
#include "log/LogFile.h"
#include "log/LogWriter.h"
#include "tests/common/TestSupport.h"
#include "tests/ui/dialogs/DialogTestSupport.h"
#include "ui/DialogCommands.h"

#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>

#include <gtest/gtest.h>

using namespace DialogTest;

namespace {

// More lines than the loader may run ahead of the window, so that a viewer whose UI thread
// stays out of the event loop keeps the loader (and the file) in the middle of the log.
constexpr int kLongLog = 200000;

QByteArray ReadAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

class LogViewer : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = TestSupport::MakeTempDir("logview");
        m_path = m_dir + "/access.log";
        LogSettings settings;
        settings.accessLogPath = m_path;
        settings.errorLogPath = m_dir + "/error.log";
        m_writer.SetSettings(settings);
    }
    std::unique_ptr<CLogViewDlg> Open() {
        auto viewer = std::make_unique<CLogViewDlg>(m_writer, m_prompt);
        viewer->SetLogPath(m_path);
        viewer->show();
        return viewer;
    }
    // Shown, with the loader in the middle of a long log and holding the file.
    std::unique_ptr<CLogViewDlg> OpenWhileLoading() {
        auto viewer = Open();
        EXPECT_TRUE(WaitWithoutEvents([&] { return viewer->LoaderHoldsFile(); }));
        return viewer;
    }
    static bool FileIsFree(const QString& path) {
        return LogFile(path, LogFile::Mode::Read).IsOpen();
    }

    QString m_dir;
    QString m_path;
    LogWriter m_writer{nullptr};
    RecordingPrompt m_prompt;
};

TEST_F(LogViewer, EmptyLogShowsNothingAndItsFullPath) {
    WriteLog(m_path, 0);
    auto viewer = Open();
    EXPECT_EQ(viewer->windowTitle(), "Log");
    ASSERT_TRUE(WaitUntil([&] { return viewer->IsFullyShown(); }));
    EXPECT_EQ(viewer->TextControl()->toPlainText(), "");
    EXPECT_EQ(viewer->PathEdit()->text(), QFileInfo(m_path).canonicalFilePath());
    EXPECT_TRUE(viewer->TextControl()->isReadOnly());
    EXPECT_TRUE(viewer->PathEdit()->isReadOnly());
    EXPECT_TRUE(viewer->CloseButton()->isDefault());
}

TEST_F(LogViewer, MissingLogIsReportedInTheWindowWithAnEmptyPathField) {
    auto viewer = Open();
    ASSERT_TRUE(WaitUntil([&] { return viewer->IsFullyShown(); }));
    EXPECT_EQ(viewer->TextControl()->toPlainText(), "Could not open log '" + m_path + "'");
    EXPECT_EQ(viewer->PathEdit()->text(), "");
    EXPECT_TRUE(m_prompt.boxes.isEmpty());
}

// A folder opens for reading on Linux but holds no lines: it is no log, and saying so beats an
// empty window that looks like an empty log.
TEST_F(LogViewer, AFolderAsLogPathIsReportedAsUnopenable) {
    m_path = m_dir;
    auto viewer = Open();
    ASSERT_TRUE(WaitUntil([&] { return viewer->IsFullyShown(); }));
    EXPECT_EQ(viewer->TextControl()->toPlainText(), "Could not open log '" + m_path + "'");
    EXPECT_EQ(viewer->PathEdit()->text(), "");
}

TEST_F(LogViewer, LastLineWithoutLineEndIsShownLikeTheOthers) {
    const QStringList lines = WriteLog(m_path, 3, false);
    auto viewer = Open();
    ASSERT_TRUE(WaitUntil([&] { return viewer->IsFullyShown(); }));
    EXPECT_EQ(viewer->TextControl()->toPlainText(), lines.join('\n'));
    EXPECT_EQ(viewer->LinesShown(), 3);
    EXPECT_FALSE(viewer->IsLoading());
}

TEST_F(LogViewer, LongLogIsShownCompletelyAndInOrder) {
    const QStringList lines = WriteLog(m_path, kLongLog);
    auto viewer = Open();
    ASSERT_TRUE(WaitUntil([&] { return viewer->IsFullyShown(); }));
    EXPECT_EQ(viewer->LinesShown(), kLongLog);
    EXPECT_EQ(viewer->TextControl()->document()->blockCount(), kLongLog);
    EXPECT_TRUE(viewer->TextControl()->toPlainText() == lines.join('\n'));
    EXPECT_TRUE(FileIsFree(m_path));
}

TEST_F(LogViewer, ClosingWhileLoadingStopsTheLoaderAndTheText) {
    WriteLog(m_path, kLongLog);
    auto viewer = OpenWhileLoading();
    ASSERT_TRUE(WaitUntil([&] { return viewer->LinesShown() > 0; }));
    viewer->CloseButton()->click();

    EXPECT_FALSE(viewer->isVisible());
    EXPECT_FALSE(viewer->IsLoading());
    EXPECT_TRUE(FileIsFree(m_path));
    const qsizetype shown = viewer->TextControl()->document()->blockCount();
    EXPECT_LT(shown, kLongLog);
    // Whatever the loader had queued for the window is dropped.
    WaitUntil([] { return false; }, 300);
    EXPECT_EQ(viewer->TextControl()->document()->blockCount(), shown);
}

TEST_F(LogViewer, DestroyingWhileLoadingLeavesTheLoaderNothingToTouch) {
    WriteLog(m_path, kLongLog);
    for (int round = 0; round < 3; ++round) {
        auto viewer = OpenWhileLoading();
        // Lines in flight to the window when it goes.
        WaitUntil([&] { return viewer->LinesShown() > 0; });
        viewer.reset();
        WaitUntil([] { return false; }, 100);
        EXPECT_TRUE(FileIsFree(m_path));
    }
}

TEST_F(LogViewer, RefreshWhileLoadingReloadsWithoutShowingALineTwice) {
    const QStringList lines = WriteLog(m_path, kLongLog);
    int showings = 0;
    qsizetype shownAtRefresh = 0;
    QString finalText;
    qsizetype finalCount = 0;
    WhenModal<CLogViewDlg>([&](CLogViewDlg* viewer) {
        ++showings;
        WaitUntil([&] { return viewer->LinesShown() > 0; });
        shownAtRefresh = viewer->LinesShown();
        WhenModal<CLogViewDlg>([&](CLogViewDlg* again) {
            ++showings;
            WaitUntil([&] { return again->IsFullyShown(); });
            finalText = again->TextControl()->toPlainText();
            finalCount = again->TextControl()->document()->blockCount();
            again->CloseButton()->click();
        });
        viewer->RefreshButton()->click();
    });
    RunLogViewer(nullptr, m_writer, m_path, m_prompt);

    EXPECT_EQ(showings, 2);
    EXPECT_GT(shownAtRefresh, 0);
    EXPECT_EQ(finalCount, kLongLog);
    EXPECT_TRUE(finalText == lines.join('\n'));
    EXPECT_TRUE(FileIsFree(m_path));
}

TEST_F(LogViewer, ClearLogAsksFirstAndEmptiesFileAndWindowOnYes) {
    const QStringList lines = WriteLog(m_path, 3);
    const QByteArray before = ReadAll(m_path);
    auto viewer = Open();
    ASSERT_TRUE(WaitUntil([&] { return viewer->IsFullyShown(); }));
    m_prompt.answers = {false, true};

    viewer->ClearButton()->click();
    EXPECT_EQ(m_prompt.Texts(), QStringList{"The log will be permanently deleted, Continue?"});
    EXPECT_TRUE(m_prompt.boxes[0].question);
    EXPECT_EQ(ReadAll(m_path), before);
    EXPECT_EQ(viewer->TextControl()->toPlainText(), lines.join('\n'));

    viewer->ClearButton()->click();
    EXPECT_EQ(m_prompt.boxes.size(), 2);
    EXPECT_EQ(QFileInfo(m_path).size(), 0);
    EXPECT_EQ(viewer->TextControl()->toPlainText(), "");

    // The next line starts the file afresh.
    m_writer.WriteLogLine("Database 1 reached", m_path, false);
    const QByteArray after = ReadAll(m_path);
    EXPECT_EQ(after.count("\r\n"), 1);
    EXPECT_TRUE(after.endsWith("> Database 1 reached\r\n"));
}

TEST_F(LogViewer, ClearLogWhileLoadingIsRefusedAndKeepsTheFile) {
    WriteLog(m_path, kLongLog);
    const qint64 size = QFileInfo(m_path).size();
    auto viewer = OpenWhileLoading();
    m_prompt.answers = {true};
    viewer->ClearButton()->click();
    EXPECT_EQ(m_prompt.Texts(), (QStringList{"The log will be permanently deleted, Continue?",
                                             "Could not clear log file'" + m_path + "'"}));
    EXPECT_EQ(QFileInfo(m_path).size(), size);
    // The load goes on to the end.
    ASSERT_TRUE(WaitUntil([&] { return viewer->IsFullyShown(); }));
    EXPECT_EQ(viewer->LinesShown(), kLongLog);
}

TEST_F(LogViewer, LineWrittenDuringTheLoadArrivesLaterAsMissedEntry) {
    WriteLog(m_path, kLongLog);
    auto viewer = OpenWhileLoading();
    m_writer.WriteLogLine("Database 2 reached during the load", m_path, false);
    ASSERT_EQ(m_writer.MissedEntries().size(), 1);
    ASSERT_TRUE(WaitUntil([&] { return viewer->IsFullyShown(); }));
    EXPECT_FALSE(viewer->TextControl()->toPlainText().contains("during the load"));
    viewer->CloseButton()->click();

    m_writer.WriteLogLine("Database 2 reached after the load", m_path, false);
    EXPECT_TRUE(m_writer.MissedEntries().isEmpty());
    const QList<QByteArray> tail = ReadAll(m_path).split('\n').mid(kLongLog);
    ASSERT_EQ(tail.size(), 3); // two lines and what follows the last line end
    const QRegularExpression stamp(QStringLiteral("<\\d\\d/\\d\\d/\\d{4} \\d\\d:\\d\\d:\\d\\d> "));
    EXPECT_TRUE(QRegularExpression("^" + stamp.pattern() + "Missed Entry: " + stamp.pattern() +
                                   "Database 2 reached during the load\r$")
                    .match(QString::fromUtf8(tail[0]))
                    .hasMatch())
        << tail[0].toStdString();
    EXPECT_TRUE(QRegularExpression("^" + stamp.pattern() + "Database 2 reached after the load\r$")
                    .match(QString::fromUtf8(tail[1]))
                    .hasMatch())
        << tail[1].toStdString();
    EXPECT_EQ(tail[2], "");
}

} // namespace
