// bench_history: a simulated year of one-minute polls for four databases (2.1 million polls)
// through HistoryStore, whose clock follows the simulated time so that the roll-ups run as they
// would over a real year. Prints the cost of Record() on the caller, the store's throughput, the
// query times, the History window's time to its first painted chart and the file size, against
// a baseline in the same run: the same rows inserted with a bare prepared statement in one
// transaction.
#include "history/HistoryStore.h"
#include "ui/HistoryDlg.h"

#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>

#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <memory>
#include <random>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using HistoryTime::kDayMs;
using HistoryTime::kHourMs;

constexpr int kKeys = 4;
constexpr int kMinutes = 365 * 24 * 60;

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// The year's polls, made once so that both runs write the same rows and neither pays for them.
struct Poll {
    qint64 t;
    int key;
    PollResult outcome;
    double elapsed;
};

std::vector<Poll> MakeYear(qint64 start) {
    std::vector<Poll> polls;
    polls.reserve(size_t(kMinutes) * kKeys);
    std::mt19937 random(23);
    std::lognormal_distribution<double> elapsed(std::log(40.0), 0.6);
    std::uniform_int_distribution<int> chance(0, 99999);
    int downFor[kKeys] = {};
    for (int m = 0; m < kMinutes; ++m) {
        for (int k = 0; k < kKeys; ++k) {
            Poll poll{start + qint64(m) * 60000, k, PollResult::Reachable, elapsed(random)};
            if (downFor[k] == 0 && chance(random) < 5) // a few outages a month
                downFor[k] = 1 + chance(random) % 90;
            if (downFor[k] > 0) {
                --downFor[k];
                poll.outcome = PollResult::Unreachable;
                poll.elapsed = 15000;
            } else if (poll.elapsed > 200) {
                poll.outcome = PollResult::Slow;
            } else if (chance(random) < 50) {
                poll.outcome = PollResult::NotChecked;
            }
            polls.push_back(poll);
        }
    }
    return polls;
}

qint64 FileBytes(const QString& path) {
    qint64 bytes = 0;
    for (const char* suffix : {"", "-wal", "-shm"})
        bytes += QFileInfo(path + QLatin1String(suffix)).size();
    return bytes;
}

double Baseline(const QString& path, const std::vector<Poll>& polls, const QString keys[]) {
    sqlite3* db = nullptr;
    sqlite3_open(path.toUtf8().constData(), &db);
    sqlite3_exec(db,
                 "PRAGMA journal_mode=WAL; CREATE TABLE polls(t INTEGER, db TEXT, outcome "
                 "INTEGER, elapsed REAL, reason TEXT)",
                 nullptr, nullptr, nullptr);
    QByteArray keyUtf8[kKeys];
    for (int k = 0; k < kKeys; ++k)
        keyUtf8[k] = keys[k].toUtf8();
    const auto start = Clock::now();
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO polls VALUES(?1,?2,?3,?4,?5)", -1, &insert, nullptr);
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    for (const Poll& poll : polls) {
        sqlite3_bind_int64(insert, 1, poll.t);
        sqlite3_bind_text(insert, 2, keyUtf8[poll.key].constData(), -1, SQLITE_STATIC);
        sqlite3_bind_int(insert, 3, static_cast<int>(poll.outcome));
        sqlite3_bind_double(insert, 4, poll.elapsed);
        if (poll.outcome == PollResult::Unreachable)
            sqlite3_bind_text(insert, 5, "Connection refused", -1, SQLITE_STATIC);
        else
            sqlite3_bind_null(insert, 5);
        sqlite3_step(insert);
        sqlite3_reset(insert);
    }
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_finalize(insert);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    sqlite3_close(db);
    return seconds;
}

double Percentile(std::vector<float>& values, double p) {
    const size_t at = std::min(values.size() - 1, static_cast<size_t>(p * double(values.size())));
    std::nth_element(values.begin(), values.begin() + std::ptrdiff_t(at), values.end());
    return values[at];
}

// The median of five runs of a query, in ms.
template <typename Query> double QueryMs(Query query) {
    std::vector<double> runs;
    for (int i = 0; i < 5; ++i) {
        const auto start = Clock::now();
        query();
        runs.push_back(Ms(Clock::now() - start));
    }
    std::sort(runs.begin(), runs.end());
    return runs[2];
}

// Milliseconds from the call of open until the chart has painted.
double PaintedMs(HistoryChart* chart, const std::function<void()>& open) {
    bool painted = false;
    const QMetaObject::Connection c =
        QObject::connect(chart, &HistoryChart::painted, [&painted] { painted = true; });
    QElapsedTimer timer;
    timer.start();
    open();
    while (!painted && timer.elapsed() < 10000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    QObject::disconnect(c);
    return double(timer.nsecsElapsed()) / 1e6;
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QTemporaryDir dir(QDir::tempPath() + QStringLiteral("/trellion-bench-XXXXXX"));
    if (!dir.isValid())
        return 1;
    const qint64 start = QDateTime(QDate(2025, 1, 1), QTime(0, 0), Qt::UTC).toMSecsSinceEpoch();
    const qint64 end = start + qint64(kMinutes) * 60000;
    const QString keys[kKeys] = {QStringLiteral("Sales"), QStringLiteral("Stock"),
                                 QStringLiteral("Payroll"), QStringLiteral("Web shop")};
    const std::vector<Poll> polls = MakeYear(start);

    const QString baselinePath = dir.filePath(QStringLiteral("baseline.sqlite"));
    const double baselineSeconds = Baseline(baselinePath, polls, keys);

    std::atomic<qint64> now{start};
    std::atomic<int> faults{0};
    HistoryOptions options;
    options.stateDir = dir.path();
    options.clock = [&now] { return now.load(); };
    options.onFault = [&faults](const QString& reason) {
        ++faults;
        std::fprintf(stderr, "fault: %s\n", qPrintable(reason));
    };
    std::vector<float> recordUs;
    recordUs.reserve(polls.size());
    QString path;
    double storeSeconds = 0;
    double avail[3] = {};
    double seriesYearMs = 0;
    double seriesLocalMs = 0;
    double availability365 = 0;
    double windowMs = 0;
    double windowYearMs = 0;
    quint64 written = 0;
    quint64 dropped = 0;
    {
        HistoryStore store(options);
        path = store.FilePath();
        const auto storeStart = Clock::now();
        bool down[kKeys] = {};
        for (size_t i = 0; i < polls.size(); ++i) {
            const Poll& p = polls[i];
            now = p.t;
            PollRecord record{p.t, keys[p.key], p.outcome, p.elapsed, {}};
            if (p.outcome == PollResult::Unreachable)
                record.reason = QStringLiteral("Connection refused");
            const auto before = Clock::now();
            store.Record(record);
            recordUs.push_back(static_cast<float>(Ms(Clock::now() - before) * 1000));
            const bool isDown = p.outcome == PollResult::Unreachable;
            if (isDown != down[p.key]) {
                down[p.key] = isDown;
                if (isDown)
                    store.OpenOutage(keys[p.key], p.t, record.reason, true);
                else
                    store.CloseOutage(keys[p.key], p.t);
            }
            // One simulated day at a time, as the writer would keep up over a real day.
            if ((i + 1) % (size_t(kKeys) * 24 * 60) == 0)
                store.Flush(60000);
        }
        store.Flush(600000);
        storeSeconds = std::chrono::duration<double>(Clock::now() - storeStart).count();
        written = store.Written();
        dropped = store.Dropped();

        const qint64 ranges[3] = {kDayMs, 30 * kDayMs, 365 * kDayMs};
        for (int r = 0; r < 3; ++r)
            avail[r] = QueryMs([&] { store.Summary(keys[0], end - ranges[r], end); });
        const auto summary = store.Summary(keys[0], end - 365 * kDayMs, end);
        availability365 = summary ? summary->AvailabilityPercent() : -1;
        const auto yearDays = HistoryTime::UtcEdges(end - 365 * kDayMs, end, kDayMs);
        seriesYearMs = QueryMs([&] { store.Series(keys[0], yearDays); });
        const auto localDays =
            HistoryTime::LocalDayEdges(end - 365 * kDayMs, end, QTimeZone("Europe/Berlin"));
        seriesLocalMs = QueryMs([&] { store.Series(keys[0], localDays); });

        std::unique_ptr<CHistoryDlg> window;
        QElapsedTimer opening;
        opening.start();
        window = std::make_unique<CHistoryDlg>(store, QStringList(std::begin(keys), std::end(keys)),
                                               nullptr, nullptr);
        windowMs = double(opening.nsecsElapsed()) / 1e6 + PaintedMs(window->Chart(), [&] {
                       window->SetClock([end] { return end; });
                       window->show();
                   });
        windowYearMs =
            PaintedMs(window->Chart(), [&] { window->SetRange(CHistoryDlg::Range::Year); });
    }

    std::vector<float> sorted = recordUs;
    const double median = Percentile(sorted, 0.5);
    const double p99 = Percentile(sorted, 0.99);
    const double worst = *std::max_element(recordUs.begin(), recordUs.end());
    const double storeFileMb = double(FileBytes(path)) / 1e6;
    const double baselineFileMb = double(FileBytes(baselinePath)) / 1e6;

    std::printf("history store: %zu polls (%d databases, one a minute for 365 days)\n",
                polls.size(), kKeys);
    std::printf("  Record() on the caller: median %.2f us, p99 %.2f us, worst %.2f ms "
                "(goal: median < 200 us, none over 16 ms)\n",
                median, p99, worst / 1000);
    std::printf("  store: %.2f s, %.0f polls/s, written %llu, dropped %llu, faults %d\n",
                storeSeconds, double(polls.size()) / storeSeconds, (unsigned long long)written,
                (unsigned long long)dropped, faults.load());
    std::printf("  baseline (bare prepared INSERT, one transaction): %.2f s, %.0f polls/s\n",
                baselineSeconds, double(polls.size()) / baselineSeconds);
    std::printf("  ratio store / baseline time: %.2f\n", storeSeconds / baselineSeconds);
    std::printf("  availability 24 h %.3f ms, 30 d %.3f ms, 365 d %.3f ms (goal < 10 ms each); "
                "365 d of '%s' = %.4f %%\n",
                avail[0], avail[1], avail[2], qPrintable(keys[0]), availability365);
    std::printf("  series for a year: UTC days %.3f ms, local days (Europe/Berlin) %.3f ms\n",
                seriesYearMs, seriesLocalMs);
    std::printf("  History window: opened to the first painted chart %.1f ms, the year's chart "
                "%.1f ms (goal < 200 ms)\n",
                windowMs, windowYearMs);
    std::printf("  file after the year: %.2f MB (goal < 40 MB); baseline file %.2f MB, ratio "
                "%.3f\n",
                storeFileMb, baselineFileMb, storeFileMb / baselineFileMb);
    const bool ok = written == polls.size() && dropped == 0 && faults == 0;
    return ok ? 0 : 1;
}
