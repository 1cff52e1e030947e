#pragma once

#include "probe/OdbcHandles.h"

#include <QByteArray>

#include <vector>

// Performs a probe's driver connects. The program's connector is the driver manager's; tests
// give one that holds, slows or counts connects.
class IConnector {
public:
    virtual ~IConnector() = default;
    // One driver connect of connection (allocated, its attributes set), on the probing thread;
    // called by every probe that was given this connector, from any number of threads at once.
    // Same contract as Odbc::Connection::DriverConnect.
    virtual bool Connect(Odbc::Connection& connection, const QByteArray& connectionString,
                         std::vector<SQLCHAR>* completed, SQLSMALLINT* completedBytes) = 0;
};

class DriverManagerConnector : public IConnector {
public:
    bool Connect(Odbc::Connection& connection, const QByteArray& connectionString,
                 std::vector<SQLCHAR>* completed, SQLSMALLINT* completedBytes) override {
        return connection.DriverConnect(connectionString, completed, completedBytes);
    }
};
