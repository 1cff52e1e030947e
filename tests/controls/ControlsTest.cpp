// The controls rendered to pixels (graph bars, status faces in light and dark themes); the tray
// icon on a recording shell (what it hands the shell, its menu, how it comes back, what clicks
// do).
#include "controls/AccessGraph.h"
#include "controls/Icons.h"
#include "controls/StatusLabel.h"
#include "controls/TrayIcon.h"
#include "tests/common/TestSupport.h"
#include "tests/common/tray/RecordingTrayShell.h"

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

#include <cmath>

namespace {

// The control painted on an opaque magenta ground, so that a pixel left untouched stands out.
QImage Render(QWidget& widget) {
    QImage image(widget.size(), QImage::Format_RGB32);
    image.fill(QColor(255, 0, 255));
    widget.render(&image);
    return image;
}
QRgb At(const QImage& image, int x, int y) {
    return image.pixel(x, y) & 0xFFFFFF;
}

// Each bar of width columns from x on, step pixels apart, as height:RRGGBB; every column black
// above one colour that reaches the bottom, the columns of a bar alike.
std::vector<QString> Bars(QWidget& graph, int x, int step, int count, int width = 2) {
    const QImage image = Render(graph);
    std::vector<QString> bars;
    for (; count-- > 0; x += step) {
        QStringList columns;
        for (int column = x; column < x + width; ++column) {
            int top = image.height();
            while (top > 0 && At(image, column, top - 1) != 0)
                --top;
            const QRgb colour = At(image, column, image.height() - 1);
            for (int y = 0; y < image.height(); ++y)
                EXPECT_EQ(At(image, column, y), y < top ? 0 : colour) << column << "," << y;
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
    for (const auto& [value, mark] :
         {std::pair{33.3, 0.0}, {99.9, 1}, {0.1, 0}, {50, 0.5}, {200, 0}, {0, 1}})
        graph.AddSample(value, mark);
    // Newest first from x 0, every 3 pixels, the gaps between black.
    EXPECT_EQ(Bars(graph, 0, 3, 6), (std::vector<QString>{"0:000000", "48:00fc00", "24:fdff30",
                                                          "0:000000", "47:fdff30", "15:00fc00"}));
    EXPECT_EQ(Bars(graph, 2, 3, 6, 1), std::vector<QString>(6, "0:000000"));
}

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
            const QImage image = Render(label);
            EXPECT_EQ(At(image, 0, 0) & At(image, 159, 29), face) << std::hex << set;
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

constexpr unsigned kId = 110;
constexpr int kOpen = 32772;
constexpr int kTerminate = 32773;

// A tray menu as the window makes it: command ids as "controlId", the open command first.
std::unique_ptr<QMenu> TrayMenu() {
    auto menu = std::make_unique<QMenu>();
    menu->addAction(QStringLiteral("&Open Trellion"))->setProperty("controlId", kOpen);
    menu->addAction(QStringLiteral("&About Trellion..."))->setProperty("controlId", 57664);
    menu->addSeparator();
    menu->addAction(QStringLiteral("&Terminate Trellion"))->setProperty("controlId", kTerminate);
    return menu;
}

struct TrayIconTest : ::testing::Test {
    QString Shown() const { // icon number and tip as the host shows them
        const TrayRecord r = shell->Shown(kId);
        return shell->IsShown(kId) ? QString::number(r.iconNumber) + ":" + r.tip : "none";
    }
    QWidget window;
    std::unique_ptr<QMenu> menu = TrayMenu();
    std::shared_ptr<CRecordingTrayShell> shell = std::make_shared<CRecordingTrayShell>();
    std::unique_ptr<CTrayIcon> tray = std::make_unique<CTrayIcon>(kId, shell);
};

TEST_F(TrayIconTest, UpdatesCutTheTipClicksOpenAndAFailedOrLateHostGetsTheLastIconAgain) {
    EXPECT_TRUE(tray->UpdateIconFromResource(0) && shell->Calls().empty()) << "nothing to remove";
    tray->BindWindow(&window, 1024);
    const QString seventy = "Trellion\n" + QString(61, u'x');
    EXPECT_TRUE(tray->UpdateIconWithTip(IconId::Frame2, seventy));
    EXPECT_EQ(Shown(), "132:" + seventy.left(63));
    tray->UpdateIconWithTip(IconId::Frame4, QString());
    EXPECT_EQ(shell->Calls().back().record.flags, TrayFlag::Message | TrayFlag::Icon);
    tray->UpdateIconFromResource(IconId::Program); // string 128 becomes the tip
    EXPECT_EQ(Shown(), "128:Trellion");

    // The menu goes to the host, which shows it on the right button (and over DBusMenu); its
    // first command is the default, and what a left click runs (a single one is all a
    // StatusNotifierItem host reports). Other events do nothing, and no menu pops up here.
    QSignalSpy commands(tray.get(), &CTrayIcon::commandRequested);
    EXPECT_FALSE(tray->HandleTrayEvent(kId, TrayEvent::LeftButtonUp)) << "no menu, no command";
    tray->SetMenu(menu.get());
    EXPECT_EQ(shell->Menu(), menu.get());
    EXPECT_EQ(menu->defaultAction(), menu->actions().first());
    const std::tuple<unsigned, unsigned, bool> cases[] = {
        {TrayEvent::LeftButtonUp, kId, true},         {TrayEvent::LeftDoubleClick, kId, true},
        {TrayEvent::LeftDoubleClick, kId + 1, false}, {TrayEvent::MouseMove, kId, false},
        {TrayEvent::LeftButtonDown, kId, false},      {TrayEvent::RightButtonDown, kId, false},
        {TrayEvent::RightButtonUp, kId, false},       {TrayEvent::MiddleButtonUp, kId, false}};
    for (const auto& [event, id, opens] : cases) {
        commands.clear();
        EXPECT_EQ(tray->HandleTrayEvent(id, event) && commands.count() == 1 &&
                      commands.at(0).at(0).toInt() == kOpen,
                  opens)
            << std::hex << event << " " << id;
        EXPECT_EQ(QApplication::activePopupWidget(), nullptr) << std::hex << event;
    }
    // The first item decides: another menu, another command.
    menu->removeAction(menu->actions().first());
    commands.clear();
    tray->HandleTrayEvent(kId, TrayEvent::LeftButtonUp);
    EXPECT_EQ(commands.value(0).value(0).toInt(), 57664);

    // The host went away (and a restarted one forgets its icons): nothing shows until one comes,
    // then the last icon and tip asked for.
    shell->SetHostPresent(false);
    EXPECT_FALSE(tray->UpdateIconWithTip(IconId::Slow, QStringLiteral("Trellion\nslow")));
    EXPECT_FALSE(tray->IsShown());
    tray->LookForTray(20, 10000);
    TestSupport::WaitUntil([] { return false; }, 100);
    shell->SetHostPresent(true);
    ASSERT_TRUE(TestSupport::WaitUntil([&] { return tray->IsShown(); }, 10000));
    EXPECT_EQ(Shown(), "142:Trellion\nslow");
    tray.reset();
    EXPECT_EQ(Shown(), "none") << "destruction removes the icon";
    EXPECT_EQ(shell->Menu(), nullptr) << "and takes its menu back from the host";
}

} // namespace
