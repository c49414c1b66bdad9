// The print preview and the main window's Print over a large traffic view: how long the
// window's thread is held while the pages are laid out. A 10 ms timer on the window's
// thread notes every gap between its beats; the longest gap minus the 10 ms interval is
// the longest the window could not answer (goal: at most 100 ms). Each case is laid out a
// few times (new traffic between the rounds, so the pages are built anew); the table
// gives the build's time, the worst and the 99th percentile pause, and their ratio to
// the goal, and the window thread's CPU time in the worst pause, with the machine's load.
//
//   print_gui_bench [--lines N] [--rounds R]

#include "WindowBench.h"
#include "print/RecordingPrinter.h"
#include "settings/SettingsFile.h"
#include "settings/SettingsRecord.h"
#include "traffic/DataRT.h"
#include "ui/ScriptedPrompter.h"
#include "ui/main/MainForm.h"
#include "ui/main/RichView.h"
#include "ui/print/NicePreview.h"
#include "ui/print/PrintUnit.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

using windowbench::LoadAverage;
using windowbench::Ms;
using windowbench::Percentile;
using windowbench::SteadyClock;

constexpr int ProbeMs = 10;
constexpr double GoalMs = 100;

void AddTraffic(RichView& view, int count, int& traffic) {
    for (int i = 0; i < count; ++i) {
        ++traffic;
        char payload[64];
        std::snprintf(payload, sizeof payload, "%02X %02X 03 04 05 06 07 08 ",
                      (traffic >> 8) & 0xFF, traffic & 0xFF);
        AppendTrafficLine(view, "R[12:00:00] ", 0x0000FF, payload);
    }
}

// The gaps between the beats of a 10 ms timer, less the interval, while `start` runs and
// until `done` holds.
struct Pauses {
    std::vector<double> gaps;
    std::vector<double> cpu; // the window thread's CPU time in each gap
    double buildMs = 0;
};

Pauses Measure(const std::function<void()>& start, const std::function<bool()>& done) {
    Pauses result;
    QTimer probe;
    probe.setTimerType(Qt::PreciseTimer);
    clockid_t windowClock{};
    pthread_getcpuclockid(pthread_self(), &windowClock);
    auto last = SteadyClock::now();
    double lastCpu = windowbench::ThreadCpuMs(windowClock);
    QObject::connect(&probe, &QTimer::timeout, [&] {
        const auto now = SteadyClock::now();
        const double cpu = windowbench::ThreadCpuMs(windowClock);
        result.gaps.push_back(
            std::max(0.0, std::chrono::duration<double, std::milli>(now - last).count() - ProbeMs));
        result.cpu.push_back(cpu - lastCpu);
        last = now;
        lastCpu = cpu;
    });
    probe.start(ProbeMs);
    // A few beats first, so that the probe runs steadily when the command comes.
    QTest::qWait(50);
    result.gaps.clear();
    result.cpu.clear();
    const auto began = SteadyClock::now();
    // The command itself comes as an event, as a click would.
    QTimer::singleShot(0, [&] { start(); });
    while (true) {
        QTest::qWait(ProbeMs);
        if (done()) {
            break;
        }
    }
    result.buildMs = Ms(began);
    // The beat after the end covers the last slice.
    QTest::qWait(2 * ProbeMs);
    probe.stop();
    return result;
}

void Row(const char* name, int round, const Pauses& p, int pages) {
    const auto worst = std::max_element(p.gaps.begin(), p.gaps.end());
    const double worstMs = worst == p.gaps.end() ? 0 : *worst;
    const double worstCpu = worst == p.gaps.end() ? 0 : p.cpu[worst - p.gaps.begin()];
    std::printf("%-34s %5d %9.0f %7d %9.1f %9.1f %9.1f %8.2f\n", name, round, p.buildMs, pages,
                Percentile(p.gaps, 0.99), worstMs, worstCpu, worstMs / GoalMs);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv) {
    int lines = 110000;
    int rounds = 3;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--lines") == 0) {
            lines = std::max(1, std::atoi(argv[i + 1]));
        } else if (std::strcmp(argv[i], "--rounds") == 0) {
            rounds = std::max(1, std::atoi(argv[i + 1]));
        }
    }
    const std::string home = windowbench::MakeBenchHome("/tmp/korvane-print-bench-XXXXXX");
    if (home.empty()) {
        return 2;
    }
    QApplication app(argc, argv);
    qInstallMessageHandler(windowbench::QuietPopups);
    DataFolder().clear();

    ScriptedPrompter prompter;
    RecordingPrinter printer;
    SettingsRecord settings;
    TMainForm form(prompter, settings);
    form.CreateWindows();
    TPrintForm* preview = InstallPrintForm(form, prompter, &printer);
    form.SetTextCapacity(2147482623);
    form.resize(1000, 700);
    form.show();
    RichView& view = *form.RichShow;
    int traffic = 0;
    AddTraffic(view, lines, traffic);

    std::printf("%d traffic lines; a %d ms timer on the window's thread; goal: no pause over "
                "%.0f ms\n",
                view.LineCount(), ProbeMs, GoalMs);
    std::printf("(worst cpu: the window thread's CPU time in the worst pause; far below the "
                "pause, it waited for a core)\n");
    std::printf("%-34s %5s %9s %7s %9s %9s %9s %8s\n", "case", "round", "build ms", "pages",
                "p99 ms", "worst ms", "worst cpu", "/goal");
    for (int round = 1; round <= rounds; ++round) {
        // The preview shown: its first build of the view.
        const Pauses shown = Measure(
            [&] {
                form.ShowPrintPreview();
                QApplication::setActiveWindow(preview);
            },
            [&] { return preview->isActiveWindow() && !preview->Building(); });
        Row("preview shown", round, shown, preview->NicePreview1->PageCount());
        preview->hide();
        QApplication::setActiveWindow(&form);
        AddTraffic(view, 10, traffic);

        // The main window's Print: pages laid out unseen, then the dialog (cancelled).
        const size_t dialogs = printer.dialogs.size();
        const Pauses printed =
            Measure([&] { form.PrintDirect(); }, [&] { return printer.dialogs.size() > dialogs; });
        Row("main window's Print (to dialog)", round, printed, preview->NicePreview1->PageCount());
        AddTraffic(view, 10, traffic);
    }
    std::printf("load: %s\n", LoadAverage().c_str());
    return 0;
}
