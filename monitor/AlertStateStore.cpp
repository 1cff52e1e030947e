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

std::optional<int> Int(const SettingsStore::SectionValues& values, const QString& key) {
    const int value = values.Int(key, kNoInt);
    return value == kNoInt ? std::nullopt : std::optional<int>(value);
}

std::optional<QString> String(const SettingsStore::SectionValues& values, const QString& key) {
    QString value = values.String(key, kNoString);
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
    // One look at the file for the whole state: every poll loads it.
    const SettingsStore::SectionValues v = SettingsStore::ReadSection(
        title, {kWarned, kLastAlert, kLastRecovery, kAlertPending, kDown, kFailedPolls,
                kOutageSince, kLastReminder, kSlowPolls, kSlowestMs, kLastWarning});
    AlertState state;
    state.warned = Int(v, kWarned);
    state.lastAlert = String(v, kLastAlert);
    state.lastRecovery = String(v, kLastRecovery);
    state.alertPending = String(v, kAlertPending);
    state.down = Int(v, kDown);
    state.failedPolls = Int(v, kFailedPolls);
    state.outageSince = String(v, kOutageSince);
    state.lastReminder = String(v, kLastReminder);
    state.slowPolls = Int(v, kSlowPolls);
    state.slowestMs = String(v, kSlowestMs);
    state.lastWarning = String(v, kLastWarning);
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
