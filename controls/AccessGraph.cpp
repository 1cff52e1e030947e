#include "controls/AccessGraph.h"

#include <QGuiApplication>
#include <QPainter>
#include <QScreen>
#include <QThread>

#include <algorithm>
#include <cmath>
#include <new>
#include <vector>

namespace {

// Used only when there is no screen to measure (no display at all).
constexpr int kFallbackCapacity = 1920;

int ScreenWidth() {
    const QScreen* screen = QGuiApplication::primaryScreen();
    const int width = screen ? screen->geometry().width() : 0;
    return width > 0 ? width : kFallbackCapacity;
}

const QColor kNormalBar(0, 252, 0);
const QColor kMarkedBar(253, 255, 48);

// Bar height in pixels, truncated towards zero and capped at the plot height. Out-of-range
// values are brought into range before the conversion so that it stays defined.
int BarHeight(int plot, double value, double scale) {
    const double raw = plot * value / scale;
    if (std::isnan(raw))
        return 0;
    if (raw >= plot)
        return plot;
    if (raw <= -plot - 2.0)
        return -plot - 2;
    return static_cast<int>(raw);
}

} // namespace

CAccessGraph::CAccessGraph(QWidget* parent, int capacity)
    : QLabel(parent), m_capacity(capacity == 0 ? ScreenWidth() : capacity) {
    // A negative capacity leaves the graph without rings: it then refuses every change and paints
    // as a plain label.
    if (m_capacity > 0) {
        m_values.reset(new (std::nothrow) double[m_capacity]());
        m_marks.reset(new (std::nothrow) double[m_capacity]());
        if (!m_values || !m_marks) {
            m_values.reset();
            m_marks.reset();
        }
    }
}

CAccessGraph::~CAccessGraph() = default;

bool CAccessGraph::AddSample(double value, double mark) {
    if (!IsReady())
        return false;
    {
        std::lock_guard guard(m_lock);
        m_newest = m_newest + 1 == m_capacity ? 0 : m_newest + 1;
        m_values[m_newest] = value;
        m_marks[m_newest] = mark;
    }
    RequestRepaint();
    return true;
}

bool CAccessGraph::SetLegendOnLeft(bool onLeft) {
    if (!IsReady())
        return false;
    {
        std::lock_guard guard(m_lock);
        m_legendOnLeft = onLeft;
    }
    RequestRepaint();
    return true;
}

bool CAccessGraph::SetLegendWidth(int pixels) {
    if (!IsReady())
        return false;
    {
        std::lock_guard guard(m_lock);
        m_legendWidth = pixels;
    }
    RequestRepaint();
    return true;
}

bool CAccessGraph::SetLegendLineCount(int count) {
    if (!IsReady())
        return false;
    {
        std::lock_guard guard(m_lock);
        // There are only ten texts to draw.
        m_legendLines = std::clamp(count, 0, kLegendTexts);
    }
    RequestRepaint();
    return true;
}

bool CAccessGraph::SetLeftToRight(bool leftToRight) {
    if (!IsReady())
        return false;
    {
        std::lock_guard guard(m_lock);
        m_leftToRight = leftToRight;
    }
    RequestRepaint();
    return true;
}

bool CAccessGraph::SetScale(double scale) {
    if (!IsReady())
        return false;
    {
        std::lock_guard guard(m_lock);
        m_scale = scale;
    }
    RequestRepaint();
    return true;
}

void CAccessGraph::ClearSamples() {
    if (!IsReady())
        return;
    std::lock_guard guard(m_lock);
    std::fill_n(m_values.get(), m_capacity, 0.0);
    std::fill_n(m_marks.get(), m_capacity, 0.0);
}

void CAccessGraph::SetLegendText(int index, const QString& text) {
    if (index < 0 || index >= kLegendTexts)
        return;
    std::lock_guard guard(m_lock);
    m_legend[index] = text;
}

QString CAccessGraph::LegendText(int index) const {
    if (index < 0 || index >= kLegendTexts)
        return QString();
    std::lock_guard guard(m_lock);
    return m_legend[index];
}

int CAccessGraph::NewestIndex() const {
    std::lock_guard guard(m_lock);
    return m_newest;
}

double CAccessGraph::SampleValue(int index) const {
    if (!IsReady() || index < 0 || index >= m_capacity)
        return 0.0;
    std::lock_guard guard(m_lock);
    return m_values[index];
}

double CAccessGraph::SampleMark(int index) const {
    if (!IsReady() || index < 0 || index >= m_capacity)
        return 0.0;
    std::lock_guard guard(m_lock);
    return m_marks[index];
}

double CAccessGraph::Scale() const {
    std::lock_guard guard(m_lock);
    return m_scale;
}

int CAccessGraph::LegendLineCount() const {
    std::lock_guard guard(m_lock);
    return m_legendLines;
}

int CAccessGraph::LegendWidth() const {
    std::lock_guard guard(m_lock);
    return m_legendWidth;
}

bool CAccessGraph::LegendOnLeft() const {
    std::lock_guard guard(m_lock);
    return m_legendOnLeft;
}

bool CAccessGraph::LeftToRight() const {
    std::lock_guard guard(m_lock);
    return m_leftToRight;
}

void CAccessGraph::RequestRepaint() {
    if (QThread::currentThread() == thread()) {
        update();
        return;
    }
    // Widgets repaint on the UI thread only. One queued request at a time is enough: update()
    // coalesces, and a poll thread must not flood the event queue.
    if (m_repaintPosted.exchange(true))
        return;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_repaintPosted = false;
            update();
        },
        Qt::QueuedConnection);
}

void CAccessGraph::paintEvent(QPaintEvent* event) {
    if (!IsReady()) {
        QLabel::paintEvent(event);
        return;
    }

    // Edges are exclusive on the right and at the bottom; the client area starts at (0, 0).
    const int width = this->width();
    const int height = this->height();

    struct Bar {
        int left;
        double value;
        double mark;
    };
    QString legend[kLegendTexts];
    std::vector<Bar> bars;
    int lines;
    int legendWidth;
    bool legendOnLeft;
    double scale;
    {
        // Copy what this paint needs and draw without the lock, so that a poll thread's
        // AddSample waits for a copy, not for text rendering.
        std::lock_guard guard(m_lock);
        std::copy(std::begin(m_legend), std::end(m_legend), std::begin(legend));
        lines = m_legendLines;
        legendWidth = m_legendWidth;
        legendOnLeft = m_legendOnLeft;
        scale = m_scale;
        if (scale != 0.0) {
            const int areaLeft = legendOnLeft ? legendWidth : 0;
            const int areaRight = legendOnLeft ? width : width - legendWidth;
            const bool leftToRight = m_leftToRight;
            int left = leftToRight ? areaLeft : areaRight - 2;
            int k = m_newest;
            // The first bar is drawn even when the area is narrower than a bar.
            do {
                bars.push_back({left, m_values[k], m_marks[k]});
                left += leftToRight ? 3 : -3;
                k = k == 0 ? m_capacity - 1 : k - 1;
            } while (leftToRight ? left <= areaRight - 3 : left >= areaLeft);
        }
    }

    QPainter painter(this);
    painter.fillRect(QRect(0, 0, width, height), Qt::black);

    const int legendLeft = legendOnLeft ? 0 : width - legendWidth;
    if (legendWidth > 0)
        painter.fillRect(QRect(legendLeft, 0, legendWidth, height), Qt::black);

    painter.setFont(font());
    painter.setPen(Qt::white);
    painter.setBackgroundMode(Qt::TransparentMode);
    const int band = lines > 0 ? height / lines : 0;
    if (legendWidth > 0 && band > 0) {
        // Word-wrapped and centred, from the top of each band; what does not fit is clipped.
        for (int i = 0; i < lines; ++i)
            painter.drawText(QRect(legendLeft, i * band, legendWidth, band),
                             Qt::AlignHCenter | Qt::AlignTop | Qt::TextWordWrap, legend[i]);
    }

    if (scale == 0.0)
        return;

    const int plot = height - 2;
    for (const Bar& bar : bars) {
        const int b = BarHeight(plot, bar.value, scale);
        if (height - b > 0)
            painter.fillRect(QRect(bar.left, 0, 2, height - b), Qt::black);
        if (b > 0)
            painter.fillRect(QRect(bar.left, height - b, 2, b),
                             bar.mark == 0.0 ? kNormalBar : kMarkedBar);
    }
}
