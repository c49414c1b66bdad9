#include "platform/NamedLock.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#if defined(KORVANE_THREAD_SANITIZER)
#include <sanitizer/tsan_interface.h>
#endif

namespace {

constexpr uint32_t kReadyMagic = 0x4B4C434Bu;

std::string ShmName(const std::string& name) {
    return name.empty() || name[0] != '/' ? "/" + name : name;
}

} // namespace

struct TNamedLock::SharedBlock {
    pthread_mutex_t mutex;
    // Written last by the initialising process; a block without it was left half-made by a
    // process that died during initialisation and is initialised again.
    uint32_t magic;
};

namespace {

bool InitMutex(pthread_mutex_t* mutex, bool processShared) {
    pthread_mutexattr_t attr;
    if (pthread_mutexattr_init(&attr) != 0) {
        return false;
    }
    bool ok = pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST) == 0;
    if (processShared) {
        ok = ok && pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED) == 0;
    }
    ok = ok && pthread_mutex_init(mutex, &attr) == 0;
    pthread_mutexattr_destroy(&attr);
    return ok;
}

} // namespace

TNamedLock::TNamedLock(const std::string& name) {
    const std::string shmName = ShmName(name);
    const int fd = shm_open(shmName.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd >= 0) {
        // The file lock serialises initialisation between processes and is dropped by the
        // kernel if this process dies meanwhile, so no creator can leave others stuck.
        while (flock(fd, LOCK_EX) != 0 && errno == EINTR) {
        }
        struct stat st {};
        bool ok = fstat(fd, &st) == 0;
        if (ok && static_cast<size_t>(st.st_size) < sizeof(SharedBlock)) {
            ok = ftruncate(fd, sizeof(SharedBlock)) == 0;
        }
        void* mem =
            ok ? mmap(nullptr, sizeof(SharedBlock), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0)
               : MAP_FAILED;
        if (mem != MAP_FAILED) {
            auto* block = static_cast<SharedBlock*>(mem);
            if (block->magic != kReadyMagic) {
                if (InitMutex(&block->mutex, true)) {
                    block->magic = kReadyMagic;
                    m_block = block;
                    m_shared = true;
                } else {
                    munmap(mem, sizeof(SharedBlock));
                }
            } else {
                m_block = block;
                m_shared = true;
            }
        }
        flock(fd, LOCK_UN);
        close(fd);
    }
    if (m_block == nullptr) {
        void* mem = mmap(nullptr, sizeof(SharedBlock), PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mem != MAP_FAILED) {
            m_block = static_cast<SharedBlock*>(mem);
            InitMutex(&m_block->mutex, false);
            m_block->magic = kReadyMagic;
        }
    }
}

TNamedLock::~TNamedLock() {
    if (m_block != nullptr) {
        if (!m_shared) {
            pthread_mutex_destroy(&m_block->mutex);
        }
        munmap(m_block, sizeof(SharedBlock));
    }
}

namespace {

timespec DeadlineAfter(clockid_t clock, uint32_t timeoutMs) {
    timespec deadline{};
    clock_gettime(clock, &deadline);
    deadline.tv_sec += static_cast<time_t>(timeoutMs / 1000u);
    deadline.tv_nsec += static_cast<long>(timeoutMs % 1000u) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    return deadline;
}

#if defined(KORVANE_THREAD_SANITIZER)
// The thread sanitizer does not know pthread_mutex_clocklock and would see every wait on
// the lock as a race; its build waits on the wall clock instead, which it does know.
// A jump of the wall clock only shortens or stretches one 200 ms wait there.
int LockBefore(pthread_mutex_t* mutex, uint32_t timeoutMs) {
    const timespec deadline = DeadlineAfter(CLOCK_REALTIME, timeoutMs);
    return pthread_mutex_timedlock(mutex, &deadline);
}
#else
// The monotonic clock: a change of the system time neither ends a wait early nor stretches it.
int LockBefore(pthread_mutex_t* mutex, uint32_t timeoutMs) {
    const timespec deadline = DeadlineAfter(CLOCK_MONOTONIC, timeoutMs);
    return pthread_mutex_clocklock(mutex, CLOCK_MONOTONIC, &deadline);
}
#endif

} // namespace

bool TNamedLock::Acquire(uint32_t timeoutMs) {
    if (m_block == nullptr) {
        return false;
    }
    int rc = 0;
    do {
        rc = LockBefore(&m_block->mutex, timeoutMs);
    } while (rc == EINTR);
    if (rc == EOWNERDEAD) {
        // The holder died inside the lock: the lock is ours now and usable again.
#if defined(KORVANE_THREAD_SANITIZER)
        // The sanitizer's timed lock counts only a plain success as taking the lock; taking
        // it over from a dead holder is one as well, so it is told so.
        __tsan_mutex_pre_lock(&m_block->mutex, __tsan_mutex_try_lock);
        __tsan_mutex_post_lock(&m_block->mutex, __tsan_mutex_try_lock, 0);
#endif
        pthread_mutex_consistent(&m_block->mutex);
        return true;
    }
    return rc == 0;
}

void TNamedLock::Release() {
    if (m_block != nullptr) {
        pthread_mutex_unlock(&m_block->mutex);
    }
}

void TNamedLock::Remove(const std::string& name) {
    shm_unlink(ShmName(name).c_str());
}
