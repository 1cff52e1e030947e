#include "HistoryTestSupport.h"

#include "history/HistoryReader.h"
#include "tests/common/TestSupport.h"

#include <QBuffer>

#include <gtest/gtest.h>

namespace {

using HistoryPlan::Level;
using HistoryPlan::Piece;
using HistoryTime::kDayMs;
using HistoryTime::kHourMs;

constexpr qint64 kMinute = 60000;

struct PlanCase {
    const char* name;
    qint64 from;
    qint64 to;
    HistoryPlan::Horizons horizons;
    std::vector<Piece> expected;
};

TEST(HistoryPlan, RangesSplitIntoDaysHoursAndRawEdges) {
    const qint64 d = 100 * kDayMs; // an arbitrary midnight, UTC
    const PlanCase cases[] = {
        {"inside one hour",
         d + 5 * kMinute,
         d + 20 * kMinute,
         {},
         {{Level::Raw, d + 5 * kMinute, d + 20 * kMinute}}},
        {"across one hour edge",
         d + 50 * kMinute,
         d + kHourMs + 10 * kMinute,
         {},
         {{Level::Raw, d + 50 * kMinute, d + kHourMs},
          {Level::Raw, d + kHourMs, d + kHourMs + 10 * kMinute}}},
        {"hours inside a day",
         d + 30 * kMinute,
         d + 5 * kHourMs + 15 * kMinute,
         {},
         {{Level::Raw, d + 30 * kMinute, d + kHourMs},
          {Level::Hourly, d + kHourMs, d + 5 * kHourMs},
          {Level::Raw, d + 5 * kHourMs, d + 5 * kHourMs + 15 * kMinute}}},
        {"whole days in the middle",
         d - 2 * kHourMs,
         d + 3 * kDayMs + kHourMs,
         {},
         {{Level::Hourly, d - 2 * kHourMs, d},
          {Level::Daily, d, d + 3 * kDayMs},
          {Level::Hourly, d + 3 * kDayMs, d + 3 * kDayMs + kHourMs}}},
        {"raw pruned: the partial first hour is left out",
         d + 30 * kMinute,
         d + 3 * kHourMs,
         {d + 2 * kHourMs, d - kDayMs},
         {{Level::Hourly, d + kHourMs, d + 3 * kHourMs}}},
        {"hourly pruned: hours before the horizon are left out",
         d - 5 * kHourMs,
         d + kDayMs + 2 * kHourMs,
         {d + kDayMs, d + kDayMs},
         {{Level::Daily, d, d + kDayMs}, {Level::Hourly, d + kDayMs, d + kDayMs + 2 * kHourMs}}},
        {"empty range", d, d, {}, {}},
    };
    for (const PlanCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(HistoryPlan::Decompose(c.from, c.to, c.horizons), c.expected);
    }
}

TEST(HistorySummary, PercentileStaysInTheBucketOfTheTrueValue) {
    struct Case {
        const char* name;
        std::vector<double> elapsed;
        double truth;
    };
    std::vector<double> spread;
    for (int i = 1; i <= 100; ++i)
        spread.push_back(i * 50.0); // 50 .. 5000 ms, p95 = 4750
    const Case cases[] = {
        {"one value", {42}, 42},
        {"all equal", std::vector<double>(20, 250.0), 250},
        {"spread over buckets", spread, 4750},
        {"one slow outlier in twenty",
         {5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 9000},
         5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PollSummary s;
        for (double e : c.elapsed)
            s.Add(PollResult::Reachable, e);
        const double p95 = s.P95Ms();
        EXPECT_EQ(HistogramBucket(p95), HistogramBucket(c.truth)) << p95;
        EXPECT_GE(p95, s.minMs);
        EXPECT_LE(p95, s.maxMs);
    }
}

class HistoryQuery : public ::testing::Test {
protected:
    HistoryFixture fixture;
    QString dir = TestSupport::MakeTempDir(QStringLiteral("history-query"));
};

// Every hour of RecordMinutes: 50 reachable, 5 slow, 3 unreachable, 2 not checked, so an hour
// has 55 answered of 58 checked polls.
TEST_F(HistoryQuery, AvailabilityMatchesHandCountedPolls) {
    const qint64 t0 = Utc(2026, 1, 5);
    fixture.now = t0 + 3 * kDayMs;
    auto store = std::make_unique<HistoryStore>(fixture.Options(dir));
    RecordMinutes(*store, QStringLiteral("Sales"), t0, 3 * 24 * 60);
    RecordMinutes(*store, QStringLiteral("Stock"), t0, 60); // another key must not leak in
    ASSERT_TRUE(store->Flush(20000));

    // From 10:30 on day 0 to 05:15 on day 2: minutes 30..59 of hour 10 (20 reachable, 5 slow,
    // 3 unreachable, 2 not checked), 42 whole hours, then minutes 0..14 of 05:00 (15 reachable).
    const qint64 from = t0 + 10 * kHourMs + 30 * kMinute;
    const qint64 to = t0 + 2 * kDayMs + 5 * kHourMs + 15 * kMinute;
    auto s = store->Summary(QStringLiteral("Sales"), from, to);
    ASSERT_TRUE(s.has_value());
    EXPECT_EQ(s->Answered(), 25 + 42 * 55 + 15);
    EXPECT_EQ(s->Checked(), 28 + 42 * 58 + 15);
    EXPECT_EQ(s->notChecked, 2 + 42 * 2);
    EXPECT_NEAR(s->AvailabilityPercent(), 100.0 * 2350 / 2479, 1e-9);

    // One whole day: minimum 10 ms, maximum 554 ms, mean (1725 + 2760) / 55.
    s = store->Summary(QStringLiteral("Sales"), t0 + kDayMs, t0 + 2 * kDayMs);
    ASSERT_TRUE(s.has_value());
    EXPECT_EQ(s->count, 24 * 60);
    EXPECT_DOUBLE_EQ(s->minMs, 10);
    EXPECT_DOUBLE_EQ(s->maxMs, 554);
    EXPECT_NEAR(s->MeanMs(), 4485.0 / 55, 1e-9);
    EXPECT_EQ(HistogramBucket(s->P95Ms()), HistogramBucket(552));

    // Thirty days later the raw polls are gone: the partial hours at both ends drop out, the
    // whole hours stay exact.
    fixture.now = t0 + 30 * kDayMs;
    store->RollUpNow();
    ASSERT_TRUE(store->Flush(20000));
    EXPECT_TRUE(ExportedPolls(*store, QStringLiteral("Sales"), t0, to).isEmpty());
    s = store->Summary(QStringLiteral("Sales"), from, to);
    ASSERT_TRUE(s.has_value());
    EXPECT_EQ(s->Answered(), 42 * 55);
    EXPECT_EQ(s->Checked(), 42 * 58);

    // A key never written and a range with nothing in it answer with nothing, not an error.
    s = store->Summary(QStringLiteral("Nobody"), t0, to);
    ASSERT_TRUE(s.has_value());
    EXPECT_EQ(s->count, 0);
    EXPECT_LT(s->AvailabilityPercent(), 0);
    EXPECT_TRUE(fixture.Faults().isEmpty()) << fixture.Faults().join('\n').toStdString();
}

// The window may open before the first poll was written.
TEST_F(HistoryQuery, QueriesBeforeTheFirstWriteAnswerEmpty) {
    HistoryStore store(fixture.Options(dir + "/not-yet"));
    const qint64 t0 = Utc(2026, 2, 1);
    const auto series = store.Series(QStringLiteral("Sales"), {t0, t0 + kHourMs, t0 + kDayMs});
    ASSERT_TRUE(series.has_value());
    ASSERT_EQ(series->size(), 2u);
    EXPECT_EQ((*series)[1].startMs, t0 + kHourMs);
    EXPECT_EQ((*series)[1].summary.count, 0);
    const auto outages = store.Outages(QStringLiteral("Sales"), t0, t0 + kDayMs);
    ASSERT_TRUE(outages.has_value());
    EXPECT_TRUE(outages->empty());
    QBuffer csv;
    csv.open(QIODevice::WriteOnly);
    ASSERT_TRUE(store.ExportPollsCsv(QStringLiteral("Sales"), t0, t0 + kDayMs, &csv));
    EXPECT_EQ(csv.data(), "time_utc,database,outcome,elapsed_ms,reason\n");
}

TEST_F(HistoryQuery, SeriesGivesMinMeanMaxPerBucket) {
    const qint64 t0 = Utc(2026, 2, 1);
    fixture.now = t0;
    HistoryStore store(fixture.Options(dir));
    RecordMinutes(store, QStringLiteral("Sales"), t0, 6 * 60);
    ASSERT_TRUE(store.Flush(20000));

    const auto edges = HistoryTime::UtcEdges(t0 + 15 * kMinute, t0 + 3 * kHourMs, kHourMs);
    ASSERT_EQ(edges.size(), 4u);
    const auto series = store.Series(QStringLiteral("Sales"), edges);
    ASSERT_TRUE(series.has_value());
    ASSERT_EQ(series->size(), 3u);
    for (const SeriesBucket& bucket : *series) {
        EXPECT_EQ(bucket.summary.count, 60);
        EXPECT_EQ(bucket.summary.unreachable, 3);
        EXPECT_DOUBLE_EQ(bucket.summary.minMs, 10);
        EXPECT_DOUBLE_EQ(bucket.summary.maxMs, 554);
    }
    EXPECT_EQ(series->front().startMs, t0);
}

TEST_F(HistoryQuery, OutagesAreIntervalsThatSurviveARestart) {
    const qint64 t0 = Utc(2026, 4, 1, 12);
    {
        HistoryStore store(fixture.Options(dir));
        store.OpenOutage(QStringLiteral("Sales"), t0, QStringLiteral("Login failed, user \"sa\""),
                         false);
        store.MarkOutageAlerted(QStringLiteral("Sales"));
        store.OpenOutage(QStringLiteral("Stock"), t0 + kHourMs, QStringLiteral("timeout"), true);
        store.CloseOutage(QStringLiteral("Stock"), t0 + 2 * kHourMs);
        ASSERT_TRUE(store.Flush(5000));
    }
    HistoryStore store(fixture.Options(dir));
    // The same outage reported again after the restart keeps its first start.
    store.OpenOutage(QStringLiteral("Sales"), t0 + 3 * kHourMs, QStringLiteral("again"), false);
    store.CloseOutage(QStringLiteral("Sales"), t0 + 4 * kHourMs);
    store.OpenOutage(QStringLiteral("Sales"), t0 + 10 * kHourMs, QStringLiteral("down"), false);
    ASSERT_TRUE(store.Flush(5000));

    auto outages = store.Outages(QStringLiteral("Sales"), t0 - kDayMs, t0 + kDayMs);
    ASSERT_TRUE(outages.has_value());
    ASSERT_EQ(outages->size(), 2u);
    EXPECT_EQ((*outages)[0].startMs, t0);
    EXPECT_EQ((*outages)[0].endMs, t0 + 4 * kHourMs);
    EXPECT_TRUE((*outages)[0].alertSent);
    EXPECT_EQ((*outages)[0].reason, QStringLiteral("Login failed, user \"sa\""));
    EXPECT_TRUE((*outages)[1].IsOpen());
    EXPECT_FALSE((*outages)[1].alertSent);

    // Only outages overlapping the range: the open one reaches into any later range.
    outages = store.Outages(QStringLiteral("Sales"), t0 + 5 * kHourMs, t0 + 6 * kHourMs);
    ASSERT_TRUE(outages.has_value());
    EXPECT_TRUE(outages->empty());
    outages = store.Outages(QStringLiteral("Sales"), t0 + 5 * kDayMs, t0 + 6 * kDayMs);
    ASSERT_TRUE(outages.has_value());
    ASSERT_EQ(outages->size(), 1u);

    QBuffer csv;
    csv.open(QIODevice::WriteOnly);
    ASSERT_TRUE(store.ExportOutagesCsv(QStringLiteral("Sales"), t0 - kDayMs, t0 + kDayMs, &csv));
    EXPECT_EQ(csv.data(), "database,start_utc,end_utc,length_s,alert_sent,reason\n"
                          "Sales,2026-04-01T12:00:00.000Z,2026-04-01T16:00:00.000Z,14400,yes,"
                          "\"Login failed, user \"\"sa\"\"\"\n"
                          "Sales,2026-04-01T22:00:00.000Z,,,no,down\n");
}

TEST_F(HistoryQuery, PollsAndSeriesExportAsCsv) {
    const qint64 t0 = Utc(2026, 2, 1, 0, 54);
    fixture.now = t0;
    HistoryStore store(fixture.Options(dir));
    RecordMinutes(store, QStringLiteral("Sales, East"), t0, 3);
    ASSERT_TRUE(store.Flush(5000));

    const QList<QByteArray> lines =
        ExportedPolls(store, QStringLiteral("Sales, East"), t0, t0 + kHourMs);
    ASSERT_EQ(lines.size(), 3);
    EXPECT_EQ(lines[0], "2026-02-01T00:54:00.000Z,\"Sales, East\",slow,554.000,");
    EXPECT_EQ(lines[1], "2026-02-01T00:55:00.000Z,\"Sales, East\",unreachable,30000.000,"
                        "\"Connection refused, \"\"port 5432\"\"\"");

    QBuffer csv;
    csv.open(QIODevice::WriteOnly);
    ASSERT_TRUE(store.ExportSeriesCsv(QStringLiteral("Sales, East"),
                                      HistoryTime::UtcEdges(t0, t0 + 3 * kMinute, kHourMs), &csv));
    const QList<QByteArray> rows = csv.data().split('\n');
    ASSERT_GE(rows.size(), 2);
    EXPECT_EQ(rows[1], "2026-02-01T00:00:00.000Z,2026-02-01T01:00:00.000Z,\"Sales, East\",3,0,1,"
                       "2,0,33.333,554.000,554.000,554.000,554.000");
}

} // namespace
