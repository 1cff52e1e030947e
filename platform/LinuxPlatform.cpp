// The Linux implementation of the OS layer: XDG folders, POSIX file modes and locks, signals
// through a self-pipe, setpriority for the calling thread, the Secret Service via QtKeychain.
#include "platform/Platform.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QObject>
#include <QPointer>
#include <QSaveFile>
#include <QSocketNotifier>
#include <QStandardPaths>

#include <qt6keychain/keychain.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

QByteArray Native(const QString& path) {
    return QFile::encodeName(path);
}

class LinuxInstanceLock final : public IInstanceLock {
public:
    LinuxInstanceLock(int fd, bool others) : m_fd(fd), m_others(others) {}
    ~LinuxInstanceLock() override {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    bool OthersRunning() const override { return m_others; }

private:
    int m_fd;
    bool m_others;
};

class LinuxByteLock final : public IByteLock {
public:
    explicit LinuxByteLock(int fd) : m_fd(fd) {}
    ~LinuxByteLock() override { ::close(m_fd); }

private:
    int m_fd;
};

bool MakeFolderPrivate(const QString& folder) {
    QDir().mkpath(folder);
    return ::chmod(Native(folder).constData(), 0700) == 0;
}

QString ErrorText(const char* what, const QString& path) {
    return QString::fromLatin1(what) + QStringLiteral(" '") + path + QStringLiteral("': ") +
           QString::fromLocal8Bit(std::strerror(errno));
}

// Written by the signal handler, read on the watching thread.
int g_signalPipe[2] = {-1, -1};

void OnEndSignal(int) {
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] ssize_t n = ::write(g_signalPipe[1], &byte, 1);
    errno = saved;
}

// Desktop entries want reserved characters in Exec quoted; a path with a blank would
// otherwise split into arguments.
QString ExecField(const QString& path) {
    static const QString reserved = QStringLiteral(" \t\n\r\"'\\><~|&;$*?#()`");
    bool quote = false;
    for (QChar c : path)
        quote = quote || reserved.contains(c);
    QString out = path;
    if (quote) {
        out = QStringLiteral("\"");
        for (QChar c : path) {
            if (c == u'"' || c == u'`' || c == u'$' || c == u'\\')
                out += u'\\';
            out += c;
        }
        out += u'"';
    }
    // The file format escapes backslashes and line breaks once more (a raw break would start
    // a key of its own), and a '%' would be taken for a field code.
    out.replace(u'\\', QStringLiteral("\\\\"));
    out.replace(u'\n', QStringLiteral("\\n"));
    out.replace(u'\r', QStringLiteral("\\r"));
    out.replace(u'%', QStringLiteral("%%"));
    return out;
}

class LinuxPlatform final : public IPlatform {
public:
    QString ConfigFolder() const override {
        return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    }

    QString StateFolder() const override {
        // Qt 6.4 has no standard location for it; a relative value is to be ignored.
        const QString state = qEnvironmentVariable("XDG_STATE_HOME");
        if (state.isEmpty() || QDir::isRelativePath(state))
            return QDir::homePath() + QStringLiteral("/.local/state");
        return state;
    }

    QString RuntimeFolder() const override {
        const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
        if (!runtime.isEmpty() && QDir(runtime).exists())
            return runtime;
        const QString folder = QStringLiteral("/tmp/trellion-%1").arg(::getuid());
        MakeFolderPrivate(folder);
        return folder;
    }

    bool IsWritableFolder(const QString& folder) const override {
        return !folder.isEmpty() && QFileInfo(folder).isDir() &&
               ::access(Native(folder).constData(), W_OK) == 0;
    }

    bool MakePrivateFolder(const QString& folder) override { return MakeFolderPrivate(folder); }

    bool MakePrivateFile(const QString& file) override {
        MakePrivateFolder(QFileInfo(file).absolutePath());
        const int fd =
            ::open(Native(file).constData(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY, 0600);
        if (fd >= 0)
            ::close(fd);
        return ::chmod(Native(file).constData(), 0600) == 0;
    }

    std::unique_ptr<IInstanceLock> HoldInstanceLock(const QString& name) override {
        const QString path = RuntimeFolder() + u'/' + name;
        const int fd = ::open(Native(path).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd < 0)
            return std::make_unique<LinuxInstanceLock>(-1, false);
        // Every instance holds a shared lock for its life; an exclusive one is only to be had
        // when no other instance runs.
        const bool alone = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
        while (::flock(fd, LOCK_SH) != 0 && errno == EINTR) {
        }
        return std::make_unique<LinuxInstanceLock>(fd, !alone);
    }

    // Open file description locks: held by the hold's descriptor alone, so two threads of one
    // process exclude each other too, and closing another descriptor of the file keeps the hold.
    std::unique_ptr<IByteLock> LockByte(const QString& file, qint64 offset, int timeoutMs,
                                        const std::atomic<bool>* cancel,
                                        QString* failure) override {
        MakePrivateFolder(QFileInfo(file).absolutePath());
        const int fd = ::open(Native(file).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd < 0) {
            *failure = ErrorText("cannot open", file);
            return nullptr;
        }
        struct flock range {};
        range.l_type = F_WRLCK;
        range.l_whence = SEEK_SET;
        range.l_start = static_cast<off_t>(offset);
        range.l_len = 1;
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            if (::fcntl(fd, F_OFD_SETLK, &range) == 0)
                return std::make_unique<LinuxByteLock>(fd);
            if (errno != EAGAIN && errno != EACCES && errno != EINTR) {
                *failure = ErrorText("cannot lock", file);
                break;
            }
            if (cancel && cancel->load()) {
                *failure = QStringLiteral("given up at shutdown");
                break;
            }
            if (std::chrono::steady_clock::now() >= deadline) {
                *failure = QStringLiteral("held elsewhere for more than %1 ms").arg(timeoutMs);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        ::close(fd);
        return nullptr;
    }

    bool WatchEndSignals(QObject* context, std::function<void()> onSignal) override {
        if (g_signalPipe[0] >= 0 ||
            ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalPipe) != 0)
            return false;
        auto* notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, context);
        QObject::connect(
            notifier, &QSocketNotifier::activated, context, [onSignal = std::move(onSignal)] {
                char buffer[16];
                [[maybe_unused]] ssize_t n = ::read(g_signalPipe[0], buffer, sizeof buffer);
                onSignal();
            });
        struct sigaction sa = {};
        sa.sa_handler = OnEndSignal;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = SA_RESTART;
        ::sigaction(SIGTERM, &sa, nullptr);
        ::sigaction(SIGINT, &sa, nullptr);
        ::sigaction(SIGHUP, &sa, nullptr);
        return true;
    }

    QString LogonEntryPath(const QString& name) const override {
        return ConfigFolder() + QStringLiteral("/autostart/") + name + QStringLiteral(".desktop");
    }

    bool SetLogonStart(const LogonEntry& entry, bool on) override {
        const QString path = LogonEntryPath(entry.name);
        if (!on) {
            QFile::remove(path);
            return true;
        }
        const QString text =
            QStringLiteral("[Desktop Entry]\n"
                           "Type=Application\n"
                           "Name=%1\n"
                           "Comment=%2\n"
                           "Exec=%3\n"
                           "Icon=%4\n"
                           "Terminal=false\n"
                           "X-GNOME-Autostart-enabled=true\n")
                .arg(entry.name, entry.comment, ExecField(entry.programPath), entry.iconName);
        if (!QDir().mkpath(QFileInfo(path).absolutePath()))
            return false;
        QSaveFile file(path);
        return file.open(QIODevice::WriteOnly) && file.write(text.toUtf8()) >= 0 && file.commit();
    }

    void LowerThreadPriority() override {
        // Linux keeps a nice value per thread: PRIO_PROCESS with a thread id sets this one's.
        const id_t tid = static_cast<id_t>(::syscall(SYS_gettid));
        errno = 0;
        const int current = ::getpriority(PRIO_PROCESS, tid);
        if (errno == 0)
            ::setpriority(PRIO_PROCESS, tid, std::min(current + 5, 19));
    }

    void ReadSecret(const QString& service, const QString& key, QObject* context,
                    std::function<void(SecretRead, const QString&)> done) override {
        auto* job = new QKeychain::ReadPasswordJob(service, context);
        job->setKey(key);
        QObject::connect(job, &QKeychain::Job::finished, context, [job, done = std::move(done)] {
            if (job->error() == QKeychain::NoError)
                done(SecretRead::Found, job->textData());
            else if (job->error() == QKeychain::EntryNotFound)
                done(SecretRead::NotFound, QString());
            else
                done(SecretRead::NoKeyring, QString());
        });
        job->start();
    }

    void WriteSecret(const QString& service, const QString& key, const QString& secret,
                     QObject* context, std::function<void(bool stored)> done) override {
        auto* job = new QKeychain::WritePasswordJob(service, context);
        job->setKey(key);
        job->setTextData(secret);
        QObject::connect(job, &QKeychain::Job::finished, context, [job, done = std::move(done)] {
            done(job->error() == QKeychain::NoError);
        });
        job->start();
    }
};

} // namespace

IPlatform& CurrentPlatform() {
    static LinuxPlatform platform;
    return platform;
}
