#pragma once

#include <QString>

// The per-user settings store: sections of named integer and string values, kept in
// $XDG_CONFIG_HOME/Brenhollow/Trellion.conf. Every operation opens the file, does one thing
// and lets go, so a write is on disk when the call returns and the next read anywhere (in this
// process or another) sees it. Safe to call from any thread.
//
// A section name may be any text, the empty text included (the store's own top level); each
// distinct name is its own section. A failed read gives the default; a failed write is ignored
// by every caller, but reported by the result.
namespace SettingsStore {

inline constexpr const char* kOrganisation = "Brenhollow";
inline constexpr const char* kApplication = "Trellion";
inline constexpr const char* kSettings = "Settings";

int ReadInt(const QString& section, const QString& key, int defaultValue);
QString ReadString(const QString& section, const QString& key, const QString& defaultValue = {});
bool WriteInt(const QString& section, const QString& key, int value);
bool WriteString(const QString& section, const QString& key, const QString& value);

// The file behind the store (for tests and the help text).
QString FilePath();

} // namespace SettingsStore
