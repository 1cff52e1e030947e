#include "tests/common/SilentListener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

SilentListener::SilentListener() : m_fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (m_fd >= 0 && ::bind(m_fd, reinterpret_cast<sockaddr*>(&addr), len) == 0 &&
        ::listen(m_fd, 128) == 0 &&
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
        m_port = ntohs(addr.sin_port);
}

SilentListener::~SilentListener() {
    if (m_fd >= 0)
        ::close(m_fd);
}

// A listening socket's TCP_INFO counts the connections waiting in its backlog; none leaves it.
int SilentListener::AcceptedCount() const {
    tcp_info info{};
    socklen_t len = sizeof info;
    return ::getsockopt(m_fd, IPPROTO_TCP, TCP_INFO, &info, &len) == 0 ? int(info.tcpi_unacked) : 0;
}
