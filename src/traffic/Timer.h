#pragma once
// A periodic timer on the user-interface thread, as the engines see it. The program gives
// them timers of the window system (a precise one for the 1 ms traffic pump); tests give
// timers that fire only when the test says so. Engines create their timers through a
// TimerFactory, so they never depend on which kind they get.

#include <cstdint>
#include <functional>
#include <memory>

class Timer {
public:
    virtual ~Timer() = default;

    // Period in milliseconds. Changing it while the timer runs restarts the period; setting
    // the period it already has changes nothing.
    virtual void SetInterval(uint32_t milliseconds) = 0;
    virtual uint32_t Interval() const = 0;

    // An enabled timer runs: it calls its handler once per period until disabled.
    virtual void SetEnabled(bool enabled) = 0;
    virtual bool Enabled() const = 0;

    // Called on the timer's thread at every period while enabled. Exceptions leave the
    // handler towards the program's general error handler; the timer keeps its state.
    virtual void SetHandler(std::function<void()> handler) = 0;
};

using TimerFactory = std::function<std::unique_ptr<Timer>()>;
