#include "platform/Platform.h"
#include "platform/PromptWake.h"

#include "platform/WindowsApi.h"

#include <cstdlib>

uint32_t TimeGetTime() {
    return static_cast<uint32_t>(timeGetTime());
}

char LocaleTimeSeparator() {
    static const char separator = [] {
        char buf[8] = {};
        if (GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_STIME, buf, sizeof buf) > 0 &&
            buf[0] != '\0') {
            return buf[0];
        }
        return ':';
    }();
    return separator;
}

namespace {

std::tm LocalNow() {
    SYSTEMTIME st{};
    GetLocalTime(&st);
    std::tm local{};
    local.tm_year = st.wYear - 1900;
    local.tm_mon = st.wMonth - 1;
    local.tm_mday = st.wDay;
    local.tm_hour = st.wHour;
    local.tm_min = st.wMinute;
    local.tm_sec = st.wSecond;
    local.tm_wday = st.wDayOfWeek;
    local.tm_isdst = -1;
    return local;
}

std::string WithoutTrailingSeparator(std::string path) {
    // "C:\" keeps its separator: without it the path would name the drive's current folder.
    while (path.size() > 3 && (path.back() == '\\' || path.back() == '/')) {
        path.pop_back();
    }
    return path;
}

} // namespace

std::string CurrentTimeOfDay() {
    return FormatTimeOfDay(LocalNow());
}

uint32_t CurrentMillisecondOfDay() {
    SYSTEMTIME st{};
    GetLocalTime(&st);
    return ((static_cast<uint32_t>(st.wHour) * 60u + st.wMinute) * 60u +
            (st.wSecond > 59 ? 59u : st.wSecond)) *
               1000u +
           st.wMilliseconds;
}

std::string CurrentStamp() {
    return FormatStamp(LocalNow());
}

std::string LocalAppDataPath() {
    char buf[MAX_PATH + 1] = {};
    if (SUCCEEDED(
            SHGetFolderPathA(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, buf)) &&
        buf[0] != '\0') {
        return WithoutTrailingSeparator(buf);
    }
    // A profile the shell cannot resolve (a service account, a stripped-down system).
    for (const char* name : {"LOCALAPPDATA", "APPDATA", "USERPROFILE"}) {
        if (const char* value = std::getenv(name); value != nullptr && value[0] != '\0') {
            return WithoutTrailingSeparator(value);
        }
    }
    return ".";
}

char PathSeparator() {
    return '\\';
}

TPromptWake::~TPromptWake() {
    Leave();
}

void TPromptWake::Enter() {
    if (m_raised || (m_grant != Grant::Untried && m_grant != Grant::HigherPriority)) {
        return;
    }
    const bool first = m_grant == Grant::Untried;
    if (first) {
        m_grant = Grant::None;
        m_priority = GetThreadPriority(GetCurrentThread());
        // A priority someone else chose stays.
        if (m_priority != THREAD_PRIORITY_NORMAL) {
            return;
        }
    }
    m_raised = SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_HIGHEST) != 0;
    if (first && m_raised) {
        m_grant = Grant::HigherPriority;
    }
}

void TPromptWake::Leave() {
    if (!m_raised) {
        return;
    }
    m_raised = false;
    SetThreadPriority(GetCurrentThread(), m_priority);
}

void ReleasePagesGradually(void*, size_t) {
    // Nothing is given back early here: the block is freed whole when its owner frees it.
}
