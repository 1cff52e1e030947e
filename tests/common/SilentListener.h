#pragma once

// A TCP server on 127.0.0.1 (a free port) that never sends a byte: the kernel completes each
// handshake into the backlog and nobody ever reads. For login time-out tests; the waiting
// clients get a reset when the listener is destroyed. The one loopback listener of the tests: a
// scripted peer accepts from it, and one made and dropped at once finds a free port.
class SilentListener {
public:
    SilentListener();
    ~SilentListener();
    SilentListener(const SilentListener&) = delete;
    SilentListener& operator=(const SilentListener&) = delete;

    // 0 when the socket could not be set up.
    int Port() const { return m_port; }
    int Fd() const { return m_fd; }
    // Connections made so far (a test can wait until its client is hanging).
    int AcceptedCount() const;

private:
    int m_fd = -1;
    int m_port = 0;
};
