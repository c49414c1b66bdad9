#pragma once
// Hand-driven stand-ins for the engine seams: a clock the test sets, timers that fire
// only when the test says so, and a prompter that records the boxes instead of showing them.

#include "platform/Platform.h"
#include "traffic/Prompter.h"
#include "traffic/Timer.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class ManualClock : public Clock {
public:
    uint32_t Milliseconds() override { return ms; }
    std::string TimeOfDay() override { return timeOfDay; }
    std::optional<uint32_t> MillisecondOfDay() override {
        if (!knowsMilliseconds) {
            return std::nullopt;
        }
        return static_cast<uint32_t>(dayMs % 86400000);
    }

    // Moves both readings on; the time of day shows the whole seconds of dayMs.
    void Advance(uint32_t milliseconds) {
        ms += milliseconds;
        dayMs += milliseconds;
        UpdateTimeOfDay();
    }
    // Sets the time of day only; the millisecond counter keeps its value.
    void SetDayTime(int hour, int minute, int second, int millisecond = 0) {
        dayMs = static_cast<uint64_t>(((hour * 60 + minute) * 60 + second)) * 1000 +
                static_cast<uint64_t>(millisecond);
        UpdateTimeOfDay();
    }

    uint32_t ms = 0;
    uint64_t dayMs = 0;
    std::string timeOfDay = FormatTimeOfDay(0, 0, 0);
    bool knowsMilliseconds = true;

private:
    void UpdateTimeOfDay() {
        const auto seconds = static_cast<int>((dayMs / 1000) % 86400);
        timeOfDay = FormatTimeOfDay(seconds / 3600, (seconds / 60) % 60, seconds % 60);
    }
};

class ManualTimer : public Timer {
public:
    void SetInterval(uint32_t milliseconds) override { m_interval = milliseconds; }
    uint32_t Interval() const override { return m_interval; }
    void SetEnabled(bool enabled) override { m_enabled = enabled; }
    bool Enabled() const override { return m_enabled; }
    void SetHandler(std::function<void()> handler) override { m_handler = std::move(handler); }

    // One period: runs the handler when the timer is enabled.
    void Fire() {
        if (m_enabled && m_handler) {
            m_handler();
        }
    }

private:
    uint32_t m_interval = 0;
    bool m_enabled = false;
    std::function<void()> m_handler;
};

// Keeps every timer it makes, in creation order, so a test can reach them.
class ManualTimerFactory {
public:
    TimerFactory Factory() {
        return [this] {
            auto timer = std::make_unique<ManualTimer>();
            timers.push_back(timer.get());
            return timer;
        };
    }
    std::vector<ManualTimer*> timers;
};

class RecordingPrompter : public Prompter {
public:
    struct Box {
        std::string text;
        std::string caption;
        PromptOwner owner;
    };
    void Warning(const std::string& text, const std::string& caption, PromptOwner owner) override {
        boxes.push_back({text, caption, owner});
        if (onWarning) {
            onWarning();
        }
    }
    std::vector<Box> boxes;
    // Runs inside the box, as events do under a modal box.
    std::function<void()> onWarning;
};
