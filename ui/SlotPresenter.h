#pragma once

#include "monitor/PollOutcome.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <functional>
#include <optional>

class MonitorSignals;
class SlotMonitor;

// The slots' widgets and the tray as the presenter drives them; called on the UI thread only.
class ISlotSurface {
public:
    virtual ~ISlotSurface() = default;
    // The Last access label's background, 0xRRGGBB or SlotColour::Default.
    virtual void SetLabelColour(int slot, int rgb) = 0;
    // A bar of the graph (value in ms; mark 1.0 for a slow probe, else 0.0).
    virtual void AddGraphSample(int slot, double value, double mark) = 0;
    // The graph's legend texts 0 to 4 (top band first).
    virtual void SetGraphLegend(int slot, const QStringList& texts) = 0;
    // The value that fills the full bar height.
    virtual void SetGraphScale(int slot, double scale) = 0;
    virtual void SetSlotText(int slot, SlotField field, const QString& text) = 0;
    // The tray's icon (resource 128, 131..134, 138 or 142) and tip.
    virtual void SetTrayIcon(int iconResource, const QString& tip) = 0;
    // The graph's reset and start-up configuration: no samples, legend 50 wide with five lines
    // of "n/a", drawn right to left with the legend on the right, redrawn at once.
    virtual void ResetGraph(int slot) = 0;
    // The slot's tip: a health query's connect and query times and its verdict, then the
    // database's availability line, each when there is one. A surface without tips ignores it.
    virtual void SetSlotTip(int /*slot*/, const QString& /*tip*/) {}
};

// Turns the engine's events into what the window shows, on the UI thread, in the order they
// happened. A poll's outcome first turns the tray through frames 131 to 134 and back to 128
// (trayFrameMs apart, paced by a timer so that nothing sleeps), then shows the tray's mark, the
// graph's bar, the label's colour, the legend, the scale and the texts. An outcome that comes
// while another animates is shown at once without an animation of its own.
class SlotPresenter : public QObject {
    Q_OBJECT
public:
    static constexpr int kTrayFrameMs = 120;

    // The engine must outlive the presenter, or end first (its wake-up then stops).
    SlotPresenter(SlotMonitor& engine, ISlotSurface& surface, int trayFrameMs = kTrayFrameMs,
                  QObject* parent = nullptr);

    // Has the engine hand over every event queued so far, which shows them (the engine's own
    // wake-up does the same).
    void Drain();
    // A line about the polled database (its uptime) for the slot's tip and, under the title,
    // the tray's tip; none unless set.
    void SetAvailabilitySource(std::function<QString(const QString& title)> source);
    bool Animating() const { return m_animated.has_value(); }

private:
    void Show(const MonitorEvent& event);
    void ShowOutcome(const PollOutcome& outcome);
    void NextFrame();
    void ShowAfterAnimation(const PollOutcome& outcome);
    void ShowCleared(const SlotCleared& cleared);

    SlotMonitor& m_engine;
    // Gone with the engine: a wake-up still queued then finds nothing to take.
    QPointer<MonitorSignals> m_engineAlive;
    ISlotSurface& m_surface;
    int m_trayFrameMs;
    QTimer m_frames;
    int m_frame = 0;
    std::optional<PollOutcome> m_animated;
    std::function<QString(const QString&)> m_availability;
};
