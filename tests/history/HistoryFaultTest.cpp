#include "HistoryTestSupport.h"

#include "tests/common/TestSupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using HistoryTime::kHourMs;

PollRecord Poll(qint64 t, const QString& reason = {}) {
    return {t, QStringLiteral("Sales"), PollResult::Reachable, 12.5, reason};
}

qint64 CountPolls(HistoryStore& store, qint64 from, qint64 to) {
    const auto s = store.Summary(QStringLiteral("Sales"), from, to);
    return s ? s->count : -1;
}

// Damaged files moved aside (their WAL and shared-memory files, when there were any, beside them).
QStringList AsideFiles(const QString& dir) {
    QStringList files =
        QDir(dir).entryList({QStringLiteral("history.sqlite.corrupt-*")}, QDir::Files);
    files.removeIf([](const QString& name) {
        return name.endsWith(QLatin1String("-wal")) || name.endsWith(QLatin1String("-shm"));
    });
    return files;
}

int Mode(const QString& path) {
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return -1;
    return static_cast<int>(st.st_mode & 0777);
}

TEST(HistoryFault, FileAndFolderAreOwnerOnly) {
    HistoryFixture fixture;
    const QString state = TestSupport::MakeTempDir(QStringLiteral("history-mode")) + "/state/T";
    const mode_t oldMask = ::umask(0022);
    {
        HistoryStore store(fixture.Options(state));
        store.Record(Poll(Utc(2026, 1, 1)));
        ASSERT_TRUE(store.Flush(5000));
        EXPECT_EQ(Mode(store.FilePath()), 0600);
        EXPECT_EQ(Mode(store.FilePath() + "-wal"), 0600);
        EXPECT_EQ(Mode(state), 0700);
    }
    ::umask(oldMask);
}

struct CorruptCase {
    const char* name;
    qint64 offset; // where the junk goes
};

TEST(HistoryFault, DamagedFileIsMovedAsideOnceAndANewOneBegun) {
    const CorruptCase cases[] = {
        {"junk over the header", 0},
        {"junk over a page inside", 3 * 4096},
    };
    for (const CorruptCase& c : cases) {
        SCOPED_TRACE(c.name);
        HistoryFixture fixture;
        const QString dir = TestSupport::MakeTempDir(QStringLiteral("history-corrupt"));
        const qint64 t0 = Utc(2026, 1, 1);
        fixture.now = t0 + kHourMs;
        QString path;
        {
            HistoryStore store(fixture.Options(dir));
            path = store.FilePath();
            for (int i = 0; i < 2000; ++i)
                store.Record(Poll(t0 + i, QStringLiteral("reason %1 ").arg(i).repeated(5)));
            ASSERT_TRUE(store.Flush(20000));
        }
        {
            QFile file(path);
            ASSERT_TRUE(file.open(QIODevice::ReadWrite));
            ASSERT_GT(file.size(), c.offset + 4096);
            file.seek(c.offset);
            file.write(QByteArray(4096, '\x5a'));
        }

        HistoryStore store(fixture.Options(dir));
        store.Record(Poll(t0 + 5000));
        ASSERT_TRUE(store.Flush(20000));
        const QStringList faults = fixture.Faults();
        ASSERT_EQ(faults.size(), 1) << faults.join('\n').toStdString();
        EXPECT_TRUE(faults[0].contains("was damaged")) << faults[0].toStdString();
        const QStringList aside = AsideFiles(dir);
        ASSERT_EQ(aside.size(), 1);
        EXPECT_TRUE(faults[0].contains(aside[0]));
        EXPECT_EQ(CountPolls(store, t0, t0 + kHourMs), 1) << "only the poll after the damage";
    }
}

// Damage found while the store runs: the tables' root pages are overwritten on disk, and a write
// by another connection makes the writer drop its cached copies and read them again.
TEST(HistoryFault, DamageFoundWhileWritingMovesTheFileAsideAndKeepsThePoll) {
    HistoryFixture fixture;
    const QString dir = TestSupport::MakeTempDir(QStringLiteral("history-corrupt-late"));
    const qint64 t0 = Utc(2026, 1, 1);
    fixture.now = t0 + kHourMs;
    HistoryStore store(fixture.Options(dir));
    for (int i = 0; i < 2000; ++i)
        store.Record(Poll(t0 + i, QStringLiteral("reason %1 ").arg(i).repeated(5)));
    ASSERT_TRUE(store.Flush(20000));
    ASSERT_EQ(CountPolls(store, t0, t0 + kHourMs), 2000); // the read connection is open now

    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(QFile::encodeName(store.FilePath()).constData(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr),
              SQLITE_OK);
    std::vector<qint64> roots;
    sqlite3_stmt* query = nullptr;
    sqlite3_prepare_v2(other,
                       "SELECT rootpage FROM sqlite_master WHERE name IN ('polls','polls_by_db')",
                       -1, &query, nullptr);
    while (sqlite3_step(query) == SQLITE_ROW)
        roots.push_back(sqlite3_column_int64(query, 0));
    sqlite3_finalize(query);
    ASSERT_EQ(roots.size(), 2u);
    {
        QFile file(store.FilePath());
        ASSERT_TRUE(file.open(QIODevice::ReadWrite));
        for (qint64 root : roots) {
            file.seek((root - 1) * 4096);
            file.write(QByteArray(4096, '\x5a'));
        }
    }
    ASSERT_EQ(sqlite3_exec(other, "INSERT INTO meta(name, value) VALUES('touched', 1)", nullptr,
                           nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(other);

    store.Record(Poll(t0 + 5000));
    ASSERT_TRUE(store.Flush(20000));
    const QStringList faults = fixture.Faults();
    ASSERT_EQ(faults.size(), 1) << faults.join('\n').toStdString();
    EXPECT_TRUE(faults[0].contains("was damaged")) << faults[0].toStdString();
    EXPECT_EQ(AsideFiles(dir).size(), 1);
    EXPECT_EQ(CountPolls(store, t0, t0 + kHourMs), 1) << "the poll goes into the new file";
}

// The state folder's parent is a regular file: nothing can be created until it is a folder.
TEST(HistoryFault, UnwritableFolderNeverBlocksAndWritingResumes) {
    HistoryFixture fixture;
    const QString base = TestSupport::MakeTempDir(QStringLiteral("history-readonly"));
    const QString blocker = base + "/blocker";
    {
        QFile file(blocker);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    }
    HistoryOptions options = fixture.Options(blocker + "/state");
    options.queueCapacity = 30;
    HistoryStore store(options);
    const qint64 t0 = Utc(2026, 1, 1);

    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < 40; ++i)
        store.Record(Poll(t0 + i * 1000));
    EXPECT_LT(timer.elapsed(), 100) << "Record waited for the disk";
    EXPECT_FALSE(store.Flush(300));
    ASSERT_TRUE(TestSupport::WaitUntil([&] { return !fixture.Faults().isEmpty(); }, 5000));
    EXPECT_EQ(store.Dropped(), 10u);

    // Several retries later still one report.
    TestSupport::WaitUntil([] { return false; }, 300);
    QStringList faults = fixture.Faults();
    ASSERT_EQ(faults.size(), 1) << faults.join('\n').toStdString();
    EXPECT_TRUE(faults[0].contains("cannot be opened")) << faults[0].toStdString();

    ASSERT_TRUE(QFile::remove(blocker));
    ASSERT_TRUE(QDir().mkpath(blocker + "/state"));
    ASSERT_TRUE(store.Flush(10000));
    EXPECT_EQ(store.Written(), 30u);
    EXPECT_EQ(CountPolls(store, t0, t0 + kHourMs), 30);
    faults = fixture.Faults();
    ASSERT_EQ(faults.size(), 2);
    EXPECT_TRUE(faults[1].contains("10 polls were not recorded")) << faults[1].toStdString();
}

// Another process holds the write lock longer than the busy time-out.
TEST(HistoryFault, LockedFileIsReportedAndWrittenWhenReleased) {
    HistoryFixture fixture;
    const QString dir = TestSupport::MakeTempDir(QStringLiteral("history-locked"));
    HistoryOptions options = fixture.Options(dir);
    options.busyTimeoutMs = 100;
    HistoryStore store(options);
    const qint64 t0 = Utc(2026, 1, 1);
    store.Record(Poll(t0));
    ASSERT_TRUE(store.Flush(5000));

    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(QFile::encodeName(store.FilePath()).constData(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    store.Record(Poll(t0 + 1000));
    store.Record(Poll(t0 + 2000));
    EXPECT_TRUE(TestSupport::WaitUntil([&] { return !fixture.Faults().isEmpty(); }, 5000));
    EXPECT_FALSE(store.Flush(200));
    sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(other);

    ASSERT_TRUE(store.Flush(10000));
    EXPECT_EQ(CountPolls(store, t0, t0 + kHourMs), 3);
    const QStringList faults = fixture.Faults();
    ASSERT_EQ(faults.size(), 1);
    EXPECT_TRUE(faults[0].contains("locked")) << faults[0].toStdString();
}

// A real full disk: a small tmpfs (needs root; skipped elsewhere).
TEST(HistoryFault, FullDiskIsReportedAndWritingResumesWhenThereIsRoom) {
    const QString dir = TestSupport::MakeTempDir(QStringLiteral("history-full"));
    const QByteArray native = QFile::encodeName(dir);
    if (::mount("tmpfs", native.constData(), "tmpfs", 0, "size=256k") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here";
    struct Unmount {
        QByteArray path;
        ~Unmount() { ::umount2(path.constData(), MNT_DETACH); }
    } unmount{native};

    HistoryFixture fixture;
    const qint64 t0 = Utc(2026, 1, 1);
    {
        HistoryStore store(fixture.Options(dir));
        const QString reason = QStringLiteral("x").repeated(2000);
        QElapsedTimer timer;
        timer.start();
        for (int i = 0; i < 400; ++i)
            store.Record(Poll(t0 + i, reason));
        EXPECT_LT(timer.elapsed(), 200);
        ASSERT_TRUE(TestSupport::WaitUntil([&] { return !fixture.Faults().isEmpty(); }, 10000));
        EXPECT_TRUE(fixture.Faults()[0].contains("disk is full"))
            << fixture.Faults()[0].toStdString();

        ASSERT_EQ(::mount("tmpfs", native.constData(), "tmpfs", MS_REMOUNT, "size=16m"), 0);
        ASSERT_TRUE(store.Flush(20000));
        EXPECT_EQ(store.Dropped(), 0u);
        EXPECT_EQ(CountPolls(store, t0, t0 + kHourMs), 400);
    }
    EXPECT_EQ(fixture.Faults().size(), 1);
}

} // namespace
