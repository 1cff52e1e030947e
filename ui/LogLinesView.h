#pragma once

#include <QAbstractScrollArea>
#include <QString>

class LogLines;

// A read-only view of a log's lines that paints only the rows on screen, so that a log of
// millions of lines costs no more than a screenful: one row per line, the vertical scroll bar
// counting lines. Lines can be selected with the mouse or the keyboard (Shift extends) and copied
// as text, one line per row, without their line ends.
class LogLinesView : public QAbstractScrollArea {
    Q_OBJECT
public:
    explicit LogLinesView(QWidget* parent = nullptr);

    // Shows other lines (kept by the caller, which reports every change). shift >= 0: the same
    // log, with line i now at i + shift (the selection and the position move along); otherwise
    // different content, shown from its end with nothing selected.
    void SetLines(const LogLines* lines, qsizetype shift = -1);
    // Lines were appended: the position stays, or moves to the new end when `toEnd`.
    void LinesAppended(bool toEnd);

    qsizetype Count() const;
    QString LineText(qsizetype line) const;
    // The first line on screen and how many whole rows fit.
    qsizetype TopLine() const;
    qsizetype PageRows() const;
    bool AtEnd() const;
    void ScrollToEnd();

    // The line the keyboard works from (-1: none) and the selected range (inclusive).
    qsizetype CurrentLine() const { return m_current; }
    qsizetype SelectionFirst() const;
    qsizetype SelectionLast() const;
    // Makes `line` current and selects it (or the range from the anchor), scrolled into view;
    // `center` puts a line that was off screen in the middle, where its neighbours show too.
    void SetCurrentLine(qsizetype line, bool extend = false, bool center = false);
    QString SelectedText() const;
    void CopySelection() const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;

private:
    void UpdateRanges(bool keepAtEnd);
    qsizetype LineAt(int y) const;
    int RowHeight() const;
    int CharWidth() const;

    const LogLines* m_lines = nullptr;
    qsizetype m_current = -1;
    qsizetype m_anchor = -1;
};
