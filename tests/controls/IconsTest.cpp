#include "controls/Icons.h"

#include <QImage>
#include <QPainter>
#include <QPixmap>

#include <gtest/gtest.h>

#include <thread>

namespace {

const int kAllIcons[] = {IconId::Program, IconId::Frame1,      IconId::Frame2, IconId::Frame3,
                         IconId::Frame4,  IconId::Unreachable, IconId::Slow};

QImage At(int id, int size) {
    return TrellionIcon(id)
        .pixmap(QSize(size, size))
        .toImage()
        .convertToFormat(QImage::Format_ARGB32);
}

// Opaque pixels that are clearly of the given kind.
int Count(const QImage& image, bool (*kind)(QRgb)) {
    int count = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (qAlpha(image.pixel(x, y)) > 200 && kind(image.pixel(x, y)))
                ++count;
    return count;
}

bool IsRed(QRgb p) {
    return qRed(p) > 180 && qGreen(p) < 60 && qBlue(p) < 60;
}
bool IsYellow(QRgb p) {
    return qRed(p) > 200 && qGreen(p) > 180 && qBlue(p) < 80;
}
bool IsBlue(QRgb p) {
    return qBlue(p) > 120 && qRed(p) < qBlue(p) - 40;
}

TEST(IconsTest, EveryNumberHasAPictureAtTheTraySizes) {
    for (int id : kAllIcons) {
        const QIcon icon = TrellionIcon(id);
        ASSERT_FALSE(icon.isNull()) << id;
        for (int size : {16, 22, 32, 48}) {
            const QImage image = At(id, size);
            EXPECT_EQ(image.size(), QSize(size, size)) << id;
            // A drum fills a good part of the square, so the picture is not a speck.
            EXPECT_GT(Count(image, IsBlue), size * size / 5) << id << " at " << size;
        }
    }
    EXPECT_TRUE(TrellionIcon(0).isNull());
    EXPECT_TRUE(TrellionIcon(129).isNull());
}

TEST(IconsTest, StatusIconsCarryTheirColouredMarkAndTheOthersNone) {
    for (int size : {16, 22}) {
        EXPECT_GT(Count(At(IconId::Unreachable, size), IsRed), size * size / 12) << size;
        EXPECT_GT(Count(At(IconId::Slow, size), IsYellow), size * size / 12) << size;
        for (int id : {IconId::Program, IconId::Frame1, IconId::Frame4}) {
            EXPECT_EQ(Count(At(id, size), IsRed), 0) << id;
            EXPECT_EQ(Count(At(id, size), IsYellow), 0) << id;
        }
    }
}

TEST(IconsTest, AnimationFramesDifferFromEachOtherAndFromTheProgramIcon) {
    const int frames[] = {IconId::Program, IconId::Frame1, IconId::Frame2, IconId::Frame3,
                          IconId::Frame4};
    for (int a = 0; a < 5; ++a)
        for (int b = a + 1; b < 5; ++b)
            EXPECT_NE(At(frames[a], 22), At(frames[b], 22)) << frames[a] << " " << frames[b];
}

TEST(IconsTest, StringsByNumber) {
    EXPECT_EQ(TrellionString(128), QStringLiteral("Trellion"));
    EXPECT_EQ(TrellionString(57344), QStringLiteral("Trellion"));
    EXPECT_EQ(TrellionString(110), QString());
    EXPECT_EQ(TrellionString(138), QString());
}

TEST(IconsTest, FirstUseFromAPollThreadIsSafe) {
    bool found = false;
    std::thread([&] { found = !TrellionIcon(IconId::Slow).isNull(); }).join();
    EXPECT_TRUE(found);
}

TEST(IconsTest, SheetAt22PixelsIsSavedForALook) {
    QImage sheet(7 * 30, 30, QImage::Format_ARGB32);
    sheet.fill(QColor(214, 214, 214));
    QPainter painter(&sheet);
    for (int i = 0; i < 7; ++i)
        painter.drawImage(4 + 30 * i, 4, At(kAllIcons[i], 22));
    painter.end();
    EXPECT_TRUE(sheet.save(QStringLiteral(TRELLION_BINARY_DIR "/icons-22.png")));
}

} // namespace
