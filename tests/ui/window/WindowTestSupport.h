#pragma once

#include "settings/SettingsStore.h"
#include "tests/common/TestSupport.h"

#include <QFile>
#include <QString>

#include <functional>

// What the window's test programs share: the store written and read as text, and waits.
namespace WindowTestSupport {

// The store keeps text; numbers are read back from it. "key=value|key=value".
inline void Write(const QString& pairs) {
    for (const QString& pair : pairs.split(u'|'))
        SettingsStore::WriteString(SettingsStore::kSettings, pair.section(u'=', 0, 0),
                                   pair.section(u'=', 1));
}
inline int ReadInt(const QString& key) {
    return SettingsStore::ReadInt(SettingsStore::kSettings, key, -1);
}
// An empty store but for a server, so that no first-start prompt comes.
inline void ResetStore() {
    QFile::remove(SettingsStore::FilePath());
    Write("SMTP=127.0.0.1:1");
}
// Generous: a loaded two-core machine under the sanitizer is slow, and every wait ends early.
inline bool WaitUntil(const std::function<bool()>& done, int timeoutMs = 60000) {
    return TestSupport::WaitUntil(done, timeoutMs);
}

} // namespace WindowTestSupport
