// korvane-cli --tap: a second port only listened to, its lines marked "<B" among the first
// port's in the order they came, a Modbus conversation tapped from both wires paired
// exactly, and a tap that is unplugged and comes back while the first port streams on.

#include "cli/CliFolderTest.h"
#include "cli/CliProcess.h"
#include "cli/JsonValue.h"
#include "cli/RawPty.h"
#include "serial/PtyPeer.h"

#include "codec/HexCodec.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <memory>
#include <mutex>
#include <poll.h>
#include <pty.h>
#include <regex>
#include <sstream>
#include <string>
#include <termios.h>
#include <thread>
#include <vector>

namespace {

size_t CountOf(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

const std::string Request = "01 03 00 00 00 02 C4 0B";
const std::string Reply = "01 03 04 00 0A FF FF DB 81";

class CliTap : public CliFolderTest {};

// The master's wire and the slave's wire, each on a port of its own; --tap-swap says the
// tap hears the master. Each reply is written once its request is shown, so each pair is in
// order, and the decoder pairs them by the port they came from.
TEST_F(CliTap, RequestsAndRepliesFromTwoWiresArePairedInOrder) {
    for (const bool swap : {false, true}) {
        SCOPED_TRACE(swap ? "the tap hears the master" : "the first port hears the master");
        RawPty first;
        RawPty tapped;
        const RawPty& master = swap ? tapped : first;
        const RawPty& slave = swap ? first : tapped;
        master.Write(Request); // waiting when the program starts, kept
        std::vector<std::string> args = {first.Name(), "--tap",  tapped.Name(), "--keep-stale",
                                         "--decode",   "modbus", "--count",     "4"};
        if (swap) {
            args.push_back("--tap-swap");
        }
        CliProcess cli(args);
        for (size_t pair = 1; pair <= 2; ++pair) {
            if (pair == 2) {
                master.Write(Request);
            }
            ASSERT_TRUE(cli.WaitForOutput([&](const std::string& out) {
                return CountOf(out, Request) == pair;
            })) << cli.out
                << cli.err;
            slave.Write(Reply);
            ASSERT_TRUE(cli.WaitForOutput([&](const std::string& out) {
                return CountOf(out, Reply) == pair;
            })) << cli.out
                << cli.err;
        }
        ASSERT_EQ(cli.Wait(), 0) << cli.err;

        // The program's own notes ("--- ...") aside.
        std::vector<std::string> lines;
        for (const std::string& line : Lines(cli.out)) {
            if (!line.starts_with("--- ")) {
                lines.push_back(line);
            }
        }
        ASSERT_EQ(lines.size(), 8u) << cli.out;
        const std::string time = R"(\[\d\d:\d\d:\d\d +(\d+|---) )";
        const std::string requestMark = swap ? "<B" : "Rx";
        const std::string replyMark = swap ? "Rx" : "<B";
        for (size_t i = 0; i < 8; i += 4) {
            EXPECT_TRUE(
                std::regex_match(lines[i], std::regex(time + requestMark + R"(\] )" + Request)))
                << lines[i];
            EXPECT_TRUE(std::regex_search(lines[i + 1],
                                          std::regex("slave 1 Read Holding Registers 0x0000 x2")))
                << lines[i + 1];
            EXPECT_TRUE(
                std::regex_match(lines[i + 2], std::regex(time + replyMark + R"(\] )" + Reply)))
                << lines[i + 2];
            EXPECT_TRUE(std::regex_search(
                lines[i + 3],
                std::regex(R"(slave 1 reply 0x0000\.\.0x0001 = 10 65535  \(\d+ ms\))")))
                << lines[i + 3];
        }
        EXPECT_NE(cli.err.find(tapped.Name() + " (tap) closed; RX " +
                               std::to_string(2 * HexToBytes(swap ? Request : Reply).size())),
                  std::string::npos)
            << cli.err;
    }
}

TEST_F(CliTap, JsonNamesTheTappedDirection) {
    RawPty first;
    RawPty tapped;
    first.Write(Request);
    CliProcess cli({first.Name(), "--tap", tapped.Name(), "--keep-stale", "--json", "--decode",
                    "modbus", "--count", "2"});
    ASSERT_TRUE(cli.WaitForOutput([](const std::string& out) { return !Lines(out).empty(); }))
        << cli.err;
    tapped.Write(Reply);
    ASSERT_EQ(cli.Wait(), 0) << cli.err;
    const std::vector<std::string> lines = Lines(cli.out);
    ASSERT_EQ(lines.size(), 2u) << cli.out;
    const std::optional<JsonValue> request = JsonReader::Parse(lines[0]);
    const std::optional<JsonValue> reply = JsonReader::Parse(lines[1]);
    ASSERT_TRUE(request && reply) << cli.out;
    EXPECT_EQ((*request)["dir"].text, "rx");
    EXPECT_EQ((*request)["hex"].text, Request);
    EXPECT_EQ((*request)["frames"][0]["kind"].text, "request");
    EXPECT_EQ((*reply)["dir"].text, "rxb");
    EXPECT_EQ((*reply)["hex"].text, Reply);
    EXPECT_EQ((*reply)["frames"][0]["kind"].text, "reply");
    EXPECT_EQ((*reply)["frames"][0]["values"][0].number, 10);
}

TEST_F(CliTap, TapOptionsThatCannotWorkEndWithAReason) {
    RawPty first;
    const struct {
        std::vector<std::string> args;
        int code;
        const char* says;
    } cases[] = {
        {{first.Name(), "--tap-baud", "9600"}, 2, "--tap-baud sets up the second port"},
        {{first.Name(), "--tap-swap"}, 2, "--tap-swap sets up the second port"},
        {{first.Name(), "--tap", first.Name()}, 2, "not the first one again"},
        {{first.Name(), "--tap", "/dev/ttyS-none", "--decode", "modbus", "--sniff"}, 2, "--sniff"},
        {{first.Name(), "--tap", "/dev/korvane-no-such-port"},
         1,
         "cannot open port /dev/korvane-no-such-port (--tap)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.says);
        CliProcess cli(c.args);
        EXPECT_EQ(cli.Wait(), c.code) << cli.err;
        EXPECT_NE(cli.err.find(c.says), std::string::npos) << cli.err;
    }
}

// What the program showed, line by line: each port's bytes in the order shown and, for each
// line, what it was ('A' the first port, 'B' the tap, 'd' and 'r' the tap's notes of going
// and coming back, '-' another note).
struct Shown {
    std::string bytesA;
    std::string bytesB;
    std::string kinds;
};

Shown Parse(const std::string& out, const std::string& tapName) {
    static const std::regex traffic(R"(\[\d\d:\d\d:\d\d +(\d+|---) (Rx|<B)\] ([0-9A-F ]*))");
    Shown shown;
    for (const std::string& line : Lines(out)) {
        std::smatch m;
        if (line.starts_with("--- ")) {
            shown.kinds += line.starts_with("--- " + tapName + " disconnected ")  ? 'd'
                           : line.starts_with("--- " + tapName + " reconnected ") ? 'r'
                                                                                  : '-';
        } else if (std::regex_match(line, m, traffic)) {
            const bool tapped = m[2] == "<B";
            (tapped ? shown.bytesB : shown.bytesA) += HexToBytes(NormalizeHex(m[3].str()));
            shown.kinds += tapped ? 'B' : 'A';
        } else {
            shown.kinds += '?';
        }
    }
    return shown;
}

// The tap's device is unplugged while the first port streams, then a new one appears under
// the same name: the program says so in its own lines among the traffic, the first port's
// bytes keep coming all the while, the tap is opened again and its bytes join once more.
// Every byte of both ports is shown once and in order.
TEST_F(CliTap, ATapUnpluggedAndBackLeavesTheFirstPortStreaming) {
    namespace fs = std::filesystem;
    using namespace std::chrono_literals;
    RawPty first;
    auto tap = std::make_unique<PtyPeer>();
    ASSERT_GE(tap->master, 0);
    const std::string tapName = Path("tapB");
    fs::create_symlink(tap->path, tapName);
    // The program must not inherit the line's far end, or closing it here hangs nothing up.
    ASSERT_EQ(fcntl(tap->master, F_SETFD, FD_CLOEXEC), 0);
    // Kept: the first port's far end may write before the program has opened it.
    CliProcess cli({first.Name(), "--tap", tapName, "--no-sent", "--keep-stale"});

    // The first port's far end: four numbered bytes every 2 ms until the test has seen
    // what it waits for.
    std::mutex sentLock;
    std::string sentA;
    std::jthread writer([&](const std::stop_token& stop) {
        for (uint32_t n = 0; !stop.stop_requested(); ++n) {
            const std::string bytes = {static_cast<char>(n >> 8), static_cast<char>(n), '\x5A',
                                       static_cast<char>(~n)};
            {
                const std::lock_guard lock(sentLock);
                sentA += bytes;
            }
            first.Write(BytesToHex(bytes, " "));
            std::this_thread::sleep_for(2ms);
        }
    });
    // Five lines of the first port after the n-th line of the given kind.
    const auto linesOfAAfter = [&](char kind, long n = 1) {
        return [&, kind, n](const std::string& out) {
            const std::string kinds = Parse(out, tapName).kinds;
            if (std::count(kinds.begin(), kinds.end(), kind) != n) {
                return false;
            }
            const size_t at = kinds.rfind(kind);
            return std::count(kinds.begin() + static_cast<long>(at), kinds.end(), 'A') >= 5;
        };
    };

    const std::string tapBytes1 = "\x11\x22\x33";
    const std::string tapBytes2 = "\x44\x55\x66\x77";
    // Both ports are open once the first port's bytes show.
    ASSERT_TRUE(cli.WaitForOutput([&](const std::string& out) {
        return !Parse(out, tapName).bytesA.empty();
    })) << cli.out
        << cli.err;
    ASSERT_TRUE(tap->Write(tapBytes1));
    ASSERT_TRUE(cli.WaitForOutput(linesOfAAfter('B'))) << cli.out << cli.err;
    tap.reset(); // unplugged
    ASSERT_TRUE(cli.WaitForOutput(linesOfAAfter('d'))) << cli.out << cli.err;

    tap = std::make_unique<PtyPeer>();
    ASSERT_GE(tap->master, 0);
    fs::remove(tapName);
    fs::create_symlink(tap->path, tapName);
    ASSERT_TRUE(cli.WaitForOutput(linesOfAAfter('r'))) << cli.out << cli.err;
    ASSERT_TRUE(tap->Write(tapBytes2));
    ASSERT_TRUE(cli.WaitForOutput(linesOfAAfter('B', 2))) << cli.out << cli.err;

    writer.request_stop();
    writer.join();
    ASSERT_TRUE(cli.WaitForOutput([&](const std::string& out) {
        return Parse(out, tapName).bytesA.size() >= sentA.size();
    })) << Parse(cli.out, tapName).bytesA.size()
        << " of " << sentA.size() << " bytes shown\n"
        << cli.out << cli.err;
    cli.Signal(SIGINT);
    EXPECT_EQ(cli.Wait(), 130) << cli.err;

    const Shown shown = Parse(cli.out, tapName);
    EXPECT_EQ(BytesToHex(shown.bytesA, " "), BytesToHex(sentA, " "));
    EXPECT_EQ(BytesToHex(shown.bytesB, " "), BytesToHex(tapBytes1 + tapBytes2, " "));
    // Once each, in this order, with the first port's lines all through (after the note of
    // the bytes kept from before the open, when there were any).
    EXPECT_TRUE(std::regex_match(shown.kinds, std::regex("-?A*BA+dA+rA*BA+"))) << cli.out;
    EXPECT_NE(cli.err.find(tapName + " (tap) closed; RX " +
                           std::to_string(tapBytes1.size() + tapBytes2.size())),
              std::string::npos)
        << cli.err;
}

// A failure of the tapped port (here its reads fail with an error that is not a hang-up)
// is told on standard error under the tap's name, and the first port goes on.
TEST_F(CliTap, AFailureOfTheTapNamesTheTap) {
    RawPty first;
    RawPty tap;
    ASSERT_FALSE(first.Name().empty());
    ASSERT_FALSE(tap.Name().empty());
    const std::string failing = tap.Name();
    CliProcess cli({first.Name(), "--tap", tap.Name(), "--no-sent", "--keep-stale"}, [&failing] {
        setenv("LD_PRELOAD", READ_FAIL_LIBRARY, 1);
        setenv("KORVANE_FAIL_READS", failing.c_str(), 1);
        setenv("ASAN_OPTIONS", "verify_asan_link_order=0", 1);
    });
    first.Write("01 02");
    ASSERT_TRUE(cli.WaitForOutput([](const std::string& out) {
        return out.find("01 02") != std::string::npos;
    })) << cli.out
        << cli.err;
    tap.Write("11");
    const std::string said = "korvane-cli: Tap " + tap.Name() + ": Receiving failed: ";
    ASSERT_TRUE(cli.WaitForOutput([&](const std::string&) {
        return cli.err.find(said) != std::string::npos;
    })) << cli.err;
    first.Write("03 04");
    EXPECT_TRUE(cli.WaitForOutput([](const std::string& out) {
        return out.find("03 04") != std::string::npos;
    })) << cli.out
        << cli.err;
    cli.Signal(SIGINT);
    EXPECT_EQ(cli.Wait(), 130) << cli.err;
}

} // namespace
