#include "history/Sqlite.h"

SqliteStatement::SqliteStatement(sqlite3* db, const char* sql) {
    if (sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &m_stmt, nullptr) != SQLITE_OK)
        m_stmt = nullptr;
}

SqliteStatement& SqliteStatement::operator=(SqliteStatement&& other) noexcept {
    if (this != &other) {
        sqlite3_finalize(m_stmt);
        m_stmt = other.m_stmt;
        other.m_stmt = nullptr;
    }
    return *this;
}

void SqliteStatement::Reset() {
    sqlite3_reset(m_stmt);
    sqlite3_clear_bindings(m_stmt);
}

void SqliteStatement::Bind(int index, const QString& value) {
    const QByteArray utf8 = value.toUtf8();
    sqlite3_bind_text(m_stmt, index, utf8.constData(), static_cast<int>(utf8.size()),
                      SQLITE_TRANSIENT);
}

QString SqliteStatement::Text(int column) const {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(m_stmt, column));
    return text ? QString::fromUtf8(text, sqlite3_column_bytes(m_stmt, column)) : QString();
}

int SqliteDb::Open(const QString& path, bool readOnly) {
    Close();
    const int flags = (readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE) |
                      SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_EXRESCODE;
    // A failed open still returns a handle: it holds the message for LastError() until Close().
    return sqlite3_open_v2(path.toUtf8().constData(), &m_db, flags, nullptr);
}

void SqliteDb::Close() {
    if (m_db)
        sqlite3_close_v2(m_db);
    m_db = nullptr;
}

int SqliteDb::Exec(const char* sql) {
    return sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr);
}

qint64 SqliteDb::QueryInt(const char* sql, qint64 fallback) {
    SqliteStatement statement(m_db, sql);
    if (statement.IsValid() && statement.Step() == SQLITE_ROW)
        return statement.Int(0);
    return fallback;
}

QString SqliteDb::QueryText(const char* sql) {
    SqliteStatement statement(m_db, sql);
    if (statement.IsValid() && statement.Step() == SQLITE_ROW)
        return statement.Text(0);
    return {};
}

QString SqliteDb::LastError() const {
    return m_db ? QString::fromUtf8(sqlite3_errmsg(m_db)) : QStringLiteral("out of memory");
}
