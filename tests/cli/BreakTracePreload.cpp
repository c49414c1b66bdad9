// Loaded into a network serial server (LD_PRELOAD) for the break test: every break request
// the server makes of a terminal is written, one word a line, to the file named by
// KORVANE_BREAK_TRACE ("set", "clear", or "timed" for a break of the system's length), and
// then carried out as asked. A pseudo-terminal's far side cannot see a break, so this is
// how a test learns that the server put its device's line in break.

#include <asm/ioctls.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

void Note(const char* word) {
    const char* trace = std::getenv("KORVANE_BREAK_TRACE");
    if (trace == nullptr || *trace == 0) {
        return;
    }
    const int fd = open(trace, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        return;
    }
    const size_t length = std::strlen(word);
    [[maybe_unused]] const ssize_t written = write(fd, word, length);
    [[maybe_unused]] const ssize_t ended = write(fd, "\n", 1);
    close(fd);
}

} // namespace

// The C library's ioctl, seen first by the server; its third argument is always a word.
extern "C" int ioctl(int fd, unsigned long request, void* argument) {
    const int saved = errno;
    switch (request) {
    case TIOCSBRK:
        Note("set");
        break;
    case TIOCCBRK:
        Note("clear");
        break;
    case TCSBRK:
    case TCSBRKP:
        // TCSBRK with 0 is tcsendbreak; other values only drain the output.
        if (argument == nullptr) {
            Note("timed");
        }
        break;
    default:
        break;
    }
    errno = saved;
    return static_cast<int>(syscall(SYS_ioctl, fd, request, argument));
}
