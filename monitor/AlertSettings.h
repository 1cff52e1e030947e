#pragma once

#include "monitor/AlertPolicy.h"
#include "settings/SettingKeys.h"

#include <QString>
#include <QStringList>

#include <array>

// The alert rules as stored in the section "Settings", each with the range it must lie in. A
// value that is missing reads as its default quietly; one that is no whole number or out of its
// range reads as its default too, and is told of once per process.
namespace AlertSettings {

struct Range {
    const Config::IntKey* key;
    int min;
    int max;
    const char* label; // how the dialog names it
};
const std::array<Range, 4>& Ranges();

// The text that says what is wrong with a value, empty when it is in range.
QString Check(const Range& range, const QString& text);

struct Loaded {
    AlertRules rules;
    QStringList problems; // those not told of before in this process
};
Loaded Read();

} // namespace AlertSettings
