#pragma once

#include <QString>
#include <QStringList>

// The built trellion-check run as a monitoring engine runs it: a process of its own, its
// standard output and error read apart, its exit code and wall time taken.
namespace CheckProcess {

struct Finished {
    int exitCode = -1; // -1: killed or did not end in time
    QString out;
    QString err;
    qint64 ms = 0;
};

QString Binary();

// env: "NAME=value" entries added to this process's environment for the run.
Finished Check(const QStringList& args, const QStringList& env = {}, int timeoutMs = 30000);

// Runs a program with text on its standard input (promtool, python3).
Finished Tool(const QStringList& command, const QString& input, int timeoutMs = 30000);

} // namespace CheckProcess
