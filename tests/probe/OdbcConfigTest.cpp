// The driver manager's configuration read and written through probe/, on the test's private
// odbc.ini and odbcinst.ini.
#include "probe/OdbcConfig.h"
#include "tests/common/OdbcTestEnv.h"

#include <gtest/gtest.h>

namespace {

using Pairs = QList<QPair<QString, QString>>;

TEST(OdbcConfigTest, DriverAttributeListsAreSplitAtTheirNuls) {
    const struct {
        QByteArray list; // as SQLDrivers fills it, with the closing NUL
        int bytes;       // the length it reports
        Pairs pairs;
    } cases[] = {
        {QByteArray("Driver=/a.so\0Setup=/b.so\0\0", 27),
         26,
         {{"Driver", "/a.so"}, {"Setup", "/b.so"}}},
        {QByteArray("\0", 1), 0, {}},
        {QByteArray("Flag\0K=v=w\0\0", 12), 11, {{"Flag", ""}, {"K", "v=w"}}},
        {QByteArray("A=1\0B=22\0\0", 10), 7, {{"A", "1"}, {"B", "2"}}}, // cut by the buffer
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.list.toStdString());
        EXPECT_EQ(OdbcConfig::SplitDriverAttributes(c.list.constData(), c.bytes), c.pairs);
    }
}

TEST(OdbcConfigTest, DataSourceNamesTheDriverManagerTakes) {
    const struct {
        QString name;
        bool valid;
    } cases[] = {
        {"Sales PG", true},
        {QString(32, u'n'), true},
        {QString(33, u'n'), false},
        {QString(31, u'n') + "é", false},
        {"Ledger.File", true},
        {"a;b", false},
        {"a[b]", false},
        {"who?", false},
        {"x=y", false},
        {"at@home", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(OdbcConfig::IsValidDataSourceName(c.name), c.valid) << c.name.toStdString();
}

// User data sources come before system ones; drivers come with their odbcinst.ini values; a
// written data source is listed at once and its values are read back.
TEST(OdbcConfigTest, ListsDataSourcesAndDriversAndWritesAUserDataSource) {
    const QString dir = OdbcTestEnv::Install();
    OdbcTestEnv::AddDsn("ListedSystem", "PostgreSQL Unicode", {{"Servername", "127.0.0.1"}},
                        /*system=*/true);
    OdbcTestEnv::AddDsn("ListedUser", "SQLite3", {{"Database", dir + "/listed.db"}});
    QList<OdbcConfig::DataSource> sources = OdbcConfig::DataSources();
    const auto at = [&sources](const OdbcConfig::DataSource& s) { return sources.indexOf(s); };
    const qsizetype user = at({"ListedUser", "SQLite3", false});
    const qsizetype system = at({"ListedSystem", "PostgreSQL Unicode", true});
    ASSERT_GE(user, 0);
    ASSERT_GE(system, 0);
    EXPECT_LT(user, system);
    for (qsizetype i = 1; i < sources.size(); ++i)
        EXPECT_FALSE(sources[i - 1].system && !sources[i].system)
            << "a user source after a system one";

    const QList<OdbcConfig::Driver> drivers = OdbcConfig::Drivers();
    QStringList names;
    for (const OdbcConfig::Driver& driver : drivers) {
        names << driver.name;
        if (driver.name == "PostgreSQL Unicode") {
            EXPECT_TRUE(driver.attributes.contains({"CommLog", "0"}));
        }
        if (driver.name == "SQLite3") {
            ASSERT_FALSE(driver.attributes.isEmpty());
            EXPECT_EQ(driver.attributes[0].first, "Driver");
            EXPECT_TRUE(driver.attributes[0].second.endsWith("/libsqlite3odbc.so"));
        }
    }
    EXPECT_TRUE(names.contains("SQLite3") && names.contains("PostgreSQL Unicode"));
    EXPECT_EQ(OdbcConfig::DriverNames(), names);

    QString error;
    ASSERT_TRUE(OdbcConfig::WriteUserDataSource(
        "Written", "SQLite3", {{"Database", dir + "/written.db"}, {"NoCreat", "1"}}, &error))
        << error.toStdString();
    sources = OdbcConfig::DataSources();
    EXPECT_GE(at({"Written", "SQLite3", false}), 0);
    EXPECT_EQ(OdbcConfig::ProfileString("Written", "Database", "ODBC.INI"), dir + "/written.db");
    EXPECT_FALSE(OdbcConfig::WriteUserDataSource("Bad[Name]", "SQLite3", {}, &error));
    EXPECT_FALSE(error.isEmpty());
}

} // namespace
