#pragma once

#include <QByteArray>

#include <sys/socket.h>

// The argument of HELO and EHLO names the client, never the server: servers refuse a client that
// greets with their own name. It is this computer's fully qualified domain name when it has one,
// otherwise the address literal of the connection's local end.
namespace SmtpGreeting {

// For a connected socket; empty when its local address cannot be read.
QByteArray ForSocket(int fd);

// This computer's fully qualified name (its host name if that is one, else the canonical name
// the resolver gives for it); empty when it has none.
QByteArray FullyQualifiedHostName();

// A name with at least two labels of letters, digits and hyphens, not "localhost" in any form.
bool IsFullyQualified(const QByteArray& name);

// "[192.0.2.5]", "[IPv6:2001:db8::5]"; empty for any other kind of address.
QByteArray AddressLiteral(const sockaddr* address);

} // namespace SmtpGreeting
