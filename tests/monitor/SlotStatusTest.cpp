// The display's arithmetic: what the user reads in the slot fields and the graph legend.
#include "monitor/SlotStatus.h"

#include <QDateTime>
#include <QThread>

#include <gtest/gtest.h>

#include <clocale>

namespace {

QList<AccessRecord> Records(std::initializer_list<double> values) {
    QList<AccessRecord> out;
    int i = 0;
    for (double v : values)
        out << AccessRecord{v, QStringLiteral(" #%1").arg(i++)};
    return out;
}

TEST(FormatMs, PrintsLikePercentG) {
    EXPECT_EQ(FormatMs(16), "16");
    EXPECT_EQ(FormatMs(125.5), "125.5");
    EXPECT_EQ(FormatMs(-99), "-99");
    EXPECT_EQ(FormatMs(0.1 + 0.2), "0.3");
    EXPECT_EQ(FormatMs(1234567), "1.23457e+06");
    EXPECT_EQ(FormatMs(999999), "999999");
    EXPECT_EQ(FormatMs(1e6), "1e+06");
}

TEST(FormatMs, IgnoresTheProcessLocale) {
    // The application object sets the user's locale; a decimal comma would break RoundScale.
    const char* old = std::setlocale(LC_NUMERIC, nullptr);
    const std::string saved = old ? old : "C";
    if (!std::setlocale(LC_NUMERIC, "de_DE.UTF-8") && !std::setlocale(LC_NUMERIC, "fr_FR.UTF-8"))
        GTEST_SKIP() << "no locale with a decimal comma installed";
    EXPECT_EQ(FormatMs(125.5), "125.5");
    EXPECT_EQ(RoundScale(125.5), 130);
    std::setlocale(LC_NUMERIC, saved.c_str());
}

TEST(RoundScale, RoundsUpToTensByEditingTheText) {
    EXPECT_EQ(RoundScale(16), 20);
    EXPECT_EQ(RoundScale(123), 130);
    EXPECT_EQ(RoundScale(120), 120);
    EXPECT_EQ(RoundScale(125.5), 130);
    EXPECT_EQ(RoundScale(0.3), 10);
    EXPECT_EQ(RoundScale(0), 0);
    EXPECT_EQ(RoundScale(99999), 100000);
}

TEST(RoundScale, KeepsTheQuirksOfNegativeAndLargeValues) {
    EXPECT_EQ(RoundScale(-99), -80);
    EXPECT_EQ(RoundScale(-198), -180);
    // "1e+06" with its last character replaced.
    EXPECT_EQ(RoundScale(999995), 1);
    // "2.00001e+06" cut at the point: "2", then "0".
    EXPECT_EQ(RoundScale(2e6), 0);
    EXPECT_EQ(RoundScale(1234567), 0);
    // Six significant digits ending in 0 stay as they are.
    EXPECT_EQ(RoundScale(123450), 123450);
}

TEST(ComputeAccessStatistics, EmptyHistoryKeepsScaleAndGivesZeroRecords) {
    const AccessStatistics s = ComputeAccessStatistics({}, 10.0);
    EXPECT_EQ(s.best.elapsed, 0);
    EXPECT_TRUE(s.best.when.isEmpty());
    EXPECT_EQ(s.worst.elapsed, 0);
    EXPECT_EQ(s.scaleCandidate, 10.0);
}

TEST(ComputeAccessStatistics, BestAndWorstTakeTheOldestOfEqualValues) {
    const AccessStatistics s = ComputeAccessStatistics(Records({30, 10, 50, 10, 50, 20}), 60);
    EXPECT_EQ(s.best.elapsed, 10);
    EXPECT_EQ(s.best.when, " #1");
    EXPECT_EQ(s.worst.elapsed, 50);
    EXPECT_EQ(s.worst.when, " #2");
    EXPECT_EQ(s.scaleCandidate, 60) << "the scale stays until the history is full";
}

TEST(ComputeAccessStatistics, ZeroSumBeforeARecordMakesItBest) {
    // 0 then 40: the sum before 40 is 0, so 40 becomes best.
    AccessStatistics s = ComputeAccessStatistics(Records({0, 40}), 10);
    EXPECT_EQ(s.best.elapsed, 40);
    EXPECT_EQ(s.worst.elapsed, 40);
    // A run that cancels out does the same: -99 + 99 = 0 before the 70.
    s = ComputeAccessStatistics(Records({-99, 99, 70}), 10);
    EXPECT_EQ(s.best.elapsed, 70);
    EXPECT_EQ(s.best.when, " #2");
}

TEST(ComputeAccessStatistics, FailedPollsNeverBecomeWorstButDragBestBelowZero) {
    const AccessStatistics s = ComputeAccessStatistics(Records({20, -99, 30}), 30);
    EXPECT_EQ(s.worst.elapsed, 30);
    EXPECT_EQ(s.best.elapsed, -99);
}

TEST(ComputeAccessStatistics, FullHistoryGivesTwiceTheMean) {
    QList<AccessRecord> history;
    for (int i = 0; i < kHistoryLength - 1; ++i)
        history << AccessRecord{50, QString()};
    EXPECT_EQ(ComputeAccessStatistics(history, 50).scaleCandidate, 50);
    history << AccessRecord{50, QString()};
    EXPECT_EQ(ComputeAccessStatistics(history, 50).scaleCandidate, 100);
    history << AccessRecord{157, QString()}; // 108 records: between the append and the trim
    EXPECT_DOUBLE_EQ(ComputeAccessStatistics(history, 50).scaleCandidate,
                     2.0 * (50.0 * 107 + 157) / 108);
}

TEST(LegendTexts, FifthsOfTheScaleTopDown) {
    EXPECT_EQ(LegendTexts(20), QStringList({"20ms", "16ms", "12ms", "8ms", "4ms"}));
    EXPECT_EQ(LegendTexts(10), QStringList({"10ms", "8ms", "6ms", "4ms", "2ms"}));
    EXPECT_EQ(LegendTexts(-180), QStringList({"-180ms", "-144ms", "-108ms", "-72ms", "-36ms"}));
    EXPECT_EQ(LegendTexts(130)[2], "78ms");
}

TEST(TimeStamp, LocalTimeWithLeadingBlank) {
    const QDateTime when(QDate(2026, 3, 7), QTime(9, 5, 1), Qt::LocalTime);
    EXPECT_EQ(TimeStamp(when.toSecsSinceEpoch()), " on 03/07/2026 at 09:05:01");
    const QDateTime evening(QDate(2026, 12, 31), QTime(23, 59, 59), Qt::LocalTime);
    EXPECT_EQ(TimeStamp(evening.toSecsSinceEpoch()), " on 12/31/2026 at 23:59:59");
    EXPECT_TRUE(TimeStamp().startsWith(" on "));
    EXPECT_EQ(TimeStamp().size(), 26);
}

TEST(ElapsedMs, SurvivesAWrapOfTheCounter) {
    EXPECT_EQ(ElapsedMs(100, 116), 16);
    EXPECT_EQ(ElapsedMs(0xFFFFFFF8u, 8), 16);
    EXPECT_EQ(ElapsedMs(5, 5), 0);
}

TEST(TickCount, IsMonotonicInMilliseconds) {
    const std::uint32_t a = TickCount();
    QThread::msleep(30);
    const double d = ElapsedMs(a, TickCount());
    EXPECT_GE(d, 25);
    EXPECT_LT(d, 5000);
}

TEST(LeadingInt, ReadsLikeAtoi) {
    EXPECT_EQ(LeadingInt(QStringLiteral("250")), 250);
    EXPECT_EQ(LeadingInt(QStringLiteral("  \t42ms")), 42);
    EXPECT_EQ(LeadingInt(QStringLiteral("-7")), -7);
    EXPECT_EQ(LeadingInt(QStringLiteral("+5x")), 5);
    EXPECT_EQ(LeadingInt(QStringLiteral("abc")), 0);
    EXPECT_EQ(LeadingInt(QStringLiteral("- 3")), 0);
    EXPECT_EQ(LeadingInt(QString()), 0);
    EXPECT_EQ(LeadingInt(QStringLiteral("99999999999")), INT_MAX);
    EXPECT_EQ(LeadingInt(QStringLiteral("-99999999999")), INT_MIN);
}

} // namespace
