// Server text, name resolution and the message text, without a network dialogue.
#include "mail/SmtpClient.h"

#include <gtest/gtest.h>

#include <QSet>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdlib>
#include <ctime>

namespace {

QString AddressText(const sockaddr_in& address) {
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
    return QString::fromLatin1(text);
}

TEST(SmtpServerText, PortIsTakenFromTheEnd) {
    struct Case {
        QString text;
        bool ok;
        QString host;
        quint16 port;
    };
    const Case cases[] = {
        {QStringLiteral("mail.example.org"), true, QStringLiteral("mail.example.org"), 25},
        {QStringLiteral("mail.example.org:2525"), true, QStringLiteral("mail.example.org"), 2525},
        {QStringLiteral("10.0.0.5:65535"), true, QStringLiteral("10.0.0.5"), 65535},
        {QStringLiteral("10.0.0.5:1"), true, QStringLiteral("10.0.0.5"), 1},
        {QString(), true, QString(), 25},
        // Not a port: the whole text stays the host, and the lookup decides.
        {QStringLiteral("mail:"), true, QStringLiteral("mail:"), 25},
        {QStringLiteral("mail:25x"), true, QStringLiteral("mail:25x"), 25},
        // A port that cannot be.
        {QStringLiteral("mail:0"), false, {}, 0},
        {QStringLiteral("mail:65536"), false, {}, 0},
        {QStringLiteral("mail:99999999999999999999"), false, {}, 0},
    };
    for (const Case& c : cases) {
        QString host;
        quint16 port = 0;
        const bool ok = SmtpClient::SplitServerText(c.text, &host, &port);
        EXPECT_EQ(ok, c.ok) << c.text.toStdString();
        if (ok && c.ok) {
            EXPECT_EQ(host, c.host) << c.text.toStdString();
            EXPECT_EQ(port, c.port) << c.text.toStdString();
        }
    }
}

TEST(SmtpResolve, LeadingNonZeroNumberIsADottedAddressNeverAName) {
    sockaddr_in address{};
    ASSERT_TRUE(
        SmtpClient::ResolveServerAddress(QStringLiteral("127.0.0.1"), 2525, AF_INET, &address));
    EXPECT_EQ(address.sin_family, AF_INET);
    EXPECT_EQ(AddressText(address), QStringLiteral("127.0.0.1"));
    EXPECT_EQ(ntohs(address.sin_port), 2525);

    // Not a valid address, and no lookup either: it "resolves" to INADDR_NONE, so the
    // connection is what fails.
    ASSERT_TRUE(
        SmtpClient::ResolveServerAddress(QStringLiteral("1abc.invalid"), 25, AF_INET, &address));
    EXPECT_EQ(address.sin_addr.s_addr, INADDR_NONE);
}

TEST(SmtpResolve, NamesAndZeroLedTextsAreLookedUp) {
    sockaddr_in address{};
    ASSERT_TRUE(
        SmtpClient::ResolveServerAddress(QStringLiteral("localhost"), 25, AF_INET, &address));
    EXPECT_EQ(AddressText(address), QStringLiteral("127.0.0.1"));
    EXPECT_EQ(ntohs(address.sin_port), 25);
    // Starts with "0", so it goes to the resolver, which takes the numeric form itself.
    ASSERT_TRUE(SmtpClient::ResolveServerAddress(QStringLiteral("0.0.0.0"), 25, AF_INET, &address));
    EXPECT_EQ(AddressText(address), QStringLiteral("0.0.0.0"));

    EXPECT_FALSE(SmtpClient::ResolveServerAddress(QStringLiteral("no-such-host.invalid"), 25,
                                                  AF_INET, &address));
    EXPECT_FALSE(SmtpClient::ResolveServerAddress(QString(), 25, AF_INET, &address));
    EXPECT_FALSE(
        SmtpClient::ResolveServerAddress(QStringLiteral("127.0.0.1"), 25, AF_INET6, &address));
}

// Runs with TZ set to a zone with daylight-saving time, then puts the old zone back.
class SmtpDate : public ::testing::Test {
protected:
    void SetUp() override {
        const char* old = std::getenv("TZ");
        m_hadTz = old != nullptr;
        if (old)
            m_oldTz = old;
        ::setenv("TZ", "EST5EDT,M3.2.0,M11.1.0", 1);
        ::tzset();
    }
    void TearDown() override {
        if (m_hadTz)
            ::setenv("TZ", m_oldTz.c_str(), 1);
        else
            ::unsetenv("TZ");
        ::tzset();
    }
    static std::time_t Local(int year, int month, int day, int hour, int minute, int second) {
        std::tm tm{};
        tm.tm_year = year - 1900;
        tm.tm_mon = month - 1;
        tm.tm_mday = day;
        tm.tm_hour = hour;
        tm.tm_min = minute;
        tm.tm_sec = second;
        tm.tm_isdst = -1;
        return std::mktime(&tm);
    }

    bool m_hadTz = false;
    std::string m_oldTz;
};

TEST_F(SmtpDate, TwelveHourClockWithTheZonesName) {
    EXPECT_EQ(SmtpClient::FormatDate(Local(2003, 12, 6, 14, 5, 9)),
              "Sat, 06 Dec 2003 02:05:09 PM EST");
    EXPECT_EQ(SmtpClient::FormatDate(Local(2024, 7, 1, 0, 30, 0)),
              "Mon, 01 Jul 2024 12:30:00 AM EDT");
    EXPECT_EQ(SmtpClient::FormatDate(Local(2025, 1, 31, 12, 0, 59)),
              "Fri, 31 Jan 2025 12:00:59 PM EST");
}

TEST_F(SmtpDate, MessageStartsWithTheDateOfItsTime) {
    const QByteArray message =
        SmtpClient::BuildMessage(QStringLiteral("Trellion"), QStringLiteral("me@example.org"),
                                 QStringLiteral("you@example.org"), QStringLiteral("s"),
                                 QStringLiteral("b"), Local(2003, 12, 6, 14, 5, 9));
    EXPECT_TRUE(message.startsWith("Date: Sat, 06 Dec 2003 02:05:09 PM EST\r\nMessage-Id: <"));
}

QByteArray BodyOf(const QString& body) {
    const QByteArray message =
        SmtpClient::BuildMessage(QStringLiteral("n"), QStringLiteral("r@example.org"),
                                 QStringLiteral("t@example.org"), QStringLiteral("s"), body, 0);
    return message.mid(message.indexOf("\r\n\r\n") + 4);
}

TEST(SmtpMessage, BodyLineEndsAndDotsAreMadeSafe) {
    EXPECT_EQ(BodyOf(QStringLiteral("a\nb\r\nc\rd")), "a\r\nb\r\nc\r\nd\r\n.\r\n");
    // A lone dot would end the message early; a leading dot would be eaten.
    EXPECT_EQ(BodyOf(QStringLiteral(".\n.x\n x.\n..")), "..\r\n..x\r\n x.\r\n...\r\n.\r\n");
    EXPECT_EQ(BodyOf(QStringLiteral(".")), "..\r\n.\r\n");
    // A body that already ends its last line gets no extra empty line.
    EXPECT_EQ(BodyOf(QStringLiteral("end\r\n")), "end\r\n.\r\n");
    EXPECT_EQ(BodyOf(QStringLiteral("end\n\n")), "end\r\n\r\n.\r\n");
    EXPECT_EQ(BodyOf(QString()), ".\r\n");
    EXPECT_EQ(BodyOf(QStringLiteral("caf\u00e9")), "caf\xc3\xa9\r\n.\r\n");
}

TEST(SmtpMessage, LineBreaksBecomeOneBlank) {
    EXPECT_EQ(SmtpClient::OneLine(QStringLiteral("a\r\nb")), QStringLiteral("a b"));
    EXPECT_EQ(SmtpClient::OneLine(QStringLiteral("a\r\n\r\n\nb\rc\nd")), QStringLiteral("a b c d"));
    EXPECT_EQ(SmtpClient::OneLine(QStringLiteral("\r\nlead and trail\n")),
              QStringLiteral(" lead and trail "));
    EXPECT_EQ(SmtpClient::OneLine(QStringLiteral("plain text")), QStringLiteral("plain text"));
}

TEST(SmtpMessage, MessageIdsAreUniqueAndWellFormed) {
    QSet<QByteArray> ids;
    for (int i = 0; i < 1000; ++i) {
        const QByteArray id = SmtpClient::NewMessageId();
        ASSERT_TRUE(id.startsWith('<') && id.endsWith('>')) << id.constData();
        ASSERT_EQ(id.count('@'), 1) << id.constData();
        ASSERT_FALSE(id.contains(' ') || id.contains('\r') || id.contains('\n'));
        ids.insert(id);
    }
    EXPECT_EQ(ids.size(), 1000);
}

} // namespace
