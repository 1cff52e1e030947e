#pragma once

#include "probe/HealthQuery.h"
#include "probe/ProbeOptions.h"

#include <QString>

// One probe with a health query as a poll makes it (connect, the query, disconnect), timed on
// the steady clock: for the dialog's Test button and the benchmark. Blocks; call it off the UI
// thread.
struct HealthTrial {
    bool connected = false;
    QString connectError; // the driver's message when it did not connect
    HealthVerdict verdict;
    double totalMs = 0.0; // connect to disconnect
    double queryMs = 0.0;

    static HealthTrial Run(const QString& connectionString, const HealthQuery& query,
                           const ProbeOptions& options);
};
