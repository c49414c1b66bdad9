// Scripts: how fast a script answers a received frame on a pseudo-terminal (korvane-cli
// --script --decode modbus: a whole frame ends its record at once, other bursts after 5 ms
// of silence; this program plays the device that asks, 1000 requests, each written once
// the previous reply has come), and how many on_receive calls a second the engine makes when the
// handler computes a CRC in Lua. Goals: reply median <= 5 ms and worst <= 20 ms; >= 20,000 calls a
// second.
//
//   script_bench [--requests N]

#include "BenchProcess.h"

#include "codec/HexCodec.h"
#include "script/ScriptEngine.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace {

using SteadyClock = std::chrono::steady_clock;

std::string WithCrc(std::string body) {
    const uint16_t crc = ModbusCrc16(reinterpret_cast<const uint8_t*>(body.data()), body.size());
    return body + static_cast<char>(crc & 0xFF) + static_cast<char>(crc >> 8);
}

const std::string Request = WithCrc(std::string("\x01\x03\x00\x00\x00\x01", 6));

// A slave answering register 0 with a count, its CRC from crc().
const char* const ReplyScript = R"(
local n = 0
function on_receive(b)
  if #b == 8 and b:sub(1, 2) == "\1\3" and crc("Modbus-CRC16", b:sub(1, 6)) == b:sub(7) then
    n = (n + 1) % 65536
    local body = string.char(1, 3, 2, n // 256, n % 256)
    send(body .. crc("Modbus-CRC16", body))
  end
end
)";

// Writes the request and waits for a whole reply (7 bytes), at most boundMs; the
// milliseconds it took, or a negative number when the reply did not come.
double Ask(int master, int boundMs) {
    return BenchAsk(master, Request, boundMs,
                    [](const std::string& got) { return got.size() >= 7; });
}

void ReplyLatency(uint32_t gapMs, size_t requests, bool goal) {
    char path[] = "/tmp/korvane-script-bench-XXXXXX.lua";
    const int fd = mkstemps(path, 4);
    if (fd < 0 || write(fd, ReplyScript, std::strlen(ReplyScript)) < 0) {
        std::printf("cannot write the script\n");
        return;
    }
    close(fd);
    const BenchPty pty = OpenRawPty();
    const pid_t pid = SpawnBenchProgram({KORVANE_CLI_PATH, pty.name, "--script", path, "--gap",
                                         std::to_string(gapMs), "--decode", "modbus", "--time",
                                         "none", "--no-color"},
                                        -1);
    bool ready = false;
    for (int attempt = 0; attempt < 50 && !ready; ++attempt) {
        ready = Ask(pty.master, 200) >= 0;
    }
    // A reply that came after its bound would be read as the next one: drained first.
    const auto drain = [&] {
        char buffer[256];
        pollfd p{pty.master, POLLIN, 0};
        while (poll(&p, 1, 50) == 1 && read(pty.master, buffer, sizeof buffer) > 0) {
        }
    };
    drain();
    std::vector<double> ms;
    if (ready) {
        for (size_t i = 0; i < requests; ++i) {
            const double t = Ask(pty.master, 2000);
            if (t >= 0) {
                ms.push_back(t);
            } else {
                drain();
            }
        }
    }
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    close(pty.master);
    close(pty.slave);
    unlink(path);
    std::sort(ms.begin(), ms.end());
    const double median = ms.empty() ? 0 : ms[ms.size() / 2];
    const double p99 = ms.empty() ? 0 : ms[std::min(ms.size() - 1, ms.size() * 99 / 100)];
    const double worst = ms.empty() ? 0 : ms.back();
    const bool met = ready && ms.size() == requests && median <= 5 && worst <= 20;
    const std::string what = "script reply on a pty, gap " + std::to_string(gapMs) + " ms (ms)";
    std::printf("%-44s %6zu/%-5zu %7.2f %7.2f %7.2f  %s\n", what.c_str(), ms.size(),
                ready ? requests : 0, median, p99, worst,
                !goal ? "for comparison"
                : met ? "goal: median <= 5, worst <= 20: met"
                      : "goal: median <= 5, worst <= 20: MISSED");
}

class NullHost : public TScriptHost {
public:
    void Send(std::string_view bytes) override { sent += bytes.size(); }
    void SetDtr(bool) override {}
    void SetRts(bool) override {}
    void Log(const std::string&) override {}
    void Error(const std::string& text) override {
        std::printf("script error: %s\n", text.c_str());
    }
    size_t sent = 0;
};

class IdleTimer : public Timer {
public:
    void SetInterval(uint32_t ms) override { m_interval = ms; }
    uint32_t Interval() const override { return m_interval; }
    void SetEnabled(bool on) override { m_enabled = on; }
    bool Enabled() const override { return m_enabled; }
    void SetHandler(std::function<void()>) override {}

private:
    uint32_t m_interval = 0;
    bool m_enabled = false;
};

// The handler checks each frame's CRC with a CRC-16 written in Lua, and answers.
const char* const LuaCrcScript = R"(
local function crc16(s)
  local c = 0xFFFF
  for i = 1, #s do
    c = c ~ s:byte(i)
    for _ = 1, 8 do
      if c & 1 == 1 then c = (c >> 1) ~ 0xA001 else c = c >> 1 end
    end
  end
  return string.char(c & 0xFF, c >> 8)
end
function on_receive(b, info)
  if crc16(b:sub(1, -3)) == b:sub(-2) then send(b) end
end
)";

const char* const BuiltInCrcScript = R"(
function on_receive(b, info)
  if crc("Modbus-CRC16", b:sub(1, -3)) == b:sub(-2) then send(b) end
end
)";

void CallsPerSecond(const char* what, const char* source) {
    NullHost host;
    TimerFactory timers = [] { return std::make_unique<IdleTimer>(); };
    TScriptEngine engine(host, SystemClock::Instance(), timers);
    if (!engine.LoadText("bench.lua", source)) {
        return;
    }
    TScriptRecordInfo info;
    info.timeOfDay = "12:00:00";
    constexpr int Calls = 200000;
    const auto start = SteadyClock::now();
    for (int i = 0; i < Calls; ++i) {
        info.timeMs = static_cast<uint32_t>(i);
        engine.Received(Request, info);
    }
    const double s = std::chrono::duration<double>(SteadyClock::now() - start).count();
    const double rate = Calls / s;
    const bool answered = host.sent == Calls * Request.size();
    std::printf("%-44s %14.0f  %s\n", what, rate,
                !answered       ? "the handler did not answer every frame"
                : rate >= 20000 ? "goal: >= 20,000/s: met"
                                : "goal: >= 20,000/s: MISSED");
}

} // namespace

int main(int argc, char** argv) {
    size_t requests = 1000;
    if (argc == 3 && std::strcmp(argv[1], "--requests") == 0) {
        requests = static_cast<size_t>(std::max(1, std::atoi(argv[2])));
    }
    std::printf("%-44s %12s %7s %7s %7s\n", "script reply (korvane-cli --script)", "answered",
                "median", "p99", "worst");
    ReplyLatency(5, requests, true);
    // The record ends after the gap: the answer cannot come sooner than the gap after the
    // request's last byte. A shorter gap shows the rest of the path.
    ReplyLatency(2, std::max<size_t>(1, requests / 5), false);
    std::printf("%-44s %14s\n", "on_receive calls per second (8-byte frame)", "calls/s");
    CallsPerSecond("CRC-16 written in Lua, frame sent back", LuaCrcScript);
    CallsPerSecond("crc() of the engine, frame sent back", BuiltInCrcScript);
    return 0;
}
