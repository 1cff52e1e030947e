#include "check/HealthQuerySeam.h"

namespace Check {

std::optional<HealthValue> RunHealthQuery(CDatabaseProbe&, const QString&, int, QString* error) {
    *error = QStringLiteral("health queries cannot be run by this build yet");
    return std::nullopt;
}

bool HealthQueryAvailable() {
    return false;
}

} // namespace Check
