#pragma once

#include "check/CheckOptions.h"

#include <QString>
#include <QStringList>

#include <optional>

// What one probe found, the verdict the thresholds give it, and its two texts: the plugin line
// and OpenMetrics.
namespace Check {

// The measurements of one run; times in milliseconds, nullopt when not measured.
struct ProbeReport {
    QString title;
    bool answered = false; // the connect succeeded
    QString failure;       // the driver's message (or the reason) when something failed
    std::optional<double> totalMs;
    std::optional<double> connectMs;
    std::optional<double> queryMs;
    // The health query's verdict, when one ran; a query that could not run at all sets failure
    // and queryFailed.
    std::optional<HealthExpect::Verdict> verdict;
    bool queryFailed = false;
    // A run that could not be judged at all (no such data source, an unreadable password file).
    bool unknown = false;
    // For -v: the driver's answers, and more lines for -vv.
    QString server;
    QString user;
    qsizetype schemas = 0;
    qsizetype catalogs = 0;
    QStringList steps;
    QStringList warnings; // for standard error
};

struct Result {
    State state = State::Unknown;
    QString summary;    // the text after "ODBC <STATE> - "
    QString perfdata;   // without the '|'
    QStringList detail; // the lines after the first one (-vv)
};

Result Judge(const ProbeReport& report, const Options& options);

// "ODBC OK - ... | ...\n" and the detail lines.
QString PluginText(const Result& result);
// The same run as OpenMetrics text, ending in "# EOF".
QString OpenMetricsText(const ProbeReport& report, const Result& result);

// A line for arguments that could not be read (no probe ran): "ODBC UNKNOWN - <error>\n".
QString UnknownLine(const QString& error);

const char* StateWord(State state);

// A decimal number's text divided by 10^digits, exactly ("500" -> "0.5", "-3" -> "-0.003").
QString ShiftDecimal(const QString& number, int digits);
// Milliseconds as seconds with microsecond precision and no trailing zeros: "0.023", "2".
QString Seconds(double ms);
// A label value as the Prometheus text formats escape it: backslash, double quote, line feed.
QString LabelValue(const QString& value);
// A range in milliseconds written in seconds ("@10:2000" -> "@0.01:2").
QString RangeInSeconds(const ThresholdRange& range);

} // namespace Check
