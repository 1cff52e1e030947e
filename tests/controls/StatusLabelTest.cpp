#include "controls/StatusLabel.h"

#include "tests/controls/PixelSupport.h"

#include <QApplication>
#include <QFont>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using PixelSupport::At;
using PixelSupport::Render;
using PixelSupport::WaitFor;

namespace {

QColor SystemButton() {
    return QApplication::palette().color(QPalette::Button);
}

// Puts the application palette back when a test changed it.
class StatusLabelTest : public ::testing::Test {
protected:
    void SetUp() override { m_saved = QApplication::palette(); }
    void TearDown() override { QApplication::setPalette(m_saved); }

    // Every corner and the middle of the label's face.
    static void ExpectFace(CStatusLabel& label, const QColor& colour) {
        const QImage image = Render(label);
        const QRgb want = colour.rgb() | 0xFF000000u;
        EXPECT_EQ(At(image, 0, 0), want);
        EXPECT_EQ(At(image, image.width() - 1, 0), want);
        EXPECT_EQ(At(image, 0, image.height() - 1), want);
        EXPECT_EQ(At(image, image.width() - 1, image.height() - 1), want);
    }

private:
    QPalette m_saved;
};

TEST_F(StatusLabelTest, StartsInTheButtonColoursAndPaintsItsWholeFace) {
    CStatusLabel label;
    label.resize(120, 24);
    EXPECT_EQ(label.BackgroundColour(), SystemButton());
    EXPECT_EQ(label.TextColour(), QApplication::palette().color(QPalette::ButtonText));
    ExpectFace(label, SystemButton());
}

TEST_F(StatusLabelTest, StatusColoursFillTheFaceBehindTextInTheTextColour) {
    CStatusLabel label;
    label.resize(160, 30);
    QFont font = label.font();
    font.setPixelSize(20);
    label.setFont(font);
    label.setText(QStringLiteral("WWWW"));
    for (int colour : {0x00FF00, 0xFDFF30, 0xFF0000}) {
        label.SetBackgroundColour(colour);
        EXPECT_EQ(label.BackgroundColour(), QColor::fromRgb(colour));
        ExpectFace(label, QColor::fromRgb(colour));
    }
    // The text is drawn over the face in the colour read at construction.
    const QImage image = Render(label);
    const QColor text = label.TextColour();
    int closest = 255 * 3;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QColor pixel(At(image, x, y));
            closest = std::min(closest, std::abs(pixel.red() - text.red()) +
                                            std::abs(pixel.green() - text.green()) +
                                            std::abs(pixel.blue() - text.blue()));
        }
    EXPECT_LE(closest, 30);
}

TEST_F(StatusLabelTest, BitsAboveTheColourAreIgnoredButAllOnesMeansTheDefault) {
    CStatusLabel label;
    label.resize(40, 16);
    label.SetBackgroundColour(static_cast<int>(qRgb(0, 255, 0))); // 0xFF00FF00
    EXPECT_EQ(label.BackgroundColour(), QColor(0, 255, 0));
    label.SetBackgroundColour(0xFFFFFF); // white is a real colour
    EXPECT_EQ(label.BackgroundColour(), QColor(255, 255, 255));
    label.SetBackgroundColour(static_cast<int>(0xFFFFFFFFu));
    EXPECT_EQ(label.BackgroundColour(), SystemButton());
    ExpectFace(label, SystemButton());
}

TEST_F(StatusLabelTest, DefaultReadsTheButtonColourAtTheTimeOfTheCall) {
    CStatusLabel label;
    label.resize(60, 20);
    const QColor text = label.TextColour();
    label.SetBackgroundColour(0xFF0000);

    QPalette scheme = QApplication::palette();
    scheme.setColor(QPalette::Button, QColor(10, 20, 200));
    scheme.setColor(QPalette::ButtonText, QColor(250, 250, 0));
    QApplication::setPalette(scheme);
    // A change of scheme alone does not touch a set colour.
    EXPECT_EQ(label.BackgroundColour(), QColor(255, 0, 0));
    ExpectFace(label, QColor(255, 0, 0));

    label.SetBackgroundColour(CStatusLabel::kDefaultColour);
    EXPECT_EQ(label.BackgroundColour(), QColor(10, 20, 200));
    ExpectFace(label, QColor(10, 20, 200));
    EXPECT_EQ(label.TextColour(), text);
    EXPECT_EQ(label.palette().color(QPalette::WindowText), text);
}

TEST_F(StatusLabelTest, EverySetRepaintsEvenWithTheSameColour) {
    CStatusLabel label;
    label.resize(60, 20);
    label.show();
    PixelSupport::PaintCounter paints(label);
    ASSERT_TRUE(WaitFor([&] { return label.isVisible(); }));
    QCoreApplication::processEvents();
    for (int round = 0; round < 3; ++round) {
        const int before = paints.Count();
        label.SetBackgroundColour(0xFDFF30);
        EXPECT_TRUE(WaitFor([&] { return paints.Count() > before; })) << "round " << round;
    }
}

TEST_F(StatusLabelTest, ColourFromAPollThreadReachesTheNextPaint) {
    CStatusLabel label;
    label.resize(60, 20);
    label.show();
    std::thread([&] { label.SetBackgroundColour(0xFF0000); }).join();
    EXPECT_TRUE(WaitFor([&] { return label.BackgroundColour() == QColor(255, 0, 0); }));
    ExpectFace(label, QColor(255, 0, 0));
}

TEST_F(StatusLabelTest, ALaterResetOnTheUiThreadWinsOverAnEarlierPollColour) {
    CStatusLabel label;
    label.resize(60, 20);
    std::thread([&] { label.SetBackgroundColour(0x00FF00); }).join();
    // The poll's change is still queued when the reset comes.
    label.SetBackgroundColour(CStatusLabel::kDefaultColour);
    for (int i = 0; i < 5; ++i)
        QCoreApplication::processEvents();
    EXPECT_EQ(label.BackgroundColour(), SystemButton());
    ExpectFace(label, SystemButton());
}

TEST_F(StatusLabelTest, ColoursFromSeveralThreadsWhilePaintingEndInOneOfThem) {
    CStatusLabel label;
    label.resize(80, 20);
    label.show();
    std::atomic<bool> stop{false};
    const int colours[] = {0x00FF00, 0xFDFF30, 0xFF0000};
    std::vector<std::thread> polls;
    for (int t = 0; t < 3; ++t)
        polls.emplace_back([&, t] {
            while (!stop)
                label.SetBackgroundColour(colours[t]);
        });
    for (int i = 0; i < 50; ++i) {
        QCoreApplication::processEvents();
        const QRgb face = At(Render(label), 40, 10) & 0xFFFFFFu;
        ASSERT_TRUE(face == 0x00FF00 || face == 0xFDFF30 || face == 0xFF0000 ||
                    face == (SystemButton().rgb() & 0xFFFFFFu))
            << std::hex << face;
    }
    stop = true;
    for (std::thread& poll : polls)
        poll.join();
    label.SetBackgroundColour(0xFDFF30);
    for (int i = 0; i < 5; ++i)
        QCoreApplication::processEvents();
    EXPECT_EQ(label.BackgroundColour(), QColor(253, 255, 48));
}

} // namespace
