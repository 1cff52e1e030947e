// "Logs": Browse takes a file without asking to replace it; the command hands the four values to
// the writer as one set and stores them.
#include "ui/LogSettingsDlg.h"
#include "log/LogWriter.h"
#include "settings/SettingsStore.h"
#include "tests/ui/dialogs/DialogTestSupport.h"
#include "ui/DialogCommands.h"

#include <QCheckBox>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>

#include <gtest/gtest.h>

using namespace DialogTest;

namespace {

QByteArray ReadAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

TEST(LogSettingsTest, BrowseAsksNothingOkStoresTheSetAndUntickingStopsLinesAtOnce) {
    ResetSettingsStore();
    const QString dir = TestSupport::MakeTempDir("logsettings");
    const LogSettings initial{dir + "/access.log", dir + "/error.log"};
    LogWriter writer(nullptr);
    writer.SetSettings(initial);
    const QByteArray kept = "<12/06/2003 14:05:09> old line\r\n";
    QFile file(dir + "/kept.log");
    ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write(kept) == kept.size());
    file.close();
    for (bool ok : {false, true}) {
        WhenModal<CLogSettingsDlg>([&](CLogSettingsDlg* d) {
            for (const QString& name : {dir + "/kept.log", dir + "/fresh"}) {
                // As a user does: type the name into the dialog's field and press Save.
                WhenModal<QFileDialog>([&](QFileDialog* browse) {
                    browse->findChild<QLineEdit*>("fileNameEdit")->setText(name);
                    static_cast<QDialog*>(browse)->accept();
                    if (browse->isVisible()) { // a question stopped it
                        ADD_FAILURE() << "asked about " << name.toStdString();
                        QApplication::activeModalWidget()->close();
                        browse->reject();
                    }
                });
                d->Browse(name.endsWith("fresh") ? CLogSettingsDlg::Log::Error
                                                 : CLogSettingsDlg::Log::Access);
            }
            EXPECT_EQ(d->AccessPathEdit()->text() + " " + d->ErrorPathEdit()->text(),
                      dir + "/kept.log " + dir + "/fresh.log");
            d->AccessLogBox()->setChecked(false);
            ok ? d->accept() : d->reject();
        });
        RunLogSettings(nullptr, writer);
        EXPECT_TRUE(ok || (writer.Settings() == initial &&
                           SettingsStore::ReadInt("Settings", "DoAccessLog", -1) == -1))
            << "cancel, even after Browse, changes nothing";
    }
    EXPECT_FALSE(QFile::exists(dir + "/fresh.log") || QFile::exists(dir + "/fresh"));
    EXPECT_EQ(SettingsStore::ReadInt("Settings", "DoAccessLog", -1), 0);
    EXPECT_EQ(SettingsStore::ReadString("Settings", "ErrorLogFile", "<unset>"), dir + "/fresh.log");
    writer.WriteLogLine("after", dir + "/kept.log", false);
    writer.WriteLogLine("failure", dir + "/fresh.log", false);
    EXPECT_EQ(ReadAll(dir + "/kept.log"), kept) << "left as it was, and no line after unticking";
    EXPECT_TRUE(ReadAll(dir + "/fresh.log").endsWith("> failure\r\n"));
}

} // namespace
