#pragma once

#include <QColor>
#include <QLabel>

#include <atomic>
#include <mutex>

// A label whose whole face shows a status colour behind its text. The poll threads set the
// colour; the label paints on the UI thread.
class CStatusLabel : public QLabel {
    Q_OBJECT

public:
    // Stands for the palette's button colour as it is at the time of the call; never a real colour.
    static constexpr int kDefaultColour = -1;

    // Text in the palette's button-text colour and face in its button colour, both as they are now.
    // A status colour has black text; the default takes both palette colours again.
    explicit CStatusLabel(QWidget* parent = nullptr);
    ~CStatusLabel() override;

    // colour: 0xRRGGBB (bits above 24 ignored) or kDefaultColour. Safe from any thread; every call
    // repaints the whole control, also when the colour did not change.
    void SetBackgroundColour(int colour);

    // UI thread only: the colours the next paint uses.
    QColor BackgroundColour() const { return m_background; }
    QColor TextColour() const { return m_text; }

private:
    void ApplyPendingColour();

    QColor m_text;
    QColor m_background;
    std::mutex m_lock; // guards m_pending
    int m_pending = kDefaultColour;
    std::atomic<bool> m_applyPosted{false};
};
