#pragma once

#include <QObject>

#include <atomic>

// Whether the computer is online, from Qt's network information (NetworkManager on Linux).
// Without a backend, or while it cannot tell, the answer is Unknown: then nothing is held back
// for want of a network. Lives on the thread that made it; State() may be read from any.
class NetworkWatcher : public QObject {
    Q_OBJECT
public:
    enum class Reach { Unknown, Online, Offline };

    explicit NetworkWatcher(QObject* parent = nullptr);
    Reach State() const { return m_reach; }
    bool HasBackend() const { return m_backend; }

signals:
    void Changed(NetworkWatcher::Reach reach);

private:
    void Take(int reachability);

    bool m_backend = false;
    std::atomic<Reach> m_reach{Reach::Unknown};
};
