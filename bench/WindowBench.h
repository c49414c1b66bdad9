#pragma once
// What the benches of the whole window share: percentiles, the machine's load and the
// process's CPU beside the figures, and the menu probe (how long the window thread takes to
// answer a menu asked for from another thread, with the window thread's CPU time in each
// answer over 50 ms, telling work from waiting for a core).

#include "BenchProcess.h"

#include <QMenu>
#include <QMetaObject>
#include <QObject>
#include <QPoint>
#include <QString>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <pthread.h>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <utility>
#include <vector>

namespace windowbench {

using SteadyClock = std::chrono::steady_clock;

inline double Ms(SteadyClock::time_point from) {
    return std::chrono::duration<double, std::milli>(SteadyClock::now() - from).count();
}

inline double Median(std::vector<double> v) {
    if (v.empty()) {
        return 0;
    }
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

inline double Percentile(std::vector<double> v, double p) {
    if (v.empty()) {
        return 0;
    }
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

inline std::string LoadAverage() {
    std::ifstream load("/proc/loadavg");
    double one = 0;
    double five = 0;
    load >> one >> five;
    char text[64];
    std::snprintf(text, sizeof text, "%.2f (1 min), %.2f (5 min) on %u cores", one, five,
                  std::thread::hardware_concurrency());
    return text;
}

// The resident memory of this process.
inline double RssMiB() {
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        if (key == "VmRSS:") {
            double kib = 0;
            status >> kib;
            return kib / 1024.0;
        }
        status.ignore(4096, '\n');
    }
    return 0;
}

// A raw pseudo-terminal registered in the data folder's list of ports under `name`, as a
// user names a device there. Exits the bench when the system has none to give.
inline BenchPty OpenBenchPort(const std::string& folder, const std::string& name) {
    BenchPty pty = OpenRawPty();
    std::filesystem::create_directories(folder + "/ports");
    std::filesystem::create_symlink(pty.name, folder + "/ports/" + name);
    return pty;
}

// A data folder of the bench's own, made from the pattern (ending in XXXXXX) and set as the
// data and config home; call it before the QApplication is made. Empty when it cannot be.
inline std::string MakeBenchHome(std::string pattern) {
    if (mkdtemp(pattern.data()) == nullptr) {
        std::perror("mkdtemp");
        return {};
    }
    setenv("XDG_DATA_HOME", pattern.c_str(), 1);
    setenv("XDG_CONFIG_HOME", pattern.c_str(), 1);
    return pattern;
}

inline double ThreadCpuMs(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

inline double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The offscreen platform says for every popup that it cannot grab the keyboard; the menu
// probe opens one five times a second.
inline void QuietPopups(QtMsgType type, const QMessageLogContext&, const QString& text) {
    if (text.startsWith(QStringLiteral("This plugin does not support"))) {
        return;
    }
    std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
    if (type == QtFatalMsg) {
        std::abort();
    }
}

// Another thread posts a request every 200 ms; the window thread opens the menu and closes
// it. An answer time runs from the post to the menu closed. Beside each answer over 50 ms:
// the CPU time the window thread used meanwhile (near the answer time: it was working; far
// below: it waited for a core). Made on the window thread.
class MenuProbe {
public:
    explicit MenuProbe(QMenu& menu)
        : m_menu(menu), m_windowClock(WindowClock()), m_asker([this] { Ask(); }) {}
    ~MenuProbe() { Stop(); }
    MenuProbe(const MenuProbe&) = delete;
    MenuProbe& operator=(const MenuProbe&) = delete;

    // No more requests; those already posted are answered by the window's next events.
    void Stop() {
        m_stop = true;
        if (m_asker.joinable()) {
            m_asker.join();
        }
    }
    std::vector<double> Answers() const {
        const std::lock_guard lock(m_lock);
        return m_answers;
    }
    double Worst() const {
        const std::lock_guard lock(m_lock);
        return m_answers.empty() ? 0 : *std::max_element(m_answers.begin(), m_answers.end());
    }
    // Median, 99th percentile, worst and the count over 50 ms, in the benches' table.
    void Print() const {
        const std::vector<double> answers = Answers();
        std::printf("%-56s %14zu\n", "menu requests answered", answers.size());
        std::printf("%-56s %14.2f\n", "menu answer median (ms)", Median(answers));
        std::printf("%-56s %14.2f\n", "menu answer 99th percentile (ms)",
                    Percentile(answers, 0.99));
        const double worst = Worst();
        std::printf("%-56s %14.2f\n", "menu answer worst (ms)", worst);
        std::printf("%-56s %14.2f\n", "worst / 50 ms goal (ratio)", worst / 50);
        std::printf("%-56s %14zu\n", "menu answers over 50 ms",
                    static_cast<size_t>(std::count_if(answers.begin(), answers.end(),
                                                      [](double ms) { return ms > 50; })));
        const std::lock_guard lock(m_lock);
        for (const auto& [ms, windowCpu] : m_slowAnswers) {
            std::printf("%-56s %7.1f /%6.1f\n",
                        "  an answer over 50 ms / window thread's CPU in it (ms)", ms, windowCpu);
        }
    }

private:
    static clockid_t WindowClock() {
        clockid_t clock{};
        pthread_getcpuclockid(pthread_self(), &clock);
        return clock;
    }
    void Ask() {
        while (!m_stop) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            const auto posted = SteadyClock::now();
            const double cpuPosted = ThreadCpuMs(m_windowClock);
            QMetaObject::invokeMethod(
                &m_context,
                [this, posted, cpuPosted] {
                    m_menu.popup(QPoint(100, 100));
                    m_menu.hide();
                    const double ms = Ms(posted);
                    const double cpu = ThreadCpuMs(m_windowClock) - cpuPosted;
                    const std::lock_guard lock(m_lock);
                    m_answers.push_back(ms);
                    if (ms > 50) {
                        m_slowAnswers.emplace_back(ms, cpu);
                    }
                },
                Qt::QueuedConnection);
        }
    }

    QMenu& m_menu;
    clockid_t m_windowClock;
    // Lives on the window thread; requests still posted when the probe goes are dropped.
    QObject m_context;
    std::atomic<bool> m_stop{false};
    mutable std::mutex m_lock;
    std::vector<double> m_answers;
    std::vector<std::pair<double, double>> m_slowAnswers; // (answer ms, window CPU ms)
    std::thread m_asker;
};

} // namespace windowbench
