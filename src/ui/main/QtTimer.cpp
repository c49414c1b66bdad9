#include "ui/main/QtTimer.h"

#include <algorithm>

TQtTimer::TQtTimer() {
    m_timer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&m_timer, &QTimer::timeout, [this] {
        ++m_ticks;
        if (m_handler) {
            m_handler();
        }
        if (!m_due || !m_enabled) {
            return;
        }
        const std::optional<uint32_t> due = m_due();
        if (!due) {
            m_timer.stop();
            return;
        }
        const int wait = static_cast<int>(
            std::clamp<uint32_t>(*due, static_cast<uint32_t>(m_period), 0x7FFFFFFFu));
        if (wait != m_timer.interval()) {
            m_timer.start(wait);
        }
    });
}

void TQtTimer::SetInterval(uint32_t milliseconds) {
    const int ms = static_cast<int>(milliseconds > 0x7FFFFFFFu ? 0x7FFFFFFFu : milliseconds);
    // A running QTimer restarts its period on every setInterval, even to the same value:
    // a settings refresh more often than the period would keep it from ever firing.
    if (ms != m_period) {
        m_period = ms;
        m_timer.setInterval(ms);
    }
}

uint32_t TQtTimer::Interval() const {
    return static_cast<uint32_t>(m_period);
}

void TQtTimer::SetEnabled(bool enabled) {
    m_enabled = enabled;
    if (enabled) {
        if (!m_timer.isActive()) {
            m_timer.start(m_period);
        }
    } else {
        m_timer.stop();
    }
}

bool TQtTimer::Enabled() const {
    return m_enabled;
}

void TQtTimer::Wake() {
    if (m_enabled && (!m_timer.isActive() || m_timer.interval() > m_period)) {
        m_timer.start(m_period);
    }
}

void TQtTimer::SetHandler(std::function<void()> handler) {
    m_handler = std::move(handler);
}

TimerFactory TQtTimer::Factory() {
    return [] { return std::make_unique<TQtTimer>(); };
}
