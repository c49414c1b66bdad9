// The receive path up to the traffic queue, measured side by side with `cat`:
//   1. bytes per second recorded through a pseudo-terminal (100 ms read window, hex records)
//      against `cat` reading the same pseudo-terminal;
//   2. a steady 1 MB/s for a while into the queue (no pump, view or painting: the whole
//      window at that rate is traffic_gui_bench): every byte recorded, in order, RxCount
//      equal to the sent count;
//   3. the same stream through ser2net on the loopback address, raw and RFC 2217, beside
//      the same stream read straight from the pseudo-terminal: bytes per second, no loss.
// Hex formatting against other formatters is hex_bench.
//
//   receive_bench [--mib N] [--steady-seconds S]

#include "serial/OruScomm.h"
#include "serial/Ser2netServer.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <pty.h>
#include <random>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace {

using SteadyClock = std::chrono::steady_clock;

double Seconds(SteadyClock::time_point from) {
    return std::chrono::duration<double>(SteadyClock::now() - from).count();
}

std::string RandomBytes(size_t n) {
    std::string bytes(n, '\0');
    std::mt19937_64 random(7);
    for (size_t i = 0; i < n; i += 8) {
        const uint64_t v = random();
        std::memcpy(bytes.data() + i, &v, std::min<size_t>(8, n - i));
    }
    return bytes;
}

bool WriteAll(int fd, const char* data, size_t n) {
    while (n > 0) {
        const ssize_t done = write(fd, data, n);
        if (done <= 0) {
            return false;
        }
        data += done;
        n -= static_cast<size_t>(done);
    }
    return true;
}

struct Pty {
    Pty() {
        char name[256];
        if (openpty(&master, &slave, name, nullptr, nullptr) == 0) {
            path = name;
            termios tio{};
            tcgetattr(slave, &tio);
            cfmakeraw(&tio);
            tcsetattr(slave, TCSANOW, &tio);
        }
    }
    ~Pty() {
        close(master);
        close(slave);
    }
    int master = -1;
    int slave = -1;
    std::string path;
};

// Seconds for `cat` to take `bytes` through a pseudo-terminal: the writer cannot run ahead of
// the reader by more than the terminal's small buffer.
double CatSeconds(const std::string& bytes) {
    Pty pty;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pty.slave, STDIN_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    char arg0[] = "cat";
    char* argv[] = {arg0, nullptr};
    pid_t pid = 0;
    if (posix_spawnp(&pid, "cat", &actions, nullptr, argv, environ) != 0) {
        return -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    const auto start = SteadyClock::now();
    WriteAll(pty.master, bytes.data(), bytes.size());
    const double seconds = Seconds(start);
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    return seconds;
}

struct ReceiveResult {
    double seconds = -1;
    size_t recorded = 0;
    bool whole = false;
    size_t records = 0;
};

enum class TRoute { Pty, Ser2netRaw, Ser2netRfc2217 };

// The program's receive path: connection and receive thread on the pseudo-terminal (or on
// ser2net bridging it), the records taken off the queue as the traffic pump would.
// paceBytes > 0 writes that many bytes every 10 ms instead of as fast as the terminal
// takes them.
ReceiveResult Receive(const std::string& bytes, size_t paceBytes, TRoute route = TRoute::Pty) {
    ReceiveResult result;
    Pty pty;
    std::unique_ptr<Ser2netServer> server;
    std::string port = pty.path;
    if (route != TRoute::Pty) {
        server = std::make_unique<Ser2netServer>(pty.path, "115200n81");
        port = route == TRoute::Ser2netRaw ? server->RawAddress() : server->TelnetAddress();
    }
    TOruScomm connection(SystemClock::Instance(), nullptr,
                         "KorvaneBench" + std::to_string(getpid()));
    connection.Device->SetPort(port);
    connection.Device->SetBaudRate(br115200);
    try {
        connection.OpenPort();
    } catch (const ECom&) {
        return result;
    }
    TOruComThread thread(connection);
    thread.Unpark();

    const auto start = SteadyClock::now();
    std::thread writer([&] {
        if (paceBytes == 0) {
            WriteAll(pty.master, bytes.data(), bytes.size());
            return;
        }
        auto next = SteadyClock::now();
        for (size_t at = 0; at < bytes.size(); at += paceBytes) {
            WriteAll(pty.master, bytes.data() + at, std::min(paceBytes, bytes.size() - at));
            next += std::chrono::milliseconds(10);
            std::this_thread::sleep_until(next);
        }
    });
    std::string received;
    received.reserve(bytes.size());
    const auto giveUp = std::chrono::seconds(30);
    auto lastProgress = SteadyClock::now();
    while (received.size() < bytes.size() && SteadyClock::now() - lastProgress < giveUp) {
        const std::string record = connection.TakeRecord().value_or(TQueuedRecord());
        if (record.empty()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        ++result.records;
        lastProgress = SteadyClock::now();
        for (size_t i = 15; i + 1 < record.size(); i += 3) {
            auto digit = [](char h) { return h <= '9' ? h - '0' : h - 'A' + 10; };
            received += static_cast<char>(digit(record[i]) * 16 + digit(record[i + 1]));
        }
    }
    result.seconds = Seconds(start);
    writer.join();
    thread.Stop();
    TNamedLock::Remove("KorvaneBench" + std::to_string(getpid()));
    result.recorded = static_cast<size_t>(connection.RxCount.load());
    result.whole = received == bytes;
    return result;
}

double MBps(size_t bytes, double seconds) {
    return seconds > 0 ? bytes / seconds / 1e6 : 0;
}

} // namespace

int main(int argc, char** argv) {
    size_t mib = 64;
    int steadySeconds = 10;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--mib") == 0) {
            mib = static_cast<size_t>(std::max(1, std::atoi(argv[i + 1])));
        } else if (std::strcmp(argv[i], "--steady-seconds") == 0) {
            steadySeconds = std::max(1, std::atoi(argv[i + 1]));
        }
    }
    const std::string bytes = RandomBytes(mib << 20);

    std::printf("%-44s %12s %12s %8s\n", "measure", "ours MB/s", "tool MB/s", "ratio");

    const ReceiveResult fast = Receive(bytes, 0);
    const double cat = CatSeconds(bytes);
    std::printf("%-44s %12.1f %12.1f %7.2fx\n", "pty receive, records vs cat",
                MBps(fast.recorded, fast.seconds), MBps(bytes.size(), cat), cat / fast.seconds);
    std::printf("    %zu MiB in %zu records, all in order: %s, RxCount %zu\n", mib, fast.records,
                fast.whole ? "yes" : "NO", fast.recorded);

    const std::string steadyBytes = RandomBytes(static_cast<size_t>(steadySeconds) * 1000000u);
    const ReceiveResult steady = Receive(steadyBytes, 10000);
    std::printf("%-44s %12.2f\n", "steady 1 MB/s into the queue (no view)",
                MBps(steady.recorded, steady.seconds));
    std::printf("    %d s: sent %zu, RxCount %zu, lost %zu, in order: %s\n", steadySeconds,
                steadyBytes.size(), steady.recorded,
                steadyBytes.size() - std::min(steadyBytes.size(), steady.recorded),
                steady.whole ? "yes" : "NO");

    // Network ports: the same stream, as fast as it goes, straight from the terminal and
    // through ser2net in both modes.
    bool networkWhole = true;
    if (Ser2netServer::Installed()) {
        const std::string netBytes = RandomBytes(std::min<size_t>(mib, 16) << 20);
        const ReceiveResult direct = Receive(netBytes, 0, TRoute::Pty);
        const ReceiveResult raw = Receive(netBytes, 0, TRoute::Ser2netRaw);
        const ReceiveResult telnet = Receive(netBytes, 0, TRoute::Ser2netRfc2217);
        std::printf("%-44s %12s %12s %12s\n", "network receive MB/s", "pty", "tcp://",
                    "rfc2217://");
        std::printf("%-44s %12.1f %12.1f %12.1f\n", "    same stream, records",
                    MBps(direct.recorded, direct.seconds), MBps(raw.recorded, raw.seconds),
                    MBps(telnet.recorded, telnet.seconds));
        std::printf("    %zu MiB each; whole and in order: pty %s, tcp %s, rfc2217 %s\n",
                    netBytes.size() >> 20, direct.whole ? "yes" : "NO", raw.whole ? "yes" : "NO",
                    telnet.whole ? "yes" : "NO");
        networkWhole = direct.whole && raw.whole && telnet.whole;
    } else {
        std::printf("network receive: ser2net not installed, skipped\n");
    }
    return fast.whole && steady.whole && steady.recorded == steadyBytes.size() && networkWhole ? 0
                                                                                               : 1;
}
