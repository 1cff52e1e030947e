#pragma once

#include "monitor/MonitorView.h"
#include "platform/Notice.h"
#include "tests/common/RecordingNotice.h"
#include "ui/DatabaseCommands.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <array>
#include <functional>
#include <mutex>
#include <ostream>

class QDialogButtonBox;
class QWidget;

namespace ChooserTest {

// The window as the engine sees it: the last value of every field, from any thread.
class RecordingView : public IMonitorView {
public:
    struct Captions {
        QString group;
        QString button;
        int count = 0;
    };

    void SetLabelColour(int slot, int rgb) override;
    void AddGraphSample(int slot, double value, double mark) override;
    void SetGraphLegend(int slot, const QStringList& texts) override;
    void SetGraphScale(int slot, double scale) override;
    void SetSlotText(int slot, SlotField field, const QString& text) override;
    void SetTrayIcon(int iconResource, const QString& tip) override;
    void ResetGraph(int slot) override;
    void SetSlotCaptions(int slot, const QString& group, const QString& button) override;
    QString ThresholdText(int slot) const override;
    QString IntervalText(int slot) const override;
    void SetIntervalText(int slot, const QString& text) override;
    void HideWindow() override {}
    void RunEmailSettingsPrompt() override {}

    QString Text(int slot, SlotField field) const;
    int Colour(int slot) const;
    int Samples(int slot) const;
    int GraphResets(int slot) const;
    Captions CaptionsOf(int slot) const;

private:
    static constexpr int kFields = 5;
    mutable std::mutex m_mutex;
    std::array<std::array<QString, kFields>, 4> m_texts;
    std::array<int, 4> m_colours{0x1000000, 0x1000000, 0x1000000, 0x1000000};
    std::array<int, 4> m_samples{};
    std::array<int, 4> m_graphResets{};
    std::array<Captions, 4> m_captions;
};

using ::RecordingNotice;

// The window's part of the commands: answers the Del question as told and keeps what was asked.
class ScriptedWindow : public IDatabaseCommandsWindow {
public:
    bool AskYesNo(const QString& text) override;
    void ApplyWindowLayout() override { ++layouts; }

    bool answer = false;
    QStringList questions;
    int layouts = 0;
};

// Runs the event loop until cond holds or timeoutMs have passed; true when it holds.
bool WaitUntil(const std::function<bool()>& cond, int timeoutMs);

// The dialog's OK and Cancel buttons.
QDialogButtonBox* ButtonsOf(QWidget* dialog);

} // namespace ChooserTest

// Readable QString values in gtest failure messages.
inline void PrintTo(const QString& text, std::ostream* os) {
    *os << '"' << text.toStdString() << '"';
}
