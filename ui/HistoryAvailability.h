#pragma once

#include <QHash>
#include <QString>

#include <functional>

class HistoryStore;

// The 30-day availability line of a database for the slot's and the tray's tips, read from the
// history store at most once per refresh interval and database, so that a tip costs no query.
class HistoryAvailability {
public:
    static constexpr int kDays = 30;
    static constexpr qint64 kRefreshMs = 60000;

    // clock: UTC ms; the system clock when empty.
    explicit HistoryAvailability(HistoryStore& store, std::function<qint64()> clock = {},
                                 qint64 refreshMs = kRefreshMs);

    // "Available 99.93 % over 30 days"; empty when nothing was checked or the file is unreadable.
    QString Text(const QString& title);
    // Text, as a presenter's source.
    std::function<QString(const QString&)> Source();

    // Floored to two decimals, so that any outage shows below 100: "99.99 %".
    static QString PercentText(double percent);

private:
    struct Cached {
        QString text;
        qint64 readAt = 0;
    };
    HistoryStore& m_store;
    std::function<qint64()> m_clock;
    qint64 m_refreshMs;
    QHash<QString, Cached> m_cache;
};
