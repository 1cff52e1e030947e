#include "check/CheckResult.h"

#include <cmath>

namespace Check {

namespace {

// One line of output whatever the driver said: its line breaks and tabs become one blank, and
// '|' (which starts the performance data) becomes '/'.
QString OneLine(QString text) {
    text.replace(u'|', u'/');
    return text.simplified();
}

QString Milliseconds(double ms) {
    return QString::number(std::llround(ms)) + QStringLiteral(" ms");
}

QString PerfItem(const char* label, const std::optional<double>& ms, const Options& options,
                 bool thresholds) {
    if (!ms)
        return {};
    QString warn;
    QString crit;
    if (thresholds && options.warning)
        warn = RangeInSeconds(*options.warning);
    if (thresholds && options.critical)
        crit = RangeInSeconds(*options.critical);
    return QStringLiteral("%1=%2s;%3;%4;0").arg(QLatin1String(label), Seconds(*ms), warn, crit);
}

// ", outside the warning range 500" (or "inside" for a range that alerts inside).
QString RangeBreach(const char* which, const ThresholdRange& range) {
    return QStringLiteral(", %1 the %2 range %3 ms")
        .arg(range.Inverted() ? QStringLiteral("inside") : QStringLiteral("outside"),
             QLatin1String(which), range.ToString());
}

} // namespace

// Seconds with microsecond precision and no trailing zeros: "0.023", "2", "0.000412".
QString Seconds(double ms) {
    QString s = QString::number(ms / 1000.0, 'f', 6);
    while (s.endsWith(u'0'))
        s.chop(1);
    if (s.endsWith(u'.'))
        s.chop(1);
    return s;
}

// OpenMetrics label values escape the backslash, the double quote and the line feed.
QString LabelValue(const QString& value) {
    QString out;
    for (QChar c : value) {
        if (c == u'\\')
            out += QLatin1String("\\\\");
        else if (c == u'"')
            out += QLatin1String("\\\"");
        else if (c == u'\n')
            out += QLatin1String("\\n");
        else
            out += c;
    }
    return out;
}

const char* StateWord(State state) {
    switch (state) {
    case State::Ok:
        return "OK";
    case State::Warning:
        return "WARNING";
    case State::Critical:
        return "CRITICAL";
    case State::Unknown:
        break;
    }
    return "UNKNOWN";
}

QString ShiftDecimal(const QString& number, int digits) {
    QString sign;
    QString text = number;
    if (text.startsWith(u'-')) {
        sign = QStringLiteral("-");
        text.remove(0, 1);
    }
    qsizetype point = text.indexOf(u'.');
    if (point < 0)
        point = text.size();
    QString whole = text.left(point);
    QString fraction = text.mid(point + 1);
    whole = QString(digits, u'0') + whole;
    fraction = whole.right(digits) + fraction;
    whole.chop(digits);
    while (whole.size() > 1 && whole.startsWith(u'0'))
        whole.remove(0, 1);
    if (whole.isEmpty())
        whole = QStringLiteral("0");
    while (fraction.endsWith(u'0'))
        fraction.chop(1);
    const QString shifted = fraction.isEmpty() ? whole : whole + u'.' + fraction;
    return shifted == u"0" ? shifted : sign + shifted;
}

QString RangeInSeconds(const ThresholdRange& range) {
    // ToString writes plain decimals, "~" and ":", so each number in it can be shifted alone.
    const QString text = range.ToString();
    QString out;
    QString number;
    for (QChar c : text + u'\0') {
        if (c.isDigit() || c == u'.' || (c == u'-' && number.isEmpty())) {
            number += c;
            continue;
        }
        if (!number.isEmpty())
            out += ShiftDecimal(number, 3);
        number.clear();
        if (c != u'\0')
            out += c;
    }
    return out;
}

Result Judge(const ProbeReport& report, const Options& options) {
    Result result;
    const QString& title = report.title;
    const QString failure =
        report.failure.isEmpty() ? QStringLiteral("the driver gave no reason") : report.failure;
    if (report.unknown) {
        result.state = State::Unknown;
        result.summary = OneLine(failure);
    } else if (!report.answered) {
        result.state = State::Critical;
        result.summary = OneLine(QStringLiteral("%1 could not be reached: %2").arg(title, failure));
    } else {
        const double ms = report.totalMs.value_or(0);
        result.summary = QStringLiteral("%1 answered in %2").arg(title, Milliseconds(ms));
        if (options.verbosity > 0 && !options.connectOnly)
            result.summary +=
                QStringLiteral(" (server %1, user %2, %3 schemas, %4 catalogs)")
                    .arg(report.server.isEmpty() ? QStringLiteral("-") : report.server,
                         report.user.isEmpty() ? QStringLiteral("-") : report.user)
                    .arg(report.schemas)
                    .arg(report.catalogs);
        if (report.queryFailed) {
            // The query could not be run or read: the database answers but not as it should.
            result.state = State::Critical;
            result.summary += QStringLiteral(", but the health query failed: ") + failure;
        } else if (report.verdict && !report.verdict->passed) {
            result.state = State::Critical;
            result.summary += QStringLiteral(", but ") + report.verdict->reason;
        } else if (options.critical && options.critical->Alerts(ms)) {
            result.state = State::Critical;
            result.summary += RangeBreach("critical", *options.critical);
        } else if (options.warning && options.warning->Alerts(ms)) {
            result.state = State::Warning;
            result.summary += RangeBreach("warning", *options.warning);
        } else {
            result.state = State::Ok;
        }
        if (report.verdict && report.verdict->passed && !report.verdict->shownValue.isEmpty())
            result.summary += QStringLiteral("; health query value ") + report.verdict->shownValue;
        result.summary = OneLine(result.summary);
    }
    QStringList perf;
    for (const QString& item : {PerfItem("time", report.totalMs, options, true),
                                PerfItem("connect", report.connectMs, options, false),
                                PerfItem("query", report.queryMs, options, false)})
        if (!item.isEmpty())
            perf << item;
    result.perfdata = perf.join(u' ');
    if (options.verbosity > 1)
        for (const QString& step : report.steps)
            result.detail << OneLine(step);
    return result;
}

QString PluginText(const Result& result) {
    QString line =
        QStringLiteral("ODBC %1 - %2").arg(QLatin1String(StateWord(result.state)), result.summary);
    if (!result.perfdata.isEmpty())
        line += QStringLiteral(" | ") + result.perfdata;
    line += u'\n';
    for (const QString& detail : result.detail)
        line += detail + u'\n';
    return line;
}

QString UnknownLine(const QString& error) {
    return QStringLiteral("ODBC UNKNOWN - %1\n").arg(OneLine(error));
}

QString OpenMetricsText(const ProbeReport& report, const Result& result) {
    const QString labels = QStringLiteral("database=\"%1\"").arg(LabelValue(report.title));
    QString out;
    const auto gauge = [&](const char* name, const char* help, const char* unit) {
        out += QStringLiteral("# TYPE %1 gauge\n# HELP %1 %2\n")
                   .arg(QLatin1String(name), QLatin1String(help));
        if (unit)
            out += QStringLiteral("# UNIT %1 %2\n").arg(QLatin1String(name), QLatin1String(unit));
    };
    const auto sample = [&](const char* name, const QString& extraLabels, const QString& value) {
        out += QStringLiteral("%1{%2%3} %4\n").arg(QLatin1String(name), labels, extraLabels, value);
    };

    gauge("trellion_up", "Whether the database answered the probe (1) or not (0).", nullptr);
    sample("trellion_up", {}, report.answered && !report.unknown ? "1" : "0");
    const struct {
        const char* name;
        const char* help;
        const std::optional<double>& ms;
    } times[] = {
        {"trellion_probe_seconds", "Time of the whole probe, from connect to disconnect.",
         report.totalMs},
        {"trellion_connect_seconds", "Time of the driver's connect.", report.connectMs},
        {"trellion_query_seconds", "Time of the health query.", report.queryMs},
    };
    for (const auto& t : times) {
        if (!t.ms)
            continue;
        gauge(t.name, t.help, "seconds");
        sample(t.name, {}, Seconds(*t.ms));
    }
    gauge("trellion_check_state", "The check's verdict: 1 for the current state, 0 for the others.",
          nullptr);
    for (State s : {State::Ok, State::Warning, State::Critical, State::Unknown})
        sample("trellion_check_state",
               QStringLiteral(",state=\"%1\"").arg(QString::fromLatin1(StateWord(s)).toLower()),
               s == result.state ? "1" : "0");
    out += QStringLiteral("# EOF\n");
    return out;
}

} // namespace Check
