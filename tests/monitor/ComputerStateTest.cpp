// When a poll says nothing about its database, and which databases live on this computer.
#include "monitor/ComputerState.h"

#include <gtest/gtest.h>

namespace {

TEST(ComputerStateTest, WhenAPollIsNotChecked) {
    using R = ComputerState::Reach;
    struct Row {
        const char* name;
        PollCircumstances c;
        QString reason;
    };
    const auto failed = [](R reach, bool local = false, bool justWoke = false) {
        PollCircumstances c;
        c.failed = true;
        c.reach = reach;
        c.onThisComputer = local;
        c.justWoke = justWoke;
        return c;
    };
    PollCircumstances spanned;
    spanned.sleptDuring = true;
    PollCircumstances goingDown;
    goingDown.sleeping = true;
    PollCircumstances answered;
    answered.reach = R::Offline;
    const std::vector<Row> rows = {
        {"a poll across a sleep, even one that answered", spanned, kAsleepReason},
        {"a poll as the computer goes to sleep", goingDown, kAsleepReason},
        {"a remote failure while offline", failed(R::Offline), kOfflineReason},
        {"a local failure while offline counts", failed(R::Offline, true), ""},
        {"an answer while offline counts", answered, ""},
        {"a failure while online counts", failed(R::Online), ""},
        {"without a backend, as before", failed(R::Unknown), ""},
        {"just awake, network not known to be back", failed(R::Unknown, false, true),
         kAsleepReason},
        {"just awake and online: counts", failed(R::Online, false, true), ""},
        {"just awake, a local database counts", failed(R::Unknown, true, true), ""},
    };
    for (const Row& row : rows)
        EXPECT_EQ(NotCheckedReason(row.c), row.reason) << row.name;
}

TEST(ComputerStateTest, DatabasesOnThisComputer) {
    const std::vector<std::pair<QString, bool>> rows = {
        {"DRIVER={SQLite3};DATABASE=/home/me/shop.db", true},
        {"DRIVER={Microsoft Access Driver (*.mdb)};DBQ=C:\\data\\shop.mdb", true},
        {"DRIVER={PostgreSQL Unicode};SERVER=localhost;PORT=5432;DATABASE=shop", true},
        {"DRIVER={PostgreSQL Unicode};Server=127.0.0.1;Port=5432", true},
        {"DRIVER={PostgreSQL Unicode};Server=127.4.5.6", true},
        {"DRIVER={MariaDB};SERVER=::1;PORT=3306", true},
        {"DRIVER={MariaDB};SERVER=[::1]:3306", true},
        {"DRIVER={MariaDB};SERVER=/run/mysqld/mysqld.sock", true},
        {"DRIVER={ODBC Driver 18 for SQL Server};SERVER=localhost,1433", true},
        {"DRIVER={PostgreSQL Unicode};SERVER=db.example.com;DATABASE=/srv/x", false},
        {"DRIVER={PostgreSQL Unicode};SERVER=10.0.0.7:5432", false},
        {"DRIVER={MariaDB};SERVER=localhost.example.com", false},
        {"DSN=Sales", false},
        {"", false},
    };
    for (const auto& [connection, local] : rows)
        EXPECT_EQ(IsOnThisComputer(connection), local) << connection.toStdString();
}

} // namespace
