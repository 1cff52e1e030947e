#include "settings/EmailSettings.h"

#include "settings/SettingKeys.h"

namespace EmailSettingsStore {

EmailSettings Load() {
    EmailSettings email;
    email.senderName = Config::Read(Config::kSmtpName);
    email.userName = Config::Read(Config::kSmtpUsername);
    email.password = Config::Read(Config::kSmtpPassword);
    email.server = Config::Read(Config::kSmtpServer);
    email.authentication = Config::Read(Config::kSmtpAuth);
    email.security = Config::Read(Config::kSmtpSecurity);
    email.alertRecipient = Config::Read(Config::kSmtpAlert);
    email.returnAddress = Config::Read(Config::kSmtpEmail);
    email.recoveryRecipient = Config::Read(Config::kSmtpRecovery);
    return email;
}

void Save(const EmailSettings& settings, bool passwordInKeyring) {
    // The order the file has always been written in.
    Config::Write(Config::kSmtpName, settings.senderName);
    Config::Write(Config::kSmtpEmail, settings.returnAddress);
    Config::Write(Config::kSmtpUsername, settings.userName);
    Config::Write(Config::kSmtpPassword, passwordInKeyring ? QString() : settings.password);
    Config::Write(Config::kSmtpServer, settings.server);
    Config::Write(Config::kSmtpAuth, settings.authentication);
    Config::Write(Config::kSmtpSecurity, settings.security);
    Config::Write(Config::kSmtpAlert, settings.alertRecipient);
    Config::Write(Config::kSmtpRecovery, settings.recoveryRecipient);
}

EmailSettings ForSending(const EmailSettings& held) {
    EmailSettings send = held;
    send.server = Config::Read(Config::kSmtpServer);
    send.security = Config::Read(Config::kSmtpSecurity);
    send.authentication = Config::Read(Config::kSmtpAuth);
    send.userName = Config::Read(Config::kSmtpUsername);
    const QString stored = Config::Read(Config::kSmtpPassword);
    if (!stored.isEmpty())
        send.password = stored;
    return send;
}

} // namespace EmailSettingsStore
