// How soon a line a device sends is on the engineer's screen: korvane-cli on a terminal of
// its own (as in a terminal window: standard input and output a pseudo-terminal, so its
// terminal defaults apply), beside other serial terminal programs found on this machine, on
// the same kind of port in the same run. This program plays the device on the master side of
// one pseudo-terminal and the screen on the master side of another: each figure is the time
// from writing a short text line to the device side until its text has come out on the
// screen side. Lines are a quarter of a second apart, so each is a burst of its own.
//
//   first_line_bench [--lines N]

#include "BenchProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using SteadyClock = std::chrono::steady_clock;

// The program in a session of its own with the screen side's slave as its controlling
// terminal, the way a shell in a terminal window starts it.
pid_t SpawnOnTerminal(const std::vector<std::string>& args, int screenSlave) {
    const pid_t pid = fork();
    if (pid == 0) {
        setsid();
        ioctl(screenSlave, TIOCSCTTY, 0);
        dup2(screenSlave, STDIN_FILENO);
        dup2(screenSlave, STDOUT_FILENO);
        dup2(screenSlave, STDERR_FILENO);
        BenchExec(args);
    }
    return pid;
}

double WaitForText(int screen, const std::string& text, SteadyClock::time_point from, int boundMs) {
    return BenchReadUntil(screen, from, boundMs, [&text](const std::string& got) {
        return got.find(text) != std::string::npos;
    });
}

void Drain(int screen) {
    char buffer[4096];
    pollfd p{screen, POLLIN, 0};
    while (poll(&p, 1, 0) == 1 && read(screen, buffer, sizeof buffer) > 0) {
    }
}

struct Figures {
    bool started = false;
    size_t shown = 0;
    size_t sent = 0;
    double median = 0;
    double worst = 0;
};

Figures Run(std::vector<std::string> program, size_t lines) {
    const BenchPty device = OpenRawPty();
    BenchPty screen;
    winsize size{};
    size.ws_row = 24;
    size.ws_col = 80;
    char name[256];
    if (openpty(&screen.master, &screen.slave, name, nullptr, &size) != 0) {
        std::perror("openpty");
        std::exit(1);
    }
    program.push_back(device.name);
    const pid_t pid = SpawnOnTerminal(program, screen.slave);
    close(screen.slave);

    Figures f;
    // A program shows the probe once it has the port open (bytes written earlier may be
    // dropped as stale, so the probe is written again until it shows).
    for (int attempt = 0; attempt < 30 && !f.started; ++attempt) {
        const std::string probe = "ready" + std::to_string(attempt) + "\r\n";
        const auto at = SteadyClock::now();
        if (write(device.master, probe.data(), probe.size()) < 0) {
            break;
        }
        f.started = WaitForText(screen.master, probe.substr(0, probe.size() - 2), at, 300) >= 0;
    }
    std::vector<double> ms;
    if (f.started) {
        f.sent = lines;
        for (size_t i = 0; i < lines; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
            Drain(screen.master);
            char text[32];
            std::snprintf(text, sizeof text, "line%05zu", i);
            const std::string line = std::string(text) + "\r\n";
            const auto at = SteadyClock::now();
            if (write(device.master, line.data(), line.size()) < 0) {
                break;
            }
            const double t = WaitForText(screen.master, text, at, 2000);
            if (t >= 0) {
                ms.push_back(t);
            }
        }
    }
    kill(pid, SIGTERM);
    // Keep reading so a program writing its goodbye never blocks on a full screen.
    for (int i = 0; i < 100 && waitpid(pid, nullptr, WNOHANG) == 0; ++i) {
        Drain(screen.master);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    close(screen.master);
    close(device.master);
    close(device.slave);
    f.shown = ms.size();
    if (!ms.empty()) {
        std::sort(ms.begin(), ms.end());
        f.median = ms[ms.size() / 2];
        f.worst = ms.back();
    }
    return f;
}

bool OnPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        const size_t end = std::min(dirs.find(':', start), dirs.size());
        const std::string candidate = dirs.substr(start, end - start) + "/" + program;
        if (access(candidate.c_str(), X_OK) == 0) {
            return true;
        }
        start = end + 1;
    }
    return false;
}

} // namespace

int main(int argc, char** argv) {
    size_t lines = 40;
    if (argc == 3 && std::strcmp(argv[1], "--lines") == 0) {
        lines = static_cast<size_t>(std::max(1, std::atoi(argv[2])));
    }
    struct Program {
        const char* label;
        std::vector<std::string> args;
    };
    // korvane-cli with its terminal defaults (bursts end after 5 ms of silence), received
    // bytes shown as text like the others; the others as they start by default.
    const std::vector<Program> programs = {
        {"korvane-cli -a", {KORVANE_CLI_PATH, "-a", "--no-color"}},
        {"tio", {"tio"}},
        {"picocom", {"picocom", "-q"}},
    };
    std::printf("time from a line's last byte at the port to its text on the screen, %zu lines\n",
                lines);
    std::printf("%-24s %10s %10s %10s %12s\n", "program", "shown", "median ms", "worst ms",
                "median/ref");
    double reference = 0;
    double ours = -1;
    std::vector<std::pair<std::string, Figures>> results;
    for (const Program& program : programs) {
        if (program.args.front().find('/') == std::string::npos && !OnPath(program.args.front())) {
            std::printf("%-24s not installed\n", program.label);
            continue;
        }
        const Figures f = Run(program.args, lines);
        if (!f.started) {
            std::printf("%-24s did not show the port's bytes\n", program.label);
            continue;
        }
        results.emplace_back(program.label, f);
        if (program.label == programs.front().label) {
            ours = f.median;
        } else if (program.args.front() == "tio") {
            reference = f.median;
        }
    }
    for (const auto& [label, f] : results) {
        char ratio[32] = "-";
        if (reference > 0) {
            std::snprintf(ratio, sizeof ratio, "%.2f", f.median / reference);
        }
        std::printf("%-24s %5zu/%-4zu %10.2f %10.2f %12s\n", label.c_str(), f.shown, f.sent,
                    f.median, f.worst, ratio);
    }
    if (ours >= 0 && reference > 0) {
        std::printf("ref = tio's median; goal: korvane-cli's median no later than "
                    "tio's: %s\n",
                    ours <= reference ? "met" : "MISSED");
    }
    return 0;
}
