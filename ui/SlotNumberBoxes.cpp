#include "ui/SlotNumberBoxes.h"

#include "monitor/DatabaseSlot.h"
#include "monitor/PollScheduler.h"
#include "monitor/SlotMonitor.h"
#include "monitor/SlotStatus.h"
#include "settings/SettingKeys.h"

#include <QEvent>
#include <QKeyEvent>
#include <QLineEdit>

#include <algorithm>

CDigitsValidator::CDigitsValidator(int bottom, int top, QObject* parent)
    : QValidator(parent), m_bottom(bottom), m_top(top) {}

QValidator::State CDigitsValidator::validate(QString& input, int&) const {
    if (input.isEmpty())
        return Intermediate;
    for (const QChar c : std::as_const(input))
        if (c < u'0' || c > u'9')
            return Invalid;
    bool ok = false;
    const qint64 value = input.toLongLong(&ok);
    if (!ok || value > m_top || (value == 0 && m_bottom > 0))
        return Invalid;
    return value < m_bottom ? Intermediate : Acceptable;
}

CSlotNumberBoxes::CSlotNumberBoxes(int slot, QLineEdit* interval, int intervalMax,
                                   QLineEdit* threshold, int thresholdMax, PollScheduler* scheduler,
                                   SlotMonitor* monitor, QObject* parent)
    : QObject(parent), m_slot(slot), m_interval(interval), m_intervalMax(intervalMax),
      m_threshold(threshold), m_scheduler(scheduler), m_monitor(monitor) {
    m_interval->setValidator(new CDigitsValidator(1, intervalMax, m_interval));
    // A threshold of 0 made every poll a warning: refused like a letter.
    m_threshold->setValidator(new CDigitsValidator(1, thresholdMax, m_threshold));
    m_interval->installEventFilter(this);
    m_threshold->installEventFilter(this);
}

void CSlotNumberBoxes::Step(int proposedDelta) {
    QString text = m_interval->text();
    if (text.isEmpty())
        text = QStringLiteral("5");
    const qint64 value =
        std::clamp<qint64>(static_cast<qint64>(LeadingInt(text)) - proposedDelta, 1, m_intervalMax);
    const int minutes = static_cast<int>(value);
    m_interval->setText(QString::number(minutes));
    m_scheduler->SetIntervalNow(m_slot, minutes);
}

void CSlotNumberBoxes::ApplyTypedInterval() {
    // An empty box keeps the slot's interval; the arrows count it as 5.
    const QString text = m_interval->text();
    if (text.isEmpty())
        return;
    const int minutes = std::clamp(LeadingInt(text), 1, m_intervalMax);
    if (text != QString::number(minutes))
        m_interval->setText(QString::number(minutes));
    // Tabbing through the box must not restart the count each time.
    if (minutes != m_monitor->Interval(m_slot))
        m_scheduler->SetIntervalNow(m_slot, minutes);
}

void CSlotNumberBoxes::StoreTypedThreshold() {
    const QString text = m_threshold->text();
    if (text.isEmpty())
        return;
    const int ms = LeadingInt(text);
    if (ms < 1 || ms == m_monitor->Threshold(m_slot))
        return;
    m_monitor->SetThreshold(m_slot, ms);
    Config::Write(Config::kWarn[m_slot], ms);
}

bool CSlotNumberBoxes::eventFilter(QObject* watched, QEvent* event) {
    const bool interval = watched == m_interval;
    if (!interval && watched != m_threshold)
        return QObject::eventFilter(watched, event);
    if (event->type() == QEvent::FocusOut) {
        interval ? ApplyTypedInterval() : StoreTypedThreshold();
    } else if (event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        const bool plain =
            key->modifiers() == Qt::NoModifier || key->modifiers() == Qt::KeypadModifier;
        if (plain && (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter)) {
            interval ? ApplyTypedInterval() : StoreTypedThreshold();
            return true;
        }
        if (interval && plain && (key->key() == Qt::Key_Up || key->key() == Qt::Key_Down)) {
            Step(key->key() == Qt::Key_Up ? -1 : +1);
            return true;
        }
    }
    return QObject::eventFilter(watched, event);
}
