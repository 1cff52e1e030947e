#include "ui/CommandActions.h"

#include <QAbstractButton>
#include <QAction>
#include <QMenu>

CCommandActions::CCommandActions(std::function<void(int)> run, QObject* parent)
    : QObject(parent), m_run(std::move(run)) {}

QAction* CCommandActions::Make(const QString& text, int id, bool checkable) {
    auto* action = new QAction(text, this);
    action->setProperty("controlId", id);
    action->setCheckable(checkable);
    connect(action, &QAction::triggered, this, [this, id] { m_run(id); });
    if (!m_actions.contains(id))
        m_actions.insert(id, action);
    m_all[id].append(action);
    return action;
}

QAction* CCommandActions::Add(QMenu* menu, const QString& text, int id, bool checkable) {
    QAction* action = Make(text, id, checkable);
    menu->addAction(action);
    return action;
}

QAction* CCommandActions::Add(QWidget* widget, const QString& text, int id) {
    QAction* action = Make(text, id, false);
    widget->addAction(action);
    return action;
}

QAction* CCommandActions::Bind(QAbstractButton* button, int id) {
    QAction* action = Action(id);
    if (!action)
        action = Make(button->text(), id, false);
    action->setEnabled(button->isEnabled());
    connect(button, &QAbstractButton::clicked, action, [action] { action->trigger(); });
    connect(action, &QAction::enabledChanged, button, &QWidget::setEnabled);
    return action;
}

void CCommandActions::SetEnabled(int id, bool enabled) {
    for (QAction* action : m_all.value(id))
        action->setEnabled(enabled);
}
