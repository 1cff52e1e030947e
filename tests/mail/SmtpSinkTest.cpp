// The SMTP sink fixture itself, spoken to with a plain socket so that its faults are not
// mistaken for the client's.
#include "tests/common/SmtpSink.h"

#include <gtest/gtest.h>

#include <QByteArray>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

class RawSession {
public:
    explicit RawSession(int port) {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            ::close(m_fd);
            m_fd = -1;
        }
    }
    ~RawSession() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    bool Connected() const { return m_fd >= 0; }

    // Sends `command` (if any) and returns the reply line.
    QByteArray Say(const QByteArray& command) {
        if (!command.isEmpty() &&
            ::send(m_fd, command.constData(), command.size(), MSG_NOSIGNAL) != command.size())
            return {};
        while (!m_buffer.contains('\n')) {
            pollfd p{m_fd, POLLIN, 0};
            if (::poll(&p, 1, 30000) <= 0)
                return {};
            char chunk[512];
            const ssize_t n = ::recv(m_fd, chunk, sizeof chunk, 0);
            if (n <= 0)
                return {};
            m_buffer.append(chunk, n);
        }
        const qsizetype end = m_buffer.indexOf('\n') + 1;
        const QByteArray line = m_buffer.left(end);
        m_buffer.remove(0, end);
        return line;
    }

private:
    int m_fd = -1;
    QByteArray m_buffer;
};

TEST(SmtpSink, StoresEnvelopeHeloAndRawData) {
    SmtpSink sink;
    ASSERT_TRUE(sink.Start());
    ASSERT_GT(sink.Port(), 0);
    RawSession session(sink.Port());
    ASSERT_TRUE(session.Connected());
    EXPECT_TRUE(session.Say({}).startsWith("220"));
    EXPECT_TRUE(session.Say("HELO relay.test:2525\r\n").startsWith("250"));
    EXPECT_TRUE(session.Say("MAIL FROM:<a@one.test>\r\n").startsWith("250"));
    EXPECT_TRUE(session.Say("RCPT TO:<b@two.test>\r\n").startsWith("250"));
    EXPECT_TRUE(session.Say("DATA\r\n").startsWith("354"));
    EXPECT_TRUE(session.Say("Subject: s\r\n\r\n..dot\r\nend\r\n.\r\n").startsWith("250"));

    ASSERT_TRUE(sink.WaitForMessages(1, 30000));
    const QList<SmtpSink::Message> messages = sink.Messages();
    ASSERT_EQ(messages.size(), 1);
    EXPECT_EQ(messages[0].helo, QStringLiteral("relay.test:2525"));
    EXPECT_EQ(messages[0].mailFrom, QStringLiteral("a@one.test"));
    EXPECT_EQ(messages[0].rcptTos, QStringList{QStringLiteral("b@two.test")});
    EXPECT_EQ(messages[0].data, QByteArray("Subject: s\r\n\r\n.dot\r\nend\r\n"));
}

TEST(SmtpSink, RefusingModesStoreNothing) {
    {
        SmtpSink sink;
        ASSERT_TRUE(sink.Start(SmtpSink::Mode::RefuseRecipients));
        RawSession session(sink.Port());
        ASSERT_TRUE(session.Connected());
        session.Say({});
        session.Say("HELO x\r\n");
        EXPECT_TRUE(session.Say("MAIL FROM:<a@one.test>\r\n").startsWith("250"));
        EXPECT_TRUE(session.Say("RCPT TO:<b@two.test>\r\n").startsWith("554"));
    }
    SmtpSink sink;
    ASSERT_TRUE(sink.Start(SmtpSink::Mode::RefuseData));
    RawSession session(sink.Port());
    ASSERT_TRUE(session.Connected());
    session.Say({});
    session.Say("HELO x\r\n");
    session.Say("MAIL FROM:<a@one.test>\r\n");
    EXPECT_TRUE(session.Say("RCPT TO:<b@two.test>\r\n").startsWith("250"));
    EXPECT_TRUE(session.Say("DATA\r\n").startsWith("354"));
    EXPECT_TRUE(session.Say("Subject: s\r\n\r\nbody\r\n.\r\n").startsWith("554"));
    EXPECT_FALSE(sink.WaitForMessages(1, 300));
    EXPECT_TRUE(sink.Messages().isEmpty());
}

} // namespace
