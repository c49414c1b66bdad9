// portsim: a simulated serial device on a pseudo-terminal, registered as a virtual port.
//
//   portsim [--name NAME] [--dir DIR] [--address N] [modbus | echo | stream N M | sensor [M]]
//
// modbus (default): a Modbus RTU slave answering functions 03, 06 and 16 over a table of
// holding registers; echo: sends back every byte; stream N M: a frame of N bytes every M ms;
// sensor M: a line of slowly varying readings every M ms (default 100), in the label:value
// form small boards print ("temp:21.37 hum:45.2 pressure:1013.25").
// The port is a symbolic link DIR/NAME (default: the program's virtual-ports folder) to the
// pseudo-terminal; it is removed when portsim ends.

#include <poll.h>
#include <termios.h>

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

volatile sig_atomic_t g_stop = 0;

void OnSignal(int) {
    g_stop = 1;
}

uint64_t NowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

std::string DefaultPortsFolder() {
    std::string base;
    const char* xdg = std::getenv("XDG_DATA_HOME");
    if (xdg != nullptr && xdg[0] == '/') {
        base = xdg;
    } else {
        const char* home = std::getenv("HOME");
        base = std::string(home != nullptr && home[0] != '\0' ? home : "/tmp") + "/.local/share";
    }
    return base + "/Dolvy/Korvane/ports";
}

bool MakeFolders(const std::string& path) {
    for (size_t pos = 1; pos <= path.size(); ++pos) {
        if (pos == path.size() || path[pos] == '/') {
            const std::string part = path.substr(0, pos);
            if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
                return false;
            }
        }
    }
    return true;
}

// ---- Modbus RTU slave ----

uint16_t Crc16(const uint8_t* data, size_t n) {
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < n; ++i) {
        crc = static_cast<uint16_t>(crc ^ data[i]);
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1u) != 0 ? static_cast<uint16_t>((crc >> 1) ^ 0xA001u)
                                  : static_cast<uint16_t>(crc >> 1);
        }
    }
    return crc;
}

void AppendCrc(std::vector<uint8_t>& frame) {
    const uint16_t crc = Crc16(frame.data(), frame.size());
    frame.push_back(static_cast<uint8_t>(crc & 0xFF));
    frame.push_back(static_cast<uint8_t>(crc >> 8));
}

class ModbusSlave {
public:
    static constexpr size_t RegisterCount = 256;

    explicit ModbusSlave(uint8_t address) : m_address(address) {
        // Register i holds i at start, so a reply shows which registers it covers.
        for (size_t i = 0; i < RegisterCount; ++i) {
            m_registers[i] = static_cast<uint16_t>(i);
        }
    }

    // The reply to one request frame; empty when the frame gets none (not for us, a broken
    // CRC, a broadcast).
    std::vector<uint8_t> Answer(const std::vector<uint8_t>& frame) {
        if (frame.size() < 4) {
            return {};
        }
        const size_t body = frame.size() - 2;
        const uint16_t crc = static_cast<uint16_t>(frame[body] | (frame[body + 1] << 8));
        if (Crc16(frame.data(), body) != crc) {
            return {};
        }
        const uint8_t address = frame[0];
        if (address != m_address && address != 0) {
            return {};
        }
        const uint8_t function = frame[1];
        std::vector<uint8_t> reply;
        const uint8_t code = Execute(frame.data(), body, reply);
        if (address == 0) {
            return {};
        }
        if (code != 0) {
            reply = {m_address, static_cast<uint8_t>(function | 0x80), code};
        }
        AppendCrc(reply);
        return reply;
    }

private:
    static uint16_t Word(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

    // Fills reply (without CRC) and returns 0, or returns an exception code.
    uint8_t Execute(const uint8_t* f, size_t n, std::vector<uint8_t>& reply) {
        switch (f[1]) {
        case 0x03: {
            if (n != 6) {
                return 0x03;
            }
            const uint16_t start = Word(f + 2);
            const uint16_t count = Word(f + 4);
            if (count < 1 || count > 125) {
                return 0x03;
            }
            if (static_cast<size_t>(start) + count > RegisterCount) {
                return 0x02;
            }
            reply = {m_address, 0x03, static_cast<uint8_t>(count * 2)};
            for (uint16_t i = 0; i < count; ++i) {
                reply.push_back(static_cast<uint8_t>(m_registers[start + i] >> 8));
                reply.push_back(static_cast<uint8_t>(m_registers[start + i] & 0xFF));
            }
            return 0;
        }
        case 0x06: {
            if (n != 6) {
                return 0x03;
            }
            const uint16_t reg = Word(f + 2);
            if (reg >= RegisterCount) {
                return 0x02;
            }
            m_registers[reg] = Word(f + 4);
            reply.assign(f, f + 6);
            return 0;
        }
        case 0x10: {
            if (n < 7) {
                return 0x03;
            }
            const uint16_t start = Word(f + 2);
            const uint16_t count = Word(f + 4);
            const uint8_t bytes = f[6];
            if (count < 1 || count > 123 || bytes != count * 2 || n != 7u + bytes) {
                return 0x03;
            }
            if (static_cast<size_t>(start) + count > RegisterCount) {
                return 0x02;
            }
            for (uint16_t i = 0; i < count; ++i) {
                m_registers[start + i] = Word(f + 7 + 2 * i);
            }
            reply.assign(f, f + 6);
            return 0;
        }
        default:
            return 0x01;
        }
    }

    uint8_t m_address;
    uint16_t m_registers[RegisterCount] = {};
};

// ---- the pseudo-terminal and the main loop ----

struct Options {
    std::string name = "SIM0";
    std::string dir;
    std::string mode = "modbus";
    uint8_t address = 1;
    size_t frameBytes = 64;
    unsigned periodMs = 10;
};

void Usage() {
    std::fprintf(stderr, "usage: portsim [--name NAME] [--dir DIR] [--address N] "
                         "[modbus | echo | stream BYTES MILLISECONDS | sensor [MILLISECONDS]]\n");
}

bool ParseNumber(const char* text, unsigned long low, unsigned long high, unsigned long& out) {
    char* end = nullptr;
    errno = 0;
    const unsigned long value = std::strtoul(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < low || value > high) {
        return false;
    }
    out = value;
    return true;
}

bool ParseOptions(int argc, char** argv, Options& options) {
    std::vector<std::string> words;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if ((arg == "--name" || arg == "--dir" || arg == "--address") && i + 1 < argc) {
            const char* value = argv[++i];
            if (arg == "--name") {
                options.name = value;
            } else if (arg == "--dir") {
                options.dir = value;
            } else {
                unsigned long address = 0;
                if (!ParseNumber(value, 1, 247, address)) {
                    return false;
                }
                options.address = static_cast<uint8_t>(address);
            }
        } else if (arg.rfind("--", 0) == 0) {
            return false;
        } else {
            words.push_back(arg);
        }
    }
    if (options.name.empty() || options.name.find('/') != std::string::npos) {
        return false;
    }
    if (words.empty()) {
        return true;
    }
    options.mode = words[0];
    if (options.mode == "stream") {
        unsigned long bytes = 0;
        unsigned long period = 0;
        if (words.size() != 3 || !ParseNumber(words[1].c_str(), 1, 65536, bytes) ||
            !ParseNumber(words[2].c_str(), 1, 3600000, period)) {
            return false;
        }
        options.frameBytes = bytes;
        options.periodMs = static_cast<unsigned>(period);
        return true;
    }
    if (options.mode == "sensor") {
        unsigned long period = 100;
        if (words.size() > 2 ||
            (words.size() == 2 && !ParseNumber(words[1].c_str(), 1, 3600000, period))) {
            return false;
        }
        options.periodMs = static_cast<unsigned>(period);
        return true;
    }
    return (options.mode == "modbus" || options.mode == "echo") && words.size() == 1;
}

// The silence that ends a Modbus RTU frame: 3.5 characters of 11 bits at the line's rate,
// 1.75 ms above 19200 bit/s; never below 2 ms, as a pseudo-terminal has no real timing.
unsigned FrameGapMs(int slave) {
    termios tio{};
    unsigned baud = 9600;
    if (tcgetattr(slave, &tio) == 0) {
        switch (cfgetospeed(&tio)) {
        case B1200:
            baud = 1200;
            break;
        case B2400:
            baud = 2400;
            break;
        case B4800:
            baud = 4800;
            break;
        case B19200:
            baud = 19200;
            break;
        case B38400:
            baud = 38400;
            break;
        default:
            break;
        }
    }
    const unsigned gap = (38500u + baud - 1) / baud; // 3.5 * 11 bits, in ms, rounded up
    return gap < 2 ? 2 : gap;
}

class Simulator {
public:
    Simulator(int master, int slave, const Options& options)
        : m_master(master), m_slave(slave), m_options(options), m_modbus(options.address) {}

    int Run() {
        std::vector<uint8_t> frame;
        uint64_t lastByte = 0;
        uint64_t nextFrame = NowMs() + m_options.periodMs;
        uint8_t sequence = 0;
        sigset_t none;
        sigemptyset(&none);
        while (g_stop == 0) {
            int timeout = 100;
            const uint64_t now = NowMs();
            if (m_options.mode == "modbus" && !frame.empty()) {
                const uint64_t due = lastByte + FrameGapMs(m_slave);
                timeout = due > now ? static_cast<int>(due - now) : 0;
            } else if (m_options.mode == "stream" || m_options.mode == "sensor") {
                timeout = nextFrame > now ? static_cast<int>(nextFrame - now) : 0;
            }
            pollfd pfd{m_master, POLLIN, 0};
            if (!m_out.empty()) {
                pfd.events |= POLLOUT;
            }
            const timespec ts{timeout / 1000, (timeout % 1000) * 1000000L};
            const int ready = ppoll(&pfd, 1, &ts, &none);
            if (ready < 0 && errno != EINTR) {
                std::perror("portsim: poll");
                return 1;
            }
            if (ready > 0 && (pfd.revents & POLLIN) != 0) {
                uint8_t buffer[4096];
                const ssize_t n = read(m_master, buffer, sizeof buffer);
                if (n > 0) {
                    if (m_options.mode == "echo") {
                        Queue(buffer, static_cast<size_t>(n));
                    } else if (m_options.mode == "modbus") {
                        // A frame longer than any Modbus RTU frame is noise.
                        if (frame.size() + static_cast<size_t>(n) > 256) {
                            frame.clear();
                        }
                        frame.insert(frame.end(), buffer, buffer + n);
                        lastByte = NowMs();
                    }
                }
            }
            if (ready > 0 && (pfd.revents & POLLOUT) != 0) {
                Flush();
            }
            if (m_options.mode == "modbus" && !frame.empty() &&
                NowMs() >= lastByte + FrameGapMs(m_slave)) {
                const std::vector<uint8_t> reply = m_modbus.Answer(frame);
                Queue(reply.data(), reply.size());
                frame.clear();
            }
            if (m_options.mode == "sensor" && NowMs() >= nextFrame) {
                SendReadings(m_readings++);
                nextFrame += m_options.periodMs;
                if (nextFrame + 1000 < NowMs()) {
                    nextFrame = NowMs() + m_options.periodMs;
                }
            }
            if (m_options.mode == "stream" && NowMs() >= nextFrame) {
                SendStreamFrame(sequence++);
                nextFrame += m_options.periodMs;
                if (nextFrame + 1000 < NowMs()) {
                    nextFrame = NowMs() + m_options.periodMs;
                }
            }
        }
        return 0;
    }

private:
    void Queue(const uint8_t* data, size_t n) {
        // Bytes the client never reads are dropped past this much, as a device whose
        // receiver is gone would lose them.
        constexpr size_t limit = 1u << 20;
        if (m_out.size() + n <= limit) {
            m_out.insert(m_out.end(), data, data + n);
        }
        Flush();
    }

    void Flush() {
        while (!m_out.empty()) {
            const ssize_t n = write(m_master, m_out.data(), m_out.size());
            if (n <= 0) {
                return;
            }
            m_out.erase(m_out.begin(), m_out.begin() + n);
        }
    }

    void SendStreamFrame(uint8_t sequence) {
        // With nobody reading the port the frames would pile up in the terminal and reach
        // the next client stale.
        int pending = 0;
        if (ioctl(m_slave, FIONREAD, &pending) == 0 && pending > 4096) {
            return;
        }
        std::vector<uint8_t> frame(m_options.frameBytes);
        for (size_t i = 0; i < frame.size(); ++i) {
            frame[i] = static_cast<uint8_t>(sequence + i);
        }
        Queue(frame.data(), frame.size());
    }

    void SendReadings(uint64_t n) {
        int pending = 0;
        if (ioctl(m_slave, FIONREAD, &pending) == 0 && pending > 4096) {
            return;
        }
        // Slow waves of different periods, so each series is told apart on a plot.
        const double t = static_cast<double>(n) * m_options.periodMs / 1000.0;
        char line[128];
        const int length =
            std::snprintf(line, sizeof line, "temp:%.2f hum:%.1f pressure:%.2f\r\n",
                          21.0 + 3.0 * std::sin(t / 10.0), 45.0 + 10.0 * std::sin(t / 23.0 + 1.0),
                          1013.25 + 2.0 * std::cos(t / 37.0));
        Queue(reinterpret_cast<const uint8_t*>(line), static_cast<size_t>(length));
    }

    int m_master;
    int m_slave;
    const Options& m_options;
    uint64_t m_readings = 0;
    ModbusSlave m_modbus;
    std::vector<uint8_t> m_out;
};

} // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        Usage();
        return 2;
    }
    if (options.dir.empty()) {
        options.dir = DefaultPortsFolder();
    }

    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        std::perror("portsim: pseudo-terminal");
        return 1;
    }
    const char* slaveName = ptsname(master);
    if (slaveName == nullptr) {
        std::perror("portsim: ptsname");
        return 1;
    }
    const std::string slavePath = slaveName;
    // Holding the other side open keeps the terminal alive while clients come and go;
    // without it the master side reports a hang-up whenever no client has the port open.
    const int slave = open(slavePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) {
        std::perror("portsim: open slave");
        return 1;
    }
    termios tio{};
    if (tcgetattr(slave, &tio) == 0) {
        cfmakeraw(&tio);
        cfsetspeed(&tio, B9600);
        tcsetattr(slave, TCSANOW, &tio);
    }
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);

    // Signals are taken only inside the poll, so a stop request is never missed between the
    // check and the wait.
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGINT);
    sigaddset(&blocked, SIGTERM);
    sigaddset(&blocked, SIGHUP);
    sigprocmask(SIG_BLOCK, &blocked, nullptr);
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);

    if (!MakeFolders(options.dir)) {
        std::fprintf(stderr, "portsim: cannot create %s: %s\n", options.dir.c_str(),
                     std::strerror(errno));
        return 1;
    }
    const std::string link = options.dir + "/" + options.name;
    // A link left by an earlier run is replaced in one step.
    const std::string temporary = link + ".portsim" + std::to_string(getpid());
    if (symlink(slavePath.c_str(), temporary.c_str()) != 0 ||
        rename(temporary.c_str(), link.c_str()) != 0) {
        std::fprintf(stderr, "portsim: cannot register %s: %s\n", link.c_str(),
                     std::strerror(errno));
        unlink(temporary.c_str());
        return 1;
    }
    std::printf("portsim: port %s -> %s (%s", options.name.c_str(), slavePath.c_str(),
                options.mode.c_str());
    if (options.mode == "modbus") {
        std::printf(", slave address %u", options.address);
    } else if (options.mode == "stream") {
        std::printf(", %zu bytes every %u ms", options.frameBytes, options.periodMs);
    } else if (options.mode == "sensor") {
        std::printf(", readings every %u ms", options.periodMs);
    }
    std::printf(")\n");
    std::fflush(stdout);

    const int rc = Simulator(master, slave, options).Run();

    // The link goes only while it is still ours: another portsim may have taken the name.
    char target[4096];
    const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    if (n >= 0) {
        target[n] = '\0';
        if (slavePath == target) {
            unlink(link.c_str());
        }
    }
    close(slave);
    close(master);
    return rc;
}
