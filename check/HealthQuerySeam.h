#pragma once

#include "probe/HealthExpect.h"

#include <QString>

#include <optional>

class CDatabaseProbe;

namespace Check {

// The health query: runs sql on the probe's open connection (between its Connect and
// Disconnect), read-only and rolled back, and returns the first column of the first row;
// nullopt with the driver's message (or the time-out) in *error.
std::optional<HealthValue> RunHealthQuery(CDatabaseProbe& probe, const QString& sql,
                                          int timeoutSeconds, QString* error);

// True when this build runs health queries.
bool HealthQueryAvailable();

} // namespace Check
