// trellion-check run as a monitoring engine runs a plugin (one process per check) against
// check_pgsql on the same private PostgreSQL: 50 runs of each, interleaved so that both see the
// same machine, each run's wall time and its peak resident memory (the child's own rusage from
// wait4, taken by bench_check_run). Prints the medians and the ratios against check_pgsql: the full
// probe (goal <= 1.5) and --connect-only (goal <= 1.0).
#include "bench/check/MetricsScrape.h"
#include "tests/common/DbServer.h"
#include "tests/common/OdbcTestEnv.h"

#include <QCoreApplication>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

constexpr int kRuns = 50;
constexpr int kWarmUp = 3;
const char* const kCheckPgsql = "/usr/lib/nagios/plugins/check_pgsql";

struct Sample {
    double ms = 0;
    long maxRssKb = 0;
};

// One run through bench_check_run, which reports the run's exit code, wall time and peak
// memory; exits the benchmark when the run does not end as expected (OK for a check), as the
// figures would then compare different work.
Sample RunOnce(const QStringList& command, int expectedExit = 0) {
    std::vector<QByteArray> bytes{QByteArray(BENCH_CHECK_RUN)};
    for (const QString& arg : command)
        bytes.push_back(arg.toLocal8Bit());
    std::vector<char*> argv;
    for (QByteArray& arg : bytes)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    int out[2];
    if (pipe(out) != 0)
        std::exit(1);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    char report[128] = {};
    const ssize_t got = spawned == 0 ? read(out[0], report, sizeof report - 1) : -1;
    close(out[0]);
    int status = 0;
    if (spawned == 0)
        waitpid(pid, &status, 0);
    int exitCode = -1;
    long long us = 0;
    long rssKb = 0;
    if (got <= 0 || std::sscanf(report, "%d %lld %ld", &exitCode, &us, &rssKb) != 3 ||
        exitCode != expectedExit) {
        std::fprintf(stderr, "bench_check: %s ended with exit code %d\n", bytes[1].constData(),
                     exitCode);
        std::exit(1);
    }
    return {us / 1000.0, rssKb};
}

struct Figures {
    double medianMs = 0;
    double p90Ms = 0;
    long peakRssKb = 0;
};

Figures Summarise(std::vector<Sample> samples) {
    std::sort(samples.begin(), samples.end(),
              [](const Sample& a, const Sample& b) { return a.ms < b.ms; });
    Figures f;
    const size_t n = samples.size();
    f.medianMs = (samples[n / 2 - 1].ms + samples[n / 2].ms) / 2;
    f.p90Ms = samples[n * 9 / 10].ms;
    for (const Sample& s : samples)
        f.peakRssKb = std::max(f.peakRssKb, s.maxRssKb);
    return f;
}

void Print(const char* name, const Figures& f, const Figures& baseline) {
    std::printf("%-28s median %7.2f ms  p90 %7.2f ms  peak RSS %6ld KiB  time ratio %.2f  memory "
                "ratio %.2f\n",
                name, f.medianMs, f.p90Ms, f.peakRssKb, f.medianMs / baseline.medianMs,
                double(f.peakRssKb) / double(baseline.peakRssKb));
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    OdbcTestEnv::Install();
    DbServer server(DbServer::Kind::Postgres);
    if (!server.Start()) {
        std::fprintf(stderr, "bench_check: the private PostgreSQL did not start\n");
        return 1;
    }
    // The plugin takes the password from the environment, as an engine would hand it over.
    const QString password = server.Password();
    qputenv("BENCH_PG_PASSWORD", password.toUtf8());
    const QString connectionString =
        server.DriverConnectionString().remove(";PWD=" + password, Qt::CaseInsensitive);
    const QString binary = QStringLiteral(TRELLION_BINARY_DIR "/trellion-check");
    const QStringList check{binary, "--connection-string", connectionString, "--password-env",
                            "BENCH_PG_PASSWORD"};
    const QStringList connectOnly = check + QStringList{"--connect-only"};
    const QStringList pgsql{kCheckPgsql,
                            "-H",
                            "127.0.0.1",
                            "-P",
                            QString::number(server.Port()),
                            "-d",
                            server.Database(),
                            "-l",
                            server.User(),
                            "-p",
                            password};

    // Start-up alone: each program printing its version (both end that with UNKNOWN).
    const QStringList checkVersion{binary, "-V"};
    const QStringList pgsqlVersion{kCheckPgsql, "-V"};

    for (int i = 0; i < kWarmUp; ++i) {
        RunOnce(pgsql);
        RunOnce(check);
        RunOnce(connectOnly);
    }
    std::vector<Sample> pgsqlRuns, checkRuns, connectOnlyRuns, pgsqlStarts, checkStarts;
    for (int i = 0; i < kRuns; ++i) {
        pgsqlRuns.push_back(RunOnce(pgsql));
        checkRuns.push_back(RunOnce(check));
        connectOnlyRuns.push_back(RunOnce(connectOnly));
        pgsqlStarts.push_back(RunOnce(pgsqlVersion, 3));
        checkStarts.push_back(RunOnce(checkVersion, 3));
    }
    const Figures baseline = Summarise(pgsqlRuns);
    const Figures full = Summarise(checkRuns);
    const Figures bare = Summarise(connectOnlyRuns);
    std::printf("bench_check: %d runs each against PostgreSQL on 127.0.0.1:%d\n", kRuns,
                server.Port());
    Print("check_pgsql", baseline, baseline);
    Print("trellion-check", full, baseline);
    Print("trellion-check --connect-only", bare, baseline);
    const Figures pgsqlStart = Summarise(pgsqlStarts);
    Print("check_pgsql -V (start-up)", pgsqlStart, pgsqlStart);
    Print("trellion-check -V (start-up)", Summarise(checkStarts), pgsqlStart);
    // Where one run's time goes, as the plugin itself reports it.
    const QStringList verbose = check + QStringList{"-vv"};
    QStringList quoted;
    for (const QString& arg : verbose)
        quoted << "'" + arg + "'";
    if (FILE* pipe = popen(quoted.join(u' ').toLocal8Bit().constData(), "r")) {
        char line[512];
        while (std::fgets(line, sizeof line, pipe))
            std::printf("  one run -vv: %s", line);
        pclose(pipe);
    }
    std::printf("goals: full probe time ratio <= 1.5 (%s), --connect-only <= 1.0 (%s)\n",
                full.medianMs / baseline.medianMs <= 1.5 ? "met" : "MISSED",
                bare.medianMs / baseline.medianMs <= 1.0 ? "met" : "MISSED");
    BenchMetricsScrape();
    return 0;
}
