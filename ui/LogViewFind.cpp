// The log viewer's find bar: a find runs in slices on the UI thread, so that a long log never
// holds the event loop.
#include "ui/LogLinesView.h"
#include "ui/LogViewDlg.h"

#include <QCheckBox>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QTimer>

namespace {

// A find gives the event loop back after this long.
constexpr qint64 kFindSliceMs = 8;
constexpr qsizetype kFindBatch = 4096;

} // namespace

void CLogViewDlg::OpenFindBar() {
    m_findBar->show();
    m_findEdit->setFocus(Qt::ShortcutFocusReason);
    m_findEdit->selectAll();
}

void CLogViewDlg::StartFind(bool forward) {
    if (m_findEdit->text().isEmpty()) {
        OpenFindBar();
        return;
    }
    m_findBar->show();
    CancelFind();
    const LogLines& lines = m_showingTail ? m_tail : m_lines;
    // From the current line, or else from the edge of the screen the find moves away from.
    qsizetype from = m_view->CurrentLine();
    if (from < 0)
        from = forward ? m_view->TopLine() - 1 : m_view->TopLine() + m_view->PageRows();
    const Qt::CaseSensitivity cs =
        m_matchCase->isChecked() ? Qt::CaseSensitive : Qt::CaseInsensitive;
    m_find.emplace(m_findEdit->text(), cs, forward, from, lines.Count());
    m_findForward = forward;
    m_findStatus->clear();
    RunFind(m_findGeneration);
}

void CLogViewDlg::RunFind(quint64 generation) {
    if (generation != m_findGeneration || !m_find)
        return;
    const LogLines& lines = m_showingTail ? m_tail : m_lines;
    QElapsedTimer spent;
    spent.start();
    while (m_find->Current() == LogFind::State::Searching && spent.elapsed() < kFindSliceMs)
        m_find->Run(lines, kFindBatch);
    if (m_find->Current() == LogFind::State::Searching) {
        QTimer::singleShot(0, this, [this, generation] { RunFind(generation); });
        return;
    }
    const bool found = m_find->Current() == LogFind::State::Found;
    const qsizetype match = m_find->Match();
    CancelFind();
    if (found)
        m_view->SetCurrentLine(match, false, true);
    m_findStatus->setText(found ? QString() : QStringLiteral("Not found"));
    emit FindFinished(found);
}

void CLogViewDlg::CancelFind() {
    m_find.reset();
    ++m_findGeneration;
}

bool CLogViewDlg::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_findEdit && event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
            // Enter finds; it must not reach the dialog, whose default button closes it.
            StartFind(!(key->modifiers() & Qt::ShiftModifier));
            return true;
        }
        if (key->key() == Qt::Key_Escape) {
            CancelFind();
            m_findBar->hide();
            m_view->setFocus(Qt::OtherFocusReason);
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}
