#include "platform/Platform.h"
#include "platform/PromptWake.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <pthread.h>
#include <sched.h>
#include <string>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

TEST(Platform, LocalAppDataFollowsXdgThenHome) {
    const char* oldXdg = std::getenv("XDG_DATA_HOME");
    const char* oldHome = std::getenv("HOME");
    const std::string savedXdg = oldXdg ? oldXdg : "";
    const std::string savedHome = oldHome ? oldHome : "";

    setenv("XDG_DATA_HOME", "/srv/data/", 1);
    EXPECT_EQ(LocalAppDataPath(), "/srv/data");
    setenv("XDG_DATA_HOME", "relative/ignored", 1);
    setenv("HOME", "/home/tester", 1);
    EXPECT_EQ(LocalAppDataPath(), "/home/tester/.local/share");
    unsetenv("XDG_DATA_HOME");
    EXPECT_EQ(LocalAppDataPath(), "/home/tester/.local/share");

    if (oldXdg) {
        setenv("XDG_DATA_HOME", savedXdg.c_str(), 1);
    }
    if (oldHome) {
        setenv("HOME", savedHome.c_str(), 1);
    }
}

namespace {

struct ThreadScheduling {
    int policy = -1;
    int priority = -1;
    int nice = 100;
    bool operator==(const ThreadScheduling&) const = default;
};

std::ostream& operator<<(std::ostream& out, const ThreadScheduling& s) {
    return out << "policy " << s.policy << " priority " << s.priority << " nice " << s.nice;
}

ThreadScheduling OwnScheduling() {
    ThreadScheduling s;
    sched_param param{};
    pthread_getschedparam(pthread_self(), &s.policy, &param);
    s.priority = param.sched_priority;
    errno = 0;
    s.nice = getpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)));
    return s;
}

} // namespace

// A waiting thread is raised for its wait and given back exactly its own scheduling after
// it, every time: a nice value it was started with survives (a test run through the build
// slot runs niced), and a thread put into the batch class on purpose is not touched.
TEST(Platform, PromptWakeGivesTheThreadItsOwnSchedulingBack) {
    errno = 0;
    const int startNice = getpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)));
    ASSERT_EQ(errno, 0);
    struct Case {
        const char* name;
        int policy;
        int niceAbove; // added to the test's own nice (raising it is always allowed)
    };
    const Case cases[] = {
        {"ordinary", SCHED_OTHER, 0},
        {"ordinary, niced further", SCHED_OTHER, 3},
        {"batch", SCHED_BATCH, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::thread([&] {
            sched_param none{};
            ASSERT_EQ(pthread_setschedparam(pthread_self(), c.policy, &none), 0);
            ASSERT_EQ(setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)),
                                  std::min(19, startNice + c.niceAbove)),
                      0);
            const ThreadScheduling own = OwnScheduling();
            TPromptWake wake;
            for (int pass = 0; pass < 2; ++pass) {
                SCOPED_TRACE(pass);
                wake.Enter();
                const ThreadScheduling waiting = OwnScheduling();
                switch (wake.Granted()) {
                case TPromptWake::Grant::RealTime:
                    EXPECT_EQ(waiting.policy, SCHED_FIFO);
                    EXPECT_EQ(waiting.priority, sched_get_priority_min(SCHED_FIFO));
                    break;
                case TPromptWake::Grant::ShortSlice:
                case TPromptWake::Grant::None:
                    EXPECT_EQ(waiting, own);
                    break;
                default:
                    ADD_FAILURE() << "granted " << static_cast<int>(wake.Granted());
                }
                if (c.policy != SCHED_OTHER) {
                    EXPECT_EQ(wake.Granted(), TPromptWake::Grant::None);
                }
                wake.Leave();
                EXPECT_EQ(OwnScheduling(), own);
            }
        }).join();
    }
}

// Pages wholly inside the range are given back (they read as zeros after), the bytes of
// the pages it only touches stay, and the allocator's own records around a block survive:
// the block is freed and a new one allocated as usual.
TEST(Platform, ReleasePagesGraduallyTakesOnlyWholePagesInside) {
    const auto page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    struct Case {
        size_t offset; // of the range in the buffer
        size_t bytes;
    };
    const Case cases[] = {
        {0, 16 << 20}, {1, 16 << 20}, {page - 1, 9 * page + 2}, {page, page}, {3, page - 1}, {5, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.offset) + "+" + std::to_string(c.bytes));
        const size_t size = (16 << 20) + 3 * page;
        auto* buffer = static_cast<unsigned char*>(std::malloc(size));
        ASSERT_NE(buffer, nullptr);
        std::memset(buffer, 0xA5, size);
        ReleasePagesGradually(buffer + c.offset, c.bytes);
        const auto start = reinterpret_cast<uintptr_t>(buffer + c.offset);
        const uintptr_t from = (start + page - 1) / page * page;
        const uintptr_t to = (start + c.bytes) / page * page;
        size_t wrong = 0;
        for (size_t i = 0; i < size; ++i) {
            const auto at = reinterpret_cast<uintptr_t>(buffer + i);
            const unsigned char expected = at >= from && at < to ? 0 : 0xA5;
            wrong += buffer[i] != expected ? 1 : 0;
        }
        EXPECT_EQ(wrong, 0u);
        std::free(buffer);
        void* again = std::malloc(size);
        ASSERT_NE(again, nullptr);
        std::memset(again, 1, size);
        std::free(again);
    }
}
