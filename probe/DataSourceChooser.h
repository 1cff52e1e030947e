#pragma once

#include <QString>

#include <optional>

// Asks the user for a data source. unixODBC has no dialog of its own for an empty connection
// string, so the window supplies one; tests supply a scripted one.
class IDataSourceChooser {
public:
    virtual ~IDataSourceChooser() = default;
    // A connection string to connect with SQL_DRIVER_NOPROMPT, or nothing when cancelled.
    virtual std::optional<QString> ChooseDataSource() = 0;
};
