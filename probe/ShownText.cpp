#include "probe/ShownText.h"

#include <QChar>

namespace {

// The code point of the valid UTF-8 sequence at bytes[i], and its length; length 0 when the
// byte does not start one (overlong forms, surrogates and values above U+10FFFF included).
char32_t DecodeAt(QByteArrayView bytes, qsizetype i, int* length) {
    const auto byte = [&](qsizetype k) { return uchar(bytes[k]); };
    const uchar lead = byte(i);
    *length = 0;
    if (lead < 0x80) {
        *length = 1;
        return lead;
    }
    int count;
    char32_t cp;
    char32_t least;
    if (lead >= 0xC2 && lead <= 0xDF) {
        count = 2, cp = lead & 0x1F, least = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        count = 3, cp = lead & 0x0F, least = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        count = 4, cp = lead & 0x07, least = 0x10000;
    } else {
        return 0;
    }
    if (i + count > bytes.size())
        return 0;
    for (int k = 1; k < count; ++k) {
        const uchar next = byte(i + k);
        if ((next & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (next & 0x3F);
    }
    if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    *length = count;
    return cp;
}

QString Hex(uint value, int width) {
    return QString::number(value, 16).toUpper().rightJustified(width, u'0');
}

bool Invisible(char32_t cp) {
    switch (QChar::category(cp)) {
    case QChar::Other_Control:
    case QChar::Other_Format:
    case QChar::Other_PrivateUse:
    case QChar::Other_NotAssigned:
    case QChar::Separator_Line:
    case QChar::Separator_Paragraph:
        return true;
    default:
        return false;
    }
}

// The shown form of one valid code point.
QString Shown(char32_t cp, bool quoted) {
    switch (cp) {
    case u'\n':
        return QStringLiteral("\\n");
    case u'\r':
        return QStringLiteral("\\r");
    case u'\t':
        return QStringLiteral("\\t");
    case u'\\':
        return QStringLiteral("\\\\");
    case u'"':
        return quoted ? QStringLiteral("\\\"") : QStringLiteral("\"");
    default:
        break;
    }
    if (cp < 0x20 || cp == 0x7F)
        return QStringLiteral("\\x") + Hex(cp, 2);
    if (Invisible(cp))
        return QStringLiteral("\\u{") + Hex(cp, 4) + u'}';
    const char32_t one[] = {cp};
    return QString::fromUcs4(one, 1);
}

QString Show(QByteArrayView bytes, qsizetype maxChars, bool quoted) {
    QString text;
    if (quoted)
        text += u'"';
    const qsizetype limit = maxChars + text.size();
    bool cut = false;
    for (qsizetype i = 0; i < bytes.size();) {
        int length = 0;
        const char32_t cp = DecodeAt(bytes, i, &length);
        const QString piece =
            length ? Shown(cp, quoted) : QStringLiteral("\\x") + Hex(uchar(bytes[i]), 2);
        if (text.size() + piece.size() > limit) {
            cut = true;
            break;
        }
        text += piece;
        i += length ? length : 1;
    }
    if (quoted)
        text += u'"';
    if (cut)
        text += QStringLiteral("... (%1 bytes)").arg(bytes.size());
    return text;
}

} // namespace

namespace ShownText {

QString Bare(QByteArrayView bytes, qsizetype maxChars) {
    return Show(bytes, maxChars, false);
}

QString Quoted(QByteArrayView bytes, qsizetype maxChars) {
    return Show(bytes, maxChars, true);
}

} // namespace ShownText
