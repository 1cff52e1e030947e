// A tiny ODBC driver for unixODBC whose answers are scripted by the connection string: for the
// outcomes that real drivers will not produce on demand (a fetch that reports
// SQL_SUCCESS_WITH_INFO at a chosen row, failing info and catalogue calls, long diagnostics, a
// cancelled connect, a completed string chosen by the test).
//
// Connection string keys (values may be braced):
//   Fail=<message>     SQLDriverConnect fails with SQLSTATE 08001 and this message
//   Cancel=1           SQLDriverConnect returns SQL_NO_DATA without a diagnostic
//   Complete=<text>    the completed string (default: the input)
//   NeedLoginTimeout=<s>  fail unless SQL_ATTR_LOGIN_TIMEOUT was set to <s> before connecting
//   Server=, User=     answers to SQL_SERVER_NAME and SQL_USER_NAME
//   InfoFail=1         those two info calls fail
//   Schemas=a|b|c, Catalogs=x|y   rows of the two catalogue listings ("~" for a NULL)
//   InfoRow=<n>        the fetch of row n (from 1) returns SQL_SUCCESS_WITH_INFO
//   TablesFail=1       SQLTables fails
#include <sql.h>
#include <sqlext.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

#define EXPORT extern "C" __attribute__((visibility("default")))

namespace {

struct Diag {
    std::string state;
    std::string message;
};

struct Handle {
    explicit Handle(SQLSMALLINT t) : type(t) {}
    SQLSMALLINT type;
    std::vector<Diag> diags;
};

struct Env : Handle {
    Env() : Handle(SQL_HANDLE_ENV) {}
};

struct Dbc : Handle {
    Dbc() : Handle(SQL_HANDLE_DBC) {}
    std::map<std::string, std::string> script;
    std::optional<SQLULEN> loginTimeout;
    bool connected = false;
};

struct Binding {
    SQLPOINTER target = nullptr;
    SQLLEN size = 0;
    SQLLEN* indicator = nullptr;
};

struct Stmt : Handle {
    explicit Stmt(Dbc* d) : Handle(SQL_HANDLE_STMT), dbc(d) {}
    Dbc* dbc;
    // Each row: TABLE_CAT, TABLE_SCHEM (nullopt = NULL).
    std::vector<std::pair<std::optional<std::string>, std::optional<std::string>>> rows;
    size_t next = 0;
    std::map<int, Binding> bindings;
};

std::string Upper(std::string s) {
    for (char& c : s)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

std::string Text(const SQLCHAR* text, SQLINTEGER length) {
    if (!text)
        return std::string();
    const char* p = reinterpret_cast<const char*>(text);
    return length == SQL_NTS ? std::string(p) : std::string(p, static_cast<size_t>(length));
}

std::map<std::string, std::string> Parse(const std::string& s) {
    std::map<std::string, std::string> out;
    size_t i = 0;
    while (i < s.size()) {
        const size_t eq = s.find('=', i);
        if (eq == std::string::npos)
            break;
        std::string key = Upper(s.substr(i, eq - i));
        std::string value;
        i = eq + 1;
        if (i < s.size() && s[i] == '{') {
            for (++i; i < s.size(); ++i) {
                if (s[i] == '}') {
                    if (i + 1 < s.size() && s[i + 1] == '}') {
                        value += '}';
                        ++i;
                        continue;
                    }
                    ++i;
                    break;
                }
                value += s[i];
            }
            while (i < s.size() && s[i] != ';')
                ++i;
        } else {
            const size_t semi = s.find(';', i);
            const size_t end = semi == std::string::npos ? s.size() : semi;
            value = s.substr(i, end - i);
            i = end;
        }
        ++i;
        out[key] = value;
    }
    return out;
}

std::vector<std::optional<std::string>> Split(const std::string& list) {
    std::vector<std::optional<std::string>> out;
    if (list.empty())
        return out;
    size_t start = 0;
    for (;;) {
        const size_t bar = list.find('|', start);
        const std::string item = list.substr(start, bar == std::string::npos ? bar : bar - start);
        out.push_back(item == "~" ? std::nullopt : std::optional<std::string>(item));
        if (bar == std::string::npos)
            break;
        start = bar + 1;
    }
    return out;
}

// Copies text into a character buffer, cutting it to fit; true when it was cut.
bool CopyOut(const std::string& text, SQLCHAR* out, SQLLEN size) {
    if (!out || size <= 0)
        return !text.empty();
    const size_t n = std::min(text.size(), static_cast<size_t>(size - 1));
    std::memcpy(out, text.data(), n);
    out[n] = '\0';
    return n < text.size();
}

std::string Value(const Dbc* dbc, const char* key) {
    const auto it = dbc->script.find(key);
    return it == dbc->script.end() ? std::string() : it->second;
}

} // namespace

EXPORT SQLRETURN SQLAllocHandle(SQLSMALLINT type, SQLHANDLE input, SQLHANDLE* output) {
    switch (type) {
    case SQL_HANDLE_ENV:
        *output = new Env;
        return SQL_SUCCESS;
    case SQL_HANDLE_DBC:
        *output = new Dbc;
        return SQL_SUCCESS;
    case SQL_HANDLE_STMT:
        *output = new Stmt(static_cast<Dbc*>(input));
        return SQL_SUCCESS;
    default:
        return SQL_ERROR;
    }
}

EXPORT SQLRETURN SQLFreeHandle(SQLSMALLINT type, SQLHANDLE handle) {
    switch (type) {
    case SQL_HANDLE_ENV:
        delete static_cast<Env*>(handle);
        return SQL_SUCCESS;
    case SQL_HANDLE_DBC:
        delete static_cast<Dbc*>(handle);
        return SQL_SUCCESS;
    case SQL_HANDLE_STMT:
        delete static_cast<Stmt*>(handle);
        return SQL_SUCCESS;
    default:
        return SQL_ERROR;
    }
}

EXPORT SQLRETURN SQLSetEnvAttr(SQLHENV, SQLINTEGER, SQLPOINTER, SQLINTEGER) {
    return SQL_SUCCESS;
}

EXPORT SQLRETURN SQLSetConnectAttr(SQLHDBC hdbc, SQLINTEGER attribute, SQLPOINTER value,
                                   SQLINTEGER) {
    if (attribute == SQL_ATTR_LOGIN_TIMEOUT)
        static_cast<Dbc*>(hdbc)->loginTimeout = reinterpret_cast<SQLULEN>(value);
    return SQL_SUCCESS;
}

EXPORT SQLRETURN SQLDriverConnect(SQLHDBC hdbc, SQLHWND, SQLCHAR* in, SQLSMALLINT inLength,
                                  SQLCHAR* out, SQLSMALLINT outSize, SQLSMALLINT* outLength,
                                  SQLUSMALLINT) {
    auto* dbc = static_cast<Dbc*>(hdbc);
    dbc->diags.clear();
    const std::string input = Text(in, inLength);
    dbc->script = Parse(input);
    if (Value(dbc, "CANCEL") == "1")
        return SQL_NO_DATA;
    if (dbc->script.count("FAIL")) {
        dbc->diags.push_back({"08001", Value(dbc, "FAIL")});
        return SQL_ERROR;
    }
    if (dbc->script.count("NEEDLOGINTIMEOUT") &&
        (!dbc->loginTimeout ||
         std::to_string(*dbc->loginTimeout) != Value(dbc, "NEEDLOGINTIMEOUT"))) {
        dbc->diags.push_back(
            {"08001", "login time-out was " +
                          (dbc->loginTimeout ? std::to_string(*dbc->loginTimeout) : "not set")});
        return SQL_ERROR;
    }
    const std::string completed = dbc->script.count("COMPLETE") ? Value(dbc, "COMPLETE") : input;
    dbc->connected = true;
    if (outLength)
        *outLength = static_cast<SQLSMALLINT>(completed.size());
    if (CopyOut(completed, out, outSize)) {
        dbc->diags.push_back({"01004", "String data, right truncated"});
        return SQL_SUCCESS_WITH_INFO;
    }
    return SQL_SUCCESS;
}

EXPORT SQLRETURN SQLDisconnect(SQLHDBC hdbc) {
    static_cast<Dbc*>(hdbc)->connected = false;
    return SQL_SUCCESS;
}

EXPORT SQLRETURN SQLGetInfo(SQLHDBC hdbc, SQLUSMALLINT type, SQLPOINTER value, SQLSMALLINT size,
                            SQLSMALLINT* length) {
    auto* dbc = static_cast<Dbc*>(hdbc);
    auto text = [&](const std::string& s) {
        CopyOut(s, static_cast<SQLCHAR*>(value), size);
        if (length)
            *length = static_cast<SQLSMALLINT>(s.size());
        return SQL_SUCCESS;
    };
    auto small = [&](SQLUSMALLINT v) {
        if (value)
            *static_cast<SQLUSMALLINT*>(value) = v;
        if (length)
            *length = sizeof v;
        return SQL_SUCCESS;
    };
    switch (type) {
    case SQL_SERVER_NAME:
    case SQL_USER_NAME:
        if (Value(dbc, "INFOFAIL") == "1") {
            dbc->diags.push_back({"HY000", "scripted info failure"});
            return SQL_ERROR;
        }
        return text(Value(dbc, type == SQL_SERVER_NAME ? "SERVER" : "USER"));
    case SQL_DRIVER_ODBC_VER:
        return text("03.00");
    case SQL_DRIVER_NAME:
        return text("libtrellion_scripted_odbc.so");
    case SQL_DRIVER_VER:
    case SQL_DBMS_VER:
        return text("01.00.0000");
    case SQL_DBMS_NAME:
        return text("Scripted");
    case SQL_CURSOR_COMMIT_BEHAVIOR:
    case SQL_CURSOR_ROLLBACK_BEHAVIOR:
        return small(SQL_CB_PRESERVE);
    case SQL_TXN_CAPABLE:
        return small(SQL_TC_NONE);
    case SQL_MAX_CONCURRENT_ACTIVITIES:
    case SQL_MAX_DRIVER_CONNECTIONS:
        return small(0);
    default:
        dbc->diags.push_back({"HY096", "information type out of range"});
        return SQL_ERROR;
    }
}

EXPORT SQLRETURN SQLTables(SQLHSTMT hstmt, SQLCHAR* catalog, SQLSMALLINT catalogLength,
                           SQLCHAR* schema, SQLSMALLINT schemaLength, SQLCHAR* table,
                           SQLSMALLINT tableLength, SQLCHAR*, SQLSMALLINT) {
    auto* stmt = static_cast<Stmt*>(hstmt);
    stmt->rows.clear();
    stmt->next = 0;
    if (Value(stmt->dbc, "TABLESFAIL") == "1") {
        stmt->diags.push_back({"HY000", "scripted catalogue failure"});
        return SQL_ERROR;
    }
    const std::string c = Text(catalog, catalogLength);
    const std::string s = Text(schema, schemaLength);
    const std::string t = Text(table, tableLength);
    // Only the two special forms of the call list anything.
    if (c.empty() && s == "%" && t.empty() && catalog && table) {
        for (const auto& name : Split(Value(stmt->dbc, "SCHEMAS")))
            stmt->rows.emplace_back(std::nullopt, name);
    } else if (c == "%" && s.empty() && t.empty() && schema && table) {
        for (const auto& name : Split(Value(stmt->dbc, "CATALOGS")))
            stmt->rows.emplace_back(name, std::nullopt);
    }
    return SQL_SUCCESS;
}

EXPORT SQLRETURN SQLBindCol(SQLHSTMT hstmt, SQLUSMALLINT column, SQLSMALLINT type,
                            SQLPOINTER target, SQLLEN size, SQLLEN* indicator) {
    if (type != SQL_C_CHAR)
        return SQL_ERROR;
    static_cast<Stmt*>(hstmt)->bindings[column] = {target, size, indicator};
    return SQL_SUCCESS;
}

EXPORT SQLRETURN SQLFetch(SQLHSTMT hstmt) {
    auto* stmt = static_cast<Stmt*>(hstmt);
    if (stmt->next >= stmt->rows.size())
        return SQL_NO_DATA;
    const auto& row = stmt->rows[stmt->next++];
    bool cut = false;
    for (auto& [column, binding] : stmt->bindings) {
        const std::optional<std::string>& value = column == 1 ? row.first : row.second;
        if (column != 1 && column != 2)
            continue;
        if (!value) {
            if (binding.indicator)
                *binding.indicator = SQL_NULL_DATA;
            continue;
        }
        cut = CopyOut(*value, static_cast<SQLCHAR*>(binding.target), binding.size) || cut;
        if (binding.indicator)
            *binding.indicator = static_cast<SQLLEN>(value->size());
    }
    const std::string infoRow = Value(stmt->dbc, "INFOROW");
    if (!infoRow.empty() && std::to_string(stmt->next) == infoRow)
        cut = true;
    if (cut) {
        stmt->diags.push_back({"01004", "String data, right truncated"});
        return SQL_SUCCESS_WITH_INFO;
    }
    return SQL_SUCCESS;
}

EXPORT SQLRETURN SQLFreeStmt(SQLHSTMT hstmt, SQLUSMALLINT option) {
    auto* stmt = static_cast<Stmt*>(hstmt);
    if (option == SQL_CLOSE) {
        stmt->rows.clear();
        stmt->next = 0;
    } else if (option == SQL_UNBIND) {
        stmt->bindings.clear();
    }
    return SQL_SUCCESS;
}

EXPORT SQLRETURN SQLGetDiagRec(SQLSMALLINT, SQLHANDLE handle, SQLSMALLINT record, SQLCHAR* state,
                               SQLINTEGER* native, SQLCHAR* message, SQLSMALLINT size,
                               SQLSMALLINT* length) {
    auto* h = static_cast<Handle*>(handle);
    if (record < 1 || static_cast<size_t>(record) > h->diags.size())
        return SQL_NO_DATA;
    const Diag& d = h->diags[static_cast<size_t>(record) - 1];
    if (state)
        CopyOut(d.state, state, 6);
    if (native)
        *native = 0;
    if (length)
        *length = static_cast<SQLSMALLINT>(d.message.size());
    return CopyOut(d.message, message, size) ? SQL_SUCCESS_WITH_INFO : SQL_SUCCESS;
}

EXPORT SQLRETURN SQLGetDiagField(SQLSMALLINT, SQLHANDLE handle, SQLSMALLINT record,
                                 SQLSMALLINT field, SQLPOINTER value, SQLSMALLINT, SQLSMALLINT*) {
    auto* h = static_cast<Handle*>(handle);
    if (record == 0 && field == SQL_DIAG_NUMBER) {
        *static_cast<SQLINTEGER*>(value) = static_cast<SQLINTEGER>(h->diags.size());
        return SQL_SUCCESS;
    }
    return SQL_NO_DATA;
}
