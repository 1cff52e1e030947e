#include "HistoryTestSupport.h"

#include "tests/common/TestSupport.h"

#include <QDateTime>
#include <QTimeZone>

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

namespace {

using HistoryTime::kDayMs;
using HistoryTime::kHourMs;

// Local days come from the process's zone, as the window will ask for them.
class BerlinTime {
public:
    BerlinTime() {
        const char* old = std::getenv("TZ");
        m_had = old != nullptr;
        if (m_had)
            m_old = old;
        ::setenv("TZ", "Europe/Berlin", 1);
        ::tzset();
    }
    ~BerlinTime() {
        if (m_had)
            ::setenv("TZ", m_old.c_str(), 1);
        else
            ::unsetenv("TZ");
        ::tzset();
    }

private:
    bool m_had = false;
    std::string m_old;
};

qint64 BerlinMidnight(int year, int month, int day) {
    return QDateTime(QDate(year, month, day), QTime(0, 0), QTimeZone("Europe/Berlin"))
        .toMSecsSinceEpoch();
}

struct DstCase {
    const char* name;
    QDate firstDay; // three local days from here, the change on the middle one
    int changeDayHours;
};

// One poll a minute over three local days around each change, then the same questions before
// and after the raw polls are pruned: local days of 24, 23 or 25 hours, and UTC days.
TEST(HistoryRollUp, LocalDaysAcrossDaylightSavingChanges) {
    BerlinTime berlin;
    ASSERT_EQ(QTimeZone::systemTimeZone().offsetFromUtc(QDateTime(QDate(2026, 7, 1), QTime(12, 0))),
              7200)
        << "the test needs TZ to reach Qt's system zone";
    const DstCase cases[] = {
        {"spring forward", QDate(2026, 3, 28), 23},
        {"fall back", QDate(2026, 10, 24), 25},
    };
    for (const DstCase& c : cases) {
        SCOPED_TRACE(c.name);
        HistoryFixture fixture;
        const QString dir = TestSupport::MakeTempDir(QStringLiteral("history-dst"));
        HistoryStore store(fixture.Options(dir));
        const QDate d = c.firstDay;
        const qint64 start = BerlinMidnight(d.year(), d.month(), d.day());
        const QDate end = d.addDays(3);
        const qint64 stop = BerlinMidnight(end.year(), end.month(), end.day());
        const int polls = static_cast<int>((stop - start) / 60000);
        ASSERT_EQ(polls, (48 + c.changeDayHours) * 60);
        fixture.now = stop;
        RecordMinutes(store, QStringLiteral("Sales"), start, polls);
        ASSERT_TRUE(store.Flush(20000));

        const std::vector<qint64> localDays = HistoryTime::LocalDayEdges(start, stop - 1);
        ASSERT_EQ(localDays.size(), 4u);
        EXPECT_EQ(localDays[2] - localDays[1], c.changeDayHours * kHourMs);

        // UTC days: Berlin's midnight is 23:00 or 22:00 UTC, so the polls fall into four of them.
        const std::vector<qint64> utcDays = HistoryTime::UtcEdges(start, stop, kDayMs);
        ASSERT_EQ(utcDays.size(), 5u);
        std::vector<qint64> utcExpected;
        for (size_t i = 0; i + 1 < utcDays.size(); ++i)
            utcExpected.push_back((std::min(utcDays[i + 1], stop) - std::max(utcDays[i], start)) /
                                  60000);

        for (const bool pruned : {false, true}) {
            SCOPED_TRACE(pruned ? "after the raw polls were pruned" : "with the raw polls");
            if (pruned) {
                fixture.now = stop + 10 * kDayMs;
                store.RollUpNow();
                ASSERT_TRUE(store.Flush(20000));
                ASSERT_TRUE(ExportedPolls(store, QStringLiteral("Sales"), start, stop).isEmpty());
            }
            const auto local = store.Series(QStringLiteral("Sales"), localDays);
            ASSERT_TRUE(local.has_value());
            ASSERT_EQ(local->size(), 3u);
            EXPECT_EQ((*local)[0].summary.count, 24 * 60);
            EXPECT_EQ((*local)[1].summary.count, c.changeDayHours * 60);
            EXPECT_EQ((*local)[1].summary.unreachable, c.changeDayHours * 3);
            EXPECT_EQ((*local)[2].summary.count, 24 * 60);

            const auto utc = store.Series(QStringLiteral("Sales"), utcDays);
            ASSERT_TRUE(utc.has_value());
            ASSERT_EQ(utc->size(), utcExpected.size());
            for (size_t i = 0; i < utcExpected.size(); ++i)
                EXPECT_EQ((*utc)[i].summary.count, utcExpected[i]) << "UTC day " << i;
        }
        EXPECT_TRUE(fixture.Faults().isEmpty());
    }
}

// Hourly rows go after HistoryDays; daily rows stay, so whole UTC days keep their exact counts
// while a range that starts inside a pruned day is exact only to the day.
TEST(HistoryRollUp, DailyRowsOutliveTheHourlyOnes) {
    HistoryFixture fixture;
    const QString dir = TestSupport::MakeTempDir(QStringLiteral("history-retention"));
    HistoryOptions options = fixture.Options(dir);
    options.historyDays = 5;
    HistoryStore store(options);
    const qint64 t0 = Utc(2026, 5, 10);
    fixture.now = t0 + 2 * kDayMs;
    RecordMinutes(store, QStringLiteral("Sales"), t0, 2 * 24 * 60);
    ASSERT_TRUE(store.Flush(20000));

    const qint64 partialFrom = t0 + 6 * kHourMs;
    auto before = store.Summary(QStringLiteral("Sales"), partialFrom, t0 + 2 * kDayMs);
    ASSERT_TRUE(before.has_value());
    EXPECT_EQ(before->count, 42 * 60);

    fixture.now = t0 + 30 * kDayMs;
    store.RollUpNow();
    ASSERT_TRUE(store.Flush(20000));
    const auto whole = store.Summary(QStringLiteral("Sales"), t0, t0 + 2 * kDayMs);
    ASSERT_TRUE(whole.has_value());
    EXPECT_EQ(whole->count, 2 * 24 * 60);
    EXPECT_EQ(whole->Answered(), 2 * 24 * 55);
    const auto partial = store.Summary(QStringLiteral("Sales"), partialFrom, t0 + 2 * kDayMs);
    ASSERT_TRUE(partial.has_value());
    EXPECT_EQ(partial->count, 24 * 60) << "the part of the first day is gone with its hours";
}

// The store prunes by itself once its clock passes the next roll-up time, with no request.
TEST(HistoryRollUp, RollUpRunsOnTheStoreClock) {
    HistoryFixture fixture;
    const QString dir = TestSupport::MakeTempDir(QStringLiteral("history-clock"));
    HistoryOptions options = fixture.Options(dir);
    options.rawKeepMs = 2 * kHourMs;
    HistoryStore store(options);
    const qint64 t0 = Utc(2026, 6, 1);
    fixture.now = t0;
    RecordMinutes(store, QStringLiteral("Sales"), t0, 60);
    ASSERT_TRUE(store.Flush(5000));
    ASSERT_EQ(ExportedPolls(store, QStringLiteral("Sales"), t0, t0 + kDayMs).size(), 60);

    fixture.now = t0 + 5 * kHourMs;
    RecordMinutes(store, QStringLiteral("Sales"), t0 + 5 * kHourMs, 1);
    ASSERT_TRUE(store.Flush(5000));
    EXPECT_EQ(ExportedPolls(store, QStringLiteral("Sales"), t0, t0 + kDayMs).size(), 1);
    const auto hour = store.Summary(QStringLiteral("Sales"), t0, t0 + kHourMs);
    ASSERT_TRUE(hour.has_value());
    EXPECT_EQ(hour->count, 60);
}

} // namespace
