#pragma once

#include <QObject>
#include <QValidator>

class PollScheduler;
class QLineEdit;
class SlotMonitor;

// Decimal digits only, from bottom to top: a letter typed or pasted is refused in the box, so
// that no typo can turn into a number the poll would take. Empty is allowed while typing; a box
// left empty keeps the slot's value.
class CDigitsValidator : public QValidator {
public:
    CDigitsValidator(int bottom, int top, QObject* parent);
    State validate(QString& input, int& pos) const override;

private:
    const int m_bottom;
    const int m_top;
};

// The polling interval and "Warning over" boxes of one slot as a keyboard user works them. A
// typed interval applies when its box loses the focus or on Enter, as a click on the arrows
// does (stored, the slot's timer restarted); Up and Down step it like the arrows. A typed
// threshold is stored when its box loses the focus or on Enter. Enter in either box only
// confirms the number: it does not also poll "Database 1".
class CSlotNumberBoxes : public QObject {
    Q_OBJECT
public:
    CSlotNumberBoxes(int slot, QLineEdit* interval, int intervalMax, QLineEdit* threshold,
                     int thresholdMax, PollScheduler* scheduler, SlotMonitor* monitor,
                     QObject* parent);

    // One step of the arrows: the spin's proposed change, -1 for a minute more and +1 for one
    // less. An empty box counts as 5; the value stays within 1 and the box's maximum.
    void Step(int proposedDelta);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void ApplyTypedInterval();
    void StoreTypedThreshold();

    const int m_slot;
    QLineEdit* m_interval;
    const int m_intervalMax;
    QLineEdit* m_threshold;
    PollScheduler* m_scheduler;
    SlotMonitor* m_monitor;
};
