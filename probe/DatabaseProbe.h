#pragma once

#include "probe/HealthQuery.h"
#include "probe/ProbeOptions.h"

#include <QString>
#include <QStringList>

#include <atomic>
#include <memory>

class IDataSourceChooser;
class INotice;

// One ODBC data source: its completed connection string, its title, and the handles of a
// connection while one is open. Connect/Disconnect are called from the slot's poll thread;
// the object is not shared between two threads at once.
class CDatabaseProbe {
public:
    enum Status { Reachable = 1, Slow = 2, Unreachable = 3 };

    // Creation with one connection attempt at once. An empty connection string asks the
    // chooser (interactive selection); quiet = false shows "Could not connect to data
    // source.\n\n" + the driver's message through the notice when the attempt fails with one.
    CDatabaseProbe(IDataSourceChooser* chooser, const QString& connectionString, bool quiet,
                   INotice* notice, ProbeOptions options = {});

    // A probe for a stored database, made without any connection attempt (start-up must not
    // wait for a database): configured, with the stored string and title.
    static CDatabaseProbe* FromStored(const QString& connectionString, const QString& title,
                                      ProbeOptions options = {});

    ~CDatabaseProbe();
    CDatabaseProbe(const CDatabaseProbe&) = delete;
    CDatabaseProbe& operator=(const CDatabaseProbe&) = delete;

    // True when connected; the connection stays open until Disconnect. On failure the driver's
    // first diagnostic message goes to *errorText when given. An empty string asks the chooser.
    // On success ConnectionString() is the driver's completed string, whole; where that could
    // not connect again (no driver named in it, a password the driver mangled) the part that
    // did connect is kept, so the stored string always works for the next poll; a selection
    // also tries the string it keeps once more and falls back to the one that connected.
    // Through a SQLite driver the string is sent with NoCreat=1 unless it or its data source
    // already says so: a database file that has gone is unreachable, never made anew; and the
    // file is read once, so one that is no SQLite database fails with the driver's reason.
    bool Connect(const QString& connectionString, QString* errorText);
    // The health query on the connection the last successful Connect left open; fails with a
    // reason when there is none. Nothing it does is committed.
    HealthVerdict CheckHealth(const HealthQuery& query);
    // The query's run alone, for callers that judge the value themselves; not executed with a
    // reason when there is no connection.
    HealthRun RunQuery(const QString& sql, int timeoutSeconds);
    // Always true; frees the handles of the last successful Connect.
    bool Disconnect();

    int GetStatus() const { return m_status.load(); }
    void SetStatus(int status) { m_status.store(status); }
    bool HasConnection() const { return m_hasConnection; }
    QString ConnectionString() const { return m_connectionString; }
    void SetConnectionString(const QString& s) { m_connectionString = s; }
    QString Title() const { return m_title; }
    void SetTitle(const QString& t) { m_title = t; }
    QString ServerName() const { return m_serverName; }
    QString UserName() const { return m_userName; }
    QString DataSourceName() const { return m_dataSourceName; }
    // The database the last successful Connect was in, as the driver names it.
    QString DatabaseName() const { return m_databaseName; }
    QStringList Schemas() const { return m_schemas; }
    QStringList Catalogs() const { return m_catalogs; }

    // The login time-out and connector every Connect of this probe uses.
    const ProbeOptions& Options() const { return m_options; }

    // The rule that names a database (pure, for tests). Without a data source name the
    // database's own name follows the server and user ("sa@(SRV1)/sales"), unless it is the
    // server name itself (a file's driver).
    static QString DeriveTitle(const QString& completedConnectionString,
                               const QString& dataSourceName, const QString& serverName,
                               const QString& userName, const QString& databaseName = {});

private:
    struct Handles;
    explicit CDatabaseProbe(ProbeOptions options);
    bool ConnectsWith(const Handles& handles, const QString& connectionString) const;

    std::atomic<int> m_status{Reachable};
    QStringList m_schemas;
    QStringList m_catalogs;
    IDataSourceChooser* m_chooser = nullptr;
    bool m_hasConnection = false;
    QString m_connectionString;
    QString m_serverName;
    QString m_userName;
    QString m_dataSourceName;
    QString m_databaseName;
    QString m_title;
    ProbeOptions m_options;
    std::unique_ptr<Handles> m_handles;
};
