// The Metrics dialog: OK takes a writable file and a free port (or none), refuses the rest with
// a clear text and stays open.
#include "metrics/MetricsExporter.h"
#include "settings/SettingKeys.h"
#include "tests/common/TestSupport.h"
#include "ui/DialogPrompt.h"
#include "ui/MetricsSettingsDlg.h"

#include <QDir>
#include <QHostAddress>
#include <QLineEdit>
#include <QTcpServer>
#include <QValidator>

#include <gtest/gtest.h>

namespace {

struct TellingPrompt : IDialogPrompt {
    void Tell(QWidget*, const QString& text) override { told << text; }
    bool Ask(QWidget*, const QString&) override { return false; }
    QStringList told;
};

quint16 FreePort() {
    QTcpServer probe;
    return probe.listen(QHostAddress(QHostAddress::LocalHost), 0) ? probe.serverPort() : 0;
}

TEST(MetricsDialogTest, OkChecksTheFileAndThePort) {
    QTcpServer taken;
    ASSERT_TRUE(taken.listen(QHostAddress(QHostAddress::LocalHost), 0));
    const QString dir = TestSupport::MakeTempDir(QStringLiteral("metrics-dialog"));
    const QString free = QString::number(FreePort());
    const QString ours = QString::number(taken.serverPort());
    const struct {
        const char* name;
        QString file;
        QString port;
        quint16 listening; // the endpoint's port now
        const char* told;  // empty: accepted
    } cases[] = {
        {"both off", "", "", 0, ""},
        {"file and port", dir + "/trellion.prom", free, 0, ""},
        {"the endpoint's own port", "", ours, taken.serverPort(), ""},
        {"missing folder", dir + "/none/trellion.prom", "", 0, "does not exist"},
        {"a folder", dir, "", 0, "is a folder"},
        {"port in use", "", ours, 0, "cannot be used"},
        {"port too big", "", "65536", 0, "from 1 to 65535"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Config::Write(Config::kMetricsFile, QStringLiteral("/before.prom"));
        Config::Write(Config::kMetricsPort, 1);
        TellingPrompt prompt;
        CMetricsSettingsDlg dialog(nullptr, c.listening, &prompt);
        EXPECT_EQ(dialog.FileEdit()->text(), "/before.prom");
        EXPECT_EQ(dialog.PortEdit()->text(), "1");
        dialog.FileEdit()->setText(c.file);
        dialog.PortEdit()->setText(c.port);
        dialog.accept();
        if (*c.told == '\0') {
            EXPECT_TRUE(prompt.told.isEmpty()) << prompt.told.join('\n').toStdString();
            EXPECT_EQ(dialog.result(), QDialog::Accepted);
            EXPECT_EQ(MetricsSettings::Load().file, c.file);
            EXPECT_EQ(MetricsSettings::Load().port, c.port.toInt());
        } else {
            ASSERT_EQ(prompt.told.size(), 1);
            EXPECT_TRUE(prompt.told[0].contains(c.told)) << prompt.told[0].toStdString();
            EXPECT_NE(dialog.result(), QDialog::Accepted);
            EXPECT_EQ(MetricsSettings::Load().file, "/before.prom") << "nothing written";
            EXPECT_EQ(MetricsSettings::Load().port, 1);
        }
    }
}

// The port field takes digits only, five at most.
TEST(MetricsDialogTest, PortTakesDigitsOnly) {
    CMetricsSettingsDlg dialog;
    const QValidator* digits = dialog.PortEdit()->validator();
    ASSERT_NE(digits, nullptr);
    for (const char* text : {"9464", "", "65535"}) {
        QString s = QString::fromLatin1(text);
        int pos = 0;
        EXPECT_EQ(digits->validate(s, pos), QValidator::Acceptable) << text;
    }
    for (const char* text : {"-1", "94a", "123456", " 1"}) {
        QString s = QString::fromLatin1(text);
        int pos = 0;
        EXPECT_EQ(digits->validate(s, pos), QValidator::Invalid) << text;
    }
}

} // namespace
