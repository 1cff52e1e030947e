#pragma once

#include <QString>
#include <QStringView>

#include <limits>
#include <optional>

// A threshold range as monitoring plugins write it: "[@]start:end", both ends inclusive.
// "10" is 0 to 10, "10:" is 10 upwards, "~:10" is anything up to 10 ("~" is negative
// infinity), "10:20" is 10 to 20; a value outside alerts, or a value inside when the range
// starts with "@". An omitted start is 0, an omitted end is infinity.
//
// Ends are plain decimals ("-0.5", "3", ".25", "7."): no exponent, no "inf" or "nan", at most
// 1e15 in size (every whole number up to there is exact in a double) and at most 15 digits
// after the point. The text has no blanks and at most kMaxTextLength characters.
class ThresholdRange {
public:
    static constexpr double kMaxMagnitude = 1e15;
    static constexpr int kMaxFractionDigits = 15;
    static constexpr qsizetype kMaxTextLength = 100;
    static constexpr double kInfinity = std::numeric_limits<double>::infinity();

    // The range `text` names; nullopt if it names none, with the reason in *error (when given)
    // as a phrase to follow the caller's own words: "the start 10 is above the end 5".
    static std::optional<ThresholdRange> Parse(QStringView text, QString* error);

    // start <= value <= end. NaN is in no range.
    bool Contains(double value) const { return value >= m_start && value <= m_end; }
    // True when `value` calls for the alert: outside the range, or inside it for "@". A NaN
    // always alerts (it cannot be judged, so it is not OK).
    bool Alerts(double value) const;

    double Start() const { return m_start; }
    double End() const { return m_end; }
    bool Inverted() const { return m_inverted; }

    // The shortest text that parses back to this range: "10", "10:", "~:10", "@10:20", "0:".
    QString ToString() const;

    bool operator==(const ThresholdRange&) const = default;

private:
    ThresholdRange(double start, double end, bool inverted)
        : m_start(start), m_end(end), m_inverted(inverted) {}

    double m_start;
    double m_end;
    bool m_inverted;
};
