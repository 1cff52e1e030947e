// The window's four slots: their widgets, their layout and the window's sizes.
#include "ui/MonitorDlg.h"

#include "controls/AccessGraph.h"
#include "controls/StatusLabel.h"
#include "monitor/SlotMonitor.h"
#include "ui/CommandActions.h"
#include "ui/SlotNumberBoxes.h"
#include "ui/UpDown.h"

#include <QAction>
#include <QGridLayout>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QTimer>

namespace {

// Geometry of one slot's group box. Four boxes fill the full height; the compact heights cut
// the window below the first one, two or three.
constexpr int kSlotTop = 4;
constexpr int kSlotPitch = 146;
constexpr int kSlotHeight = 142;
constexpr int kGraphHeight = 116;
// The graph keeps at least this width in the wide window; the narrow window gives it all.
constexpr int kGraphMinWidth = 290;

} // namespace

void CMonitorDlg::Tag(QWidget* widget, int id) {
    widget->setProperty("controlId", id);
    m_controls.insert(id, widget);
}

void CMonitorDlg::BuildSlots() {
    // On a screen too small for the window (a large scale on a small display) the window is cut
    // to the screen and the slots scroll inside it, so every slot stays reachable; Compact Mode
    // would not do, as it keeps the full height once all four slots are in use.
    m_scroll = new QScrollArea(this);
    m_scroll->setObjectName(QStringLiteral("slotScroll"));
    m_scroll->setFrameShape(QFrame::NoFrame);
    m_scroll->setWidgetResizable(false);
    m_content = new QWidget;
    m_scroll->setWidget(m_content);
    for (int i = 0; i < 4; ++i) {
        SlotWidgets& s = m_slots[i];
        s.group = new QGroupBox(QStringLiteral("Database %1").arg(i + 1), m_content);
        Tag(s.group, IDC_GROUP[i]);

        auto* row = new QHBoxLayout(s.group);
        row->setContentsMargins(8, 4, 8, 6);
        row->setSpacing(8);

        s.graph = new CAccessGraph(s.group);
        // The graph takes what the details leave; its own hint must not push them out.
        s.graph->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
        s.graph->setMinimumWidth(kGraphMinWidth);
        s.graph->setFixedHeight(kGraphHeight);
        Tag(s.graph, IDC_GRAPH[i]);
        row->addWidget(s.graph, 1);

        s.details = new QWidget(s.group);
        row->addWidget(s.details, 0);
        auto* cols = new QHBoxLayout(s.details);
        cols->setContentsMargins(0, 0, 0, 0);
        cols->setSpacing(10);

        // Commands and the two numbers.
        auto* commands = new QGridLayout;
        commands->setSpacing(2);
        commands->setVerticalSpacing(2);
        s.select = new QPushButton(QStringLiteral("Select Database"), s.details);
        s.poll = new QPushButton(QStringLiteral("Poll"), s.details);
        s.del = new QPushButton(QStringLiteral("Del"), s.details);
        Tag(s.select, IDC_SELECT[i]);
        Tag(s.poll, IDC_POLL[i]);
        Tag(s.del, IDC_DEL[i]);
        for (QPushButton* b : {s.select, s.poll, s.del}) {
            // Enter is the window's OK action wherever the focus is.
            b->setAutoDefault(false);
            b->setDefault(false);
        }
        // Narrower than the style's default button width, so that the fields keep their room.
        const int column =
            std::max(s.select->sizeHint().width(),
                     fontMetrics().horizontalAdvance(QStringLiteral("Polling interval")));
        s.select->setFixedWidth(column);
        // Its right-click menu holds what belongs to the database it selected.
        s.select->setContextMenuPolicy(Qt::ActionsContextMenu);
        m_commandActions->Add(static_cast<QWidget*>(s.select), QStringLiteral("Health Check..."),
                              ID_HEALTH_CHECK[i]);
        s.poll->setFixedWidth((column - 2) / 2);
        s.del->setFixedWidth((column - 2) / 2);
        commands->addWidget(s.select, 0, 0, 1, 4);
        commands->addWidget(s.poll, 1, 0, 1, 2);
        commands->addWidget(s.del, 1, 2, 1, 2);

        commands->addWidget(new QLabel(QStringLiteral("Polling interval"), s.details), 2, 0, 1, 4);
        s.interval = new QLineEdit(s.details);
        s.interval->setFixedWidth(40);
        Tag(s.interval, IDC_INTERVAL[i]);
        s.spin = new CUpDown(s.details);
        s.spin->setFixedSize(16, s.interval->sizeHint().height());
        Tag(s.spin, IDC_SPIN[i]);
        commands->addWidget(s.interval, 3, 0);
        commands->addWidget(s.spin, 3, 1);
        commands->addWidget(new QLabel(QStringLiteral("minutes "), s.details), 3, 2, 1, 2);

        commands->addWidget(new QLabel(QStringLiteral("Warning over"), s.details), 4, 0, 1, 4);
        s.threshold = new QLineEdit(s.details);
        s.threshold->setFixedWidth(62);
        Tag(s.threshold, IDC_THRESHOLD[i]);
        commands->addWidget(s.threshold, 5, 0, 1, 2);
        commands->addWidget(new QLabel(QStringLiteral("ms"), s.details), 5, 2, 1, 2);
        commands->setRowStretch(6, 1);
        cols->addLayout(commands);
        s.numbers = new CSlotNumberBoxes(i, s.interval, kIntervalMax, s.threshold, kThresholdMax,
                                         m_parts.scheduler, m_parts.monitor, this);

        // The five fields.
        auto* fields = new QGridLayout;
        fields->setHorizontalSpacing(6);
        fields->setVerticalSpacing(3);
        auto field = [&](int r, const char* caption, QLabel* value, int id) {
            fields->addWidget(new QLabel(QLatin1String(caption), s.details), r, 0);
            value->setParent(s.details);
            value->setFrameShape(QFrame::Panel);
            value->setFrameShadow(QFrame::Sunken);
            value->setMinimumWidth(fontMetrics().horizontalAdvance(
                                       QStringLiteral("(recovery not sent, missing email setup)")) +
                                   8);
            Tag(value, id);
            fields->addWidget(value, r, 1);
        };
        s.lastAccess = new CStatusLabel(s.details);
        s.bestAccess = new QLabel;
        s.worstAccess = new QLabel;
        s.lastAlert = new QLabel;
        s.lastRecovery = new QLabel;
        field(0, "Last access:", s.lastAccess, IDC_LAST_ACCESS[i]);
        field(1, "Best access:", s.bestAccess, IDC_BEST_ACCESS[i]);
        field(2, "Worst access:", s.worstAccess, IDC_WORST_ACCESS[i]);
        field(3, "Last alert:", s.lastAlert, IDC_LAST_ALERT[i]);
        field(4, "Last recovery:", s.lastRecovery, IDC_LAST_RECOVERY[i]);
        fields->setRowStretch(5, 1);
        cols->addLayout(fields);

        m_commandActions->Bind(s.select, IDC_SELECT[i]);
        m_commandActions->Bind(s.poll, IDC_POLL[i])->setEnabled(false);
        m_commandActions->Bind(s.del, IDC_DEL[i])->setEnabled(false);
        m_commandActions->SetEnabled(ID_HEALTH_CHECK[i], false);
        connect(s.spin, &CUpDown::deltaPos, this, [this, i](int delta) { OnSpin(i, delta); });
    }
}

void CMonitorDlg::LayoutContent() {
    const int menuHeight = m_menuBar->sizeHint().height();
    m_menuBar->setGeometry(0, 0, width(), menuHeight);
    const QSize room(width(), std::max(0, height() - menuHeight));
    m_scroll->setGeometry(QRect(QPoint(0, menuHeight), room));
    // The slots keep their size whatever the window's: a compact window ends under the last
    // slot it shows; a window cut to the screen scrolls to the rest.
    const int slotsHeight = m_compactSlots > 0 ? m_compactSlots * kSlotPitch + kSlotTop
                                               : kSlotTop + 3 * kSlotPitch + kSlotHeight + kSlotTop;
    int slotsWidth = std::max(room.width(), m_layoutWidth);
    if (slotsHeight > room.height())
        slotsWidth = std::max(room.width() - m_scroll->verticalScrollBar()->sizeHint().width(),
                              m_layoutWidth);
    m_content->resize(slotsWidth, slotsHeight);
    for (int i = 0; i < 4; ++i)
        m_slots[i].group->setGeometry(4, kSlotTop + i * kSlotPitch, slotsWidth - 8, kSlotHeight);
}

void CMonitorDlg::resizeEvent(QResizeEvent* event) {
    QDialog::resizeEvent(event);
    LayoutContent();
}

void CMonitorDlg::EnableSlotCommands(int slot) {
    // Select is the only thing to do with an empty slot.
    const bool configured = m_parts.monitor->IsConfigured(slot);
    m_commandActions->SetEnabled(IDC_POLL[slot], configured);
    m_commandActions->SetEnabled(IDC_DEL[slot], configured);
    m_commandActions->SetEnabled(ID_HEALTH_CHECK[slot], configured);
}

bool CMonitorDlg::SlotHasProbe(int slot) const {
    return m_parts.monitor->HasProbe(slot);
}

void CMonitorDlg::ApplyWindowLayout() {
    Action(ID_SHOW_DETAILS)->setChecked(m_details);
    QRect r = frameGeometry();
    if (m_details) {
        const QScreen* s = screen() ? screen() : QGuiApplication::primaryScreen();
        const QRect desktop = s ? s->geometry() : QRect(0, 0, 1 << 20, 1 << 20);
        const int oldRight = r.left() + r.width();
        r.setWidth(kWidthDetails);
        if (r.left() + r.width() > desktop.left() + desktop.width())
            r.moveLeft(oldRight - kWidthDetails);
    } else {
        r.setWidth(kWidthNarrow);
    }
    m_compactSlots = 0;
    if (m_compact) {
        Action(ID_COMPACT_MODE)->setChecked(true);
        // Cut below the last slot in use before the free ones at the end (slot 1 always shows).
        if (!SlotHasProbe(3)) {
            m_compactSlots = 3;
            if (!SlotHasProbe(2)) {
                m_compactSlots = 2;
                if (!SlotHasProbe(1))
                    m_compactSlots = 1;
            }
        }
    } else {
        Action(ID_COMPACT_MODE)->setChecked(false);
        r.setHeight(kHeightFull);
    }
    if (m_compactSlots > 0)
        r.setHeight(CompactInnerHeight() + frameGeometry().height() - geometry().height());
    for (const SlotWidgets& s : m_slots)
        s.details->setVisible(m_details);

    move(r.topLeft());
    m_outerSize = r.size();
    FitOuterSize();
    update();
}

void CMonitorDlg::FitOuterSize() {
    if (!m_outerSize.isValid())
        return;
    // The sizes are the outer window's; the frame, if the desktop draws one, comes off. A
    // window not shown yet has no frame, so this runs again when it is shown.
    const QSize frame = frameGeometry().size() - geometry().size();
    QSize inner = m_outerSize - frame;
    if (m_compactSlots > 0)
        inner.setHeight(CompactInnerHeight());
    m_layoutWidth = inner.width();
    // Never larger than the screen's free area: what does not fit scrolls.
    const QScreen* s = screen() ? screen() : QGuiApplication::primaryScreen();
    const QRect desktop = s ? s->availableGeometry() : QRect();
    const QSize fitting = desktop.isValid() ? inner.boundedTo(desktop.size() - frame) : inner;
    if (size() != fitting)
        resize(fitting);
    LayoutContent();
    if (fitting == inner || !desktop.isValid())
        return;
    // Cut to the screen: all of it on the screen, title bar first.
    QRect outer = frameGeometry();
    outer.moveRight(std::min(outer.right(), desktop.right()));
    outer.moveBottom(std::min(outer.bottom(), desktop.bottom()));
    outer.moveLeft(std::max(outer.left(), desktop.left()));
    outer.moveTop(std::max(outer.top(), desktop.top()));
    if (outer.topLeft() != frameGeometry().topLeft())
        move(outer.topLeft());
}

int CMonitorDlg::CompactInnerHeight() const {
    // The cut lies in the margin under the last slot shown, whatever the menu bar's and the
    // frame's heights, so that no strip of the next slot shows.
    return m_menuBar->sizeHint().height() + m_compactSlots * kSlotPitch + kSlotTop;
}

void CMonitorDlg::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    FitOuterSize();
    // Some window managers report the frame only after mapping the window.
    QTimer::singleShot(200, this, [this] { FitOuterSize(); });
}
