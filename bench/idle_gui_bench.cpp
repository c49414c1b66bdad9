// The window at rest, beside reference terminals on the same pseudo-terminal in the same
// run. For each case it waits a few seconds for things to settle, then measures for
// --seconds: the CPU the process used (share of one core), the wake-ups of its window
// thread and of all its threads per second (context switches, voluntary and not), and
// the machine's load.
//
//   idle_gui_bench [--seconds S]
//
// Cases: Korvane with the port open and no traffic; Korvane with the port closed and a
// time-of-day trigger set an hour ahead; korvane-cli, picocom and tio (where installed)
// each holding the same pseudo-terminal open on a terminal of its own, idle.

#include "WindowBench.h"
#include "platform/Platform.h"
#include "settings/SettingsFile.h"
#include "settings/SettingsRecord.h"
#include "ui/ScriptedPrompter.h"
#include "ui/main/ComComboBox.h"
#include "ui/main/MainForm.h"

#include <QAction>
#include <QApplication>
#include <QEventLoop>
#include <QTimer>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <pty.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using SteadyClock = std::chrono::steady_clock;

// CPU seconds (user + system) of a process.
double CpuSeconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const size_t close = line.rfind(')');
    if (close == std::string::npos) {
        return 0;
    }
    std::string field;
    std::istringstream rest(line.substr(close + 2));
    unsigned long long utime = 0;
    unsigned long long stime = 0;
    for (int i = 3; i <= 15; ++i) {
        rest >> field;
        if (i == 14) {
            utime = std::stoull(field);
        } else if (i == 15) {
            stime = std::stoull(field);
        }
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Context switches of one thread's status file.
unsigned long long Switches(const std::string& status) {
    std::ifstream in(status);
    std::string key;
    unsigned long long total = 0;
    while (in >> key) {
        if (key == "voluntary_ctxt_switches:" || key == "nonvoluntary_ctxt_switches:") {
            unsigned long long n = 0;
            in >> n;
            total += n;
        }
        in.ignore(4096, '\n');
    }
    return total;
}

// Context switches of every thread of a process, by thread.
std::map<std::string, unsigned long long> ThreadSwitches(pid_t pid) {
    std::map<std::string, unsigned long long> threads;
    std::error_code error;
    for (const auto& task :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
        threads[task.path().filename().string()] = Switches(task.path().string() + "/status");
    }
    return threads;
}

// The switches between two counts; a thread that came or went counts what it did while
// it was seen.
double SwitchesBetween(const std::map<std::string, unsigned long long>& before,
                       const std::map<std::string, unsigned long long>& after) {
    double total = 0;
    for (const auto& [tid, n] : after) {
        const auto found = before.find(tid);
        total += static_cast<double>(found == before.end() ? n : n - found->second);
    }
    return total;
}

using windowbench::LoadAverage;

struct Figures {
    double cpuPercent = 0;
    double windowWakes = -1; // per second; -1: not known
    double allWakes = 0;
    std::string load;
};

// Measures `pid` for `seconds` while `wait` lets it run (the Qt loop for ourselves).
Figures Measure(pid_t pid, pid_t windowThread, double seconds,
                const std::function<void(double)>& wait) {
    wait(12); // settle: the caret stops blinking after 10 s
    const std::string windowStatus =
        "/proc/" + std::to_string(pid) + "/task/" + std::to_string(windowThread) + "/status";
    const double cpu0 = CpuSeconds(pid);
    const auto all0 = ThreadSwitches(pid);
    const unsigned long long win0 = windowThread > 0 ? Switches(windowStatus) : 0;
    const auto t0 = SteadyClock::now();
    wait(seconds);
    const double elapsed = std::chrono::duration<double>(SteadyClock::now() - t0).count();
    Figures f;
    f.cpuPercent = 100.0 * (CpuSeconds(pid) - cpu0) / elapsed;
    f.allWakes = SwitchesBetween(all0, ThreadSwitches(pid)) / elapsed;
    if (windowThread > 0) {
        f.windowWakes = static_cast<double>(Switches(windowStatus) - win0) / elapsed;
    }
    f.load = LoadAverage();
    return f;
}

void Row(const char* name, const Figures& f) {
    char window[32] = "-";
    if (f.windowWakes >= 0) {
        std::snprintf(window, sizeof window, "%.1f", f.windowWakes);
    }
    std::printf("%-46s %9.3f %12s %12.1f   %s\n", name, f.cpuPercent, window, f.allWakes,
                f.load.c_str());
}

// Runs the program at `path` on a terminal of its own, holding `device`, idle; measures it.
bool MeasureProgram(const std::string& path, const std::vector<std::string>& args, double seconds,
                    Figures& out) {
    const std::string program = path.substr(path.rfind('/') + 1);
    if (access(path.c_str(), X_OK) != 0) {
        return false;
    }
    int terminal = -1;
    const pid_t pid = forkpty(&terminal, nullptr, nullptr, nullptr);
    if (pid < 0) {
        return false;
    }
    if (pid == 0) {
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(program.c_str()));
        for (const std::string& a : args) {
            argv.push_back(const_cast<char*>(a.c_str()));
        }
        argv.push_back(nullptr);
        execv(path.c_str(), argv.data());
        _exit(127);
    }
    // Its terminal output is read and thrown away, as a terminal would take it.
    const auto drainWhile = [terminal](double s) {
        const auto end = SteadyClock::now() + std::chrono::duration<double>(s);
        char buffer[4096];
        while (SteadyClock::now() < end) {
            fd_set set;
            FD_ZERO(&set);
            FD_SET(terminal, &set);
            timeval tv{0, 200000};
            if (select(terminal + 1, &set, nullptr, nullptr, &tv) > 0 &&
                read(terminal, buffer, sizeof buffer) <= 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
            }
        }
    };
    out = Measure(pid, 0, seconds, drainWhile);
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    close(terminal);
    return true;
}

} // namespace

int main(int argc, char** argv) {
    double seconds = 20;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--seconds") == 0) {
            seconds = std::max(1.0, std::atof(argv[i + 1]));
        }
    }
    const std::string home = windowbench::MakeBenchHome("/tmp/korvane-idle-bench-XXXXXX");
    if (home.empty()) {
        return 2;
    }
    QApplication app(argc, argv);
    DataFolder().clear();
    const std::string folder = LocateDataFolder();
    int master = -1;
    int slave = -1;
    char path[128] = {};
    if (openpty(&master, &slave, path, nullptr, nullptr) != 0) {
        std::perror("openpty");
        return 2;
    }
    // The far end holds the slave open through our own descriptor only: the device is
    // free for each program in turn.
    close(slave);
    std::filesystem::create_directories(folder + "/ports");
    std::filesystem::create_symlink(path, folder + "/ports/BENCH");

    ScriptedPrompter prompter;
    SettingsRecord settings;
    TMainForm form(prompter, settings);
    form.CreateWindows();
    form.resize(1000, 700);
    form.show();
    // The window's own event loop, as the program runs it: it sleeps until an event.
    const auto qtWait = [&](double s) {
        QEventLoop loop;
        QTimer::singleShot(static_cast<int>(s * 1000), &loop, &QEventLoop::quit);
        loop.exec();
    };
    const pid_t self = getpid();
    const pid_t windowThread = static_cast<pid_t>(gettid());

    std::printf("idle for %.0f s each after 12 s to settle; the pty %s\n", seconds, path);
    std::printf("CPU %%core: user + system CPU time of the process over the measured span, as a "
                "share of one core\nwindow wk/s: context switches (voluntary and not) of the "
                "window's thread a second\nall wk/s: the same for all threads of the process "
                "together\n");
    std::printf("%-46s %9s %12s %12s   %s\n", "case", "CPU %core", "window wk/s", "all wk/s",
                "load 1/5 min");

    const int index = form.CBoxPort->findText(QStringLiteral("BENCH"));
    form.CBoxPort->setCurrentIndex(index);
    form.TbPort->trigger();
    if (index < 0 || !form.Connection()->Device->Connected()) {
        std::puts("could not open the pseudo-terminal");
        return 2;
    }
    Row("Korvane, port open, no traffic", Measure(self, windowThread, seconds, qtWait));
    form.TbPort->trigger(); // closed

    // An hour from now, as the settings store times of day (days since 1899-12-30).
    const std::time_t later = std::time(nullptr) + 3600;
    std::tm local{};
    localtime_r(&later, &local);
    settings.timingTriggerTime =
        45000.0 + (local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec) / 86400.0;
    settings.timingTriggerEnabled = true;
    settings.timingFixedLine = 1;
    form.RefreshSettings();
    if (!form.DataRT()->TriggersOn) {
        std::puts("the trigger did not switch on");
    }
    Row("Korvane, port closed, time trigger 1 h ahead",
        Measure(self, windowThread, seconds, qtWait));
    settings.timingTriggerEnabled = false;
    form.RefreshSettings();

    Figures reference;
#ifdef KORVANE_CLI_PATH
    if (MeasureProgram(KORVANE_CLI_PATH, {path}, seconds, reference)) {
        Row("korvane-cli, same pty open, no traffic", reference);
    }
#endif
    if (MeasureProgram("/usr/bin/picocom", {"-q", path}, seconds, reference)) {
        Row("picocom, same pty open, no traffic", reference);
    } else {
        std::puts("(picocom not installed)");
    }
    if (MeasureProgram("/usr/bin/tio", {"--mute", path}, seconds, reference)) {
        Row("tio, same pty open, no traffic", reference);
    } else {
        std::puts("(tio not installed)");
    }
    std::puts("goals: Korvane's open-port CPU <= the references'; <= 0.1 % of a core with "
              "the trigger set and the port closed");
    std::filesystem::remove_all(home);
    close(master);
    return 0;
}
