#pragma once

#include "settings/SettingsStore.h"

#include <QString>

// The window's own keys in the settings store's main section, for the files of CMonitorDlg.
namespace MonitorDlgSettings {

inline int ReadInt(const char* key, int def) {
    return SettingsStore::ReadInt(SettingsStore::kSettings, QLatin1String(key), def);
}
inline QString ReadString(const char* key, const QString& def = {}) {
    return SettingsStore::ReadString(SettingsStore::kSettings, QLatin1String(key), def);
}
inline void WriteInt(const char* key, int value) {
    SettingsStore::WriteInt(SettingsStore::kSettings, QLatin1String(key), value);
}

} // namespace MonitorDlgSettings
