#pragma once
// Timing of in-memory work for the benches: one unmeasured round (so none pays for the
// allocator's first growth or cold caches), then the best of five.

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <functional>

inline double BestSecondsOf(const std::function<size_t()>& work) {
    using SteadyClock = std::chrono::steady_clock;
    // The work's result is kept, so the compiler cannot drop the work.
    volatile size_t sink = work();
    double best = 1e9;
    for (int round = 0; round < 5; ++round) {
        const auto start = SteadyClock::now();
        sink = sink + work();
        best = std::min(best, std::chrono::duration<double>(SteadyClock::now() - start).count());
    }
    return best;
}
