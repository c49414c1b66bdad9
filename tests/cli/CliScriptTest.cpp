// korvane-cli --script end to end: the shipped examples against the simulated device and
// against this test playing the device's master on a pseudo-terminal.

#include "cli/CliFolderTest.h"
#include "cli/CliProcess.h"

#include "codec/HexCodec.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <pty.h>
#include <string>
#include <termios.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const std::string Examples = KORVANE_EXAMPLES_DIR;

class CliScript : public CliFolderTest {
protected:
    std::string Write(const std::string& name, const std::string& text) const {
        const std::string path = m_folder + "/" + name;
        std::ofstream(path) << text;
        return path;
    }
};

TEST_F(CliScript, TestSequencePassesAgainstTheDeviceAndFailsWithFourAgainstABrokenOne) {
    // The echo device sends the request back: a reply with no data and a CRC that is wrong.
    const struct {
        const char* mode;
        int exit;
        const char* said;
    } cases[] = {
        {"modbus", 0, "script modbus-test.lua passed"},
        {"echo", 4, "script modbus-test.lua failed: request 1: 0 data bytes instead of 4"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode);
        auto device = StartDevice(c.mode);
        CliProcess cli({"SIM0", "--script", Examples + "/modbus-test.lua", "--script-arg",
                        "count=2", "--time", "none"});
        EXPECT_EQ(cli.Wait(), c.exit) << cli.err;
        EXPECT_NE(cli.err.find(c.said), std::string::npos) << cli.err;
    }
}

TEST_F(CliScript, ScriptThatCannotRunEndsWithCodeTwoAndTheLineOfItsError) {
    auto device = StartDevice("echo");
    const struct {
        std::string path;
        const char* said;
    } cases[] = {
        {Write("broken.lua", "log('a')\nlocal x = = 1\n"), "script error: broken.lua:2:"},
        {m_folder + "/missing.lua", "script error: missing.lua: "},
    };
    for (const auto& c : cases) {
        CliProcess cli({"SIM0", "--script", c.path});
        EXPECT_EQ(cli.Wait(), 2) << cli.err;
        EXPECT_NE(cli.err.find(c.said), std::string::npos) << cli.err;
    }
}

TEST_F(CliScript, ErrorInAHandlerIsShownAndTheScriptKeepsAnswering) {
    auto device = StartDevice("echo");
    // The first echo raises an error; the second is answered, and its echo ends the run.
    const std::string script = Write("answer.lua", R"(
        local seen = 0
        function on_open() send_text('one') end
        function on_receive(b)
            seen = seen + 1
            if seen == 1 then send_text('two'); error('first record') end
            if b == 'two' then send_text('three') end
            if b == 'three' then pass() end
        end
    )");
    CliProcess cli({"SIM0", "--script", script, "--time", "none", "--ascii-receive"});
    EXPECT_EQ(cli.Wait(), 0) << cli.err;
    EXPECT_NE(cli.err.find("script error: answer.lua:6: first record"), std::string::npos)
        << cli.err;
    EXPECT_EQ(cli.out, "6F 6E 65 \none\n74 77 6F \ntwo\n74 68 72 65 65 \nthree\n");
}

TEST_F(CliScript, WordInALineIsAnswered) {
    auto device = StartDevice("echo");
    // The echo of "PONG" ends the run: the pattern table would need the whole record.
    CliProcess cli({"SIM0", "--script", Examples + "/reply-word.lua", "--script-arg", "word=PING",
                    "--ascii-send", "--ascii-receive", "--send", "say PING now\r", "--time", "none",
                    "--no-sent", "--count", "2"});
    EXPECT_EQ(cli.Wait(), 0) << cli.err;
    EXPECT_EQ(cli.out, "say PING now\r\nPONG\r\n\n") << cli.err;
}

// The test is the master; the slave example answers on the other side of a pseudo-terminal.
TEST_F(CliScript, SlaveExampleCountsItsRegisterAtEachRead) {
    int master = -1;
    int slave = -1;
    char name[256] = {};
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    termios raw{};
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);
    CliProcess cli({name, "--script", Examples + "/modbus-slave.lua", "--script-arg", "slave=7",
                    "--time", "none"});
    const std::string body("\x07\x03\x00\x00\x00\x01", 6);
    const uint16_t crc = ModbusCrc16(reinterpret_cast<const uint8_t*>(body.data()), body.size());
    const std::string request = body + static_cast<char>(crc & 0xFF) + static_cast<char>(crc >> 8);
    // Asks until the first answer (the port is open then), then once more.
    const auto ask = [&](int attempts) {
        for (int i = 0; i < attempts; ++i) {
            EXPECT_EQ(write(master, request.data(), request.size()),
                      static_cast<ssize_t>(request.size()));
            std::string got;
            pollfd p{master, POLLIN, 0};
            while (got.size() < 7 && poll(&p, 1, 500) == 1) {
                char buffer[64];
                const ssize_t n = read(master, buffer, sizeof buffer);
                if (n <= 0) {
                    break;
                }
                got.append(buffer, static_cast<size_t>(n));
            }
            if (!got.empty()) {
                return got;
            }
        }
        return std::string();
    };
    const std::string first = ask(40);
    const std::string second = ask(1);
    close(master);
    close(slave);
    ASSERT_EQ(first.size(), 7u) << BytesToHex(first, " ") << cli.err;
    ASSERT_EQ(second.size(), 7u) << BytesToHex(second, " ");
    for (const std::string& reply : {first, second}) {
        EXPECT_EQ(reply.substr(0, 3), std::string("\x07\x03\x02", 3));
        const uint16_t check =
            ModbusCrc16(reinterpret_cast<const uint8_t*>(reply.data()), reply.size() - 2);
        const std::string expected{static_cast<char>(check & 0xFF), static_cast<char>(check >> 8)};
        EXPECT_EQ(reply.substr(5), expected);
    }
    const auto value = [](const std::string& r) {
        return static_cast<uint8_t>(r[3]) * 256 + static_cast<uint8_t>(r[4]);
    };
    EXPECT_EQ(value(second), value(first) + 1);
}

} // namespace
