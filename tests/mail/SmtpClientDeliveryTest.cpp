// The whole dialogue against a real SMTP server (aiosmtpd on a high loopback port).
#include "mail/SmtpClient.h"
#include "settings/SettingsStore.h"
#include "tests/common/SmtpSink.h"
#include "tests/common/RecordingNotice.h"

#include <gtest/gtest.h>

#include <QRegularExpression>
#include <QSet>

#include <thread>
#include <vector>

namespace {

constexpr int kWaitMs = 60000;

struct ParsedMessage {
    QList<QByteArray> headers;
    QByteArray body;
};

ParsedMessage Parse(const QByteArray& data) {
    ParsedMessage parsed;
    const qsizetype split = data.indexOf("\r\n\r\n");
    if (split < 0)
        return parsed;
    parsed.headers = data.left(split).split('\n');
    for (QByteArray& header : parsed.headers)
        header = header.chopped(header.endsWith('\r') ? 1 : 0);
    parsed.body = data.mid(split + 4);
    return parsed;
}

QByteArray Header(const ParsedMessage& message, const QByteArray& name) {
    for (const QByteArray& header : message.headers) {
        if (header.startsWith(name + ": "))
            return header.mid(name.size() + 2);
    }
    return {};
}

class SmtpDelivery : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_sink.Start());
        UseServer(QStringLiteral("127.0.0.1:%1").arg(m_sink.Port()));
        m_client.SetSender(QStringLiteral("Trellion Monitor"),
                           QStringLiteral("monitor@example.org"));
        // Generous limits: a loaded machine must not turn into a failure.
        m_client.SetTimeouts(30000, 30000);
    }
    void UseServer(const QString& text) {
        ASSERT_TRUE(
            SettingsStore::WriteString(QStringLiteral("Settings"), QStringLiteral("SMTP"), text));
    }

    SmtpSink m_sink;
    RecordingNotice m_notice;
    SmtpClient m_client{&m_notice};
};

TEST_F(SmtpDelivery, DeliversHeadersEnvelopeAndBody) {
    const QString body = QStringLiteral("line one\nline two\r\n.\n..two dots\rlast");
    ASSERT_TRUE(m_client.SendMail(QStringLiteral("friend@example.net"),
                                  QStringLiteral("ops@example.com"),
                                  QStringLiteral("Database 1 unreachable"), body));
    EXPECT_TRUE(m_notice.Texts().isEmpty());
    ASSERT_TRUE(m_sink.WaitForMessages(1, kWaitMs));
    const SmtpSink::Message message = m_sink.Messages().first();

    // The envelope sender is the caller's; the From header stays the configured sender.
    EXPECT_EQ(message.mailFrom, QStringLiteral("friend@example.net"));
    EXPECT_EQ(message.rcptTos, QStringList{QStringLiteral("ops@example.com")});
    // HELO carries the server text exactly as configured, port included.
    EXPECT_EQ(message.helo, QStringLiteral("127.0.0.1:%1").arg(m_sink.Port()));

    const ParsedMessage parsed = Parse(message.data);
    ASSERT_EQ(parsed.headers.size(), 5) << message.data.constData();
    EXPECT_TRUE(parsed.headers[0].startsWith("Date: "));
    EXPECT_TRUE(parsed.headers[1].startsWith("Message-Id: "));
    EXPECT_EQ(parsed.headers[2], "From: Trellion Monitor <monitor@example.org>");
    EXPECT_EQ(parsed.headers[3], "To: <ops@example.com>");
    EXPECT_EQ(parsed.headers[4], "Subject: Database 1 unreachable");

    const QRegularExpression date(
        QStringLiteral(R"(^(Mon|Tue|Wed|Thu|Fri|Sat|Sun), (0[1-9]|[12]\d|3[01]) )"
                       R"((Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) \d{4} )"
                       R"((0[1-9]|1[0-2]):[0-5]\d:[0-6]\d (AM|PM) [^ +-]\S*$)"));
    EXPECT_TRUE(date.match(QString::fromLatin1(Header(parsed, "Date"))).hasMatch())
        << Header(parsed, "Date").constData();
    const QRegularExpression id(QStringLiteral(R"(^<[^<>@\s]+@[^<>@\s]+>$)"));
    EXPECT_TRUE(id.match(QString::fromLatin1(Header(parsed, "Message-Id"))).hasMatch());

    // Every line end arrived as CR LF and the dots came back as the caller wrote them.
    EXPECT_EQ(parsed.body, QByteArray("line one\r\nline two\r\n.\r\n..two dots\r\nlast\r\n"));
}

TEST_F(SmtpDelivery, EveryMessageGetsItsOwnIdAndNamesWork) {
    UseServer(QStringLiteral("localhost:%1").arg(m_sink.Port()));
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(m_client.SendMail(QStringLiteral("monitor@example.org"),
                                      QStringLiteral("ops@example.com"), QStringLiteral("same"),
                                      QStringLiteral("same body")));
    }
    ASSERT_TRUE(m_sink.WaitForMessages(3, kWaitMs));
    QSet<QByteArray> ids;
    for (const SmtpSink::Message& message : m_sink.Messages()) {
        EXPECT_EQ(message.helo, QStringLiteral("localhost:%1").arg(m_sink.Port()));
        ids.insert(Header(Parse(message.data), "Message-Id"));
    }
    EXPECT_EQ(ids.size(), 3);
    EXPECT_FALSE(ids.contains(QByteArray()));
}

TEST_F(SmtpDelivery, ServerIsReadAnewAtEveryCall) {
    ASSERT_TRUE(m_client.SendMail(QStringLiteral("a@example.org"), QStringLiteral("b@example.org"),
                                  QStringLiteral("first"), QStringLiteral("x")));
    SmtpSink other;
    ASSERT_TRUE(other.Start());
    UseServer(QStringLiteral("127.0.0.1:%1").arg(other.Port()));
    ASSERT_TRUE(m_client.SendMail(QStringLiteral("a@example.org"), QStringLiteral("b@example.org"),
                                  QStringLiteral("second"), QStringLiteral("x")));
    ASSERT_TRUE(other.WaitForMessages(1, kWaitMs));
    EXPECT_TRUE(Header(Parse(other.Messages().first().data), "Subject") == "second");
    EXPECT_EQ(m_sink.Messages().size(), 1);
}

TEST_F(SmtpDelivery, LineBreaksInHeaderValuesCannotAddHeaders) {
    m_client.SetSender(QStringLiteral("Evil\r\nX-Injected: 1"),
                       QStringLiteral("monitor@example.org"));
    ASSERT_TRUE(m_client.SendMail(
        QStringLiteral("monitor@example.org"), QStringLiteral("ops@example.com"),
        QStringLiteral("Alert\r\nBcc: victim@example.com\n\nbody?"), QStringLiteral("real body")));
    ASSERT_TRUE(m_sink.WaitForMessages(1, kWaitMs));
    const SmtpSink::Message message = m_sink.Messages().first();
    const ParsedMessage parsed = Parse(message.data);
    ASSERT_EQ(parsed.headers.size(), 5) << message.data.constData();
    EXPECT_EQ(parsed.headers[2], "From: Evil X-Injected: 1 <monitor@example.org>");
    EXPECT_EQ(parsed.headers[4], "Subject: Alert Bcc: victim@example.com body?");
    EXPECT_EQ(parsed.body, "real body\r\n");
    EXPECT_EQ(message.rcptTos, QStringList{QStringLiteral("ops@example.com")});
}

TEST_F(SmtpDelivery, EmptyAndLargeBodies) {
    ASSERT_TRUE(m_client.SendMail(QStringLiteral("a@example.org"), QStringLiteral("b@example.org"),
                                  QStringLiteral("empty"), QString()));
    // Far larger than the socket buffers: the send has to wait for the server to read.
    QString big;
    for (int i = 0; i < 40000; ++i)
        big += QStringLiteral(".line %1 of a long report\n").arg(i);
    ASSERT_TRUE(m_client.SendMail(QStringLiteral("a@example.org"), QStringLiteral("b@example.org"),
                                  QStringLiteral("big"), big));
    ASSERT_TRUE(m_sink.WaitForMessages(2, kWaitMs));
    const QList<SmtpSink::Message> messages = m_sink.Messages();
    EXPECT_EQ(Parse(messages[0].data).body, QByteArray());
    QByteArray expected = big.toUtf8();
    expected.replace("\n", "\r\n");
    EXPECT_EQ(Parse(messages[1].data).body, expected);
}

TEST_F(SmtpDelivery, ConcurrentCallsEachUseTheirOwnConnection) {
    constexpr int kThreads = 4;
    constexpr int kEach = 3;
    std::vector<std::thread> threads;
    std::atomic<int> delivered{0};
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                if (m_client.SendMail(QStringLiteral("monitor@example.org"),
                                      QStringLiteral("slot%1@example.com").arg(t),
                                      QStringLiteral("slot %1 message %2").arg(t).arg(i),
                                      QStringLiteral("body %1 %2").arg(t).arg(i)))
                    ++delivered;
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(delivered, kThreads * kEach);
    ASSERT_TRUE(m_sink.WaitForMessages(kThreads * kEach, kWaitMs));
    QSet<QByteArray> subjects;
    QSet<QByteArray> ids;
    for (const SmtpSink::Message& message : m_sink.Messages()) {
        const ParsedMessage parsed = Parse(message.data);
        const QByteArray subject = Header(parsed, "Subject");
        subjects.insert(subject);
        ids.insert(Header(parsed, "Message-Id"));
        // Each message went to its own recipient with its own body: no crossed dialogues.
        const QList<QByteArray> words = subject.split(' ');
        ASSERT_EQ(words.size(), 4);
        EXPECT_EQ(message.rcptTos,
                  QStringList{QStringLiteral("slot%1@example.com").arg(words[1].constData())});
        EXPECT_EQ(parsed.body, "body " + words[1] + ' ' + words[3] + "\r\n");
    }
    EXPECT_EQ(subjects.size(), kThreads * kEach);
    EXPECT_EQ(ids.size(), kThreads * kEach);
    EXPECT_TRUE(m_notice.Texts().isEmpty());
}

TEST(SmtpDeliveryRefused, RecipientRefusedShowsTheSecondReply) {
    SmtpSink sink;
    ASSERT_TRUE(sink.Start(SmtpSink::Mode::RefuseRecipients));
    ASSERT_TRUE(SettingsStore::WriteString(QStringLiteral("Settings"), QStringLiteral("SMTP"),
                                           QStringLiteral("127.0.0.1:%1").arg(sink.Port())));
    RecordingNotice notice;
    SmtpClient client(&notice);
    EXPECT_FALSE(client.SendMail(QStringLiteral("a@example.org"), QStringLiteral("b@example.org"),
                                 QStringLiteral("s"), QStringLiteral("x")));
    EXPECT_EQ(notice.Texts(),
              QStringList{QStringLiteral("The following was received from SMTP server(4):\n\n"
                                         "554 5.7.1 Recipient refused by the test sink\r\n")});
}

TEST(SmtpDeliveryRefused, MessageRefusedShowsNothing) {
    SmtpSink sink;
    ASSERT_TRUE(sink.Start(SmtpSink::Mode::RefuseData));
    ASSERT_TRUE(SettingsStore::WriteString(QStringLiteral("Settings"), QStringLiteral("SMTP"),
                                           QStringLiteral("127.0.0.1:%1").arg(sink.Port())));
    RecordingNotice notice;
    SmtpClient client(&notice);
    EXPECT_FALSE(client.SendMail(QStringLiteral("a@example.org"), QStringLiteral("b@example.org"),
                                 QStringLiteral("s"), QStringLiteral("x")));
    EXPECT_TRUE(notice.Texts().isEmpty());
    EXPECT_TRUE(sink.Messages().isEmpty());
}

} // namespace
