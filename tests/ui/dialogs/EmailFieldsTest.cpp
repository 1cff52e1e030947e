// "Email Setup" as a new user meets it: address fields that show a whole address, copies of the
// alert recipient that typing replaces, a server text that cannot work refused at OK; and the
// boxes of "Test Email Settings" against a real SMTP server, with their icons.
#include "mail/SmtpClient.h"
#include "settings/SettingsStore.h"
#include "tests/common/RecordingNotice.h"
#include "tests/common/SmtpSink.h"
#include "tests/common/TestSupport.h"
#include "ui/DialogCommands.h"
#include "ui/DialogPrompt.h"
#include "ui/EmailSetupDlg.h"

#include <QApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

namespace {

// Keeps the boxes' texts and where the focus was when each came.
struct FieldPrompt : IDialogPrompt {
    void Tell(QWidget*, const QString& text) override {
        texts << text;
        focus << QApplication::focusWidget();
    }
    bool Ask(QWidget* parent, const QString& text) override {
        Tell(parent, text);
        return false;
    }
    QStringList texts;
    QList<QWidget*> focus;
};

std::unique_ptr<CEmailSetupDlg> OpenDialog(const EmailSettings& settings, IDialogPrompt& prompt) {
    auto dialog = std::make_unique<CEmailSetupDlg>(settings, prompt);
    dialog->show();
    QApplication::setActiveWindow(dialog.get());
    if (!QTest::qWaitForWindowActive(dialog.get()))
        return nullptr;
    return dialog;
}

// Where the field draws its cursor, in its own coordinates.
int CursorX(QLineEdit* edit) {
    edit->grab(); // the field scrolls its text as it paints
    return edit->inputMethodQuery(Qt::ImCursorRectangle).toRect().center().x();
}

// The field shows the whole text: with the cursor moved from its start to its end the text did
// not scroll, so the cursor travelled the text's full width.
bool ShowsWhole(QLineEdit* edit) {
    edit->setCursorPosition(0);
    const int start = CursorX(edit);
    edit->setCursorPosition(static_cast<int>(edit->text().size()));
    const int end = CursorX(edit);
    return end - start >= edit->fontMetrics().horizontalAdvance(edit->text()) - 1;
}

TEST(EmailFieldsTest, AddressFieldsShowAFortyCharacterAddressWholeAtEveryFontSize) {
    // The application's font comes back whatever happens here.
    struct FontBack {
        QFont font = QApplication::font();
        ~FontBack() { QApplication::setFont(font); }
    } original;
    const QStringList addresses = {"oncall.database-teams@operations.example",
                                   "nightwatch.monitoring@mail.example.co.uk",
                                   "maximilian.mustermann@umwelt.example.com"};
    for (const int points : {9, 14, 20}) {
        QFont font = original.font;
        font.setPointSize(points);
        QApplication::setFont(font);
        FieldPrompt prompt;
        auto dialog = OpenDialog({}, prompt);
        ASSERT_TRUE(dialog);
        for (QLineEdit* edit :
             {dialog->AlertEdit(), dialog->RecoveryEdit(), dialog->ReturnEdit()}) {
            for (const QString& address : addresses) {
                ASSERT_EQ(address.size(), 40);
                edit->setText(address);
                EXPECT_TRUE(ShowsWhole(edit))
                    << points << " pt, " << edit->objectName().toStdString() << " " << edit->width()
                    << " px: " << address.toStdString();
            }
        }
    }
}

TEST(EmailFieldsTest, ACopiedAddressIsSelectedWhenItsFieldGetsTheFocusSoTypingReplacesIt) {
    FieldPrompt prompt;
    // Opened with: recovery, return; the user types into the alert field, clicks into the
    // middle of each field and types; what each then holds.
    struct Case {
        const char* what;
        QString storedRecovery, storedReturn;
        QString recoveryAfter, returnAfter;
    };
    const Case cases[] = {
        {"both copies", "", "", "pager@example.com", "pager@example.com"},
        {"the user's own addresses are edited where clicked", "team@example.org",
         "back@example.org", "team@exampager@example.comple.org",
         "back@exampager@example.comple.org"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EmailSettings settings;
        settings.recoveryRecipient = c.storedRecovery;
        settings.returnAddress = c.storedReturn;
        auto dialog = OpenDialog(settings, prompt);
        ASSERT_TRUE(dialog);
        dialog->AlertEdit()->setFocus(Qt::MouseFocusReason);
        QTest::keyClicks(dialog->AlertEdit(), "oncall@example.com");
        for (QLineEdit* edit : {dialog->RecoveryEdit(), dialog->ReturnEdit()}) {
            // Into the middle of the text, after its ninth character.
            edit->setCursorPosition(0);
            const int x =
                CursorX(edit) + edit->fontMetrics().horizontalAdvance(edit->text().left(9));
            QTest::mouseClick(edit, Qt::LeftButton, {}, QPoint(x, edit->height() / 2));
            ASSERT_TRUE(edit->hasFocus());
            QCoreApplication::processEvents();
            QTest::keyClicks(edit, "pager@example.com");
        }
        EXPECT_EQ(dialog->RecoveryEdit()->text().toStdString(), c.recoveryAfter.toStdString());
        EXPECT_EQ(dialog->ReturnEdit()->text().toStdString(), c.returnAfter.toStdString());
        // Once typed over, a field is the user's: a second click edits where it lands.
        QLineEdit* recovery = dialog->RecoveryEdit();
        dialog->AlertEdit()->setFocus(Qt::MouseFocusReason);
        QTest::mouseClick(recovery, Qt::LeftButton, {},
                          QPoint(recovery->width() - 4, recovery->height() / 2));
        QCoreApplication::processEvents();
        EXPECT_FALSE(recovery->hasSelectedText());
    }
}

TEST(EmailFieldsTest, OkRefusesABlankInTheHostAndAPortOutsideTheRangeWithTheFocusThere) {
    // Server text (trimmed at OK), the start of the box's text; empty: accepted.
    const std::pair<QString, QString> cases[] = {
        {"mail example.org", "The host name \"mail example.org\" contains a blank."},
        {"mail.example.org :25", "The host name \"mail.example.org \" contains a blank."},
        {"mail.example.org\t:25", "The host name \"mail.example.org\t\" contains a blank."},
        {"mail.example.org:0", "The port in \"mail.example.org:0\" is not a number from 1 to"},
        {"mail.example.org:65536", "The port in \"mail.example.org:65536\" is not a number"},
        {"mail.example.org:99999999999", "The port in \"mail.example.org:99999999999\""},
        {"mail.example.org:smtp", "The port in \"mail.example.org:smtp\" is not a number"},
        {":25", "\":25\" names no host."},
        {" mail.example.org:65535 ", ""},
        {"mail.example.org:1", ""},
        {"127.0.0.1", ""},
    };
    for (const auto& [server, refusal] : cases) {
        SCOPED_TRACE(server.toStdString());
        FieldPrompt prompt;
        EmailSettings settings;
        settings.alertRecipient = settings.recoveryRecipient = "ops@example.org";
        settings.returnAddress = "ops@example.org";
        auto dialog = OpenDialog(settings, prompt);
        ASSERT_TRUE(dialog);
        dialog->ServerEdit()->setText(server);
        dialog->AlertEdit()->setFocus();
        dialog->accept();
        if (refusal.isEmpty()) {
            EXPECT_TRUE(prompt.texts.isEmpty());
            EXPECT_EQ(dialog->result(), QDialog::Accepted);
            EXPECT_EQ(dialog->Settings().server, server.trimmed());
            continue;
        }
        ASSERT_EQ(prompt.texts.size(), 1);
        EXPECT_TRUE(prompt.texts[0].startsWith(refusal)) << prompt.texts[0].toStdString();
        EXPECT_EQ(prompt.focus[0], dialog->ServerEdit());
        EXPECT_TRUE(dialog->isVisible());
        EXPECT_EQ(dialog->ServerEdit()->text(), server.trimmed()) << "nothing lost";
        EXPECT_TRUE(dialog->Settings().server.isEmpty()) << "nothing accepted";
    }
}

// The message boxes the program's own prompt shows while `run` runs: icon and text of each,
// answered with OK.
QList<std::pair<QMessageBox::Icon, QString>> BoxesShownBy(const std::function<void()>& run) {
    QList<std::pair<QMessageBox::Icon, QString>> seen;
    QTimer poller;
    QObject::connect(&poller, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || !box->isVisible())
            return;
        seen.append({box->icon(), box->text()});
        box->accept();
    });
    poller.start(10);
    run();
    return seen;
}

TEST(EmailFieldsTest, AFailedTestShowsAWarningIconASuccessfulOneAnInformationIcon) {
    QFile::remove(SettingsStore::FilePath());
    RecordingNotice notice;
    SmtpClient smtp(&notice);
    EmailSettings settings;
    settings.alertRecipient = settings.recoveryRecipient = "oncall@example.org";
    settings.returnAddress = "trellion@example.org";
    const auto test = [&](const SmtpSink& server) {
        SettingsStore::WriteString(QStringLiteral("Settings"), QStringLiteral("SMTP"),
                                   QStringLiteral("127.0.0.1:%1").arg(server.Port()));
        return BoxesShownBy([&] { TestEmailSettings(nullptr, settings, smtp); });
    };

    SmtpSink accepting;
    ASSERT_TRUE(accepting.Start());
    const auto sent = test(accepting);
    ASSERT_EQ(sent.size(), 2);
    EXPECT_EQ(sent[0].first, QMessageBox::Information);
    EXPECT_EQ(sent[1].first, QMessageBox::Information);
    EXPECT_TRUE(sent[1].second.startsWith("Recovery Recipient tested successfully"));

    SmtpSink refusing;
    ASSERT_TRUE(refusing.Start(SmtpSink::Mode::RefuseRecipients));
    const auto failed = test(refusing);
    ASSERT_EQ(failed.size(), 1);
    EXPECT_EQ(failed[0].first, QMessageBox::Warning);
    EXPECT_TRUE(failed[0].second.startsWith("Failed Alert Recipient test"))
        << failed[0].second.toStdString();
}

} // namespace
