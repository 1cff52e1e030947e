#include "check/HealthQuerySeam.h"

#include "probe/DatabaseProbe.h"

namespace Check {

std::optional<HealthValue> RunHealthQuery(CDatabaseProbe& probe, const QString& sql,
                                          int timeoutSeconds, QString* error) {
    HealthRun run = probe.RunQuery(sql, timeoutSeconds);
    if (!run.executed) {
        *error = run.error;
        return std::nullopt;
    }
    return std::move(run.value);
}

bool HealthQueryAvailable() {
    return true;
}

} // namespace Check
