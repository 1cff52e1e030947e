#include "tests/common/ScriptedSmtpPeer.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

ScriptedSmtpPeer::ScriptedSmtpPeer(const QList<QByteArray>& script)
    : m_thread(&ScriptedSmtpPeer::Run, this, script) {}

ScriptedSmtpPeer::~ScriptedSmtpPeer() {
    // Wakes the peer thread from any wait.
    ::shutdown(m_listener.Fd(), SHUT_RDWR);
    if (const int fd = m_fd; fd >= 0)
        ::shutdown(fd, SHUT_RDWR);
    m_thread.join();
}

QList<QByteArray> ScriptedSmtpPeer::Finish() {
    for (int waited = 0; !m_done && waited < 60000; waited += 10)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::lock_guard lock(m_mutex);
    return m_heard;
}

void ScriptedSmtpPeer::Run(const QList<QByteArray>& script) {
    pollfd p{m_listener.Fd(), POLLIN, 0};
    const int fd = ::poll(&p, 1, 60000) > 0 ? ::accept4(p.fd, nullptr, nullptr, 0) : -1;
    m_fd = fd;
    // A stuck client must not hold a test forever.
    const timeval limit{60, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    QByteArray buffer;
    auto take = [&](const QByteArray& end, qsizetype keep) {
        while (!buffer.contains(end)) {
            char chunk[8192];
            const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
            if (n <= 0)
                return false;
            buffer.append(chunk, n);
        }
        const qsizetype at = buffer.indexOf(end);
        std::lock_guard lock(m_mutex);
        m_heard << buffer.left(at + keep);
        buffer.remove(0, at + end.size());
        return true;
    };
    bool open = fd >= 0;
    for (qsizetype i = 0; open && i < script.size(); ++i) {
        const QByteArray& step = script[i];
        if (step == kHear)
            open = take("\r\n", 0);
        else if (step == kData)
            open = take("\r\n.\r\n", 5);
        else if (step == kPause)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        else
            open = step != kDrop &&
                   ::send(fd, step.constData(), step.size(), MSG_NOSIGNAL) == step.size();
    }
    while (open && take("\r\n", 0)) {
    }
    m_fd = -1;
    if (fd >= 0)
        ::close(fd);
    m_done = true;
}
