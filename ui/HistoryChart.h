#pragma once

#include "history/HistoryTypes.h"

#include <QString>
#include <QWidget>

#include <utility>
#include <vector>

// Response times of one database over a range: per bucket a bar from the fastest to the slowest
// answer, the mean as a line, and a red band behind every bucket with an unreachable poll. Times
// are shown in local time; the buckets' edges come from the caller (UTC hours or local days).
class HistoryChart : public QWidget {
    Q_OBJECT
public:
    // How the time axis is labelled.
    enum class Axis { Hours, Days, Weeks, Months };

    explicit HistoryChart(QWidget* parent = nullptr);

    // spells: the outages as [start, end) in UTC ms (an open one ends now); marked with the
    // buckets that hold unreachable polls.
    void SetSeries(std::vector<SeriesBucket> buckets, Axis axis,
                   std::vector<std::pair<qint64, qint64>> spells = {});
    const std::vector<SeriesBucket>& Buckets() const { return m_buckets; }
    // The top of the response-time scale, in ms: a round number at or above the slowest answer.
    double ScaleTop() const { return m_top; }
    // The axis labels' local times (UTC ms) for the range shown.
    std::vector<qint64> TimeTicks() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

signals:
    void painted();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString TickText(qint64 utcMs) const;

    std::vector<SeriesBucket> m_buckets;
    std::vector<std::pair<qint64, qint64>> m_spells;
    Axis m_axis = Axis::Hours;
    double m_top = 100;
};
