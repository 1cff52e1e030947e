#include "probe/ThresholdRange.h"

#include "probe/ShownText.h"

#include <charconv>
#include <cmath>

namespace {

bool Fail(QString* error, const QString& why) {
    if (error)
        *error = why;
    return false;
}

QString Shown(QStringView text) {
    return ShownText::Quoted(text.toUtf8());
}

// One end: "-"? digits with at most one '.', at least one digit, at most kMaxFractionDigits
// after the point (so that the shortest text of the double read never needs more).
bool ParseNumber(QStringView text, double* value, QString* error) {
    QByteArray ascii;
    int digits = 0;
    int fraction = 0;
    bool point = false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c.unicode() >= '0' && c.unicode() <= '9') {
            ++digits;
            fraction += point;
        } else if (c == u'.' && !point) {
            point = true;
        } else if (!(c == u'-' && i == 0)) {
            return Fail(error, Shown(text) + QStringLiteral(" is not a number"));
        }
        ascii += char(c.unicode());
    }
    if (digits == 0)
        return Fail(error, Shown(text) + QStringLiteral(" is not a number"));
    if (fraction > ThresholdRange::kMaxFractionDigits)
        return Fail(error, Shown(text) + QStringLiteral(" has more than %1 digits after the point")
                                             .arg(ThresholdRange::kMaxFractionDigits));
    double parsed = 0;
    const auto [end, ec] = std::from_chars(ascii.constData(), ascii.constData() + ascii.size(),
                                           parsed, std::chars_format::fixed);
    if (ec != std::errc() || end != ascii.constData() + ascii.size() ||
        std::fabs(parsed) > ThresholdRange::kMaxMagnitude)
        return Fail(error, Shown(text) + QStringLiteral(" is too large (at most 1e15)"));
    *value = parsed == 0 ? 0.0 : parsed; // "-0" is 0, so that it prints as 0
    return true;
}

QString Number(double value) {
    char buffer[128];
    const auto [end, ec] =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
    return ec == std::errc() ? QString::fromLatin1(buffer, end - buffer) : QString();
}

} // namespace

std::optional<ThresholdRange> ThresholdRange::Parse(QStringView text, QString* error) {
    const auto refuse = [error](const QString& why) {
        Fail(error, why);
        return std::nullopt;
    };
    if (text.isEmpty())
        return refuse(QStringLiteral("the range is empty"));
    if (text.size() > kMaxTextLength)
        return refuse(QStringLiteral("the range is longer than %1 characters").arg(kMaxTextLength));
    const bool inverted = text.startsWith(u'@');
    const QStringView body = inverted ? text.mid(1) : text;
    if (body.isEmpty())
        return refuse(QStringLiteral("\"@\" must be followed by a range"));
    const qsizetype colon = body.indexOf(u':');
    if (colon >= 0 && body.indexOf(u':', colon + 1) >= 0)
        return refuse(Shown(text) + QStringLiteral(" has more than one \":\""));

    double start = 0;
    double end = kInfinity;
    const QStringView startText = colon >= 0 ? body.left(colon) : QStringView();
    const QStringView endText = colon >= 0 ? body.mid(colon + 1) : body;
    if (startText == u"~")
        start = -kInfinity;
    else if (!startText.isEmpty() && !ParseNumber(startText, &start, error))
        return std::nullopt;
    if (endText == u"~")
        return refuse(QStringLiteral("\"~\" stands for the start only (negative infinity)"));
    if (!endText.isEmpty() && !ParseNumber(endText, &end, error))
        return std::nullopt;
    if (start > end)
        return refuse(QStringLiteral("the start %1%2 is above the end %3")
                          .arg(Number(start), colon < 0 ? QStringLiteral(" (implied)") : QString(),
                               Number(end)));
    return ThresholdRange(start, end, inverted);
}

bool ThresholdRange::Alerts(double value) const {
    if (std::isnan(value))
        return true;
    return Contains(value) == m_inverted;
}

QString ThresholdRange::ToString() const {
    QString text = m_inverted ? QStringLiteral("@") : QString();
    if (m_start == 0 && m_end != kInfinity)
        return text + Number(m_end);
    text += m_start == -kInfinity ? QStringLiteral("~") : Number(m_start);
    text += u':';
    if (m_end != kInfinity)
        text += Number(m_end);
    return text;
}
