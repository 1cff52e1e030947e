#include "tests/monitor/TcpRelay.h"

#include <algorithm>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

sockaddr_in Loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

bool WriteAll(int fd, const char* data, ssize_t size) {
    while (size > 0) {
        const ssize_t n = send(fd, data, size_t(size), MSG_NOSIGNAL); // a closed peer is no signal
        if (n <= 0)
            return false;
        data += n;
        size -= n;
    }
    return true;
}

} // namespace

TcpRelay::~TcpRelay() {
    m_stop = true;
    Cut();
    if (m_acceptor.joinable())
        m_acceptor.join();
    for (std::thread& pump : m_pumps)
        pump.join();
    if (m_listen >= 0)
        close(m_listen);
}

bool TcpRelay::Start() {
    m_listen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = Loopback(0);
    socklen_t size = sizeof address;
    if (m_listen < 0 || bind(m_listen, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        listen(m_listen, 16) != 0 ||
        getsockname(m_listen, reinterpret_cast<sockaddr*>(&address), &size) != 0)
        return false;
    m_port = ntohs(address.sin_port);
    m_acceptor = std::thread([this] { AcceptLoop(); });
    return true;
}

void TcpRelay::Cut() {
    m_cut = true;
    std::lock_guard lock(m_mutex);
    for (int fd : m_open)
        shutdown(fd, SHUT_RDWR); // the pumps see the end and close their own ends
}

void TcpRelay::AcceptLoop() {
    while (!m_stop) {
        pollfd waiting{m_listen, POLLIN, 0};
        if (poll(&waiting, 1, 50) <= 0)
            continue;
        const int client = accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0)
            continue;
        if (m_cut) {
            close(client);
            continue;
        }
        const int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const sockaddr_in target = Loopback(m_target);
        if (server < 0 ||
            connect(server, reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0) {
            close(client);
            if (server >= 0)
                close(server);
            continue;
        }
        std::lock_guard lock(m_mutex);
        m_open.push_back(client);
        m_open.push_back(server);
        m_pumps.emplace_back([this, client, server] { Pump(client, server); });
    }
}

void TcpRelay::Pump(int client, int server) {
    pollfd ends[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
    char buffer[16384];
    bool open = true;
    while (open && !m_stop) {
        if (poll(ends, 2, 100) <= 0)
            continue;
        for (int i = 0; i < 2 && open; ++i) {
            if (!ends[i].revents)
                continue;
            const ssize_t n = read(ends[i].fd, buffer, sizeof buffer);
            open = n > 0 && WriteAll(ends[1 - i].fd, buffer, n);
        }
    }
    std::lock_guard lock(m_mutex);
    std::erase_if(m_open, [&](int fd) { return fd == client || fd == server; });
    close(client);
    close(server);
}
