// When a read ends under the read time-outs, on virtual time: the one rule both drivers
// that time their reads follow.

#include "serial/ComReadWindow.h"

#include <gtest/gtest.h>

#include <chrono>

namespace {

using std::chrono::milliseconds;
constexpr uint32_t MaxDword = 0xFFFFFFFFu;

TComTimeoutValues Reads(uint32_t interval, uint32_t multiplier, uint32_t constant) {
    TComTimeoutValues t;
    t.ReadIntervalTimeout = interval;
    t.ReadTotalTimeoutMultiplier = multiplier;
    t.ReadTotalTimeoutConstant = constant;
    return t;
}

} // namespace

TEST(ReadWindow, EndsAsTheTimeoutsSay) {
    constexpr long long None = -1; // NoLimit
    struct Case {
        const char* name;
        TComTimeoutValues timeouts;
        uint32_t count;
        uint32_t transferred;
        long long lastByteMs;
        bool done;
        long long endMs;
    };
    const Case cases[] = {
        {"at once, nothing there", Reads(MaxDword, 0, 0), 16, 0, 0, true, 0},
        {"first byte: waits up to the constant", Reads(MaxDword, MaxDword, 500), 16, 0, 0, false,
         500},
        {"first byte: returns once one came", Reads(MaxDword, MaxDword, 500), 16, 1, 30, true, 500},
        {"the program's window, nothing yet", Reads(100, 0, 100), 1024, 0, 0, false, 100},
        {"the program's window, bytes came", Reads(100, 0, 100), 1024, 3, 30, false, 100},
        {"a gap shorter than the window", Reads(20, 0, 100), 1024, 3, 30, false, 50},
        {"a gap that would pass the window", Reads(20, 0, 100), 1024, 3, 90, false, 100},
        {"interval only: no limit before a byte", Reads(40, 0, 0), 8, 0, 0, false, None},
        {"interval only: from the last byte", Reads(40, 0, 0), 8, 2, 15, false, 55},
        {"multiplier times count plus constant", Reads(0, 10, 50), 8, 0, 0, false, 130},
        {"no time-outs: waits for the count", Reads(0, 0, 0), 8, 7, 5, false, None},
        {"count full", Reads(0, 0, 0), 8, 8, 5, true, None},
        {"total past the clock's range", Reads(0, MaxDword, 1), 0xFFFFFFF0u, 0, 0, false, None},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const TReadWindow window(c.timeouts, c.count);
        EXPECT_EQ(window.Done(c.transferred), c.done);
        const TReadWindow::Duration end = window.End(c.transferred, milliseconds(c.lastByteMs));
        if (c.endMs == None) {
            EXPECT_EQ(end, TReadWindow::NoLimit);
        } else {
            EXPECT_EQ(end, milliseconds(c.endMs));
        }
    }
}
