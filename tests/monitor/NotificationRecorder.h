#pragma once

#include <QDBusArgument>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantMap>

// The desktop's notification service: keeps every Notify it is sent.
class NotificationRecorder : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    struct Note {
        QString app, summary, body;
        int urgency = -1, imageWidth = 0;
    };
    QList<Note> notes;

public slots:
    uint Notify(const QString& app, uint, const QString&, const QString& summary,
                const QString& body, const QStringList&, const QVariantMap& hints, int) {
        Note note{app, summary, body, hints.value(QStringLiteral("urgency")).toInt()};
        if (hints.contains(QStringLiteral("image-data"))) {
            const auto image = hints.value(QStringLiteral("image-data")).value<QDBusArgument>();
            image.beginStructure();
            image >> note.imageWidth;
            image.endStructure(); // frees the structure's reader
        }
        notes << note;
        return static_cast<uint>(notes.size());
    }
};
