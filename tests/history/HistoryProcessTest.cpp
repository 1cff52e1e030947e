// Stores in other processes: this test binary started again with --history-child=<mode>, which
// runs only HistoryChild.Writer (skipped in a normal run).
#include "HistoryTestSupport.h"

#include "tests/common/TestSupport.h"

#include <QCoreApplication>
#include <QFile>

#include <gtest/gtest.h>

#include <csignal>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using HistoryTime::kDayMs;

constexpr qint64 kOneMinute = 60000;
const qint64 kBase = Utc(2026, 3, 1);

struct ChildArgs {
    QString mode; // "kill": writes until killed; "share": a fixed number of polls, then exits
    QString dir;
    QString key;
    int first = 0; // index of the first poll: time kBase + first minutes
    int count = 0;
};

std::optional<ChildArgs> ParseChildArgs() {
    const QStringList args = QCoreApplication::arguments();
    for (qsizetype i = 0; i < args.size(); ++i) {
        if (args[i].startsWith(QLatin1String("--history-child=")) && i + 4 < args.size())
            return ChildArgs{args[i].section('=', 1), args[i + 1], args[i + 2], args[i + 3].toInt(),
                             args[i + 4].toInt()};
    }
    return std::nullopt;
}

// The child's own test output, shown when it fails.
QString ChildLog(const ChildArgs& child) {
    return child.dir + "/child-" + child.key + ".log";
}

pid_t StartChild(const ChildArgs& child) {
    const QStringList command = {QCoreApplication::applicationFilePath(),
                                 QStringLiteral("--gtest_filter=HistoryChild.Writer"),
                                 QStringLiteral("--history-child=") + child.mode,
                                 child.dir,
                                 child.key,
                                 QString::number(child.first),
                                 QString::number(child.count)};
    const QByteArray log = QFile::encodeName(ChildLog(child));
    const int fd = ::open(log.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const pid_t pid = TestSupport::Spawn(command, -1, fd, true);
    ::close(fd);
    return pid;
}

// The last whole line of the child's progress file: polls known to be committed.
qint64 Committed(const QString& progressPath) {
    QByteArray data = TestSupport::ReadFile(progressPath);
    if (!data.endsWith('\n'))
        data.truncate(data.lastIndexOf('\n') + 1);
    const QList<QByteArray> lines = data.trimmed().split('\n');
    return lines.isEmpty() ? 0 : lines.last().toLongLong();
}

PollRecord ChildPoll(const ChildArgs& args, int index) {
    const int n = args.first + index;
    return {kBase + qint64(n) * kOneMinute,
            args.key,
            n % 7 == 0 ? PollResult::Unreachable : PollResult::Reachable,
            5.0 + n % 40,
            {}};
}

TEST(HistoryChild, Writer) {
    const std::optional<ChildArgs> args = ParseChildArgs();
    if (!args)
        GTEST_SKIP() << "runs only as a child of the process tests";
    HistoryFixture fixture;
    fixture.now = kBase;
    HistoryStore store(fixture.Options(args->dir));
    QFile progress(args->dir + "/progress-" + args->key);
    ASSERT_TRUE(progress.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered));
    constexpr int kStep = 5;
    for (int i = 0; args->mode == "kill" || i < args->count; i += kStep) {
        for (int j = i; j < i + kStep; ++j) {
            store.Record(ChildPoll(*args, j));
            if (args->mode == "share") {
                // Both children also write one common key, a millisecond apart, so that their
                // roll-ups land in the same hourly and daily rows.
                PollRecord common = ChildPoll(*args, j);
                common.key = QStringLiteral("Shared");
                common.utcMs += args->first > 0 ? 1 : 0;
                store.Record(common);
            }
        }
        ASSERT_TRUE(store.Flush(30000)) << fixture.Faults().join('\n').toStdString();
        progress.write(QByteArray::number(i + kStep) + '\n');
    }
    EXPECT_TRUE(fixture.Faults().isEmpty()) << fixture.Faults().join('\n').toStdString();
}

// The raw polls of key as a gap-free run from its first index; the hourly roll-ups agree.
void ExpectPrefix(HistoryStore& store, const ChildArgs& args, qint64 count) {
    const qint64 from = kBase + qint64(args.first) * kOneMinute;
    const QList<QByteArray> lines = ExportedPolls(store, args.key, from, from + 400 * kDayMs);
    ASSERT_EQ(lines.size(), count);
    for (qint64 i = 0; i < count; ++i) {
        const PollRecord expected = ChildPoll(args, static_cast<int>(i));
        const QByteArray stamp = QDateTime::fromMSecsSinceEpoch(expected.utcMs, Qt::UTC)
                                     .toString(Qt::ISODateWithMs)
                                     .toLatin1();
        ASSERT_TRUE(lines[i].startsWith(stamp)) << i << ": " << lines[i].toStdString();
    }
    // Polls start on a whole hour, so whole hours come from the hourly rows, the rest raw.
    const auto summary = store.Summary(args.key, from, from + 400 * kDayMs);
    ASSERT_TRUE(summary.has_value());
    EXPECT_EQ(summary->count, count);
    const auto hourly = store.Summary(
        args.key, from, HistoryTime::FloorTo(from + count * kOneMinute, HistoryTime::kHourMs));
    ASSERT_TRUE(hourly.has_value());
    EXPECT_EQ(hourly->count, HistoryTime::FloorTo(count, 60));
}

TEST(HistoryProcess, KillDuringWritesLosesOnlyThePollsInFlight) {
    const QString dir = TestSupport::MakeTempDir(QStringLiteral("history-kill"));
    const ChildArgs child{QStringLiteral("kill"), dir, QStringLiteral("Sales"), 0, 0};
    const QString progress = dir + "/progress-Sales";
    const pid_t pid = StartChild(child);
    ASSERT_GT(pid, 0);
    const bool busy = TestSupport::WaitUntil([&] { return Committed(progress) >= 400; }, 60000);
    ::kill(pid, SIGKILL);
    const int status = TestSupport::WaitExit(pid, 10000);
    ASSERT_TRUE(busy) << "the child wrote too little";
    ASSERT_TRUE(WIFSIGNALED(status));

    const qint64 committed = Committed(progress);
    HistoryFixture fixture;
    fixture.now = kBase;
    HistoryStore store(fixture.Options(dir)); // checks the file when it opens
    const auto summary = store.Summary(QStringLiteral("Sales"), kBase, kBase + 400 * kDayMs);
    ASSERT_TRUE(summary.has_value());
    EXPECT_GE(summary->count, committed);
    EXPECT_LE(summary->count, committed + 5) << "more than one batch in flight";
    ExpectPrefix(store, child, summary->count);

    store.Record({kBase - kOneMinute, QStringLiteral("Sales"), PollResult::Reachable, 1, {}});
    ASSERT_TRUE(store.Flush(10000));
    EXPECT_TRUE(fixture.Faults().isEmpty()) << fixture.Faults().join('\n').toStdString();
}

TEST(HistoryProcess, TwoProcessesWriteOneFile) {
    const QString dir = TestSupport::MakeTempDir(QStringLiteral("history-share"));
    const std::vector<ChildArgs> children = {
        {QStringLiteral("share"), dir, QStringLiteral("Sales"), 0, 3000},
        {QStringLiteral("share"), dir, QStringLiteral("Stock"), 60, 3000},
    };
    std::vector<pid_t> pids;
    for (const ChildArgs& child : children) {
        pids.push_back(StartChild(child));
        ASSERT_GT(pids.back(), 0);
    }
    for (size_t i = 0; i < pids.size(); ++i)
        EXPECT_EQ(TestSupport::WaitExit(pids[i], 120000), 0)
            << TestSupport::ReadFile(ChildLog(children[i])).toStdString();

    HistoryFixture fixture;
    HistoryStore store(fixture.Options(dir));
    for (const ChildArgs& child : children) {
        SCOPED_TRACE(child.key.toStdString());
        ExpectPrefix(store, child, child.count);
    }
    // The common key: minutes 0..2999 from one child and 60..3059 from the other, so hours 0
    // to 50 are whole and come from the hourly rows both processes added to.
    const qint64 hours = 51 * HistoryTime::kHourMs;
    const auto shared = store.Summary(QStringLiteral("Shared"), kBase, kBase + hours);
    ASSERT_TRUE(shared.has_value());
    EXPECT_EQ(shared->count, 6000);
    EXPECT_EQ(ExportedPolls(store, QStringLiteral("Shared"), kBase, kBase + hours).size(), 6000);
    const auto second = store.Summary(QStringLiteral("Shared"), kBase + HistoryTime::kHourMs,
                                      kBase + 2 * HistoryTime::kHourMs);
    ASSERT_TRUE(second.has_value());
    EXPECT_EQ(second->count, 120);
}

} // namespace
