#pragma once

#include <QLabel>
#include <QString>

#include <atomic>
#include <memory>
#include <mutex>

// Bar graph of recent access times: one 2-pixel bar per sample on a black field, the newest at
// one edge, beside a column of legend texts. Samples arrive from a poll thread while the UI thread
// paints; every member function is safe from any thread.
class CAccessGraph : public QLabel {
    Q_OBJECT

public:
    static constexpr int kLegendTexts = 10;

    // capacity: entries of the sample ring; 0 takes the primary screen's width in pixels, so that
    // a graph as wide as the screen never shows a sample twice. A negative capacity stands for a
    // ring that could not be allocated: the graph then refuses every change and paints as a label.
    explicit CAccessGraph(QWidget* parent = nullptr, int capacity = 0);
    ~CAccessGraph() override;

    // Each of these returns false and changes nothing when the ring could not be allocated, and
    // otherwise repaints the control.
    bool AddSample(double value, double mark); // mark != 0 draws the bar yellow
    bool SetLegendOnLeft(bool onLeft);
    bool SetLegendWidth(int pixels);
    bool SetLegendLineCount(int count); // capped at kLegendTexts
    bool SetLeftToRight(bool leftToRight);
    bool SetScale(double scale); // the value that fills the bar height; 0 draws no bars

    // Zeroes both rings; no repaint (the owner's next setter repaints).
    void ClearSamples();

    // The legend texts, top to bottom. Writing one does not repaint.
    void SetLegendText(int index, const QString& text);
    QString LegendText(int index) const;

    bool IsReady() const { return m_values != nullptr; }
    int Capacity() const { return m_capacity; }
    int NewestIndex() const;
    double SampleValue(int index) const;
    double SampleMark(int index) const;
    double Scale() const;
    int LegendLineCount() const;
    int LegendWidth() const;
    bool LegendOnLeft() const;
    bool LeftToRight() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void RequestRepaint();

    mutable std::mutex m_lock; // guards everything below but the capacity
    QString m_legend[kLegendTexts];
    int m_legendLines = 0;
    int m_legendWidth = 0;
    int m_newest = 0;
    double m_scale = 100.0;
    std::unique_ptr<double[]> m_values;
    std::unique_ptr<double[]> m_marks;
    const int m_capacity;
    bool m_legendOnLeft = true;
    bool m_leftToRight = true;
    std::atomic<bool> m_repaintPosted{false};
};
