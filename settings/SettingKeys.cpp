#include "settings/SettingKeys.h"

#include "settings/SettingsStore.h"

namespace Config {

namespace {

const QString& Section() {
    static const QString section = QString::fromLatin1(SettingsStore::kSettings);
    return section;
}

KeyInfo Row(const IntKey& key) {
    return {key.name, Type::Int, QString::number(key.defaultValue), false};
}
KeyInfo Row(const FlagKey& key) {
    return {key.name, Type::Flag, key.defaultValue ? QStringLiteral("1") : QStringLiteral("0"),
            false};
}
KeyInfo Row(const TextKey& key) {
    return {key.name, Type::Text, QString::fromUtf8(key.defaultValue), key.defaultValue == nullptr};
}

} // namespace

int Read(const IntKey& key) {
    return Read(key, key.defaultValue);
}

int Read(const IntKey& key, int defaultValue) {
    return SettingsStore::ReadInt(Section(), QLatin1String(key.name), defaultValue);
}

bool Read(const FlagKey& key) {
    return SettingsStore::ReadInt(Section(), QLatin1String(key.name), key.defaultValue ? 1 : 0) !=
           0;
}

QString Read(const TextKey& key) {
    return Read(key, QString::fromUtf8(key.defaultValue));
}

QString Read(const TextKey& key, const QString& defaultValue) {
    return SettingsStore::ReadString(Section(), QLatin1String(key.name), defaultValue);
}

bool Write(const IntKey& key, int value) {
    return SettingsStore::WriteInt(Section(), QLatin1String(key.name), value);
}

bool Write(const FlagKey& key, bool on) {
    return SettingsStore::WriteInt(Section(), QLatin1String(key.name), on ? 1 : 0);
}

bool Write(const TextKey& key, const QString& value) {
    return SettingsStore::WriteString(Section(), QLatin1String(key.name), value);
}

QString Read(const QString& section, const TextKey& key) {
    return SettingsStore::ReadString(section, QLatin1String(key.name),
                                     QString::fromUtf8(key.defaultValue));
}

int Read(const QString& section, const IntKey& key) {
    return SettingsStore::ReadInt(section, QLatin1String(key.name), key.defaultValue);
}

bool Write(const QString& section, const TextKey& key, const QString& value) {
    return SettingsStore::WriteString(section, QLatin1String(key.name), value);
}

bool Write(const QString& section, const IntKey& key, int value) {
    return SettingsStore::WriteInt(section, QLatin1String(key.name), value);
}

const std::vector<KeyInfo>& AllKeys() {
    static const std::vector<KeyInfo> table = [] {
        std::vector<KeyInfo> rows = {
            Row(kNumOpen),        Row(kLocX),           Row(kLocY),
            Row(kCompactMode),    Row(kAlwaysOnTop),    Row(kViewDetails),
            Row(kStartHidden),    Row(kAutoStart),      Row(kDesktopNotify),
            Row(kDoAccessLog),    Row(kDoErrorLog),     Row(kAccessLogFile),
            Row(kErrorLogFile),   Row(kSmtpName),       Row(kSmtpEmail),
            Row(kSmtpAlert),      Row(kSmtpRecovery),   Row(kSmtpServer),
            Row(kSmtpAuth),       Row(kSmtpSecurity),   Row(kSmtpUsername),
            Row(kSmtpPassword),   Row(kLastFriendFrom), Row(kLastFriendSubject),
            Row(kLastFriendBody), Row(kHistoryDays),    Row(kConfirmPolls),
            Row(kConfirmSeconds), Row(kRemindMinutes),  Row(kSlowMailMinutes),
            Row(kMetricsFile),    Row(kMetricsPort)};
        for (int slot = 0; slot < kSlots; ++slot) {
            rows.push_back(Row(kInterval[slot]));
            rows.push_back(Row(kWarn[slot]));
            rows.push_back(Row(kLastDatabase[slot]));
            rows.push_back(Row(kLastDatabaseTitle[slot]));
        }
        return rows;
    }();
    return table;
}

} // namespace Config
