#pragma once
// A clock the test moves by hand for code that waits on it in threads of its own (the
// network driver, the watch for a server's return). Waiting threads look at it every
// millisecond and tell it what time they wait for, so a test can hold until a thread waits
// for a given time, move the clock to just before it, see that the thread waits on, and
// then move it there.

#include "platform/Platform.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

class ManualThreadClock : public Clock {
public:
    uint32_t Milliseconds() override { return m_ms.load(); }
    std::string TimeOfDay() override { return "12:00:00"; }

    uint32_t SleepBeforeLookMs(uint32_t until) override {
        std::lock_guard<std::mutex> guard(m_lock);
        ++m_awaited[until];
        m_changed.notify_all();
        return 1;
    }

    uint32_t Now() const { return m_ms.load(); }
    void Advance(uint32_t ms) {
        std::lock_guard<std::mutex> guard(m_lock);
        m_ms += ms;
        m_awaited.clear();
    }
    void AdvanceTo(uint32_t ms) { Advance(ms - m_ms.load()); }

    // Waits until a thread has looked at the clock's present reading and waits on for
    // `until`, and has done so `looks` times (a second look shows it went round its loop
    // after the first). False when that does not happen within `giveUpMs` of real time.
    bool WaitUntilAwaited(uint32_t until, int looks = 2, int giveUpMs = 10000) {
        std::unique_lock<std::mutex> guard(m_lock);
        return m_changed.wait_for(guard, std::chrono::milliseconds(giveUpMs), [&] {
            const auto it = m_awaited.find(until);
            return it != m_awaited.end() && it->second >= looks;
        });
    }

    // The time a thread waits for, told after this call; 0 when none is within `giveUpMs`.
    // For the test that knows a single thread waits.
    uint32_t Awaited(int giveUpMs = 10000) {
        std::unique_lock<std::mutex> guard(m_lock);
        m_awaited.clear();
        m_changed.wait_for(guard, std::chrono::milliseconds(giveUpMs),
                           [&] { return !m_awaited.empty(); });
        return m_awaited.empty() ? 0 : m_awaited.begin()->first;
    }

private:
    std::atomic<uint32_t> m_ms{1000};
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::map<uint32_t, int> m_awaited; // since the last move of the clock
};
