#include "ui/NoticeBox.h"

#include <QApplication>
#include <QMessageBox>

CNoticeBox::CNoticeBox(QWidget* parent) : m_parent(parent), m_owned(parent != nullptr) {}

void CNoticeBox::ShowNotice(const QString& text) {
    QPointer<QWidget> parent = m_parent;
    const bool owned = m_owned;
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [parent, owned, text] {
            // The window has ended: a box now would outlive it with nobody to close it.
            if (owned && parent.isNull())
                return;
            // A failure repeated at every poll of a long outage would stack one box per poll:
            // while the same text is still waiting for OK, it is brought forward instead.
            const QList<QWidget*> candidates =
                parent ? parent->findChildren<QWidget*>(QLatin1String(kObjectName))
                       : QApplication::topLevelWidgets();
            for (QWidget* widget : candidates) {
                auto* open = qobject_cast<QMessageBox*>(widget);
                if (open && open->objectName() == QLatin1String(kObjectName) && open->isVisible() &&
                    open->text() == text) {
                    open->raise();
                    return;
                }
            }
            auto* box = new QMessageBox(QMessageBox::NoIcon, QStringLiteral("Trellion"), text,
                                        QMessageBox::Ok, parent.data());
            box->setAttribute(Qt::WA_DeleteOnClose);
            box->setObjectName(QLatin1String(kObjectName));
            // Not modal: ticks and the tray stay live while the box waits.
            box->setModal(false);
            box->show();
        },
        Qt::QueuedConnection);
}
