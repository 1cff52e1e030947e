#pragma once

#include "probe/HealthExpect.h"
#include "probe/ThresholdRange.h"

#include <QString>
#include <QStringList>

#include <optional>

// The plugin's command line, read without touching ODBC: what to probe, the thresholds, the
// time-outs and the output format. Pure, so that every rule of it is tested in-process.
namespace Check {

// The plugin states and their exit codes.
enum class State { Ok = 0, Warning = 1, Critical = 2, Unknown = 3 };

enum class Format { Plugin, OpenMetrics };

struct Options {
    QString dsn;              // --dsn
    QString connectionString; // --connection-string
    QString passwordEnv;      // name of the variable that holds the password
    QString passwordFile;     // a file whose first line is the password
    QString title;            // --title; empty: named after the data source or the string
    std::optional<ThresholdRange> warning;  // on the probe time in ms
    std::optional<ThresholdRange> critical; // on the probe time in ms
    int timeoutSeconds = 10;
    int loginTimeoutSeconds = 0; // 0: LoginTimeout()'s default
    QString query;
    std::optional<HealthExpect> expect; // set exactly when query is
    bool connectOnly = false;
    int verbosity = 0;
    Format format = Format::Plugin;

    // A login must give up before the plugin does, so that a silent database is CRITICAL and
    // only the plugin's own failure to finish is UNKNOWN.
    int LoginTimeout() const {
        return loginTimeoutSeconds > 0 ? loginTimeoutSeconds : std::max(1, timeoutSeconds - 1);
    }
};

struct Parsed {
    enum class Action { Run, Help, Version, Fail };
    Action action = Action::Run;
    Options options;
    QString error;        // Fail: one sentence, for the UNKNOWN line
    QStringList warnings; // for standard error; the run goes on
};

inline constexpr int kMaxTimeoutSeconds = 86400;

// args without the program's name. Long options take "--name value" or "--name=value", short
// ones "-w value" or "-wvalue"; "-vv" counts twice. --help wins over everything else on the line.
Parsed ParseArguments(const QStringList& args);

// True when the connection string carries a password (PWD or PASSWORD).
bool HoldsPassword(const QString& connectionString);

QString UsageText();
QString HelpText();
QString VersionText();

} // namespace Check
