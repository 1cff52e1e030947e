#pragma once

#include <QByteArray>
#include <QString>

#include <functional>
#include <mutex>

// The metrics file for node_exporter's textfile collector: each text is written to a temporary
// file in the same folder and renamed over the path, so a reader sees a whole text or the one
// before. A file that cannot be written is told once through onFault (until a write succeeds or
// the path changes); the caller goes on either way.
class MetricsFile {
public:
    explicit MetricsFile(std::function<void(const QString&)> onFault = {});

    // Empty: no file.
    void SetPath(const QString& path);
    QString Path() const;
    // False when the text could not be written (or no path is set).
    bool Write(const QByteArray& text);

    // Why a path cannot take the metrics file (its folder missing or not writable, or a folder
    // at the path itself); empty when it can.
    static QString Problem(const QString& path);

private:
    std::function<void(const QString&)> m_onFault;
    mutable std::mutex m_lock;
    QString m_path;
    bool m_faultTold = false;
};
