#include "ui/HistoryDlg.h"

#include "history/HistoryStore.h"
#include "ui/DialogPrompt.h"
#include "ui/HistoryAvailability.h"

#include <QComboBox>
#include <QDateTime>
#include <QFile>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {

using HistoryTime::kDayMs;
using HistoryTime::kHourMs;

constexpr qint64 kRangeMs[CHistoryDlg::kRanges] = {kDayMs, 7 * kDayMs, 30 * kDayMs, 365 * kDayMs};

QString LocalText(qint64 utcMs) {
    return QDateTime::fromMSecsSinceEpoch(utcMs).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

QString SafeFileName(QString title) {
    static const QString unsafe = QStringLiteral("/\\:*?\"<>| ");
    for (QChar& ch : title)
        if (unsafe.contains(ch))
            ch = u'_';
    return title.isEmpty() ? QStringLiteral("database") : title;
}

} // namespace

CHistoryDlg::CHistoryDlg(HistoryStore& store, const QStringList& titles, QWidget* parent,
                         IDialogPrompt* prompt)
    : QDialog(parent), m_store(store), m_prompt(prompt ? prompt : &DefaultDialogPrompt()),
      m_clock([] { return QDateTime::currentMSecsSinceEpoch(); }),
      m_choosePath([](QWidget* owner, const QString& caption, const QString& suggested) {
          return QFileDialog::getSaveFileName(owner, caption, suggested,
                                              QStringLiteral("CSV files (*.csv);;All files (*)"));
      }) {
    setWindowTitle(QStringLiteral("History"));

    m_database = new QComboBox(this);
    for (const QString& title : titles)
        if (!title.isEmpty() && m_database->findText(title) < 0)
            m_database->addItem(title);
    auto* databaseLabel = new QLabel(QStringLiteral("&Database:"), this);
    databaseLabel->setBuddy(m_database);
    auto* top = new QHBoxLayout;
    top->addWidget(databaseLabel);
    top->addWidget(m_database, 1);

    auto* availability = new QGroupBox(QStringLiteral("Availability"), this);
    auto* grid = new QGridLayout(availability);
    const QString periods[] = {QStringLiteral("Last 24 hours"), QStringLiteral("Last 7 days"),
                               QStringLiteral("Last 30 days"), QStringLiteral("Last 365 days")};
    for (int i = 0; i < 4; ++i) {
        grid->addWidget(new QLabel(periods[i], availability), 0, i, Qt::AlignHCenter);
        auto* value = new QLabel(availability);
        QFont bold = value->font();
        bold.setBold(true);
        bold.setPointSizeF(bold.pointSizeF() * 1.3);
        value->setFont(bold);
        value->setTextInteractionFlags(Qt::TextSelectableByMouse);
        m_availabilityLabels[size_t(i)] = value;
        grid->addWidget(value, 1, i, Qt::AlignHCenter);
    }

    auto* times = new QGroupBox(QStringLiteral("Response time"), this);
    auto* timesLayout = new QVBoxLayout(times);
    m_range = new QComboBox(times);
    m_range->addItems({QStringLiteral("24 hours"), QStringLiteral("7 days"),
                       QStringLiteral("30 days"), QStringLiteral("1 year")});
    auto* rangeLabel = new QLabel(QStringLiteral("&Range:"), times);
    rangeLabel->setBuddy(m_range);
    auto* rangeRow = new QHBoxLayout;
    rangeRow->addWidget(rangeLabel);
    rangeRow->addWidget(m_range);
    rangeRow->addStretch(1);
    timesLayout->addLayout(rangeRow);
    m_chart = new HistoryChart(times);
    timesLayout->addWidget(m_chart, 1);

    m_outages = new QTreeWidget(this);
    m_outages->setRootIsDecorated(false);
    m_outages->setUniformRowHeights(true);
    m_outages->setHeaderLabels({QStringLiteral("Start"), QStringLiteral("End"),
                                QStringLiteral("Length"), QStringLiteral("Alert sent"),
                                QStringLiteral("Reason")});
    m_outages->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    m_outages->header()->setStretchLastSection(true);
    auto* outagesLabel = new QLabel(QStringLiteral("O&utages in the range:"), this);
    outagesLabel->setBuddy(m_outages);

    m_status = new QLabel(this);
    m_status->setWordWrap(true);
    m_status->hide();

    m_exportPolls = new QPushButton(QStringLiteral("Export &polls..."), this);
    m_exportOutages = new QPushButton(QStringLiteral("Export &outages..."), this);
    m_close = new QPushButton(QStringLiteral("&Close"), this);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(m_exportPolls);
    buttons->addWidget(m_exportOutages);
    buttons->addStretch(1);
    buttons->addWidget(m_close);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(availability);
    layout->addWidget(times, 3);
    layout->addWidget(outagesLabel);
    layout->addWidget(m_outages, 1);
    layout->addWidget(m_status);
    layout->addLayout(buttons);

    setTabOrder(m_database, m_range);
    setTabOrder(m_range, m_outages);
    setTabOrder(m_outages, m_exportPolls);
    setTabOrder(m_exportPolls, m_exportOutages);
    setTabOrder(m_exportOutages, m_close);

    connect(m_database, &QComboBox::currentIndexChanged, this, [this] { Reload(); });
    connect(m_range, &QComboBox::currentIndexChanged, this, [this] { Reload(); });
    connect(m_exportPolls, &QPushButton::clicked, this, [this] { Export(true); });
    connect(m_exportOutages, &QPushButton::clicked, this, [this] { Export(false); });
    connect(m_close, &QPushButton::clicked, this, &QDialog::accept);
    Reload();
}

void CHistoryDlg::SetClock(std::function<qint64()> clock) {
    m_clock = std::move(clock);
    Reload();
}

void CHistoryDlg::SetPathChooser(PathChooser chooser) {
    m_choosePath = std::move(chooser);
}

QString CHistoryDlg::Database() const {
    return m_database->currentText();
}

CHistoryDlg::Range CHistoryDlg::ChosenRange() const {
    return static_cast<Range>(std::max(0, m_range->currentIndex()));
}

void CHistoryDlg::SetRange(Range range) {
    m_range->setCurrentIndex(static_cast<int>(range));
}

std::pair<qint64, qint64> CHistoryDlg::RangeSpan() const {
    const qint64 now = m_clock();
    return {now - kRangeMs[static_cast<int>(ChosenRange())], now + 1};
}

std::vector<qint64> CHistoryDlg::Edges(qint64 from, qint64 to) const {
    switch (ChosenRange()) {
    case Range::Day:
        return HistoryTime::UtcEdges(from, to, kHourMs / 4);
    case Range::Week:
        return HistoryTime::UtcEdges(from, to, kHourMs);
    case Range::Month:
        return HistoryTime::UtcEdges(from, to, 6 * kHourMs);
    case Range::Year:
        break;
    }
    // Days as the user lives them, 23 or 25 hours long across a daylight-saving change.
    return HistoryTime::LocalDayEdges(from, to);
}

QString CHistoryDlg::PercentText(double percent) {
    return HistoryAvailability::PercentText(percent);
}

QString CHistoryDlg::LengthText(qint64 ms) {
    const qint64 s = std::max<qint64>(ms, 0) / 1000;
    const auto two = [](qint64 n) { return QStringLiteral("%1").arg(n, 2, 10, QLatin1Char('0')); };
    if (s >= 86400)
        return QStringLiteral("%1 d %2 h").arg(s / 86400).arg(s % 86400 / 3600);
    if (s >= 3600)
        return QStringLiteral("%1 h %2 min").arg(s / 3600).arg(two(s % 3600 / 60));
    if (s >= 60)
        return QStringLiteral("%1 min %2 s").arg(s / 60).arg(two(s % 60));
    return QStringLiteral("%1 s").arg(s);
}

void CHistoryDlg::ShowError(const QString& error) {
    m_status->setText(QStringLiteral("The history could not be read: ") + error);
    m_status->show();
}

void CHistoryDlg::Reload() {
    const QString key = Database();
    const qint64 now = m_clock();
    m_status->hide();
    const bool any = !key.isEmpty();
    m_exportPolls->setEnabled(any);
    m_exportOutages->setEnabled(any);
    m_outages->clear();

    QString error;
    for (size_t i = 0; i < kAvailabilityDays.size(); ++i) {
        m_availability[i].reset();
        std::optional<PollSummary> sum;
        if (any)
            sum = m_store.Summary(key, now - kAvailabilityDays[i] * kDayMs, now + 1, &error);
        if (sum && sum->Checked() > 0)
            m_availability[i] = sum->AvailabilityPercent();
        m_availabilityLabels[i]->setText(m_availability[i] ? PercentText(*m_availability[i])
                                                           : QStringLiteral("no polls"));
    }

    static constexpr HistoryChart::Axis axes[kRanges] = {
        HistoryChart::Axis::Hours, HistoryChart::Axis::Days, HistoryChart::Axis::Weeks,
        HistoryChart::Axis::Months};
    const auto [from, to] = RangeSpan();
    const HistoryChart::Axis axis = axes[static_cast<int>(ChosenRange())];
    std::optional<std::vector<OutageRecord>> outages;
    if (any)
        outages = m_store.Outages(key, from, to, &error);
    std::vector<std::pair<qint64, qint64>> spells;
    for (const OutageRecord& o : outages.value_or(std::vector<OutageRecord>{})) {
        spells.emplace_back(o.startMs, o.IsOpen() ? now : o.endMs);
        auto* item = new QTreeWidgetItem(m_outages);
        item->setText(0, LocalText(o.startMs));
        item->setText(1, o.IsOpen() ? QStringLiteral("going on") : LocalText(o.endMs));
        item->setText(2, LengthText((o.IsOpen() ? now : o.endMs) - o.startMs));
        item->setText(3, o.alertSent ? QStringLiteral("yes") : QStringLiteral("no"));
        item->setText(4, o.reason);
        item->setToolTip(4, o.reason);
    }
    std::optional<std::vector<SeriesBucket>> series;
    if (any)
        series = m_store.Series(key, Edges(from, to), &error);
    m_chart->SetSeries(series.value_or(std::vector<SeriesBucket>{}), axis, std::move(spells));
    if (!error.isEmpty())
        ShowError(error);
}

bool CHistoryDlg::ExportPolls(const QString& path) {
    return ExportTo(path, QStringLiteral("polls"), &HistoryStore::ExportPollsCsv);
}

bool CHistoryDlg::ExportOutages(const QString& path) {
    return ExportTo(path, QStringLiteral("outages"), &HistoryStore::ExportOutagesCsv);
}

bool CHistoryDlg::ExportTo(const QString& path, const QString& what, CsvWriter write) {
    QFile file(path);
    QString error;
    const auto [from, to] = RangeSpan();
    bool ok = file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    if (!ok)
        error = file.errorString();
    else
        ok = (m_store.*write)(Database(), from, to, &file, &error);
    if (!ok)
        m_prompt->Warn(this, QStringLiteral("The ") + what +
                                 QStringLiteral(" could not be saved to '") + path +
                                 QStringLiteral("': ") + error);
    return ok;
}

void CHistoryDlg::Export(bool polls) {
    const QString suggested =
        SafeFileName(Database()) + (polls ? QStringLiteral("-polls.csv") : "-outages.csv");
    const QString path =
        m_choosePath(this, polls ? QStringLiteral("Export polls") : "Export outages", suggested);
    if (path.isEmpty())
        return;
    if (polls)
        ExportPolls(path);
    else
        ExportOutages(path);
}
