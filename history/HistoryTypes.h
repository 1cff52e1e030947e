#pragma once

#include <QString>
#include <QTimeZone>

#include <array>
#include <cstdint>
#include <vector>

// Plain values exchanged with the history store. Times are UTC milliseconds since the epoch.

enum class PollResult : int {
    Reachable = 1,
    Slow = 2,
    Unreachable = 3,
    NotChecked = 4,
};

struct PollRecord {
    qint64 utcMs = 0;
    QString key; // the database's title, as its alert state section is named
    PollResult outcome = PollResult::Reachable;
    double elapsedMs = 0;
    QString reason; // why a poll failed; empty otherwise
};

struct OutageRecord {
    QString key;
    qint64 startMs = 0;
    qint64 endMs = -1; // -1 while the outage lasts
    bool alertSent = false;
    QString reason;

    bool IsOpen() const { return endMs < 0; }
};

// Response-time histogram: fixed half-decade buckets (<10, <30, <100, <300, <1000, <3000,
// <10000, rest ms). Eight counters per stored row keep a p95 to within one bucket.
constexpr int kHistogramBuckets = 8;
constexpr std::array<double, kHistogramBuckets - 1> kHistogramEdges = {10,   30,   100,  300,
                                                                       1000, 3000, 10000};
int HistogramBucket(double elapsedMs);

// Counts and response times of the polls in a stretch of time. Minimum, mean, maximum and the
// histogram cover the polls that answered (reachable or slow); an unreachable poll's elapsed time
// is how long it took to fail, which says nothing about the database's speed.
struct PollSummary {
    qint64 count = 0;
    qint64 reachable = 0;
    qint64 slow = 0;
    qint64 unreachable = 0;
    qint64 notChecked = 0;
    double minMs = 0; // valid when Answered() > 0
    double maxMs = 0;
    double sumMs = 0;
    std::array<qint64, kHistogramBuckets> histogram{};

    void Add(PollResult outcome, double elapsedMs);
    void Merge(const PollSummary& other);

    qint64 Answered() const { return reachable + slow; }
    // Polls that count toward availability: "not checked" counts neither way.
    qint64 Checked() const { return reachable + slow + unreachable; }
    // Percent of checked polls that answered; -1 when nothing was checked.
    double AvailabilityPercent() const;
    double MeanMs() const { return Answered() > 0 ? sumMs / static_cast<double>(Answered()) : 0; }
    // The 95th percentile, interpolated on a log scale inside its histogram bucket and kept
    // within [minMs, maxMs]; 0 when nothing answered.
    double P95Ms() const;

    friend bool operator==(const PollSummary&, const PollSummary&) = default;
};

struct SeriesBucket {
    qint64 startMs = 0;
    qint64 endMs = 0;
    PollSummary summary;
};

namespace HistoryTime {
constexpr qint64 kHourMs = 3600 * 1000;
constexpr qint64 kDayMs = 24 * kHourMs;

qint64 FloorTo(qint64 t, qint64 step);
qint64 CeilTo(qint64 t, qint64 step);

// Bucket edges for a chart: every stepMs from from (floored to whole steps in UTC) to to.
std::vector<qint64> UtcEdges(qint64 from, qint64 to, qint64 stepMs);

// The UTC instants of the local midnights from the day holding from to the first midnight at or
// after to, in zone. A local day is 23 or 25 hours long across a daylight-saving change, so a
// chart of local days must pass these edges rather than a fixed step.
std::vector<qint64> LocalDayEdges(qint64 from, qint64 to,
                                  const QTimeZone& zone = QTimeZone::systemTimeZone());
} // namespace HistoryTime
