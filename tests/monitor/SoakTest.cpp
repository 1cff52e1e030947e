// Months of polling compressed: thousands of threaded polls of real SQLite and PostgreSQL
// databases through outages and recoveries. Whatever a poll leaves behind (a descriptor, a
// thread, a history entry) would add up over months; here it shows as growth between two
// checkpoints.
#include "probe/DatabaseProbe.h"
#include "settings/SettingsStore.h"
#include "tests/common/OdbcTestEnv.h"
#include "tests/common/PgCluster.h"
#include "tests/monitor/MonitorTestSupport.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

#include <algorithm>

namespace {

int OpenDescriptors() {
    return static_cast<int>(QDir(QStringLiteral("/proc/self/fd"))
                                .entryList(QDir::AllEntries | QDir::NoDotAndDotDot)
                                .size());
}

int Threads() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("Threads:"))
            return line.mid(8).trimmed().toInt();
    return -1;
}

struct Usage {
    int descriptors;
    int threads;
};

Usage Now() {
    return {OpenDescriptors(), Threads()};
}

class SoakTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pg.Start());
        CDatabaseProbe::SetLoginTimeoutSeconds(10);
        dbPath = rig.dir + QStringLiteral("/soak.db");
        ASSERT_FALSE(OdbcTestEnv::CreateSqliteDatabase(dbPath).isEmpty());
        const QString lite = OdbcTestEnv::SqliteConnectionString(dbPath);
        rig.StoreSlot(0, lite, QStringLiteral("soak.db"));
        rig.StoreSlot(1, lite, QStringLiteral("soak.db"));
        rig.StoreSlot(2, OdbcTestEnv::SqliteConnectionString(rig.dir + QStringLiteral("/none.db")),
                      QStringLiteral("none.db"));
        rig.StoreSlot(3, pg.DriverConnectionString(), QStringLiteral("soak@pg"));
    }

    // One round: all four slots polled at once on their threads.
    bool Round() {
        for (int slot = 0; slot < 4; ++slot)
            rig.monitor->StartPoll(slot);
        const bool ended = rig.monitor->WaitForPolls(30000);
        // The recording view keeps every call; it is not what is measured.
        rig.view.Clear();
        return ended;
    }

    PgCluster pg;
    MonitorRig rig;
    QString dbPath;
};

TEST_F(SoakTest, ThousandsOfPollsThroughOutagesLeaveNothingBehind) {
    // Warm-up: drivers loaded, thread pools and caches at their working size.
    for (int i = 0; i < 20; ++i)
        ASSERT_TRUE(Round());
    // The warm-up's last threads may still be leaving: take the lowest count over a moment.
    Usage before = Now();
    WaitUntil(
        [&] {
            before.threads = std::min(before.threads, Threads());
            return false;
        },
        200);

    constexpr int kRounds = 400;
    for (int round = 0; round < kRounds; ++round) {
        // An outage of both databases every 100 rounds, 20 rounds long.
        if (round % 100 == 40) {
            ASSERT_TRUE(QFile::rename(dbPath, dbPath + QStringLiteral(".away")));
            ASSERT_TRUE(pg.Stop());
        }
        if (round % 100 == 60) {
            ASSERT_TRUE(QFile::rename(dbPath + QStringLiteral(".away"), dbPath));
            ASSERT_TRUE(pg.Start());
        }
        ASSERT_TRUE(Round()) << "round " << round;
    }
    // A poll's thread is detached: it may still be on its way out when its poll has ended.
    ASSERT_TRUE(WaitUntil([&] { return Threads() <= before.threads; }, 5000))
        << Threads() << " threads, " << before.threads << " before";
    const Usage after = Now();

    EXPECT_EQ(after.descriptors, before.descriptors) << "descriptors left open by polls";
    for (int slot = 0; slot < 4; ++slot)
        EXPECT_LE(rig.monitor->History(slot).size(), 107) << "slot " << slot;

    // Every poll was logged: four outages of slot 0 and 3 (20 rounds each), slot 2 always down.
    const QStringList errors = rig.ErrorLines();
    const QStringList access = rig.AccessLines();
    const int polls = 4 * (kRounds + 20);
    EXPECT_EQ(errors.size() + access.size(), polls);
    EXPECT_EQ(errors.size(), (kRounds + 20) + 3 * 4 * 20);
    // Each outage alerted (here: noted without e-mail) once and recovered once.
    EXPECT_EQ(SettingsStore::ReadInt(QStringLiteral("soak@pg"), QStringLiteral("Warned"), -1), 0);
    EXPECT_EQ(SettingsStore::ReadInt(QStringLiteral("soak.db"), QStringLiteral("Warned"), -1), 0);
    EXPECT_EQ(SettingsStore::ReadInt(QStringLiteral("none.db"), QStringLiteral("Warned"), -1), 1);
}

} // namespace
