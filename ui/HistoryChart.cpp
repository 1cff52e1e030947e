#include "ui/HistoryChart.h"

#include <QDateTime>
#include <QPaintEvent>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>

namespace {

// 1, 2 or 5 times a power of ten, at or above value.
double RoundUp(double value) {
    if (value <= 0)
        return 1;
    const double power = std::pow(10.0, std::floor(std::log10(value)));
    for (const double m : {1.0, 2.0, 5.0, 10.0})
        if (m * power >= value * (1 - 1e-9))
            return m * power;
    return 10 * power;
}

QString MsText(double ms) {
    if (ms >= 1000)
        return QString::number(ms / 1000, 'g', 3) + QStringLiteral(" s");
    return QString::number(ms, 'g', 4) + QStringLiteral(" ms");
}

struct Palette {
    QColor band, mean, down, grid, text;
};

Palette Colours(const QPalette& p) {
    const bool dark = p.color(QPalette::Base).lightness() < 128;
    Palette c;
    c.mean = dark ? QColor(110, 185, 255) : QColor(20, 90, 190);
    c.band = c.mean;
    c.band.setAlpha(dark ? 110 : 80);
    c.down = dark ? QColor(255, 70, 70, 110) : QColor(230, 30, 30, 70);
    c.text = p.color(QPalette::Text);
    c.grid = c.text;
    c.grid.setAlpha(50);
    return c;
}

} // namespace

HistoryChart::HistoryChart(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
}

QSize HistoryChart::sizeHint() const {
    return {fontMetrics().horizontalAdvance(QLatin1Char('0')) * 80, fontMetrics().height() * 14};
}

QSize HistoryChart::minimumSizeHint() const {
    return {fontMetrics().horizontalAdvance(QLatin1Char('0')) * 40, fontMetrics().height() * 8};
}

void HistoryChart::SetSeries(std::vector<SeriesBucket> buckets, Axis axis,
                             std::vector<std::pair<qint64, qint64>> spells) {
    m_buckets = std::move(buckets);
    m_spells = std::move(spells);
    m_axis = axis;
    double slowest = 0;
    for (const SeriesBucket& b : m_buckets)
        if (b.summary.Answered() > 0)
            slowest = std::max(slowest, b.summary.maxMs);
    m_top = RoundUp(slowest > 0 ? slowest : 100);
    update();
}

std::vector<qint64> HistoryChart::TimeTicks() const {
    std::vector<qint64> ticks;
    if (m_buckets.empty())
        return ticks;
    const qint64 from = m_buckets.front().startMs;
    const qint64 to = m_buckets.back().endMs;
    QDateTime t = QDateTime::fromMSecsSinceEpoch(from);
    // The first whole local hour, day or month at or after the range's start.
    switch (m_axis) {
    case Axis::Hours:
        t = QDateTime(t.date(), QTime(t.time().hour(), 0));
        break;
    case Axis::Days:
    case Axis::Weeks:
        t = QDateTime(t.date(), QTime(0, 0));
        break;
    case Axis::Months:
        t = QDateTime(QDate(t.date().year(), t.date().month(), 1), QTime(0, 0));
        break;
    }
    for (; t.toMSecsSinceEpoch() <= to;) {
        const qint64 ms = t.toMSecsSinceEpoch();
        bool wanted = ms >= from;
        switch (m_axis) {
        case Axis::Hours:
            wanted = wanted && t.time().hour() % 4 == 0;
            t = t.addSecs(3600);
            break;
        case Axis::Days:
            t = t.addDays(1);
            break;
        case Axis::Weeks:
            wanted = wanted && t.date().dayOfWeek() == 1;
            t = t.addDays(1);
            break;
        case Axis::Months:
            t = t.addMonths(1);
            break;
        }
        if (wanted)
            ticks.push_back(ms);
    }
    return ticks;
}

QString HistoryChart::TickText(qint64 utcMs) const {
    const QDateTime t = QDateTime::fromMSecsSinceEpoch(utcMs);
    switch (m_axis) {
    case Axis::Hours:
        return t.time().hour() == 0 ? t.toString(QStringLiteral("d MMM")) : t.toString("HH:mm");
    case Axis::Days:
        return t.toString(QStringLiteral("ddd d"));
    case Axis::Weeks:
        return t.toString(QStringLiteral("d MMM"));
    case Axis::Months:
        return t.date().month() == 1 ? t.toString(QStringLiteral("yyyy")) : t.toString("MMM");
    }
    return {};
}

void HistoryChart::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), palette().color(QPalette::Base));
    p.setRenderHint(QPainter::Antialiasing);
    const Palette c = Colours(palette());
    const QFontMetrics fm = fontMetrics();
    const int pad = fm.height() / 2;
    const int left = fm.horizontalAdvance(MsText(m_top * 0.8)) + pad * 2;
    const QRectF plot(left, fm.height() * 1.5 + pad, width() - left - pad * 2,
                      height() - fm.height() * 3.5 - pad);

    // Legend along the top.
    {
        qreal x = plot.left();
        const qreal y = pad;
        const qreal swatch = fm.height() * 0.8;
        const auto item = [&](const QColor& colour, const QString& text, bool line) {
            if (line)
                p.fillRect(QRectF(x, y + swatch / 2 - 1, swatch, 2), colour);
            else
                p.fillRect(QRectF(x, y, swatch, swatch), colour);
            p.setPen(c.text);
            p.drawText(QPointF(x + swatch + pad / 2, y + fm.ascent() - 1), text);
            x += swatch + pad + fm.horizontalAdvance(text) + pad * 2;
        };
        item(c.band, QStringLiteral("fastest to slowest"), false);
        item(c.mean, QStringLiteral("mean"), true);
        item(c.down, QStringLiteral("unreachable"), false);
    }

    // Scale and grid.
    const double step = RoundUp(m_top / 5);
    p.setPen(c.grid);
    for (double v = 0; v <= m_top + step / 2; v += step) {
        const qreal y = plot.bottom() - plot.height() * v / m_top;
        p.setPen(c.grid);
        p.drawLine(QPointF(plot.left(), y), QPointF(plot.right(), y));
        p.setPen(c.text);
        p.drawText(QRectF(0, y - fm.height() / 2.0, left - pad, fm.height()),
                   Qt::AlignRight | Qt::AlignVCenter, MsText(v));
    }

    if (m_buckets.empty() || plot.width() <= 0 || plot.height() <= 0) {
        p.setPen(c.text);
        p.drawText(plot, Qt::AlignCenter, QStringLiteral("No polls recorded in this range"));
        emit painted();
        return;
    }
    const double from = double(m_buckets.front().startMs);
    const double span = double(m_buckets.back().endMs) - from;
    const auto xAt = [&](qint64 t) {
        return plot.left() + plot.width() * (double(t) - from) / span;
    };
    const auto yAt = [&](double ms) {
        return plot.bottom() - plot.height() * std::min(ms, m_top) / m_top;
    };

    // Time axis.
    for (const qint64 t : TimeTicks()) {
        const qreal x = xAt(t);
        p.setPen(c.grid);
        p.drawLine(QPointF(x, plot.top()), QPointF(x, plot.bottom() + pad / 2));
        p.setPen(c.text);
        const QString text = TickText(t);
        const qreal w = fm.horizontalAdvance(text);
        p.drawText(
            QPointF(std::clamp(x - w / 2, 0.0, width() - w), plot.bottom() + pad + fm.ascent()),
            text);
    }

    // Outages and buckets with unreachable polls, filled as one shape so that overlaps do not
    // darken.
    const qint64 rangeEnd = m_buckets.back().endMs;
    QPainterPath down;
    down.setFillRule(Qt::WindingFill);
    const auto markDown = [&](qint64 start, qint64 end) {
        const qreal x0 = xAt(std::max(start, m_buckets.front().startMs));
        const qreal x1 = xAt(std::min(end, rangeEnd));
        if (x1 >= x0)
            down.addRect(QRectF(x0, plot.top(), std::max<qreal>(x1 - x0, 2), plot.height()));
    };
    for (const auto& [start, end] : m_spells)
        markDown(start, end);
    for (const SeriesBucket& b : m_buckets)
        if (b.summary.unreachable > 0)
            markDown(b.startMs, b.endMs);
    p.fillPath(down, c.down);

    bool any = false;
    QPainterPath mean;
    std::vector<QPointF> dots; // a mean with no neighbour would draw nothing as a line
    const bool dotted = m_buckets.size() <= 100;
    // The mean line goes on over buckets without polls (polls sparser than buckets), but not
    // across an unreachable spell or a gap of more than a twelfth of the range.
    const qint64 longGap = (rangeEnd - m_buckets.front().startMs) / 12;
    bool penDown = false;
    bool downSince = false;
    qint64 lastEnd = 0;
    for (const SeriesBucket& b : m_buckets) {
        const qreal x0 = xAt(b.startMs);
        const qreal x1 = xAt(b.endMs);
        const qreal w = std::max<qreal>(x1 - x0, 1);
        const PollSummary& s = b.summary;
        downSince = downSince || s.unreachable > 0;
        if (s.Answered() == 0)
            continue;
        any = true;
        const qreal barW = std::max<qreal>(w * 0.7, 1);
        const qreal top = yAt(s.maxMs);
        const qreal bottom = std::max(yAt(s.minMs), top + 1);
        p.fillRect(QRectF(x0 + (w - barW) / 2, top, barW, bottom - top), c.band);
        const QPointF point((x0 + x1) / 2, yAt(s.MeanMs()));
        if (penDown && !downSince && b.startMs - lastEnd <= longGap)
            mean.lineTo(point);
        else
            mean.moveTo(point);
        penDown = true;
        downSince = false;
        lastEnd = b.endMs;
        if (dotted)
            dots.push_back(point);
    }
    p.setPen(QPen(c.mean, 1.5));
    p.setBrush(Qt::NoBrush);
    p.drawPath(mean);
    p.setBrush(c.mean);
    for (const QPointF& dot : dots)
        p.drawEllipse(dot, 2.0, 2.0);
    p.setBrush(Qt::NoBrush);
    p.setPen(c.grid);
    p.drawRect(plot);
    if (!any) {
        p.setPen(c.text);
        p.drawText(plot, Qt::AlignCenter, QStringLiteral("No answers in this range"));
    }
    emit painted();
}
