#pragma once

#include "settings/EmailSettings.h"

#include <QDialog>

class IDialogPrompt;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;

// "Email Setup": where notices go and which server they leave through. The alert recipient is
// copied into the recovery recipient and the return address until the user has made those two
// fields their own; the connection security follows the port typed into the server field until
// the user picks one.
class CEmailSetupDlg : public QDialog {
    Q_OBJECT
public:
    CEmailSetupDlg(const EmailSettings& settings, IDialogPrompt& prompt, QWidget* parent = nullptr);

    // The accepted values; equal to the constructor's until the dialog ends with OK.
    const EmailSettings& Settings() const { return m_settings; }

    bool RecoveryEdited() const { return m_recoveryEdited; }
    bool ReturnEdited() const { return m_returnEdited; }

    QLineEdit* AlertEdit() const { return m_alert; }
    QLineEdit* RecoveryEdit() const { return m_recovery; }
    QLineEdit* SenderNameEdit() const { return m_senderName; }
    QLineEdit* ReturnEdit() const { return m_return; }
    QLineEdit* ServerEdit() const { return m_server; }
    QLineEdit* UserNameEdit() const { return m_userName; }
    QLineEdit* PasswordEdit() const { return m_password; }
    QCheckBox* AuthenticationBox() const { return m_authentication; }
    QComboBox* SecurityBox() const { return m_security; }
    QLabel* UserNameLabel() const { return m_userNameLabel; }
    QLabel* PasswordLabel() const { return m_passwordLabel; }

public slots:
    void accept() override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void EnableAuthenticationFields(bool enable);
    void OnAlertChanged(const QString& text);
    void OnServerEdited(const QString& text);
    // Trims the field in place; false (with focus and the notice) when nothing is left.
    bool CheckField(QLineEdit* edit, const QString& whenEmpty);
    // Every address in the field has the form local@domain (one address unless `list`); false
    // (with focus and the notice naming the first that has not) otherwise.
    bool CheckAddresses(QLineEdit* edit, const QString& whenEmpty, const QString& fieldName,
                        bool list);
    void Refuse(QLineEdit* edit, const QString& text);
    // The server field names a host without blanks and, if any, a port from 1 to 65535.
    bool CheckServer();

    IDialogPrompt& m_prompt;
    EmailSettings m_settings;
    bool m_recoveryEdited = false;
    bool m_returnEdited = false;
    bool m_securityChosen = false;

    QLineEdit* m_alert = nullptr;
    QLineEdit* m_recovery = nullptr;
    QLineEdit* m_senderName = nullptr;
    QLineEdit* m_return = nullptr;
    QLineEdit* m_server = nullptr;
    QLineEdit* m_userName = nullptr;
    QLineEdit* m_password = nullptr;
    QCheckBox* m_authentication = nullptr;
    QComboBox* m_security = nullptr;
    QLabel* m_userNameLabel = nullptr;
    QLabel* m_passwordLabel = nullptr;
};
