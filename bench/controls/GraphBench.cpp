// Prints the cost of painting a full history graph and of adding a sample from another thread,
// each beside a baseline measured in the same run.
#include "controls/AccessGraph.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QPainter>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

namespace {

constexpr int kWidth = 1280;
constexpr int kHeight = 96;
constexpr int kLegend = 50;
constexpr int kPaints = 300;
constexpr int kSamples = 1000000;

void SetUp(CAccessGraph& graph) {
    graph.resize(kWidth, kHeight);
    graph.SetLegendWidth(kLegend);
    graph.SetLegendLineCount(5);
    graph.SetLegendOnLeft(false);
    graph.SetLeftToRight(false);
    const char* marks[] = {"400 ms", "320 ms", "240 ms", "160 ms", "80 ms"};
    for (int i = 0; i < 5; ++i)
        graph.SetLegendText(i, QString::fromLatin1(marks[i]));
    graph.SetScale(400.0);
    for (int i = 0; i < kWidth; ++i)
        graph.AddSample(50.0 + (i * 37) % 300, i % 17 == 0);
}

// The same picture without the control: black field, legend texts, one pair of fills per bar.
void PaintByHand(QImage& image, const std::vector<double>& values) {
    QPainter painter(&image);
    painter.fillRect(QRect(0, 0, kWidth, kHeight), Qt::black);
    painter.setPen(Qt::white);
    const char* marks[] = {"400 ms", "320 ms", "240 ms", "160 ms", "80 ms"};
    for (int i = 0; i < 5; ++i)
        painter.drawText(QRect(kWidth - kLegend, i * (kHeight / 5), kLegend, kHeight / 5),
                         Qt::AlignHCenter | Qt::AlignTop | Qt::TextWordWrap,
                         QString::fromLatin1(marks[i]));
    const int plot = kHeight - 2;
    size_t k = 0;
    for (int left = kWidth - kLegend - 2; left >= 0; left -= 3, ++k) {
        const int b = static_cast<int>(plot * values[k % values.size()] / 400.0);
        painter.fillRect(QRect(left, 0, 2, kHeight - b), Qt::black);
        painter.fillRect(QRect(left, kHeight - b, 2, b), QColor(0, 252, 0));
    }
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    CAccessGraph graph(nullptr, kWidth);
    SetUp(graph);
    QImage image(kWidth, kHeight, QImage::Format_RGB32);

    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < kPaints; ++i)
        graph.render(&image);
    const double graphPaint = timer.nsecsElapsed() / 1e3 / kPaints;

    std::vector<double> values;
    for (int i = 0; i < kWidth; ++i)
        values.push_back(50.0 + (i * 37) % 300);
    timer.restart();
    for (int i = 0; i < kPaints; ++i)
        PaintByHand(image, values);
    const double handPaint = timer.nsecsElapsed() / 1e3 / kPaints;
    std::printf("paint %dx%d graph: %.1f us, by hand %.1f us, ratio %.2f\n", kWidth, kHeight,
                graphPaint, handPaint, graphPaint / handPaint);

    // AddSample from a poll thread while the UI thread keeps painting.
    std::atomic<bool> done{false};
    double addNs = 0;
    std::thread poller([&] {
        QElapsedTimer clock;
        clock.start();
        for (int i = 0; i < kSamples; ++i)
            graph.AddSample(i % 400, i % 2);
        addNs = double(clock.nsecsElapsed()) / kSamples;
        done = true;
    });
    int paintsMeanwhile = 0;
    while (!done) {
        graph.render(&image);
        QCoreApplication::processEvents();
        ++paintsMeanwhile;
    }
    poller.join();

    std::mutex lock;
    std::vector<double> ring(kWidth), marks(kWidth);
    int newest = 0;
    double bareNs = 0;
    std::thread bare([&] {
        QElapsedTimer clock;
        clock.start();
        for (int i = 0; i < kSamples; ++i) {
            std::lock_guard guard(lock);
            newest = newest + 1 == kWidth ? 0 : newest + 1;
            ring[newest] = i % 400;
            marks[newest] = i % 2;
        }
        bareNs = double(clock.nsecsElapsed()) / kSamples;
    });
    bare.join();
    std::printf("AddSample from a thread during %d paints: %.1f ns, bare locked ring write %.1f "
                "ns, ratio %.2f\n",
                paintsMeanwhile, addNs, bareNs, addNs / bareNs);
    return 0;
}
