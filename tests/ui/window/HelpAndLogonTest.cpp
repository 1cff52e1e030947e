// The logon start entry, the product page and the help window.
#include "tests/ui/window/WindowTestSupport.h"

#include "app/ProductInfo.h"
#include "tests/common/TestSupport.h"
#include "ui/HelpWindow.h"
#include "ui/LogonStart.h"
#include "ui/NoticeBox.h"

#include <QAction>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>
#include <QRegularExpression>
#include <QSettings>
#include <QTextBrowser>
#include <QUrl>

#include <gtest/gtest.h>

using namespace WindowTest;

namespace {

class HelpAndLogonTest : public ::testing::Test {
protected:
    void SetUp() override {
        ClearSettings();
        SetUpEmail();
        const QString autostart = QFileInfo(LogonStart::EntryPath()).absolutePath();
        QFile::remove(autostart); // a plain file left by the unwritable case
        QDir(autostart).removeRecursively();
    }
    static QString ExecLine() {
        QFile f(LogonStart::EntryPath());
        if (!f.open(QIODevice::ReadOnly))
            return QStringLiteral("<no entry>");
        for (const QByteArray& line : f.readAll().split('\n')) {
            if (line.startsWith("Exec="))
                return QString::fromUtf8(line.mid(5));
        }
        return QStringLiteral("<no Exec>");
    }
    static int NoticeCount(QWidget* w) {
        return w->findChildren<QMessageBox*>(QLatin1String(CNoticeBox::kObjectName)).size();
    }
};

TEST_F(HelpAndLogonTest, AutoStartTwiceReturnsEntryCheckAndKey) {
    const QString programDir = TestSupport::MakeTempDir(QStringLiteral("bin"));
    auto w = MakeWindow();
    w->SetProgramDirectory(programDir);
    ASSERT_TRUE(w->OnInitDialog());
    // "Auto" defaults to 1: the first start registers the program, naming its own path.
    ASSERT_TRUE(QFile::exists(LogonStart::EntryPath()));
    EXPECT_EQ(ExecLine(), w->ProgramPath());
    EXPECT_TRUE(w->ProgramPath().startsWith(programDir + u'/'));
    QSettings entry(LogonStart::EntryPath(), QSettings::IniFormat);
    EXPECT_EQ(entry.value("Desktop Entry/Name").toString(), QStringLiteral("Trellion"));
    EXPECT_EQ(entry.value("Desktop Entry/Type").toString(), QStringLiteral("Application"));

    w->OnCommand(CMonitorDlg::ID_AUTO_START);
    EXPECT_FALSE(QFile::exists(LogonStart::EntryPath()));
    EXPECT_FALSE(w->Action(CMonitorDlg::ID_AUTO_START)->isChecked());
    EXPECT_EQ(ReadInt(QStringLiteral("Auto"), -1), 0);

    w->OnCommand(CMonitorDlg::ID_AUTO_START);
    EXPECT_TRUE(QFile::exists(LogonStart::EntryPath()));
    EXPECT_EQ(ExecLine(), w->ProgramPath());
    EXPECT_TRUE(w->Action(CMonitorDlg::ID_AUTO_START)->isChecked());
    EXPECT_EQ(ReadInt(QStringLiteral("Auto"), -1), 1);
    WaitFor([] { return false; }, 100);
    EXPECT_EQ(NoticeCount(w.get()), 0);
}

TEST_F(HelpAndLogonTest, RemovingAMissingEntrySaysNothing) {
    WriteInt(QStringLiteral("Auto"), 0);
    auto w = MakeWindow();
    ASSERT_TRUE(w->OnInitDialog());
    EXPECT_FALSE(QFile::exists(LogonStart::EntryPath()));
    EXPECT_TRUE(LogonStart::Apply(false, w->ProgramPath(), w->Notice()));
    WaitFor([] { return false; }, 100);
    EXPECT_EQ(NoticeCount(w.get()), 0);
}

TEST_F(HelpAndLogonTest, UnwritableEntryIsReportedAndTheFlagStays) {
    WriteInt(QStringLiteral("Auto"), 0);
    auto w = MakeWindow();
    ASSERT_TRUE(w->OnInitDialog());
    // A file where the autostart folder should be: nothing can be written under it.
    const QString autostart = QFileInfo(LogonStart::EntryPath()).absolutePath();
    QDir().mkpath(QFileInfo(autostart).absolutePath());
    {
        QFile blocker(autostart);
        ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    }
    w->OnCommand(CMonitorDlg::ID_AUTO_START);
    QMessageBox* box = nullptr;
    ASSERT_TRUE(WaitFor([&] {
        const auto boxes = w->findChildren<QMessageBox*>(QLatin1String(CNoticeBox::kObjectName));
        box = boxes.value(0);
        return box != nullptr;
    }));
    EXPECT_EQ(box->text(), QStringLiteral("Could not register Trellion."));
    EXPECT_EQ(box->windowTitle(), QStringLiteral("Trellion"));
    EXPECT_TRUE(w->AutoStartFlag());
    EXPECT_TRUE(w->Action(CMonitorDlg::ID_AUTO_START)->isChecked());
    EXPECT_EQ(ReadInt(QStringLiteral("Auto"), -1), 1);
    QFile::remove(autostart);
}

TEST_F(HelpAndLogonTest, ExecLineQuotesAPathWithBlanks) {
    ASSERT_TRUE(LogonStart::Apply(true, QStringLiteral("/opt/My Tools/trellion"), nullptr));
    EXPECT_EQ(ExecLine(), QStringLiteral("\"/opt/My Tools/trellion\""));
}

TEST_F(HelpAndLogonTest, ExecLineKeepsPercentAndNewlineLiteral) {
    // '%' starts a field code in Exec, and a raw line break would end the entry's line and
    // start a key of its own.
    ASSERT_TRUE(LogonStart::Apply(true, QStringLiteral("/opt/100%ok/trellion"), nullptr));
    EXPECT_EQ(ExecLine(), QStringLiteral("/opt/100%%ok/trellion"));

    ASSERT_TRUE(LogonStart::Apply(true, QStringLiteral("/opt/a\nX-Injected=1/trellion"), nullptr));
    QSettings entry(LogonStart::EntryPath(), QSettings::IniFormat);
    EXPECT_FALSE(entry.contains(QStringLiteral("Desktop Entry/X-Injected")));
    EXPECT_EQ(ExecLine(), QStringLiteral("\"/opt/a\\nX-Injected=1/trellion\""));
}

class UrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> urls;
public slots:
    void open(const QUrl& url) { urls << url; }
};

TEST_F(HelpAndLogonTest, OnTheWebOpensTheProductPage) {
    UrlCatcher catcher;
    QDesktopServices::setUrlHandler(QStringLiteral("https"), &catcher, "open");
    auto w = MakeWindow();
    w->Action(CMonitorDlg::ID_ON_THE_WEB)->trigger();
    QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
    ASSERT_EQ(catcher.urls.size(), 1);
    EXPECT_EQ(catcher.urls[0], QUrl(QLatin1String(ProductInfo::kProductPageUrl)));
}

TEST_F(HelpAndLogonTest, ContentsOpensTheMainWindowTopic) {
    auto w = MakeWindow();
    std::pair<quint32, int> asked{0, 0};
    w->SetHelpHook([&](quint32 data, int command) { asked = {data, command}; });
    w->OnCommand(CMonitorDlg::ID_HELP_CONTENTS);
    EXPECT_EQ(asked, (std::pair<quint32, int>{131174u, CHelpWindow::kHelpContext}));

    w->SetHelpHook(nullptr);
    w->OnCommand(CMonitorDlg::ID_HELP_CONTENTS);
    CHelpWindow* help = CHelpWindow::Current();
    ASSERT_NE(help, nullptr);
    EXPECT_TRUE(help->isVisible());
    EXPECT_EQ(help->CurrentTopic(), QStringLiteral("ctx-131174"));
    EXPECT_TRUE(help->Browser()->toPlainText().contains(QStringLiteral("The main window")));
    help->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(CHelpWindow::Current(), nullptr) << "a closed help window is deleted";
}

TEST_F(HelpAndLogonTest, UnknownContextAndFinderOpenTheFirstTopic) {
    const QString file = CHelpWindow::DefaultHelpFile();
    CHelpWindow* help = CHelpWindow::Show(file, 4242, CHelpWindow::kHelpContext);
    ASSERT_NE(help, nullptr);
    EXPECT_EQ(help->CurrentTopic(), QString());
    EXPECT_EQ(CHelpWindow::Show(file, 131174, CHelpWindow::kHelpContext), help) << "one window";
    EXPECT_EQ(help->CurrentTopic(), QStringLiteral("ctx-131174"));
    EXPECT_EQ(CHelpWindow::Show(file, 131174, CHelpWindow::kHelpFinder), help);
    EXPECT_EQ(help->CurrentTopic(), QString());
    help->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(CHelpWindow::Current(), nullptr) << "a closed help window is deleted";
}

TEST_F(HelpAndLogonTest, MissingHelpFileShowsNothing) {
    if (CHelpWindow* open = CHelpWindow::Current())
        delete open;
    EXPECT_EQ(CHelpWindow::Show(QStringLiteral("/nonexistent/trellion.html"), 131174,
                                CHelpWindow::kHelpContext),
              nullptr);
    EXPECT_EQ(CHelpWindow::Current(), nullptr);
}

TEST_F(HelpAndLogonTest, EveryHelpLinkHasItsTopicAndEveryMenuIsExplained) {
    QFile f(CHelpWindow::DefaultHelpFile());
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QString html = QString::fromUtf8(f.readAll());
    const QRegularExpression link(QStringLiteral("href=\"#([^\"]+)\""));
    int links = 0;
    for (auto it = link.globalMatch(html); it.hasNext();) {
        const QString anchor = it.next().captured(1);
        EXPECT_TRUE(html.contains(QStringLiteral("name=\"%1\"").arg(anchor)))
            << anchor.toStdString();
        ++links;
    }
    EXPECT_GE(links, 8);
    auto w = MakeWindow();
    for (const char* item :
         {"Show Details", "Compact Mode", "Start Hidden", "Start at Login", "Always on Top",
          "Email settings", "Test Email Settings", "Log settings", "Select Database", "Poll", "Del",
          "Last access", "Best access", "Worst access", "Last alert", "Last recovery",
          "Warning over", "Polling interval"})
        EXPECT_TRUE(html.contains(QLatin1String(item))) << item;
}

} // namespace

#include "HelpAndLogonTest.moc"
