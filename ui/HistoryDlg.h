#pragma once

#include "ui/HistoryChart.h"

#include <QDialog>
#include <QStringList>

#include <array>
#include <functional>
#include <optional>

class QIODevice;
class HistoryStore;
class IDialogPrompt;
class QComboBox;
class QLabel;
class QPushButton;
class QTreeWidget;

// "History": one database's availability over the last day, week, month and year, its response
// times over a chosen range, and the outages in that range, all read from the history store;
// the polls or the outages of the range can be saved as CSV. Polls "not checked" count neither
// for nor against availability. The store's queries are fast enough (daily and hourly rows) to
// run on the UI thread.
class CHistoryDlg : public QDialog {
    Q_OBJECT
public:
    enum class Range { Day, Week, Month, Year };
    static constexpr int kRanges = 4;
    // The availability periods, in days, as shown left to right.
    static constexpr std::array<int, 4> kAvailabilityDays = {1, 7, 30, 365};

    // titles: the slots' database titles (empty ones and repeats are left out).
    CHistoryDlg(HistoryStore& store, const QStringList& titles, QWidget* parent = nullptr,
                IDialogPrompt* prompt = nullptr);

    // UTC ms of "now" for the figures; the system clock unless set (tests).
    void SetClock(std::function<qint64()> clock);
    // Asks where to save a CSV file (caption, suggested name) and gives the path, or empty when
    // cancelled. The default asks with a file dialog.
    using PathChooser =
        std::function<QString(QWidget* parent, const QString& caption, const QString& suggested)>;
    void SetPathChooser(PathChooser chooser);

    // Reads the chosen database's figures, chart and outages again.
    void Reload();

    QString Database() const;
    Range ChosenRange() const;
    void SetRange(Range range);
    // [from, to) of the chosen range, UTC ms.
    std::pair<qint64, qint64> RangeSpan() const;
    // The availability over the last days of kAvailabilityDays[i], as read; nullopt when nothing
    // was checked or the file could not be read.
    std::optional<double> Availability(int i) const { return m_availability[size_t(i)]; }
    // Availability as shown: percent floored to two decimals, so that any outage shows below 100.
    static QString PercentText(double percent);
    // "2 d 3 h", "1 h 05 min", "4 min 10 s", "12 s".
    static QString LengthText(qint64 ms);

    bool ExportPolls(const QString& path);
    bool ExportOutages(const QString& path);

    QComboBox* DatabaseBox() const { return m_database; }
    QComboBox* RangeBox() const { return m_range; }
    QLabel* AvailabilityLabel(int i) const { return m_availabilityLabels[size_t(i)]; }
    HistoryChart* Chart() const { return m_chart; }
    QTreeWidget* OutageList() const { return m_outages; }
    QLabel* StatusLabel() const { return m_status; }
    QPushButton* ExportPollsButton() const { return m_exportPolls; }
    QPushButton* ExportOutagesButton() const { return m_exportOutages; }
    QPushButton* CloseButton() const { return m_close; }

private:
    using CsvWriter = bool (HistoryStore::*)(const QString& key, qint64 from, qint64 to,
                                             QIODevice* out, QString* error);
    bool ExportTo(const QString& path, const QString& what, CsvWriter write);
    void Export(bool polls);
    std::vector<qint64> Edges(qint64 from, qint64 to) const;
    void ShowError(const QString& error);

    HistoryStore& m_store;
    IDialogPrompt* m_prompt;
    std::function<qint64()> m_clock;
    PathChooser m_choosePath;
    std::array<std::optional<double>, 4> m_availability;

    QComboBox* m_database = nullptr;
    QComboBox* m_range = nullptr;
    std::array<QLabel*, 4> m_availabilityLabels{};
    HistoryChart* m_chart = nullptr;
    QTreeWidget* m_outages = nullptr;
    QLabel* m_status = nullptr;
    QPushButton* m_exportPolls = nullptr;
    QPushButton* m_exportOutages = nullptr;
    QPushButton* m_close = nullptr;
};
