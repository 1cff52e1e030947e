#pragma once

#include "metrics/MetricsExporter.h"
#include "tests/monitor/MonitorTestSupport.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <memory>
#include <mutex>

// A monitor whose outcomes feed an exporter, as the program composes them; the faults the
// exporter reports are kept.
struct MetricsRig {
    MetricsRig();
    ~MetricsRig();

    QStringList Faults() const {
        std::lock_guard lock(faultLock);
        return faults;
    }

    MonitorRig rig;
    mutable std::mutex faultLock;
    QStringList faults;
    std::unique_ptr<MetricsExporter> exporter;
};

struct HttpAnswer {
    int status = 0; // 0: no answer
    QByteArray head;
    QByteArray body;
};

// One HTTP request to address:port, answered while the event loop runs (the endpoint lives on
// this thread).
HttpAnswer Fetch(const QString& address, quint16 port, const QByteArray& request,
                 int timeoutMs = 5000);
HttpAnswer Get(quint16 port, const QByteArray& path, const QByteArray& accept = {});

// A port on 127.0.0.1 that nothing listens on just now.
quint16 FreePort();

// The value of the one sample "name{labels} value" in a text; empty when absent.
QString SampleValue(const QString& text, const QString& sample);
