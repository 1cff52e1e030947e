#pragma once

#include <QObject>

// The engine's wake-up for the UI thread. It carries nothing: the events cross in the engine's
// locked queue, so the thread checker sees the hand-off; connect it queued.
class MonitorSignals : public QObject {
    Q_OBJECT
signals:
    void eventsReady();
};
