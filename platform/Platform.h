#pragma once

#include <QString>

#include <atomic>
#include <functional>
#include <memory>

class QObject;

// A hold on the program's instance lock for as long as the object lives: every running
// instance holds one, so a new one learns whether others run.
class IInstanceLock {
public:
    virtual ~IInstanceLock() = default;
    // True when another instance held the lock when this hold was taken.
    virtual bool OthersRunning() const = 0;
};

// An exclusive hold on one byte of a lock file, released with the object.
class IByteLock {
public:
    virtual ~IByteLock() = default;
};

// What the logon start entry says: the program's name, a line about it, the program to start
// and the theme icon to show.
struct LogonEntry {
    QString name;
    QString comment;
    QString programPath;
    QString iconName;
};

// What a keyring read brought back.
enum class SecretRead { Found, NotFound, NoKeyring };

// The operating system and desktop as the program uses them. Every call is safe from any
// thread unless it says otherwise; nothing outside this folder calls the OS for these.
class IPlatform {
public:
    virtual ~IPlatform() = default;

    // Per-user folders: settings ($XDG_CONFIG_HOME), state such as logs ($XDG_STATE_HOME) and
    // run-time files ($XDG_RUNTIME_DIR, else a private folder under /tmp). None is created,
    // apart from the run-time fallback.
    virtual QString ConfigFolder() const = 0;
    virtual QString StateFolder() const = 0;
    virtual QString RuntimeFolder() const = 0;
    // True when the process may create files in `folder`.
    virtual bool IsWritableFolder(const QString& folder) const = 0;

    // Creates the folder (and its parents) readable by the user alone; true when it exists.
    virtual bool MakePrivateFolder(const QString& folder) = 0;
    // Creates the file if missing, in a private folder, and makes it the user's alone (it may
    // hold passwords); true when it is.
    virtual bool MakePrivateFile(const QString& file) = 0;

    // Takes this process's hold on the lock `name` in the run-time folder. A lock that cannot
    // be made gives a hold that reports no other instance.
    virtual std::unique_ptr<IInstanceLock> HoldInstanceLock(const QString& name) = 0;

    // Holds byte `offset` of the lock file `file` (made private if missing) against every other
    // holder, in this process, other threads included, or another. Waits up to timeoutMs, or
    // until *cancel is set; then null, with the reason in *failure.
    virtual std::unique_ptr<IByteLock> LockByte(const QString& file, qint64 offset, int timeoutMs,
                                                const std::atomic<bool>* cancel,
                                                QString* failure) = 0;

    // After this, SIGTERM, SIGINT and SIGHUP no longer end the process: each one calls
    // `onSignal` on `context`'s thread. Once per process; false when it cannot be set up.
    virtual bool WatchEndSignals(QObject* context, std::function<void()> onSignal) = 0;

    // The logon start entry of the program called `name` (an XDG autostart file).
    virtual QString LogonEntryPath(const QString& name) const = 0;
    // On: (re)writes the entry; off: removes it (a missing one is no failure). True on success.
    virtual bool SetLogonStart(const LogonEntry& entry, bool on) = 0;

    // Moves the calling thread below normal priority (a poll must not compete with the UI).
    virtual void LowerThreadPriority() = 0;

    // The desktop's keyring. Both calls return at once and answer later on `context`'s thread
    // (which must run an event loop); no answer comes once `context` is gone.
    virtual void ReadSecret(const QString& service, const QString& key, QObject* context,
                            std::function<void(SecretRead, const QString&)> done) = 0;
    virtual void WriteSecret(const QString& service, const QString& key, const QString& secret,
                             QObject* context, std::function<void(bool stored)> done) = 0;
};

// The implementation for the system the program was built for.
IPlatform& CurrentPlatform();
