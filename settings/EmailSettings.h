#pragma once

#include <QString>

// The e-mail settings: who mails what to whom through which server. Loaded and saved here
// alone; the SMTP client is handed them at every send.
struct EmailSettings {
    QString password;
    QString userName;
    QString senderName = QStringLiteral("Trellion");
    QString returnAddress;
    QString alertRecipient;
    QString recoveryRecipient;
    QString server; // "host" or "host:port"; empty: e-mail is not set up
    bool authentication = false;
    int security = 0; // "SMTPSecurity": 0 none, 1 STARTTLS, 2 TLS from the first byte
};

namespace EmailSettingsStore {

// Every field as the settings store holds it.
EmailSettings Load();

// Writes every field; the password is stored as empty when the keyring keeps it.
void Save(const EmailSettings& settings, bool passwordInKeyring);

// The settings to send with: sender and recipients as `held`, the server and its login as the
// store holds them now (so a hand edit counts at the next send). A password the store does not
// hold (it was moved to the keyring) is taken from `held`.
EmailSettings ForSending(const EmailSettings& held);

} // namespace EmailSettingsStore
