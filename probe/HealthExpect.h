#pragma once

#include "probe/ThresholdRange.h"

#include <QByteArray>
#include <QRegularExpression>
#include <QString>

#include <optional>

// The first column of the first row a health query returned, as the probe read it: no row,
// SQL NULL, or the value's text as the driver gave it (meant to be UTF-8, but any bytes).
struct HealthValue {
    enum class State { NoRow, Null, Text };
    State state = State::NoRow;
    QByteArray bytes;

    static HealthValue NoRow() { return {}; }
    static HealthValue Null() { return {State::Null, {}}; }
    static HealthValue Text(QByteArray bytes) { return {State::Text, std::move(bytes)}; }
};

// What a health query's first value must be, from the text the user wrote:
//   empty (or blanks)  any row will do;
//   "=text"            exactly this text: its UTF-8 bytes are the value's bytes (no trimming,
//                      case counts; a value that is not UTF-8 equals no text);
//   "~regex"           a QRegularExpression found anywhere in the value ("^...$" anchors it);
//   anything else      a threshold range on a number ("10", "10:", "~:10", "10:20", "@10:20");
//                      the value is read as drivers print numbers (blanks around, a sign, a
//                      point, an exponent; no "inf", "nan" or hexadecimal).
// A text starting with "~:" is a range (negative infinity onwards); a pattern that starts
// with ':' is written "~\:". SQL NULL compares as the text "NULL".
//
// Patterns are untrusted and the engine has no time-out: one longer than kMaxPatternLength
// characters is refused, and only the first kMaxMatchedChars characters of a value are
// searched, after invalid UTF-8 became U+FFFD (the engine's own backtracking limit bounds the
// rest; a search it gives up counts as no match).
class HealthExpect {
public:
    enum class Kind { AnyRow, Range, Exact, Pattern };
    static constexpr qsizetype kMaxPatternLength = 512;
    static constexpr qsizetype kMaxMatchedChars = 4096;

    // The expectation `text` states; nullopt and a sentence saying why in *error (when given)
    // if it states none.
    static std::optional<HealthExpect> Parse(const QString& text, QString* error);

    Kind GetKind() const { return m_kind; }
    // The text as the user wrote it (a range without its surrounding blanks).
    QString Text() const { return m_text; }
    // The range of a Range expectation.
    std::optional<ThresholdRange> Range() const { return m_range; }

    struct Verdict {
        bool passed = false;
        QString shownValue; // the value made safe to show: 37, "ok", NULL; empty for no row
        QString reason;     // why it failed ("Health query failed: ..."); empty when passed
    };
    Verdict Evaluate(const HealthValue& value) const;

private:
    HealthExpect() = default;

    Kind m_kind = Kind::AnyRow;
    QString m_text;
    std::optional<ThresholdRange> m_range;
    QByteArray m_exact;
    QRegularExpression m_pattern;
};
