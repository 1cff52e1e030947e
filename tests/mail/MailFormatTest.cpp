// The message text and the reply reader, without a network dialogue.
#include "mail/MailMessage.h"
#include "mail/SmtpReply.h"

#include <gtest/gtest.h>

namespace {

using namespace MailMessage;

// The text of "=?UTF-8?B?...?=" words, each at most 75 characters and of whole characters.
QString Decode(const QByteArray& value) {
    QByteArray out;
    for (const QByteArray& word : value.split(' ')) {
        const QByteArray octets = QByteArray::fromBase64(word.mid(10).chopped(2));
        EXPECT_TRUE(word.size() <= 75 && word.startsWith("=?UTF-8?B?") && word.endsWith("?="));
        EXPECT_EQ(QString::fromUtf8(octets).toUtf8(), octets) << "cut inside a character";
        out += octets;
    }
    return QString::fromUtf8(out);
}

TEST(MailHeader, EncodedWordsQuotingFoldingAndNoLineBreaks) {
    const QString accented = "Base « Comptabilité » " + QString(40, QChar(0x20AC)) + "\U0001F4A5";
    for (const QString& text : {accented, QStringLiteral("a =?UTF-8?Q?x?= b"), QString(99, u'x')})
        EXPECT_EQ(Decode(EncodeText(text)), text);
    EXPECT_EQ(Decode(EncodePhrase("Surveillé, équipe")), "Surveillé, équipe");
    const QByteArray field = HeaderField("Subject", EncodeText(accented));
    for (const QByteArray& line : field.split('\n'))
        EXPECT_LE(line.size(), 79);
    EXPECT_EQ(Decode(field.mid(9).replace("\r\n", "")), accented);
    // clang-format off
    const struct { QString text; QByteArray plain, phrase; } rows[] = {
        {"Database 1 unreachable", "Database 1 unreachable", "Database 1 unreachable"},
        {"Alert\r\nBcc: x@example.com\n\nbody", "Alert Bcc: x@example.com body", "\"Alert Bcc: x@example.com body\""},
        {"Ops, \"Night\\", "Ops, \"Night\\", "\"Ops, \\\"Night\\\\\""},
    };
    // clang-format on
    for (const auto& row : rows) {
        EXPECT_EQ(EncodeText(row.text), row.plain);
        EXPECT_EQ(EncodePhrase(row.text), row.phrase);
    }
}

TEST(MailHeader, DateIsRfc5322WithTheLocalOffset) {
    // clang-format off
    const struct { const char* zone; std::time_t when; QByteArray text; } rows[] = {
        {"UTC0", 1796602658, "Mon, 07 Dec 2026 00:17:38 +0000"},
        {"EST5EDT,M3.2.0,M11.1.0", 1070737509, "Sat, 06 Dec 2003 14:05:09 -0500"},
        {"EST5EDT,M3.2.0,M11.1.0", 1719808200, "Mon, 01 Jul 2024 00:30:00 -0400"},
        {"IST-5:30", 1796602658, "Mon, 07 Dec 2026 05:47:38 +0530"},
    };
    // clang-format on
    const QByteArray old = qgetenv("TZ");
    for (const auto& row : rows) {
        qputenv("TZ", row.zone);
        ::tzset();
        EXPECT_EQ(FormatDate(row.when), row.text) << row.zone;
    }
    old.isNull() ? qunsetenv("TZ") : qputenv("TZ", old);
    ::tzset();
}

TEST(MailBody, TransferEncodingDotsLineEndsAndLineLength) {
    const QString longLine = QString(1500, u'a') + "\né";
    // `wire` is the text after dot-stuffing, soft breaks removed
    // clang-format off
    const struct { QString body; bool eightBit; QByteArray encoding, wire; } rows[] = {
        {"a\nb\r\nc\rd", false, "7bit", "a\r\nb\r\nc\r\nd\r\n"},
        {".\n.x\n x.\n..", false, "7bit", "..\r\n..x\r\n x.\r\n...\r\n"},
        {"end\n\n", false, "7bit", "end\r\n\r\n"},
        {"", false, "7bit", ""},
        {"café ok", true, "8bit", "caf\xc3\xa9 ok\r\n"},
        {"café = x \n.é", false, "quoted-printable", "caf=C3=A9 =3D x=20\r\n..=C3=A9\r\n"},
        // No line over 998 octets, even where 8-bit data would be taken.
        {longLine, true, "quoted-printable", QByteArray(1500, 'a') + "\r\n=C3=A9\r\n"},
    };
    // clang-format on
    for (const auto& row : rows) {
        const Body body = EncodeBody(row.body, row.eightBit);
        EXPECT_EQ(body.encoding, row.encoding) << row.body.left(20).toStdString();
        for (const QByteArray& line : body.text.split('\n'))
            EXPECT_LE(line.size(), 77);
        EXPECT_EQ(DotStuff(body.text).replace("=\r\n", ""), row.wire);
    }
}

TEST(SmtpReplyReader, WholeRepliesFromAnyPiecesAndNothingElse) {
    using R = SmtpReplyReader::Result;
    // One result per piece
    // clang-format off
    const struct { QList<QByteArray> pieces; QList<R> results; QByteArray reply; } rows[] = {
        {{"220 ready\r\n"}, {R::Reply}, "220 ready\r\n"},
        {{"25", "0-a\r\n250-PIPE", "LINING\n250 8BITMIME\r\n"}, {R::NeedMore, R::NeedMore, R::Reply}, "250-a\r\n250-PIPELINING\n250 8BITMIME\r\n"},
        {{"354\r", "\n"}, {R::NeedMore, R::Reply}, "354\r\n"},
        {{QByteArray("554 no\0\xff\r\n", 10)}, {R::Reply}, QByteArray("554 no\0\xff\r\n", 10)},
        {{"250 a\r\n220 b\r\n"}, {R::Reply}, "250 a\r\n"},
        {{"250-a\r\n", "251 b\r\n"}, {R::NeedMore, R::Malformed}, {}},
        {{"HTTP/1.1 400"}, {R::Malformed}, {}}, {{"25\r\n"}, {R::Malformed}, {}}, {{"250x\r\n"}, {R::Malformed}, {}},
        {{"650 no\r\n"}, {R::Malformed}, {}}, {{"220-a\r\n220\r\n"}, {R::Reply}, "220-a\r\n220\r\n"},
        {{"220 " + QByteArray(70000, 'x')}, {R::TooLong}, {}},
    };
    // clang-format on
    for (const auto& row : rows) {
        SmtpReplyReader reader;
        SmtpReply reply;
        for (qsizetype i = 0; i < row.pieces.size(); ++i) {
            reader.Feed(row.pieces[i].constData(), row.pieces[i].size());
            EXPECT_EQ(reader.Next(&reply), row.results[i]) << row.pieces[i].left(40).constData();
        }
        EXPECT_EQ(reply.text, row.reply);
        EXPECT_EQ(reply.code, row.reply.left(3).toInt());
    }
}

} // namespace
