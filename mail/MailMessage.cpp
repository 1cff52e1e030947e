#include "mail/MailMessage.h"

#include <QDateTime>
#include <QRandomGenerator>
#include <QSysInfo>

#include <algorithm>
#include <atomic>
#include <locale.h>

#include <unistd.h>

namespace {

constexpr qsizetype kMaxLine = 998;
constexpr qsizetype kFoldAt = 78;
// 42 octets make 56 base64 characters: with "=?UTF-8?B?" and "?=" a word of 68, which fits a
// line after "Subject: ".
constexpr qsizetype kWordOctets = 42;

bool IsAtext(QChar c) {
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') ||
           c == u'-' || c == u'.';
}

QByteArray IdHost() {
    static const QByteArray host = [] {
        const QString name = QSysInfo::machineHostName();
        if (name.isEmpty() || name.startsWith(u'.') || name.endsWith(u'.') ||
            !std::all_of(name.begin(), name.end(), IsAtext))
            return QByteArrayLiteral("localhost");
        return name.toLatin1();
    }();
    return host;
}

// Printable ASCII and blanks, no word too long to fold and nothing a reader would take for an
// encoded-word.
bool NeedsNoEncoding(const QString& text) {
    qsizetype word = 0;
    for (const QChar c : text) {
        if (c.unicode() < 0x20 || c.unicode() > 0x7e)
            return false;
        word = c == u' ' ? 0 : word + 1;
        if (word > kFoldAt - 2)
            return false;
    }
    return !text.contains(QStringLiteral("=?"));
}

QByteArray EncodedWords(const QString& text) {
    const QByteArray utf8 = text.toUtf8();
    QByteArray out;
    qsizetype start = 0;
    while (start < utf8.size()) {
        qsizetype end = start;
        while (end < utf8.size()) {
            qsizetype next = end + 1;
            while (next < utf8.size() && (static_cast<uchar>(utf8[next]) & 0xc0) == 0x80)
                ++next;
            if (next - start > kWordOctets)
                break;
            end = next;
        }
        if (!out.isEmpty())
            out += ' ';
        out += "=?UTF-8?B?" + utf8.mid(start, end - start).toBase64() + "?=";
        start = end;
    }
    return out;
}

// Every line end (CR LF, lone CR, lone LF) as CR LF; the last line ended too unless empty.
QByteArray CrLfLines(const QByteArray& text) {
    QByteArray out;
    out.reserve(text.size() + text.size() / 16 + 2);
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\r' || c == '\n') {
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
                ++i;
            out += "\r\n";
        } else {
            out += c;
        }
    }
    if (!out.isEmpty() && !out.endsWith("\r\n"))
        out += "\r\n";
    return out;
}

QByteArray QuotedPrintable(const QByteArray& lines) {
    static const char hex[] = "0123456789ABCDEF";
    QByteArray out;
    out.reserve(lines.size() * 3 / 2);
    qsizetype from = 0;
    while (from < lines.size()) {
        const qsizetype end = lines.indexOf("\r\n", from);
        qsizetype column = 0;
        for (qsizetype i = from; i < end; ++i) {
            const uchar c = static_cast<uchar>(lines[i]);
            const bool last = i + 1 == end;
            // A blank at the end of a line would be lost in transport.
            const bool literal =
                (c >= 33 && c <= 126 && c != '=') || ((c == ' ' || c == '\t') && !last);
            const qsizetype width = literal ? 1 : 3;
            // 76 characters per line, one of them kept for a soft break's "=".
            if (column + width > (last ? 76 : 75)) {
                out += "=\r\n";
                column = 0;
            }
            if (literal) {
                out += static_cast<char>(c);
            } else {
                out += '=';
                out += hex[c >> 4];
                out += hex[c & 15];
            }
            column += width;
        }
        out += "\r\n";
        from = end + 2;
    }
    return out;
}

} // namespace

namespace MailMessage {

QByteArray FormatDate(std::time_t when) {
    // strftime_l with the C locale: English names without touching the process's locale,
    // which other threads may be using.
    static const locale_t cLocale = ::newlocale(LC_ALL_MASK, "C", locale_t(nullptr));
    std::tm local{};
    ::localtime_r(&when, &local);
    char text[64];
    const size_t length =
        ::strftime_l(text, sizeof text, "%a, %d %b %Y %H:%M:%S %z", &local, cLocale);
    return QByteArray(text, static_cast<qsizetype>(length));
}

QByteArray NewMessageId() {
    static std::atomic<quint32> counter{0};
    const quint64 random = QRandomGenerator::system()->generate64();
    return QByteArrayLiteral("<") + QByteArray::number(QDateTime::currentMSecsSinceEpoch(), 36) +
           '.' + QByteArray::number(random, 36) + '.' + QByteArray::number(counter++, 36) + '.' +
           QByteArray::number(static_cast<qint64>(::getpid()), 36) + '@' + IdHost() + '>';
}

QString OneLine(const QString& text) {
    QString out;
    out.reserve(text.size());
    bool inBreak = false;
    for (const QChar c : text) {
        if (c == u'\r' || c == u'\n') {
            if (!inBreak)
                out.append(u' ');
            inBreak = true;
            continue;
        }
        out.append(c);
        inBreak = false;
    }
    return out;
}

QByteArray EncodeText(const QString& text) {
    const QString line = OneLine(text);
    return NeedsNoEncoding(line) ? line.toLatin1() : EncodedWords(line);
}

QByteArray EncodePhrase(const QString& name) {
    const QString line = OneLine(name);
    if (!NeedsNoEncoding(line))
        return EncodedWords(line);
    static const QString specials = QStringLiteral("()<>[]:;@\\,.\"");
    if (std::none_of(line.begin(), line.end(), [](QChar c) { return specials.contains(c); }))
        return line.toLatin1();
    QByteArray quoted = line.toLatin1();
    quoted.replace('\\', "\\\\").replace('"', "\\\"");
    return '"' + quoted + '"';
}

QByteArray HeaderField(const QByteArray& name, const QByteArray& value) {
    QByteArray out = name + ':';
    qsizetype lineStart = 0;
    for (const QByteArray& word : value.split(' ')) {
        if (!word.isEmpty() && out.size() - lineStart + 1 + word.size() > kFoldAt &&
            out.size() > lineStart + name.size() + 1) {
            out += "\r\n";
            lineStart = out.size();
        }
        out += ' ' + word;
    }
    return out + "\r\n";
}

Body EncodeBody(const QString& body, bool eightBitAllowed) {
    const QByteArray lines = CrLfLines(body.toUtf8());
    bool ascii = true;
    bool fits = true;
    bool nul = false;
    qsizetype lineStart = 0;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const uchar c = static_cast<uchar>(lines[i]);
        ascii = ascii && c < 0x80;
        nul = nul || c == 0;
        if (c == '\n') {
            fits = fits && i - 1 - lineStart <= kMaxLine;
            lineStart = i + 1;
        }
    }
    if (fits && !nul && ascii)
        return {QByteArrayLiteral("7bit"), lines};
    if (fits && !nul && eightBitAllowed)
        return {QByteArrayLiteral("8bit"), lines};
    return {QByteArrayLiteral("quoted-printable"), QuotedPrintable(lines)};
}

QByteArray DotStuff(const QByteArray& text) {
    QByteArray out;
    out.reserve(text.size() + text.size() / 32 + 1);
    bool lineStart = true;
    for (const char c : text) {
        if (lineStart && c == '.')
            out += '.';
        out += c;
        lineStart = c == '\n';
    }
    return out;
}

QByteArray Build(const QString& senderName, const QString& returnAddress,
                 const QStringList& recipients, const QString& subject, const Body& body,
                 std::time_t when) {
    QByteArray from = EncodePhrase(senderName);
    if (!from.isEmpty())
        from += ' ';
    from += '<' + OneLine(returnAddress).toUtf8() + '>';
    QStringList to;
    for (const QString& recipient : recipients)
        to << QLatin1Char('<') + OneLine(recipient) + QLatin1Char('>');

    QByteArray message;
    message += "Date: " + FormatDate(when) + "\r\n";
    message += "Message-Id: " + NewMessageId() + "\r\n";
    message += HeaderField("From", from);
    message += HeaderField("To", to.join(QStringLiteral(", ")).toUtf8());
    message += HeaderField("Subject", EncodeText(subject));
    message += "MIME-Version: 1.0\r\n";
    message += "Content-Type: text/plain; charset=UTF-8\r\n";
    message += "Content-Transfer-Encoding: " + body.encoding + "\r\n";
    message += "\r\n";
    message += DotStuff(body.text);
    message += ".\r\n";
    return message;
}

} // namespace MailMessage
