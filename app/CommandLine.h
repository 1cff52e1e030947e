#pragma once

#include <QString>
#include <QStringList>

// The program's command line, read before any window-side object exists so that --help,
// --version and a mistyped option answer without a display.
namespace CommandLine {

struct Outcome {
    bool run = true;  // false: print and end with exitCode instead of starting the monitor
    int exitCode = 0; // 0 for --help and --version, 2 for a wrong command line
    QString out;      // for standard output
    QString err;      // for standard error
};

// args as the process received them, program name first. Qt's own window-system options
// (-platform, -display, -session, ...) pass through to the application object.
Outcome Parse(const QStringList& args);

// Parses argv, prints the outcome's texts and returns it.
Outcome Handle(int argc, char** argv);

} // namespace CommandLine
