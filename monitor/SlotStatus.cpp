#include "monitor/SlotStatus.h"

#include "settings/SettingKeys.h"

#include <charconv>
#include <climits>
#include <clocale>
#include <cstdio>
#include <ctime>

#include <locale.h>
#include <time.h>

QString FormatMs(double value) {
    // The C library's own "%g" (Qt's formatter rounds exact ties differently, which shows in
    // RoundScale), but always with a '.' whatever locale the application object set.
    static const locale_t cLocale = newlocale(LC_NUMERIC_MASK, "C", static_cast<locale_t>(0));
    const locale_t previous = uselocale(cLocale);
    char buffer[64];
    const int n = std::snprintf(buffer, sizeof buffer, "%g", value);
    uselocale(previous);
    return QString::fromLatin1(buffer, n > 0 ? n : 0);
}

double RoundScale(double value) {
    QString t = FormatMs(value);
    if (t.endsWith(u'0'))
        return value;
    t = FormatMs(value + 10);
    const qsizetype dot = t.indexOf(u'.');
    if (dot > 0)
        t.truncate(dot);
    t[t.size() - 1] = u'0';
    // Read as far as the text is a number, as strtod would, but without its locale.
    const QByteArray bytes = t.toLatin1();
    double result = 0.0;
    std::from_chars(bytes.constData(), bytes.constData() + bytes.size(), result);
    return result;
}

// Straight from the C library: QDateTime::currentDateTime's time-zone work costs over 10 us, a
// visible share of a probe of a local database.
QString TimeStamp() {
    return TimeStamp(std::time(nullptr));
}

QString TimeStamp(std::time_t when) {
    std::tm local{};
    localtime_r(&when, &local);
    char buffer[64];
    const std::size_t n = std::strftime(buffer, sizeof buffer, " on %m/%d/%Y at %H:%M:%S", &local);
    return QString::fromLatin1(buffer, static_cast<qsizetype>(n));
}

AccessStatistics ComputeAccessStatistics(const QList<AccessRecord>& history, double currentScale) {
    AccessStatistics stats;
    double sum = 0.0;
    double maximum = 0.0;
    for (const AccessRecord& r : history) {
        if (r.elapsed > maximum) {
            maximum = r.elapsed;
            stats.worst = r;
        }
        // A zero sum so far also takes the record: the first one always, and any record after
        // a run whose values cancel out.
        if (r.elapsed < stats.best.elapsed || sum == 0.0)
            stats.best = r;
        sum += r.elapsed;
    }
    if (history.size() >= kHistoryLength)
        stats.scaleCandidate = 2.0 * sum / static_cast<double>(history.size());
    else
        stats.scaleCandidate = currentScale;
    return stats;
}

QStringList LegendTexts(double scale) {
    const double step = scale / 5;
    const QString ms = QStringLiteral("ms");
    return {FormatMs(scale) + ms, FormatMs(step * 4) + ms, FormatMs(step * 3) + ms,
            FormatMs(step * 2) + ms, FormatMs(step) + ms};
}

ProbeTime SteadyProbeTime() {
    return std::chrono::duration_cast<ProbeTime>(
        std::chrono::steady_clock::now().time_since_epoch());
}

int LeadingInt(const QString& text) {
    qsizetype i = 0;
    while (i < text.size() && (text[i] == u' ' || (text[i] >= u'\t' && text[i] <= u'\r')))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) {
        negative = text[i] == u'-';
        ++i;
    }
    long long value = 0;
    for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
        value = value * 10 + (text[i].unicode() - u'0');
        if (value > static_cast<long long>(INT_MAX) + 1)
            value = static_cast<long long>(INT_MAX) + 1;
    }
    if (negative)
        value = -value;
    if (value > INT_MAX)
        return INT_MAX;
    if (value < INT_MIN)
        return INT_MIN;
    return static_cast<int>(value);
}
