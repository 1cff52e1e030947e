#include "ui/NoticeBox.h"

#include <QApplication>
#include <QMessageBox>

#include <mutex>

// The UI thread's end of the queue.
class NoticePump : public QObject {
    Q_OBJECT
public:
    NoticePump(QWidget* parent, bool owned)
        : QObject(QCoreApplication::instance()), m_parent(parent), m_owned(owned) {}

    // UI thread, like Show.
    void SetOwner(QWidget* owner) {
        m_parent = owner;
        m_owned = owner != nullptr;
    }

    // Any thread.
    void Push(const QString& text) {
        bool wake;
        {
            std::lock_guard lock(m_mutex);
            wake = m_texts.isEmpty();
            m_texts << text;
        }
        if (wake)
            QMetaObject::invokeMethod(this, "Drain", Qt::QueuedConnection);
    }

    Q_INVOKABLE void Drain() {
        QStringList texts;
        {
            std::lock_guard lock(m_mutex);
            texts.swap(m_texts);
        }
        for (const QString& text : texts)
            Show(text);
    }

private:
    void Show(const QString& text) {
        // The window has ended: a box now would outlive it with nobody to close it.
        if (m_owned && m_parent.isNull())
            return;
        // A failure repeated at every poll of a long outage would stack one box per poll:
        // while the same text is still waiting for OK, it is brought forward instead.
        const QList<QWidget*> candidates =
            m_parent ? m_parent->findChildren<QWidget*>(QLatin1String(CNoticeBox::kObjectName))
                     : QApplication::topLevelWidgets();
        for (QWidget* widget : candidates) {
            auto* open = qobject_cast<QMessageBox*>(widget);
            if (open && open->objectName() == QLatin1String(CNoticeBox::kObjectName) &&
                open->isVisible() && open->text() == text) {
                open->raise();
                return;
            }
        }
        auto* box = new QMessageBox(QMessageBox::NoIcon, QStringLiteral("Trellion"), text,
                                    QMessageBox::Ok, m_parent.data());
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->setObjectName(QLatin1String(CNoticeBox::kObjectName));
        // Not modal: ticks and the tray stay live while the box waits.
        box->setModal(false);
        box->show();
    }

    QPointer<QWidget> m_parent;
    bool m_owned;
    std::mutex m_mutex;
    QStringList m_texts;
};

CNoticeBox::CNoticeBox(QWidget* parent) : m_pump(new NoticePump(parent, parent != nullptr)) {}

CNoticeBox::~CNoticeBox() {
    m_pump->deleteLater();
}

void CNoticeBox::SetOwner(QWidget* owner) {
    m_pump->SetOwner(owner);
}

void CNoticeBox::ShowNotice(const QString& text) {
    m_pump->Push(text);
}

#include "NoticeBox.moc"
