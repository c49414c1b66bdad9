#include "ui/main/QtTimer.h"

TQtTimer::TQtTimer() {
    m_timer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&m_timer, &QTimer::timeout, [this] {
        if (m_handler) {
            m_handler();
        }
        if (m_idle && m_enabled && m_idle()) {
            m_timer.stop();
        }
    });
}

void TQtTimer::SetInterval(uint32_t milliseconds) {
    const int ms = static_cast<int>(milliseconds > 0x7FFFFFFFu ? 0x7FFFFFFFu : milliseconds);
    // A running QTimer restarts its period on every setInterval, even to the same value:
    // a settings refresh more often than the period would keep it from ever firing.
    if (ms != m_timer.interval()) {
        m_timer.setInterval(ms);
    }
}

uint32_t TQtTimer::Interval() const {
    return static_cast<uint32_t>(m_timer.interval());
}

void TQtTimer::SetEnabled(bool enabled) {
    m_enabled = enabled;
    if (enabled) {
        if (!m_timer.isActive()) {
            m_timer.start();
        }
    } else {
        m_timer.stop();
    }
}

bool TQtTimer::Enabled() const {
    return m_enabled;
}

void TQtTimer::Wake() {
    if (m_enabled && !m_timer.isActive()) {
        m_timer.start();
    }
}

void TQtTimer::SetHandler(std::function<void()> handler) {
    m_handler = std::move(handler);
}

TimerFactory TQtTimer::Factory() {
    return [] { return std::make_unique<TQtTimer>(); };
}
