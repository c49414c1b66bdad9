#include "platform/Platform.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <langinfo.h>
#include <locale.h>
#include <pwd.h>
#include <time.h>
#include <unistd.h>

uint32_t TimeGetTime() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const uint64_t ms =
        static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
}

namespace {

// The separator follows the hour conversion of the locale's time format ("%H.%M.%S"
// gives '.'); "%T", "%r" or a format without one give ':'.
char SeparatorFromFormat(const char* fmt) {
    if (fmt == nullptr) {
        return ':';
    }
    for (const char* p = fmt; *p != '\0'; ++p) {
        if (p[0] != '%' || p[1] == '\0') {
            continue;
        }
        const char* conv = p + 1;
        while (*conv == 'E' || *conv == 'O' || *conv == '-' || *conv == '_' || *conv == '0') {
            ++conv;
        }
        if (*conv == 'H' || *conv == 'I' || *conv == 'k' || *conv == 'l') {
            const char next = conv[1];
            if (next != '\0' && next != '%' && next != ' ') {
                return next;
            }
            return ':';
        }
        p = conv;
    }
    return ':';
}

} // namespace

char LocaleTimeSeparator() {
    static const char separator = [] {
        locale_t loc = newlocale(LC_TIME_MASK, "", static_cast<locale_t>(nullptr));
        if (loc == static_cast<locale_t>(nullptr)) {
            return ':';
        }
        const char sep = SeparatorFromFormat(nl_langinfo_l(T_FMT, loc));
        freelocale(loc);
        return sep;
    }();
    return separator;
}

namespace {
std::tm LocalNow() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return local;
}
} // namespace

std::string CurrentTimeOfDay() {
    return FormatTimeOfDay(LocalNow());
}

uint32_t CurrentMillisecondOfDay() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    const std::time_t seconds = ts.tv_sec;
    std::tm local{};
    localtime_r(&seconds, &local);
    // A leap second reads as the second before it.
    const auto second = static_cast<uint32_t>((local.tm_hour * 60 + local.tm_min) * 60 +
                                              std::min(local.tm_sec, 59));
    return second * 1000u + static_cast<uint32_t>(ts.tv_nsec / 1000000);
}

std::string CurrentStamp() {
    return FormatStamp(LocalNow());
}

std::string LocalAppDataPath() {
    const char* xdg = std::getenv("XDG_DATA_HOME");
    if (xdg != nullptr && xdg[0] == '/') {
        std::string path = xdg;
        while (path.size() > 1 && path.back() == '/') {
            path.pop_back();
        }
        return path;
    }
    std::string home;
    if (const char* h = std::getenv("HOME"); h != nullptr && h[0] != '\0') {
        home = h;
    } else if (const passwd* pw = getpwuid(getuid()); pw != nullptr && pw->pw_dir != nullptr) {
        home = pw->pw_dir;
    } else {
        home = "/tmp";
    }
    while (home.size() > 1 && home.back() == '/') {
        home.pop_back();
    }
    return home + "/.local/share";
}

char PathSeparator() {
    return '/';
}
