// Loaded into korvane-cli (LD_PRELOAD) by the tap test: every read of the terminal named by
// KORVANE_FAIL_READS fails with EPROTO, as on a device whose driver reports an error that is
// not a hang-up. Other descriptors read as usual.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <unistd.h>

namespace {

using ReadCall = ssize_t (*)(int, void*, size_t);

bool Failing(int fd) {
    const char* path = std::getenv("KORVANE_FAIL_READS");
    if (path == nullptr || *path == 0) {
        return false;
    }
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    char target[256];
    const ssize_t n = readlink(link, target, sizeof target - 1);
    if (n <= 0) {
        return false;
    }
    target[n] = 0;
    return std::strcmp(target, path) == 0;
}

} // namespace

extern "C" ssize_t read(int fd, void* buffer, size_t count) {
    static const auto real = reinterpret_cast<ReadCall>(dlsym(RTLD_NEXT, "read"));
    const int saved = errno;
    if (Failing(fd)) {
        errno = EPROTO;
        return -1;
    }
    errno = saved;
    return real(fd, buffer, count);
}
