#include "log/LogWriter.h"

#include "log/LogFile.h"
#include "tests/common/TestSupport.h"
#include "tests/log/LogTestSupport.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <map>
#include <thread>
#include <vector>

using LogTest::CrLfLines;
using LogTest::FileBytes;

namespace {

// 6 December 2003, 14:04:58 and 14:05:09 UTC.
constexpr std::time_t kFirstTry = 1070719498;
constexpr std::time_t kLater = 1070719509;

class LogWriterTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // Time stamps are local time; pin the zone so that the texts below are exact.
        setenv("TZ", "UTC", 1);
        tzset();
    }

    void SetUp() override {
        m_dir = TestSupport::MakeTempDir(QStringLiteral("logwriter"));
        m_access = m_dir + QStringLiteral("/access.log");
        m_error = m_dir + QStringLiteral("/error.log");
        m_writer.SetSettings({m_access, m_error, true, true});
        m_writer.SetClock([this] { return m_now.load(); });
    }

    void SetSwitches(bool access, bool error) {
        m_writer.SetSettings({m_access, m_error, access, error});
    }

    LogTest::RecordingNotice m_notice;
    LogWriter m_writer{&m_notice};
    std::atomic<std::time_t> m_now{kLater};
    QString m_dir;
    QString m_access;
    QString m_error;
};

// Waits up to a generous limit, leaving as soon as the condition holds.
template <typename Condition> bool WaitFor(Condition condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

TEST_F(LogWriterTest, PrefixIsMonthDayYearAndTwentyFourHourTime) {
    EXPECT_EQ(LogWriter::FormatPrefix(kLater), QByteArray("<12/06/2003 14:05:09> "));
    EXPECT_EQ(LogWriter::FormatPrefix(1041379199), QByteArray("<12/31/2002 23:59:59> "));
    EXPECT_EQ(LogWriter::FormatPrefix(1049158805), QByteArray("<04/01/2003 01:00:05> "));
}

TEST_F(LogWriterTest, LinesAppendWithPrefixAndCrLf) {
    m_writer.WriteLogLine("first poll", m_access, false);
    m_now = kLater + 1;
    m_writer.WriteLogLine(QStringLiteral("caf\u00e9 answered"), m_access, false);
    EXPECT_EQ(FileBytes(m_access), QByteArray("<12/06/2003 14:05:09> first poll\r\n"
                                              "<12/06/2003 14:05:10> caf\xc3\xa9 answered\r\n"));
    EXPECT_FALSE(QFile::exists(m_error));
    EXPECT_TRUE(m_notice.Texts().isEmpty());
}

TEST_F(LogWriterTest, LineFeedsInsideAMessageBecomeCrLf) {
    m_writer.WriteLogLine("driver said:\nline two\r\nline three", m_error, false);
    EXPECT_EQ(FileBytes(m_error),
              QByteArray("<12/06/2003 14:05:09> driver said:\r\nline two\r\r\nline three\r\n"));
}

TEST_F(LogWriterTest, EmptyMessageWritesAndQueuesNothing) {
    m_writer.WriteLogLine(QString(), m_access, false);
    m_writer.WriteLogLine(QString(), m_error, true);
    // Not even when the file cannot be opened.
    m_writer.WriteLogLine(QString(), m_dir + QStringLiteral("/missing/x.log"), false);
    m_writer.WriteLogLine(QString(), m_dir + QStringLiteral("/missing/x.log"), true);
    EXPECT_FALSE(QFile::exists(m_access));
    EXPECT_FALSE(QFile::exists(m_error));
    EXPECT_TRUE(m_writer.MissedEntries().isEmpty());
    EXPECT_TRUE(m_notice.Texts().isEmpty());
}

TEST_F(LogWriterTest, ASwitchedOffLogDropsItsLinesWithoutQueueing) {
    SetSwitches(false, true);
    {
        // Held elsewhere: a line for a log that is on would be queued; this one must not be.
        LogFile viewer(m_access, LogFile::Mode::Append);
        ASSERT_TRUE(viewer.IsOpen());
        m_writer.WriteLogLine("access while off", m_access, false);
        m_writer.WriteLogLine("access while off, reported", m_access, true);
    }
    EXPECT_TRUE(m_writer.MissedEntries().isEmpty());
    EXPECT_TRUE(m_notice.Texts().isEmpty());
    m_writer.WriteLogLine("error while access off", m_error, false);
    m_writer.WriteLogLine("access still off", m_access, false);
    EXPECT_EQ(FileBytes(m_access), QByteArray());
    EXPECT_EQ(FileBytes(m_error), QByteArray("<12/06/2003 14:05:09> error while access off\r\n"));

    SetSwitches(true, false);
    m_writer.WriteLogLine("error while off", m_error, false);
    m_writer.WriteLogLine("access back on", m_access, false);
    EXPECT_EQ(FileBytes(m_error), QByteArray("<12/06/2003 14:05:09> error while access off\r\n"));
    EXPECT_EQ(FileBytes(m_access), QByteArray("<12/06/2003 14:05:09> access back on\r\n"));
}

TEST_F(LogWriterTest, BothPathsOneFileIsWrittenOnlyWithBothSwitchesOn) {
    const QString shared = m_dir + QStringLiteral("/both.log");
    const struct {
        bool access;
        bool error;
        bool written;
    } cases[] = {
        {true, true, true}, {true, false, false}, {false, true, false}, {false, false, false}};
    for (const auto& c : cases) {
        QFile::remove(shared);
        m_writer.SetSettings({shared, shared, c.access, c.error});
        m_writer.WriteLogLine("shared", shared, false);
        EXPECT_EQ(QFile::exists(shared), c.written) << c.access << c.error;
    }
    EXPECT_TRUE(m_writer.MissedEntries().isEmpty());
}

TEST_F(LogWriterTest, APathEqualToNeitherIsWrittenWhateverTheSwitches) {
    SetSwitches(false, false);
    // Exact comparison: a different spelling of the access log's path is another path.
    const QString other = m_dir + QStringLiteral("/other.log");
    const QString sameFileOtherSpelling = m_dir + QStringLiteral("//access.log");
    const QString otherCase = m_dir + QStringLiteral("/ACCESS.log");
    m_writer.WriteLogLine("neither", other, false);
    m_writer.WriteLogLine("double slash", sameFileOtherSpelling, false);
    m_writer.WriteLogLine("other case", otherCase, false);
    m_writer.WriteLogLine("dropped", m_access, false);
    EXPECT_EQ(FileBytes(other), QByteArray("<12/06/2003 14:05:09> neither\r\n"));
    EXPECT_EQ(FileBytes(m_access), QByteArray("<12/06/2003 14:05:09> double slash\r\n"));
    EXPECT_EQ(FileBytes(otherCase), QByteArray("<12/06/2003 14:05:09> other case\r\n"));
}

TEST_F(LogWriterTest, MissingFolderQueuesUntilAnyLogOpensThenFlushesOldestFirst) {
    const QString folder = m_dir + QStringLiteral("/later");
    const QString lateError = folder + QStringLiteral("/error.log");
    m_writer.SetSettings({m_access, lateError, true, true});
    m_now = kFirstTry;
    m_writer.WriteLogLine("unreachable 1", lateError, false);
    m_now = kFirstTry + 1;
    m_writer.WriteLogLine("unreachable 2", lateError, false);
    EXPECT_EQ(m_writer.MissedEntries(), QStringList({"<12/06/2003 14:04:58> unreachable 1",
                                                     "<12/06/2003 14:04:59> unreachable 2"}));
    EXPECT_TRUE(m_notice.Texts().isEmpty());

    // The queue goes into whichever log opens next, here the access log, before its own line.
    m_now = kLater;
    m_writer.WriteLogLine("reachable", m_access, false);
    EXPECT_EQ(CrLfLines(m_access),
              QList<QByteArray>({"<12/06/2003 14:05:09> Missed Entry: <12/06/2003 14:04:58> "
                                 "unreachable 1",
                                 "<12/06/2003 14:05:09> Missed Entry: <12/06/2003 14:04:59> "
                                 "unreachable 2",
                                 "<12/06/2003 14:05:09> reachable"}));
    EXPECT_TRUE(m_writer.MissedEntries().isEmpty());

    ASSERT_TRUE(QDir().mkpath(folder));
    m_writer.WriteLogLine("unreachable 3", lateError, false);
    EXPECT_EQ(FileBytes(lateError), QByteArray("<12/06/2003 14:05:09> unreachable 3\r\n"));
}

TEST_F(LogWriterTest, AFileHeldByTheViewerQueuesItsLinesAndTheNextWriteCatchesUp) {
    m_now = kFirstTry;
    m_writer.WriteLogLine("before", m_access, false);
    {
        LogFile viewer(m_access, LogFile::Mode::Read);
        ASSERT_TRUE(viewer.IsOpen());
        m_now = kFirstTry + 5;
        m_writer.WriteLogLine("during", m_access, false);
        EXPECT_EQ(m_writer.MissedEntries(), QStringList({"<12/06/2003 14:05:03> during"}));
    }
    m_now = kLater;
    m_writer.WriteLogLine("after", m_access, false);
    EXPECT_EQ(CrLfLines(m_access),
              QList<QByteArray>({"<12/06/2003 14:04:58> before",
                                 "<12/06/2003 14:05:09> Missed Entry: <12/06/2003 14:05:03> during",
                                 "<12/06/2003 14:05:09> after"}));
    EXPECT_TRUE(m_notice.Texts().isEmpty());
}

TEST_F(LogWriterTest, AFileLockedByAnotherProcessCountsAsUnopenable) {
    LogTest::OtherProcessLock other(m_error);
    ASSERT_TRUE(other.Held());
    m_writer.WriteLogLine("slow", m_error, false);
    EXPECT_EQ(m_writer.MissedEntries(), QStringList({"<12/06/2003 14:05:09> slow"}));
    other.Release();
    m_writer.WriteLogLine("slow again", m_error, false);
    EXPECT_EQ(CrLfLines(m_error),
              QList<QByteArray>({"<12/06/2003 14:05:09> Missed Entry: <12/06/2003 14:05:09> slow",
                                 "<12/06/2003 14:05:09> slow again"}));
}

TEST_F(LogWriterTest, ReportFailureShowsTheNoticeAndDropsTheLineInsteadOfQueueing) {
    const QString missing = m_dir + QStringLiteral("/gone/error.log");
    m_writer.WriteLogLine("queued", missing, false);
    m_writer.WriteLogLine("reported", missing, true);
    {
        LogFile viewer(m_access, LogFile::Mode::Append);
        m_writer.WriteLogLine("reported too", m_access, true);
    }
    EXPECT_EQ(m_notice.Texts(), QStringList({"Could not write to log '" + missing + "'",
                                             "Could not write to log '" + m_access + "'"}));
    EXPECT_EQ(m_writer.MissedEntries(), QStringList({"<12/06/2003 14:05:09> queued"}));

    // The flag changes nothing when the open succeeds, and the lock was left free.
    m_writer.WriteLogLine("fine", m_access, true);
    EXPECT_EQ(CrLfLines(m_access),
              QList<QByteArray>({"<12/06/2003 14:05:09> Missed Entry: <12/06/2003 14:05:09> queued",
                                 "<12/06/2003 14:05:09> fine"}));
    EXPECT_EQ(m_notice.Texts().size(), 2);
}

TEST_F(LogWriterTest, TheTimeStampIsTakenBeforeWaitingForTheLock) {
    std::atomic<int> stamps{0};
    m_writer.SetClock([&] {
        ++stamps;
        return m_now.load();
    });
    std::unique_lock held(m_writer.Lock());
    m_now = kFirstTry;
    std::thread late([&] { m_writer.WriteLogLine("waited", m_access, false); });
    // The writer can only have read the clock before the lock it is now waiting for.
    const bool stamped = WaitFor([&] { return stamps.load() == 1; });
    m_now = kLater;
    held.unlock();
    late.join();
    ASSERT_TRUE(stamped) << "the writer did not read the clock while the lock was held";
    m_writer.WriteLogLine("next", m_access, false);
    EXPECT_EQ(CrLfLines(m_access),
              QList<QByteArray>({"<12/06/2003 14:04:58> waited", "<12/06/2003 14:05:09> next"}));
}

// The mend: a queued entry or a line that cannot be written stays queued, in order, instead of
// going to the back of the queue or being lost.
TEST_F(LogWriterTest, WriteFailuresKeepEveryLineQueuedInOrder) {
    const QString full = QStringLiteral("/dev/full");
    {
        LogFile viewer(m_error, LogFile::Mode::Append);
        LogFile clearing(m_access, LogFile::Mode::Truncate);
        ASSERT_TRUE(viewer.IsOpen() && clearing.IsOpen());
        m_now = kFirstTry;
        m_writer.WriteLogLine("a", m_error, false);
        m_writer.WriteLogLine("b", m_access, false);
    }
    m_now = kFirstTry + 1;
    m_writer.WriteLogLine("c", full, false);
    m_writer.WriteLogLine("d", full, true);
    EXPECT_EQ(m_writer.MissedEntries(),
              QStringList({"<12/06/2003 14:04:58> a", "<12/06/2003 14:04:58> b",
                           "<12/06/2003 14:04:59> c", "<12/06/2003 14:04:59> d"}));
    EXPECT_TRUE(m_notice.Texts().isEmpty()) << "the open succeeded; nothing to report";

    m_now = kLater;
    m_writer.WriteLogLine("e", m_error, false);
    EXPECT_EQ(CrLfLines(m_error),
              QList<QByteArray>({"<12/06/2003 14:05:09> Missed Entry: <12/06/2003 14:04:58> a",
                                 "<12/06/2003 14:05:09> Missed Entry: <12/06/2003 14:04:58> b",
                                 "<12/06/2003 14:05:09> Missed Entry: <12/06/2003 14:04:59> c",
                                 "<12/06/2003 14:05:09> Missed Entry: <12/06/2003 14:04:59> d",
                                 "<12/06/2003 14:05:09> e"}));
    EXPECT_TRUE(m_writer.MissedEntries().isEmpty());
}

TEST_F(LogWriterTest, AFullDiskLeavesNoTornLineAndLosesNothing) {
    LogTest::SmallTmpfs disk;
    if (!disk.Mounted())
        GTEST_SKIP() << "cannot mount a tmpfs here: " << disk.Error().toStdString();
    const QString log = disk.Path() + QStringLiteral("/access.log");
    m_writer.SetSettings({log, m_error, true, true});

    // 4000 bytes of earlier lines: the file's page has 96 bytes left, so a longer line is cut
    // short by the disk rather than refused whole.
    const QByteArray pad(200, 'p');
    QList<QByteArray> expected;
    m_now = kFirstTry;
    for (int i = 0; i < 20; ++i) {
        const QByteArray message = QByteArray::number(100 + i) + ' ' + QByteArray(172, 'e');
        m_writer.WriteLogLine(QString::fromLatin1(message), log, false);
        expected.append(LogWriter::FormatPrefix(kFirstTry) + message);
    }
    ASSERT_EQ(FileBytes(log).size(), 4000);
    const QString filler = disk.FillUp();

    m_now = kFirstTry + 1;
    m_writer.WriteLogLine(QString::fromLatin1("long " + pad), log, false);
    m_writer.WriteLogLine("short", log, false);
    m_writer.WriteLogLine("to the error log, which has room", m_error, false);
    const QByteArray stamp = LogWriter::FormatPrefix(kFirstTry + 1);
    EXPECT_EQ(CrLfLines(log), expected) << "a cut-short write left part of a line behind";
    EXPECT_EQ(CrLfLines(m_error),
              QList<QByteArray>({stamp + "Missed Entry: " + stamp + "long " + pad,
                                 stamp + "Missed Entry: " + stamp + "short",
                                 stamp + "to the error log, which has room"}));

    m_writer.WriteLogLine(QString::fromLatin1("long again " + pad), log, false);
    m_writer.WriteLogLine("short again", log, false);
    EXPECT_EQ(m_writer.MissedEntries(),
              QStringList({QString::fromLatin1(stamp + "long again " + pad),
                           QString::fromLatin1(stamp + "short again")}));
    EXPECT_EQ(CrLfLines(log), expected);

    ASSERT_TRUE(QFile::remove(filler));
    m_now = kLater;
    m_writer.WriteLogLine("room again", log, false);
    const QByteArray now = LogWriter::FormatPrefix(kLater);
    expected.append(now + "Missed Entry: " + stamp + "long again " + pad);
    expected.append(now + "Missed Entry: " + stamp + "short again");
    expected.append(now + "room again");
    EXPECT_EQ(CrLfLines(log), expected);
    EXPECT_TRUE(m_writer.MissedEntries().isEmpty());
}

// Four poll threads at once, while a viewer keeps opening the access log: every line arrives
// exactly once, whole, either directly or later as a missed entry.
TEST_F(LogWriterTest, FourWritersAndAViewerLoseAndTearNothing) {
    m_writer.SetClock([] { return std::time(nullptr); });
    constexpr int kWriters = 4;
    constexpr int kLines = 2500;
    const QString pad(120, u'z');
    std::atomic<bool> writing{true};
    std::atomic<int> views{0};
    std::atomic<int> tornSeen{0};
    const QRegularExpression shape(
        QStringLiteral("^<\\d\\d/\\d\\d/\\d{4} \\d\\d:\\d\\d:\\d\\d> "
                       "(Missed Entry: <\\d\\d/\\d\\d/\\d{4} \\d\\d:\\d\\d:\\d\\d> )?"
                       "writer (\\d) line (\\d+) z{120}$"));

    std::thread viewer([&] {
        // At least one whole read, however quickly the writers finish.
        while (writing || views == 0) {
            LogFile file(m_access, LogFile::Mode::Read);
            if (!file.IsOpen()) {
                std::this_thread::yield();
                continue;
            }
            ++views;
            QString line;
            while (file.ReadLine(&line))
                if (!shape.match(line).hasMatch())
                    ++tornSeen;
        }
    });
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w) {
        writers.emplace_back([&, w] {
            for (int i = 0; i < kLines; ++i) {
                const QString message = QStringLiteral("writer %1 line %2 ").arg(w).arg(i) + pad;
                m_writer.WriteLogLine(message, (i + w) % 2 ? m_error : m_access, false);
            }
        });
    }
    for (std::thread& t : writers)
        t.join();
    writing = false;
    viewer.join();
    // Whatever the viewer kept out last is still queued; one more line brings it in.
    m_writer.WriteLogLine(QStringLiteral("writer 9 line 0 ") + pad, m_error, false);
    EXPECT_TRUE(m_writer.MissedEntries().isEmpty());
    EXPECT_EQ(tornSeen.load(), 0);
    EXPECT_GT(views.load(), 0);

    std::map<std::pair<int, int>, int> seen;
    int missed = 0;
    for (const QString& path : {m_access, m_error}) {
        for (const QByteArray& line : CrLfLines(path)) {
            const QRegularExpressionMatch m = shape.match(QString::fromLatin1(line));
            ASSERT_TRUE(m.hasMatch()) << line.constData();
            if (m.capturedLength(1) > 0)
                ++missed;
            ++seen[{m.captured(2).toInt(), m.captured(3).toInt()}];
        }
    }
    EXPECT_EQ(seen.size(), size_t(kWriters * kLines + 1));
    for (int w = 0; w < kWriters; ++w)
        for (int i = 0; i < kLines; ++i)
            ASSERT_EQ(seen[std::make_pair(w, i)], 1) << "writer " << w << " line " << i;
    RecordProperty("missed_entries", missed);
}

// Under either set a line for x is dropped (x is the access log and off, or the error log and
// off); only a writer that took the paths of one set and the switches of the other could let one
// through.
TEST_F(LogWriterTest, SettingsReplacedWhileWritingAreSeenAsOneSet) {
    const QString x = m_dir + QStringLiteral("/x.log");
    const QString y = m_dir + QStringLiteral("/y.log");
    const LogSettings a{x, y, false, true};
    const LogSettings b{y, x, true, false};
    m_writer.SetSettings(a);
    std::atomic<bool> running{true};
    std::thread settings([&] {
        for (int i = 0; running; ++i)
            m_writer.SetSettings(i % 2 ? a : b);
    });
    std::vector<std::thread> writers;
    for (int w = 0; w < 2; ++w) {
        writers.emplace_back([&] {
            for (int i = 0; i < 40000; ++i)
                m_writer.WriteLogLine("must not appear", x, false);
        });
    }
    for (std::thread& t : writers)
        t.join();
    running = false;
    settings.join();
    EXPECT_FALSE(QFile::exists(x));
    EXPECT_TRUE(m_writer.MissedEntries().isEmpty());
    const LogSettings last = m_writer.Settings();
    EXPECT_TRUE(last == a || last == b);
}

} // namespace
