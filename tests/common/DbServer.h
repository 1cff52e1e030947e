#pragma once

#include <QString>

#include <sys/types.h>

// A private database server on 127.0.0.1 and a free port, with password log-in, in a folder of
// its own (/tmp/trellion-<kind>-<pid>-XXXXXX, copied from a per-machine template made once).
// Stop() and the destructor stop it; it can be started again after Stop() for outage tests. The
// server dies with the test process, its folder goes at the next start anywhere.
class DbServer {
public:
    enum class Kind { Postgres, MariaDb };
    explicit DbServer(Kind kind);
    ~DbServer();
    DbServer(const DbServer&) = delete;
    DbServer& operator=(const DbServer&) = delete;

    // True when the server accepts connections (waits for it); a running server stays as it is.
    bool Start();
    // True when the server has stopped (or was not running).
    bool Stop();

    Kind ServerKind() const { return m_kind; }
    int Port() const { return m_port; }
    QString User() const { return "trellion"; }
    QString Password() const { return pg() ? "Pg-secret-1" : "Maria-secret-1"; }
    QString Database() const { return pg() ? "postgres" : "trellion"; }
    // The ODBC driver's name in the private odbcinst.ini.
    QString Driver() const { return pg() ? "PostgreSQL Unicode" : "MariaDB Unicode"; }
    // "DRIVER={..};Server=127.0.0.1;Port=..;Database=..;UID=..;PWD=.."
    QString DriverConnectionString() const;

private:
    bool pg() const { return m_kind == Kind::Postgres; }
    bool Prepare();

    Kind m_kind;
    QString m_dir;
    int m_port = 0;
    pid_t m_server = 0;
};
