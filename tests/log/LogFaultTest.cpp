// Logs that cannot be written, on real files and folders: the check the settings make before
// taking a path (also as an account that may not write the file), the fault reported when a log
// stays shut and again when it opens, and the bound on the lines waiting for it.
#include "platform/LogFile.h"
#include "log/LogWriter.h"
#include "tests/common/TestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <mutex>
#include <thread>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

namespace {

using namespace std::chrono_literals;

QStringList FileLines(const QString& path) {
    QStringList lines = QString::fromUtf8(TestSupport::ReadFile(path)).split("\r\n");
    EXPECT_EQ(lines.takeLast(), "") << "the file ends in CR LF";
    return lines;
}

// Lines compared as one text, so that a failure shows them readably.
std::string Joined(const QStringList& lines) {
    return lines.join('\n').toStdString();
}

TEST(LogCheck, EachUnusableLogIsRefusedWithItsReason) {
    const QString dir = TestSupport::MakeTempDir("logcheck");
    ASSERT_TRUE(QFile(dir + "/plain.txt").open(QIODevice::WriteOnly));
    const QByteArray kept = "<12/06/2003 14:05:09> old\r\n";
    {
        QFile existing(dir + "/kept.log");
        ASSERT_TRUE(existing.open(QIODevice::WriteOnly));
        existing.write(kept);
    }
    LogFile viewer(dir + "/held.log", LogFile::Mode::Append); // the viewer reading it now
    ASSERT_TRUE(viewer.IsOpen());
    const struct {
        QString path, problem;
    } rows[] = {
        {"", "no file name is given"},
        {dir + "/none/access.log", "the folder '" + dir + "/none' does not exist"},
        {dir + "/plain.txt/access.log", "a part of the path is not a folder"},
        {dir, "it is a folder"},
        {dir + "/kept.log", ""},
        {dir + "/new.log", ""},
        {dir + "/held.log", ""},
    };
    for (const auto& row : rows)
        EXPECT_EQ(CheckLogAppend(row.path), row.problem) << row.path.toStdString();
    EXPECT_FALSE(QFile::exists(dir + "/new.log")) << "the check leaves no file behind";
    EXPECT_EQ(TestSupport::ReadFile(dir + "/kept.log"), kept) << "nor changes one";
}

// Run as an account that may not write the file given.
TEST(LogCheck, DISABLED_CheckAsThisAccount) {
    const QString path = qEnvironmentVariable("TRELLION_UNWRITABLE_LOG");
    ASSERT_FALSE(path.isEmpty());
    EXPECT_EQ(CheckLogAppend(path), "permission denied");
    EXPECT_EQ(CheckLogAppend(path + ".new"), "permission denied") << "nor create one beside it";
}

TEST(LogCheck, AFileThisAccountCannotWrite) {
    // A folder others may enter but not write, with a file only its owner may write.
    QTemporaryDir dir(QDir::tempPath() + "/trellion-logperm-XXXXXX");
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.path() + "/readonly.log";
    ASSERT_TRUE(QFile(path).open(QIODevice::WriteOnly));
    ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), 0644), 0);
    ASSERT_EQ(::chmod(QFile::encodeName(dir.path()).constData(), 0755), 0);
    qputenv("TRELLION_UNWRITABLE_LOG", QFile::encodeName(path));
    QStringList command{QCoreApplication::applicationFilePath(), "--gtest_also_run_disabled_tests",
                        "--gtest_filter=LogCheck.DISABLED_CheckAsThisAccount"};
    if (::geteuid() == 0) {
        // Permissions do not stop root: the check runs as "nobody".
        const passwd* nobody = ::getpwnam("nobody");
        ASSERT_NE(nobody, nullptr);
        command = QStringList{"setpriv",
                              "--reuid",
                              QString::number(nobody->pw_uid),
                              "--regid",
                              QString::number(nobody->pw_gid),
                              "--clear-groups",
                              "--"} +
                  command;
    } else {
        ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), 0444), 0);
        ASSERT_EQ(::chmod(QFile::encodeName(dir.path()).constData(), 0555), 0);
    }
    EXPECT_EQ(TestSupport::WaitExit(TestSupport::Spawn(command), 120000), 0);
    qunsetenv("TRELLION_UNWRITABLE_LOG");
    ::chmod(QFile::encodeName(dir.path()).constData(), 0700);
}

class LogFaultTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
        writer.SetSettings({access, error, true, true});
        writer.SetClock([] { return std::time_t{1070719509}; }); // 12/06/2003 14:05:09 UTC
        writer.SetFaultHandler([this](const LogFault& fault) {
            std::lock_guard lock(mutex);
            faults.push_back(fault);
        });
    }
    std::vector<LogFault> Faults() {
        std::lock_guard lock(mutex);
        return faults;
    }

    QString dir = TestSupport::MakeTempDir("logfault");
    QString access = dir + "/later/access.log"; // a folder not made yet
    QString error = dir + "/error.log";
    LogWriter writer{nullptr, 300ms};
    std::mutex mutex;
    std::vector<LogFault> faults;
    const QString stamp = "<12/06/2003 14:05:09> ";
};

TEST_F(LogFaultTest, ReportedOnceAfterTheBoundAndOnceWhenItWorksAgain) {
    writer.WriteLogLine("a", access, false);
    writer.WriteLogLine("b", access, false);
    writer.WriteLogLine("fine", error, false);
    EXPECT_TRUE(Faults().empty()) << "not yet: a log may be shut for a moment";
    std::this_thread::sleep_for(350ms);
    writer.WriteLogLine("c", access, false);
    writer.WriteLogLine("d", access, false);
    ASSERT_EQ(Faults().size(), 1u) << "reported once";
    const LogFault down = Faults()[0];
    EXPECT_TRUE(down.failing);
    EXPECT_EQ(down.path, access);
    EXPECT_EQ(down.reason, "the folder '" + dir + "/later' does not exist");
    EXPECT_EQ(down.Text(), "Could not write to log '" + access +
                               "' since 12/06/2003 14:05:09: the folder '" + dir +
                               "/later' does not exist. Its lines wait in memory (the last "
                               "10000) until it can be written.");

    ASSERT_TRUE(QDir().mkdir(dir + "/later"));
    writer.WriteLogLine("e", access, false);
    writer.WriteLogLine("f", access, false);
    ASSERT_EQ(Faults().size(), 2u) << "and once when it works again";
    EXPECT_FALSE(Faults()[1].failing);
    EXPECT_EQ(Faults()[1].Text(), "The log '" + access + "' can be written again.");
    const QString missed = stamp + "Missed Entry: " + stamp;
    EXPECT_EQ(Joined(FileLines(error)), Joined({missed + "a", missed + "b", stamp + "fine"}));
    EXPECT_EQ(Joined(FileLines(access)),
              Joined({missed + "c", missed + "d", stamp + "e", stamp + "f"}));

    // Shut for less than the bound: nothing to say, either way.
    ASSERT_TRUE(QDir(dir + "/later").removeRecursively());
    writer.WriteLogLine("g", access, false);
    ASSERT_TRUE(QDir().mkdir(dir + "/later"));
    writer.WriteLogLine("h", access, false);
    EXPECT_EQ(Faults().size(), 2u);

    // A log the user moved away from is forgotten, reported or not.
    ASSERT_TRUE(QDir(dir + "/later").removeRecursively());
    writer.WriteLogLine("i", access, false);
    std::this_thread::sleep_for(350ms);
    writer.WriteLogLine("j", access, false);
    ASSERT_EQ(Faults().size(), 3u);
    writer.SetSettings({dir + "/moved.log", error, true, true});
    ASSERT_TRUE(QDir().mkdir(dir + "/later"));
    writer.WriteLogLine("k", access, false);
    EXPECT_EQ(Faults().size(), 3u);
}

TEST_F(LogFaultTest, TheQueueKeepsTheNewestLinesAndCountsTheRest) {
    const int dropped = 37;
    const int total = static_cast<int>(LogWriter::kMaxMissed) + dropped;
    for (int i = 0; i < total; ++i)
        writer.WriteLogLine(QString::number(i), access, false);
    QStringList waiting = writer.MissedEntries();
    ASSERT_EQ(waiting.size(), static_cast<qsizetype>(LogWriter::kMaxMissed));
    EXPECT_EQ(waiting.first(), stamp + QString::number(dropped)) << "the oldest went";
    EXPECT_EQ(waiting.last(), stamp + QString::number(total - 1));

    // A log that opens but takes nothing (a full disk) keeps the count and the lines.
    writer.WriteLogLine("full", "/dev/full", false);
    EXPECT_EQ(writer.MissedEntries().size(), static_cast<qsizetype>(LogWriter::kMaxMissed));
    EXPECT_EQ(writer.MissedEntries().last(), stamp + "full");

    ASSERT_TRUE(QDir().mkdir(dir + "/later"));
    writer.WriteLogLine("open", access, false);
    const QStringList lines = FileLines(access);
    ASSERT_EQ(lines.size(), static_cast<qsizetype>(LogWriter::kMaxMissed) + 2);
    EXPECT_EQ(lines[0], stamp + "Missed Entries Dropped: " + QString::number(dropped + 1));
    EXPECT_EQ(lines[1], stamp + "Missed Entry: " + stamp + QString::number(dropped + 1));
    EXPECT_EQ(lines[lines.size() - 2], stamp + "Missed Entry: " + stamp + "full");
    EXPECT_EQ(lines.last(), stamp + "open");
    EXPECT_TRUE(writer.MissedEntries().isEmpty());

    // Told once: the next outage that stays within the bound adds no count.
    writer.WriteLogLine("x", dir + "/none/x.log", false);
    writer.WriteLogLine("after", access, false);
    EXPECT_EQ(Joined(FileLines(access).mid(lines.size())),
              Joined({stamp + "Missed Entry: " + stamp + "x", stamp + "after"}));
}

} // namespace
