#include "monitor/AlertStateStore.h"

#include "settings/SettingsStore.h"

#include <climits>

namespace AlertStateStore {
namespace {

const QString kWarned = QStringLiteral("Warned");
const QString kLastAlert = QStringLiteral("lastAlert");
const QString kLastRecovery = QStringLiteral("lastRecovery");
const QString kAlertPending = QStringLiteral("alertPending");
const QString kDown = QStringLiteral("Down");
const QString kFailedPolls = QStringLiteral("failedPolls");
const QString kOutageSince = QStringLiteral("outageSince");
const QString kLastReminder = QStringLiteral("lastReminder");
const QString kSlowPolls = QStringLiteral("slowPolls");
const QString kSlowestMs = QStringLiteral("slowestMs");
const QString kLastWarning = QStringLiteral("lastWarning");

// The store has no "is it there": a default no file can hold stands for a missing key. A value
// that is not a number reads as missing too, as it did when the rules gave their own default.
constexpr int kNoInt = INT_MIN;
const QString kNoString = QStringLiteral("\x01 absent \x01");

std::optional<int> Int(const QString& title, const QString& key) {
    const int value = SettingsStore::ReadInt(title, key, kNoInt);
    return value == kNoInt ? std::nullopt : std::optional<int>(value);
}

std::optional<QString> String(const QString& title, const QString& key) {
    QString value = SettingsStore::ReadString(title, key, kNoString);
    return value == kNoString ? std::nullopt : std::optional<QString>(std::move(value));
}

void SaveInt(const QString& title, const QString& key, const std::optional<int>& before,
             const std::optional<int>& after) {
    if (after && after != before)
        SettingsStore::WriteInt(title, key, *after);
}

void SaveString(const QString& title, const QString& key, const std::optional<QString>& before,
                const std::optional<QString>& after) {
    if (after && after != before)
        SettingsStore::WriteString(title, key, *after);
}

} // namespace

AlertState Load(const QString& title) {
    AlertState state;
    state.warned = Int(title, kWarned);
    state.lastAlert = String(title, kLastAlert);
    state.lastRecovery = String(title, kLastRecovery);
    state.alertPending = String(title, kAlertPending);
    state.down = Int(title, kDown);
    state.failedPolls = Int(title, kFailedPolls);
    state.outageSince = String(title, kOutageSince);
    state.lastReminder = String(title, kLastReminder);
    state.slowPolls = Int(title, kSlowPolls);
    state.slowestMs = String(title, kSlowestMs);
    state.lastWarning = String(title, kLastWarning);
    return state;
}

void Save(const QString& title, const AlertState& before, const AlertState& after) {
    SaveInt(title, kDown, before.down, after.down);
    SaveString(title, kLastRecovery, before.lastRecovery, after.lastRecovery);
    SaveString(title, kLastAlert, before.lastAlert, after.lastAlert);
    SaveString(title, kAlertPending, before.alertPending, after.alertPending);
    SaveInt(title, kWarned, before.warned, after.warned);
    SaveInt(title, kFailedPolls, before.failedPolls, after.failedPolls);
    SaveString(title, kOutageSince, before.outageSince, after.outageSince);
    SaveString(title, kLastReminder, before.lastReminder, after.lastReminder);
    SaveInt(title, kSlowPolls, before.slowPolls, after.slowPolls);
    SaveString(title, kSlowestMs, before.slowestMs, after.slowestMs);
    SaveString(title, kLastWarning, before.lastWarning, after.lastWarning);
}

} // namespace AlertStateStore
