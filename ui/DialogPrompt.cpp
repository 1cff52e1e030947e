#include "ui/DialogPrompt.h"

#include <QMessageBox>

namespace {

const QString kCaption = QStringLiteral("Trellion");

class MessageBoxPrompt : public IDialogPrompt {
public:
    void Tell(QWidget* parent, const QString& text) override {
        QMessageBox::information(parent, kCaption, text, QMessageBox::Ok);
    }
    void Warn(QWidget* parent, const QString& text) override {
        QMessageBox::warning(parent, kCaption, text, QMessageBox::Ok);
    }
    bool Ask(QWidget* parent, const QString& text) override {
        return QMessageBox::question(parent, kCaption, text, QMessageBox::Yes | QMessageBox::No,
                                     QMessageBox::Yes) == QMessageBox::Yes;
    }
};

} // namespace

IDialogPrompt& DefaultDialogPrompt() {
    static MessageBoxPrompt prompt;
    return prompt;
}
