#pragma once
// The engines' timer seam over QTimer. A 1 ms period asks for a precise timer, which the
// traffic pump needs to take one record per millisecond.

#include "traffic/Timer.h"

#include <QTimer>

class TQtTimer final : public Timer {
public:
    TQtTimer();
    void SetInterval(uint32_t milliseconds) override;
    uint32_t Interval() const override;
    void SetEnabled(bool enabled) override;
    bool Enabled() const override;
    void SetHandler(std::function<void()> handler) override;

    static TimerFactory Factory();

    // After each period the predicate is asked whether there is nothing to do; while that
    // holds the timer sleeps (it stays enabled for its owner) until Wake is called.
    void SetIdlePredicate(std::function<bool()> idle) { m_idle = std::move(idle); }
    void Wake();
    bool Sleeping() const { return m_enabled && !m_timer.isActive(); }

private:
    QTimer m_timer;
    std::function<void()> m_handler;
    std::function<bool()> m_idle;
    bool m_enabled = false;
};
