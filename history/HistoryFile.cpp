#include "history/HistoryFile.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace HistoryFile {
namespace {

const char* const kSchema = R"sql(
CREATE TABLE IF NOT EXISTS keys(id INTEGER PRIMARY KEY, name TEXT NOT NULL UNIQUE);
CREATE TABLE IF NOT EXISTS polls(t INTEGER NOT NULL, db INTEGER NOT NULL,
    outcome INTEGER NOT NULL, elapsed REAL NOT NULL, reason TEXT);
CREATE INDEX IF NOT EXISTS polls_by_db ON polls(db, t);
CREATE TABLE IF NOT EXISTS hourly(db INTEGER NOT NULL, t INTEGER NOT NULL,
    n INTEGER NOT NULL, up INTEGER NOT NULL, slow INTEGER NOT NULL, down INTEGER NOT NULL,
    nc INTEGER NOT NULL, mn REAL, mx REAL, sm REAL NOT NULL,
    h0 INTEGER NOT NULL, h1 INTEGER NOT NULL, h2 INTEGER NOT NULL, h3 INTEGER NOT NULL,
    h4 INTEGER NOT NULL, h5 INTEGER NOT NULL, h6 INTEGER NOT NULL, h7 INTEGER NOT NULL,
    PRIMARY KEY(db, t)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS daily(db INTEGER NOT NULL, t INTEGER NOT NULL,
    n INTEGER NOT NULL, up INTEGER NOT NULL, slow INTEGER NOT NULL, down INTEGER NOT NULL,
    nc INTEGER NOT NULL, mn REAL, mx REAL, sm REAL NOT NULL,
    h0 INTEGER NOT NULL, h1 INTEGER NOT NULL, h2 INTEGER NOT NULL, h3 INTEGER NOT NULL,
    h4 INTEGER NOT NULL, h5 INTEGER NOT NULL, h6 INTEGER NOT NULL, h7 INTEGER NOT NULL,
    PRIMARY KEY(db, t)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS outages(id INTEGER PRIMARY KEY, db INTEGER NOT NULL,
    start INTEGER NOT NULL, end INTEGER, alert INTEGER NOT NULL DEFAULT 0, reason TEXT);
CREATE INDEX IF NOT EXISTS outages_by_db ON outages(db, start);
CREATE TABLE IF NOT EXISTS meta(name TEXT PRIMARY KEY, value INTEGER NOT NULL) WITHOUT ROWID;
PRAGMA user_version = 1;
)sql";

OpenResult Failure(SqliteDb& db, int code, const QString& what) {
    OpenResult result;
    result.code = code == SQLITE_OK ? SQLITE_ERROR : code;
    result.corrupt = IsCorruptCode(result.code);
    result.error = what.isEmpty() ? db.LastError() : what;
    db.Close();
    return result;
}

// SQLite gives the WAL and shared-memory files the mode of the database file, so the file is
// made here first with owner-only rights (and an existing one is narrowed to them).
int CreatePrivateFile(const QString& path, QString* error) {
    const QByteArray native = QFile::encodeName(path);
    const int fd = ::open(native.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        return SQLITE_CANTOPEN;
    }
    const int changed = ::fchmod(fd, 0600);
    ::close(fd);
    if (changed != 0) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        return SQLITE_CANTOPEN;
    }
    return SQLITE_OK;
}

} // namespace

namespace {

OpenResult OpenWriterOnce(SqliteDb& db, const QString& path, int busyTimeoutMs, bool quickCheck) {
    const QString folder = QFileInfo(path).absolutePath();
    if (!QFileInfo(folder).isDir()) {
        if (!QDir().mkpath(folder))
            return Failure(db, SQLITE_CANTOPEN, QStringLiteral("cannot create the folder"));
        QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    QString error;
    if (const int rc = CreatePrivateFile(path, &error); rc != SQLITE_OK)
        return Failure(db, rc, error);
    if (const int rc = db.Open(path, false); rc != SQLITE_OK)
        return Failure(db, rc, {});
    sqlite3_busy_timeout(db.Handle(), busyTimeoutMs);

    if (quickCheck) {
        SqliteStatement check(db.Handle(), "PRAGMA quick_check");
        if (!check.IsValid())
            return Failure(db, sqlite3_errcode(db.Handle()), {});
        const int rc = check.Step();
        if (rc != SQLITE_ROW)
            return Failure(db, rc, {});
        if (check.Text(0) != QLatin1String("ok")) {
            OpenResult result = Failure(db, SQLITE_CORRUPT, check.Text(0));
            result.corrupt = true;
            return result;
        }
    }
    const QString mode = db.QueryText("PRAGMA journal_mode=WAL");
    if (mode.compare(QLatin1String("wal"), Qt::CaseInsensitive) != 0)
        return Failure(db, sqlite3_errcode(db.Handle()), {});
    if (const int rc = db.Exec("PRAGMA synchronous=NORMAL"); rc != SQLITE_OK)
        return Failure(db, rc, {});

    const qint64 version = db.QueryInt("PRAGMA user_version", -1);
    if (version < 0)
        return Failure(db, sqlite3_errcode(db.Handle()), {});
    if (version > kSchemaVersion)
        return Failure(db, SQLITE_ERROR,
                       QStringLiteral("written by a newer version (schema %1)").arg(version));
    if (version < kSchemaVersion) {
        // Two processes may both find a new file: the schema is created in one write transaction.
        int rc = db.Exec("BEGIN IMMEDIATE");
        if (rc == SQLITE_OK)
            rc = db.Exec(kSchema);
        if (rc == SQLITE_OK)
            rc = db.Exec("COMMIT");
        if (rc != SQLITE_OK)
            return Failure(db, rc, {}); // closing rolls the half-made schema back
    }
    return {};
}

} // namespace

OpenResult OpenWriter(SqliteDb& db, const QString& path, int busyTimeoutMs, bool quickCheck) {
    // Switching a new file to WAL while another process sets it up fails with a busy code that
    // the busy handler never sees, so two instances starting at once try again here, within the
    // same time-out.
    QElapsedTimer waited;
    waited.start();
    for (;;) {
        OpenResult result = OpenWriterOnce(db, path, busyTimeoutMs, quickCheck);
        const int primary = result.code & 0xff;
        if ((primary != SQLITE_BUSY && primary != SQLITE_LOCKED) ||
            waited.elapsed() >= busyTimeoutMs)
            return result;
        QThread::msleep(20);
    }
}

OpenResult OpenReader(SqliteDb& db, const QString& path, int busyTimeoutMs) {
    if (!QFileInfo::exists(path))
        return Failure(db, SQLITE_CANTOPEN, QStringLiteral("no history file yet"));
    // Read-write, though it only reads: a WAL reader may need to create the shared-memory file.
    if (const int rc = db.Open(path, false); rc != SQLITE_OK)
        return Failure(db, rc, {});
    sqlite3_busy_timeout(db.Handle(), busyTimeoutMs);
    const qint64 version = db.QueryInt("PRAGMA user_version", -1);
    if (version < 0)
        return Failure(db, sqlite3_errcode(db.Handle()), {});
    if (version != kSchemaVersion)
        return Failure(db, SQLITE_ERROR, QStringLiteral("schema %1 not known").arg(version));
    return {};
}

QString MoveAside(const QString& path, qint64 nowMs, QString* error) {
    const QString stamp =
        QDateTime::fromMSecsSinceEpoch(nowMs, Qt::UTC).toString(QStringLiteral("yyyyMMdd-HHmmss"));
    QString target = path + QStringLiteral(".corrupt-") + stamp;
    for (int n = 2; QFileInfo::exists(target); ++n)
        target = path + QStringLiteral(".corrupt-") + stamp + QStringLiteral("-%1").arg(n);
    if (::rename(QFile::encodeName(path).constData(), QFile::encodeName(target).constData()) != 0) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        return {};
    }
    for (const char* suffix : {"-wal", "-shm"}) {
        const QString from = path + QLatin1String(suffix);
        if (QFileInfo::exists(from))
            ::rename(QFile::encodeName(from).constData(),
                     QFile::encodeName(target + QLatin1String(suffix)).constData());
    }
    return target;
}

} // namespace HistoryFile
