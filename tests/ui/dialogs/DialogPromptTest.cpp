// The program's own boxes: captioned "Trellion", one OK button for a notice, Yes and No for a
// question.
#include "ui/DialogPrompt.h"
#include "tests/ui/dialogs/DialogTestSupport.h"

#include <QAbstractButton>
#include <QMessageBox>

#include <gtest/gtest.h>

using namespace DialogTest;

namespace {

TEST(DialogPrompt, QuestionIsAYesNoBoxCaptionedTrellion) {
    QString title, text;
    QMessageBox::StandardButtons buttons;
    WhenModal<QMessageBox>([&](QMessageBox* box) {
        title = box->windowTitle();
        text = box->text();
        buttons = box->standardButtons();
        box->button(QMessageBox::No)->click();
    });
    EXPECT_FALSE(DefaultDialogPrompt().Ask(nullptr, "Proceed?"));
    EXPECT_EQ(title, "Trellion");
    EXPECT_EQ(text, "Proceed?");
    EXPECT_EQ(buttons, QMessageBox::Yes | QMessageBox::No);

    WhenModal<QMessageBox>([&](QMessageBox* box) { box->button(QMessageBox::Yes)->click(); });
    EXPECT_TRUE(DefaultDialogPrompt().Ask(nullptr, "Proceed?"));
}

TEST(DialogPrompt, NoticeHasOneOkButton) {
    QString title, text;
    QMessageBox::StandardButtons buttons;
    WhenModal<QMessageBox>([&](QMessageBox* box) {
        title = box->windowTitle();
        text = box->text();
        buttons = box->standardButtons();
        box->button(QMessageBox::Ok)->click();
    });
    DefaultDialogPrompt().Tell(nullptr, "Failed Alert Recipient test");
    EXPECT_EQ(title, "Trellion");
    EXPECT_EQ(text, "Failed Alert Recipient test");
    EXPECT_EQ(buttons, QMessageBox::Ok);
}

} // namespace
