#include "tests/metrics/MetricsTestSupport.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

MetricsRig::MetricsRig() {
    exporter = std::make_unique<MetricsExporter>([this](const QString& fault) {
        std::lock_guard lock(faultLock);
        faults << fault;
    });
    MetricsExporter* metrics = exporter.get();
    rig.options.outcomeTap = [metrics](const PollOutcome& outcome) { metrics->Record(outcome); };
    rig.Restart();
}

MetricsRig::~MetricsRig() {
    // The monitor's last poll may still be recorded.
    rig.monitor->Shutdown();
}

HttpAnswer Fetch(const QString& address, quint16 port, const QByteArray& request, int timeoutMs) {
    QTcpSocket socket;
    QByteArray received;
    QObject::connect(&socket, &QTcpSocket::readyRead, [&] { received += socket.readAll(); });
    bool done = false;
    QObject::connect(&socket, &QTcpSocket::disconnected, [&] { done = true; });
    QObject::connect(&socket, &QTcpSocket::errorOccurred, [&](QAbstractSocket::SocketError e) {
        if (e != QAbstractSocket::RemoteHostClosedError)
            done = true;
    });
    QObject::connect(&socket, &QTcpSocket::connected, [&] { socket.write(request); });
    socket.connectToHost(QHostAddress(address), port);
    TestSupport::WaitUntil([&] { return done; }, timeoutMs);
    received += socket.readAll();
    HttpAnswer answer;
    const qsizetype end = received.indexOf("\r\n\r\n");
    if (end < 0)
        return answer;
    answer.head = received.left(end);
    answer.body = received.mid(end + 4);
    const QList<QByteArray> status = answer.head.split('\r').constFirst().split(' ');
    answer.status = status.size() > 1 ? status[1].toInt() : 0;
    return answer;
}

HttpAnswer Get(quint16 port, const QByteArray& path, const QByteArray& accept) {
    QByteArray request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n";
    if (!accept.isEmpty())
        request += "Accept: " + accept + "\r\n";
    return Fetch(QStringLiteral("127.0.0.1"), port, request + "\r\n");
}

quint16 FreePort() {
    QTcpServer probe;
    if (!probe.listen(QHostAddress(QHostAddress::LocalHost), 0))
        return 0;
    return probe.serverPort();
}

QString SampleValue(const QString& text, const QString& sample) {
    QString value;
    for (const QString& line : text.split(u'\n'))
        if (line.startsWith(sample + u' '))
            value = line.mid(sample.size() + 1);
    return value;
}
