#include "tests/common/ScriptedSmtpPeer.h"

#include <QThread>

#include <chrono>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A stuck client must not hold a test forever; this bounds every wait of the peer.
constexpr int kPeerWaitMs = 60000;
constexpr int kSlice = 100;

} // namespace

ScriptedSmtpPeer::ScriptedSmtpPeer() = default;

ScriptedSmtpPeer::~ScriptedSmtpPeer() {
    m_stop = true;
    if (m_thread.joinable())
        m_thread.join();
    if (m_listenFd >= 0)
        ::close(m_listenFd);
}

bool ScriptedSmtpPeer::Start(const QList<Step>& script) {
    m_listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_listenFd < 0)
        return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(m_listenFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(m_listenFd, 4) != 0 ||
        ::getsockname(m_listenFd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return false;
    m_port = ntohs(address.sin_port);
    m_thread = std::thread(&ScriptedSmtpPeer::Run, this, script);
    return true;
}

QList<QByteArray> ScriptedSmtpPeer::Finish(int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!m_done && std::chrono::steady_clock::now() < deadline)
        QThread::msleep(10);
    std::lock_guard lock(m_mutex);
    return m_heard;
}

// Appends what arrives within timeoutMs to m_buffer; false on time-out, end or error.
bool ScriptedSmtpPeer::ReadMore(int fd, int timeoutMs) {
    for (int waited = 0; waited < timeoutMs && !m_stop; waited += kSlice) {
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, kSlice);
        if (ready < 0)
            return false;
        if (ready == 0)
            continue;
        char chunk[8192];
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0)
            return false;
        m_buffer.append(chunk, n);
        return true;
    }
    return false;
}

void ScriptedSmtpPeer::Run(QList<Step> script) {
    int fd = -1;
    for (int waited = 0; waited < kPeerWaitMs && !m_stop && fd < 0; waited += kSlice) {
        pollfd p{m_listenFd, POLLIN, 0};
        if (::poll(&p, 1, kSlice) > 0)
            fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    }
    if (fd < 0) {
        m_done = true;
        return;
    }
    m_accepted = true;
    auto record = [this](const QByteArray& item) {
        std::lock_guard lock(m_mutex);
        m_heard << item;
    };
    // Takes one item ending in `end` from the buffer, reading as needed.
    auto take = [&](const QByteArray& end, bool keepEnd) -> bool {
        qsizetype at;
        while ((at = m_buffer.indexOf(end)) < 0) {
            if (!ReadMore(fd, kPeerWaitMs))
                return false;
        }
        record(m_buffer.left(keepEnd ? at + end.size() : at));
        m_buffer.remove(0, at + end.size());
        return true;
    };

    bool open = true;
    for (const Step& step : script) {
        if (!open || m_stop)
            break;
        switch (step.kind) {
        case Step::Kind::Say:
            open = ::send(fd, step.text.constData(), step.text.size(), MSG_NOSIGNAL) ==
                   step.text.size();
            break;
        case Step::Kind::Hear:
            open = take(QByteArrayLiteral("\r\n"), false);
            break;
        case Step::Kind::HearData:
            // The data begins right after the 354 reply, so its first line may be the end of
            // an empty message; search from one CR LF before it.
            m_buffer.prepend("\r\n");
            open = take(QByteArrayLiteral("\r\n.\r\n"), true);
            if (open) {
                std::lock_guard lock(m_mutex);
                m_heard.last().remove(0, 2);
            }
            break;
        case Step::Kind::Pause:
            QThread::msleep(static_cast<unsigned long>(step.ms));
            break;
        case Step::Kind::Hang:
            break; // the read below waits for the client to close
        case Step::Kind::Drop:
            open = false;
            break;
        }
    }
    if (open) {
        // Whatever else the client sends, line by line, until it closes.
        while (ReadMore(fd, kPeerWaitMs)) {
        }
        qsizetype at;
        while ((at = m_buffer.indexOf("\r\n")) >= 0) {
            record(m_buffer.left(at));
            m_buffer.remove(0, at + 2);
        }
        if (!m_buffer.isEmpty())
            record(m_buffer);
    }
    ::close(fd);
    m_done = true;
}
