// The status label in a light and a dark palette: its faces and legible text in every state.
#include "controls/StatusLabel.h"

#include "tests/controls/PixelSupport.h"

#include <QApplication>

#include <gtest/gtest.h>

#include <cmath>

using PixelSupport::At;

namespace {

// Relative luminance of a colour (WCAG 2): the contrast of two is (L1 + 0.05) / (L2 + 0.05).
double Luminance(QRgb c) {
    auto linear = [](int v) {
        return v <= 10 ? v / 255.0 / 12.92 : std::pow((v / 255.0 + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * linear(qRed(c)) + 0.7152 * linear(qGreen(c)) + 0.0722 * linear(qBlue(c));
}

TEST(StatusLabelTest, EveryStateFillsTheFaceWithLegibleTextInLightAndDarkThemes) {
    const QPalette light = QApplication::palette();
    QPalette dark = light;
    dark.setColor(QPalette::Button, QColor(53, 53, 53));
    dark.setColor(QPalette::ButtonText, QColor(238, 238, 238));
    for (const QPalette& theme : {light, dark}) {
        QApplication::setPalette(theme);
        CStatusLabel label;
        label.resize(160, 30);
        label.setFont(QFont(QStringLiteral("DejaVu Sans"), 16, QFont::Bold));
        label.setText(QStringLiteral("WWWW"));
        const QRgb neutral = theme.color(QPalette::Button).rgb() & 0xFFFFFF;
        // Status colours (a stray bit above 24 ignored), white, and all ones for the default.
        const std::pair<int, QRgb> states[] = {{0x00FF00, 0x00FF00}, {0x7EFDFF30, 0xFDFF30},
                                               {0xFF0000, 0xFF0000}, {-1, neutral},
                                               {0xFFFFFF, 0xFFFFFF}, {-1, neutral}};
        for (const auto& [set, face] : states) {
            label.SetBackgroundColour(set);
            const QImage image = PixelSupport::Render(label);
            EXPECT_EQ(At(image, 0, 0) & At(image, 159, 29) & 0xFFFFFF, face) << std::hex << set;
            double lightest = 0, darkest = 1; // of the text, over the face
            for (int y = 0; y < image.height(); ++y)
                for (int x = 0; x < image.width(); ++x) {
                    lightest = std::max(lightest, Luminance(At(image, x, y)));
                    darkest = std::min(darkest, Luminance(At(image, x, y)));
                }
            const double f = Luminance(face);
            EXPECT_GE(std::max((lightest + 0.05) / (f + 0.05), (f + 0.05) / (darkest + 0.05)), 4.5)
                << "text on " << std::hex << face << " in theme " << neutral;
        }
    }
    QApplication::setPalette(light);
}

} // namespace
