#include "ui/MonitorDlg.h"

#include "controls/AccessGraph.h"
#include "controls/Icons.h"
#include "controls/StatusLabel.h"
#include "controls/TrayIcon.h"
#include "monitor/PollScheduler.h"
#include "monitor/SlotMonitor.h"
#include "monitor/SlotStatus.h"
#include "settings/SettingKeys.h"
#include "settings/SettingsStore.h"
#include "ui/CommandActions.h"
#include "ui/HelpWindow.h"
#include "ui/NoticeBox.h"
#include "ui/SlotNumberBoxes.h"

#include <QAction>
#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QStyle>

CMonitorDlg::CMonitorDlg(const MonitorParts& parts, std::unique_ptr<ITrayShell> trayShell,
                         QWidget* parent)
    : QDialog(parent), m_parts(parts) {
    setWindowTitle(QStringLiteral("Trellion"));
    setWindowIcon(TrellionIcon(IconId::Program));
    setProperty("controlId", 102);
    // The program lives in the tray: hiding the last window must not end the event loops.
    QApplication::setQuitOnLastWindowClosed(false);

    m_commands = std::make_unique<CDatabaseCommands>(m_parts.scheduler, m_parts.monitor, this,
                                                     m_parts.notice, this);

    m_commandActions = new CCommandActions([this](int id) { OnCommand(id); }, this);
    BuildMenus();
    BuildSlots();

    // Creation: the tray icon gets this window as its owner, its menu and the program's icon.
    m_tray = std::make_unique<CTrayIcon>(CTrayIcon::kTrayMenu, std::move(trayShell));
    connect(m_tray.get(), &CTrayIcon::commandRequested, this, [this](int id) { OnCommand(id); });
    m_tray->BindWindow(this, 0x400);
    m_tray->SetMenu(BuildTrayMenu());
    m_tray->UpdateIconWithTip(IconId::Program, QStringLiteral("Trellion"));
    // What the polls found reaches the slots and the tray through the presenter alone.
    m_presenter = std::make_unique<SlotPresenter>(*m_parts.monitor, *this);
    if (m_parts.availability)
        m_presenter->SetAvailabilitySource(m_parts.availability);
    // Started at logon, the program may come before the panel: until a tray takes the icon,
    // look again every few seconds for a while (every later tray update looks as well).
    m_tray->LookForTray(kTrayLookEveryMs, kTrayLookForMs);

    m_programDirectory = QCoreApplication::applicationDirPath();
    resize(kWidthDetails, kHeightFull);
}

CMonitorDlg::~CMonitorDlg() {
    if (m_initialised && !m_destroyed)
        OnDestroy();
    // The boxes apply typed values on losing the focus, which the closing window still sends.
    for (SlotWidgets& s : m_slots) {
        delete s.numbers;
        s.numbers = nullptr;
    }
    // Before the tray and the controls go: no command or outcome may reach them any more.
    m_commands.reset();
    m_presenter.reset();
    // The help window has no parent; it ends with the program instead of outliving it.
    delete CHelpWindow::Current();
}

// ---------------------------------------------------------------------------------------------
// ISlotSurface: the presenter's calls, on the UI thread.

void CMonitorDlg::SetLabelColour(int slot, int rgb) {
    m_slots[slot].lastAccess->SetBackgroundColour(rgb);
}

void CMonitorDlg::AddGraphSample(int slot, double value, double mark) {
    m_slots[slot].graph->AddSample(value, mark);
}

void CMonitorDlg::SetGraphLegend(int slot, const QStringList& texts) {
    for (int i = 0; i < texts.size() && i < CAccessGraph::kLegendTexts; ++i)
        m_slots[slot].graph->SetLegendText(i, texts[i]);
    m_slots[slot].graph->update();
}

void CMonitorDlg::SetGraphScale(int slot, double scale) {
    m_slots[slot].graph->SetScale(scale);
}

void CMonitorDlg::SetSlotText(int slot, SlotField field, const QString& text) {
    SlotWidgets& s = m_slots[slot];
    QLabel* label = nullptr;
    switch (field) {
    case SlotField::LastAccess:
        label = s.lastAccess;
        break;
    case SlotField::BestAccess:
        label = s.bestAccess;
        break;
    case SlotField::WorstAccess:
        label = s.worstAccess;
        break;
    case SlotField::LastAlert:
        label = s.lastAlert;
        break;
    case SlotField::LastRecovery:
        label = s.lastRecovery;
        break;
    }
    label->setText(text);
    label->setToolTip(text);
}

void CMonitorDlg::SetTrayIcon(int iconResource, const QString& tip) {
    m_tray->UpdateIconWithTip(iconResource, tip);
}

void CMonitorDlg::SetSlotTip(int slot, const QString& tip) {
    m_slots[slot].group->setToolTip(tip);
}

void CMonitorDlg::ResetGraph(int slot) {
    CAccessGraph* g = m_slots[slot].graph;
    g->ClearSamples();
    g->SetLegendWidth(50);
    g->SetLegendLineCount(5);
    for (int i = 0; i < 5; ++i)
        g->SetLegendText(i, QStringLiteral("n/a"));
    g->SetLeftToRight(false);
    g->SetLegendOnLeft(false);
    g->repaint();
}

// What the scheduler asks of the window.

void CMonitorDlg::ApplyTypedThreshold(int slot) {
    const QString text = ThresholdText(slot);
    if (text.isEmpty())
        return;
    const int value = LeadingInt(text);
    m_parts.monitor->SetThreshold(slot, value);
    Config::Write(Config::kWarn[slot], value);
}

void CMonitorDlg::SetSlotCaptions(int slot, const QString& group, const QString& button) {
    m_slots[slot].group->setTitle(group);
    // A long title would be clipped at both ends of the fixed-width button: elide its end.
    QPushButton* select = m_slots[slot].select;
    const int room =
        select->width() - 2 * select->style()->pixelMetric(QStyle::PM_ButtonMargin) - 4;
    select->setText(select->fontMetrics().elidedText(button, Qt::ElideRight, room));
    select->setToolTip(button);
    EnableSlotCommands(slot);
}

QString CMonitorDlg::ThresholdText(int slot) const {
    return m_slots[slot].threshold->text();
}
QString CMonitorDlg::IntervalText(int slot) const {
    return m_slots[slot].interval->text();
}
void CMonitorDlg::SetIntervalText(int slot, const QString& text) {
    m_slots[slot].interval->setText(text);
}

void CMonitorDlg::HideWindow() {
    HideToTray();
}

void CMonitorDlg::RunEmailSettingsPrompt() {
    OnEmailSettings();
}
