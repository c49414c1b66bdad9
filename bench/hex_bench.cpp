// Hex formatting of received bytes, compared two ways on the same bytes:
//   in memory: our formatting (1 MiB bursts, the largest read) against a plain snprintf
//     loop and Qt's QByteArray::toHex, in the same process; each is run once unmeasured
//     (so none pays for the allocator's first growth), then the best of five rounds counts;
//   as whole processes: this program formatting a file to /dev/null (--format FILE)
//     against `xxd -p FILE`, start-up and file reading included for both.
//
//   hex_bench [--mib N]

#include "codec/HexCodec.h"

#include <QByteArray>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using SteadyClock = std::chrono::steady_clock;
constexpr size_t kBurst = 1 << 20;

double SecondsOf(const std::function<size_t()>& work) {
    if (work() == 0) {
        std::puts("(nothing produced)");
    }
    double best = 1e9;
    for (int round = 0; round < 5; ++round) {
        const auto start = SteadyClock::now();
        work();
        best = std::min(best, std::chrono::duration<double>(SteadyClock::now() - start).count());
    }
    return best;
}

size_t Ours(const std::string& bytes) {
    size_t total = 0;
    for (size_t at = 0; at < bytes.size(); at += kBurst) {
        const size_t n = std::min(kBurst, bytes.size() - at);
        std::string record;
        AppendBytesToHex(record, reinterpret_cast<const uint8_t*>(bytes.data() + at), n, " ");
        total += record.size();
    }
    return total;
}

size_t Snprintf(const std::string& bytes) {
    size_t total = 0;
    for (size_t at = 0; at < bytes.size(); at += kBurst) {
        const size_t n = std::min(kBurst, bytes.size() - at);
        std::string record(n * 3 + 1, '\0');
        char* out = record.data();
        for (size_t i = 0; i < n; ++i) {
            out += std::snprintf(out, 4, "%02X ", static_cast<unsigned char>(bytes[at + i]));
        }
        total += static_cast<size_t>(out - record.data());
    }
    return total;
}

size_t QtToHex(const std::string& bytes) {
    size_t total = 0;
    for (size_t at = 0; at < bytes.size(); at += kBurst) {
        const size_t n = std::min(kBurst, bytes.size() - at);
        const QByteArray hex =
            QByteArray::fromRawData(bytes.data() + at, static_cast<qsizetype>(n)).toHex(' ');
        total += static_cast<size_t>(hex.size());
    }
    return total;
}

// Reads the file in bursts, as the receive thread gets them, and writes each one's hex.
int FormatFile(const char* path) {
    std::FILE* in = std::fopen(path, "rb");
    std::FILE* out = std::fopen("/dev/null", "wb");
    if (in == nullptr || out == nullptr) {
        return 1;
    }
    std::vector<uint8_t> burst(kBurst);
    std::string record;
    for (size_t n; (n = std::fread(burst.data(), 1, burst.size(), in)) > 0;) {
        record.clear();
        AppendBytesToHex(record, burst.data(), n, " ");
        std::fwrite(record.data(), 1, record.size(), out);
    }
    std::fclose(in);
    std::fclose(out);
    return 0;
}

double ProcessSeconds(const std::string& command) {
    const auto start = SteadyClock::now();
    const int rc = std::system(command.c_str());
    const double seconds = std::chrono::duration<double>(SteadyClock::now() - start).count();
    return rc == 0 ? seconds : -1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--format") == 0) {
        return FormatFile(argv[2]);
    }
    size_t mib = 64;
    if (argc == 3 && std::strcmp(argv[1], "--mib") == 0) {
        mib = static_cast<size_t>(std::max(1, std::atoi(argv[2])));
    }
    std::string bytes(mib << 20, '\0');
    std::mt19937_64 random(7);
    for (char& c : bytes) {
        c = static_cast<char>(random());
    }
    const double mb = static_cast<double>(bytes.size()) / 1e6;

    const double ours = SecondsOf([&] { return Ours(bytes); });
    const double snprintfLoop = SecondsOf([&] { return Snprintf(bytes); });
    const double qt = SecondsOf([&] { return QtToHex(bytes); });
    std::printf("%-52s %10s %10s\n", "hex formatting in memory, input MB/s, best of 5", "MB/s",
                "ours is");
    std::printf("%-52s %10.1f\n", "ours (AppendBytesToHex)", mb / ours);
    std::printf("%-52s %10.1f %9.1fx\n", "plain snprintf loop", mb / snprintfLoop,
                snprintfLoop / ours);
    std::printf("%-52s %10.1f %9.1fx\n", "Qt QByteArray::toHex(' ') (goal: ours >= 1.0x)", mb / qt,
                qt / ours);

    char path[] = "/tmp/korvane-hex-bench-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0 || write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
        std::perror("temporary file");
        return 2;
    }
    close(fd);
    char self[4096] = {};
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    const std::string me = length > 0 ? std::string(self, static_cast<size_t>(length)) : argv[0];
    const double ourProcess = ProcessSeconds("'" + me + "' --format " + path);
    const double xxd = ProcessSeconds(std::string("xxd -p ") + path + " > /dev/null");
    unlink(path);
    std::printf("\n%-52s %10s %10s\n", "whole processes: read a file, hex to /dev/null", "MB/s",
                "ours is");
    std::printf("%-52s %10.1f\n", "hex_bench --format FILE > /dev/null", mb / ourProcess);
    if (xxd > 0) {
        std::printf("%-52s %10.1f %9.1fx%s\n", "xxd -p FILE > /dev/null (goal: ours >= 5x)",
                    mb / xxd, xxd / ourProcess, xxd / ourProcess >= 5 ? "" : "  BELOW GOAL");
    } else {
        std::puts("xxd -p: not available");
    }
    return 0;
}
