#include "probe/HealthTrial.h"

#include "probe/DatabaseProbe.h"

#include <chrono>
#include <memory>

namespace {

double MsBetween(std::chrono::steady_clock::time_point from,
                 std::chrono::steady_clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

} // namespace

HealthTrial HealthTrial::Run(const QString& connectionString, const HealthQuery& query,
                             const ProbeOptions& options) {
    using Clock = std::chrono::steady_clock;
    HealthTrial trial;
    const std::unique_ptr<CDatabaseProbe> probe(
        CDatabaseProbe::FromStored(connectionString, QString(), options));
    const Clock::time_point start = Clock::now();
    trial.connected = probe->Connect(connectionString, &trial.connectError);
    if (!trial.connected)
        return trial;
    const Clock::time_point queryStart = Clock::now();
    if (query.IsSet())
        trial.verdict = probe->CheckHealth(query);
    else
        trial.verdict.passed = true; // a bare connect, as a poll without a query
    const Clock::time_point queryEnd = Clock::now();
    probe->Disconnect();
    trial.totalMs = MsBetween(start, Clock::now());
    trial.queryMs = MsBetween(queryStart, queryEnd);
    return trial;
}
