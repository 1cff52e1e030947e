#include "monitor/AlertSettings.h"

#include "settings/SettingsStore.h"

#include <QSet>

#include <algorithm>
#include <climits>
#include <mutex>

namespace AlertSettings {
namespace {

const QString kAbsent = QStringLiteral("\x01 absent \x01");

// A value told of once stays quiet: the rules are read at every poll.
bool FirstTime(const QString& problem) {
    static std::mutex mutex;
    static QSet<QString> told;
    std::lock_guard lock(mutex);
    if (told.contains(problem))
        return false;
    told.insert(problem);
    return true;
}

int Value(const SettingsStore::SectionValues& values, const Range& range, QStringList& problems) {
    const QString key = QLatin1String(range.key->name);
    // A value this process wrote as a number reads back only as one; a hand-edited one as text.
    QString text = values.String(key, kAbsent);
    if (text == kAbsent) {
        const int number = values.Int(key, INT_MIN);
        if (number == INT_MIN)
            return range.key->defaultValue;
        text = QString::number(number);
    }
    if (Check(range, text).isEmpty())
        return text.trimmed().toInt();
    const QString problem =
        QStringLiteral("Setting ") + QLatin1String(range.key->name) + QStringLiteral("=") + text +
        QStringLiteral(" is not a whole number from ") + QString::number(range.min) +
        QStringLiteral(" to ") + QString::number(range.max) + QStringLiteral("; using ") +
        QString::number(range.key->defaultValue);
    if (FirstTime(problem))
        problems << problem;
    return range.key->defaultValue;
}

} // namespace

const std::array<Range, 4>& Ranges() {
    static const std::array<Range, 4> ranges = {{
        {&Config::kConfirmPolls, 1, 10, "Failed polls before an alert"},
        {&Config::kConfirmSeconds, 5, 3600, "Seconds between confirming polls"},
        {&Config::kRemindMinutes, 0, 10080, "Minutes between reminders"},
        {&Config::kSlowMailMinutes, 0, 1440, "Minutes between warning mails"},
    }};
    return ranges;
}

QString Check(const Range& range, const QString& text) {
    bool ok = false;
    const QString digits = text.trimmed();
    const int value = digits.toInt(&ok);
    // Digits only: no sign, no spaces inside, nothing after.
    const bool plain = !digits.isEmpty() && std::all_of(digits.begin(), digits.end(), [](QChar c) {
        return c >= u'0' && c <= u'9';
    });
    if (plain && ok && value >= range.min && value <= range.max)
        return QString();
    return QString::fromUtf8(range.label) + QStringLiteral(" must be a whole number from ") +
           QString::number(range.min) + QStringLiteral(" to ") + QString::number(range.max) + u'.';
}

Loaded Read() {
    Loaded loaded;
    const auto& r = Ranges();
    QStringList keys;
    for (const Range& range : r)
        keys << QLatin1String(range.key->name);
    // One look at the file: the rules are read at every poll.
    const SettingsStore::SectionValues v =
        SettingsStore::ReadSection(QString::fromLatin1(SettingsStore::kSettings), keys);
    loaded.rules.confirmPolls = Value(v, r[0], loaded.problems);
    loaded.rules.confirmMs = qint64(Value(v, r[1], loaded.problems)) * 1000;
    loaded.rules.remindMs = qint64(Value(v, r[2], loaded.problems)) * 60000;
    loaded.rules.slowMailMs = qint64(Value(v, r[3], loaded.problems)) * 60000;
    return loaded;
}

} // namespace AlertSettings
