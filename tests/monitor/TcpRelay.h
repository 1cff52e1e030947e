#pragma once

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

// A TCP relay on 127.0.0.1 in front of a server on another loopback port, on threads of its
// own. Cut drops every open link and closes new ones as they come (a server that vanished from
// the network); Mend lets them through again.
class TcpRelay {
public:
    explicit TcpRelay(int targetPort) : m_target(targetPort) {}
    ~TcpRelay();
    TcpRelay(const TcpRelay&) = delete;
    TcpRelay& operator=(const TcpRelay&) = delete;

    bool Start(); // listens on a free port
    int Port() const { return m_port; }
    void Cut();
    void Mend() { m_cut = false; }

private:
    void AcceptLoop();
    void Pump(int client, int server);

    int m_target;
    int m_listen = -1;
    int m_port = 0;
    std::atomic<bool> m_cut{false};
    std::atomic<bool> m_stop{false};
    std::thread m_acceptor;
    std::mutex m_mutex;
    std::vector<int> m_open; // both ends of every link, under m_mutex
    std::vector<std::thread> m_pumps;
};
