// The break key through a network serial server: korvane-cli's command key b on an
// rfc2217:// port makes ser2net put its own device's line in break and take it out again.
// ser2net runs with a small library of the test's (BreakTracePreload.cpp) that notes each
// break request it makes of the device. Every wait is for something the program or the
// server shows; the bounds only keep a broken build from hanging.

#include "cli/CliFolderTest.h"
#include "cli/CliProcess.h"
#include "platform/FileIO.h"
#include "serial/PtyPeer.h"
#include "serial/Ser2netServer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <termios.h>

namespace {

using namespace std::chrono_literals;

constexpr int HangGuardMs = 30000;

class CliBreak : public CliFolderTest {};

// What the server has noted so far (nothing before its first note).
std::string ReadAll(const std::string& path) {
    return std::filesystem::exists(path) ? ReadFileBytes(path) : std::string();
}

// Lets the program run (and its output collect) until `done` holds, or the guard runs out.
bool WaitUntil(CliProcess& cli, const std::function<bool()>& done) {
    for (int i = 0; i < HangGuardMs / 10 && !done(); ++i) {
        cli.WaitForOutput([](const std::string&) { return false; }, 10ms);
    }
    return done();
}

TEST_F(CliBreak, CommandKeyOnAnRfc2217PortPutsTheServersDeviceInBreak) {
    if (!Ser2netServer::Installed()) {
        GTEST_SKIP() << "ser2net is not installed (scripts/install-deps.sh installs it): the "
                        "break through a network serial server is not tested";
    }
    PtyPeer device(true);
    ASSERT_GE(device.master, 0);
    termios raw{};
    tcgetattr(device.master, &raw);
    cfmakeraw(&raw);
    tcsetattr(device.master, TCSANOW, &raw);

    // Only the server gets the tracing library: it is in the environment while it starts.
    const std::string trace = Path("breaks.txt");
    setenv("LD_PRELOAD", BREAK_TRACE_LIBRARY, 1);
    setenv("KORVANE_BREAK_TRACE", trace.c_str(), 1);
    auto server = std::make_unique<Ser2netServer>(device.path);
    unsetenv("LD_PRELOAD");
    unsetenv("KORVANE_BREAK_TRACE");
    ASSERT_TRUE(server->Running());

    CliProcess cli({server->TelnetAddress(), "-t", "none", "--no-sent", "--ascii-send"}, {}, true);
    ASSERT_TRUE(WaitUntil(cli, [&] { return (cli.TerminalModes() & ICANON) == 0; }));
    // A key that reaches the device shows the connection is up.
    cli.Write("k");
    ASSERT_EQ(device.Read(1, HangGuardMs), "k") << cli.out << cli.err;
    // Opening the device, the server may clear a break; it never sets one by itself.
    const std::string before = ReadAll(trace);
    EXPECT_EQ(before.find("set"), std::string::npos) << before;

    cli.Write("\x14"
              "b");
    ASSERT_TRUE(WaitUntil(cli, [&] { return cli.err.find("break sent") != std::string::npos; }))
        << cli.err;
    // The line is put in break, then taken out of it: the server's requests, in order.
    const auto noted = [&] { return ReadAll(trace).substr(before.size()); };
    ASSERT_TRUE(WaitUntil(cli, [&] {
        const std::string now = noted();
        const size_t set = now.find("set\n");
        return set != std::string::npos && now.find("clear\n", set) != std::string::npos;
    })) << noted();
    EXPECT_EQ(noted().rfind("set\n", 0), 0u) << noted();

    // The port carries on after the break.
    cli.Write("z");
    EXPECT_EQ(device.Read(1, HangGuardMs), "z") << cli.out << cli.err;
    cli.Write("\x14q");
    EXPECT_EQ(cli.Wait(std::chrono::milliseconds(HangGuardMs)), 0) << cli.err;
}

} // namespace
