#pragma once

#include <QByteArray>
#include <QString>

#include <sqlite3.h>

// Small owning wrappers over the SQLite C interface; results are codes, never exceptions.
class SqliteStatement {
public:
    SqliteStatement() = default;
    SqliteStatement(sqlite3* db, const char* sql);
    ~SqliteStatement() { sqlite3_finalize(m_stmt); }
    SqliteStatement(SqliteStatement&& other) noexcept : m_stmt(other.m_stmt) {
        other.m_stmt = nullptr;
    }
    SqliteStatement& operator=(SqliteStatement&& other) noexcept;
    SqliteStatement(const SqliteStatement&) = delete;
    SqliteStatement& operator=(const SqliteStatement&) = delete;

    bool IsValid() const { return m_stmt != nullptr; }
    // Ready for new values: reset, bindings cleared.
    void Reset();
    void Bind(int index, qint64 value) { sqlite3_bind_int64(m_stmt, index, value); }
    void Bind(int index, double value) { sqlite3_bind_double(m_stmt, index, value); }
    void Bind(int index, const QString& value);
    void BindNull(int index) { sqlite3_bind_null(m_stmt, index); }
    // SQLITE_ROW, SQLITE_DONE or an error code.
    int Step() { return sqlite3_step(m_stmt); }
    qint64 Int(int column) const { return sqlite3_column_int64(m_stmt, column); }
    double Real(int column) const { return sqlite3_column_double(m_stmt, column); }
    bool IsNull(int column) const { return sqlite3_column_type(m_stmt, column) == SQLITE_NULL; }
    QString Text(int column) const;

private:
    sqlite3_stmt* m_stmt = nullptr;
};

class SqliteDb {
public:
    SqliteDb() = default;
    ~SqliteDb() { Close(); }
    SqliteDb(const SqliteDb&) = delete;
    SqliteDb& operator=(const SqliteDb&) = delete;

    // SQLITE_OK or the error code; LastError() tells more.
    int Open(const QString& path, bool readOnly);
    void Close();
    bool IsOpen() const { return m_db != nullptr; }
    sqlite3* Handle() const { return m_db; }

    // Runs statements that return no rows; the first failing code, else SQLITE_OK.
    int Exec(const char* sql);
    // The single integer the statement returns, or fallback.
    qint64 QueryInt(const char* sql, qint64 fallback = 0);
    QString QueryText(const char* sql);
    QString LastError() const;

private:
    sqlite3* m_db = nullptr;
};

// True for the codes that mean the file itself is damaged or not a database.
inline bool IsCorruptCode(int code) {
    const int primary = code & 0xff;
    return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB;
}
