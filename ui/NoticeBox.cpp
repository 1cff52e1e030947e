#include "ui/NoticeBox.h"

#include <QCoreApplication>
#include <QMessageBox>

CNoticeBox::CNoticeBox(QWidget* parent) : m_parent(parent) {}

void CNoticeBox::ShowNotice(const QString& text) {
    QPointer<QWidget> parent = m_parent;
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [parent, text] {
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
