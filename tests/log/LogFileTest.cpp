#include "log/LogFile.h"

#include "tests/common/TestSupport.h"
#include "tests/log/LogTestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <cerrno>

#include <sys/stat.h>

using LogTest::FileBytes;

namespace {

class LogFileTest : public ::testing::Test {
protected:
    void SetUp() override { m_dir = TestSupport::MakeTempDir(QStringLiteral("logfile")); }
    QString PathOf(const QString& name) const { return m_dir + u'/' + name; }

    void WriteRaw(const QString& path, const QByteArray& bytes) {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        ASSERT_EQ(file.write(bytes), bytes.size());
    }

    QString m_dir;
};

TEST_F(LogFileTest, AppendCreatesAMissingFileAndNeverTruncates) {
    const QString path = PathOf("a.log");
    {
        LogFile file(path, LogFile::Mode::Append);
        ASSERT_TRUE(file.IsOpen());
        EXPECT_TRUE(file.AppendWhole("one\r\n"));
    }
    {
        LogFile file(path, LogFile::Mode::Append);
        ASSERT_TRUE(file.IsOpen());
        EXPECT_TRUE(file.AppendWhole("two\r\n"));
        EXPECT_EQ(file.FullPath(), QDir(m_dir).canonicalPath() + QStringLiteral("/a.log"));
    }
    EXPECT_EQ(FileBytes(path), QByteArray("one\r\ntwo\r\n"));
}

TEST_F(LogFileTest, OpenFailsForMissingFolderEmptyPathAndReadOfMissingFile) {
    EXPECT_FALSE(LogFile(PathOf("no/such/folder.log"), LogFile::Mode::Append).IsOpen());
    EXPECT_FALSE(LogFile(QString(), LogFile::Mode::Append).IsOpen());
    EXPECT_FALSE(LogFile(PathOf("missing.log"), LogFile::Mode::Read).IsOpen());
    EXPECT_FALSE(QFile::exists(PathOf("missing.log"))) << "a read must not create the file";
}

TEST_F(LogFileTest, AFolderIsNoLogInAnyMode) {
    for (const LogFile::Mode mode :
         {LogFile::Mode::Append, LogFile::Mode::Read, LogFile::Mode::Truncate}) {
        LogFile file(m_dir, mode);
        EXPECT_FALSE(file.IsOpen()) << int(mode);
        EXPECT_EQ(errno, EISDIR) << int(mode);
    }
    EXPECT_TRUE(QFileInfo(m_dir).isDir());
}

// flock belongs to the open file description, so two openers in one process exclude each other
// just as two processes do; every mode takes the same lock.
TEST_F(LogFileTest, EveryModeExcludesEveryOtherOpenerInThisProcess) {
    const QString path = PathOf("held.log");
    const LogFile::Mode modes[] = {LogFile::Mode::Append, LogFile::Mode::Read,
                                   LogFile::Mode::Truncate};
    for (const LogFile::Mode holder : modes) {
        WriteRaw(path, "kept\r\n");
        LogFile held(path, holder);
        ASSERT_TRUE(held.IsOpen());
        const QByteArray expected = holder == LogFile::Mode::Truncate ? "" : "kept\r\n";
        for (const LogFile::Mode other : modes) {
            LogFile second(path, other);
            EXPECT_FALSE(second.IsOpen()) << int(holder) << " / " << int(other);
            EXPECT_EQ(errno, EWOULDBLOCK);
        }
        EXPECT_EQ(FileBytes(path), expected) << "a refused opener touched the file";
        held.Close();
        EXPECT_TRUE(LogFile(path, LogFile::Mode::Read).IsOpen()) << "Close() releases the lock";
    }
}

TEST_F(LogFileTest, ALockHeldByAnotherProcessRefusesTheOpenUntilReleased) {
    const QString path = PathOf("other.log");
    WriteRaw(path, "kept\r\n");
    LogTest::OtherProcessLock other(path);
    ASSERT_TRUE(other.Held());
    EXPECT_FALSE(LogFile(path, LogFile::Mode::Append).IsOpen());
    EXPECT_FALSE(ClearLogFile(path));
    EXPECT_EQ(FileBytes(path), QByteArray("kept\r\n"));
    other.Release();
    EXPECT_TRUE(ClearLogFile(path));
    EXPECT_EQ(FileBytes(path), QByteArray());
}

TEST_F(LogFileTest, AFifoWithoutReaderFailsInsteadOfBlocking) {
    const QString path = PathOf("fifo.log");
    ASSERT_EQ(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    EXPECT_FALSE(LogFile(path, LogFile::Mode::Append).IsOpen());
    EXPECT_EQ(errno, ENXIO);
    EXPECT_FALSE(ClearLogFile(path));
}

TEST_F(LogFileTest, ClearCreatesAMissingFileEmpty) {
    const QString path = PathOf("new.log");
    EXPECT_TRUE(ClearLogFile(path));
    EXPECT_TRUE(QFile::exists(path));
    EXPECT_EQ(QFileInfo(path).size(), 0);
    EXPECT_FALSE(ClearLogFile(PathOf("no/folder.log")));
}

TEST_F(LogFileTest, ReadLineStripsCrLfAndLfAndKeepsALastLineWithoutEnd) {
    const QString path = PathOf("read.log");
    WriteRaw(path, "first\r\nsecond\n\r\nfourth \xc3\xa9\r\nlast");
    LogFile file(path, LogFile::Mode::Read);
    ASSERT_TRUE(file.IsOpen());
    QStringList lines;
    QString line;
    while (file.ReadLine(&line))
        lines.append(line);
    EXPECT_EQ(lines, QStringList({"first", "second", "", QStringLiteral("fourth \u00e9"), "last"}));
    EXPECT_FALSE(file.ReadLine(&line)) << "stays at the end";
}

TEST_F(LogFileTest, ReadLineAcrossBufferBoundaries) {
    // Lines longer than one read and a CR LF split across two reads.
    const QString path = PathOf("long.log");
    QByteArray bytes;
    QList<QByteArray> expected;
    for (int i = 0; i < 40; ++i) {
        const QByteArray line(1000 + i * 997, char('a' + i % 26));
        expected.append(line);
        bytes += line + "\r\n";
    }
    WriteRaw(path, bytes);
    LogFile file(path, LogFile::Mode::Read);
    ASSERT_TRUE(file.IsOpen());
    QList<QByteArray> got;
    QByteArray line;
    while (file.ReadLine(&line))
        got.append(line);
    EXPECT_EQ(got, expected);
}

TEST_F(LogFileTest, EmptyFileHasNoLines) {
    const QString path = PathOf("empty.log");
    WriteRaw(path, {});
    LogFile file(path, LogFile::Mode::Read);
    ASSERT_TRUE(file.IsOpen());
    QByteArray line;
    EXPECT_FALSE(file.ReadLine(&line));
}

// What a full disk does to one write: tmpfs takes the part that fits in the file's last page
// and refuses the rest. The half that went out must be cut away again.
TEST_F(LogFileTest, AWriteTheFullDiskCutsShortLeavesTheFileAsItWas) {
    LogTest::SmallTmpfs disk;
    if (!disk.Mounted())
        GTEST_SKIP() << "cannot mount a tmpfs here: " << disk.Error().toStdString();
    const QString path = disk.Path() + QStringLiteral("/full.log");
    const QByteArray before(4000, 'a');
    {
        LogFile file(path, LogFile::Mode::Append);
        ASSERT_TRUE(file.IsOpen());
        ASSERT_TRUE(file.AppendWhole(before));
    }
    const QString filler = disk.FillUp();
    {
        LogFile file(path, LogFile::Mode::Append);
        ASSERT_TRUE(file.IsOpen());
        EXPECT_FALSE(file.AppendWhole(QByteArray(300, 'b')));
        EXPECT_EQ(errno, ENOSPC);
        EXPECT_TRUE(file.AppendWhole(QByteArray(50, 'c'))) << "what fits still goes in";
    }
    EXPECT_EQ(FileBytes(path), before + QByteArray(50, 'c'));
    ASSERT_TRUE(QFile::remove(filler));
    {
        LogFile file(path, LogFile::Mode::Append);
        EXPECT_TRUE(file.AppendWhole(QByteArray(300, 'b')));
    }
    EXPECT_EQ(FileBytes(path), before + QByteArray(50, 'c') + QByteArray(300, 'b'));
}

TEST_F(LogFileTest, DevFullRefusesEveryWrite) {
    LogFile file(QStringLiteral("/dev/full"), LogFile::Mode::Append);
    ASSERT_TRUE(file.IsOpen());
    EXPECT_FALSE(file.AppendWhole("line\r\n"));
    EXPECT_EQ(errno, ENOSPC);
}

} // namespace
