#include "platform/Platform.h"
#include "platform/PromptWake.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <langinfo.h>
#include <locale.h>
#include <pthread.h>
#include <pwd.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/syscall.h>
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

namespace {

// The shortest slice the scheduler takes for an ordinary thread (Linux 6.12 and later; an
// older kernel accepts the call and keeps its own slice).
constexpr uint64_t ShortSliceNs = 100000;

// Sets the calling thread's slice as an ordinary thread, keeping its nice value; 0 asks for
// the scheduler's default slice again.
bool SetOwnSlice(uint64_t sliceNs) {
#ifdef SYS_sched_setattr
    // The kernel's sched_attr as of its first version; the size field tells it which.
    struct SchedAttr {
        uint32_t size;
        uint32_t policy;
        uint64_t flags;
        int32_t nice;
        uint32_t priority;
        uint64_t runtime;
        uint64_t deadline;
        uint64_t period;
    };
    const auto tid = static_cast<id_t>(syscall(SYS_gettid));
    errno = 0;
    const int nice = getpriority(PRIO_PROCESS, tid);
    if (nice == -1 && errno != 0) {
        return false;
    }
    SchedAttr attr{};
    attr.size = sizeof attr;
    attr.policy = SCHED_OTHER;
    attr.nice = nice;
    attr.runtime = sliceNs;
    return syscall(SYS_sched_setattr, 0, &attr, 0u) == 0;
#else
    (void)sliceNs;
    return false;
#endif
}

bool SetOwnRealTime() {
    sched_param param{};
    param.sched_priority = sched_get_priority_min(SCHED_FIFO);
    return pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0;
}

} // namespace

TPromptWake::~TPromptWake() {
    Leave();
}

void TPromptWake::Enter() {
    if (m_raised) {
        return;
    }
    if (m_grant == Grant::Untried) {
        m_grant = Grant::None;
        sched_param param{};
        if (pthread_getschedparam(pthread_self(), &m_policy, &param) != 0 ||
            m_policy != SCHED_OTHER) {
            return;
        }
        m_priority = param.sched_priority;
        if (SetOwnRealTime()) {
            m_grant = Grant::RealTime;
            m_raised = true;
        } else if (SetOwnSlice(ShortSliceNs)) {
            m_grant = Grant::ShortSlice;
            m_raised = true;
        }
        return;
    }
    if (m_grant == Grant::RealTime) {
        m_raised = SetOwnRealTime();
    } else if (m_grant == Grant::ShortSlice) {
        m_raised = SetOwnSlice(ShortSliceNs);
    }
}

void TPromptWake::Leave() {
    if (!m_raised) {
        return;
    }
    m_raised = false;
    if (m_grant == Grant::RealTime) {
        sched_param param{};
        param.sched_priority = m_priority;
        pthread_setschedparam(pthread_self(), m_policy, &param);
    } else if (m_grant == Grant::ShortSlice) {
        SetOwnSlice(0);
    }
}

void ReleasePagesGradually(void* data, size_t bytes) {
    const auto page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    const auto start = reinterpret_cast<uintptr_t>(data);
    uintptr_t from = (start + page - 1) / page * page;
    const uintptr_t to = (start + bytes) / page * page;
    constexpr uintptr_t kPiece = uintptr_t{4} << 20;
    while (from < to) {
        const uintptr_t piece = std::min(kPiece, to - from);
        madvise(reinterpret_cast<void*>(from), piece, MADV_DONTNEED);
        from += piece;
    }
}
