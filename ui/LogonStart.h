#pragma once

#include <QString>

class INotice;

// The per-user logon start entry of this program (the OS layer writes it), whose Exec
// line is the program's own path.
namespace LogonStart {

// $XDG_CONFIG_HOME/autostart/Trellion.desktop (default ~/.config/autostart).
QString EntryPath();

// On: (re)writes the entry for programPath; a failure shows "Could not register Trellion."
// through the notice. Off: removes the entry; a missing one is no failure. Returns success.
bool Apply(bool on, const QString& programPath, INotice* notice);

} // namespace LogonStart
