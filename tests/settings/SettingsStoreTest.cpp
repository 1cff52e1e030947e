#include "settings/SettingsStore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include <sys/stat.h>

namespace {

class SettingsStoreTest : public ::testing::Test {
protected:
    void SetUp() override { QFile::remove(SettingsStore::FilePath()); }
};

// An independent reader of the file: what another process would see right after the write.
QVariant ReadFromDisk(const QString& section, const QString& key) {
    QSettings raw(SettingsStore::FilePath(), QSettings::IniFormat);
    raw.beginGroup(section);
    return raw.value(key);
}

TEST_F(SettingsStoreTest, MissingValuesGiveTheDefault) {
    EXPECT_EQ(SettingsStore::ReadInt("Settings", "Interval0", 15), 15);
    EXPECT_EQ(SettingsStore::ReadInt("Settings", "LocX", -32), -32);
    EXPECT_EQ(SettingsStore::ReadString("Settings", "SMTPName", "Trellion"), "Trellion");
    EXPECT_EQ(SettingsStore::ReadString("Settings", "SMTP"), "");
}

TEST_F(SettingsStoreTest, IntegersAndStringsRoundTripIncludingNegativeAndEmpty) {
    EXPECT_TRUE(SettingsStore::WriteInt("Settings", "LocX", -32));
    EXPECT_TRUE(SettingsStore::WriteInt("Settings", "Warn0", 2147483647));
    EXPECT_TRUE(SettingsStore::WriteInt("Settings", "Warn1", -2147483647 - 1));
    EXPECT_TRUE(SettingsStore::WriteString("Settings", "SMTP", "mail.example.org:2525"));
    EXPECT_TRUE(SettingsStore::WriteString("Settings", "lastDatabase0",
                                           "DSN=pg;UID=u;PWD=a,b=c;\"quoted\" @x"));
    EXPECT_TRUE(SettingsStore::WriteString("Settings", "SMTPEmail", ""));

    EXPECT_EQ(SettingsStore::ReadInt("Settings", "LocX", 0), -32);
    EXPECT_EQ(SettingsStore::ReadInt("Settings", "Warn0", 0), 2147483647);
    EXPECT_EQ(SettingsStore::ReadInt("Settings", "Warn1", 0), -2147483647 - 1);
    EXPECT_EQ(SettingsStore::ReadString("Settings", "SMTP"), "mail.example.org:2525");
    EXPECT_EQ(SettingsStore::ReadString("Settings", "lastDatabase0"),
              "DSN=pg;UID=u;PWD=a,b=c;\"quoted\" @x");
    // A stored empty string is not "missing": it is read back as empty, not as the default.
    EXPECT_EQ(SettingsStore::ReadString("Settings", "SMTPEmail", "fallback"), "");
}

TEST_F(SettingsStoreTest, EveryTitleIsItsOwnSection) {
    const QStringList titles = {
        "u@PG(localhost)",
        "/var/db/a.db",
        "C:\\data\\b.db",
        "a/b",
        "a%2Fb",
        "a\\b",
        "x=y;z",
        "[Settings]",
        "Settings/Warned",
        "100%",
        "paren (x) blank",
        "Ünïcødé база",
        "General",
        "@Variant",
        " lead and trail ",
    };
    for (int i = 0; i < titles.size(); ++i) {
        ASSERT_TRUE(SettingsStore::WriteInt(titles[i], "Warned", i + 1));
        ASSERT_TRUE(SettingsStore::WriteString(titles[i], "lastAlert", titles[i]));
    }
    for (int i = 0; i < titles.size(); ++i) {
        EXPECT_EQ(SettingsStore::ReadInt(titles[i], "Warned", 0), i + 1) << titles[i].toStdString();
        EXPECT_EQ(SettingsStore::ReadString(titles[i], "lastAlert"), titles[i]);
    }
    // None of them reached into "Settings" or the top level.
    EXPECT_EQ(SettingsStore::ReadInt("Settings", "Warned", -5), -5);
    EXPECT_EQ(SettingsStore::ReadInt("", "Warned", -5), -5);
}

TEST_F(SettingsStoreTest, EmptySectionIsTheTopLevelAndDistinctFromSettings) {
    SettingsStore::WriteInt("", "Warned", 1);
    SettingsStore::WriteString("", "lastAlert", " on 01/02/2026 at 03:04:05");
    EXPECT_EQ(SettingsStore::ReadInt("", "Warned", 0), 1);
    EXPECT_EQ(SettingsStore::ReadString("", "lastAlert"), " on 01/02/2026 at 03:04:05");
    EXPECT_EQ(SettingsStore::ReadInt("Settings", "Warned", 0), 0);
    EXPECT_EQ(SettingsStore::ReadInt("General", "Warned", 0), 0);
}

TEST_F(SettingsStoreTest, WriteIsOnDiskWhenTheCallReturns) {
    SettingsStore::WriteInt("Settings", "NumOpen", 3);
    EXPECT_EQ(ReadFromDisk("Settings", "NumOpen").toInt(), 3);
    SettingsStore::WriteString("Settings", "SMTPAlert", "ops@example.org");
    EXPECT_EQ(ReadFromDisk("Settings", "SMTPAlert").toString(), "ops@example.org");
    // And a change made by another process is seen by the next read here.
    {
        QSettings other(SettingsStore::FilePath(), QSettings::IniFormat);
        other.setValue("Settings/NumOpen", 7);
    }
    EXPECT_EQ(SettingsStore::ReadInt("Settings", "NumOpen", 0), 7);
}

TEST_F(SettingsStoreTest, FileAndFolderAreReadableByTheUserAlone) {
    SettingsStore::WriteString("Settings", "SMTPPassword", "secret");
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(SettingsStore::FilePath()).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    const QString dir = QFileInfo(SettingsStore::FilePath()).absolutePath();
    ASSERT_EQ(::stat(QFile::encodeName(dir).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    // Rewriting keeps it private.
    SettingsStore::WriteString("Settings", "SMTPPassword", "other");
    ASSERT_EQ(::stat(QFile::encodeName(SettingsStore::FilePath()).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(SettingsStoreTest, GarbageOrUnreadableFileGivesDefaults) {
    const QString path = SettingsStore::FilePath();
    QDir().mkpath(QFileInfo(path).absolutePath());
    {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("\x01\x02[[[Settings\n=== garbage ===\nInterval0=notanumber\n\xff\xfe\n");
    }
    EXPECT_EQ(SettingsStore::ReadInt("Settings", "Interval0", 15), 15);
    EXPECT_EQ(SettingsStore::ReadString("Settings", "SMTP", "none"), "none");

    // A folder where the file should be: reads give defaults, writes fail without a crash.
    QFile::remove(path);
    QDir().mkpath(path);
    EXPECT_EQ(SettingsStore::ReadInt("Settings", "Warn0", 10000), 10000);
    EXPECT_FALSE(SettingsStore::WriteInt("Settings", "Warn0", 5));
    QDir(path).removeRecursively();
}

TEST_F(SettingsStoreTest, ConcurrentWritersFromSeveralThreadsLoseNothing) {
    constexpr int kThreads = 4;
    constexpr int kWrites = 50;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            const QString section = QStringLiteral("db%1").arg(t);
            for (int i = 0; i < kWrites; ++i) {
                SettingsStore::WriteInt(section, QStringLiteral("k%1").arg(i), i * 10 + t);
                EXPECT_EQ(SettingsStore::ReadInt(section, QStringLiteral("k%1").arg(i), -1),
                          i * 10 + t);
            }
        });
    }
    for (auto& th : threads)
        th.join();
    for (int t = 0; t < kThreads; ++t)
        for (int i = 0; i < kWrites; ++i)
            EXPECT_EQ(
                ReadFromDisk(QStringLiteral("db%1").arg(t), QStringLiteral("k%1").arg(i)).toInt(),
                i * 10 + t);
}

} // namespace
