#pragma once

#include "monitor/AlertPolicy.h"

#include <QString>

// The alert state of one database in the settings file: the section named by its title, with
// the keys "Warned", "lastAlert", "lastRecovery", "alertPending" and "Down", and while the
// confirmation, reminder or slow-mail rules are on "failedPolls", "outageSince",
// "lastReminder", "slowPolls", "slowestMs" and "lastWarning". A key that is absent
// loads as absent, and a save writes only the keys whose value changed, so the file reads the
// same as when each rule wrote its key itself. The caller holds the section's lock around a
// load, the step it decides and the save.
namespace AlertStateStore {

AlertState Load(const QString& title);

// Writes every key whose value in `after` differs from `before` (an absent key that gets a
// value, even an empty one, is written). Keys are never removed.
void Save(const QString& title, const AlertState& before, const AlertState& after);

} // namespace AlertStateStore
