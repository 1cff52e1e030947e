#include "monitor/SlotMonitorCore.h"

using namespace SlotMonitorDetail;

void SlotMonitor::Core::ShowNotChecked(const PollTicket& t, const QString& why) {
    PollFacts facts;
    facts.title = t.title;
    facts.notChecked = why;
    // The rules' own line for it; the state is not even read, as the poll changes none.
    const AlertDecision decision = AlertPolicy::Decide(AlertState{}, facts);
    for (const AlertEffect& effect : decision.effects)
        if (const auto* line = std::get_if<LogEffect>(&effect))
            WriteAccessLog(line->line);
    PollOutcome shown;
    shown.slot = t.slot;
    shown.generation = t.generation;
    shown.title = t.title;
    shown.elapsed = 0.0;
    shown.checked = false;
    shown.colour = SlotColour::NotChecked;
    shown.trayTip =
        QStringLiteral("Trellion\n") + t.title + QStringLiteral("\nnot checked: ") + why;
    shown.decisions = decision.effects;
    std::lock_guard lock(mutex);
    if (!Current(t.slot, t.generation))
        return;
    shown.trayMark = Mark();
    const DatabaseSlot& s = slotData[t.slot];
    shown.legend = LegendTexts(s.graphScale);
    shown.scale = s.graphScale;
    shown.texts[int(SlotField::LastAccess)] =
        QStringLiteral("not checked (") + why + u')' + TimeStamp();
    Push(std::move(shown));
}
