// The logon start entry, the log folder of an installed program and the built-in help.
#include "tests/ui/window/WindowTestSupport.h"

#include "ui/HelpWindow.h"
#include "ui/LogonStart.h"
#include "ui/NoticeBox.h"

#include <QAction>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QMessageBox>
#include <QRegularExpression>
#include <QTextBrowser>

#include <gtest/gtest.h>

using namespace WindowTest;

namespace {

QString ExecLine() {
    QFile f(LogonStart::EntryPath());
    const QRegularExpression exec(QStringLiteral("^Exec=(.*)$"),
                                  QRegularExpression::MultilineOption);
    return f.open(QIODevice::ReadOnly) ? exec.match(QString::fromUtf8(f.readAll())).captured(1)
                                       : "";
}

TEST(HelpAndLogonTest, LogonEntryNamesTheInstalledProgramEscapedAndItsFailureIsReported) {
    ClearSettings();
    SetUpEmail();
    auto w = MakeWindow();
    w->SetProgramDirectory(QStringLiteral(TRELLION_INSTALL_BINDIR));
    ASSERT_TRUE(w->OnInitDialog());
    // "Auto" is 1 by default: the entry names the program; logs never go beside it (root).
    EXPECT_EQ(ExecLine().toStdString(), TRELLION_INSTALL_BINDIR "/window_test");
    EXPECT_EQ(w->AccessLogPath().toStdString(),
              qgetenv("XDG_STATE_HOME").toStdString() + "/Trellion/access.log");
    w->OnCommand(CMonitorDlg::ID_AUTO_START);
    EXPECT_FALSE(QFile::exists(LogonStart::EntryPath()));
    EXPECT_TRUE(LogonStart::Apply(false, w->ProgramPath(), w->Notice())) << "none is no failure";
    // A file where the autostart folder should be: nothing can be written under it.
    const QString folder = QFileInfo(LogonStart::EntryPath()).absolutePath();
    ASSERT_TRUE(QDir(folder).removeRecursively());
    QFile blocker(folder);
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    w->OnCommand(CMonitorDlg::ID_AUTO_START);
    const auto notices = [&] { return w->findChildren<QMessageBox*>(CNoticeBox::kObjectName); };
    ASSERT_TRUE(WaitFor([&] { return !notices().isEmpty(); }));
    WaitFor([] { return false; }, 100);
    ASSERT_EQ(notices().size(), 1) << "the removals said nothing";
    EXPECT_EQ(notices()[0]->text(), QStringLiteral("Could not register Trellion."));
    EXPECT_TRUE(w->Action(CMonitorDlg::ID_AUTO_START)->isChecked()) << "the wish stays";
    EXPECT_EQ(ReadInt(QStringLiteral("Auto"), -1), 1);
    ASSERT_TRUE(blocker.remove());
    const char* cases[][2] = {
        {"/usr/bin/trellion", "/usr/bin/trellion"},
        {"/opt/My Tools/trellion", "\"/opt/My Tools/trellion\""}, // a blank splits arguments
        {"/opt/100%ok/trellion", "/opt/100%%ok/trellion"},        // '%' starts a field code
        {"/opt/a$b/trellion", "\"/opt/a\\\\$b/trellion\""},       // escaped twice: quote, file
        {"/opt/a\nX-Injected=1/trellion", "\"/opt/a\\nX-Injected=1/trellion\""}, // a new key
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(LogonStart::Apply(true, QString::fromUtf8(c[0]), nullptr));
        EXPECT_EQ(ExecLine().toStdString(), c[1]) << c[0];
    }
}

TEST(HelpAndLogonTest, BuiltInHelpOpensOneWindowAtTheAskedTopicOrTheFirst) {
    auto w = MakeWindow();
    w->OnCommand(CMonitorDlg::ID_HELP_CONTENTS);
    CHelpWindow* help = CHelpWindow::Current();
    ASSERT_TRUE(help && help->isVisible());
    EXPECT_EQ(help->CurrentTopic(), QStringLiteral("ctx-131174"));
    EXPECT_TRUE(help->Browser()->toPlainText().contains(QStringLiteral("The main window")));
    EXPECT_EQ(CHelpWindow::Show(CHelpWindow::DefaultHelpFile(), 4242, CHelpWindow::kHelpContext),
              help);
    EXPECT_EQ(help->CurrentTopic(), QString()) << "an unknown context opens the first topic";
    help->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(CHelpWindow::Current(), nullptr) << "a closed help window is deleted";
}

} // namespace
