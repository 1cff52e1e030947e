// The name the client greets the server with: the rules for a usable name, the address literal
// of real loopback connections, and what a real SMTP server hears from computers with different
// host names (each set in a private UTS namespace of a child run of this program).
#include "mail/SmtpGreeting.h"
#include "mail/SmtpClient.h"
#include "settings/SettingsStore.h"
#include "tests/common/SmtpSink.h"
#include "tests/common/TestSupport.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

TEST(SmtpGreeting, OnlyAFullyQualifiedNameCounts) {
    const struct {
        QByteArray name;
        bool qualified;
    } rows[] = {
        {"mail.example.org", true},
        {"Host-1.Example.ORG", true},
        {"a.b", true},
        {"vm", false},
        {"", false},
        {"localhost", false},
        {"localhost.localdomain", false},
        {"LOCALHOST.example.org", false},
        {"host..example.org", false},
        {".example.org", false},
        {"-bad.example.org", false},
        {"bad-.example.org", false},
        {"under_score.example.org", false},
        {"with blank.example.org", false},
        {"x." + QByteArray(64, 'a') + ".org", false},
    };
    for (const auto& row : rows)
        EXPECT_EQ(SmtpGreeting::IsFullyQualified(row.name), row.qualified) << row.name.constData();
}

// A connected pair over loopback of the given family; the client's socket, or -1.
int ConnectOverLoopback(int family, int* server) {
    sockaddr_storage address{};
    socklen_t size = 0;
    if (family == AF_INET) {
        auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
        v4->sin_family = AF_INET;
        v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        size = sizeof *v4;
    } else {
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
        v6->sin6_family = AF_INET6;
        v6->sin6_addr = in6addr_loopback;
        size = sizeof *v6;
    }
    *server = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (*server < 0 || ::bind(*server, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        ::listen(*server, 1) != 0 ||
        ::getsockname(*server, reinterpret_cast<sockaddr*>(&address), &size) != 0)
        return -1;
    const int client = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (client >= 0 && ::connect(client, reinterpret_cast<sockaddr*>(&address), size) != 0) {
        ::close(client);
        return -1;
    }
    return client;
}

TEST(SmtpGreeting, AddressLiteralOfTheLocalEnd) {
    const struct {
        int family;
        QByteArray literal;
    } rows[] = {{AF_INET, "[127.0.0.1]"}, {AF_INET6, "[IPv6:::1]"}};
    for (const auto& row : rows) {
        int server = -1;
        const int client = ConnectOverLoopback(row.family, &server);
        if (client < 0 && row.family == AF_INET6) {
            ::close(server);
            continue; // no IPv6 loopback on this machine
        }
        ASSERT_GE(client, 0) << row.literal.constData();
        sockaddr_storage local{};
        socklen_t size = sizeof local;
        ASSERT_EQ(::getsockname(client, reinterpret_cast<sockaddr*>(&local), &size), 0);
        EXPECT_EQ(SmtpGreeting::AddressLiteral(reinterpret_cast<sockaddr*>(&local)), row.literal);
        const QByteArray greeting = SmtpGreeting::ForSocket(client);
        EXPECT_TRUE(greeting == row.literal || SmtpGreeting::IsFullyQualified(greeting))
            << greeting.constData();
        ::close(client);
        ::close(server);
    }
    sockaddr unix{};
    unix.sa_family = AF_UNIX;
    EXPECT_EQ(SmtpGreeting::AddressLiteral(&unix), QByteArray());
}

// Run as a child under a host name of its own: one message to the sink whose port is given.
TEST(SmtpGreeting, DISABLED_SendUnderThisHostName) {
    const QString port = qEnvironmentVariable("TRELLION_GREETING_PORT");
    ASSERT_FALSE(port.isEmpty());
    EmailSettings settings;
    settings.server = "localhost:" + port;
    settings.returnAddress = "monitor@example.org";
    QString failure;
    SmtpClient client(nullptr);
    EXPECT_TRUE(client.SendMail(settings, "monitor@example.org", "ops@example.com", "greeting",
                                "body", {&failure, nullptr}))
        << failure.toStdString();
}

TEST(SmtpGreeting, TheServerHearsThisComputersNameOrItsAddress) {
    if (TestSupport::WaitExit(TestSupport::Spawn({"unshare", "--uts", "true"}), 30000) != 0)
        GTEST_SKIP() << "no private UTS namespace here (unshare --uts needs root)";
    // The server is "localhost" in every row: the greeting used to repeat it.
    const struct {
        QString hostName, heard;
    } rows[] = {
        {"mail.example.test", "mail.example.test"},
        {"Mail.Example.Test", "Mail.Example.Test"},
        // Not qualified, and /etc/hosts gives no better name for it.
        {"localhost", "[127.0.0.1]"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.hostName.toStdString());
        SmtpSink sink;
        ASSERT_TRUE(sink.Start());
        qputenv("TRELLION_GREETING_PORT", QByteArray::number(sink.Port()));
        const pid_t child =
            TestSupport::Spawn({"unshare", "--uts", "sh", "-c",
                                "hostname \"$1\" && exec \"$0\" --gtest_also_run_disabled_tests "
                                "--gtest_filter=SmtpGreeting.DISABLED_SendUnderThisHostName",
                                QCoreApplication::applicationFilePath(), row.hostName});
        const int status = TestSupport::WaitExit(child, 120000);
        EXPECT_EQ(status, 0);
        ASSERT_TRUE(sink.WaitForMessages(1, 10000));
        EXPECT_EQ(sink.Messages().value(0).helo, row.heard);
    }
    qunsetenv("TRELLION_GREETING_PORT");
}

} // namespace
