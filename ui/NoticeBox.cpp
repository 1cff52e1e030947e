#include "ui/NoticeBox.h"

#include <QCoreApplication>
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
