#pragma once

#include "monitor/DatabaseSlot.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <chrono>
#include <ctime>

// The pure parts of the poll and the slot display, kept apart so that their quirks can be
// pinned down by tests: they are what the user sees.

// A millisecond value as "%g" prints it (six significant digits, exponent from 1e+06).
QString FormatMs(double value);

// Rounds a graph scale by editing its "%g" text; see the tests for what that does to large and
// negative values.
double RoundScale(double value);

// " on %m/%d/%Y at %H:%M:%S" in local time, of now or of the given moment.
QString TimeStamp();
QString TimeStamp(std::time_t when);

struct AccessStatistics {
    AccessRecord best;
    AccessRecord worst;
    double scaleCandidate = 0.0;
};

// The records the display needs once the history reaches its full length.
inline constexpr int kHistoryLength = 107;

// Best, worst and the new scale candidate of a history, oldest record first.
AccessStatistics ComputeAccessStatistics(const QList<AccessRecord>& history, double currentScale);

// The five legend texts of a graph scale, top band first.
QStringList LegendTexts(double scale);

// The clock a probe is timed with: a monotonic time since some fixed moment. The steady clock
// counts nanoseconds, so a probe of a local database that takes a fraction of a millisecond is
// measured as that fraction and never as 0.
using ProbeTime = std::chrono::nanoseconds;
ProbeTime SteadyProbeTime();

// t1 - t0 in milliseconds, fractions kept.
inline double ElapsedMs(ProbeTime t0, ProbeTime t1) {
    return std::chrono::duration<double, std::milli>(t1 - t0).count();
}

// The integer at the start of an edit text: white space skipped, an optional sign, the digits
// up to the first other character; no digits gives 0. Saturates at the int range.
int LeadingInt(const QString& text);
