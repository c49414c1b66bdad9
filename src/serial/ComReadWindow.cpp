#include "serial/ComReadWindow.h"

#include <algorithm>

namespace {

constexpr uint32_t MaxDword = 0xFFFFFFFFu;

// Milliseconds as a duration; a total beyond what the clock can count (a multiplier near
// MAXDWORD times a large count) is no limit rather than an overflow.
TReadWindow::Duration Milliseconds(uint64_t ms) {
    constexpr uint64_t Max = static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(TReadWindow::NoLimit).count() / 2);
    if (ms >= Max) {
        return TReadWindow::NoLimit;
    }
    return std::chrono::duration_cast<TReadWindow::Duration>(
        std::chrono::milliseconds(static_cast<std::chrono::milliseconds::rep>(ms)));
}

} // namespace

TReadWindow::TReadWindow(const TComTimeoutValues& t, uint32_t count) : m_count(count) {
    m_atOnce = t.ReadIntervalTimeout == MaxDword && t.ReadTotalTimeoutMultiplier == 0 &&
               t.ReadTotalTimeoutConstant == 0;
    // Wait for the first byte up to the constant, then return what is there.
    m_firstByte = t.ReadIntervalTimeout == MaxDword && t.ReadTotalTimeoutMultiplier == MaxDword &&
                  t.ReadTotalTimeoutConstant != 0 && t.ReadTotalTimeoutConstant != MaxDword;
    if (m_firstByte) {
        m_total = Milliseconds(t.ReadTotalTimeoutConstant);
    } else if (!m_atOnce &&
               (t.ReadTotalTimeoutMultiplier != 0 || t.ReadTotalTimeoutConstant != 0)) {
        m_total = Milliseconds(uint64_t{t.ReadTotalTimeoutMultiplier} * count +
                               uint64_t{t.ReadTotalTimeoutConstant});
    }
    if (!m_firstByte && !m_atOnce && t.ReadIntervalTimeout != 0 &&
        t.ReadIntervalTimeout != MaxDword) {
        m_interval = Milliseconds(t.ReadIntervalTimeout);
    }
}

bool TReadWindow::Done(uint32_t transferred) const {
    return transferred >= m_count || m_atOnce || (m_firstByte && transferred > 0);
}

TReadWindow::Duration TReadWindow::End(uint32_t transferred, Duration lastByte) const {
    if (m_atOnce) {
        return Duration::zero();
    }
    // The interval runs from the last byte, so only once one has come.
    if (m_interval == NoLimit || transferred == 0) {
        return m_total;
    }
    return std::min(m_total, lastByte + m_interval);
}
