#include "platform/LogFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

LogFile::LogFile(LogFile&& other) noexcept
    : m_fd(std::exchange(other.m_fd, -1)), m_path(std::move(other.m_path)),
      m_buffer(std::move(other.m_buffer)), m_bufferPos(std::exchange(other.m_bufferPos, 0)),
      m_eof(std::exchange(other.m_eof, false)) {}

LogFile& LogFile::operator=(LogFile&& other) noexcept {
    if (this != &other) {
        Close();
        m_fd = std::exchange(other.m_fd, -1);
        m_path = std::move(other.m_path);
        m_buffer = std::move(other.m_buffer);
        m_bufferPos = std::exchange(other.m_bufferPos, 0);
        m_eof = std::exchange(other.m_eof, false);
    }
    return *this;
}

bool LogFile::Open(const QString& path, Mode mode) {
    Close();
    if (path.isEmpty()) {
        errno = ENOENT;
        return false;
    }
    // O_TRUNC would cut the file before we know that nobody else holds it: truncate after flock.
    // O_NONBLOCK keeps a path that names a FIFO without a reader from hanging a poll thread
    // inside the writers' lock; it means nothing for regular files.
    int flags = O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    switch (mode) {
    case Mode::Append:
        flags |= O_WRONLY | O_APPEND | O_CREAT;
        break;
    case Mode::Read:
        flags |= O_RDONLY;
        break;
    case Mode::Truncate:
        flags |= O_WRONLY | O_CREAT;
        break;
    }
    const QByteArray native = QFile::encodeName(path);
    int fd;
    do {
        fd = ::open(native.constData(), flags, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return false;
    // A folder opens read-only but gives no lines, only EISDIR at the first read: refuse it
    // here like the write modes do, so the viewer reports it instead of showing an empty log.
    struct stat info {};
    if (::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
        ::close(fd);
        errno = EISDIR;
        return false;
    }

    int rc;
    do {
        rc = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (rc < 0 && errno == EINTR);
    if (rc == 0 && mode != Mode::Read) {
        const int status = ::fcntl(fd, F_GETFL);
        rc = status < 0 ? status : ::fcntl(fd, F_SETFL, status & ~O_NONBLOCK);
    }
    if (rc < 0 || (mode == Mode::Truncate && ::ftruncate(fd, 0) < 0)) {
        const int saved = errno;
        ::close(fd);
        errno = saved;
        return false;
    }
    m_fd = fd;
    m_path = path;
    m_buffer.clear();
    m_bufferPos = 0;
    m_eof = false;
    return true;
}

void LogFile::Close() {
    if (m_fd < 0)
        return;
    // Data reached the kernel with each write(); a failing close on a local file loses nothing
    // we could still retry, so its result is not used.
    ::close(m_fd);
    m_fd = -1;
    m_path.clear();
    m_buffer.clear();
    m_bufferPos = 0;
    m_eof = false;
}

QString LogFile::FullPath() const {
    if (m_fd < 0)
        return {};
    const QString canonical = QFileInfo(m_path).canonicalFilePath();
    return canonical.isEmpty() ? QFileInfo(m_path).absoluteFilePath() : canonical;
}

bool LogFile::AppendWhole(const QByteArray& data) {
    if (m_fd < 0) {
        errno = EBADF;
        return false;
    }
    const char* p = data.constData();
    qsizetype left = data.size();
    qsizetype written = 0;
    while (left > 0) {
        const ssize_t n = ::write(m_fd, p + written, static_cast<size_t>(left));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int saved = n < 0 ? errno : ENOSPC;
            if (written > 0) {
                // O_APPEND leaves the offset at the end of what went out; cut back to where this
                // write began. Best effort: shrinking a regular file does not need free space.
                const off_t end = ::lseek(m_fd, 0, SEEK_CUR);
                if (end >= written) {
                    [[maybe_unused]] const int cut = ::ftruncate(m_fd, end - written);
                }
            }
            errno = saved;
            return false;
        }
        written += n;
        left -= n;
    }
    return true;
}

bool LogFile::FillBuffer() {
    if (m_eof)
        return false;
    if (m_bufferPos > 0) {
        m_buffer.remove(0, m_bufferPos);
        m_bufferPos = 0;
    }
    char chunk[16384];
    for (;;) {
        const ssize_t n = ::read(m_fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            m_eof = true;
            return false;
        }
        m_buffer.append(chunk, n);
        return true;
    }
}

bool LogFile::ReadLine(QByteArray* line) {
    if (m_fd < 0)
        return false;
    qsizetype searchFrom = m_bufferPos;
    for (;;) {
        const qsizetype nl = m_buffer.indexOf('\n', searchFrom);
        if (nl >= 0) {
            qsizetype end = nl;
            if (end > m_bufferPos && m_buffer.at(end - 1) == '\r')
                --end;
            *line = m_buffer.mid(m_bufferPos, end - m_bufferPos);
            m_bufferPos = nl + 1;
            return true;
        }
        searchFrom = m_buffer.size() - m_bufferPos;
        if (!FillBuffer()) {
            if (m_bufferPos >= m_buffer.size())
                return false;
            // The last line has no line end.
            qsizetype end = m_buffer.size();
            if (m_buffer.at(end - 1) == '\r')
                --end;
            *line = m_buffer.mid(m_bufferPos, end - m_bufferPos);
            m_bufferPos = m_buffer.size();
            return true;
        }
    }
}

bool LogFile::ReadLine(QString* line) {
    QByteArray bytes;
    if (!ReadLine(&bytes))
        return false;
    *line = QString::fromUtf8(bytes);
    return true;
}

bool ClearLogFile(const QString& path) {
    return LogFile(path, LogFile::Mode::Truncate).IsOpen();
}

QString LogOpenProblem(const QString& path, int error) {
    if (path.isEmpty())
        return QStringLiteral("no file name is given");
    const QString folder = QFileInfo(path).absolutePath();
    switch (error) {
    case ENOENT:
        if (!QFileInfo(folder).exists())
            return QStringLiteral("the folder '%1' does not exist")
                .arg(QDir::toNativeSeparators(folder));
        break;
    case ENOTDIR:
        return QStringLiteral("a part of the path is not a folder");
    case EACCES:
    case EPERM:
        return QStringLiteral("permission denied");
    case EROFS:
        return QStringLiteral("the file system is read-only");
    case EISDIR:
        return QStringLiteral("it is a folder");
    case EWOULDBLOCK:
        return QStringLiteral("another program holds it open");
    default:
        break;
    }
    return QString::fromLocal8Bit(std::strerror(error));
}

QString CheckLogAppend(const QString& path) {
    if (path.isEmpty())
        return LogOpenProblem(path, ENOENT);
    const QByteArray native = QFile::encodeName(path);
    struct stat info {};
    bool exists = ::lstat(native.constData(), &info) == 0;
    int fd;
    for (;;) {
        // The flags of the writer's own open, so that what passes here opens there too.
        const int flags = O_WRONLY | O_APPEND | O_CLOEXEC | O_NOCTTY | O_NONBLOCK |
                          (exists ? 0 : O_CREAT | O_EXCL);
        fd = ::open(native.constData(), flags, 0666);
        if (fd >= 0)
            break;
        if (errno == EINTR)
            continue;
        // Created meanwhile (by the writer, say): it is an existing file after all.
        if (errno == EEXIST && !exists) {
            exists = true;
            continue;
        }
        break;
    }
    if (fd < 0)
        return LogOpenProblem(path, errno);
    ::close(fd);
    if (!exists)
        ::unlink(native.constData());
    return {};
}

bool StatLogFile(const LogFile& file, LogFileStat* stat) {
    struct stat info {};
    if (!file.IsOpen() || ::fstat(file.Handle(), &info) != 0)
        return false;
    stat->size = info.st_size;
    stat->device = info.st_dev;
    stat->inode = info.st_ino;
    return true;
}

bool ReadLogBytes(const LogFile& file, qint64 offset, qint64 length, QByteArray* out) {
    out->resize(static_cast<qsizetype>(std::max<qint64>(length, 0)));
    qsizetype got = 0;
    while (got < out->size()) {
        const ssize_t n = ::pread(file.Handle(), out->data() + got,
                                  static_cast<size_t>(out->size() - got), offset + got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            out->clear();
            return false;
        }
        if (n == 0)
            break;
        got += n;
    }
    out->resize(got);
    return true;
}
