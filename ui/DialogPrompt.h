#pragma once

#include <QString>

class QWidget;

// The modal boxes of the settings and log dialogs: one OK button for a notice or a warning, Yes
// and No for a question, always captioned "Trellion". Dialogs take it by reference so that tests
// can answer.
class IDialogPrompt {
public:
    virtual ~IDialogPrompt() = default;
    virtual void Tell(QWidget* parent, const QString& text) = 0;
    virtual bool Ask(QWidget* parent, const QString& text) = 0;
    // A notice that something failed (a warning icon, not an information one).
    virtual void Warn(QWidget* parent, const QString& text) { Tell(parent, text); }
};

// The QMessageBox implementation used by the program.
IDialogPrompt& DefaultDialogPrompt();
