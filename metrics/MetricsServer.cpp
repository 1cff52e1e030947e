#include "metrics/MetricsServer.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

namespace {

QByteArray Response(const QByteArray& status, const QByteArray& type, const QByteArray& body,
                    const QByteArray& extra = {}) {
    return QByteArrayLiteral("HTTP/1.1 ") + status + QByteArrayLiteral("\r\nContent-Type: ") +
           type + QByteArrayLiteral("\r\nContent-Length: ") + QByteArray::number(body.size()) +
           QByteArrayLiteral("\r\nCache-Control: no-store\r\nConnection: close\r\n") + extra +
           QByteArrayLiteral("\r\n") + body;
}

QByteArray PlainResponse(const QByteArray& status, const QByteArray& extra = {}) {
    return Response(status, QByteArrayLiteral("text/plain; charset=utf-8"), status + '\n', extra);
}

} // namespace

MetricsServer::MetricsServer(const MetricsBoard& board, QObject* parent)
    : QObject(parent), m_board(board), m_server(new QTcpServer(this)) {
    m_server->setMaxPendingConnections(kMaxConnections);
    connect(m_server, &QTcpServer::newConnection, this, &MetricsServer::Accept);
}

MetricsServer::~MetricsServer() = default;

QString MetricsServer::Listen(quint16 port) {
    Close();
    if (port == 0)
        return {};
    // Loopback only: the metrics are for a Prometheus on this machine or behind the user's own
    // tunnel, never for the network.
    if (!m_server->listen(QHostAddress(QHostAddress::LocalHost), port))
        return QStringLiteral("The metrics endpoint cannot listen on 127.0.0.1 port %1: %2")
            .arg(port)
            .arg(m_server->errorString());
    return {};
}

QString MetricsServer::PortProblem(quint16 port) {
    QTcpServer trial;
    if (trial.listen(QHostAddress(QHostAddress::LocalHost), port))
        return {};
    return trial.errorString();
}

void MetricsServer::Close() {
    if (m_server->isListening())
        m_server->close();
}

quint16 MetricsServer::Port() const {
    return m_server->isListening() ? m_server->serverPort() : 0;
}

void MetricsServer::Accept() {
    while (QTcpSocket* socket = m_server->nextPendingConnection()) {
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { Read(socket); });
        // A client that never finishes its request does not keep the socket.
        QTimer::singleShot(kIdleMs, socket, [socket] { socket->abort(); });
    }
}

void MetricsServer::Read(QTcpSocket* socket) {
    if (socket->property("answered").toBool()) {
        socket->readAll();
        return;
    }
    QByteArray head = socket->property("head").toByteArray() + socket->readAll();
    const qsizetype end = head.indexOf("\r\n\r\n");
    if (end < 0 && head.size() <= kMaxHead) {
        socket->setProperty("head", head);
        return;
    }
    socket->setProperty("answered", true);
    socket->setProperty("head", QVariant());
    if (end < 0 || end > kMaxHead) {
        socket->write(PlainResponse(QByteArrayLiteral("431 Request Header Fields Too Large")));
        socket->disconnectFromHost();
        return;
    }
    Answer(socket, head.left(end));
}

void MetricsServer::Answer(QTcpSocket* socket, const QByteArray& head) {
    const QList<QByteArray> lines = head.split('\n');
    const QList<QByteArray> request = lines.constFirst().trimmed().split(' ');
    QByteArray answer;
    if (request.size() != 3 || !request[2].startsWith("HTTP/")) {
        answer = PlainResponse(QByteArrayLiteral("400 Bad Request"));
    } else if (request[0] != "GET") {
        answer = PlainResponse(QByteArrayLiteral("405 Method Not Allowed"),
                               QByteArrayLiteral("Allow: GET\r\n"));
    } else if (request[1] != "/metrics" && !request[1].startsWith("/metrics?")) {
        answer = PlainResponse(QByteArrayLiteral("404 Not Found"));
    } else {
        QByteArray accept;
        for (const QByteArray& line : lines.mid(1)) {
            const qsizetype colon = line.indexOf(':');
            if (colon > 0 && line.left(colon).trimmed().toLower() == "accept")
                accept += line.mid(colon + 1).trimmed();
        }
        const MetricsBoard::Format format = MetricsBoard::FormatFor(accept);
        answer = Response(QByteArrayLiteral("200 OK"), MetricsBoard::ContentType(format),
                          m_board.Render(format));
    }
    socket->write(answer);
    socket->disconnectFromHost();
}
