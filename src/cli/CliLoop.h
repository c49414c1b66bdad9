#pragma once
// The event loop of korvane-cli: the engine's timers, the wake-up from the receive thread
// and signals, and standard input, on one thread.

#include "traffic/Timer.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

class TCliLoop {
public:
    TCliLoop();
    ~TCliLoop();
    TCliLoop(const TCliLoop&) = delete;
    TCliLoop& operator=(const TCliLoop&) = delete;

    // Timers that fire from Wait() on the loop's thread.
    TimerFactory Factory();
    // Ends a Wait() early. Safe from any thread and from a signal handler.
    void Wake();
    static void WakeFromSignal();

    // Waits for input on inputFd (-1: none), a wake-up or the next timer, but no longer
    // than maxWaitMs (-1: no limit); then runs the timers that are due. True when inputFd
    // is readable.
    bool Wait(int inputFd, int maxWaitMs);

private:
    class TLoopTimer;
    friend class TLoopTimer;
    using TimePoint = std::chrono::steady_clock::time_point;

    int MillisecondsToNextTimer(TimePoint now) const;
    void RunDueTimers();

    int m_wakeRead = -1;
    int m_wakeWrite = -1;
    std::vector<TLoopTimer*> m_timers;
};
