// The Modbus RTU decoder, measured two ways:
//   in memory: a stream of mixed frames (reads and writes of every kind, device
//     identification, diagnostics, exceptions, a bad CRC now and then, noise), one record
//     per frame on a port and request and reply glued in one record on a sniffed bus;
//     frames per second decoded, and decoded and rendered as the lines shown, beside the
//     least any decoder must do on the same frames: one CRC pass over each frame. Best of
//     five rounds after one unmeasured round.
//   on the receive path: korvane-cli on a pseudo-terminal fed that traffic at 1 MB/s for a
//     few seconds, once plain and once with --decode modbus --sniff: the processor time it
//     takes for the same bytes; what decoding adds, as a share of one core (at 1 MB/s a
//     second of traffic has a second of processor time) and beside the plain path's own.
// The machine's load average is printed with the figures.
//
//   modbus_bench [--seconds S]

#include "BenchProcess.h"
#include "BenchTiming.h"
#include "codec/HexCodec.h"
#include "protocol/ModbusRtu.h"

#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

using SteadyClock = std::chrono::steady_clock;

struct TRecordBytes {
    TModbusDirection direction;
    std::string bytes;
};

std::string Framed(std::vector<uint8_t> body) {
    const uint16_t crc = ModbusCrc16(body.data(), body.size());
    body.push_back(static_cast<uint8_t>(crc & 0xFF));
    body.push_back(static_cast<uint8_t>(crc >> 8));
    return std::string(body.begin(), body.end());
}

// Exchanges of a busy bus: request and reply, over slaves 1-8.
std::vector<std::pair<std::string, std::string>> Exchanges() {
    std::vector<std::pair<std::string, std::string>> all;
    for (uint8_t slave = 1; slave <= 8; ++slave) {
        const auto s = slave;
        std::vector<uint8_t> registers = {s, 0x03, 20};
        for (int i = 0; i < 10; ++i) {
            registers.push_back(static_cast<uint8_t>(i));
            registers.push_back(static_cast<uint8_t>(i * 3));
        }
        all.emplace_back(Framed({s, 0x03, 0x00, 0x10, 0x00, 0x0A}), Framed(registers));
        all.emplace_back(Framed({s, 0x04, 0x00, 0x00, 0x00, 0x02}),
                         Framed({s, 0x04, 0x04, 0x41, 0xA8, 0x00, 0x00}));
        all.emplace_back(Framed({s, 0x01, 0x00, 0x13, 0x00, 0x13}),
                         Framed({s, 0x01, 0x03, 0xCD, 0x6B, 0x05}));
        all.emplace_back(Framed({s, 0x05, 0x00, 0xAC, 0xFF, 0x00}),
                         Framed({s, 0x05, 0x00, 0xAC, 0xFF, 0x00}));
        all.emplace_back(Framed({s, 0x06, 0x00, 0x01, 0x00, 0x03}),
                         Framed({s, 0x06, 0x00, 0x01, 0x00, 0x03}));
        all.emplace_back(Framed({s, 0x10, 0x00, 0x01, 0x00, 0x02, 0x04, 0x00, 0x0A, 0x01, 0x02}),
                         Framed({s, 0x10, 0x00, 0x01, 0x00, 0x02}));
        all.emplace_back(Framed({s, 0x0F, 0x00, 0x13, 0x00, 0x0A, 0x02, 0xCD, 0x01}),
                         Framed({s, 0x0F, 0x00, 0x13, 0x00, 0x0A}));
        all.emplace_back(
            Framed({s, 0x17, 0x00, 0x03, 0x00, 0x02, 0x00, 0x0E, 0x00, 0x01, 0x02, 0x00, 0xFF}),
            Framed({s, 0x17, 0x04, 0x00, 0xFE, 0x0A, 0xCD}));
        all.emplace_back(Framed({s, 0x08, 0x00, 0x00, 0xA5, 0x37}),
                         Framed({s, 0x08, 0x00, 0x00, 0xA5, 0x37}));
        all.emplace_back(Framed({s, 0x2B, 0x0E, 0x01, 0x00}),
                         Framed({s,   0x2B, 0x0E, 0x01, 0x01, 0x00, 0x00, 0x02, 0x00, 0x05,
                                 'D', 'o',  'l',  'v',  'y',  0x01, 0x03, '1',  '.',  '0'}));
        all.emplace_back(Framed({s, 0x03, 0x01, 0x00, 0x00, 0x02}), Framed({s, 0x83, 0x02}));
    }
    return all;
}

// About `frames` frames as records: each frame its own record on a port; request and reply
// in one record on a sniffed bus. Every 50th reply has a broken CRC, every 100th exchange
// is preceded by a few bytes of noise.
std::vector<TRecordBytes> Traffic(size_t frames, bool sniff, size_t& frameCount) {
    const auto exchanges = Exchanges();
    std::vector<TRecordBytes> records;
    frameCount = 0;
    for (size_t i = 0; frameCount < frames; ++i) {
        const auto& [request, replyGood] = exchanges[i % exchanges.size()];
        std::string reply = replyGood;
        if (i % 50 == 49) {
            reply.back() = static_cast<char>(reply.back() ^ 0x5A);
        }
        std::string noise = i % 100 == 99 ? std::string("\xFF\x00\xFE", 3) : std::string();
        if (sniff) {
            records.push_back({TModbusDirection::Received, noise + request + reply});
        } else {
            if (!noise.empty()) {
                records.push_back({TModbusDirection::Received, noise});
            }
            records.push_back({TModbusDirection::Sent, request});
            records.push_back({TModbusDirection::Received, reply});
        }
        frameCount += 2;
    }
    return records;
}

void InMemory(bool sniff) {
    size_t frames = 0;
    const std::vector<TRecordBytes> records = Traffic(1000000, sniff, frames);
    const auto decode = [&](bool render) {
        return [&, render] {
            TModbusRtuDecoder decoder(sniff);
            std::vector<TModbusFrame> out;
            size_t found = 0;
            size_t text = 0;
            uint64_t time = 0;
            for (const TRecordBytes& record : records) {
                out.clear();
                decoder.Feed(record.direction, time += 3, record.bytes, out);
                found += out.size();
                if (render) {
                    for (const TModbusFrame& frame : out) {
                        text += RenderModbusFrame(frame).size();
                    }
                }
            }
            out.clear();
            decoder.Finish(out);
            return found + out.size() + text;
        };
    };
    // The least a decoder must do: the CRC of every frame, its bounds known beforehand.
    const auto exchanges = Exchanges();
    const auto crcPass = [&] {
        size_t good = 0;
        for (size_t i = 0; i < frames / 2; ++i) {
            for (const std::string* frame : {&exchanges[i % exchanges.size()].first,
                                             &exchanges[i % exchanges.size()].second}) {
                const auto* p = reinterpret_cast<const uint8_t*>(frame->data());
                const uint16_t crc = ModbusCrc16(p, frame->size() - 2);
                good += p[frame->size() - 2] == (crc & 0xFF) && p[frame->size() - 1] == (crc >> 8);
            }
        }
        return good;
    };
    const double decodeSeconds = BestSecondsOf(decode(false));
    const double renderSeconds = BestSecondsOf(decode(true));
    const double crcSeconds = BestSecondsOf(crcPass);
    const double n = static_cast<double>(frames);
    std::printf("%-22s %9.2f M frames/s decoded (goal >= 2), %5.2f M/s decoded and rendered;"
                "\n%-22s %9.2f M frames/s one CRC pass over the same frames; decoder / CRC "
                "pass %.2f\n",
                sniff ? "sniffed bus, glued" : "port, frame per record", n / decodeSeconds / 1e6,
                n / renderSeconds / 1e6, "", n / crcSeconds / 1e6, crcSeconds / decodeSeconds);
}

struct TRun {
    double cpuSeconds = 0;
    bool complete = false;
    std::string err;
};

// korvane-cli on a pseudo-terminal fed `bytes` at 1 MB/s.
TRun ReceivePath(const std::string& bytes, const std::vector<std::string>& options) {
    const BenchPty pty = OpenRawPty();
    int errPipe[2];
    if (pipe(errPipe) != 0) {
        std::exit(1);
    }
    std::vector<std::string> args = {KORVANE_CLI_PATH, pty.name};
    args.insert(args.end(), options.begin(), options.end());
    const pid_t pid = SpawnBenchProgram(args, errPipe[1]);
    close(errPipe[1]);
    // The reader has the terminal open once it waits for input; give it a moment.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));

    constexpr size_t kSlice = 10000; // 10 ms at 1 MB/s
    const auto start = SteadyClock::now();
    for (size_t at = 0, slice = 0; at < bytes.size(); at += kSlice, ++slice) {
        std::this_thread::sleep_until(start + std::chrono::milliseconds(10 * slice));
        const size_t n = std::min(kSlice, bytes.size() - at);
        for (size_t done = 0; done < n;) {
            const ssize_t w = write(pty.master, bytes.data() + at + done, n - done);
            if (w <= 0) {
                std::perror("write");
                std::exit(1);
            }
            done += static_cast<size_t>(w);
        }
    }
    int queued = 1;
    while (ioctl(pty.master, TIOCOUTQ, &queued) == 0 && queued > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    kill(pid, SIGINT);
    TRun run;
    char buffer[4096];
    for (ssize_t n; (n = read(errPipe[0], buffer, sizeof buffer)) > 0;) {
        run.err.append(buffer, static_cast<size_t>(n));
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    close(errPipe[0]);
    close(pty.slave);
    close(pty.master);
    run.cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                     static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    run.complete =
        run.err.find("RX " + std::to_string(bytes.size()) + " bytes") != std::string::npos;
    return run;
}

} // namespace

int main(int argc, char** argv) {
    double seconds = 5;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--seconds") == 0) {
            seconds = std::max(1.0, std::atof(argv[i + 1]));
        }
    }
    double load[3] = {};
    getloadavg(load, 3);
    std::printf("load average at start: %.2f %.2f %.2f (%ld processors)\n", load[0], load[1],
                load[2], sysconf(_SC_NPROCESSORS_ONLN));
    InMemory(false);
    InMemory(true);

    // The bus as a tap sees it, at 1 MB/s.
    size_t frames = 0;
    std::string bytes;
    for (const TRecordBytes& record :
         Traffic(static_cast<size_t>(seconds * 120000), true, frames)) {
        bytes += record.bytes;
    }
    const size_t generated = bytes.size();
    bytes.resize(std::min(bytes.size(), static_cast<size_t>(seconds * 1e6)));
    frames = frames * bytes.size() / generated;
    const TRun plain = ReceivePath(bytes, {});
    const TRun decoded = ReceivePath(bytes, {"--decode", "modbus", "--sniff"});
    const double wall = static_cast<double>(bytes.size()) / 1e6;
    std::printf("receive path, korvane-cli > /dev/null, %.1f MB at 1 MB/s (about %zu frames):\n",
                wall, frames);
    std::printf("  plain                       %6.3f s processor (%4.1f %% of one core)  %s\n",
                plain.cpuSeconds, 100 * plain.cpuSeconds / wall,
                plain.complete ? "all bytes counted" : "BYTES LOST");
    std::printf("  --decode modbus --sniff     %6.3f s processor (%4.1f %% of one core)  %s\n",
                decoded.cpuSeconds, 100 * decoded.cpuSeconds / wall,
                decoded.complete ? "all bytes counted" : "BYTES LOST");
    // At 1 MB/s every second of traffic has one second of one core to spend.
    std::printf("  decoding and showing the frames costs %.1f %% of one core at 1 MB/s (goal < "
                "10 %%);\n  that is %.0f %% more than the plain path's own %.1f %%\n",
                100 * (decoded.cpuSeconds - plain.cpuSeconds) / wall,
                100 * (decoded.cpuSeconds - plain.cpuSeconds) / plain.cpuSeconds,
                100 * plain.cpuSeconds / wall);
    getloadavg(load, 3);
    std::printf("load average at end: %.2f %.2f %.2f\n", load[0], load[1], load[2]);
    return plain.complete && decoded.complete ? 0 : 1;
}
