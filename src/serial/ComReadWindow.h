#pragma once
// How long one ReadFile lasts under the read time-outs, for the drivers that time their
// reads themselves (the terminal and the network driver). A pure function of the time-outs,
// the bytes taken and when the last of them came, so both drivers end a burst alike.

#include "serial/ComDriver.h"

#include <chrono>
#include <cstdint>

class TReadWindow {
public:
    using Duration = std::chrono::steady_clock::duration;
    // The read waits until it has its count (or is woken).
    static constexpr Duration NoLimit = Duration::max();

    TReadWindow(const TComTimeoutValues& timeouts, uint32_t count);

    // Whether the read returns now with the `transferred` bytes it has: the count is full,
    // the time-outs say "return at once", or they say "wait for the first byte" and it came.
    bool Done(uint32_t transferred) const;
    // How long after its start the read ends if nothing more arrives, given the bytes it
    // has and when (since the start) the last of them came: the earlier of the total
    // time-out (multiplier x count + constant) and the interval after the last byte.
    // NoLimit when neither applies.
    Duration End(uint32_t transferred, Duration lastByte) const;

private:
    uint32_t m_count;
    bool m_atOnce = false;
    bool m_firstByte = false;
    Duration m_total = NoLimit;
    Duration m_interval = NoLimit;
};
