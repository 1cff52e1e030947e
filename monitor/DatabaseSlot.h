#pragma once

#include <QList>
#include <QString>

#include <memory>

class CDatabaseProbe;

// One entry of a slot's access history.
struct AccessRecord {
    double elapsed = 0.0; // milliseconds; -99 for a failed probe
    QString when;         // " on %m/%d/%Y at %H:%M:%S"
};

// One of the four database slots. The probe is shared: a poll keeps the probe it started with
// alive until it ends, whatever the window does to the slot meanwhile.
struct DatabaseSlot {
    static constexpr int kDefaultInterval = 15;
    static constexpr int kDefaultThreshold = 10000;
    static constexpr double kInitialScale = 10.0;

    std::shared_ptr<CDatabaseProbe> probe;
    // Copies of the probe's title and stored connection string, so that threads other than the
    // poll's never read the probe while its Connect writes it.
    QString title;
    QString connectionString;
    int interval = kDefaultInterval;
    int warningThreshold = kDefaultThreshold;
    QList<AccessRecord> history;
    double graphScale = kInitialScale;
    QString lastAlert;
    QString lastRecovery;
    // The database's "lastAlert" and "lastRecovery" as this program last read or wrote them; a
    // stored text that differs was written by another running copy.
    QString storedAlert;
    QString storedRecovery;
    // The pause before the next poll when it is to confirm a failure (ms); -1 for the interval.
    qint64 confirmDelayMs = -1;
};
