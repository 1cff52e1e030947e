#pragma once

#include "check/CheckResult.h"

// One run of the plugin against the database the options name: the password read, the data
// source looked up, the probe (or the bare connect of --connect-only) made and timed.
namespace Check {

// The title the output uses before anything is known of the server: --title, the data source
// name, or a name made from the string's own attributes (never from its password). The same
// for every outcome, so that a monitoring engine sees one name.
QString TitleOf(const Options& options);

// The connection string as given, without its password: for -vv and for titles.
QString WithoutPassword(const QString& connectionString);

ProbeReport Run(const Options& options);

} // namespace Check
