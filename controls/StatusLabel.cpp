#include "controls/StatusLabel.h"

#include <QApplication>
#include <QPalette>
#include <QThread>

CStatusLabel::CStatusLabel(QWidget* parent) : QLabel(parent) {
    const QPalette system = QApplication::palette(this);
    m_text = system.color(QPalette::ButtonText);
    m_background = system.color(QPalette::Button);
    QPalette own = palette();
    own.setColor(QPalette::WindowText, m_text);
    own.setColor(QPalette::Window, m_background);
    setPalette(own);
    setAutoFillBackground(true);
}

CStatusLabel::~CStatusLabel() = default;

void CStatusLabel::SetBackgroundColour(int colour) {
    {
        std::lock_guard guard(m_lock);
        m_pending = colour;
    }
    if (QThread::currentThread() == thread()) {
        ApplyPendingColour();
        return;
    }
    // The palette belongs to the UI thread. The queued call applies whatever was set last, so a
    // reset made on the UI thread in the meantime is not undone by an older poll's colour, and
    // one queued call at a time is enough.
    if (m_applyPosted.exchange(true))
        return;
    QMetaObject::invokeMethod(this, &CStatusLabel::ApplyPendingColour, Qt::QueuedConnection);
}

void CStatusLabel::ApplyPendingColour() {
    m_applyPosted = false; // before reading: a colour set from now on posts again
    int colour;
    {
        std::lock_guard guard(m_lock);
        colour = m_pending;
    }
    if (colour == kDefaultColour) {
        const QPalette system = QApplication::palette(this);
        m_background = system.color(QPalette::Button);
        m_text = system.color(QPalette::ButtonText);
    } else {
        // The status faces are bright whatever the theme: a dark theme's light text would
        // vanish on them.
        m_background = QColor::fromRgb(static_cast<QRgb>(colour) & 0xFFFFFFu);
        m_text = Qt::black;
    }
    QPalette own = palette();
    own.setColor(QPalette::WindowText, m_text);
    own.setColor(QPalette::Window, m_background);
    setPalette(own);
    update();
}
