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

private:
    QTimer m_timer;
    std::function<void()> m_handler;
};
