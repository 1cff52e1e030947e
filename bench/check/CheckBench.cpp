// trellion-check run as a monitoring engine runs a plugin (one process per check) against
// check_pgsql on the same private PostgreSQL: 50 runs of each, interleaved so that both see the
// same machine, each run's wall time and its peak resident memory (the child's own rusage from
// wait4). Prints the medians and the ratios against check_pgsql: the full probe (goal <= 1.5)
// and --connect-only (goal <= 1.0).
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
#include <sys/resource.h>
#include <sys/wait.h>
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

// One run with its output thrown away; exits the benchmark when the run does not answer OK, as
// the figures would then compare different work.
Sample RunOnce(const QStringList& command) {
    std::vector<QByteArray> bytes;
    std::vector<char*> argv;
    for (const QString& arg : command)
        bytes.push_back(arg.toLocal8Bit());
    for (QByteArray& arg : bytes)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    rusage usage{};
    if (spawned != 0 || wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "bench_check: %s did not answer OK (status %d)\n",
                     bytes[0].constData(), status);
        std::exit(1);
    }
    const auto end = std::chrono::steady_clock::now();
    return {std::chrono::duration<double, std::milli>(end - start).count(), usage.ru_maxrss};
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

    for (int i = 0; i < kWarmUp; ++i) {
        RunOnce(pgsql);
        RunOnce(check);
        RunOnce(connectOnly);
    }
    std::vector<Sample> pgsqlRuns, checkRuns, connectOnlyRuns;
    for (int i = 0; i < kRuns; ++i) {
        pgsqlRuns.push_back(RunOnce(pgsql));
        checkRuns.push_back(RunOnce(check));
        connectOnlyRuns.push_back(RunOnce(connectOnly));
    }
    const Figures baseline = Summarise(pgsqlRuns);
    const Figures full = Summarise(checkRuns);
    const Figures bare = Summarise(connectOnlyRuns);
    std::printf("bench_check: %d runs each against PostgreSQL on 127.0.0.1:%d\n", kRuns,
                server.Port());
    Print("check_pgsql", baseline, baseline);
    Print("trellion-check", full, baseline);
    Print("trellion-check --connect-only", bare, baseline);
    std::printf("goals: full probe time ratio <= 1.5 (%s), --connect-only <= 1.0 (%s)\n",
                full.medianMs / baseline.medianMs <= 1.5 ? "met" : "MISSED",
                bare.medianMs / baseline.medianMs <= 1.0 ? "met" : "MISSED");
    return 0;
}
