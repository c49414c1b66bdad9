// korvane-cli when the port goes away and comes back: a device on a pseudo-terminal, a
// network server of the test's own, and ser2net, each stopped and started again. Every wait
// is for something the program shows; the bounds only keep a broken build from hanging.

#include "cli/CliFolderTest.h"
#include "cli/CliProcess.h"
#include "serial/LoopbackListener.h"
#include "serial/PtyPeer.h"
#include "serial/Ser2netServer.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr int HangGuardMs = 30000;
constexpr auto HangGuard = std::chrono::milliseconds(HangGuardMs);

size_t Count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++n;
    }
    return n;
}

// Output that holds `part` after the n-th (1-based) occurrence of `after`.
std::function<bool(const std::string&)>
Shows(const std::string& part, const std::string& after = std::string(), size_t n = 1) {
    return [=](const std::string& out) {
        size_t from = 0;
        for (size_t i = 0; i < n && !after.empty(); ++i) {
            from = out.find(after, from);
            if (from == std::string::npos) {
                return false;
            }
            from += after.size();
        }
        return out.find(part, from) != std::string::npos;
    };
}

// The far end of a tcp:// port: a server of the test's own on a loopback port that keeps
// its number when it starts again, as a device server switched off and on.
class TcpServer {
public:
    TcpServer() { Start(); }
    ~TcpServer() { Stop(); }
    TcpServer(const TcpServer&) = delete;
    TcpServer& operator=(const TcpServer&) = delete;

    bool Start() {
        m_listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        setsockopt(m_listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<uint16_t>(m_port));
        socklen_t size = sizeof address;
        auto* raw = reinterpret_cast<sockaddr*>(&address);
        if (bind(m_listener, raw, sizeof address) != 0 || listen(m_listener, 1) != 0 ||
            getsockname(m_listener, raw, &size) != 0) {
            Stop();
            return false;
        }
        m_port = ntohs(address.sin_port);
        return true;
    }
    // Gone at once: the client's connection and the listener.
    void Stop() {
        for (int* fd : {&m_client, &m_listener}) {
            if (*fd >= 0) {
                close(*fd);
                *fd = -1;
            }
        }
    }
    bool Accept() {
        pollfd p{m_listener, POLLIN, 0};
        if (poll(&p, 1, HangGuardMs) != 1) {
            return false;
        }
        m_client = accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
        return m_client >= 0;
    }
    bool Write(const std::string& bytes) const {
        return send(m_client, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(bytes.size());
    }
    std::string Read(size_t count) const {
        std::string got;
        while (got.size() < count) {
            pollfd p{m_client, POLLIN, 0};
            char buffer[256];
            if (poll(&p, 1, HangGuardMs) != 1) {
                break;
            }
            const ssize_t n = recv(m_client, buffer, sizeof buffer, 0);
            if (n <= 0) {
                break;
            }
            got.append(buffer, static_cast<size_t>(n));
        }
        return got;
    }
    std::string Address() const { return "tcp://127.0.0.1:" + std::to_string(m_port); }

private:
    int m_port = 0; // the system picks it at the first start
    int m_listener = -1;
    int m_client = -1;
};

class CliReconnect : public CliFolderTest {};

// The server goes and comes back on the same port: the program says so among the traffic,
// opens the port again and both directions work; without reconnect it ends at once, though
// its standard input is still open.
TEST_F(CliReconnect, NetworkServerThatRestartsIsReconnectedOrEndsTheProgram) {
    for (const bool reconnect : {true, false}) {
        SCOPED_TRACE(reconnect ? "--reconnect" : "--no-reconnect");
        TcpServer server;
        const std::string address = server.Address();
        // Kept: the server writes as soon as it has accepted, maybe before the open ends.
        std::vector<std::string> args = {address, "-t", "none", "--no-sent", "--keep-stale"};
        args.push_back(reconnect ? "--reconnect" : "--no-reconnect");
        CliProcess cli(args);
        ASSERT_TRUE(server.Accept());
        ASSERT_TRUE(server.Write("\x01\x02"));
        ASSERT_TRUE(cli.WaitForOutput(Shows("01 02"), HangGuard)) << cli.out << cli.err;

        server.Stop();
        if (!reconnect) {
            EXPECT_EQ(cli.Wait(HangGuard), 3) << cli.err;
            EXPECT_NE(cli.err.find(address + " disconnected "), std::string::npos) << cli.err;
            continue;
        }
        ASSERT_TRUE(cli.WaitForOutput(Shows("--- " + address + " disconnected "), HangGuard))
            << cli.out << cli.err;
        // A line typed while the port is away is refused, not kept for later.
        cli.Write("07 08\n");
        ASSERT_TRUE(cli.WaitForOutput(
            [&](const std::string&) {
                return cli.err.find("nothing is sent until it is open again") != std::string::npos;
            },
            HangGuard))
            << cli.err;
        ASSERT_TRUE(server.Start());
        ASSERT_TRUE(server.Accept());
        ASSERT_TRUE(cli.WaitForOutput(Shows("--- " + address + " reconnected "), HangGuard))
            << cli.out << cli.err;
        ASSERT_TRUE(server.Write("\x03\x04"));
        EXPECT_TRUE(cli.WaitForOutput(Shows("03 04", " reconnected "), HangGuard))
            << cli.out << cli.err;
        cli.Write("05 06\n");
        EXPECT_EQ(server.Read(2), "\x05\x06");
        cli.Signal(SIGINT);
        EXPECT_EQ(cli.Wait(HangGuard), 130) << cli.err;
    }
}

// A server that takes every connection and ends it at once is tried again later each time,
// and the grey lines say when.
TEST_F(CliReconnect, AServerThatDropsEveryConnectionIsTriedLessOften) {
    LoopbackListener server;
    ASSERT_TRUE(server.Listening());
    std::atomic<bool> done{false};
    std::thread dropper([&] {
        while (!done) {
            if (const int peer = server.Accept(20); peer >= 0) {
                shutdown(peer, SHUT_RDWR);
            }
        }
    });
    const std::string address = server.Address();
    CliProcess cli({address, "-t", "none", "--no-sent"});
    const bool waited = cli.WaitForOutput(
        Shows(", next try in 2 s", "--- " + address + " disconnected ", 3), HangGuard);
    done = true;
    dropper.join();
    ASSERT_TRUE(waited) << cli.out << cli.err;
    // The first drop is looked after at the usual pace, then each waits twice as long.
    EXPECT_TRUE(Shows(", next try in 1 s", "--- " + address + " disconnected ", 2)(cli.out))
        << cli.out;
    const size_t first = cli.out.find("--- " + address + " disconnected ");
    EXPECT_EQ(cli.out.find(", next try", first), cli.out.find(", next try in 1 s")) << cli.out;
    EXPECT_LT(cli.out.find(", next try in 1 s"), cli.out.find(", next try in 2 s"));
    cli.Signal(SIGINT);
    EXPECT_EQ(cli.Wait(HangGuard), 130) << cli.err;
}

// The open of a server that takes the connection and never answers waits up to the
// driver's limit; Ctrl+C stops it before that.
TEST_F(CliReconnect, CtrlCStopsAnOpenThatWaitsForASilentServer) {
    LoopbackListener server;
    ASSERT_TRUE(server.Listening());
    const std::string address = server.Address("rfc2217");
    CliProcess cli({address, "-t", "none"});
    ASSERT_GE(server.Accept(HangGuardMs), 0);
    cli.Signal(SIGINT);
    EXPECT_EQ(cli.Wait(HangGuard), 130) << cli.err;
    EXPECT_NE(
        cli.err.find("Connecting to 127.0.0.1:" + std::to_string(server.Port()) + " was stopped"),
        std::string::npos)
        << cli.err;
}

// A device on a pseudo-terminal ends and a new one registers under the same name; a script
// hears of each close and open once; while the program waits for the port again, Ctrl+C
// ends it as usual.
TEST_F(CliReconnect, DeviceThatComesBackIsOpenedAgainAndCtrlCEndsTheWait) {
    const std::string script = m_folder + "/events.lua";
    {
        std::ofstream out(script);
        out << "function on_open() log('port open') end\n"
               "function on_close() log('port closed') end\n";
    }
    const auto start = [] {
        auto device =
            std::make_unique<PortsimProcess>(std::vector<std::string>{"--name", "SIM0", "echo"});
        EXPECT_TRUE(device->Ready());
        return device;
    };
    auto device = start();
    CliProcess cli({"SIM0", "-t", "none", "--no-sent", "--script", script});
    cli.Write("11 22\n");
    ASSERT_TRUE(cli.WaitForOutput(Shows("11 22"), HangGuard)) << cli.out << cli.err;

    device->Stop();
    ASSERT_TRUE(cli.WaitForOutput(Shows("--- SIM0 disconnected "), HangGuard))
        << cli.out << cli.err;
    device = start();
    ASSERT_TRUE(cli.WaitForOutput(Shows("--- SIM0 reconnected "), HangGuard)) << cli.out << cli.err;
    cli.Write("33 44\n");
    EXPECT_TRUE(cli.WaitForOutput(Shows("33 44", " reconnected "), HangGuard))
        << cli.out << cli.err;

    device->Stop();
    ASSERT_TRUE(cli.WaitForOutput(
        [](const std::string& out) { return Count(out, " disconnected ") == 2; }, HangGuard))
        << cli.out << cli.err;
    cli.Signal(SIGINT);
    EXPECT_EQ(cli.Wait(HangGuard), 130) << cli.err;
    EXPECT_NE(cli.err.find("SIM0 closed"), std::string::npos) << cli.err;
    EXPECT_EQ(Count(cli.err, "port open"), 2u) << cli.err;
    EXPECT_EQ(Count(cli.err, "port closed"), 2u) << cli.err;
}

// Through a network serial server, raw and with the com-port option: the server is
// restarted and the program carries on with it.
TEST_F(CliReconnect, Ser2netThatRestartsIsReconnected) {
    if (!Ser2netServer::Installed()) {
        GTEST_SKIP() << "ser2net is not installed (scripts/install-deps.sh installs it): the "
                        "reconnect through a network serial server is not tested";
    }
    for (const bool telnet : {false, true}) {
        // A server and device each: a server still closing the device after the previous
        // client would turn the next one away. The test keeps the slave open too, so the
        // terminal does not hang up whenever the server closes it.
        PtyPeer device(true);
        ASSERT_GE(device.master, 0);
        termios raw{};
        tcgetattr(device.master, &raw);
        cfmakeraw(&raw);
        tcsetattr(device.master, TCSANOW, &raw);
        Ser2netServer server(device.path);
        ASSERT_TRUE(server.Running());
        const std::string address = telnet ? server.TelnetAddress() : server.RawAddress();
        SCOPED_TRACE(address);
        CliProcess cli({address, "-t", "none", "--no-sent"});
        // A line that reaches the device shows the connection is up.
        cli.Write("01 02\n");
        ASSERT_EQ(device.Read(2, HangGuardMs), "\x01\x02") << cli.out << cli.err;
        ASSERT_TRUE(device.Write("\x0A\x0B"));
        ASSERT_TRUE(cli.WaitForOutput(Shows("0A 0B"), HangGuard)) << cli.out << cli.err;

        server.Stop();
        ASSERT_TRUE(cli.WaitForOutput(Shows(" disconnected "), HangGuard)) << cli.out << cli.err;
        ASSERT_TRUE(server.Start());
        ASSERT_TRUE(cli.WaitForOutput(Shows(" reconnected "), HangGuard)) << cli.out << cli.err;
        cli.Write("03 04\n");
        EXPECT_EQ(device.Read(2, HangGuardMs), "\x03\x04") << cli.out << cli.err;
        ASSERT_TRUE(device.Write("\x0C\x0D"));
        EXPECT_TRUE(cli.WaitForOutput(Shows("0C 0D", " reconnected "), HangGuard))
            << cli.out << cli.err;
        cli.Signal(SIGINT);
        EXPECT_EQ(cli.Wait(HangGuard), 130) << cli.err;
    }
}

} // namespace
