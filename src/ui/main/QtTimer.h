#pragma once
// The engines' timer seam over QTimer. A 1 ms period asks for a precise timer, which the
// traffic pump needs to take one record per millisecond.

#include "traffic/Timer.h"

#include <QTimer>

#include <cstdint>
#include <optional>

class TQtTimer final : public Timer {
public:
    TQtTimer();
    void SetInterval(uint32_t milliseconds) override;
    uint32_t Interval() const override;
    void SetEnabled(bool enabled) override;
    bool Enabled() const override;
    void SetHandler(std::function<void()> handler) override;

    static TimerFactory Factory();

    // After each period the predicate tells how long the timer may wait before it is due
    // again: 0 or 1 keeps the period, more waits that long, std::nullopt sleeps (the timer
    // stays enabled for its owner) until Wake is called. Without one it keeps its period.
    void SetDuePredicate(std::function<std::optional<uint32_t>()> due) { m_due = std::move(due); }
    // Runs at the next period from now, unless it already does.
    void Wake();
    bool Sleeping() const { return m_enabled && !m_timer.isActive(); }
    // The wait it runs with now (the period, or longer when its due predicate allows);
    // -1 while stopped or sleeping.
    int Wait() const { return m_timer.isActive() ? m_timer.interval() : -1; }
    // How many times the handler ran.
    uint64_t Ticks() const { return m_ticks; }

private:
    QTimer m_timer;
    std::function<void()> m_handler;
    std::function<std::optional<uint32_t>()> m_due;
    int m_period = 0;
    bool m_enabled = false;
    uint64_t m_ticks = 0;
};
