// The whole window at a steady rate: a pseudo-terminal fed 10000 bytes every 10 ms (1 MB/s)
// for a minute, through the receive thread, the queue, the traffic pump, the traffic view
// with its line cap and memory budget, and its painting (offscreen platform, or a real X
// server). Prints the bytes lost on the way to the view, the process's memory at the end
// and per received byte, the lines the view dropped, and how late a 10 ms timer of the
// window's thread ran.
//
//   traffic_gui_bench [--seconds S] [--rate BYTES_PER_SECOND] [--budget-mb M]

#include "WindowBench.h"
#include "serial/OruScomm.h"
#include "settings/SettingsFile.h"
#include "settings/SettingsRecord.h"
#include "ui/ScriptedPrompter.h"
#include "ui/main/ComComboBox.h"
#include "ui/main/MainForm.h"
#include "ui/main/RichView.h"

#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

using SteadyClock = std::chrono::steady_clock;

using windowbench::RssMiB;

// Counts the paints that reach the traffic view.
class PaintCounter : public QObject {
public:
    int paints = 0;
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint) {
            ++paints;
        }
        return QObject::eventFilter(watched, event);
    }
};

} // namespace

int main(int argc, char** argv) {
    int seconds = 60;
    size_t rate = 1000000;
    int budgetMB = 256;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--seconds") == 0) {
            seconds = std::max(1, std::atoi(argv[i + 1]));
        } else if (std::strcmp(argv[i], "--rate") == 0) {
            rate = static_cast<size_t>(std::max(1000, std::atoi(argv[i + 1])));
        } else if (std::strcmp(argv[i], "--budget-mb") == 0) {
            budgetMB = std::max(1, std::atoi(argv[i + 1]));
        }
    }
    // A data folder of its own, with the pseudo-terminal registered as port BENCH.
    const std::string home = windowbench::MakeBenchHome("/tmp/korvane-traffic-bench-XXXXXX");
    if (home.empty()) {
        return 2;
    }
    QApplication app(argc, argv);
    DataFolder().clear();
    const std::string folder = LocateDataFolder();
    const BenchPty pty = windowbench::OpenBenchPort(folder, "BENCH");

    ScriptedPrompter prompter;
    SettingsRecord settings;
    TMainForm form(prompter, settings);
    form.CreateWindows();
    form.SetTextCapacity(2147482623);
    form.Options().viewMemoryBudgetMB = budgetMB;
    form.resize(1000, 700);
    form.show();
    const int index = form.CBoxPort->findText(QStringLiteral("BENCH"));
    form.CBoxPort->setCurrentIndex(index);
    form.TbPort->trigger();
    if (index < 0 || !form.Connection()->Device->Connected()) {
        std::puts("could not open the pseudo-terminal");
        return 2;
    }
    RichView& view = *form.RichShow;
    PaintCounter paints;
    view.viewport()->installEventFilter(&paints);

    // Bytes that reach the view: every payload is hex, three characters a byte with its
    // line break. The prefix is grey.
    std::atomic<uint64_t> shown{0};
    uint64_t linesShown = 0;
    view.OnInserted = [&](std::string_view text, uint32_t color) {
        if (color != 0x808080 && text.size() >= 2) {
            shown += (text.size() - 2 + 1) / 3;
            ++linesShown;
        }
    };

    std::string chunk(rate / 100, '\0');
    std::mt19937 random(7);
    for (char& c : chunk) {
        c = static_cast<char>(random());
    }
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> sent{0};
    std::thread writer([&] {
        auto next = SteadyClock::now();
        const auto end = next + std::chrono::seconds(seconds);
        while (!stop && SteadyClock::now() < end) {
            const char* data = chunk.data();
            size_t n = chunk.size();
            while (n > 0) {
                const ssize_t done = write(pty.master, data, n);
                if (done <= 0) {
                    break;
                }
                data += done;
                n -= static_cast<size_t>(done);
                sent += static_cast<uint64_t>(done);
            }
            next += std::chrono::milliseconds(10);
            std::this_thread::sleep_until(next);
        }
    });

    const double rssStart = RssMiB();
    double rssMinute = 0;
    double worstLateMs = 0;
    QElapsedTimer tick;
    tick.start();
    QTimer probe;
    probe.setTimerType(Qt::PreciseTimer);
    QObject::connect(&probe, &QTimer::timeout, [&] {
        worstLateMs = std::max(worstLateMs, static_cast<double>(tick.restart()) - 10.0);
    });
    probe.start(10);
    const auto start = SteadyClock::now();
    std::printf("%8s %10s %10s %10s %10s\n", "second", "sent MB", "shown MB", "RSS MiB", "lines");
    int reported = 0;
    // The loop sleeps in the event loop between events (the probe wakes it every 10 ms)
    // instead of spinning, so that the view's thread competes for a core as the window's does.
    while (true) {
        app.processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
        const double elapsed = std::chrono::duration<double>(SteadyClock::now() - start).count();
        if (elapsed >= reported + 10) {
            reported += 10;
            std::printf("%8d %10.1f %10.1f %10.1f %10d\n", reported, sent / 1e6, shown / 1e6,
                        RssMiB(), view.LineCount());
            if (reported == 60) {
                rssMinute = RssMiB();
            }
        }
        // The run ends when the writer has stopped and the view has caught up, or 20 s
        // after the writer stopped.
        if (elapsed > seconds && (shown >= sent || elapsed > seconds + 20)) {
            break;
        }
    }
    stop = true;
    writer.join();
    const double rssEnd = RssMiB();
    const uint64_t received = form.Connection()->RxCount.load();
    std::printf("\n%-52s %14s\n", "steady run through pump, view and painting", "measured");
    std::printf("%-52s %14d\n", "seconds", seconds);
    std::printf("%-52s %14.2f\n", "rate MB/s", rate / 1e6);
    std::printf("%-52s %14llu\n", "bytes sent", static_cast<unsigned long long>(sent.load()));
    std::printf("%-52s %14llu\n", "bytes received (RxCount)",
                static_cast<unsigned long long>(received));
    std::printf("%-52s %14llu\n", "bytes lost before the view",
                static_cast<unsigned long long>(sent - std::min<uint64_t>(sent, shown)));
    std::printf("%-52s %14llu\n", "lines shown", static_cast<unsigned long long>(linesShown));
    std::printf("%-52s %14d\n", "lines the view holds at the end", view.LineCount());
    std::printf("%-52s %14d\n", "paints of the traffic view", paints.paints);
    std::printf("%-52s %14.1f\n", "worst lateness of a 10 ms timer (ms)", worstLateMs);
    std::printf("%-52s %14.1f\n", "RSS at the start (MiB)", rssStart);
    if (rssMinute > 0) {
        std::printf("%-52s %14.1f\n", "RSS after 60 s (MiB)", rssMinute);
    }
    std::printf("%-52s %14.1f\n", "RSS at the end (MiB)", rssEnd);
    std::printf("%-52s %14.1f\n", "view text memory at the end (MiB)",
                static_cast<double>(view.Store().MemoryBytes()) / (1 << 20));
    const double perByte =
        received > 0 ? (rssEnd - rssStart) * 1024 * 1024 / static_cast<double>(received) : 0;
    std::printf("%-52s %14.2f%s\n", "RSS growth per received byte (goal <= 3.5)", perByte,
                view.Store().MemoryBytes() >= int64_t{budgetMB} * 1024 * 1024 * 7 / 8
                    ? "  (budget reached: growth bounded)"
                    : "");
    form.TbPort->trigger();
    std::filesystem::remove_all(home);
    close(pty.master);
    close(pty.slave);
    return sent == shown ? 0 : 1;
}
