// The "Log" viewer on logs written by the real writer: find, copy, follow, Clear Log, shrinking.
#include "ui/LogViewDlg.h"
#include "log/LogFile.h"
#include "log/LogWriter.h"
#include "tests/ui/dialogs/DialogTestSupport.h"
#include "ui/DialogCommands.h"
#include "ui/LogLinesView.h"

#include <QCheckBox>
#include <QClipboard>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

using namespace DialogTest;

namespace {

constexpr int kLongLog = 200000;

// A log file of `count` lines with CR LF ends; returns the lines.
QStringList WriteLog(const QString& path, int count) {
    QStringList lines;
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    for (int i = 0; i < count; ++i) {
        lines << QStringLiteral("<12/06/2003 14:05:09> line %1 of the log").arg(i);
        file.write(lines.constLast().toUtf8() + "\r\n");
    }
    return lines;
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
        m_writer.SetClock([] { return std::time_t(1070719509); });
    }
    // Lines written by the writer, as the viewer should show them.
    QStringList Write(int from, int count) {
        QStringList lines;
        for (int i = from; i < from + count; ++i) {
            const QString message = QString("Database %1 reached in %2ms").arg(i % 4 + 1).arg(i);
            m_writer.WriteLogLine(message, m_path, false);
            lines << QString::fromUtf8(LogWriter::FormatPrefix(1070719509)) + message;
        }
        return lines;
    }
    std::unique_ptr<CLogViewDlg> Open() {
        auto viewer = std::make_unique<CLogViewDlg>(m_writer, m_prompt);
        viewer->SetLogPath(m_path);
        viewer->show();
        viewer->activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(viewer.get()));
        EXPECT_TRUE(WaitUntil([&] { return viewer->IsLoaded(); }));
        return viewer;
    }
    static QStringList Shown(const CLogViewDlg& viewer) {
        QStringList lines;
        for (qsizetype i = 0; i < viewer.View()->Count(); ++i)
            lines << viewer.View()->LineText(i);
        return lines;
    }
    static bool Find(CLogViewDlg& viewer, Qt::Key key, Qt::KeyboardModifiers modifiers = {}) {
        QTest::keyClick(key == Qt::Key_Return ? static_cast<QWidget*>(viewer.FindEdit()) : &viewer,
                        key, modifiers);
        return WaitUntil([&] { return !viewer.IsSearching(); });
    }
    static bool Append(const QString& path, const QByteArray& bytes) {
        QFile file(path);
        return file.open(QIODevice::Append) && file.write(bytes) == bytes.size();
    }

    QString m_dir;
    QString m_path;
    LogWriter m_writer{nullptr};
    RecordingPrompt m_prompt;
};

TEST_F(LogViewer, OpensAtTheNewestLineAndFindsWalksAndCopies) {
    const QStringList lines = Write(0, 500);
    auto viewer = Open();
    LogLinesView* view = viewer->View();
    EXPECT_EQ(viewer->PathEdit()->text(), QFileInfo(m_path).canonicalFilePath());
    EXPECT_EQ(Shown(*viewer), lines);
    EXPECT_TRUE(view->AtEnd());
    EXPECT_TRUE(viewer->FollowBox()->isChecked());

    // Ctrl+F; Enter finds whatever the case and keeps the window open.
    QTest::keyClick(viewer.get(), Qt::Key_F, Qt::ControlModifier);
    ASSERT_TRUE(viewer->FindBar()->isVisible());
    EXPECT_TRUE(viewer->FindEdit()->hasFocus());
    QTest::keyClicks(viewer->FindEdit(), "REACHED IN 42MS");
    ASSERT_TRUE(Find(*viewer, Qt::Key_Return));
    EXPECT_TRUE(viewer->isVisible());
    EXPECT_EQ(view->CurrentLine(), 42);
    EXPECT_TRUE(view->TopLine() <= 42 && 42 < view->TopLine() + view->PageRows());
    EXPECT_FALSE(viewer->FollowBox()->isChecked());
    // F3 and Shift+F3 walk the matches and wrap round both ends (from line 497 at the fourth).
    viewer->FindEdit()->setText("database 1 reached");
    for (const auto& [from, shift, expected] : {std::tuple{-1, false, 44},
                                                {-1, true, 40},
                                                {-1, true, 36},
                                                {497, false, 0},
                                                {-1, true, 496}}) {
        if (from >= 0)
            view->SetCurrentLine(from);
        ASSERT_TRUE(Find(*viewer, Qt::Key_F3, shift ? Qt::ShiftModifier : Qt::NoModifier));
        EXPECT_EQ(view->CurrentLine(), expected);
    }
    // Match case: the upper-case text is in no line; said in the bar, the place is kept.
    viewer->MatchCaseBox()->setChecked(true);
    viewer->FindEdit()->setText("DATABASE 1");
    ASSERT_TRUE(Find(*viewer, Qt::Key_Return));
    EXPECT_EQ(viewer->FindStatus()->text(), "Not found");
    EXPECT_EQ(view->CurrentLine(), 496);
    EXPECT_TRUE(m_prompt.boxes.isEmpty());

    // Selected lines copy as text, one per row, without CR LF.
    view->setFocus();
    view->SetCurrentLine(10);
    QTest::keyClick(view, Qt::Key_Down, Qt::ShiftModifier);
    QTest::keyClick(view, Qt::Key_Down, Qt::ShiftModifier);
    QTest::keyClick(view, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QApplication::clipboard()->text(), lines.mid(10, 3).join('\n'));

    QTest::keyClick(view, Qt::Key_End); // Follow comes back at the end
    EXPECT_TRUE(view->AtEnd());
    EXPECT_TRUE(viewer->FollowBox()->isChecked());
}

TEST_F(LogViewer, FollowsAppendedLinesAndStartsOverAfterClearLogOrAShrunkenFile) {
    QStringList lines = Write(0, 60);
    auto viewer = Open();
    LogLinesView* view = viewer->View();
    lines += Write(60, 1);
    ASSERT_TRUE(WaitUntil([&] { return view->Count() == 61; }));
    EXPECT_EQ(Shown(*viewer), lines);
    EXPECT_TRUE(view->AtEnd());

    // Away from the end Follow is off and the place is kept.
    QTest::keyClick(view, Qt::Key_Home);
    EXPECT_FALSE(viewer->FollowBox()->isChecked());
    lines += Write(61, 1);
    ASSERT_TRUE(WaitUntil([&] { return view->Count() == 62; }));
    EXPECT_EQ(view->TopLine(), 0);
    EXPECT_EQ(Shown(*viewer), lines);

    // Clear Log: No keeps everything, Yes empties file and window; then lines come afresh.
    m_prompt.answers = {false, true};
    viewer->ClearButton()->click();
    EXPECT_EQ(view->Count(), 62);
    viewer->ClearButton()->click();
    EXPECT_EQ(m_prompt.Texts(), QStringList(2, "The log will be permanently deleted, Continue?"));
    EXPECT_EQ(QFileInfo(m_path).size(), 0);
    EXPECT_EQ(view->Count(), 0);
    lines = Write(100, 3);
    ASSERT_TRUE(WaitUntil([&] { return view->Count() == 3; }));
    EXPECT_EQ(Shown(*viewer), lines);

    // A file cut shorter by someone else is read again from its start.
    QFile file(m_path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write("new start\r\n");
    file.close();
    ASSERT_TRUE(WaitUntil([&] { return Shown(*viewer) == QStringList{"new start"}; }));

    // A last line without its end grows in place; a CR then an LF end it as one line end.
    ASSERT_TRUE(Append(m_path, "second"));
    ASSERT_TRUE(WaitUntil([&] { return view->Count() == 2; }));
    ASSERT_TRUE(Append(m_path, " half\r"));
    ASSERT_TRUE(WaitUntil([&] { return view->LineText(1) == "second half"; }));
    ASSERT_TRUE(Append(m_path, "\nthird\rfourth\n"));
    ASSERT_TRUE(WaitUntil([&] { return view->Count() == 4; }));
    EXPECT_EQ(Shown(*viewer), (QStringList{"new start", "second half", "third", "fourth"}));
    EXPECT_TRUE(view->AtEnd());
}

TEST_F(LogViewer, UnopenableLogIsReportedInTheWindowWithAnEmptyPathField) {
    for (const QString& path : {m_path, m_dir}) {
        m_path = path;
        auto viewer = Open();
        EXPECT_EQ(Shown(*viewer), QStringList{"Could not open log '" + path + "'"})
            << path.toStdString();
        EXPECT_EQ(viewer->PathEdit()->text(), "");
    }
    EXPECT_TRUE(m_prompt.boxes.isEmpty());
}

TEST_F(LogViewer, EndingOrRefreshingWhileLoadingLeavesNothingBehind) {
    const QStringList lines = WriteLog(m_path, kLongLog);
    for (int round = 0; round < 3; ++round) {
        auto viewer = std::make_unique<CLogViewDlg>(m_writer, m_prompt);
        viewer->SetLogPath(m_path);
        viewer->show();
        if (round == 1)
            viewer->CloseButton()->click();
        viewer.reset();
        EXPECT_TRUE(LogFile(m_path, LogFile::Mode::Read).IsOpen());
    }
    int showings = 0;
    QStringList lastShown;
    WhenModal<CLogViewDlg>([&](CLogViewDlg* viewer) {
        ++showings;
        WhenModal<CLogViewDlg>([&](CLogViewDlg* again) {
            ++showings;
            WaitUntil([&] { return again->IsLoaded(); });
            lastShown = Shown(*again);
            again->CloseButton()->click();
        });
        viewer->RefreshButton()->click();
    });
    RunLogViewer(nullptr, m_writer, m_path, m_prompt);
    EXPECT_EQ(showings, 2);
    EXPECT_TRUE(lastShown == lines);
}

} // namespace
