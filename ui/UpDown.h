#pragma once

#include <QWidget>

class QToolButton;

// A bare up-down arrow pair beside an edit box. It keeps no value of its own: each click only
// proposes a change of position, -1 for the up arrow and +1 for the down arrow, and the owner
// decides what the edit box shows.
class CUpDown : public QWidget {
    Q_OBJECT
public:
    explicit CUpDown(QWidget* parent = nullptr);

    QToolButton* UpButton() const { return m_up; }
    QToolButton* DownButton() const { return m_down; }

signals:
    void deltaPos(int delta);

private:
    QToolButton* m_up;
    QToolButton* m_down;
};
