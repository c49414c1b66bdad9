// The plot dock with 8 series of a million samples each, offscreen at 1600 x 1000:
//   repaint: the whole plot drawn into an image, median and worst of 30 paints, beside a
//     plain fill of the same image (the least a repaint costs);
//   a new batch: one received record of 8 readings taken into the plot (what the window
//     thread pays per record), median of 10,000.
// Then the whole window at 10,000 samples/s for 10 minutes: a pseudo-terminal fed text lines
// of 10 readings, 1000 lines a second, through the receive thread, the pump, the traffic
// view and the open plot. Prints the samples lost, how long the View menu took to answer a
// request posted every 200 ms from another thread (with the window thread's CPU time in each
// answer over 50 ms, telling work from waiting for a core), the process's CPU time and the
// machine's load beside it.
//
//   plot_gui_bench [--seconds S] (the steady run's length, 600 by default; 0 skips it)

#include "WindowBench.h"
#include "serial/OruScomm.h"
#include "settings/SettingsFile.h"
#include "settings/SettingsRecord.h"
#include "ui/ScriptedPrompter.h"
#include "ui/main/ComComboBox.h"
#include "ui/main/MainForm.h"
#include "ui/tools/PlotUnit.h"

#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <pthread.h>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using windowbench::CpuSeconds;
using windowbench::LoadAverage;
using windowbench::Median;
using windowbench::Ms;
using windowbench::SteadyClock;

uint64_t SamplesTaken(const TSampleSet& samples) {
    uint64_t taken = 0;
    for (size_t i = 0; i < samples.Count(); ++i) {
        taken += samples.Series(i).Size() + samples.Series(i).Dropped();
    }
    return taken;
}

// The whole window: text lines from a pty into the open plot, the View menu asked for
// every 200 ms. Returns the process's exit status (1 when a sample was lost).
int SteadyRun(QApplication& app, int seconds) {
    constexpr int kSeriesPerLine = 10;
    constexpr int kLinesPerTick = 10; // every 10 ms: 1000 lines, 10,000 samples a second
    const std::string home = windowbench::MakeBenchHome("/tmp/korvane-plot-bench-XXXXXX");
    if (home.empty()) {
        return 2;
    }
    DataFolder().clear();
    const std::string folder = LocateDataFolder();
    const BenchPty pty = windowbench::OpenBenchPort(folder, "BENCH");

    ScriptedPrompter prompter;
    SettingsRecord settings;
    auto form = std::make_unique<TMainForm>(prompter, settings);
    form->CreateWindows();
    form->SetTextCapacity(2147482623);
    form->resize(1400, 900);
    form->show();
    form->AllCommands->trigger();
    form->PlotWindow->trigger();
    const int index = form->CBoxPort->findText(QStringLiteral("BENCH"));
    form->CBoxPort->setCurrentIndex(index);
    form->TbPort->trigger();
    if (index < 0 || !form->Connection()->Device->Connected() || form->PlotForm->isHidden()) {
        std::puts("could not open the pseudo-terminal or the plot");
        return 2;
    }
    QMenu* viewMenu = form->menuBar()->findChild<QMenu*>(QStringLiteral("N3"));
    if (viewMenu == nullptr) {
        std::puts("no View menu");
        return 2;
    }

    std::atomic<bool> stop{false};
    std::atomic<uint64_t> samplesSent{0};
    std::thread writer([&] {
        auto next = SteadyClock::now();
        const auto end = next + std::chrono::seconds(seconds);
        uint64_t lineNumber = 0;
        std::string chunk;
        while (!stop && SteadyClock::now() < end) {
            chunk.clear();
            for (int l = 0; l < kLinesPerTick; ++l, ++lineNumber) {
                for (int s = 0; s < kSeriesPerLine; ++s) {
                    char reading[48];
                    std::snprintf(reading, sizeof reading, "%sv%d:%.3f", s == 0 ? "" : " ", s,
                                  std::sin(static_cast<double>(lineNumber) / (200.0 + 30 * s)) *
                                      (s + 1));
                    chunk += reading;
                }
                chunk += "\r\n";
            }
            const char* data = chunk.data();
            size_t n = chunk.size();
            while (n > 0) {
                const ssize_t done = write(pty.master, data, n);
                if (done <= 0) {
                    break;
                }
                data += done;
                n -= static_cast<size_t>(done);
            }
            samplesSent += kLinesPerTick * kSeriesPerLine;
            next += std::chrono::milliseconds(10);
            std::this_thread::sleep_until(next);
        }
    });

    windowbench::MenuProbe probe(*viewMenu);
    const std::string loadStart = LoadAverage();
    const double cpuStart = CpuSeconds();
    const auto start = SteadyClock::now();
    std::printf("\n%8s %14s %14s %14s\n", "second", "samples sent", "samples taken",
                "worst menu ms");
    int reported = 0;
    double wall = 0;
    // The loop sleeps in the event loop between events, as the window does; the beat makes
    // sure it looks at the time at least every 50 ms.
    QTimer beat;
    beat.start(50);
    while (true) {
        app.processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
        wall = std::chrono::duration<double>(SteadyClock::now() - start).count();
        if (wall >= reported + 60) {
            reported += 60;
            std::printf("%8d %14llu %14llu %14.1f\n", reported,
                        static_cast<unsigned long long>(samplesSent.load()),
                        static_cast<unsigned long long>(SamplesTaken(form->PlotForm->Samples())),
                        probe.Worst());
            std::fflush(stdout);
        }
        // Ends when the writer has stopped and every sample is in, or 20 s after.
        if (wall > seconds &&
            (SamplesTaken(form->PlotForm->Samples()) >= samplesSent || wall > seconds + 20)) {
            break;
        }
    }
    stop = true;
    writer.join();
    probe.Stop();
    app.processEvents();
    const double cpu = CpuSeconds() - cpuStart;
    const uint64_t sent = samplesSent.load();
    const uint64_t taken = SamplesTaken(form->PlotForm->Samples());
    std::printf("\n%-56s %14s\n", "the window at 10,000 samples/s (text lines from a pty)",
                "measured");
    std::printf("%-56s %14d\n", "seconds of traffic", seconds);
    std::printf("%-56s %14.0f\n", "samples sent per second",
                static_cast<double>(sent) / std::max(1, seconds));
    std::printf("%-56s %14llu\n", "samples sent", static_cast<unsigned long long>(sent));
    std::printf("%-56s %14llu\n", "samples taken into the plot",
                static_cast<unsigned long long>(taken));
    std::printf("%-56s %14llu\n", "samples lost (goal 0)",
                static_cast<unsigned long long>(sent - std::min(sent, taken)));
    probe.Print();
    std::printf("%-56s %14.2f\n", "CPU of the process / one core (ratio)", cpu / wall);
    std::printf("%-56s %14.1f\n", "plot memory (MB)",
                static_cast<double>(form->PlotForm->MemoryBytes()) / 1e6);
    std::printf("machine load at the start: %s\n", loadStart.c_str());
    std::printf("machine load at the end:   %s\n", LoadAverage().c_str());
    form->TbPort->trigger();
    form.reset();
    std::filesystem::remove_all(home);
    close(pty.master);
    close(pty.slave);
    return taken >= sent ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    qInstallMessageHandler(windowbench::QuietPopups);
    int seconds = 600;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--seconds") == 0) {
            seconds = std::max(0, std::atoi(argv[i + 1]));
        }
    }
    QApplication app(argc, argv);
    {
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
        std::vector<double> paintCpu; // the thread's own CPU time, apart from waiting for a core
        std::vector<double> fills;
        for (int round = 0; round < 31; ++round) {
            auto start = SteadyClock::now();
            const double cpuStart = windowbench::ThreadCpuMs(CLOCK_THREAD_CPUTIME_ID);
            view.render(&image);
            if (round > 0) {
                paints.push_back(Ms(start));
                paintCpu.push_back(windowbench::ThreadCpuMs(CLOCK_THREAD_CPUTIME_ID) - cpuStart);
            }
            start = SteadyClock::now();
            {
                QPainter painter(&image);
                painter.fillRect(image.rect(), Qt::white);
            }
            fills.push_back(Ms(start));
        }
        std::printf("repaint of 8 x %d samples at 1600x1000: median %.2f ms (of it on the CPU "
                    "%.2f ms), worst %.2f ms; plain fill of the image %.3f ms\n",
                    kSamples, Median(paints), Median(paintCpu),
                    *std::max_element(paints.begin(), paints.end()), Median(fills));

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
        std::fflush(stdout);
    } // the million-sample plot goes before the steady run
    return seconds > 0 ? SteadyRun(app, seconds) : 0;
}
