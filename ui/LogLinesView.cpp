#include "ui/LogLinesView.h"

#include "log/LogLines.h"

#include <QApplication>
#include <QClipboard>
#include <QFontDatabase>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>

#include <algorithm>
#include <climits>

namespace {

constexpr int kMargin = 4;
// Only so much of one line is decoded for painting: a file without line ends must not stall
// every paint. Copying still gives the whole line.
constexpr qsizetype kMaxPaintedBytes = 64 * 1024;

int ToInt(qsizetype value) {
    return static_cast<int>(std::clamp<qsizetype>(value, 0, INT_MAX));
}

} // namespace

LogLinesView::LogLinesView(QWidget* parent) : QAbstractScrollArea(parent) {
    setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    setFocusPolicy(Qt::StrongFocus);
    viewport()->setAutoFillBackground(true);
    viewport()->setBackgroundRole(QPalette::Base);
    viewport()->setCursor(Qt::IBeamCursor);
    verticalScrollBar()->setSingleStep(1);
}

void LogLinesView::SetLines(const LogLines* lines, qsizetype shift) {
    const int top = verticalScrollBar()->value();
    m_lines = lines;
    if (shift >= 0) {
        if (m_current >= 0) {
            m_current += shift;
            m_anchor += shift;
        }
        UpdateRanges(false);
        verticalScrollBar()->setValue(ToInt(top + shift));
    } else {
        m_current = m_anchor = -1;
        UpdateRanges(false);
        ScrollToEnd();
    }
    viewport()->update();
}

void LogLinesView::LinesAppended(bool toEnd) {
    UpdateRanges(false);
    if (toEnd)
        ScrollToEnd();
    viewport()->update();
}

qsizetype LogLinesView::Count() const {
    return m_lines ? m_lines->Count() : 0;
}

QString LogLinesView::LineText(qsizetype line) const {
    return line >= 0 && line < Count() ? m_lines->Text(line) : QString();
}

qsizetype LogLinesView::TopLine() const {
    return verticalScrollBar()->value();
}

qsizetype LogLinesView::PageRows() const {
    return std::max(1, viewport()->height() / RowHeight());
}

bool LogLinesView::AtEnd() const {
    return verticalScrollBar()->value() >= verticalScrollBar()->maximum();
}

void LogLinesView::ScrollToEnd() {
    verticalScrollBar()->setValue(verticalScrollBar()->maximum());
}

qsizetype LogLinesView::SelectionFirst() const {
    return std::min(m_anchor, m_current);
}

qsizetype LogLinesView::SelectionLast() const {
    return std::max(m_anchor, m_current);
}

void LogLinesView::SetCurrentLine(qsizetype line, bool extend, bool center) {
    if (Count() == 0)
        return;
    line = std::clamp<qsizetype>(line, 0, Count() - 1);
    if (!extend || m_anchor < 0)
        m_anchor = line;
    m_current = line;
    const qsizetype top = TopLine();
    const qsizetype rows = PageRows();
    if (line < top || line >= top + rows) {
        if (center)
            verticalScrollBar()->setValue(ToInt(line - rows / 2));
        else
            verticalScrollBar()->setValue(ToInt(line < top ? line : line - rows + 1));
    }
    viewport()->update();
}

QString LogLinesView::SelectedText() const {
    if (m_current < 0 || Count() == 0)
        return {};
    QString text;
    for (qsizetype line = SelectionFirst(); line <= SelectionLast() && line < Count(); ++line) {
        if (line > SelectionFirst())
            text += u'\n';
        text += m_lines->Text(line);
    }
    return text;
}

void LogLinesView::CopySelection() const {
    if (m_current >= 0)
        QApplication::clipboard()->setText(SelectedText());
}

int LogLinesView::RowHeight() const {
    return std::max(1, fontMetrics().lineSpacing());
}

int LogLinesView::CharWidth() const {
    return std::max(1, fontMetrics().horizontalAdvance(QLatin1Char('M')));
}

void LogLinesView::UpdateRanges(bool keepAtEnd) {
    const bool toEnd = keepAtEnd && AtEnd();
    QScrollBar* vertical = verticalScrollBar();
    const qsizetype rows = PageRows();
    vertical->setPageStep(ToInt(rows));
    vertical->setRange(0, ToInt(Count() - rows));
    if (toEnd)
        ScrollToEnd();
    const qsizetype longest = m_lines ? std::min(m_lines->LongestLine(), kMaxPaintedBytes) : 0;
    QScrollBar* horizontal = horizontalScrollBar();
    horizontal->setSingleStep(CharWidth());
    horizontal->setPageStep(viewport()->width());
    horizontal->setRange(0, ToInt(longest * CharWidth() + 2 * kMargin - viewport()->width()));
}

qsizetype LogLinesView::LineAt(int y) const {
    return TopLine() + std::max(0, y) / RowHeight();
}

void LogLinesView::paintEvent(QPaintEvent*) {
    QPainter painter(viewport());
    const int height = RowHeight();
    const int charWidth = CharWidth();
    const int scrolled = horizontalScrollBar()->value();
    // Only the characters in sight are drawn; a fixed-pitch font puts them in columns.
    const qsizetype firstChar = scrolled / charWidth;
    const qsizetype chars = viewport()->width() / charWidth + 2;
    const int ascent = fontMetrics().ascent();
    const QPalette& colours = palette();
    for (int row = 0; row * height < viewport()->height(); ++row) {
        const qsizetype line = TopLine() + row;
        if (line >= Count())
            break;
        const QRect rect(0, row * height, viewport()->width(), height);
        const bool selected = m_current >= 0 && line >= SelectionFirst() && line <= SelectionLast();
        if (selected)
            painter.fillRect(rect, colours.brush(QPalette::Highlight));
        painter.setPen(colours.color(selected ? QPalette::HighlightedText : QPalette::Text));
        const QByteArrayView bytes = m_lines->Line(line);
        const QString text =
            QString::fromUtf8(bytes.first(std::min(bytes.size(), kMaxPaintedBytes)));
        painter.drawText(ToInt(kMargin + firstChar * charWidth - scrolled), rect.y() + ascent,
                         text.mid(firstChar, chars));
    }
}

void LogLinesView::resizeEvent(QResizeEvent* event) {
    QAbstractScrollArea::resizeEvent(event);
    UpdateRanges(true);
}

void LogLinesView::keyPressEvent(QKeyEvent* event) {
    if (event->matches(QKeySequence::Copy)) {
        CopySelection();
        return;
    }
    if (event->matches(QKeySequence::SelectAll)) {
        SetCurrentLine(0);
        SetCurrentLine(Count() - 1, true);
        return;
    }
    const bool extend = event->modifiers() & Qt::ShiftModifier;
    const qsizetype from = m_current >= 0 ? m_current : TopLine();
    switch (event->key()) {
    case Qt::Key_Up:
        SetCurrentLine(m_current >= 0 ? from - 1 : from, extend);
        break;
    case Qt::Key_Down:
        SetCurrentLine(m_current >= 0 ? from + 1 : from, extend);
        break;
    case Qt::Key_PageUp:
        verticalScrollBar()->triggerAction(QAbstractSlider::SliderPageStepSub);
        if (m_current >= 0)
            SetCurrentLine(from - PageRows(), extend);
        break;
    case Qt::Key_PageDown:
        verticalScrollBar()->triggerAction(QAbstractSlider::SliderPageStepAdd);
        if (m_current >= 0)
            SetCurrentLine(from + PageRows(), extend);
        break;
    case Qt::Key_Home:
        if (m_current >= 0 || extend)
            SetCurrentLine(0, extend);
        verticalScrollBar()->setValue(0);
        break;
    case Qt::Key_End:
        if (m_current >= 0 || extend)
            SetCurrentLine(Count() - 1, extend);
        ScrollToEnd();
        break;
    case Qt::Key_Left:
        horizontalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepSub);
        break;
    case Qt::Key_Right:
        horizontalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepAdd);
        break;
    default:
        QAbstractScrollArea::keyPressEvent(event);
    }
}

void LogLinesView::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton)
        return QAbstractScrollArea::mousePressEvent(event);
    const qsizetype line = LineAt(event->position().toPoint().y());
    if (line < Count())
        SetCurrentLine(line, event->modifiers() & Qt::ShiftModifier);
}

void LogLinesView::mouseMoveEvent(QMouseEvent* event) {
    if (!(event->buttons() & Qt::LeftButton) || m_current < 0)
        return;
    // Dragging past the top or bottom edge scrolls a line at a time.
    const int y = event->position().toPoint().y();
    SetCurrentLine(y < 0 ? TopLine() - 1 : LineAt(y), true);
}

void LogLinesView::scrollContentsBy(int, int) {
    viewport()->update();
}
