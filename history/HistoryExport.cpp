// The query side of HistoryStore: runs on the caller's thread over the store's read connection.
#include "history/HistoryReader.h"
#include "history/HistoryStore.h"

#include <QDateTime>
#include <QFileInfo>
#include <QIODevice>

namespace {

QByteArray CsvField(const QString& text) {
    QByteArray utf8 = text.toUtf8();
    if (!utf8.contains(',') && !utf8.contains('"') && !utf8.contains('\n') && !utf8.contains('\r'))
        return utf8;
    utf8.replace("\"", "\"\"");
    return '"' + utf8 + '"';
}

QByteArray CsvTime(qint64 utcMs) {
    return QDateTime::fromMSecsSinceEpoch(utcMs, Qt::UTC).toString(Qt::ISODateWithMs).toLatin1();
}

QByteArray CsvNumber(double value) {
    return QByteArray::number(value, 'f', 3);
}

const char* OutcomeName(PollResult outcome) {
    switch (outcome) {
    case PollResult::Reachable:
        return "reachable";
    case PollResult::Slow:
        return "slow";
    case PollResult::Unreachable:
        return "unreachable";
    case PollResult::NotChecked:
        return "not checked";
    }
    return "unknown";
}

bool WriteAll(QIODevice* out, const QByteArray& data, QString* error) {
    if (out->write(data) == data.size())
        return true;
    if (error)
        *error = out->errorString();
    return false;
}

} // namespace

std::optional<PollSummary> HistoryStore::Summary(const QString& key, qint64 from, qint64 to,
                                                 QString* error) {
    const auto buckets = Series(key, {from, to}, error);
    if (!buckets)
        return std::nullopt;
    return buckets->empty() ? PollSummary{} : buckets->front().summary;
}

std::optional<std::vector<SeriesBucket>>
HistoryStore::Series(const QString& key, const std::vector<qint64>& edges, QString* error) {
    std::vector<SeriesBucket> series;
    if (!QFileInfo::exists(m_path)) {
        // Nothing written yet: empty buckets, as for a database never polled.
        for (size_t i = 0; i + 1 < edges.size(); ++i)
            series.push_back({edges[i], edges[i + 1], {}});
        return series;
    }
    std::lock_guard readLock(m_readLock);
    HistoryReader* reader = ReadyReader(error);
    if (!reader)
        return std::nullopt;
    HistoryReader::Error failure;
    auto result = reader->Buckets(key, edges, &failure);
    if (!result && error)
        *error = failure.text;
    if (!result)
        return std::nullopt;
    series.reserve(result->size());
    for (size_t i = 0; i < result->size(); ++i)
        series.push_back({edges[i], edges[i + 1], (*result)[i]});
    return series;
}

std::optional<std::vector<OutageRecord>> HistoryStore::Outages(const QString& key, qint64 from,
                                                               qint64 to, QString* error) {
    if (!QFileInfo::exists(m_path))
        return std::vector<OutageRecord>{};
    std::lock_guard readLock(m_readLock);
    HistoryReader* reader = ReadyReader(error);
    if (!reader)
        return std::nullopt;
    HistoryReader::Error failure;
    auto result = reader->Outages(key, from, to, &failure);
    if (!result && error)
        *error = failure.text;
    return result;
}

bool HistoryStore::ExportPollsCsv(const QString& key, qint64 from, qint64 to, QIODevice* out,
                                  QString* error) {
    std::optional<std::vector<PollRecord>> polls;
    if (!QFileInfo::exists(m_path)) {
        polls.emplace();
    } else {
        std::lock_guard readLock(m_readLock);
        HistoryReader* reader = ReadyReader(error);
        if (!reader)
            return false;
        HistoryReader::Error failure;
        polls = reader->Polls(key, from, to, &failure);
        if (!polls && error)
            *error = failure.text;
    }
    if (!polls)
        return false;
    QByteArray text = "time_utc,database,outcome,elapsed_ms,reason\n";
    for (const PollRecord& poll : *polls)
        text += CsvTime(poll.utcMs) + ',' + CsvField(key) + ',' + OutcomeName(poll.outcome) + ',' +
                CsvNumber(poll.elapsedMs) + ',' + CsvField(poll.reason) + '\n';
    return WriteAll(out, text, error);
}

bool HistoryStore::ExportSeriesCsv(const QString& key, const std::vector<qint64>& edges,
                                   QIODevice* out, QString* error) {
    const auto series = Series(key, edges, error);
    if (!series)
        return false;
    QByteArray text = "start_utc,end_utc,database,polls,reachable,slow,unreachable,not_checked,"
                      "availability_pct,min_ms,mean_ms,max_ms,p95_ms\n";
    for (const SeriesBucket& bucket : *series) {
        const PollSummary& s = bucket.summary;
        const bool answered = s.Answered() > 0;
        text += CsvTime(bucket.startMs) + ',' + CsvTime(bucket.endMs) + ',' + CsvField(key) + ',' +
                QByteArray::number(s.count) + ',' + QByteArray::number(s.reachable) + ',' +
                QByteArray::number(s.slow) + ',' + QByteArray::number(s.unreachable) + ',' +
                QByteArray::number(s.notChecked) + ',' +
                (s.Checked() > 0 ? CsvNumber(s.AvailabilityPercent()) : QByteArray()) + ',' +
                (answered ? CsvNumber(s.minMs) : QByteArray()) + ',' +
                (answered ? CsvNumber(s.MeanMs()) : QByteArray()) + ',' +
                (answered ? CsvNumber(s.maxMs) : QByteArray()) + ',' +
                (answered ? CsvNumber(s.P95Ms()) : QByteArray()) + '\n';
    }
    return WriteAll(out, text, error);
}

bool HistoryStore::ExportOutagesCsv(const QString& key, qint64 from, qint64 to, QIODevice* out,
                                    QString* error) {
    const auto outages = Outages(key, from, to, error);
    if (!outages)
        return false;
    QByteArray text = "database,start_utc,end_utc,length_s,alert_sent,reason\n";
    for (const OutageRecord& outage : *outages) {
        text += CsvField(key) + ',' + CsvTime(outage.startMs) + ',' +
                (outage.IsOpen() ? QByteArray() : CsvTime(outage.endMs)) + ',' +
                (outage.IsOpen() ? QByteArray()
                                 : QByteArray::number((outage.endMs - outage.startMs) / 1000)) +
                ',' + (outage.alertSent ? "yes" : "no") + ',' + CsvField(outage.reason) + '\n';
    }
    return WriteAll(out, text, error);
}
