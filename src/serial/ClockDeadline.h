#pragma once
// Time limits of the threads of a driver, counted on a Clock: the program's clock runs by
// itself, a test's clock is moved by hand, so a test can take a driver to its limit and
// just short of it without waiting for real time to pass.

#include "platform/Platform.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

class TClockDeadline {
public:
    // A limit of `ms` from now on `clock`; negative: no limit.
    TClockDeadline(Clock& clock, int64_t ms)
        : m_clock(&clock), m_start(clock.Milliseconds()),
          m_limit(ms < 0 ? 0 : static_cast<uint32_t>(std::min<int64_t>(ms, 0x7FFFFFFF))),
          m_set(ms >= 0) {}

    // A limit of `ms` counted from `start`, a reading of `clock` taken before.
    TClockDeadline(Clock& clock, uint32_t start, int64_t ms) : TClockDeadline(clock, ms) {
        m_start = start;
    }

    bool Set() const { return m_set; }
    // Milliseconds of the clock since the start.
    uint32_t Elapsed() const { return m_clock->Milliseconds() - m_start; }
    bool Passed() const { return m_set && Elapsed() >= m_limit; }
    // How long a thread may sleep before it looks again, at most `capMs`: 0 once the limit
    // is reached, `capMs` without a limit.
    int SliceMs(int capMs = 0x7FFFFFFF) const {
        if (!m_set) {
            return capMs;
        }
        if (Passed()) {
            return 0;
        }
        const uint32_t sleep = m_clock->SleepBeforeLookMs(m_start + m_limit);
        // A clock that is behind by a part of a millisecond: look again soon, not never.
        return static_cast<int>(
            std::min<uint32_t>(std::max<uint32_t>(sleep, 1), static_cast<uint32_t>(capMs)));
    }

    // Waits on `changed` until `done` holds or the limit passes, looking again at least
    // every `capMs`; the result of `done` at the end. The caller holds `guard`.
    template <typename Pred>
    bool WaitFor(std::condition_variable& changed, std::unique_lock<std::mutex>& guard, Pred done,
                 int capMs = 0x7FFFFFFF) const {
        while (!done()) {
            const int slice = SliceMs(capMs);
            if (slice <= 0) {
                return done();
            }
            changed.wait_for(guard, std::chrono::milliseconds(slice));
        }
        return true;
    }

private:
    Clock* m_clock;
    uint32_t m_start;
    uint32_t m_limit;
    bool m_set;
};
