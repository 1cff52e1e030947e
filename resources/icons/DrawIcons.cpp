// Draws the program's icons into PNG files at every size the resources carry. Not part of the
// build; run it after changing a picture and commit the PNGs:
//   g++ -std=c++20 -fPIC DrawIcons.cpp $(pkg-config --cflags --libs Qt6Gui) -o /tmp/draw-icons
//   QT_QPA_PLATFORM=offscreen /tmp/draw-icons resources/icons
#include <QColor>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

#include <cstdio>

namespace {

// Pictures are drawn on a 16-unit grid so that the 16-pixel icon lands on whole pixels.
constexpr double kLeft = 2.5, kRight = 13.5, kTop = 4.0, kBottom = 12.5, kRy = 2.0;

const QColor kOutline(20, 40, 90);
const QColor kBodyDark(40, 80, 160);
const QColor kBodyLight(95, 150, 230);
const QColor kLid(150, 195, 250);
const QColor kLit(60, 235, 255);

double BandY(int band) {
    return kTop + (kBottom - kTop) * band / 3.0;
}

// Lower half of the ellipse at height y: the visible front edge of a disc of the drum.
QPainterPath FrontEdge(double y) {
    QPainterPath path;
    path.moveTo(kLeft, y);
    path.arcTo(QRectF(kLeft, y - kRy, kRight - kLeft, 2 * kRy), 180, 180);
    return path;
}

// lit: -1 none, 0 the lid, 1..3 the drum's bands top to bottom.
void DrawDrum(QPainter& p, int lit) {
    const double width = kRight - kLeft;
    QLinearGradient body(kLeft, 0, kRight, 0);
    body.setColorAt(0, kBodyDark);
    body.setColorAt(0.45, kBodyLight);
    body.setColorAt(1, kBodyDark);

    for (int band = 1; band <= 3; ++band) {
        QPainterPath segment = FrontEdge(BandY(band));
        segment.lineTo(kRight, BandY(band - 1));
        segment.arcTo(QRectF(kLeft, BandY(band - 1) - kRy, width, 2 * kRy), 0, -180);
        segment.closeSubpath();
        p.fillPath(segment, band == lit ? QBrush(kLit) : QBrush(body));
    }
    p.setPen(QPen(kOutline, 0.9));
    for (int band = 1; band < 3; ++band)
        p.drawPath(FrontEdge(BandY(band)));

    QPainterPath outline = FrontEdge(kBottom);
    outline.lineTo(kRight, kTop);
    outline.moveTo(kLeft, kBottom);
    outline.lineTo(kLeft, kTop);
    p.setBrush(Qt::NoBrush);
    p.drawPath(outline);
    p.setBrush(lit == 0 ? kLit : kLid);
    p.drawEllipse(QRectF(kLeft, kTop - kRy, width, 2 * kRy));
}

// A round badge at the lower right, over the drum, with a white rim to part it from the drum.
void DrawBadge(QPainter& p, const QColor& fill) {
    p.setPen(QPen(Qt::white, 0.9));
    p.setBrush(fill);
    p.drawEllipse(QPointF(11.4, 11.4), 4.5, 4.5);
}

void DrawUnreachable(QPainter& p) {
    DrawDrum(p, -1);
    DrawBadge(p, QColor(230, 0, 0));
    p.setPen(QPen(Qt::white, 1.3, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(9.9, 9.9), QPointF(12.9, 12.9));
    p.drawLine(QPointF(12.9, 9.9), QPointF(9.9, 12.9));
}

void DrawSlow(QPainter& p) {
    DrawDrum(p, -1);
    DrawBadge(p, QColor(253, 220, 0));
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::black);
    p.drawRect(QRectF(10.8, 8.6, 1.3, 3.6));
    p.drawRect(QRectF(10.8, 13.0, 1.3, 1.3));
}

bool Write(const QString& folder, int id, int size, int lit) {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 16.0, size / 16.0);
    if (id == 138)
        DrawUnreachable(p);
    else if (id == 142)
        DrawSlow(p);
    else
        DrawDrum(p, lit);
    p.end();
    return image.save(QStringLiteral("%1/%2-%3.png").arg(folder).arg(id).arg(size));
}

} // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    const QString folder = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(".");
    const struct {
        int id;
        int lit;
    } icons[] = {{128, -1}, {131, 0}, {132, 1}, {133, 2}, {134, 3}, {138, -1}, {142, -1}};
    for (const auto& icon : icons) {
        for (int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
            if (!Write(folder, icon.id, size, icon.lit)) {
                std::fprintf(stderr, "cannot write icon %d at %d px\n", icon.id, size);
                return 1;
            }
        }
    }
    return 0;
}
