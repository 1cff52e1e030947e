#include "tests/common/OdbcTestEnv.h"

#include "tests/common/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <sql.h>
#include <sqlext.h>

#include <dlfcn.h>

#include <mutex>

namespace OdbcTestEnv {
namespace {

std::mutex g_mutex;
QString g_dir;
// File name -> section -> key -> value; each file is rewritten whole from here.
QMap<QString, QMap<QString, QMap<QString, QString>>> g_files;

QString DriverLibrary(const QString& fileName) {
    for (const char* dir : {"/usr/lib/x86_64-linux-gnu/odbc", "/usr/lib/aarch64-linux-gnu/odbc",
                            "/usr/lib/odbc", "/usr/lib64"}) {
        const QString candidate = QString::fromLatin1(dir) + u'/' + fileName;
        if (QFileInfo::exists(candidate))
            return candidate;
    }
    return fileName; // Let the driver manager search for it.
}

bool WriteIni(const QString& path, const QMap<QString, QMap<QString, QString>>& sections) {
    QByteArray text;
    for (auto section = sections.cbegin(); section != sections.cend(); ++section) {
        text += '[' + section.key().toUtf8() + "]\n";
        for (auto it = section->cbegin(); it != section->cend(); ++it)
            text += it.key().toUtf8() + " = " + it.value().toUtf8() + '\n';
        text += '\n';
    }
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return file.write(text) == text.size();
}

QString InstallLocked() {
    if (!g_dir.isEmpty())
        return g_dir;
    const QString dir = TestSupport::MakeTempDir(QStringLiteral("odbc"));
    QMap<QString, QMap<QString, QString>> drivers;
    drivers[QStringLiteral("SQLite3")] = {
        {QStringLiteral("Description"), QStringLiteral("SQLite3 ODBC Driver")},
        {QStringLiteral("Driver"), DriverLibrary(QStringLiteral("libsqlite3odbc.so"))},
    };
    drivers[QStringLiteral("PostgreSQL Unicode")] = {
        {QStringLiteral("Description"), QStringLiteral("PostgreSQL ODBC driver (Unicode)")},
        {QStringLiteral("Driver"), DriverLibrary(QStringLiteral("psqlodbcw.so"))},
        {QStringLiteral("Debug"), QStringLiteral("0")},
        {QStringLiteral("CommLog"), QStringLiteral("0")},
    };
    g_files[QStringLiteral("odbcinst.ini")] = drivers;
    g_files[QStringLiteral("odbc.ini")] = {};
    g_files[QStringLiteral("user-odbc.ini")] = {};
    for (auto it = g_files.cbegin(); it != g_files.cend(); ++it) {
        if (!WriteIni(dir + u'/' + it.key(), it.value()))
            ADD_FAILURE() << "cannot write " << qPrintable(dir + u'/' + it.key());
    }
    // Before the drivers are loaded: psqlodbc takes its data-source settings from the files
    // the environment named when it was loaded, and would read the machine's ones.
    qputenv("ODBCSYSINI", dir.toLocal8Bit());
    qputenv("ODBCINI", (dir + QStringLiteral("/user-odbc.ini")).toLocal8Bit());
    // The driver manager unloads a driver with its last environment; leaks inside the driver
    // then show up as "<unknown module>" and escape the sanitizer's suppressions. Pinning the
    // libraries keeps their names in the reports.
    for (const QString& library :
         {drivers[QStringLiteral("SQLite3")][QStringLiteral("Driver")],
          drivers[QStringLiteral("PostgreSQL Unicode")][QStringLiteral("Driver")]})
        dlopen(library.toLocal8Bit().constData(), RTLD_NOW | RTLD_NODELETE);
    g_dir = dir;
    return g_dir;
}

} // namespace

QString Install() {
    std::lock_guard lock(g_mutex);
    return InstallLocked();
}

void AddDriver(const QString& name, const QString& library) {
    std::lock_guard lock(g_mutex);
    const QString dir = InstallLocked();
    const QString file = QStringLiteral("odbcinst.ini");
    g_files[file][name] = {{QStringLiteral("Description"), name},
                           {QStringLiteral("Driver"), library}};
    if (!WriteIni(dir + u'/' + file, g_files[file]))
        ADD_FAILURE() << "cannot write " << qPrintable(dir + u'/' + file);
}

void AddDsn(const QString& name, const QString& driver, const QMap<QString, QString>& attrs,
            bool system) {
    std::lock_guard lock(g_mutex);
    const QString dir = InstallLocked();
    const QString file = system ? QStringLiteral("odbc.ini") : QStringLiteral("user-odbc.ini");
    QMap<QString, QString> section = attrs;
    section[QStringLiteral("Driver")] = driver;
    g_files[file][name] = section;
    if (!WriteIni(dir + u'/' + file, g_files[file]))
        ADD_FAILURE() << "cannot write " << qPrintable(dir + u'/' + file);
}

QString SqliteConnectionString(const QString& path) {
    return QStringLiteral("DRIVER={SQLite3};Database=%1;NoCreat=1").arg(path);
}

QString CreateSqliteDatabase(const QString& path) {
    Install();
    QDir().mkpath(QFileInfo(path).absolutePath());
    SQLHENV env = SQL_NULL_HENV;
    SQLHDBC dbc = SQL_NULL_HDBC;
    SQLHSTMT stmt = SQL_NULL_HSTMT;
    bool ok = SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env)) &&
              SQL_SUCCEEDED(SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION,
                                          reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0)) &&
              SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc));
    QString failure;
    if (ok) {
        // Without NoCreat the driver creates the file.
        QByteArray in = QStringLiteral("DRIVER={SQLite3};Database=%1").arg(path).toUtf8();
        ok = SQL_SUCCEEDED(SQLDriverConnect(dbc, nullptr, reinterpret_cast<SQLCHAR*>(in.data()),
                                            SQL_NTS, nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT));
        if (!ok)
            failure = QStringLiteral("connect failed");
    }
    if (ok && SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &stmt))) {
        for (const char* sql : {"CREATE TABLE IF NOT EXISTS sample (id INTEGER PRIMARY KEY, "
                                "name TEXT)",
                                "INSERT INTO sample (name) VALUES ('alpha')"}) {
            SQLFreeStmt(stmt, SQL_CLOSE);
            if (!SQL_SUCCEEDED(SQLExecDirect(stmt, (SQLCHAR*)sql, SQL_NTS))) {
                ok = false;
                failure = QStringLiteral("statement failed: ") + QLatin1String(sql);
                break;
            }
        }
        SQLFreeHandle(SQL_HANDLE_STMT, stmt);
    } else if (ok) {
        ok = false;
        failure = QStringLiteral("no statement handle");
    }
    if (dbc != SQL_NULL_HDBC) {
        SQLDisconnect(dbc);
        SQLFreeHandle(SQL_HANDLE_DBC, dbc);
    }
    if (env != SQL_NULL_HENV)
        SQLFreeHandle(SQL_HANDLE_ENV, env);
    if (!ok || !QFileInfo::exists(path)) {
        ADD_FAILURE() << "cannot create SQLite database " << qPrintable(path) << ": "
                      << qPrintable(failure);
        return QString();
    }
    return path;
}

} // namespace OdbcTestEnv
