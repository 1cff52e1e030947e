// The history graph rendered to pixels: bar heights and colours.
#include "controls/AccessGraph.h"

#include "tests/controls/PixelSupport.h"

#include <gtest/gtest.h>

using PixelSupport::At;
using PixelSupport::Render;

namespace {

// Each bar of width columns from x on, step pixels apart, as height:RRGGBB; every column black
// above one colour that reaches the bottom, the columns of a bar alike.
std::vector<QString> Bars(QWidget& graph, int x, int step, int count, int width = 2) {
    const QImage image = Render(graph);
    std::vector<QString> bars;
    for (; count-- > 0; x += step) {
        QStringList columns;
        for (int column = x; column < x + width; ++column) {
            int top = image.height();
            while (top > 0 && (At(image, column, top - 1) & 0xFFFFFF) != 0)
                --top;
            const QRgb colour = At(image, column, image.height() - 1) & 0xFFFFFF;
            for (int y = 0; y < image.height(); ++y)
                EXPECT_EQ(At(image, column, y) & 0xFFFFFF, y < top ? 0 : colour)
                    << column << "," << y;
            columns << QStringLiteral("%1:%2")
                           .arg(image.height() - top)
                           .arg(colour, 6, 16, QChar(u'0'));
        }
        EXPECT_EQ(columns.count(columns.first()), width) << x;
        bars.push_back(columns.first());
    }
    return bars;
}

TEST(AccessGraphTest, BarsAreTruncatedCappedAndColouredByTheirMark) {
    CAccessGraph graph(nullptr, 64);
    graph.resize(60, 50); // plot height 48 at the default scale 100, no legend
    const std::pair<double, double> samples[] = {{33.3, 0}, {99.9, 1}, {0.1, 0},
                                                 {50, 0.5}, {200, 0},  {0, 1}};
    for (const auto& [value, mark] : samples)
        graph.AddSample(value, mark);
    // Newest first from x 0, every 3 pixels, the gaps between black.
    EXPECT_EQ(Bars(graph, 0, 3, 6), (std::vector<QString>{"0:000000", "48:00fc00", "24:fdff30",
                                                          "0:000000", "47:fdff30", "15:00fc00"}));
    EXPECT_EQ(Bars(graph, 2, 3, 6, 1), std::vector<QString>(6, "0:000000"));
    ASSERT_TRUE(Render(graph).save(QStringLiteral(TRELLION_BINARY_DIR "/graph.png")));
}

} // namespace
