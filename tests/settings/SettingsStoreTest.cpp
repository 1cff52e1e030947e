#include "settings/SettingsStore.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSettings>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

#include <sys/stat.h>

namespace {

using namespace SettingsStore;

unsigned Mode(const QString& path) {
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode & 0777 : 0;
}

// Every title is a section of its own, whatever it holds, apart from "Settings" and the top
// level; each write is on disk when the call returns, in a file the user's alone, and four
// threads writing at once lose nothing. Garbage or a folder in place of the file gives defaults.
TEST(SettingsStoreTest, TitlesRoundTripAsDistinctPrivateSectionsAndBadFilesGiveDefaults) {
    QFile::remove(FilePath());
    EXPECT_EQ(ReadInt("Settings", "Interval0", 15), 15);
    const QStringList titles = {"u@PG(host)", "/var/a.db",       "C:\\b.db", "a/b",
                                "a%2Fb",      "a%5Cb",           "a\\b",     "x=y;z",
                                "[Settings]", "Settings/Warned", "100%",     "Ünï база",
                                "General",    "@Variant",        " pad ",    ""};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = t; i < titles.size(); i += 4)
                EXPECT_TRUE(WriteInt(titles[i], "Warned", i - 3) &&
                            WriteString(titles[i], "lastAlert", titles[i]));
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(Mode(FilePath()), 0600u);
    EXPECT_EQ(Mode(QFileInfo(FilePath()).absolutePath()), 0700u);
    for (int i = 0; i < titles.size(); ++i) {
        EXPECT_EQ(ReadInt(titles[i], "Warned", 99), i - 3) << titles[i].toStdString();
        EXPECT_EQ(ReadString(titles[i], "lastAlert", "x"), titles[i]);
    }
    EXPECT_EQ(ReadInt("Settings", "Warned", 99), 99);
    ASSERT_TRUE(WriteString("Settings", "SMTP", "") && WriteInt("Settings", "Interval0", 42));
    EXPECT_EQ(ReadString("Settings", "SMTP", "none"), "") << "a stored empty text is no default";
    QSettings other(FilePath(), QSettings::IniFormat); // another process, at once
    EXPECT_EQ(other.value("Settings/Interval0").toInt(), 42);
    other.setValue("Settings/NumOpen", 7);
    other.sync();
    EXPECT_EQ(ReadInt("Settings", "NumOpen", 0), 7);

    QFile f(FilePath());
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write("\x01\x02[[[Settings\n=== garbage ===\nInterval0=notanumber\n\xff\xfe\n");
    f.close();
    EXPECT_EQ(ReadInt("Settings", "Interval0", 15), 15);
    QFile::remove(FilePath());
    QDir().mkpath(FilePath());
    EXPECT_EQ(ReadInt("Settings", "Warn0", 10000), 10000);
    EXPECT_FALSE(WriteInt("Settings", "Warn0", 5));
    QDir(FilePath()).removeRecursively();
}

// A section read in one go gives, key by key, what the single reads give: numbers written by
// this process or by hand, texts, empty texts, lists and missing keys, in an escaped title.
TEST(SettingsStoreTest, ASectionReadInOneGoGivesWhatSingleReadsGive) {
    QFile::remove(FilePath());
    const QString title = "u@PG(host)/sales";
    ASSERT_TRUE(WriteInt(title, "Warned", 1) && WriteString(title, "lastAlert", " on 01/02") &&
                WriteString(title, "alertPending", ""));
    QSettings other(FilePath(), QSettings::IniFormat);
    other.setValue("u@PG(host)%2Fsales/failedPolls", " 3 ");
    other.setValue("u@PG(host)%2Fsales/slowPolls", "many");
    other.setValue("u@PG(host)%2Fsales/outageSince", QStringList{"a", "b"});
    other.sync();

    const QStringList keys = {"Warned",    "lastAlert",   "alertPending", "failedPolls",
                              "slowPolls", "outageSince", "missing"};
    const SectionValues values = ReadSection(title, keys);
    for (const QString& key : keys) {
        EXPECT_EQ(values.Int(key, -7), ReadInt(title, key, -7)) << key.toStdString();
        EXPECT_EQ(values.String(key, "none"), ReadString(title, key, "none")) << key.toStdString();
    }
    EXPECT_EQ(values.Int("failedPolls", -7), 3) << "a hand-written number";
    EXPECT_EQ(values.String("alertPending", "none"), "") << "a stored empty text is no default";
    EXPECT_EQ(values.String("outageSince", "none"), "none") << "a list is not our text";
    EXPECT_EQ(values.Int("notAsked", -7), -7) << "a key not read gives the default";
}

// One section's lock excludes every other holder, in this process or another, until released;
// a wait ends at its time-out or when cancelled, saying why. Other sections are not held up.
TEST(SettingsStoreTest, SectionLockExcludesOtherHoldersAndEveryWaitEnds) {
    std::atomic<bool> cancel{false};
    auto first = std::make_unique<SectionLock>("u@PG(host)", 1000);
    ASSERT_TRUE(first->Held()) << first->Failure().toStdString();
    EXPECT_EQ(Mode(SectionLock::LockFilePath()), 0600u);
    const struct {
        QString section;
        int timeoutMs;
        bool cancelled;
        bool held;
        QString failure;
    } cases[] = {
        {"u@PG(host)", 300, false, false, "held elsewhere for more than 300 ms"},
        {"u@PG(host)", 60000, true, false, "given up at shutdown"},
        {"u@PG(other)", 0, false, true, ""},
    };
    for (const auto& c : cases) {
        cancel = c.cancelled;
        QElapsedTimer timer;
        timer.start();
        std::unique_ptr<SectionLock> second;
        std::thread([&] {
            second = std::make_unique<SectionLock>(c.section, c.timeoutMs, &cancel);
        }).join();
        EXPECT_EQ(second->Held(), c.held) << c.section.toStdString();
        EXPECT_EQ(second->Failure(), c.failure);
        EXPECT_LT(timer.elapsed(), c.timeoutMs + 5000);
        if (!c.cancelled) {
            EXPECT_GE(timer.elapsed(), c.held ? 0 : c.timeoutMs);
        }
    }
    // A released hold goes to a waiter at once, not at the end of its wait.
    std::thread releaser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        first.reset();
    });
    QElapsedTimer timer;
    timer.start();
    const SectionLock next("u@PG(host)", 10000);
    releaser.join();
    EXPECT_TRUE(next.Held());
    EXPECT_LT(timer.elapsed(), 5000);
}

} // namespace
