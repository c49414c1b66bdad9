#include "cli/CliLoop.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {
std::atomic<int> g_signalWakeFd{-1};
} // namespace

class TCliLoop::TLoopTimer final : public Timer {
public:
    explicit TLoopTimer(TCliLoop& loop) : m_loop(loop) { m_loop.m_timers.push_back(this); }
    ~TLoopTimer() override { std::erase(m_loop.m_timers, this); }

    void SetInterval(uint32_t milliseconds) override {
        m_interval = milliseconds;
        Restart();
    }
    uint32_t Interval() const override { return m_interval; }
    void SetEnabled(bool enabled) override {
        if (enabled && !m_enabled) {
            m_enabled = true;
            Restart();
        }
        m_enabled = enabled;
    }
    bool Enabled() const override { return m_enabled; }
    void SetHandler(std::function<void()> handler) override { m_handler = std::move(handler); }

    void Restart() { m_due = std::chrono::steady_clock::now() + Period(); }
    std::chrono::milliseconds Period() const {
        return std::chrono::milliseconds(std::max<uint32_t>(m_interval, 1));
    }

    TCliLoop& m_loop;
    uint32_t m_interval = 1000;
    bool m_enabled = false;
    TimePoint m_due{};
    std::function<void()> m_handler;
};

TCliLoop::TCliLoop() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
        m_wakeRead = fds[0];
        m_wakeWrite = fds[1];
        g_signalWakeFd = m_wakeWrite;
    }
}

TCliLoop::~TCliLoop() {
    g_signalWakeFd = -1;
    if (m_wakeRead >= 0) {
        close(m_wakeRead);
        close(m_wakeWrite);
    }
}

TimerFactory TCliLoop::Factory() {
    return [this] { return std::make_unique<TLoopTimer>(*this); };
}

void TCliLoop::Wake() {
    const char byte = 1;
    // A full pipe already holds a wake-up.
    [[maybe_unused]] const ssize_t n = write(m_wakeWrite, &byte, 1);
}

void TCliLoop::WakeFromSignal() {
    const int fd = g_signalWakeFd.load();
    if (fd >= 0) {
        const char byte = 1;
        [[maybe_unused]] const ssize_t n = write(fd, &byte, 1);
    }
}

int TCliLoop::MillisecondsToNextTimer(TimePoint now) const {
    int wait = -1;
    for (const TLoopTimer* timer : m_timers) {
        if (!timer->m_enabled) {
            continue;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(timer->m_due - now).count();
        const int ms = static_cast<int>(std::clamp<long long>(left, 0, 1 << 30));
        wait = wait < 0 ? ms : std::min(wait, ms);
    }
    return wait;
}

void TCliLoop::RunDueTimers() {
    const TimePoint now = std::chrono::steady_clock::now();
    // A handler may create or destroy timers: work on a copy and check each is still there.
    const std::vector<TLoopTimer*> timers = m_timers;
    for (TLoopTimer* timer : timers) {
        if (std::find(m_timers.begin(), m_timers.end(), timer) == m_timers.end() ||
            !timer->m_enabled || timer->m_due > now) {
            continue;
        }
        // Keep the beat; after a long stall start again from now instead of catching up.
        timer->m_due += timer->Period();
        if (timer->m_due <= now) {
            timer->m_due = now + timer->Period();
        }
        if (timer->m_handler) {
            timer->m_handler();
        }
    }
}

bool TCliLoop::Wait(int inputFd, int maxWaitMs) {
    int wait = MillisecondsToNextTimer(std::chrono::steady_clock::now());
    if (maxWaitMs >= 0) {
        wait = wait < 0 ? maxWaitMs : std::min(wait, maxWaitMs);
    }
    pollfd fds[2] = {{m_wakeRead, POLLIN, 0}, {inputFd, POLLIN, 0}};
    const int n = poll(fds, inputFd >= 0 ? 2 : 1, wait);
    if (n > 0 && (fds[0].revents & POLLIN) != 0) {
        char drain[256];
        while (read(m_wakeRead, drain, sizeof drain) > 0) {
        }
    }
    RunDueTimers();
    return n > 0 && inputFd >= 0 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}
