// "Logs": the file dialog behind Browse, the overwrite question that leaves files alone, and
// the command that hands the four values to the writer as one set and stores them.
#include "ui/LogSettingsDlg.h"
#include "log/LogWriter.h"
#include "settings/SettingsStore.h"
#include "tests/common/TestSupport.h"
#include "tests/ui/dialogs/DialogTestSupport.h"
#include "ui/DialogCommands.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>

#include <gtest/gtest.h>

using namespace DialogTest;

namespace {

QByteArray ReadAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// What a user does: type the name into the dialog's own field and press Save. (selectFile
// leaves the field alone while it has the focus, so it cannot stand in for typing.)
void Choose(QFileDialog* browse, const QString& path) {
    auto* name = browse->findChild<QLineEdit*>("fileNameEdit");
    ASSERT_NE(name, nullptr);
    name->setText(path);
    static_cast<QDialog*>(browse)->accept(); // public in the base
    if (browse->isVisible()) {
        ADD_FAILURE() << "the file dialog did not take " << path.toStdString();
        browse->reject();
    }
}

class LogSettingsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetSettingsStore();
        m_dir = TestSupport::MakeTempDir("logsettings");
        m_initial.accessLogPath = m_dir + "/access.log";
        m_initial.errorLogPath = m_dir + "/error.log";
        m_writer.SetSettings(m_initial);
    }

    QString m_dir;
    LogSettings m_initial;
    LogWriter m_writer{nullptr};
};

TEST_F(LogSettingsTest, ShowsTheSettingsItWasGiven) {
    m_initial.doErrorLog = false;
    CLogSettingsDlg dialog(m_initial);
    EXPECT_EQ(dialog.windowTitle(), "Logs");
    EXPECT_EQ(dialog.AccessLogBox()->text(), "Log all transactions");
    EXPECT_EQ(dialog.ErrorLogBox()->text(), "Log errors");
    EXPECT_TRUE(dialog.AccessLogBox()->isChecked());
    EXPECT_FALSE(dialog.ErrorLogBox()->isChecked());
    EXPECT_EQ(dialog.AccessPathEdit()->text(), m_initial.accessLogPath);
    EXPECT_EQ(dialog.ErrorPathEdit()->text(), m_initial.errorLogPath);
}

TEST_F(LogSettingsTest, BrowseIsASaveDialogWithLogFiltersAndOverwriteQuestion) {
    CLogSettingsDlg dialog(m_initial);
    for (const auto& [log, first] :
         {std::pair{CLogSettingsDlg::Log::Access, QStringLiteral("Access Log Files (*.log)")},
          std::pair{CLogSettingsDlg::Log::Error, QStringLiteral("Error Log Files (*.log)")}}) {
        QFileDialog* browse = dialog.MakeBrowseDialog(log);
        EXPECT_EQ(browse->acceptMode(), QFileDialog::AcceptSave);
        EXPECT_EQ(browse->fileMode(), QFileDialog::AnyFile);
        EXPECT_EQ(browse->defaultSuffix(), "log");
        EXPECT_EQ(browse->nameFilters(), (QStringList{first, "All Files (*)"}));
        EXPECT_FALSE(browse->testOption(QFileDialog::DontConfirmOverwrite));
        EXPECT_FALSE(browse->testOption(QFileDialog::ReadOnly));
        if (auto* name = browse->findChild<QLineEdit*>("fileNameEdit")) {
            EXPECT_EQ(name->text(), ""); // no initial file name
        }
        delete browse;
    }
}

TEST_F(LogSettingsTest, ChoosingAnExistingFileAsksButLeavesItUntouched) {
    const QString existing = m_dir + "/kept.log";
    {
        QFile file(existing);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("<12/06/2003 14:05:09> old line\r\n");
    }
    const QDateTime modified = QFileInfo(existing).lastModified();
    CLogSettingsDlg dialog(m_initial);
    QString question;
    WhenModal<QFileDialog>([&](QFileDialog* browse) {
        WhenModal<QMessageBox>([&](QMessageBox* box) {
            question = box->text();
            box->button(QMessageBox::Yes)->click();
        });
        Choose(browse, existing);
    });
    dialog.findChild<QPushButton*>("browseAccess")->click();

    EXPECT_TRUE(question.contains("already exists")) << question.toStdString();
    EXPECT_EQ(dialog.AccessPathEdit()->text(), existing);
    EXPECT_EQ(dialog.ErrorPathEdit()->text(), m_initial.errorLogPath);
    EXPECT_EQ(ReadAll(existing), "<12/06/2003 14:05:09> old line\r\n");
    EXPECT_EQ(QFileInfo(existing).lastModified(), modified);
}

TEST_F(LogSettingsTest, ANewNameGetsTheLogSuffixAndNoFileIsCreated) {
    CLogSettingsDlg dialog(m_initial);
    WhenModal<QFileDialog>([&](QFileDialog* browse) { Choose(browse, m_dir + "/fresh"); });
    dialog.findChild<QPushButton*>("browseError")->click();
    EXPECT_EQ(dialog.ErrorPathEdit()->text(), m_dir + "/fresh.log");
    EXPECT_FALSE(QFileInfo::exists(m_dir + "/fresh.log"));
    EXPECT_FALSE(QFileInfo::exists(m_dir + "/fresh"));
}

TEST_F(LogSettingsTest, CancelAfterBrowseChangesNeitherWriterNorStore) {
    WhenModal<CLogSettingsDlg>([&](CLogSettingsDlg* dialog) {
        WhenModal<QFileDialog>([&](QFileDialog* browse) { Choose(browse, m_dir + "/other.log"); });
        dialog->Browse(CLogSettingsDlg::Log::Access);
        dialog->ErrorLogBox()->setChecked(false);
        EXPECT_EQ(dialog->AccessPathEdit()->text(), m_dir + "/other.log");
        dialog->reject();
    });
    RunLogSettings(nullptr, m_writer);
    EXPECT_EQ(m_writer.Settings(), m_initial);
    EXPECT_EQ(SettingsStore::ReadInt("Settings", "DoErrorLog", -1), -1);
    EXPECT_EQ(SettingsStore::ReadString("Settings", "AccessLogFile", "<unset>"), "<unset>");
}

TEST_F(LogSettingsTest, OkHandsTheSetToTheWriterAndStoresItAsIs) {
    WhenModal<CLogSettingsDlg>([&](CLogSettingsDlg* dialog) {
        dialog->AccessLogBox()->setChecked(false);
        // Nothing is checked: an emptied path is stored empty.
        dialog->ErrorPathEdit()->setText("");
        dialog->accept();
    });
    RunLogSettings(nullptr, m_writer);
    const LogSettings now = m_writer.Settings();
    EXPECT_FALSE(now.doAccessLog);
    EXPECT_TRUE(now.doErrorLog);
    EXPECT_EQ(now.accessLogPath, m_initial.accessLogPath);
    EXPECT_EQ(now.errorLogPath, "");
    EXPECT_EQ(SettingsStore::ReadInt("Settings", "DoAccessLog", -1), 0);
    EXPECT_EQ(SettingsStore::ReadInt("Settings", "DoErrorLog", -1), 1);
    EXPECT_EQ(SettingsStore::ReadString("Settings", "AccessLogFile", "<unset>"),
              m_initial.accessLogPath);
    EXPECT_EQ(SettingsStore::ReadString("Settings", "ErrorLogFile", "<unset>"), "");
}

TEST_F(LogSettingsTest, UntickingTheAccessLogStopsItsLinesAtOnce) {
    m_writer.WriteLogLine("before", m_initial.accessLogPath, false);
    WhenModal<CLogSettingsDlg>([](CLogSettingsDlg* dialog) {
        dialog->AccessLogBox()->setChecked(false);
        dialog->accept();
    });
    RunLogSettings(nullptr, m_writer);
    m_writer.WriteLogLine("after", m_initial.accessLogPath, false);
    m_writer.WriteLogLine("failure", m_initial.errorLogPath, false);

    const QByteArray access = ReadAll(m_initial.accessLogPath);
    EXPECT_TRUE(access.contains("> before\r\n"));
    EXPECT_FALSE(access.contains("after"));
    EXPECT_TRUE(ReadAll(m_initial.errorLogPath).contains("> failure\r\n"));
    EXPECT_TRUE(m_writer.MissedEntries().isEmpty());
}

} // namespace
