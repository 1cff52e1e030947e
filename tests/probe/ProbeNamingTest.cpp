// The rules that turn a completed connection string into a data source name and a title.
#include "probe/DatabaseProbe.h"

#include <gtest/gtest.h>

namespace {

QString Title(const QString& completed, const QString& server, const QString& user) {
    return CDatabaseProbe::DeriveTitle(completed, CDatabaseProbe::DataSourceNameOf(completed),
                                       server, user);
}

TEST(ProbeDataSourceName, FirstDsnMatchAnywhereUpperCasedAndCutAtSemicolon) {
    EXPECT_EQ(CDatabaseProbe::DataSourceNameOf("DSN=MyDb;UID=sa;PWD=x"), "MYDB");
    EXPECT_EQ(CDatabaseProbe::DataSourceNameOf("UID=sa;DSN=Sales Db"), "SALES DB");
    // A longer attribute ending in DSN that comes first wins: the match is textual.
    EXPECT_EQ(CDatabaseProbe::DataSourceNameOf("FILEDSN=x;DSN=y"), "X");
    EXPECT_EQ(CDatabaseProbe::DataSourceNameOf("FILEDSN=/etc/a.dsn;DSN=y"), "/ETC/A.DSN");
    // Case-sensitive: lower-case keys are not data source names.
    EXPECT_EQ(CDatabaseProbe::DataSourceNameOf("dsn=lower;Dsn=mixed"), "");
    EXPECT_EQ(CDatabaseProbe::DataSourceNameOf("DRIVER={SQLite3};Database=/a.db"), "");
    EXPECT_EQ(CDatabaseProbe::DataSourceNameOf("DSN=;Database=/a.db"), "");
    EXPECT_EQ(CDatabaseProbe::DataSourceNameOf("DSN=last"), "LAST");
    EXPECT_EQ(CDatabaseProbe::DataSourceNameOf(""), "");
}

TEST(ProbeTitle, NamedDataSourceWithServerAndUser) {
    EXPECT_EQ(Title("DSN=MyDb;UID=sa", "SRV1", "sa"), "sa@MYDB(SRV1)");
    EXPECT_EQ(Title("DSN=MyDb", "SRV1", ""), "MYDB(SRV1)");
    EXPECT_EQ(Title("DSN=MyDb", "", "sa"), "sa@MYDB");
    EXPECT_EQ(Title("DSN=MyDb", "", ""), "MYDB");
    // The server is left out only when it equals the upper-cased name exactly.
    EXPECT_EQ(Title("DSN=MyDb", "MYDB", "sa"), "sa@MYDB");
    EXPECT_EQ(Title("DSN=MyDb", "MyDb", "sa"), "sa@MYDB(MyDb)");
    EXPECT_EQ(Title("FILEDSN=x;DSN=y", "host", "u"), "u@X(host)");
}

TEST(ProbeTitle, DefaultInAnyCaseCountsAsNoDataSource) {
    for (const QString dsn : {"DEFAULT", "default", "Default", "dEfAuLt"}) {
        const QString completed = "DSN=" + dsn + ";UID=sa";
        EXPECT_EQ(Title(completed, "SRV1", "sa"), "sa@(SRV1)") << qPrintable(dsn);
        EXPECT_EQ(Title(completed, "SRV1", ""), dsn) << qPrintable(dsn);
    }
    // Only the whole name: DEFAULTS is a real data source.
    EXPECT_EQ(Title("DSN=Defaults", "SRV1", "sa"), "sa@DEFAULTS(SRV1)");
}

TEST(ProbeTitle, WithoutDataSourceNameTheUserOrTheFirstAttributeNames) {
    // Server but no user: the first attribute's value, the server does not appear.
    EXPECT_EQ(Title("DRIVER={SQL Server};SERVER=SRV1", "SRV1", ""), "{SQL Server}");
    EXPECT_EQ(Title("DRIVER={SQL Server};SERVER=SRV1", "SRV1", "sa"), "sa@(SRV1)");
    EXPECT_EQ(Title("DRIVER={SQL Server};SERVER=SRV1", "", "u"), "u@");
    // The value keeps everything after the first '=', and a string without ';' is one attribute.
    EXPECT_EQ(Title("Database=/a=b.db", "", ""), "/a=b.db");
    EXPECT_EQ(Title("NoEqualsHere;X=1", "", ""), "NoEqualsHere");
    EXPECT_EQ(Title("DSN=;Database=/data/x.db;StepAPI=", "/data/x.db", ""), "x.db");
    EXPECT_EQ(Title("", "", ""), "");
}

} // namespace
