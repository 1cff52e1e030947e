#pragma once

#include <atomic>
#include <thread>

// Accepts TCP connections on 127.0.0.1 (a free port) and never sends a byte: a server that
// hangs after the handshake, for login time-out tests. Accepted sockets stay open until the
// listener is destroyed.
class SilentListener {
public:
    SilentListener();
    ~SilentListener();
    SilentListener(const SilentListener&) = delete;
    SilentListener& operator=(const SilentListener&) = delete;

    // 0 when the socket could not be set up.
    int Port() const { return m_port; }
    // Connections accepted so far (a test can wait until its client is hanging).
    int AcceptedCount() const { return m_accepted.load(); }

private:
    void Run();

    int m_listenFd = -1;
    int m_wakeFds[2] = {-1, -1};
    int m_port = 0;
    std::atomic<int> m_accepted{0};
    std::thread m_thread;
};
