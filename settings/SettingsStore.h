#pragma once

#include "platform/ProductInfo.h"

#include <QHash>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <atomic>
#include <memory>

class IByteLock;

// The per-user settings store: sections of named integer and string values, kept in
// $XDG_CONFIG_HOME/Brenhollow/Trellion.conf. Every operation opens the file, does one thing
// and lets go, so a write is on disk when the call returns and the next read anywhere (in this
// process or another) sees it. Safe to call from any thread.
//
// A section name may be any text, the empty text included (the store's own top level); each
// distinct name is its own section. A failed read gives the default; a failed write is ignored
// by every caller, but reported by the result.
namespace SettingsStore {

inline constexpr const char* kOrganisation = ProductInfo::kOrganisation;
inline constexpr const char* kApplication = ProductInfo::kProgramName;
inline constexpr const char* kSettings = "Settings";

int ReadInt(const QString& section, const QString& key, int defaultValue);
QString ReadString(const QString& section, const QString& key, const QString& defaultValue = {});
// Several keys of one section read with one look at the file (a poll reads a dozen); Int and
// String give what ReadInt and ReadString would have.
class SectionValues {
public:
    int Int(const QString& key, int defaultValue) const;
    QString String(const QString& key, const QString& defaultValue = {}) const;

private:
    friend SectionValues ReadSection(const QString& section, const QStringList& keys);
    QHash<QString, QVariant> m_values;
};
SectionValues ReadSection(const QString& section, const QStringList& keys);

bool WriteInt(const QString& section, const QString& key, int value);
bool WriteString(const QString& section, const QString& key, const QString& value);

// The file behind the store (for tests and the help text).
QString FilePath();

// An exclusive hold on one section across every thread and process that uses the store, for a
// read, the decision on it and the writes it leads to as one step (each read opens the file
// afresh, so it sees what the last holder wrote). A lock file beside the store with one byte
// per section name (sections whose names share a byte share the hold).
//
// Waits up to timeoutMs, or until *cancel is set; then Held() is false and Failure() says why,
// and the caller goes on without the hold. Released by the destructor.
class SectionLock {
public:
    SectionLock(const QString& section, int timeoutMs, const std::atomic<bool>* cancel = nullptr);
    ~SectionLock();
    SectionLock(const SectionLock&) = delete;
    SectionLock& operator=(const SectionLock&) = delete;

    bool Held() const { return m_hold != nullptr; }
    const QString& Failure() const { return m_failure; }

    // The lock file (for tests).
    static QString LockFilePath();

private:
    QString m_failure; // before m_hold: the hold's making writes it
    std::unique_ptr<IByteLock> m_hold;
};

} // namespace SettingsStore
