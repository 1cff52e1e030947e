#pragma once

#include "monitor/PollOutcome.h"

#include <QObject>

// The engine's side on the UI thread. eventsReady() is the poll threads' wake-up and carries
// nothing: the events cross in the engine's locked queue, so the thread checker sees the
// hand-off. delivered() then hands each event, in order, to the presenter and the scheduler.
class MonitorSignals : public QObject {
    Q_OBJECT
signals:
    void eventsReady();
    void delivered(const MonitorEvent& event);
};
