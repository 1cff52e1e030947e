#pragma once

#include <QHash>
#include <QObject>
#include <QString>

#include <functional>

class QAbstractButton;
class QAction;
class QMenu;
class QWidget;

// The window's commands as actions, shared by the menu bar, the tray menu and the slot buttons.
// Each action carries its command id as the property "controlId" and, when triggered, runs the
// one handler given with that id; a button bound to a command follows its action's enabled state.
class CCommandActions : public QObject {
    Q_OBJECT
public:
    explicit CCommandActions(std::function<void(int id)> run, QObject* parent = nullptr);

    // A new action for id at the end of menu. The first action made for an id is the one
    // Action(id) finds; a later one (the tray's own text for a command) runs the same command.
    QAction* Add(QMenu* menu, const QString& text, int id, bool checkable = false);
    // The same for a widget's own actions (its right-click menu).
    QAction* Add(QWidget* widget, const QString& text, int id);
    // A click on button triggers the action of id (made here when there is none yet), and the
    // button is enabled while that action is.
    QAction* Bind(QAbstractButton* button, int id);

    QAction* Action(int id) const { return m_actions.value(id, nullptr); }
    // Enables or disables command id wherever it appears.
    void SetEnabled(int id, bool enabled);

private:
    QAction* Make(const QString& text, int id, bool checkable);

    std::function<void(int)> m_run;
    QHash<int, QAction*> m_actions;
    QHash<int, QList<QAction*>> m_all; // every action of an id, for SetEnabled
};
