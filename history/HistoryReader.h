#pragma once

#include "history/HistoryTypes.h"
#include "history/Sqlite.h"

#include <limits>
#include <optional>
#include <vector>

// How a stretch of time is read: full UTC days from the daily rows, full hours from the hourly
// rows, the remaining partial hours from the raw polls. Pieces older than what a level keeps are
// left out, so a range is exact to the hour as long as hourly rows are kept and exact to the day
// after that.
namespace HistoryPlan {

enum class Level { Raw, Hourly, Daily };

struct Horizons {
    qint64 rawFrom = std::numeric_limits<qint64>::min();    // raw polls kept from here on
    qint64 hourlyFrom = std::numeric_limits<qint64>::min(); // hourly rows kept from here on
};

struct Piece {
    Level level;
    qint64 from;
    qint64 to;
    friend bool operator==(const Piece&, const Piece&) = default;
};

std::vector<Piece> Decompose(qint64 from, qint64 to, const Horizons& horizons);

} // namespace HistoryPlan

// The query side: a connection of its own, each query in one read transaction.
class HistoryReader {
public:
    struct Error {
        int code = SQLITE_OK;
        QString text;
    };

    // False with *error set when the file cannot be read.
    bool Open(const QString& path, int busyTimeoutMs, Error* error);
    bool IsOpen() const { return m_db.IsOpen(); }

    std::optional<std::vector<PollSummary>> Buckets(const QString& key,
                                                    const std::vector<qint64>& edges, Error* error);
    std::optional<std::vector<OutageRecord>> Outages(const QString& key, qint64 from, qint64 to,
                                                     Error* error);
    std::optional<std::vector<PollRecord>> Polls(const QString& key, qint64 from, qint64 to,
                                                 Error* error);

private:
    bool Begin(Error* error);
    void End();
    bool Fail(int code, Error* error);
    std::nullopt_t FailQuery(int code, Error* error); // Fail() for a query that returns a value
    // 0 when the key has never been written.
    bool LookUpKey(const QString& key, qint64* id, Error* error);
    bool SumPiece(qint64 keyId, const HistoryPlan::Piece& piece, PollSummary* sum, Error* error);

    SqliteDb m_db;
    SqliteStatement m_key;
    SqliteStatement m_raw;
    SqliteStatement m_hourly;
    SqliteStatement m_daily;
};
