#include "settings/SettingsStore.h"

#include "platform/Platform.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>

#include <mutex>

namespace {

// QSettings reads '/' and '\' in a group name as nesting; escape them (and the escape
// character) so that every title is a single, distinct section that round-trips.
QString GroupName(const QString& section) {
    QString out;
    out.reserve(section.size());
    for (QChar c : section) {
        if (c == u'%')
            out += QStringLiteral("%25");
        else if (c == u'/')
            out += QStringLiteral("%2F");
        else if (c == u'\\')
            out += QStringLiteral("%5C");
        else
            out += c;
    }
    return out;
}

QString KeyPath(const QString& section, const QString& key) {
    if (section.isEmpty())
        return key;
    return GroupName(section) + u'/' + key;
}

// One store per process: QSettings objects on one file in several threads would each keep
// their own copy, so every operation is serialised here and synced to disk before returning.
std::mutex& StoreMutex() {
    static std::mutex m;
    return m;
}

QSettings OpenStore() {
    return QSettings(QSettings::NativeFormat, QSettings::UserScope, SettingsStore::kOrganisation,
                     SettingsStore::kApplication);
}

template <typename T> bool Write(const QString& section, const QString& key, const T& value) {
    std::lock_guard lock(StoreMutex());
    QSettings s = OpenStore();
    // The file holds the SMTP password and connection strings with database passwords.
    CurrentPlatform().MakePrivateFile(s.fileName());
    s.setValue(KeyPath(section, key), value);
    s.sync();
    return s.status() == QSettings::NoError;
}

// FNV-1a: the same byte for a name in every process.
qint64 LockByte(const QString& section) {
    quint32 hash = 2166136261u;
    for (const char c : section.toUtf8()) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 16777619u;
    }
    return static_cast<qint64>(hash & 0x7fffffffu);
}

int IntFrom(const QVariant& v, int defaultValue) {
    if (!v.isValid())
        return defaultValue;
    bool ok = false;
    const qlonglong n = v.toString().trimmed().toLongLong(&ok);
    if (!ok)
        return defaultValue;
    // Stored as a 32-bit number and read back signed, like a registry DWORD.
    return static_cast<int>(static_cast<quint32>(n));
}

QString StringFrom(const QVariant& v, const QString& defaultValue) {
    if (!v.isValid())
        return defaultValue;
    // A value stored as a list or other type by hand is not text we wrote: use the default.
    if (v.typeId() != QMetaType::QString && v.typeId() != QMetaType::QByteArray)
        return defaultValue;
    return v.toString();
}

} // namespace

namespace SettingsStore {

int ReadInt(const QString& section, const QString& key, int defaultValue) {
    std::lock_guard lock(StoreMutex());
    QSettings s = OpenStore();
    if (s.status() != QSettings::NoError)
        return defaultValue;
    return IntFrom(s.value(KeyPath(section, key)), defaultValue);
}

QString ReadString(const QString& section, const QString& key, const QString& defaultValue) {
    std::lock_guard lock(StoreMutex());
    QSettings s = OpenStore();
    if (s.status() != QSettings::NoError)
        return defaultValue;
    return StringFrom(s.value(KeyPath(section, key)), defaultValue);
}

SectionValues ReadSection(const QString& section, const QStringList& keys) {
    SectionValues values;
    std::lock_guard lock(StoreMutex());
    QSettings s = OpenStore();
    if (s.status() != QSettings::NoError)
        return values;
    for (const QString& key : keys)
        values.m_values.insert(key, s.value(KeyPath(section, key)));
    return values;
}

int SectionValues::Int(const QString& key, int defaultValue) const {
    return IntFrom(m_values.value(key), defaultValue);
}

QString SectionValues::String(const QString& key, const QString& defaultValue) const {
    return StringFrom(m_values.value(key), defaultValue);
}

bool WriteInt(const QString& section, const QString& key, int value) {
    return Write(section, key, value);
}

bool WriteString(const QString& section, const QString& key, const QString& value) {
    return Write(section, key, value);
}

QString FilePath() {
    std::lock_guard lock(StoreMutex());
    return OpenStore().fileName();
}

QString SectionLock::LockFilePath() {
    return FilePath() + QStringLiteral(".lock-sections");
}

SectionLock::SectionLock(const QString& section, int timeoutMs, const std::atomic<bool>* cancel)
    : m_hold(CurrentPlatform().LockByte(LockFilePath(), LockByte(section), timeoutMs, cancel,
                                        &m_failure)) {}

SectionLock::~SectionLock() = default;

} // namespace SettingsStore
