#pragma once

#include "monitor/DatabaseSlot.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <cstdint>
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

// A monotonic millisecond counter, wrapping at 2^32 like the system tick count.
std::uint32_t TickCount();

// t1 - t0 as an unsigned 32-bit difference, so that a wrap between the two still measures.
inline double ElapsedMs(std::uint32_t t0, std::uint32_t t1) {
    return static_cast<double>(static_cast<std::uint32_t>(t1 - t0));
}

// The integer at the start of an edit text: white space skipped, an optional sign, the digits
// up to the first other character; no digits gives 0. Saturates at the int range.
int LeadingInt(const QString& text);
