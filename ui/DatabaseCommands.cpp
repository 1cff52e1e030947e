#include "ui/DatabaseCommands.h"

#include "monitor/PollScheduler.h"
#include "monitor/SlotMonitor.h"
#include "probe/DatabaseProbe.h"
#include "ui/DataSourceChooserDlg.h"

#include <QWidget>

#include <utility>

CDatabaseCommands::CDatabaseCommands(PollScheduler* scheduler, SlotMonitor* monitor,
                                     IDatabaseCommandsWindow* window, INotice* notice,
                                     QWidget* dialogParent)
    : m_scheduler(scheduler), m_monitor(monitor), m_window(window), m_notice(notice),
      m_dialogParent(dialogParent) {
    m_makeProbe = [this](INotice* n) {
        CDataSourceChooserDlg dialog(m_dialogParent);
        return dialog.SelectAndConnect(n);
    };
}

void CDatabaseCommands::SetProbeMaker(ProbeMaker maker) {
    m_makeProbe = std::move(maker);
}

bool CDatabaseCommands::ValidSlot(int slot) {
    return slot >= 0 && slot < SlotMonitor::kSlotCount;
}

QString CDatabaseCommands::RemoveQuestion(const QString& title) {
    return QStringLiteral("Are you sure you want to stop monitoring ") + title + u'?';
}

void CDatabaseCommands::SelectDatabase(int slot) {
    if (!ValidSlot(slot) || m_selecting)
        return;
    m_selecting = true;
    std::unique_ptr<CDatabaseProbe> probe = m_makeProbe(m_notice);
    m_selecting = false;
    m_scheduler->SelectDatabase(slot, std::shared_ptr<CDatabaseProbe>(std::move(probe)));
}

void CDatabaseCommands::RemoveDatabase(int slot) {
    if (!ValidSlot(slot) || m_selecting || !m_monitor->HasProbe(slot))
        return;
    if (!m_window->AskYesNo(RemoveQuestion(m_monitor->Title(slot))))
        return;
    // The question's own event loop may have let something else empty the slot meanwhile.
    if (m_scheduler->RemoveDatabase(slot))
        m_window->ApplyWindowLayout();
}

void CDatabaseCommands::PollNow(int slot) {
    if (ValidSlot(slot))
        m_scheduler->PollNow(slot);
}

void CDatabaseCommands::ResetSlotDisplay(int slot) {
    if (ValidSlot(slot))
        m_scheduler->ResetSlotDisplay(slot);
}
