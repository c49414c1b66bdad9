#pragma once
// A pseudo-terminal for the serial tests: the code under test opens the slave by its path,
// the test holds the master side and plays the other end of the line.

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <string>
#include <unistd.h>

struct PtyPeer {
    // With `keepSlave` the test keeps a descriptor of the slave side too, to look at the
    // terminal's settings.
    explicit PtyPeer(bool keepSlave = false) {
        char name[256];
        if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
            master = slave = -1;
            return;
        }
        path = name;
        if (!keepSlave) {
            close(slave);
            slave = -1;
        }
    }
    ~PtyPeer() {
        CloseMaster();
        if (slave >= 0) {
            close(slave);
        }
    }
    PtyPeer(const PtyPeer&) = delete;
    PtyPeer& operator=(const PtyPeer&) = delete;

    // The line's far end hangs up.
    void CloseMaster() {
        if (master >= 0) {
            close(master);
            master = -1;
        }
    }
    // Writes everything, blocking while the terminal is full; false when the line broke.
    bool Write(const std::string& bytes) const {
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = write(master, bytes.data() + done, bytes.size() - done);
            if (n <= 0) {
                return false;
            }
            done += static_cast<size_t>(n);
        }
        return true;
    }
    // Writes everything while `keepOn` holds: waits for room a little at a time, so a line
    // nobody reads any more (the test holding the slave side too) never blocks the writer
    // for good. False when the line broke or `keepOn` turned false first.
    bool WriteWhile(const std::string& bytes, const std::atomic<bool>& keepOn) const {
        const int flags = fcntl(master, F_GETFL);
        fcntl(master, F_SETFL, flags | O_NONBLOCK);
        size_t done = 0;
        bool broke = false;
        while (done < bytes.size() && keepOn && !broke) {
            pollfd p{master, POLLOUT, 0};
            if (poll(&p, 1, 50) != 1) {
                continue;
            }
            const ssize_t n = write(master, bytes.data() + done, bytes.size() - done);
            if (n > 0) {
                done += static_cast<size_t>(n);
            } else {
                broke = n == 0 || errno != EAGAIN;
            }
        }
        fcntl(master, F_SETFL, flags);
        return done == bytes.size();
    }
    // Reads until `count` bytes have come or the line stays silent for `silenceMs`.
    std::string Read(size_t count, int silenceMs = 1000) const {
        std::string got;
        while (got.size() < count) {
            pollfd p{master, POLLIN, 0};
            if (poll(&p, 1, silenceMs) != 1) {
                break;
            }
            char buffer[4096];
            const ssize_t n = read(master, buffer, sizeof buffer);
            if (n <= 0) {
                break;
            }
            got.append(buffer, static_cast<size_t>(n));
        }
        return got;
    }

    int master = -1;
    int slave = -1;
    std::string path;
};

// Descriptors this process has open, to show that a test left none behind.
inline int CountOpenDescriptors() {
    int count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir) != nullptr) {
            ++count;
        }
        closedir(dir);
    }
    return count;
}
