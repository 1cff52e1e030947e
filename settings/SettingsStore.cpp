#include "settings/SettingsStore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

// The file holds the SMTP password and connection strings with database passwords.
void MakePrivate(const QString& file) {
    const QString dir = QFileInfo(file).absolutePath();
    QDir().mkpath(dir);
    ::chmod(QFile::encodeName(dir).constData(), 0700);
    if (!QFileInfo::exists(file)) {
        QFile f(file);
        if (f.open(QIODevice::WriteOnly))
            f.close();
    }
    ::chmod(QFile::encodeName(file).constData(), 0600);
}

template <typename T> bool Write(const QString& section, const QString& key, const T& value) {
    std::lock_guard lock(StoreMutex());
    QSettings s = OpenStore();
    MakePrivate(s.fileName());
    s.setValue(KeyPath(section, key), value);
    s.sync();
    return s.status() == QSettings::NoError;
}

// FNV-1a: the same byte for a name in every process.
off_t LockByte(const QString& section) {
    quint32 hash = 2166136261u;
    for (const char c : section.toUtf8()) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 16777619u;
    }
    return static_cast<off_t>(hash & 0x7fffffffu);
}

} // namespace

namespace SettingsStore {

int ReadInt(const QString& section, const QString& key, int defaultValue) {
    std::lock_guard lock(StoreMutex());
    QSettings s = OpenStore();
    if (s.status() != QSettings::NoError)
        return defaultValue;
    const QVariant v = s.value(KeyPath(section, key));
    if (!v.isValid())
        return defaultValue;
    bool ok = false;
    const qlonglong n = v.toString().trimmed().toLongLong(&ok);
    if (!ok)
        return defaultValue;
    // Stored as a 32-bit number and read back signed, like a registry DWORD.
    return static_cast<int>(static_cast<quint32>(n));
}

QString ReadString(const QString& section, const QString& key, const QString& defaultValue) {
    std::lock_guard lock(StoreMutex());
    QSettings s = OpenStore();
    if (s.status() != QSettings::NoError)
        return defaultValue;
    const QVariant v = s.value(KeyPath(section, key));
    if (!v.isValid())
        return defaultValue;
    // A value stored as a list or other type by hand is not text we wrote: use the default.
    if (v.typeId() != QMetaType::QString && v.typeId() != QMetaType::QByteArray)
        return defaultValue;
    return v.toString();
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

// Open file description locks: held by this object's descriptor alone, so two threads of one
// process exclude each other too, and closing another descriptor of the file keeps the hold.
SectionLock::SectionLock(const QString& section, int timeoutMs, const std::atomic<bool>* cancel) {
    const QString path = LockFilePath();
    const QString dir = QFileInfo(path).absolutePath();
    QDir().mkpath(dir);
    ::chmod(QFile::encodeName(dir).constData(), 0700);
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        m_failure = QStringLiteral("cannot open '") + path + QStringLiteral("': ") +
                    QString::fromLocal8Bit(std::strerror(errno));
        return;
    }
    struct flock range {};
    range.l_type = F_WRLCK;
    range.l_whence = SEEK_SET;
    range.l_start = LockByte(section);
    range.l_len = 1;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (::fcntl(fd, F_OFD_SETLK, &range) == 0) {
            m_fd = fd;
            return;
        }
        if (errno != EAGAIN && errno != EACCES && errno != EINTR) {
            m_failure = QStringLiteral("cannot lock '") + path + QStringLiteral("': ") +
                        QString::fromLocal8Bit(std::strerror(errno));
            break;
        }
        if (cancel && cancel->load()) {
            m_failure = QStringLiteral("given up at shutdown");
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            m_failure = QStringLiteral("held elsewhere for more than %1 ms").arg(timeoutMs);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ::close(fd);
}

SectionLock::~SectionLock() {
    if (m_fd >= 0)
        ::close(m_fd);
}

} // namespace SettingsStore
