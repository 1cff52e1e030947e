#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEvent>
#include <QImage>
#include <QObject>
#include <QThread>
#include <QWidget>

#include <atomic>
#include <functional>

// Helpers for the widget tests: render a control to an image, read its pixels, wait for the
// UI thread to catch up.
namespace PixelSupport {

// The control painted once into an image of its own size, on an opaque magenta ground so that a
// pixel the paint left untouched stands out.
inline QImage Render(QWidget& widget) {
    QImage image(widget.size(), QImage::Format_RGB32);
    image.fill(QColor(255, 0, 255));
    widget.render(&image);
    return image;
}

inline QRgb Rgb(int r, int g, int b) {
    return qRgb(r, g, b);
}

inline QRgb At(const QImage& image, int x, int y) {
    return image.pixel(x, y) | 0xFF000000u;
}

// Runs the UI thread's events until done() or the deadline; returns done().
inline bool WaitFor(const std::function<bool()>& done, int milliseconds = 10000) {
    QDeadlineTimer deadline(milliseconds);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        // Outside a running event loop, deleteLater() waits for an explicit request.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QThread::msleep(2);
    }
    return true;
}

// Counts the paint events a widget receives.
class PaintCounter : public QObject {
public:
    explicit PaintCounter(QWidget& widget) { widget.installEventFilter(this); }
    int Count() const { return m_count; }

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint)
            ++m_count;
        return false;
    }

private:
    std::atomic<int> m_count{0};
};

} // namespace PixelSupport
