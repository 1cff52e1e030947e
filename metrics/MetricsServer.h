#pragma once

#include "metrics/MetricsBoard.h"

#include <QObject>
#include <QString>

class QTcpServer;
class QTcpSocket;

// `/metrics` over HTTP on 127.0.0.1 only, answered from the board: GET only, one request per
// connection, the connection closed after the answer. A request head over 8 KiB, or one not
// complete within a few seconds, ends its connection. Lives on the thread that made it.
class MetricsServer : public QObject {
    Q_OBJECT
public:
    static constexpr int kMaxHead = 8192;
    static constexpr int kIdleMs = 5000;
    static constexpr int kMaxConnections = 32;

    explicit MetricsServer(const MetricsBoard& board, QObject* parent = nullptr);
    ~MetricsServer() override;

    // Stops listening first; 0 stops. Empty on success, else why the port cannot be used.
    QString Listen(quint16 port);
    void Close();
    // Why 127.0.0.1 port cannot be listened on now (in use, or kept for the superuser); empty
    // when it can.
    static QString PortProblem(quint16 port);
    // The port listened on; 0 when none.
    quint16 Port() const;

private:
    void Accept();
    void Read(QTcpSocket* socket);
    void Answer(QTcpSocket* socket, const QByteArray& head);

    const MetricsBoard& m_board;
    QTcpServer* m_server;
};
