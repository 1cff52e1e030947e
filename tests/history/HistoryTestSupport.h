#pragma once

#include "history/HistoryStore.h"

#include <QStringList>

#include <atomic>
#include <mutex>

// A simulated clock and a fault collector for the history store's tests.
struct HistoryFixture {
    std::atomic<qint64> now{0};
    mutable std::mutex faultLock;
    QStringList faults;

    HistoryOptions Options(const QString& stateDir);
    QStringList Faults() const;
};

// UTC ms of a UTC date and time.
qint64 Utc(int year, int month, int day, int hour = 0, int minute = 0);

// Polls one minute apart from start, outcome and elapsed time from the minute of the hour.
void RecordMinutes(HistoryStore& store, const QString& key, qint64 start, int count);

// The raw polls still kept, through the CSV export (one line each, header left out).
QList<QByteArray> ExportedPolls(HistoryStore& store, const QString& key, qint64 from, qint64 to);
