#include "mail/SmtpGreeting.h"

#include <QList>

#include <arpa/inet.h>
#include <limits.h>
#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>

namespace SmtpGreeting {

namespace {

bool IsLabel(const QByteArray& label) {
    if (label.isEmpty() || label.size() > 63 || label.startsWith('-') || label.endsWith('-'))
        return false;
    for (const char c : label) {
        const bool letterOrDigit =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (!letterOrDigit && c != '-')
            return false;
    }
    return true;
}

} // namespace

bool IsFullyQualified(const QByteArray& name) {
    if (name.size() > 253)
        return false;
    const QList<QByteArray> labels = name.split('.');
    if (labels.size() < 2 || labels.first().compare("localhost", Qt::CaseInsensitive) == 0)
        return false;
    for (const QByteArray& label : labels) {
        if (!IsLabel(label))
            return false;
    }
    return true;
}

QByteArray FullyQualifiedHostName() {
    char host[HOST_NAME_MAX + 1] = {};
    if (::gethostname(host, sizeof host - 1) != 0 || host[0] == '\0')
        return {};
    QByteArray name(host);
    if (name.endsWith('.'))
        name.chop(1);
    if (IsFullyQualified(name))
        return name;
    // A short host name: the resolver may know the full one (/etc/hosts, DNS).
    addrinfo hints{};
    hints.ai_flags = AI_CANONNAME;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host, nullptr, &hints, &found) != 0 || !found)
        return {};
    QByteArray canonical = found->ai_canonname ? QByteArray(found->ai_canonname) : QByteArray();
    ::freeaddrinfo(found);
    if (canonical.endsWith('.'))
        canonical.chop(1);
    return IsFullyQualified(canonical) ? canonical : QByteArray();
}

QByteArray AddressLiteral(const sockaddr* address) {
    char text[INET6_ADDRSTRLEN] = {};
    if (address->sa_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
        if (::inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text))
            return '[' + QByteArray(text) + ']';
    } else if (address->sa_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
        if (::inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text))
            return "[IPv6:" + QByteArray(text) + ']';
    }
    return {};
}

QByteArray ForSocket(int fd) {
    const QByteArray name = FullyQualifiedHostName();
    if (!name.isEmpty())
        return name;
    sockaddr_storage local{};
    socklen_t size = sizeof local;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &size) != 0)
        return {};
    return AddressLiteral(reinterpret_cast<const sockaddr*>(&local));
}

} // namespace SmtpGreeting
