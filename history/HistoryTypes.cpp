#include "history/HistoryTypes.h"

#include <QDateTime>

#include <algorithm>
#include <cmath>

int HistogramBucket(double elapsedMs) {
    const auto it = std::upper_bound(kHistogramEdges.begin(), kHistogramEdges.end(), elapsedMs);
    return static_cast<int>(it - kHistogramEdges.begin());
}

void PollSummary::Add(PollResult outcome, double elapsedMs) {
    ++count;
    switch (outcome) {
    case PollResult::Reachable:
        ++reachable;
        break;
    case PollResult::Slow:
        ++slow;
        break;
    case PollResult::Unreachable:
        ++unreachable;
        return;
    case PollResult::NotChecked:
        ++notChecked;
        return;
    }
    minMs = Answered() == 1 ? elapsedMs : std::min(minMs, elapsedMs);
    maxMs = Answered() == 1 ? elapsedMs : std::max(maxMs, elapsedMs);
    sumMs += elapsedMs;
    ++histogram[static_cast<size_t>(HistogramBucket(elapsedMs))];
}

void PollSummary::Merge(const PollSummary& other) {
    if (other.Answered() > 0) {
        minMs = Answered() > 0 ? std::min(minMs, other.minMs) : other.minMs;
        maxMs = Answered() > 0 ? std::max(maxMs, other.maxMs) : other.maxMs;
    }
    count += other.count;
    reachable += other.reachable;
    slow += other.slow;
    unreachable += other.unreachable;
    notChecked += other.notChecked;
    sumMs += other.sumMs;
    for (size_t i = 0; i < histogram.size(); ++i)
        histogram[i] += other.histogram[i];
}

double PollSummary::AvailabilityPercent() const {
    if (Checked() == 0)
        return -1;
    return 100.0 * static_cast<double>(Answered()) / static_cast<double>(Checked());
}

double PollSummary::P95Ms() const {
    const qint64 answered = Answered();
    if (answered == 0)
        return 0;
    // Rank of the 95th percentile among the answered polls, 1-based.
    const auto rank = static_cast<qint64>(std::ceil(0.95 * static_cast<double>(answered)));
    qint64 seen = 0;
    for (int b = 0; b < kHistogramBuckets; ++b) {
        const qint64 inBucket = histogram[static_cast<size_t>(b)];
        if (seen + inBucket < rank) {
            seen += inBucket;
            continue;
        }
        const double low = b == 0 ? minMs : std::max(minMs, kHistogramEdges[size_t(b) - 1]);
        const double high =
            b == kHistogramBuckets - 1 ? maxMs : std::min(maxMs, kHistogramEdges[size_t(b)]);
        // The rank's middle inside the bucket, so that the estimate stays off the bucket's edge.
        const double fraction =
            (static_cast<double>(rank - seen) - 0.5) / static_cast<double>(inBucket);
        const double value = low > 0 && high > low ? low * std::pow(high / low, fraction)
                                                   : low + (high - low) * fraction;
        return std::clamp(value, minMs, maxMs);
    }
    return maxMs;
}

namespace HistoryTime {

qint64 FloorTo(qint64 t, qint64 step) {
    qint64 q = t / step;
    if (t % step != 0 && t < 0)
        --q;
    return q * step;
}

qint64 CeilTo(qint64 t, qint64 step) {
    const qint64 floor = FloorTo(t, step);
    return floor == t ? t : floor + step;
}

std::vector<qint64> UtcEdges(qint64 from, qint64 to, qint64 stepMs) {
    std::vector<qint64> edges;
    if (stepMs <= 0 || to <= from)
        return edges;
    for (qint64 t = FloorTo(from, stepMs); t < to; t += stepMs)
        edges.push_back(t);
    edges.push_back(edges.back() + stepMs);
    return edges;
}

std::vector<qint64> LocalDayEdges(qint64 from, qint64 to, const QTimeZone& zone) {
    std::vector<qint64> edges;
    if (to <= from)
        return edges;
    QDate day = QDateTime::fromMSecsSinceEpoch(from, zone).date();
    for (;;) {
        // A zone that skips midnight itself gets the first valid instant of that day.
        const qint64 edge = QDateTime(day, QTime(0, 0), zone).toMSecsSinceEpoch();
        edges.push_back(edge);
        if (edge >= to)
            break;
        day = day.addDays(1);
    }
    return edges;
}

} // namespace HistoryTime
