#pragma once

#include "platform/Notice.h"
#include "tests/common/RecordingNotice.h"

#include <QByteArray>
#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <mutex>
#include <ostream>

// Readable failure output for Qt strings in gtest assertions.
inline void PrintTo(const QString& text, std::ostream* os) {
    *os << '"' << text.toStdString() << '"';
}
inline void PrintTo(const QByteArray& bytes, std::ostream* os) {
    *os << '"' << bytes.toStdString() << '"';
}

namespace LogTest {

using ::RecordingNotice;

// The raw bytes of a file; empty when it is missing.
QByteArray FileBytes(const QString& path);

// The file cut at CR LF. Fails the test on a bare CR or LF or a missing final line end.
QList<QByteArray> CrLfLines(const QString& path);

// Another process (util-linux flock) holding the file's lock until Release() or destruction.
class OtherProcessLock {
public:
    explicit OtherProcessLock(const QString& path);
    ~OtherProcessLock() { Release(); }
    bool Held() const { return m_held; }
    void Release();

private:
    QProcess m_process;
    bool m_held = false;
};

// A 64 KiB tmpfs to fill up. Needs CAP_SYS_ADMIN; Mounted() is false where it cannot be had.
class SmallTmpfs {
public:
    SmallTmpfs();
    ~SmallTmpfs();
    bool Mounted() const { return m_mounted; }
    QString Error() const { return m_error; }
    QString Path() const { return m_path; }
    // Writes a file there until the disk is full; returns its path.
    QString FillUp();

private:
    QString m_path;
    QString m_error;
    bool m_mounted = false;
};

} // namespace LogTest
