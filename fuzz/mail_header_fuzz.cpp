// Arbitrary text through the header encoders, the body encoder and the date: encoded-words of
// at most 75 characters that decode back to the text, no line break inside a header value, no
// line over 998 octets, no line that would end the message early.
#include "mail/MailMessage.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

void Check(bool condition) {
    if (!condition)
        std::abort();
}

// The octets an encoder's output stands for: either the plain text or only encoded-words.
QByteArray Decode(const QByteArray& value, const QByteArray& plain) {
    if (value == plain)
        return plain;
    QByteArray out;
    for (const QByteArray& word : value.split(' ')) {
        Check(word.size() <= 75 && word.startsWith("=?UTF-8?B?") && word.endsWith("?="));
        const QByteArray octets = QByteArray::fromBase64(word.mid(10, word.size() - 12));
        // Never cut inside a character.
        Check(QString::fromUtf8(octets).toUtf8() == octets);
        out += octets;
    }
    return out;
}

void CheckLines(const QByteArray& text, qsizetype limit) {
    for (const QByteArray& line : text.split('\n'))
        Check(line.size() <= limit + 1);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QString text =
        QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const QString line = MailMessage::OneLine(text);
    Check(!line.contains(u'\r') && !line.contains(u'\n'));

    const QByteArray subject = MailMessage::EncodeText(text);
    Check(!subject.contains('\r') && !subject.contains('\n'));
    Check(Decode(subject, line.toUtf8()) == line.toUtf8());

    const QByteArray name = MailMessage::EncodePhrase(text);
    Check(!name.contains('\r') && !name.contains('\n'));
    if (!name.startsWith('"'))
        Check(Decode(name, line.toUtf8()) == line.toUtf8());

    // Folding only ever puts CR LF before a blank, so unfolding gives the value back.
    const QByteArray field = MailMessage::HeaderField("Subject", subject);
    CheckLines(field, 998);
    Check(field.endsWith("\r\n"));
    Check(QByteArray(field).chopped(2).replace("\r\n ", " ") == "Subject: " + subject);

    for (const bool eightBit : {false, true}) {
        const MailMessage::Body body = MailMessage::EncodeBody(text, eightBit);
        CheckLines(body.text, 998);
        if (body.encoding == "7bit")
            Check(std::all_of(body.text.begin(), body.text.end(),
                              [](char c) { return static_cast<uchar>(c) < 0x80; }));
        if (body.encoding == "8bit")
            Check(eightBit);
        for (const QByteArray& stuffed : MailMessage::DotStuff(body.text).split('\n'))
            Check(stuffed != ".\r");
    }

    std::int64_t seconds = 0;
    std::memcpy(&seconds, data, std::min<size_t>(size, sizeof seconds));
    // Years 1970 to 9999, where the form has four digits.
    const std::time_t when = static_cast<std::time_t>((seconds & 0x7fffffffffff) % 253402300799);
    const QByteArray date = MailMessage::FormatDate(when);
    Check(date.size() == 31 && date[3] == ',' && (date[26] == '+' || date[26] == '-'));
    return 0;
}
