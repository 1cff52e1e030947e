#pragma once

#include "history/Sqlite.h"

#include <QString>

// The history file's layout and how it is opened. Version 1: raw polls (kept for a while), hourly
// and daily roll-ups kept up to date with every write, outages, and the horizons below which the
// raw and hourly rows were pruned.
namespace HistoryFile {

constexpr int kSchemaVersion = 1;

struct OpenResult {
    int code = SQLITE_OK; // SQLITE_OK when the file is open and ready
    QString error;        // why not, for the fault report
    bool corrupt = false; // the file is damaged or not a database: move it aside
};

// Creates the folder (0700) and file (0600) when missing, opens for writing in WAL mode with the
// busy time-out, checks the file when quickCheck is set and creates or accepts the schema.
OpenResult OpenWriter(SqliteDb& db, const QString& path, int busyTimeoutMs, bool quickCheck);

// A read connection on an existing file; never creates or changes it.
OpenResult OpenReader(SqliteDb& db, const QString& path, int busyTimeoutMs);

// Renames the file and its WAL and shared-memory files to "<path>.corrupt-<UTC yyyyMMdd-HHmmss>";
// the new name of the file, or empty with error set.
QString MoveAside(const QString& path, qint64 nowMs, QString* error);

} // namespace HistoryFile
