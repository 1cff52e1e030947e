#include "HistoryTestSupport.h"

#include <QBuffer>
#include <QDateTime>

HistoryOptions HistoryFixture::Options(const QString& stateDir) {
    HistoryOptions options;
    options.stateDir = stateDir;
    options.clock = [this] { return now.load(); };
    options.retryMs = 50;
    options.onFault = [this](const QString& reason) {
        std::lock_guard lock(faultLock);
        faults.append(reason);
    };
    return options;
}

QStringList HistoryFixture::Faults() const {
    std::lock_guard lock(faultLock);
    return faults;
}

qint64 Utc(int year, int month, int day, int hour, int minute) {
    return QDateTime(QDate(year, month, day), QTime(hour, minute), Qt::UTC).toMSecsSinceEpoch();
}

void RecordMinutes(HistoryStore& store, const QString& key, qint64 start, int count) {
    for (int i = 0; i < count; ++i) {
        const qint64 t = start + qint64(i) * 60000;
        const int minute = static_cast<int>((t / 60000) % 60);
        PollRecord poll{t, key, PollResult::Reachable, 10.0 + minute, {}};
        // Each hour: 50 reachable (10..59 ms), 5 slow (550..554 ms), 3 unreachable, 2 not checked.
        if (minute >= 50 && minute < 55) {
            poll.outcome = PollResult::Slow;
            poll.elapsedMs = 500.0 + minute;
        } else if (minute >= 55 && minute < 58) {
            poll.outcome = PollResult::Unreachable;
            poll.elapsedMs = 30000;
            poll.reason = QStringLiteral("Connection refused, \"port 5432\"");
        } else if (minute >= 58) {
            poll.outcome = PollResult::NotChecked;
            poll.elapsedMs = 0;
        }
        store.Record(poll);
    }
}

QList<QByteArray> ExportedPolls(HistoryStore& store, const QString& key, qint64 from, qint64 to) {
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    if (!store.ExportPollsCsv(key, from, to, &buffer))
        return {};
    QList<QByteArray> lines = buffer.data().split('\n');
    lines.removeFirst(); // header
    lines.removeLast();  // after the last line end
    return lines;
}
