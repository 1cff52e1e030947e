#include "ui/DatabaseCommands.h"

#include "monitor/PollScheduler.h"
#include "monitor/SlotMonitor.h"
#include "probe/ConnectionStrings.h"
#include "probe/DatabaseProbe.h"
#include "ui/DataSourceChooserDlg.h"

#include <QDir>
#include <QFileInfo>
#include <QWidget>

#include <utility>

CDatabaseCommands::CDatabaseCommands(PollScheduler* scheduler, SlotMonitor* monitor,
                                     IDatabaseCommandsWindow* window, INotice* notice,
                                     QWidget* dialogParent)
    : m_scheduler(scheduler), m_monitor(monitor), m_window(window), m_notice(notice),
      m_dialogParent(dialogParent) {
    m_makeProbe = [this](INotice* n) {
        CDataSourceChooserDlg dialog(m_dialogParent);
        dialog.SetProbeOptions(m_monitor->OptionsForProbes());
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
    if (probe && probe->HasConnection())
        probe->SetTitle(DistinctTitle(slot, probe->Title(), probe->ConnectionString()));
    m_scheduler->SelectDatabase(slot, std::shared_ptr<CDatabaseProbe>(std::move(probe)));
}

QString CDatabaseCommands::DistinctTitle(int slot, const QString& title,
                                         const QString& connectionString) const {
    const QString file = ConnectionStrings::DatabaseFileOf(connectionString);
    if (file.isEmpty() || title != QFileInfo(file).fileName())
        return title;
    const auto where = [](const QString& path) {
        const QFileInfo info(path);
        const QString canonical = info.canonicalFilePath();
        return canonical.isEmpty() ? info.absoluteFilePath() : canonical;
    };
    const QString mine = where(file);
    // The title names the section that holds "Warned": another file of the same name must not
    // share it. Parent folders are added until the title is the slot's own.
    const QStringList parts = QDir::cleanPath(mine).split(u'/', Qt::SkipEmptyParts);
    QString candidate = title;
    for (qsizetype used = 1;; ++used) {
        bool taken = false;
        for (int other = 0; other < SlotMonitor::kSlotCount && !taken; ++other) {
            if (other == slot || !m_monitor->HasProbe(other) ||
                m_monitor->Title(other) != candidate)
                continue;
            const QString otherFile =
                ConnectionStrings::DatabaseFileOf(m_monitor->ConnectionString(other));
            taken = otherFile.isEmpty() || where(otherFile) != mine;
        }
        if (!taken || used >= parts.size())
            return candidate;
        candidate = parts.mid(parts.size() - used - 1).join(u'/');
    }
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
