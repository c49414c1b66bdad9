#pragma once
// What the end-to-end benches share: a raw pseudo-terminal pair and a program started with
// its standard input and output on /dev/null.

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

struct BenchPty {
    int master = -1;
    int slave = -1;
    std::string name;
};

// Exits the bench when the system has no pseudo-terminal to give.
inline BenchPty OpenRawPty() {
    BenchPty pty;
    char name[256];
    if (openpty(&pty.master, &pty.slave, name, nullptr, nullptr) != 0) {
        std::perror("openpty");
        std::exit(1);
    }
    pty.name = name;
    termios raw{};
    tcgetattr(pty.slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(pty.slave, TCSANOW, &raw);
    return pty;
}

// In a child: becomes the program, or ends with 127 when it cannot be started.
[[noreturn]] inline void BenchExec(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
}

// stderrFd: where the program's standard error goes; -1 for /dev/null.
inline pid_t SpawnBenchProgram(const std::vector<std::string>& args, int stderrFd) {
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_RDWR);
        dup2(null, STDIN_FILENO);
        dup2(null, STDOUT_FILENO);
        dup2(stderrFd >= 0 ? stderrFd : null, STDERR_FILENO);
        BenchExec(args);
    }
    return pid;
}

// Reads fd until done(what came) holds, at most boundMs after start: the milliseconds from
// start, or a negative number when it did not come in time.
inline double BenchReadUntil(int fd, std::chrono::steady_clock::time_point start, int boundMs,
                             const std::function<bool(const std::string&)>& done) {
    using SteadyClock = std::chrono::steady_clock;
    std::string got;
    const auto giveUp = start + std::chrono::milliseconds(boundMs);
    while (!done(got)) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(giveUp - SteadyClock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count()) + 1) != 1) {
            return -1;
        }
        char buffer[4096];
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) {
            return -1;
        }
        got.append(buffer, static_cast<size_t>(n));
    }
    return std::chrono::duration<double, std::milli>(SteadyClock::now() - start).count();
}

// Writes a request to fd and reads the answer until done(what came) holds, at most boundMs:
// the milliseconds it took, or a negative number when the answer did not come.
inline double BenchAsk(int fd, const std::string& request, int boundMs,
                       const std::function<bool(const std::string&)>& done) {
    const auto start = std::chrono::steady_clock::now();
    if (write(fd, request.data(), request.size()) != static_cast<ssize_t>(request.size())) {
        return -1;
    }
    return BenchReadUntil(fd, start, boundMs, done);
}
