#include "probe/HealthExpect.h"

#include "probe/ShownText.h"

#include <charconv>
#include <cmath>

namespace {

const QString kFailed = QStringLiteral("Health query failed: ");
const QByteArray kNullText = QByteArrayLiteral("NULL");
// Longer than any number a driver prints; a longer value is not read as one.
constexpr qsizetype kMaxNumberLength = 400;

bool Blank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// A number as drivers print them: blanks around (CHAR columns are padded), a sign, digits
// with a point, an exponent; no "inf", "nan" or hexadecimal. Nullopt if the text is none.
std::optional<double> ReadNumber(QByteArrayView bytes) {
    qsizetype first = 0;
    qsizetype last = bytes.size();
    while (first < last && Blank(bytes[first]))
        ++first;
    while (last > first && Blank(bytes[last - 1]))
        --last;
    QByteArrayView text = bytes.sliced(first, last - first);
    if (text.isEmpty() || text.size() > kMaxNumberLength)
        return std::nullopt;
    qsizetype i = 0; // one sign at most; from_chars takes '-' only
    if (text.front() == '+')
        text = text.sliced(1);
    else if (text.front() == '-')
        i = 1;
    int digits = 0;
    for (bool point = false; i < text.size(); ++i) {
        const char c = text[i];
        if (c >= '0' && c <= '9')
            ++digits;
        else if (c == '.' && !point)
            point = true;
        else
            break;
    }
    if (digits == 0)
        return std::nullopt;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < text.size() && (text[i] == '+' || text[i] == '-'))
            ++i;
        const qsizetype exponentStart = i;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9')
            ++i;
        if (i == exponentStart)
            return std::nullopt;
    }
    if (i != text.size())
        return std::nullopt;
    double value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(value))
        return std::nullopt;
    return value;
}

HealthExpect::Verdict Pass(QString shown) {
    return {true, std::move(shown), QString()};
}

} // namespace

std::optional<HealthExpect> HealthExpect::Parse(const QString& text, QString* error) {
    const auto refuse = [&](const QString& why) {
        if (error)
            *error = why;
        return std::nullopt;
    };
    HealthExpect expect;
    expect.m_text = text;
    if (text.trimmed().isEmpty()) {
        expect.m_text.clear();
        return expect;
    }
    if (text.startsWith(u'=')) {
        expect.m_kind = Kind::Exact;
        expect.m_exact = text.mid(1).toUtf8();
        return expect;
    }
    if (text.startsWith(u'~') && !text.startsWith(QLatin1String("~:"))) {
        const QString pattern = text.mid(1);
        if (pattern.isEmpty())
            return refuse(QStringLiteral("The pattern after \"~\" is empty."));
        if (pattern.size() > kMaxPatternLength)
            return refuse(
                QStringLiteral("The pattern is longer than %1 characters.").arg(kMaxPatternLength));
        expect.m_kind = Kind::Pattern;
        expect.m_pattern.setPattern(pattern);
        if (!expect.m_pattern.isValid())
            return refuse(
                QStringLiteral("The pattern %1 is not valid: %2 at character %3.")
                    .arg(ShownText::Quoted(pattern.toUtf8()), expect.m_pattern.errorString())
                    .arg(expect.m_pattern.patternErrorOffset() + 1));
        return expect;
    }
    QString why;
    expect.m_text = text.trimmed();
    expect.m_range = ThresholdRange::Parse(expect.m_text, &why);
    if (!expect.m_range)
        return refuse(
            QStringLiteral("Expected a range such as 0:10, =text or ~pattern; %1.").arg(why));
    expect.m_kind = Kind::Range;
    return expect;
}

HealthExpect::Verdict HealthExpect::Evaluate(const HealthValue& value) const {
    if (value.state == HealthValue::State::NoRow)
        return {false, QString(), kFailed + QStringLiteral("no row")};
    const bool null = value.state == HealthValue::State::Null;
    const QByteArrayView bytes = null ? QByteArrayView(kNullText) : QByteArrayView(value.bytes);
    const QString quoted = null ? QStringLiteral("NULL") : ShownText::Quoted(bytes);
    const QString expected = kFailed + QStringLiteral("expected ") +
                             ShownText::Bare(m_text.toUtf8()) + QStringLiteral(", got ");
    switch (m_kind) {
    case Kind::AnyRow:
        return Pass(quoted);
    case Kind::Exact:
        if (bytes == m_exact)
            return Pass(quoted);
        return {false, quoted, expected + quoted};
    case Kind::Pattern: {
        // Only the start is searched; the cut never splits a surrogate pair.
        QString subject =
            QString::fromUtf8(bytes.first(std::min(bytes.size(), 4 * kMaxMatchedChars)));
        if (subject.size() > kMaxMatchedChars)
            subject.truncate(subject[kMaxMatchedChars - 1].isHighSurrogate() ? kMaxMatchedChars - 1
                                                                             : kMaxMatchedChars);
        if (m_pattern.match(subject).hasMatch())
            return Pass(quoted);
        return {false, quoted, expected + quoted};
    }
    case Kind::Range:
        break;
    }
    const std::optional<double> number = null ? std::nullopt : ReadNumber(bytes);
    if (!number)
        return {false, quoted, expected + quoted + QStringLiteral(" (not a number)")};
    const QString shown = ShownText::Bare(QByteArrayView(bytes).trimmed());
    if (m_range->Alerts(*number))
        return {false, shown, expected + shown};
    return Pass(shown);
}
