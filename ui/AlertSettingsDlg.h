#pragma once

#include <QDialog>

#include <array>

class IDialogPrompt;
class QLineEdit;

// "Alert Settings": how many failed polls make an outage and the pause before each confirming
// poll, reminders during an outage and the period of warning mails. Digits only; OK checks each
// value against its range, says which is wrong and stays open, or stores all four.
class CAlertSettingsDlg : public QDialog {
    Q_OBJECT
public:
    // Shows the stored values; prompt: where a refusal is shown (null: the message box).
    explicit CAlertSettingsDlg(QWidget* parent = nullptr, IDialogPrompt* prompt = nullptr);

    // In the order "ConfirmPolls", "ConfirmSeconds", "RemindMinutes", "SlowMailMinutes".
    QLineEdit* Box(int index) const { return m_boxes[index]; }

public slots:
    void accept() override;

private:
    IDialogPrompt* m_prompt;
    std::array<QLineEdit*, 4> m_boxes{};
};
