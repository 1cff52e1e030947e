#include "ui/SlotPresenter.h"

#include "monitor/MonitorSignals.h"
#include "monitor/SlotMonitor.h"

SlotPresenter::SlotPresenter(SlotMonitor& engine, ISlotSurface& surface, int trayFrameMs,
                             QObject* parent)
    : QObject(parent), m_engine(engine), m_engineAlive(engine.Signals()), m_surface(surface),
      m_trayFrameMs(trayFrameMs) {
    m_frames.setSingleShot(true);
    connect(&m_frames, &QTimer::timeout, this, &SlotPresenter::NextFrame);
    connect(m_engine.Signals(), &MonitorSignals::delivered, this, &SlotPresenter::Show);
}

void SlotPresenter::Drain() {
    if (m_engineAlive)
        m_engine.DeliverEvents();
}

void SlotPresenter::Show(const MonitorEvent& event) {
    if (const auto* outcome = std::get_if<PollOutcome>(&event))
        ShowOutcome(*outcome);
    else if (const auto* cleared = std::get_if<SlotCleared>(&event))
        ShowCleared(*cleared);
    else if (const auto* mark = std::get_if<TrayMark>(&event))
        m_surface.SetTrayIcon(mark->icon, mark->tip);
}

void SlotPresenter::SetAvailabilitySource(std::function<QString(const QString&)> source) {
    m_availability = std::move(source);
}

void SlotPresenter::ShowOutcome(const PollOutcome& polled) {
    PollOutcome outcome = polled;
    if (m_availability) {
        const QString line = m_availability(outcome.title);
        if (!line.isEmpty()) {
            outcome.trayTip += u'\n' + line;
            outcome.toolTip +=
                (outcome.toolTip.isEmpty() ? QString() : QStringLiteral("\n")) + line;
        }
    }
    if (m_animated) {
        // One animation at a time: this poll's tray stays as the running one leaves it.
        ShowAfterAnimation(outcome);
        return;
    }
    if (m_trayFrameMs <= 0) {
        for (int icon = TrayIcons::FirstFrame; icon <= TrayIcons::LastFrame; ++icon)
            m_surface.SetTrayIcon(icon, outcome.trayTip);
        m_surface.SetTrayIcon(TrayIcons::Main, outcome.trayTip);
        if (outcome.trayMark)
            m_surface.SetTrayIcon(outcome.trayMark->icon, outcome.trayMark->tip);
        ShowAfterAnimation(outcome);
        return;
    }
    m_animated = outcome;
    m_frame = TrayIcons::FirstFrame;
    m_surface.SetTrayIcon(m_frame, outcome.trayTip);
    m_frames.start(m_trayFrameMs);
}

void SlotPresenter::NextFrame() {
    if (!m_animated)
        return;
    ++m_frame;
    if (m_frame <= TrayIcons::LastFrame) {
        m_surface.SetTrayIcon(m_frame, m_animated->trayTip);
        m_frames.start(m_trayFrameMs);
        return;
    }
    const PollOutcome outcome = std::move(*m_animated);
    m_animated.reset();
    m_surface.SetTrayIcon(TrayIcons::Main, outcome.trayTip);
    if (outcome.trayMark)
        m_surface.SetTrayIcon(outcome.trayMark->icon, outcome.trayMark->tip);
    // The slot was emptied or given another database while the tray turned.
    if (m_engineAlive && m_engine.Generation(outcome.slot) == outcome.generation)
        ShowAfterAnimation(outcome);
}

void SlotPresenter::ShowAfterAnimation(const PollOutcome& o) {
    if (o.checked)
        m_surface.AddGraphSample(o.slot, o.sampleValue, o.sampleMark);
    m_surface.SetLabelColour(o.slot, o.colour);
    m_surface.SetGraphLegend(o.slot, o.legend);
    m_surface.SetGraphScale(o.slot, o.scale);
    for (int field = 0; field < kSlotFieldCount; ++field)
        if (const std::optional<QString>& text = o.texts[field])
            m_surface.SetSlotText(o.slot, SlotField(field), *text);
    m_surface.SetSlotTip(o.slot, o.toolTip);
}

void SlotPresenter::ShowCleared(const SlotCleared& cleared) {
    if (!cleared.graphOnly) {
        m_surface.SetLabelColour(cleared.slot, SlotColour::Default);
        for (int field = 0; field < kSlotFieldCount; ++field)
            m_surface.SetSlotText(cleared.slot, SlotField(field), QString());
        m_surface.SetSlotTip(cleared.slot, QString());
    }
    m_surface.ResetGraph(cleared.slot);
}
