#include "tests/log/LogTestSupport.h"

#include "tests/common/TestSupport.h"

#include <QFile>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

namespace LogTest {

QByteArray FileBytes(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

QList<QByteArray> CrLfLines(const QString& path) {
    const QByteArray bytes = FileBytes(path);
    QList<QByteArray> lines = bytes.split('\n');
    EXPECT_TRUE(lines.isEmpty() || lines.last().isEmpty()) << "last line has no line end";
    if (!lines.isEmpty())
        lines.removeLast();
    for (QByteArray& line : lines) {
        EXPECT_TRUE(line.endsWith('\r')) << "bare LF after: " << line.constData();
        line.chop(1);
        EXPECT_FALSE(line.contains('\r')) << "bare CR in: " << line.constData();
    }
    return lines;
}

OtherProcessLock::OtherProcessLock(const QString& path) {
    // The child takes the lock, says so, then holds it until its stdin closes.
    m_process.start(QStringLiteral("/usr/bin/flock"),
                    {QStringLiteral("--exclusive"), QStringLiteral("--nonblock"), path,
                     QStringLiteral("/bin/sh"), QStringLiteral("-c"),
                     QStringLiteral("echo held; exec cat >/dev/null")});
    if (!m_process.waitForStarted(30000))
        return;
    QByteArray out;
    while (!out.contains("held") && m_process.waitForReadyRead(30000))
        out += m_process.readAllStandardOutput();
    m_held = out.contains("held");
}

void OtherProcessLock::Release() {
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.closeWriteChannel();
    if (!m_process.waitForFinished(30000)) {
        m_process.kill();
        m_process.waitForFinished(30000);
    }
    m_held = false;
}

SmallTmpfs::SmallTmpfs() : m_path(TestSupport::MakeTempDir(QStringLiteral("tmpfs"))) {
    const QByteArray target = QFile::encodeName(m_path);
    if (::mount("tmpfs", target.constData(), "tmpfs", MS_NOSUID | MS_NODEV, "size=64k") == 0)
        m_mounted = true;
    else
        m_error = QString::fromLocal8Bit(std::strerror(errno));
}

SmallTmpfs::~SmallTmpfs() {
    if (m_mounted)
        ::umount2(QFile::encodeName(m_path).constData(), MNT_DETACH);
}

QString SmallTmpfs::FillUp() {
    const QString path = m_path + QStringLiteral("/filler");
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return path;
    char block[4096];
    std::memset(block, 'x', sizeof block);
    // Whole pages first, then bytes, so that not one byte is left.
    while (::write(fd, block, sizeof block) > 0) {
    }
    while (::write(fd, block, 1) > 0) {
    }
    ::close(fd);
    return path;
}

} // namespace LogTest
