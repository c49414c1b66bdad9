#pragma once
// Operating-system services that no subsystem owns. One header; one implementation
// file per operating system, chosen by the build.

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>

// Milliseconds of a monotonic clock as an unsigned 32-bit count. It wraps after about
// 49.7 days; every user takes differences in unsigned 32-bit arithmetic.
uint32_t TimeGetTime();

// The time separator of the user's locale; ':' when the locale names none.
char LocaleTimeSeparator();

// "hh:nn:ss" (24-hour, two digits each) with the locale's time separator.
std::string FormatTimeOfDay(int hour, int minute, int second);
std::string FormatTimeOfDay(const std::tm& local);
// The current local time of day, formatted as above.
std::string CurrentTimeOfDay();

// "yyyymmddhhmmss" of a local time, and of now.
std::string FormatStamp(const std::tm& local);
std::string CurrentStamp();

// The time of day of a date-time value counted in days since 1899-12-30 (the stored
// format of dates in the settings file), formatted as FormatTimeOfDay does. Only the
// fraction is used; a negative value's fraction counts from midnight as well.
std::string FormatOleTimeOfDay(double dateTime);
// The same time of day in milliseconds since midnight, rounded as FormatOleTimeOfDay
// rounds it (0 ... 86399999).
uint32_t OleTimeOfDayMs(double dateTime);
// Milliseconds since local midnight now (0 ... 86399999), read as CurrentTimeOfDay reads
// the time of day.
uint32_t CurrentMillisecondOfDay();

// The per-user folder for application data, without a trailing separator. POSIX:
// $XDG_DATA_HOME when it is set to an absolute path, else ~/.local/share. Windows: the
// local application data folder of the user's profile.
std::string LocalAppDataPath();

// Gives the memory pages wholly inside [data, data + bytes) back to the system a few MiB
// at a time; their contents are lost. Before a block of hundreds of MB is freed: freed in
// one call, it holds up every thread of the process (the window's too) while the system
// takes it back. The pages that hold the allocator's own records at either end are left.
void ReleasePagesGradually(void* data, size_t bytes);

// The system's separator between the names of a path: '/' on POSIX, '\' on Windows.
char PathSeparator();
// folder, the separator and name; no second separator when folder ends with one.
std::string JoinPath(const std::string& folder, const std::string& name);

// Milliseconds and time of day as the engines see them. The program uses the system
// clock; tests drive a manual one, so no engine test has to sleep.
class Clock {
public:
    virtual ~Clock() = default;
    virtual uint32_t Milliseconds() = 0;
    virtual std::string TimeOfDay() = 0;
    // Milliseconds since midnight of the time TimeOfDay() shows, where the clock knows them;
    // a waiter that gets std::nullopt looks at the time of day every millisecond instead.
    virtual std::optional<uint32_t> MillisecondOfDay() { return std::nullopt; }
    // A thread waits until Milliseconds() reaches `until`: how long it may sleep (real
    // milliseconds) before it reads the clock again. A clock that runs by itself lets it
    // sleep until then; a clock a test moves by hand wakes it often instead, and may note
    // what it is waited for.
    virtual uint32_t SleepBeforeLookMs(uint32_t until) {
        const uint32_t left = until - Milliseconds();
        return left > 0x7FFFFFFFu ? 0 : left; // passed already
    }
};

class SystemClock final : public Clock {
public:
    uint32_t Milliseconds() override { return TimeGetTime(); }
    std::string TimeOfDay() override { return CurrentTimeOfDay(); }
    std::optional<uint32_t> MillisecondOfDay() override { return CurrentMillisecondOfDay(); }
    // One shared instance for the whole process.
    static SystemClock& Instance();
};
