// The plot dock with 8 series of a million samples each, offscreen at 1600 x 1000:
//   repaint: the whole plot drawn into an image, median and worst of 30 paints, beside a
//     plain fill of the same image (the least a repaint costs);
//   a new batch: one received record of 8 readings taken into the plot (what the window
//     thread pays per record), median of 10,000.

#include "ui/tools/PlotUnit.h"

#include <QApplication>
#include <QImage>
#include <QPainter>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using SteadyClock = std::chrono::steady_clock;

double Ms(SteadyClock::time_point from) {
    return std::chrono::duration<double, std::milli>(SteadyClock::now() - from).count();
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    TPlotForm form;
    form.resize(1600 + 220, 1000 + 80);
    constexpr int kSeries = 8;
    constexpr int kSamples = 1000000;
    // Readings of 8 series, one line per ms.
    const uint64_t base = 1786000000000;
    for (int i = 0; i < kSamples; ++i) {
        std::string line;
        for (int s = 0; s < kSeries; ++s) {
            line += "s" + std::to_string(s) + ":" +
                    std::to_string(std::sin(i / (500.0 + 50 * s)) * (s + 1)) + " ";
        }
        line += "\n";
        form.AddRecord(true, base + static_cast<uint64_t>(i), static_cast<uint64_t>(i),
                       reinterpret_cast<const uint8_t*>(line.data()), line.size());
    }
    TPlotView& view = *form.View();
    view.resize(1600, 1000);
    view.SetSpanMs(kSamples); // everything kept in the window
    QImage image(view.size(), QImage::Format_ARGB32_Premultiplied);
    std::vector<double> paints;
    std::vector<double> fills;
    for (int round = 0; round < 31; ++round) {
        auto start = SteadyClock::now();
        view.render(&image);
        if (round > 0) {
            paints.push_back(Ms(start));
        }
        start = SteadyClock::now();
        {
            QPainter painter(&image);
            painter.fillRect(image.rect(), Qt::white);
        }
        fills.push_back(Ms(start));
    }
    std::printf("repaint of 8 x %d samples at 1600x1000: median %.2f ms, worst %.2f ms; plain "
                "fill of the image %.3f ms\n",
                kSamples, Median(paints), *std::max_element(paints.begin(), paints.end()),
                Median(fills));

    std::vector<double> batches;
    const std::string line = "s0:1 s1:2 s2:3 s3:4 s4:5 s5:6 s6:7 s7:8\n";
    for (int i = 0; i < 10000; ++i) {
        const auto start = SteadyClock::now();
        form.AddRecord(true, base + kSamples + static_cast<uint64_t>(i), 0,
                       reinterpret_cast<const uint8_t*>(line.data()), line.size());
        batches.push_back(Ms(start));
    }
    std::printf("a record of 8 readings into the plot: median %.4f ms, worst %.3f ms; memory "
                "%.0f MB\n",
                Median(batches), *std::max_element(batches.begin(), batches.end()),
                static_cast<double>(form.MemoryBytes()) / 1e6);
    return 0;
}
