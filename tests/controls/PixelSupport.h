#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QImage>
#include <QThread>
#include <QWidget>

#include <functional>

namespace PixelSupport {

// The control painted on an opaque magenta ground, so that a pixel left untouched stands out.
inline QImage Render(QWidget& widget) {
    QImage image(widget.size(), QImage::Format_RGB32);
    image.fill(QColor(255, 0, 255));
    widget.render(&image);
    return image;
}

inline QRgb At(const QImage& image, int x, int y) {
    return image.pixel(x, y) | 0xFF000000u;
}

// Runs the UI thread's events, deferred deletes too, until done() or the deadline.
inline bool WaitFor(const std::function<bool()>& done, int milliseconds = 10000) {
    for (QDeadlineTimer deadline(milliseconds); !done(); QThread::msleep(2)) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    return true;
}

} // namespace PixelSupport
