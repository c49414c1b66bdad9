// Saves of a large traffic view to a real file while two busy loops (`yes >/dev/null`
// twice) compete for the machine's two cores. For each view it prints: the view's text
// memory, the RTF file written, how long the save took, the worst lateness of a 10 ms
// timer on the window's thread while the save ran (the longest the window could not
// answer; goal <= 50 ms), the process's memory before the save and at its highest during
// it (sampled at every beat of that timer), the growth as a share of the memory before
// (goal <= 10 %), and how many slices the window's thread copied for the worker. The
// window appends a traffic line at every beat meanwhile, as it would while receiving.
//
//   save_gui_bench [--no-load]

#include "WindowBench.h"
#include "platform/FileIO.h"
#include "ui/main/RichView.h"
#include "ui/main/ViewSaver.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <malloc.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

const TextAttributes kGrey{"Courier New", 0, 0x808080};
const TextAttributes kBlue{"Courier New", 0, 0xC80000};

using windowbench::RssMiB;

using windowbench::LoadAverage;

void AppendRecord(RichView& view, const std::string& prefix, const std::string& payload) {
    view.MoveCaretToEnd();
    view.InsertText(prefix, kGrey);
    view.InsertText(payload + "\r\n", kBlue);
}

// CPU time of the calling thread.
double ThreadCpuMs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

pid_t StartBusyLoop() {
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = ::open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        execlp("yes", "yes", static_cast<char*>(nullptr));
        _exit(127);
    }
    return pid;
}

} // namespace

int main(int argc, char** argv) {
    const bool load = !(argc > 1 && std::strcmp(argv[1], "--no-load") == 0);
    QApplication app(argc, argv);
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("korvane-save-bench-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);

    struct Case {
        const char* name;
        int lines;
        size_t payload;
    };
    const Case cases[] = {
        {"900 lines of 100 KB", 900, 100000},
        {"1.4 M lines of 48 characters", 1400000, 48},
    };
    std::printf("each view is saved to an RTF file on disk while the window appends a line every "
                "10 ms\ntext MB: the view's text in memory; file MB: the RTF file written; save s: "
                "from the start of the save until the file is written and reported\npause ms: the "
                "worst lateness of a 10 ms timer on the window's thread during the save\nRSS MiB: "
                "resident memory before the save; peak MiB: its highest during the save; growth: "
                "peak over before\nslices: line slices the window's thread copied for the "
                "worker\n");
    std::printf("%-30s %8s %8s %8s %10s %8s %9s %9s %8s %7s   %s\n", "view", "text MB", "file MB",
                "save s", "pause ms", "its CPU", "RSS MiB", "peak MiB", "growth", "slices",
                "load 1/5 min");
    for (const Case& c : cases) {
        RichView view;
        view.resize(800, 600);
        view.show();
        std::string payload(c.payload, '0');
        for (size_t i = 0; i < payload.size(); ++i) {
            payload[i] = "0123456789ABCDEF "[i % 17];
        }
        for (int i = 0; i < c.lines; ++i) {
            AppendRecord(view, "[12:00:00 100 Rx] ", payload);
        }
        app.processEvents();
        malloc_trim(0);
        std::vector<pid_t> busy;
        if (load) {
            busy = {StartBusyLoop(), StartBusyLoop()};
        }
        const std::string path = (dir / "saved.rtf").string();
        TViewSaver saver;
        bool done = false;
        std::string error;
        double worstLateMs = 0;
        double peak = 0;
        const double before = RssMiB();
        QElapsedTimer beat;
        QTimer tick;
        tick.setTimerType(Qt::PreciseTimer);
        double lastCpuMs = ThreadCpuMs();
        double worstCpuMs = 0; // the window thread's own CPU time in the worst gap
        QObject::connect(&tick, &QTimer::timeout, [&] {
            const double late = static_cast<double>(beat.restart()) - 10.0;
            const double cpuMs = ThreadCpuMs();
            if (late > worstLateMs) {
                worstLateMs = late;
                worstCpuMs = cpuMs - lastCpuMs;
            }
            lastCpuMs = cpuMs;
            peak = std::max(peak, RssMiB());
            AppendRecord(view, "[12:00:01   0 Rx] ", "01 02 03");
        });
        QElapsedTimer took;
        took.start();
        beat.start();
        tick.start(10);
        saver.Save(
            view, [&](const TByteSource& rtf) { WriteFileAtomically(path, rtf); },
            [&](const std::string& e, int, bool) {
                error = e;
                done = true;
            });
        QEventLoop loop;
        QTimer poll; // done may come before the loop runs
        QObject::connect(&poll, &QTimer::timeout, [&] {
            if (done) {
                loop.quit();
            }
        });
        poll.start(20);
        loop.exec();
        const double seconds = static_cast<double>(took.elapsed()) / 1000.0;
        tick.stop();
        for (const pid_t pid : busy) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
        if (!error.empty()) {
            std::printf("%s: %s\n", c.name, error.c_str());
            continue;
        }
        peak = std::max(peak, RssMiB());
        std::printf("%-30s %8.1f %8.1f %8.2f %10.1f %8.1f %9.1f %9.1f %7.1f%% %7llu   %s\n", c.name,
                    static_cast<double>(view.Store().MemoryBytes()) / 1e6,
                    static_cast<double>(std::filesystem::file_size(path)) / 1e6, seconds,
                    worstLateMs, worstCpuMs, before, peak, 100.0 * (peak - before) / before,
                    static_cast<unsigned long long>(saver.SlicesTaken()), LoadAverage().c_str());
        std::filesystem::remove(path);
    }
    std::printf("busy loops: %s; goals: pause <= 50 ms, growth <= 10 %%\n",
                load ? "two `yes >/dev/null`" : "none");
    std::filesystem::remove_all(dir);
    return 0;
}
