// Months of polling compressed: 10,000 threaded polls of two SQLite files and a private
// PostgreSQL cluster, through outages and recoveries, four slots at a time. Whatever a poll
// leaves behind (memory, a descriptor, a thread) would add up over months; here it shows as
// growth between the checkpoint after 1,000 polls and the one after 10,000.
#include "log/LogWriter.h"
#include "mail/SmtpClient.h"
#include "monitor/SlotMonitor.h"
#include "probe/DatabaseProbe.h"
#include "settings/SettingKeys.h"
#include "settings/SettingsStore.h"
#include "tests/common/DbServer.h"
#include "tests/common/OdbcTestEnv.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>

#include <cstdio>
#include <memory>

namespace {

constexpr int kSlots = 4;
constexpr int kCheckpoint = 1000;
constexpr int kPolls = 10000;

// The process's value of a /proc/self/status line ("VmRSS:", "Threads:").
long Status(const char* key) {
    QFile status(QStringLiteral("/proc/self/status"));
    if (status.open(QIODevice::ReadOnly))
        for (const QByteArray& line : status.readAll().split('\n'))
            if (line.startsWith(key))
                return line.mid(qstrlen(key)).trimmed().split(' ').value(0).toLong();
    return -1;
}

long Descriptors() {
    return QDir(QStringLiteral("/proc/self/fd"))
        .entryList(QDir::AllEntries | QDir::NoDotAndDotDot)
        .size();
}

struct Usage {
    long rssKiB;
    long descriptors;
};

// Poll threads are detached: wait until those of ended polls have left before measuring.
Usage Measure(long threads) {
    for (int i = 0; i < 500 && Status("Threads:") > threads; ++i)
        QThread::msleep(10);
    return {Status("VmRSS:"), Descriptors()};
}

} // namespace

int main(int argc, char** argv) {
    QTemporaryDir home(QDir::tempPath() + QStringLiteral("/trellion-bench-XXXXXX"));
    qputenv("XDG_CONFIG_HOME", (home.path() + QStringLiteral("/config")).toLocal8Bit());
    qputenv("TRELLION_TEST_HOME", home.path().toLocal8Bit());
    QCoreApplication app(argc, argv);
    OdbcTestEnv::Install();
    DbServer pg(DbServer::Kind::Postgres);
    if (!pg.Start()) {
        std::fprintf(stderr, "bench_soak: no PostgreSQL cluster\n");
        return 1;
    }
    const QString lite = home.path() + QStringLiteral("/soak.db");
    const QString other = home.path() + QStringLiteral("/other.db");
    OdbcTestEnv::CreateSqliteDatabase(lite);
    OdbcTestEnv::CreateSqliteDatabase(other);
    const QString strings[kSlots] = {OdbcTestEnv::SqliteConnectionString(lite),
                                     OdbcTestEnv::SqliteConnectionString(other),
                                     pg.DriverConnectionString(), pg.DriverConnectionString()};
    const QString titles[kSlots] = {"soak.db", "other.db", "soak@pg", "soak@pg"};
    for (int slot = 0; slot < kSlots; ++slot) {
        Config::Write(Config::kLastDatabase[slot], strings[slot]);
        Config::Write(Config::kLastDatabaseTitle[slot], titles[slot]);
    }
    auto log = std::make_shared<LogWriter>(nullptr);
    log->SetSettings({home.path() + "/access.log", home.path() + "/error.log", true, true});
    auto smtp = std::make_shared<SmtpClient>(nullptr);
    MonitorOptions options;
    options.probe = ProbeOptions{10, nullptr};
    SlotMonitor monitor(log, smtp, options);
    monitor.LoadIntervalsAndThresholds();
    monitor.RestoreSlots();

    const long threads = Status("Threads:");
    Usage first{};
    int outages = 0;
    for (int round = 0; round < kPolls / kSlots; ++round) {
        // Every 500 rounds an outage of 50: the first file goes away, then the cluster stops.
        if (round % 500 == 100)
            QFile::rename(lite, lite + ".away");
        if (round % 500 == 150)
            QFile::rename(lite + ".away", lite);
        if (round % 500 == 300)
            outages += pg.Stop();
        if (round % 500 == 350 && !pg.Start()) {
            std::fprintf(stderr, "bench_soak: the cluster did not come back\n");
            return 1;
        }
        for (int slot = 0; slot < kSlots; ++slot)
            monitor.StartPoll(slot);
        if (!monitor.WaitForPolls(120000)) {
            std::fprintf(stderr, "bench_soak: polls did not end\n");
            return 1;
        }
        if ((round + 1) * kSlots == kCheckpoint)
            first = Measure(threads);
    }
    const Usage last = Measure(threads);
    std::printf("bench_soak: %d polls over %d slots, %d cluster outages\n", kPolls, kSlots,
                outages);
    std::printf("  after %5d polls: resident %ld KiB, %ld descriptors\n", kCheckpoint, first.rssKiB,
                first.descriptors);
    std::printf("  after %5d polls: resident %ld KiB, %ld descriptors\n", kPolls, last.rssKiB,
                last.descriptors);
    std::printf("  ratio: resident %.3f, descriptors %.3f (goal: at most 1.05)\n",
                double(last.rssKiB) / double(first.rssKiB),
                double(last.descriptors) / double(first.descriptors));
    return 0;
}
