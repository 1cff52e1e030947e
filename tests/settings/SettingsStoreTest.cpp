#include "settings/SettingsStore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>

#include <gtest/gtest.h>

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

} // namespace
