// Health query expectations and threshold ranges from untrusted text, evaluated on any value:
// input is the expectation (UTF-8), a NUL, then the value's bytes. Nothing may crash or hang;
// every text meant for a log line is one printable line; a range prints back to itself; the
// shown value reads back to the very bytes.
#include "probe/HealthExpect.h"
#include "probe/ShownText.h"
#include "probe/ThresholdRange.h"

#include <QString>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

void Check(bool condition) {
    if (!condition)
        std::abort();
}

bool OnePrintableLine(const QString& text) {
    for (const char32_t cp : text.toUcs4()) {
        if (!QChar::isPrint(cp))
            return false;
    }
    return true;
}

QChar At(const QString& text, qsizetype i) {
    return i < text.size() ? text[i] : QChar();
}

// The bytes a quoted shown text stands for; false when it is not one the escapes can make.
bool Unescape(const QString& quoted, QByteArray* bytes) {
    if (quoted.size() < 2 || !quoted.startsWith(u'"') || !quoted.endsWith(u'"'))
        return false;
    const QString body = quoted.mid(1, quoted.size() - 2);
    for (qsizetype i = 0; i < body.size(); ++i) {
        if (body[i] == u'"')
            return false; // an unescaped quote inside
        if (body[i] != u'\\') {
            const qsizetype width = body[i].isHighSurrogate() ? 2 : 1;
            *bytes += body.mid(i, width).toUtf8();
            i += width - 1;
            continue;
        }
        const QChar kind = At(body, i + 1);
        i += 1;
        if (kind == u'n' || kind == u'r' || kind == u't') {
            *bytes += kind == u'n' ? '\n' : kind == u'r' ? '\r' : '\t';
        } else if (kind == u'\\' || kind == u'"') {
            *bytes += char(kind.unicode());
        } else if (kind == u'x') {
            bool ok = false;
            *bytes += char(body.mid(i + 1, 2).toUInt(&ok, 16));
            if (!ok)
                return false;
            i += 2;
        } else if (kind == u'u') {
            const qsizetype close = body.indexOf(u'}', i);
            bool ok = false;
            const char32_t cp = body.mid(i + 2, close - i - 2).toUInt(&ok, 16);
            if (close < 0 || At(body, i + 1) != u'{' || !ok)
                return false;
            *bytes += QString::fromUcs4(&cp, 1).toUtf8();
            i = close;
        } else {
            return false;
        }
    }
    return true;
}

void CheckRange(const ThresholdRange& range, double probe) {
    const QString text = range.ToString();
    Check(text.size() <= ThresholdRange::kMaxTextLength);
    const auto again = ThresholdRange::Parse(text, nullptr);
    Check(again && *again == range);
    Check(range.Start() <= range.End());
    Check(range.Alerts(probe) == (range.Contains(probe) == range.Inverted()) || std::isnan(probe));
    if (std::isfinite(range.Start()))
        Check(range.Contains(range.Start()));
    if (std::isfinite(range.End()))
        Check(range.Contains(range.End()));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray input(reinterpret_cast<const char*>(data), qsizetype(size));
    const qsizetype nul = input.indexOf('\0');
    const QString text = QString::fromUtf8(nul < 0 ? input : input.left(nul));
    const QByteArray value = nul < 0 ? QByteArray() : input.mid(nul + 1);

    QString error;
    const auto range = ThresholdRange::Parse(text, &error);
    if (range)
        CheckRange(*range, std::strtod(value.constData(), nullptr));
    else
        Check(!error.isEmpty() && OnePrintableLine(error));

    error.clear();
    const auto expect = HealthExpect::Parse(text, &error);
    if (!expect) {
        Check(!error.isEmpty() && OnePrintableLine(error));
        return 0;
    }
    Check(expect->GetKind() != HealthExpect::Kind::Range || expect->Range());

    const HealthExpect::Verdict none = expect->Evaluate(HealthValue::NoRow());
    Check(!none.passed && none.reason == QLatin1String("Health query failed: no row"));
    const HealthExpect::Verdict null = expect->Evaluate(HealthValue::Null());
    Check(null.passed == null.reason.isEmpty() && null.shownValue == QLatin1String("NULL"));

    const HealthExpect::Verdict verdict = expect->Evaluate(HealthValue::Text(value));
    Check(verdict.passed == verdict.reason.isEmpty());
    Check(OnePrintableLine(verdict.reason) && OnePrintableLine(verdict.shownValue));
    Check(verdict.reason.size() < 300);
    if (expect->GetKind() == HealthExpect::Kind::AnyRow)
        Check(verdict.passed);
    if (expect->GetKind() == HealthExpect::Kind::Exact)
        Check(verdict.passed == (value == text.mid(1).toUtf8()));
    if (expect->GetKind() == HealthExpect::Kind::Range && verdict.passed)
        Check(!expect->Range()->Alerts(std::strtod(value.trimmed().constData(), nullptr)));

    // Quoted values that were not cut read back to the same bytes.
    const QString quoted = ShownText::Quoted(value);
    QByteArray back;
    if (!quoted.endsWith(QLatin1String(" bytes)")))
        Check(Unescape(quoted, &back) && back == value);
    Check(OnePrintableLine(quoted));
    return 0;
}
