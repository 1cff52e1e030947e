#pragma once

#include "log/LogWriter.h"

#include <QDialog>

class IDialogPrompt;
class QCheckBox;
class QFileDialog;
class QLineEdit;

// "Logs": each log switched on or off and given its file. OK takes the set only when every log
// switched on can be appended to now; otherwise it says which cannot and why, and stays open.
class CLogSettingsDlg : public QDialog {
    Q_OBJECT
public:
    enum class Log { Access, Error };

    // prompt: where the refusal on OK is shown (null: the program's message box).
    explicit CLogSettingsDlg(const LogSettings& settings, QWidget* parent = nullptr,
                             IDialogPrompt* prompt = nullptr);

    // The accepted values; equal to the constructor's until the dialog ends with OK.
    const LogSettings& Settings() const { return m_settings; }

    // The save-type file dialog behind a Browse button, not yet shown (owned by this dialog).
    QFileDialog* MakeBrowseDialog(Log log);

    QCheckBox* AccessLogBox() const { return m_doAccess; }
    QCheckBox* ErrorLogBox() const { return m_doError; }
    QLineEdit* AccessPathEdit() const { return m_accessPath; }
    QLineEdit* ErrorPathEdit() const { return m_errorPath; }

public slots:
    void accept() override;
    void Browse(CLogSettingsDlg::Log log);

private:
    IDialogPrompt* m_prompt;
    LogSettings m_settings;
    QCheckBox* m_doAccess = nullptr;
    QCheckBox* m_doError = nullptr;
    QLineEdit* m_accessPath = nullptr;
    QLineEdit* m_errorPath = nullptr;
};
