#include "metrics/MetricsFile.h"

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>

MetricsFile::MetricsFile(std::function<void(const QString&)> onFault)
    : m_onFault(std::move(onFault)) {}

void MetricsFile::SetPath(const QString& path) {
    std::lock_guard lock(m_lock);
    if (path != m_path)
        m_faultTold = false;
    m_path = path;
}

QString MetricsFile::Path() const {
    std::lock_guard lock(m_lock);
    return m_path;
}

QString MetricsFile::Problem(const QString& path) {
    const QFileInfo file(path);
    const QString folder = QDir::toNativeSeparators(file.absolutePath());
    if (file.isDir())
        return QStringLiteral("The metrics file '%1' is a folder.").arg(path);
    if (!QFileInfo(file.absolutePath()).isDir())
        return QStringLiteral("The folder '%1' of the metrics file does not exist.").arg(folder);
    // The file is renamed into place, so the folder itself must be writable.
    if (!QFileInfo(file.absolutePath()).isWritable())
        return QStringLiteral("The folder '%1' of the metrics file cannot be written.").arg(folder);
    return {};
}

bool MetricsFile::Write(const QByteArray& text) {
    std::lock_guard lock(m_lock);
    if (m_path.isEmpty())
        return false;
    QSaveFile file(m_path);
    // Read by node_exporter, which runs as another user; the text holds no secret.
    bool ok = file.open(QIODevice::WriteOnly) &&
              file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                  QFileDevice::ReadGroup | QFileDevice::ReadOther) &&
              file.write(text) == text.size() && file.commit();
    if (ok) {
        m_faultTold = false;
        return true;
    }
    if (!m_faultTold && m_onFault) {
        m_faultTold = true;
        QString reason = Problem(m_path);
        if (reason.isEmpty())
            reason = QStringLiteral("The metrics file '%1' cannot be written: %2")
                         .arg(QDir::toNativeSeparators(m_path), file.errorString());
        m_onFault(reason);
    }
    return false;
}
