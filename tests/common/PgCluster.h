#pragma once

#include <QString>

// A private PostgreSQL 15 cluster on 127.0.0.1 and a free port, password authentication
// (scram-sha-256). Run as root, the server runs as the postgres user. The data folder is copied
// from a template made once per machine by initdb (which is slow). Stop() and the destructor
// stop it with "pg_ctl -m fast stop"; it can be started again after Stop() for outage tests.
class PgCluster {
public:
    PgCluster();
    ~PgCluster();
    PgCluster(const PgCluster&) = delete;
    PgCluster& operator=(const PgCluster&) = delete;

    // True when the server accepts connections (waits for it). Starting a running cluster is a
    // no-op that returns true.
    bool Start();
    // True when the server has stopped (or was not running).
    bool Stop();

    int Port() const { return m_port; }
    QString User() const;
    QString Password() const;
    QString Database() const;
    // "DRIVER={PostgreSQL Unicode};Server=127.0.0.1;Port=..;Database=..;UID=..;PWD=.."
    QString DriverConnectionString() const;
    // The cluster's folder (data/, server.log, socket); for diagnostics.
    QString Dir() const { return m_dir; }

private:
    bool Prepare();
    void SweepOrphans();
    bool RunAsServerUser(const QStringList& command, int timeoutMs, QString* output = nullptr);

    QString m_dir;
    int m_port = 0;
    bool m_running = false;
};
