#pragma once

#include <QByteArray>
#include <QString>

// A log file opened exclusively among the program's own openers: the writer, the log viewer's
// loader and Clear Log. Linux has no share modes, so exclusivity is an advisory flock() that every
// one of them takes; an open fails at once (never waits) while another opener holds the file,
// whether in this process or another one. The lock goes with the handle: closing releases it.
class LogFile {
public:
    enum class Mode {
        Append,   // write at the end, create when missing, never truncate
        Read,     // existing file only
        Truncate, // create when missing, then cut to length zero (once the lock is held)
    };

    LogFile() = default;
    LogFile(const QString& path, Mode mode) { Open(path, mode); }
    ~LogFile() { Close(); }
    LogFile(LogFile&& other) noexcept;
    LogFile& operator=(LogFile&& other) noexcept;
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    // False when the file cannot be opened or another opener holds it; errno tells which.
    bool Open(const QString& path, Mode mode);
    void Close();
    bool IsOpen() const { return m_fd >= 0; }
    int Handle() const { return m_fd; }

    // The absolute, symlink-free path of the open file (the viewer shows it); empty when closed.
    QString FullPath() const;

    // Append mode: writes all of data or none of it. A write the disk cannot finish is cut back
    // to where it began, so a full disk never leaves half a line that the next line would run on
    // from.
    bool AppendWhole(const QByteArray& data);

    // Read mode: the next line without its line end (CR LF or LF; a last line without one counts
    // too). False at the end of the file or on a read error.
    bool ReadLine(QByteArray* line);
    bool ReadLine(QString* line);

private:
    bool FillBuffer();

    int m_fd = -1;
    QString m_path;
    QByteArray m_buffer;
    qsizetype m_bufferPos = 0;
    bool m_eof = false;
};

// Why a log cannot be opened, in words for the user: "the folder '/x' does not exist",
// "permission denied" and so on, for the errno an open of path failed with.
QString LogOpenProblem(const QString& path, int error);

// Whether the writer could append to path now: empty when it could, else the reason. A missing
// file is created to find out and removed again; another opener's lock is not a problem, as
// it lasts only while that opener reads or clears.
QString CheckLogAppend(const QString& path);

// Clear Log: the file at path made empty (created when missing) under the exclusive lock.
// False while another opener holds it or when it cannot be created.
bool ClearLogFile(const QString& path);

// Size and identity of an open log, to tell a grown file from a cleared or replaced one.
struct LogFileStat {
    qint64 size = 0;
    quint64 device = 0;
    quint64 inode = 0;
    friend bool operator==(const LogFileStat&, const LogFileStat&) = default;
};
bool StatLogFile(const LogFile& file, LogFileStat* stat);
// Up to `length` bytes from `offset` (fewer at the end of the file); false on a read error.
bool ReadLogBytes(const LogFile& file, qint64 offset, qint64 length, QByteArray* out);
