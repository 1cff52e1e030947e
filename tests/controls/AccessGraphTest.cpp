#include "controls/AccessGraph.h"

#include "tests/controls/PixelSupport.h"

#include <QFont>
#include <QGuiApplication>
#include <QRandomGenerator>
#include <QScreen>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <set>
#include <thread>
#include <vector>

using PixelSupport::At;
using PixelSupport::Render;
using PixelSupport::Rgb;

namespace {

const QRgb kBlack = Rgb(0, 0, 0);
const QRgb kGreen = Rgb(0, 252, 0);
const QRgb kYellow = Rgb(253, 255, 48);

// A graph of the given size with bars only: no legend column, scale 100.
void SetUpBarsOnly(CAccessGraph& graph, int width, int height, bool leftToRight = true) {
    graph.resize(width, height);
    ASSERT_TRUE(graph.SetLegendWidth(0));
    ASSERT_TRUE(graph.SetLegendLineCount(0));
    ASSERT_TRUE(graph.SetLeftToRight(leftToRight));
    ASSERT_TRUE(graph.SetScale(100.0));
}

// Height of the coloured run at the bottom of column x, after checking that the column is
// black above it and one colour within it; colour receives that colour (black when none).
int BarHeightAt(const QImage& image, int x, QRgb* colour = nullptr) {
    int top = image.height();
    while (top > 0 && At(image, x, top - 1) != kBlack)
        --top;
    const QRgb bar = top < image.height() ? At(image, x, image.height() - 1) : kBlack;
    for (int y = top; y < image.height(); ++y)
        EXPECT_EQ(At(image, x, y), bar) << "x " << x << " y " << y;
    for (int y = 0; y < top; ++y)
        EXPECT_EQ(At(image, x, y), kBlack) << "x " << x << " y " << y;
    if (colour)
        *colour = bar;
    return image.height() - top;
}

// Heights of the bars at the given left edges (both columns of a bar must agree).
std::vector<int> BarHeights(const QImage& image, const std::vector<int>& lefts) {
    std::vector<int> heights;
    for (int left : lefts) {
        const int height = BarHeightAt(image, left);
        EXPECT_EQ(BarHeightAt(image, left + 1), height) << "bar at " << left;
        heights.push_back(height);
    }
    return heights;
}

// White text, antialiased on black: grey levels only.
bool IsGrey(QRgb pixel) {
    return qRed(pixel) == qGreen(pixel) && qGreen(pixel) == qBlue(pixel);
}
bool IsText(QRgb pixel) {
    return IsGrey(pixel) && qRed(pixel) > 60;
}

// Rows of the legend column [left, left + width) that carry text pixels.
std::vector<int> TextRows(const QImage& image, int left, int width) {
    std::vector<int> rows;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = left; x < left + width; ++x) {
            if (IsText(At(image, x, y))) {
                rows.push_back(y);
                break;
            }
        }
    }
    return rows;
}

QFont PixelFont(int pixels) {
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(pixels);
    return font;
}

TEST(AccessGraphTest, StartsWithTheDocumentedDefaultsAndAScreenWideRing) {
    CAccessGraph graph;
    ASSERT_TRUE(graph.IsReady());
    const QScreen* screen = QGuiApplication::primaryScreen();
    ASSERT_NE(screen, nullptr);
    EXPECT_EQ(graph.Capacity(), screen->geometry().width());
    EXPECT_EQ(graph.NewestIndex(), 0);
    EXPECT_EQ(graph.Scale(), 100.0);
    EXPECT_EQ(graph.LegendLineCount(), 0);
    EXPECT_EQ(graph.LegendWidth(), 0);
    EXPECT_TRUE(graph.LegendOnLeft());
    EXPECT_TRUE(graph.LeftToRight());
    for (int i = 0; i < graph.Capacity(); i += 97)
        EXPECT_EQ(graph.SampleValue(i), 0.0);
}

TEST(AccessGraphTest, BarHeightIsThePlotHeightTimesValueOverScaleTruncatedAndCapped) {
    CAccessGraph graph(nullptr, 64);
    SetUpBarsOnly(graph, 60, 50); // plot height 48
    // Added oldest first; left to right puts the newest at x 0, the older ones at 3, 6, ...
    for (double value : {33.3, 99.9, 0.1, 50.0, 200.0, 100.0})
        graph.AddSample(value, 0.0);
    const QImage image = Render(graph);
    //                       100  200  50   0.1 99.9 33.3
    EXPECT_EQ(BarHeights(image, {0, 3, 6, 9, 12, 15}), (std::vector<int>{48, 48, 24, 0, 47, 15}));
    // A full bar leaves a 2-pixel black strip at the top; the gaps between bars stay black.
    EXPECT_EQ(At(image, 0, 1), kBlack);
    EXPECT_EQ(At(image, 0, 2), kGreen);
    for (int x : {2, 5, 8, 11, 14})
        for (int y = 0; y < 50; ++y)
            ASSERT_EQ(At(image, x, y), kBlack) << x << "," << y;
}

TEST(AccessGraphTest, MarkedSamplesAreYellowUnmarkedGreenAndZeroSamplesBlack) {
    CAccessGraph graph(nullptr, 64);
    SetUpBarsOnly(graph, 30, 40);
    graph.AddSample(0.0, 1.0); // a failed probe: no bar whatever the mark
    graph.AddSample(80.0, 0.0);
    graph.AddSample(80.0, 0.5);
    graph.AddSample(80.0, 1.0);
    graph.AddSample(0.0, 0.0);
    const QImage image = Render(graph);
    QRgb colour;
    EXPECT_EQ(BarHeightAt(image, 0, &colour), 0);
    EXPECT_EQ(BarHeightAt(image, 3, &colour), 30);
    EXPECT_EQ(colour, kYellow);
    EXPECT_EQ(BarHeightAt(image, 6, &colour), 30);
    EXPECT_EQ(colour, kYellow);
    EXPECT_EQ(BarHeightAt(image, 9, &colour), 30);
    EXPECT_EQ(colour, kGreen);
    EXPECT_EQ(BarHeightAt(image, 12, &colour), 0);
}

TEST(AccessGraphTest, RightToLeftWalkStartsAtTheLegendOnTheRightAndFillsToTheLeftEdge) {
    CAccessGraph graph(nullptr, 400);
    graph.resize(200, 42); // plot height 40; bar area 0..149
    graph.SetLegendWidth(50);
    graph.SetLegendOnLeft(false);
    graph.SetLeftToRight(false);
    graph.SetLegendLineCount(0);
    graph.SetScale(100.0);
    // 60 samples, oldest first: 1, 2, ..., 60 percent of the scale.
    for (int i = 1; i <= 60; ++i)
        graph.AddSample(i, 0.0);
    const QImage image = Render(graph);

    // Newest at 148..149, then every 3 pixels to the left while the bar's left edge >= 0: the
    // last bar at 1..2, so 50 bars and column 0 untouched.
    std::vector<int> lefts;
    std::vector<int> expected;
    for (int k = 0; k < 50; ++k) {
        lefts.push_back(148 - 3 * k);
        expected.push_back(static_cast<int>(40 * (60.0 - k) / 100.0));
    }
    EXPECT_EQ(BarHeights(image, lefts), expected);
    EXPECT_EQ(BarHeightAt(image, 0), 0);
    // Nothing of the bars reaches the legend column.
    for (int x = 150; x < 200; ++x)
        for (int y = 0; y < 42; ++y)
            ASSERT_EQ(At(image, x, y), kBlack) << x << "," << y;
}

TEST(AccessGraphTest, LeftToRightWalkStartsBesideTheLegendOnTheLeftAndStopsThreeShortOfTheEdge) {
    CAccessGraph graph(nullptr, 400);
    graph.resize(200, 42);
    graph.SetLegendWidth(30); // bar area 30..199
    graph.SetLegendOnLeft(true);
    graph.SetLeftToRight(true);
    graph.SetLegendLineCount(0);
    graph.SetScale(100.0);
    for (int i = 0; i < 100; ++i)
        graph.AddSample(100.0, 0.0);
    const QImage image = Render(graph);

    // Bars at 30, 33, ..., 195 (left edge <= 200 - 3); 197 to 199 untouched.
    for (int left = 30; left <= 195; left += 3) {
        ASSERT_EQ(BarHeightAt(image, left), 40) << left;
        ASSERT_EQ(BarHeightAt(image, left + 1), 40) << left;
        ASSERT_EQ(BarHeightAt(image, left + 2), 0) << left;
    }
    EXPECT_EQ(BarHeightAt(image, 198), 0);
    EXPECT_EQ(BarHeightAt(image, 199), 0);
    for (int x = 0; x < 30; ++x)
        ASSERT_EQ(BarHeightAt(image, x), 0) << x;
}

TEST(AccessGraphTest, RingWrapsAtItsCapacity) {
    CAccessGraph graph(nullptr, 1280);
    graph.AddSample(1.0, 0.0);
    EXPECT_EQ(graph.NewestIndex(), 1);
    for (int i = 2; i <= 1280; ++i)
        graph.AddSample(i, i % 2);
    EXPECT_EQ(graph.NewestIndex(), 0);
    EXPECT_EQ(graph.SampleValue(0), 1280.0);
    EXPECT_EQ(graph.SampleMark(0), 0.0);
    EXPECT_EQ(graph.SampleValue(1), 1.0);
    graph.AddSample(1281.0, 1.0);
    EXPECT_EQ(graph.NewestIndex(), 1);
    EXPECT_EQ(graph.SampleValue(1), 1281.0);
    EXPECT_EQ(graph.SampleMark(1), 1.0);
    EXPECT_EQ(graph.SampleValue(2), 2.0);
}

TEST(AccessGraphTest, WalkWrapsFromTheOldestEntryBackToTheNewestInASmallRing) {
    // A ring smaller than the bars that fit shows its samples again, newest first; entries never
    // written draw no bar.
    CAccessGraph graph(nullptr, 5);
    SetUpBarsOnly(graph, 45, 22); // 15 bars, plot height 20
    graph.AddSample(50.0, 0.0);
    graph.AddSample(100.0, 1.0);
    graph.AddSample(25.0, 0.0); // ring: [0, 50, 100, 25, 0], newest index 3
    const QImage image = Render(graph);
    std::vector<int> lefts;
    for (int k = 0; k < 15; ++k)
        lefts.push_back(3 * k);
    EXPECT_EQ(BarHeights(image, lefts),
              (std::vector<int>{5, 20, 10, 0, 0, 5, 20, 10, 0, 0, 5, 20, 10, 0, 0}));
    QRgb colour;
    BarHeightAt(image, 18, &colour);
    EXPECT_EQ(colour, kYellow);
}

TEST(AccessGraphTest, ClearedSamplesDrawNoBars) {
    CAccessGraph graph(nullptr, 16);
    SetUpBarsOnly(graph, 48, 30);
    for (int i = 0; i < 20; ++i)
        graph.AddSample(70.0, i % 2);
    graph.ClearSamples();
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(graph.SampleValue(i), 0.0);
        EXPECT_EQ(graph.SampleMark(i), 0.0);
    }
    const QImage image = Render(graph);
    for (int x = 0; x < 48; ++x)
        ASSERT_EQ(BarHeightAt(image, x), 0) << x;
}

TEST(AccessGraphTest, ScaleZeroDrawsOnlyTheFieldAndTheLegend) {
    CAccessGraph graph(nullptr, 64);
    graph.resize(120, 60);
    graph.setFont(PixelFont(11));
    graph.SetLegendWidth(40);
    graph.SetLegendLineCount(2);
    graph.SetLegendText(0, QStringLiteral("100"));
    graph.SetLegendText(1, QStringLiteral("0"));
    for (int i = 0; i < 30; ++i)
        graph.AddSample(90.0, i % 3 == 0);
    graph.SetScale(0.0);
    const QImage image = Render(graph);
    int text = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QRgb pixel = At(image, x, y);
            ASSERT_TRUE(IsGrey(pixel)) << x << "," << y;
            if (pixel != kBlack) {
                ASSERT_LT(x, 40);
                ++text;
            }
        }
    }
    EXPECT_GT(text, 10);
}

// Legend texts that wrap far beyond their band: one digit a line in a narrow column.
void SetUpOverflowingLegend(CAccessGraph& graph, int height, int lines) {
    graph.resize(100, height);
    graph.setFont(PixelFont(11));
    graph.SetLegendWidth(20);
    graph.SetLegendOnLeft(true);
    graph.SetLegendLineCount(lines);
    for (int i = 0; i < lines; ++i)
        graph.SetLegendText(i, QStringLiteral("8 8 8 8 8 8 8 8"));
    graph.SetScale(0.0);
}

void ExpectBands(const QImage& image, int band, int lines) {
    const std::vector<int> rows = TextRows(image, 0, 20);
    for (int i = 0; i < lines; ++i) {
        std::vector<int> inBand;
        for (int y : rows)
            if (y >= i * band && y < (i + 1) * band)
                inBand.push_back(y);
        ASSERT_FALSE(inBand.empty()) << "band " << i;
        // Each text starts near the top of its band and is cut at its bottom edge, however
        // much more it has to say.
        EXPECT_LT(inBand.front(), i * band + band / 2) << "band " << i;
        EXPECT_GE(inBand.back(), i * band + band / 2) << "band " << i;
    }
    for (int y : rows)
        EXPECT_LT(y, lines * band) << "text below the last band";
}

TEST(AccessGraphTest, LegendBandsAreTheHeightDividedByTheLineCount) {
    CAccessGraph graph(nullptr, 64);
    SetUpOverflowingLegend(graph, 100, 5);
    const QImage image = Render(graph);
    ExpectBands(image, 20, 5);
    // The text is centred in its column.
    int leftmost = 20, rightmost = -1;
    for (int y = 0; y < 100; ++y)
        for (int x = 0; x < 20; ++x)
            if (IsText(At(image, x, y))) {
                leftmost = std::min(leftmost, x);
                rightmost = std::max(rightmost, x);
            }
    ASSERT_GE(rightmost, leftmost);
    EXPECT_LE(std::abs(leftmost - (19 - rightmost)), 2);
}

TEST(AccessGraphTest, LegendBandsRoundDownAndLeaveTheRestBlack) {
    CAccessGraph graph(nullptr, 64);
    SetUpOverflowingLegend(graph, 103, 5);
    const QImage image = Render(graph);
    ExpectBands(image, 20, 5);
    for (int y = 100; y < 103; ++y)
        for (int x = 0; x < 100; ++x)
            ASSERT_EQ(At(image, x, y), kBlack) << x << "," << y;
}

TEST(AccessGraphTest, LegendCountZeroDrawsNoTextButStillTakesTheColumn) {
    CAccessGraph graph(nullptr, 64);
    graph.resize(100, 30);
    graph.SetLegendWidth(40);
    graph.SetLegendOnLeft(true);
    graph.SetLegendText(0, QStringLiteral("not drawn"));
    graph.SetLegendLineCount(0);
    graph.SetLeftToRight(true);
    graph.AddSample(100.0, 0.0);
    const QImage image = Render(graph);
    for (int y = 0; y < 30; ++y)
        for (int x = 0; x < 40; ++x)
            ASSERT_EQ(At(image, x, y), kBlack) << x << "," << y;
    EXPECT_EQ(BarHeightAt(image, 40), 28);
    EXPECT_EQ(BarHeightAt(image, 41), 28);
}

TEST(AccessGraphTest, LegendCountAboveTenIsCappedAtTen) {
    CAccessGraph graph(nullptr, 64);
    graph.resize(60, 100);
    graph.setFont(PixelFont(7));
    graph.SetLegendWidth(30);
    graph.SetScale(0.0);
    for (int i = 0; i < CAccessGraph::kLegendTexts; ++i)
        graph.SetLegendText(i, QString::number(i));
    EXPECT_TRUE(graph.SetLegendLineCount(12));
    EXPECT_EQ(graph.LegendLineCount(), 10);
    const QImage image = Render(graph);
    // Ten texts, one per 10-pixel band (12 lines would have given 8-pixel bands).
    const std::vector<int> rows = TextRows(image, 0, 30);
    std::vector<int> starts;
    for (size_t i = 0; i < rows.size(); ++i)
        if (i == 0 || rows[i] != rows[i - 1] + 1)
            starts.push_back(rows[i]);
    ASSERT_EQ(starts.size(), 10u);
    for (size_t i = 1; i < starts.size(); ++i)
        EXPECT_EQ(starts[i] - starts[i - 1], 10) << i;
    EXPECT_TRUE(graph.SetLegendLineCount(-3));
    EXPECT_EQ(graph.LegendLineCount(), 0);
}

TEST(AccessGraphTest, WithoutRingsEveryChangeIsRefusedAndTheLabelPaintsItself) {
    CAccessGraph graph(nullptr, -1);
    EXPECT_FALSE(graph.IsReady());
    EXPECT_FALSE(graph.AddSample(10.0, 0.0));
    EXPECT_FALSE(graph.SetScale(5.0));
    EXPECT_FALSE(graph.SetLegendWidth(50));
    EXPECT_FALSE(graph.SetLegendLineCount(5));
    EXPECT_FALSE(graph.SetLegendOnLeft(false));
    EXPECT_FALSE(graph.SetLeftToRight(false));
    graph.ClearSamples();
    EXPECT_EQ(graph.Scale(), 100.0);
    EXPECT_EQ(graph.LegendWidth(), 0);
    graph.resize(40, 20);
    const QImage image = Render(graph);
    // A plain label: the window's ground, not the black field.
    EXPECT_NE(At(image, 20, 10), kBlack);
}

TEST(AccessGraphTest, SamplesFromAnotherThreadWhilePaintingStayWholeAndRepaint) {
    CAccessGraph graph(nullptr, 300);
    SetUpBarsOnly(graph, 300, 52, false);
    graph.show();
    PixelSupport::PaintCounter paints(graph);

    // Every sample is a full bar marked or not; a torn read would show other heights.
    std::atomic<bool> stop{false};
    std::atomic<int> added{0};
    std::thread poller([&] {
        int i = 0;
        while (!stop) {
            graph.AddSample(100.0 + (i % 7), i % 2);
            if (i % 50 == 0)
                graph.SetScale(100.0);
            ++i;
            ++added;
        }
    });
    // On a loaded machine the poller may not have run yet: paint while it does.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (int round = 0;
         round < 40 || (added < 500 && std::chrono::steady_clock::now() < deadline); ++round) {
        const QImage image = Render(graph);
        for (int left = 298; left >= 0; left -= 3) {
            const int height = BarHeightAt(image, left);
            ASSERT_TRUE(height == 0 || height == 50) << left;
        }
        QCoreApplication::processEvents();
    }
    stop = true;
    poller.join();
    EXPECT_GT(added.load(), 0);
    for (int i = 0; i < 5; ++i)
        QCoreApplication::processEvents();

    // A sample from another thread gets the control repainted on the UI thread.
    const int before = paints.Count();
    std::thread([&] { graph.AddSample(50.0, 0.0); }).join();
    EXPECT_TRUE(PixelSupport::WaitFor([&] { return paints.Count() > before; }));
    const QImage image = Render(graph);
    EXPECT_EQ(BarHeightAt(image, 298), 25);
}

TEST(AccessGraphTest, RealisticHistoryIsSavedForALook) {
    // A slot as the main window shows it: legend on the right, newest bar beside it.
    CAccessGraph graph(nullptr, 1280);
    graph.resize(370, 96);
    graph.SetLegendWidth(50);
    graph.SetLegendLineCount(5);
    graph.SetLeftToRight(false);
    graph.SetLegendOnLeft(false);
    const char* marks[] = {"400 ms", "320 ms", "240 ms", "160 ms", "80 ms"};
    for (int i = 0; i < 5; ++i)
        graph.SetLegendText(i, QString::fromLatin1(marks[i]));
    graph.SetScale(400.0);
    QRandomGenerator random(20261206);
    for (int i = 0; i < 150; ++i) {
        double value = 60.0 + random.bounded(80);
        double mark = 0.0;
        if (i % 37 == 11) {
            value = 330.0 + random.bounded(150); // slower than the 300 ms threshold
            mark = 1.0;
        }
        if (i >= 90 && i < 96)
            value = 0.0; // an outage: failed probes draw nothing
        graph.AddSample(value, mark);
    }
    const QImage image = Render(graph);
    const QString path = QStringLiteral(TRELLION_BINARY_DIR "/graph.png");
    ASSERT_TRUE(image.save(path));
    std::set<QRgb> colours;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < 320; ++x)
            colours.insert(At(image, x, y));
    EXPECT_EQ(colours, (std::set<QRgb>{kBlack, kGreen, kYellow}));
    EXPECT_FALSE(TextRows(image, 320, 50).empty());
}

} // namespace
