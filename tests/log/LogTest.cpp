// The log files and their writer on real files: the advisory lock among every opener (in this
// process and another), CR LF lines, the switches and the missed-entry queue.
#include "platform/LogFile.h"
#include "log/LogWriter.h"
#include "tests/common/RecordingNotice.h"
#include "tests/common/TestSupport.h"

#include <QFile>
#include <QProcess>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <cerrno>
#include <map>
#include <thread>

#include <sys/mount.h>
#include <sys/stat.h>

namespace {

using Mode = LogFile::Mode;

const auto Bytes = TestSupport::ReadFile;

// The file cut at CR LF; a bare CR or LF or a missing last line end fails the test.
QStringList Lines(const QString& path) {
    const QString text = QString::fromUtf8(Bytes(path));
    EXPECT_TRUE(text.isEmpty() || text.endsWith("\r\n")) << "no line end at the end";
    QStringList lines = text.split("\r\n");
    lines.removeLast();
    for (const QString& line : lines)
        EXPECT_FALSE(line.contains(u'\r') || line.contains(u'\n')) << line.toStdString();
    return lines;
}

class LogTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1); // the stamps are local time
        tzset();
        writer.SetSettings({access, error, true, true});
        writer.SetClock([this] { return now.load(); });
    }
    QString dir = TestSupport::MakeTempDir(QStringLiteral("log"));
    QString access = dir + "/access.log";
    QString error = dir + "/error.log";
    RecordingNotice notice;
    LogWriter writer{&notice};
    std::atomic<std::time_t> now{1070719509}; // 6 December 2003, 14:05:09 UTC
};

// Every opener takes one exclusive lock, here or in another process; a folder, a FIFO without
// reader or a missing file fails at once instead of blocking or showing nothing.
TEST_F(LogTest, OpensAndLocks) {
    ASSERT_EQ(::mkfifo(QFile::encodeName(dir + "/fifo").constData(), 0600), 0);
    // clang-format off
    const struct { QString path; Mode mode; int error; } cases[] = {
        {access, Mode::Append, 0}, {error, Mode::Truncate, 0}, {dir + "/x", Mode::Read, ENOENT},
        {dir + "/no/a.log", Mode::Append, ENOENT}, {"", Mode::Append, ENOENT},
        {dir, Mode::Append, EISDIR}, {dir, Mode::Read, EISDIR}, {dir, Mode::Truncate, EISDIR},
        {dir + "/fifo", Mode::Append, ENXIO},
    };
    // clang-format on
    for (const auto& c : cases) {
        EXPECT_EQ(LogFile(c.path, c.mode).IsOpen() ? 0 : errno, c.error) << c.path.toStdString();
        EXPECT_EQ(QFile::exists(c.path), c.error != ENOENT) << c.path.toStdString();
    }
    for (const Mode holder : {Mode::Append, Mode::Read, Mode::Truncate}) {
        LogFile(access, Mode::Truncate).AppendWhole("kept\r\n");
        LogFile held(access, holder);
        for (const Mode other : {Mode::Append, Mode::Read, Mode::Truncate})
            EXPECT_FALSE(LogFile(access, other).IsOpen()) << int(holder) << '/' << int(other);
        EXPECT_EQ(Bytes(access), holder == Mode::Truncate ? "" : "kept\r\n");
    }
    QProcess other; // holds the lock until its input closes
    other.start("flock", {"-xn", access, "sh", "-c", "echo held; exec cat >/dev/null"});
    ASSERT_TRUE(other.waitForReadyRead(30000));
    writer.WriteLogLine("queued", access, false);
    EXPECT_FALSE(ClearLogFile(access));
    EXPECT_EQ(writer.MissedEntries(), QStringList{"<12/06/2003 14:05:09> queued"});
    other.closeWriteChannel();
    ASSERT_TRUE(other.waitForFinished(30000));
    EXPECT_TRUE(ClearLogFile(access));
    EXPECT_EQ(Bytes(access), "");
}

TEST_F(LogTest, LinesAreStampedCrLfAndFollowTheSwitches) {
    writer.WriteLogLine("driver said:\nline two", access, false);
    writer.WriteLogLine("", access, false);
    now = now + 1;
    writer.WriteLogLine("caf\u00e9", access, false);
    EXPECT_EQ(Bytes(access), "<12/06/2003 14:05:09> driver said:\r\nline two\r\n"
                             "<12/06/2003 14:05:10> caf\xc3\xa9\r\n");
    // clang-format off
    const struct { bool accessOn, errorOn; QString path; bool written; } cases[] = {
        {false, true, access, false}, {false, true, error, true}, {true, false, error, false},
        {true, false, access, true}, {false, false, dir + "/other.log", true},
        {false, false, dir + "//access.log", true},
    };
    // clang-format on
    for (const auto& c : cases) {
        QFile::remove(c.path);
        writer.SetSettings({access, error, c.accessOn, c.errorOn});
        writer.WriteLogLine("x", c.path, false);
        EXPECT_EQ(QFile::exists(c.path), c.written)
            << c.accessOn << c.errorOn << c.path.toStdString();
    }
    for (const bool both : {true, false}) { // one file for both: written only with both on
        QFile::remove(access);
        writer.SetSettings({access, access, true, both});
        writer.WriteLogLine("shared", access, false);
        EXPECT_EQ(QFile::exists(access), both);
    }
    EXPECT_TRUE(writer.MissedEntries().isEmpty());
}

// A line that cannot be written, queued or new, keeps its place; the queue goes first into
// whichever log opens next, each entry stamped when its poll asked.
TEST_F(LogTest, MissedEntriesKeepTheirOrderUntilALogOpens) {
    {
        LogFile viewer(error, Mode::Append);
        LogFile clearing(access, Mode::Truncate);
        now = now - 11;
        writer.WriteLogLine("a", error, false);
        writer.WriteLogLine("b", access, false);
    }
    now = now + 1;
    writer.WriteLogLine("c", "/dev/full", false);
    writer.WriteLogLine("d", dir + "/gone/x.log", false);
    writer.WriteLogLine("reported", dir + "/gone/x.log", true);
    EXPECT_EQ(notice.Texts(), QStringList{"Could not write to log '" + dir + "/gone/x.log'"});
    now = now + 10;
    writer.WriteLogLine("e", error, false);
    const QString at = "<12/06/2003 14:05:09> Missed Entry: <12/06/2003 14:04:5";
    EXPECT_EQ(Lines(error), QStringList({at + "8> a", at + "8> b", at + "9> c", at + "9> d",
                                         "<12/06/2003 14:05:09> e"}));
    EXPECT_TRUE(writer.MissedEntries().isEmpty());
}

// tmpfs takes the part of a write that fits in the file's last page and refuses the rest: the
// half line is cut away again, kept in the queue and written first once there is room.
TEST_F(LogTest, AFullDiskLeavesNoTornLineAndKeepsTheOrder) {
    const QString disk = TestSupport::MakeTempDir("tmpfs");
    if (::mount("tmpfs", QFile::encodeName(disk).constData(), "tmpfs", 0, "size=64k") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here";
    const QString log = disk + "/access.log", stamp = "<12/06/2003 14:05:09> ";
    QStringList expected;
    for (int i = 100; i < 120; ++i) { // 4000 bytes: 96 left in the page
        writer.WriteLogLine(QString::number(i) + ' ' + QString(172, u'e'), log, false);
        expected << stamp + QString::number(i) + ' ' + QString(172, u'e');
    }
    QFile filler(disk + "/filler");
    ASSERT_TRUE(filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
    while (filler.write(QByteArray(512, 'x')) > 0 || filler.write("x", 1) > 0) {
    }
    writer.WriteLogLine(QString(200, u'p'), log, false); // cut short by the disk
    writer.WriteLogLine("short", log, false);            // would fit, but waits its turn
    EXPECT_EQ(Lines(log), expected);
    filler.remove();
    writer.WriteLogLine("room", log, false);
    EXPECT_EQ(Lines(log), expected << stamp + "Missed Entry: " + stamp + QString(200, u'p')
                                   << stamp + "Missed Entry: " + stamp + "short" << stamp + "room");
    ::umount2(QFile::encodeName(disk).constData(), MNT_DETACH);
}

// Four poll threads while a viewer keeps opening the log and the settings change under them:
// every line arrives once, whole, directly or as a missed entry; none slips past a switch.
TEST_F(LogTest, FourWritersAViewerAndSettingsChangesLoseAndTearNothing) {
    std::atomic<bool> writing{true};
    const QRegularExpression shape("^<[^>]+> (Missed Entry: <[^>]+> )?w(\\d) (\\d+) z{80}$");
    std::thread viewer([&] {
        for (QString line; writing;)
            for (LogFile file(access, Mode::Read); file.ReadLine(&line);)
                EXPECT_TRUE(shape.match(line).hasMatch()) << line.toStdString();
    });
    const QString x = dir + "/x.log";
    writer.SetSettings({x, access, false, true});
    std::thread settings([&] { // under either set a line for x is dropped
        for (int i = 0; writing; ++i)
            writer.SetSettings(i % 2 ? LogSettings{x, access, false, true}
                                     : LogSettings{access, x, true, false});
    });
    std::vector<std::thread> writers;
    for (int w = 0; w < 4; ++w)
        writers.emplace_back([&, w] {
            for (int i = 0; i < 1500; ++i) {
                writer.WriteLogLine(QStringLiteral("w%1 %2 ").arg(w).arg(i) + QString(80, u'z'),
                                    access, false);
                writer.WriteLogLine("never", x, false);
            }
        });
    for (std::thread& t : writers)
        t.join();
    writing = false;
    viewer.join();
    settings.join();
    writer.SetSettings({access, error, true, true});
    writer.WriteLogLine("w9 0 " + QString(80, u'z'), access, false);
    std::map<QString, int> seen;
    for (const QString& line : Lines(access)) {
        const auto m = shape.match(line);
        ASSERT_TRUE(m.hasMatch()) << line.toStdString();
        ++seen[m.captured(2) + ' ' + m.captured(3)];
    }
    EXPECT_EQ(seen.size(), 4u * 1500 + 1);
    for (const auto& [key, count] : seen)
        ASSERT_EQ(count, 1) << key.toStdString();
    EXPECT_FALSE(QFile::exists(x));
}

} // namespace
