#pragma once

#include "probe/HealthExpect.h"

#include <QString>

#include <optional>

class CDatabaseProbe;

namespace Check {

// SEAM: the health query. Runs sql on the probe's open connection (between its Connect and
// Disconnect) and returns the first column of the first row; nullopt with the driver's message
// (or why it could not run) in *error. Until the probe can run a query of its own this answers
// nullopt and the plugin reports UNKNOWN; connecting it means calling the probe's query call
// here, bounded by the login time-out as a statement time-out.
std::optional<HealthValue> RunHealthQuery(CDatabaseProbe& probe, const QString& sql,
                                          int timeoutSeconds, QString* error);

// True once RunHealthQuery runs queries; until then --query is UNKNOWN before any connect.
bool HealthQueryAvailable();

} // namespace Check
