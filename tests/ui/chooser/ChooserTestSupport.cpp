#include "tests/ui/chooser/ChooserTestSupport.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDialogButtonBox>
#include <QThread>
#include <QWidget>

namespace ChooserTest {

void RecordingView::SetLabelColour(int slot, int rgb) {
    std::lock_guard lock(m_mutex);
    m_colours[slot] = rgb;
}

void RecordingView::AddGraphSample(int slot, double, double) {
    std::lock_guard lock(m_mutex);
    ++m_samples[slot];
}

void RecordingView::SetGraphLegend(int, const QStringList&) {}

void RecordingView::SetGraphScale(int, double) {}

void RecordingView::SetSlotText(int slot, SlotField field, const QString& text) {
    std::lock_guard lock(m_mutex);
    m_texts[slot][static_cast<int>(field)] = text;
}

void RecordingView::SetTrayIcon(int, const QString&) {}

void RecordingView::ResetGraph(int slot) {
    std::lock_guard lock(m_mutex);
    ++m_graphResets[slot];
    m_samples[slot] = 0;
}

void RecordingView::SetSlotCaptions(int slot, const QString& group, const QString& button) {
    std::lock_guard lock(m_mutex);
    m_captions[slot].group = group;
    m_captions[slot].button = button;
    ++m_captions[slot].count;
}

QString RecordingView::ThresholdText(int) const {
    return QStringLiteral("10000");
}

QString RecordingView::IntervalText(int) const {
    return QStringLiteral("15");
}

void RecordingView::SetIntervalText(int, const QString&) {}

QString RecordingView::Text(int slot, SlotField field) const {
    std::lock_guard lock(m_mutex);
    return m_texts[slot][static_cast<int>(field)];
}

int RecordingView::Colour(int slot) const {
    std::lock_guard lock(m_mutex);
    return m_colours[slot];
}

int RecordingView::Samples(int slot) const {
    std::lock_guard lock(m_mutex);
    return m_samples[slot];
}

int RecordingView::GraphResets(int slot) const {
    std::lock_guard lock(m_mutex);
    return m_graphResets[slot];
}

RecordingView::Captions RecordingView::CaptionsOf(int slot) const {
    std::lock_guard lock(m_mutex);
    return m_captions[slot];
}

bool ScriptedWindow::AskYesNo(const QString& text) {
    questions.append(text);
    return answer;
}

bool WaitUntil(const std::function<bool()>& cond, int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    while (!cond()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
    return true;
}

QDialogButtonBox* ButtonsOf(QWidget* dialog) {
    return dialog->findChild<QDialogButtonBox*>();
}

} // namespace ChooserTest
