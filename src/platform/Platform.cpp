#include "platform/Platform.h"

#include <cmath>
#include <cstdio>

std::string FormatTimeOfDay(int hour, int minute, int second) {
    char buf[16];
    const char sep = LocaleTimeSeparator();
    std::snprintf(buf, sizeof buf, "%02d%c%02d%c%02d", hour, sep, minute, sep, second);
    return buf;
}

std::string FormatTimeOfDay(const std::tm& local) {
    return FormatTimeOfDay(local.tm_hour, local.tm_min, local.tm_sec);
}

std::string FormatStamp(const std::tm& local) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d%02d%02d%02d%02d%02d", local.tm_year + 1900,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    return buf;
}

uint32_t OleTimeOfDayMs(double dateTime) {
    if (!std::isfinite(dateTime)) {
        return 0;
    }
    double whole = 0.0;
    const double fraction = std::fabs(std::modf(dateTime, &whole));
    // Rounded to the millisecond first, as stored times are, so 12:00:00 stored as
    // 0.4999999999 still reads 12:00:00.
    const auto ms = static_cast<int64_t>(std::llround(fraction * 86400000.0));
    return ms >= 86400000 ? 0u : static_cast<uint32_t>(ms);
}

std::string FormatOleTimeOfDay(double dateTime) {
    if (!std::isfinite(dateTime)) {
        return FormatTimeOfDay(0, 0, 0);
    }
    const int seconds = static_cast<int>(OleTimeOfDayMs(dateTime) / 1000);
    return FormatTimeOfDay(seconds / 3600, (seconds / 60) % 60, seconds % 60);
}

SystemClock& SystemClock::Instance() {
    static SystemClock clock;
    return clock;
}

std::string JoinPath(const std::string& folder, const std::string& name) {
    const char separator = PathSeparator();
    // Both separators end a folder name on Windows; only '/' does on POSIX.
    if (folder.empty() || folder.back() == separator || folder.back() == '/') {
        return folder + name;
    }
    return folder + separator + name;
}
