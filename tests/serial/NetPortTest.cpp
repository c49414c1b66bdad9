#include "serial/ComDriverByName.h"
#include "serial/ComDriverSocket.h"
#include "serial/ComPort.h"
#include "serial/LoopbackListener.h"
#include "serial/ManualThreadClock.h"
#include "serial/OruScomm.h"
#include "serial/PortDiscovery.h"
#include "serial/PtyPeer.h"
#include "serial/RecordWait.h"
#include "serial/Ser2netServer.h"

#include <gtest/gtest.h>

#include <cstring>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <thread>

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

namespace {

std::string AllByteValues() {
    std::string bytes;
    for (int i = 0; i < 256; ++i) {
        bytes.push_back(static_cast<char>(i));
    }
    return bytes;
}

// Bytes that look like Telnet commands when they are not escaped.
const std::string TelnetLookalikes("\xFF\xFF\xFF\xFA\x2C\x07\xFF\xF0\xFF\xFB\x01\xFF", 12);

// The device as the serial connection configures it: a 100 ms read window.
void ConfigureLikeTheConnection(TComPort& port) {
    port.FlowControl().SetFlowControl(fcNone);
    port.FlowControl().SetControlDTR(dtrEnable);
    port.FlowControl().SetControlRTS(rtsEnable);
    port.Timeouts().SetReadInterval(100);
    port.Timeouts().SetReadTotalMultiplier(0);
    port.Timeouts().SetReadTotalConstant(100);
    port.Buffer().SetInputSize(1048576);
    port.Buffer().SetOutputSize(1048576);
}

// Reads until `count` bytes have come or five seconds have passed.
std::string ReadFromPort(TComPort& port, size_t count) {
    std::string got;
    const auto giveUp = SteadyClock::now() + 5s;
    char buffer[4096];
    while (got.size() < count && SteadyClock::now() < giveUp) {
        const int32_t n = port.ReadBytes(buffer, sizeof buffer);
        got.append(buffer, static_cast<size_t>(n));
    }
    return got;
}

TComDriverSocket& SocketOf(TComPort& port) {
    return dynamic_cast<TComDriverByName&>(port.Driver()).Socket();
}

class FixedClock : public Clock {
public:
    uint32_t Milliseconds() override { return 5000; }
    std::string TimeOfDay() override { return "12:00:00"; }
};

// Whether `work`, started on a thread of its own, ends while the clock stands still; a
// generous real-time bound only keeps a broken driver from hanging the test.
template <typename Result> bool EndsWithoutTime(std::future<Result>& work) {
    return work.wait_for(10s) == std::future_status::ready;
}

// One look for a server's return, as the window's timer makes it: the clock moves on only
// as far as the look may wait for the attempt it starts or looks at.
bool Look(TComDriverSocket& driver, ManualThreadClock& clock, const std::string& address) {
    const uint32_t until = clock.Now() + TComDriverSocket::ReturnWaitMs;
    auto look = std::async(std::launch::async, [&] { return driver.PortReturned(address); });
    while (look.wait_for(1ms) != std::future_status::ready) {
        if (clock.WaitUntilAwaited(until, 1, 1)) {
            clock.AdvanceTo(until);
            break;
        }
    }
    EXPECT_TRUE(EndsWithoutTime(look)) << "the look waits for the connection attempt";
    return look.get();
}

TEST(NetAddress, TheTwoSchemesAreParsedAndAnythingElseRefused) {
    struct Case {
        const char* text;
        bool ok;
        TNetPortKind kind;
        const char* host;
        uint16_t port;
    };
    const Case cases[] = {
        {"tcp://127.0.0.1:2000", true, TNetPortKind::Raw, "127.0.0.1", 2000},
        {"RFC2217://plc.example:4001/", true, TNetPortKind::Rfc2217, "plc.example", 4001},
        {"  rfc2217://[::1]:65535 ", true, TNetPortKind::Rfc2217, "::1", 65535},
        {"tcp://host", false, {}, "", 0},
        {"tcp://host:0", false, {}, "", 0},
        {"tcp://host:65536", false, {}, "", 0},
        {"tcp://host:12ab", false, {}, "", 0},
        {"tcp://:2000", false, {}, "", 0},
        {"tcp://::1:2000", false, {}, "", 0},
        {"tcp://user@host:2000", false, {}, "", 0},
        {"udp://host:2000", false, {}, "", 0},
        {"/dev/ttyUSB0", false, {}, "", 0},
    };
    for (const Case& c : cases) {
        TNetAddress a;
        ASSERT_EQ(ParseNetAddress(c.text, a), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(a.kind, c.kind) << c.text;
            EXPECT_EQ(a.host, c.host) << c.text;
            EXPECT_EQ(a.port, c.port) << c.text;
        }
    }
    // The scheme alone sends a name to the network driver, which then refuses a bad address.
    EXPECT_TRUE(IsNetworkPortName("tcp://host"));
    EXPECT_FALSE(IsNetworkPortName("ttyUSB0"));
}

TEST(TelnetDecoder, TheServerStreamIsTakenApartWhereverItIsSplit) {
    using namespace Telnet;
    // Data with an escaped 0xFF, a negotiation, a modem-state notification whose value is
    // 0xFF (escaped inside the sub-negotiation), a NOP, a baud-rate answer, more data.
    const std::string stream("A\xFF\xFF"
                             "B\xFF\xFD\x2C"
                             "\xFF\xFA\x2C\x6B\xFF\xFF\xFF\xF0"
                             "C\xFF\xF1"
                             "\xFF\xFA\x2C\x65\x00\x00\x4B\x00\xFF\xF0"
                             "D\x00",
                             30);
    for (size_t split = 0; split <= stream.size(); ++split) {
        TDecoder decoder;
        std::string data;
        std::vector<TDecoder::TNegotiation> negotiations;
        std::vector<TDecoder::TCommand> commands;
        const auto* bytes = reinterpret_cast<const uint8_t*>(stream.data());
        decoder.Feed(bytes, split, data, negotiations, commands);
        decoder.Feed(bytes + split, stream.size() - split, data, negotiations, commands);
        EXPECT_EQ(data, std::string("A\xFF"
                                    "BCD\x00",
                                    6))
            << split;
        ASSERT_EQ(negotiations.size(), 1u) << split;
        EXPECT_EQ(negotiations[0].verb, Do);
        EXPECT_EQ(negotiations[0].option, OptComPort);
        ASSERT_EQ(commands.size(), 2u) << split;
        EXPECT_EQ(commands[0].code, CpNotifyModemState + ServerOffset);
        EXPECT_EQ(commands[0].value, "\xFF");
        EXPECT_EQ(commands[1].code, CpSetBaudRate + ServerOffset);
        EXPECT_EQ(commands[1].value, std::string("\x00\x00\x4B\x00", 4));
    }
    EXPECT_EQ(ComPortCommand(CpSetBaudRate, std::string("\x00\x00\xFF\x00", 4)),
              std::string("\xFF\xFA\x2C\x01\x00\x00\xFF\xFF\x00\xFF\xF0", 11));
}

TEST(NetPortFiles, AVirtualPortFileNamesAnAddressAndIsListed) {
    const fs::path folder =
        fs::temp_directory_path() / ("korvane-netports-" + std::to_string(getpid()));
    fs::create_directories(folder);
    std::ofstream(folder / "PLC1") << "  rfc2217://10.1.2.3:4001  \n# the cabinet's server\n";
    std::ofstream(folder / "notes") << "not an address\n";
    std::ofstream(folder / "huge") << std::string(8192, ' ') << "tcp://10.1.2.3:1\n";
    fs::create_symlink("/dev/null", folder / "SIM0");

    TComDriverByName driver(std::make_unique<TComDriverSocket>(), folder.string());
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"PLC1", "rfc2217://10.1.2.3:4001"},
        {"plc1", "rfc2217://10.1.2.3:4001"},
        {"tcp://10.9.9.9:23", "tcp://10.9.9.9:23"},
        {"notes", ""},
        {"huge", ""},
        {"SIM0", ""},
        {"ttyUSB0", ""},
        {"../PLC1", ""},
    };
    for (const auto& [name, address] : cases) {
        EXPECT_EQ(driver.NetworkAddressOf(name), address) << name;
    }

    std::vector<std::string> listed;
    ListSerialPorts(listed, (folder / "no-sysfs").string(), folder.string());
    EXPECT_EQ(listed, (std::vector<std::string>{"PLC1", "SIM0"}));
    fs::remove_all(folder);
}

TEST(NetPort, NothingListeningIsRefusedClearlyAndAtOnce) {
    const int port = Ser2netServer::FreePort();
    ManualThreadClock clock;
    TComPort device(std::make_unique<TComDriverSocket>(clock));
    device.SetPort("tcp://127.0.0.1:" + std::to_string(port));
    // At once: the clock never moves.
    auto open = std::async(std::launch::async, [&] {
        try {
            device.Open();
            ADD_FAILURE() << "opened a port nobody listens on";
        } catch (const EComPort& e) {
            EXPECT_EQ(e.ErrorCode(), CE_OpenFailed);
            EXPECT_EQ(e.SystemError(), ECONNREFUSED);
        }
    });
    ASSERT_TRUE(EndsWithoutTime(open));
    EXPECT_FALSE(device.Connected());

    // Through the connection: the open-failure message, nothing left open.
    FixedClock fixed;
    TOruScomm connection(fixed, nullptr, "KorvaneNetPortTest" + std::to_string(getpid()));
    connection.Device->SetPort("rfc2217://127.0.0.1:" + std::to_string(port));
    try {
        connection.OpenPort();
        FAIL() << "opened a port nobody listens on";
    } catch (const ECom& e) {
        // The reason names the address and the system's word for it.
        EXPECT_EQ(e.Reason, "No connection to 127.0.0.1:" + std::to_string(port) +
                                " (system error " + std::to_string(ECONNREFUSED) + ": " +
                                std::strerror(ECONNREFUSED) + ")");
    }
    EXPECT_FALSE(connection.Device->Connected());
    TNamedLock::Remove("KorvaneNetPortTest" + std::to_string(getpid()));
}

TEST(NetPort, OpenFailureReasonsNameTheAddress) {
    const TComDriverSocket driver;
    const struct {
        const char* port;
        int error;
        const char* reason;
    } cases[] = {
        {"tcp://plc-7.example:4001", NetSocket::UnknownHostError(),
         "No host is known by the name plc-7.example"},
        {"rfc2217://10.0.0.9:2217", NetSocket::NotSupportedError(),
         "The server at 10.0.0.9:2217 does not offer serial-port control (RFC 2217); use "
         "tcp://10.0.0.9:2217 for a raw connection"},
        {"tcp://[::1]:4001", NetSocket::TimedOutError(), "No answer from [::1]:4001 within 3 s"},
        {"rfc2217://10.0.0.9:2217", NetSocket::ClosedAtOnceError(),
         "The server at 10.0.0.9:2217 closed the connection at once (is another client "
         "connected, or is its device busy?)"},
        {"tcp://nohost", NetSocket::InvalidError(),
         "\"tcp://nohost\" is not a network port: write tcp://HOST:PORT or rfc2217://HOST:PORT"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(driver.DescribeOpenFailure(c.port, c.error), c.reason) << c.port;
    }
}

// The limit covers connecting and, over Telnet, the server's answer to the hello: an
// address where connection attempts go unanswered, and a server that takes the connection
// and says nothing. Opened as the front ends open it, the open makes one attempt and fails
// exactly at the limit (a second attempt would wait on past it), saying so.
TEST(NetPort, AServerThatNeverAnswersTimesOutAtTheLimitInOneAttempt) {
    for (const bool telnet : {false, true}) {
        SCOPED_TRACE(telnet ? "rfc2217" : "tcp");
        LoopbackListener server;
        ASSERT_TRUE(server.Listening());
        if (!telnet) {
            server.Silence();
        }
        ManualThreadClock clock;
        const std::string lockName = "KorvaneNetPortTest" + std::to_string(getpid());
        TOruScomm connection(clock, std::make_unique<TComDriverSocket>(clock), lockName);
        connection.Device->SetPort(server.Address(telnet ? "rfc2217" : "tcp"));
        const uint32_t limit = clock.Now() + TComDriverSocket::ConnectLimitMs;
        auto open = std::async(std::launch::async, [&] {
            try {
                connection.OpenPort();
            } catch (const ECom& e) {
                return e.Reason;
            }
            return std::string("opened");
        });
        ASSERT_TRUE(clock.WaitUntilAwaited(limit));
        clock.AdvanceTo(limit - 1);
        ASSERT_TRUE(clock.WaitUntilAwaited(limit));
        EXPECT_EQ(open.wait_for(0s), std::future_status::timeout) << "gave up before the limit";
        clock.AdvanceTo(limit);
        ASSERT_TRUE(EndsWithoutTime(open)) << "a second attempt";
        EXPECT_EQ(open.get(),
                  "No answer from 127.0.0.1:" + std::to_string(server.Port()) + " within 3 s");
        EXPECT_FALSE(connection.Device->Connected());
        if (telnet) {
            // One connection, taken by the system for the listener that never accepted it.
            EXPECT_GE(server.Accept(0), 0);
            EXPECT_EQ(server.Accept(0), -1) << "a second attempt";
        }
        TNamedLock::Remove(lockName);
    }
}

// The window stops an open under way from its own thread: while connecting to an address
// that does not answer, and while waiting for a silent server's answer to the hello. The
// clock stands still, so only the stop can end the open; the next open is not stopped.
TEST(NetPort, AnOpenUnderWayEndsWhenStopped) {
    for (const bool telnet : {false, true}) {
        SCOPED_TRACE(telnet ? "waiting for the hello's answer" : "connecting");
        LoopbackListener server;
        ASSERT_TRUE(server.Listening());
        if (!telnet) {
            server.Silence();
        }
        ManualThreadClock clock;
        const std::string lockName = "KorvaneNetPortTest" + std::to_string(getpid());
        TOruScomm connection(clock, std::make_unique<TComDriverSocket>(clock), lockName);
        TComDriver& driver = connection.Device->Driver();
        connection.Device->SetPort(server.Address(telnet ? "rfc2217" : "tcp"));
        EXPECT_TRUE(driver.OpenMayWait(connection.Device->Port()));
        const auto open = [&] {
            return std::async(std::launch::async, [&] {
                try {
                    connection.OpenPort();
                } catch (const ECom& e) {
                    return e.Reason;
                }
                return std::string("opened");
            });
        };
        driver.SetOpenStopped(false);
        auto first = open();
        ASSERT_TRUE(clock.WaitUntilAwaited(clock.Now() + TComDriverSocket::ConnectLimitMs));
        driver.SetOpenStopped(true);
        ASSERT_TRUE(EndsWithoutTime(first));
        EXPECT_EQ(first.get(),
                  "Connecting to 127.0.0.1:" + std::to_string(server.Port()) + " was stopped");
        EXPECT_FALSE(connection.Device->Connected());

        // Cleared, the next open waits for its limit as ever (a limit of its own: the
        // clock moves on first).
        clock.Advance(1);
        driver.SetOpenStopped(false);
        auto second = open();
        const uint32_t limit = clock.Now() + TComDriverSocket::ConnectLimitMs;
        ASSERT_TRUE(clock.WaitUntilAwaited(limit));
        EXPECT_EQ(second.wait_for(0s), std::future_status::timeout);
        clock.AdvanceTo(limit);
        ASSERT_TRUE(EndsWithoutTime(second));
        EXPECT_EQ(second.get(),
                  "No answer from 127.0.0.1:" + std::to_string(server.Port()) + " within 3 s");
        TNamedLock::Remove(lockName);
    }
}

// A server that takes the connection and ends it before answering (ser2net with another
// client, or a device it cannot open) is told as such, at once.
TEST(NetPort, AServerThatClosesAtOnceIsToldAsBusy) {
    LoopbackListener server;
    ASSERT_TRUE(server.Listening());
    ManualThreadClock clock;
    const std::string lockName = "KorvaneNetPortTest" + std::to_string(getpid());
    TOruScomm connection(clock, std::make_unique<TComDriverSocket>(clock), lockName);
    connection.Device->SetPort(server.Address("rfc2217"));
    std::thread closer([&] {
        const int peer = server.Accept(10000);
        if (peer >= 0) {
            shutdown(peer, SHUT_RDWR);
        }
    });
    // The clock stands still: the server's close ends the open, not the limit.
    auto open = std::async(std::launch::async, [&] {
        try {
            connection.OpenPort();
        } catch (const ECom& e) {
            return e.Reason;
        }
        return std::string("opened");
    });
    const bool ended = EndsWithoutTime(open);
    closer.join();
    ASSERT_TRUE(ended);
    EXPECT_EQ(open.get(), "The server at 127.0.0.1:" + std::to_string(server.Port()) +
                              " closed the connection at once (is another client connected, or "
                              "is its device busy?)");
    EXPECT_FALSE(connection.Device->Connected());
    TNamedLock::Remove(lockName);
}

// After a drop the window asks every half second whether the server is back. The answer
// must come at once whatever the address does (the old way connected for up to 3 s on the
// window's thread), and the server must see a single connection, the one the open uses.
TEST(NetPort, AReturningServerIsFoundWithoutWaitingAndConnectedOnce) {
    LoopbackListener server;
    ASSERT_TRUE(server.Listening());
    const std::string address = server.Address();
    ManualThreadClock clock;
    TComDriverSocket driver(clock);
    auto lookUntilBack = [&] {
        // The system retries an unanswered connection after a second of real time.
        const auto giveUp = SteadyClock::now() + 10s;
        while (SteadyClock::now() < giveUp) {
            if (Look(driver, clock, address)) {
                return true;
            }
            std::this_thread::sleep_for(20ms);
        }
        return false;
    };
    EXPECT_FALSE(driver.PortReturned("tcp://nohost"));
    EXPECT_FALSE(driver.PortPresent("tcp://nohost"));
    EXPECT_TRUE(driver.PortPresent(address));

    // Each look ends after ReturnWaitMs while the attempt goes on for its 3 s.
    server.Silence();
    for (int i = 0; i < 5; ++i) {
        EXPECT_FALSE(Look(driver, clock, address));
    }

    // The attempt under way gets through at its next try, or the next attempt does.
    server.Answer();
    ASSERT_TRUE(lookUntilBack());
    const int peer = server.Accept(1000);
    ASSERT_GE(peer, 0);
    ASSERT_TRUE(driver.Open(address));
    EXPECT_EQ(server.Accept(0), -1) << "a second connection";
    ASSERT_EQ(write(peer, "ok", 2), 2);
    TComTimeoutValues timeouts; // no limit: the read waits for its two bytes
    ASSERT_TRUE(driver.SetCommTimeouts(timeouts));
    char buffer[8];
    uint32_t got = 0;
    ASSERT_TRUE(driver.ReadFile(buffer, 2, got));
    EXPECT_EQ(std::string(buffer, got), "ok");
    ASSERT_TRUE(driver.Close());

    // A connection no open takes is held until HoldLimitMs, then let go.
    ASSERT_TRUE(lookUntilBack());
    const int unused = server.Accept(1000);
    ASSERT_GE(unused, 0);
    // Counted from when the attempt connected: before the look that found it, or during.
    const uint32_t held = clock.Awaited();
    EXPECT_LE(held, clock.Now() + TComDriverSocket::HoldLimitMs);
    EXPECT_GE(held, clock.Now() + TComDriverSocket::HoldLimitMs - TComDriverSocket::ReturnWaitMs);
    clock.AdvanceTo(held - 1);
    ASSERT_TRUE(clock.WaitUntilAwaited(held));
    pollfd p{unused, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 0), 0) << "let go before the limit";
    clock.AdvanceTo(held);
    ASSERT_EQ(poll(&p, 1, 10000), 1);
    EXPECT_EQ(read(unused, buffer, 1), 0);

    // An attempt under way does not hold up the end of the driver.
    server.Silence();
    auto waiting = std::make_unique<TComDriverSocket>(clock);
    EXPECT_FALSE(Look(*waiting, clock, address));
    auto end = std::async(std::launch::async, [&] { waiting.reset(); });
    EXPECT_TRUE(EndsWithoutTime(end));
}

// Over Telnet the server is back only once it answers: one that takes connections and says
// nothing would otherwise hold up the open that follows, for its whole limit.
TEST(NetPort, AComPortServerIsBackOnceItAnswersTheHelloWhichIsSentOnce) {
    LoopbackListener server;
    ASSERT_TRUE(server.Listening());
    const std::string address = server.Address("rfc2217");
    ManualThreadClock clock;
    TComDriverSocket driver(clock);
    for (int i = 0; i < 5; ++i) {
        EXPECT_FALSE(Look(driver, clock, address));
    }
    const int peer = server.Accept(1000);
    ASSERT_GE(peer, 0);
    auto readExactly = [peer](size_t count) {
        std::string got;
        char c = 0;
        pollfd p{peer, POLLIN, 0};
        while (got.size() < count && poll(&p, 1, 2000) == 1 && read(peer, &c, 1) == 1) {
            got.push_back(c);
        }
        return got;
    };
    // WILL com-port, binary, suppress-go-ahead; DO binary, suppress-go-ahead.
    EXPECT_EQ(readExactly(15), std::string("\xFF\xFB\x2C\xFF\xFB\x00\xFF\xFB\x03"
                                           "\xFF\xFD\x00\xFF\xFD\x03",
                                           15));
    const std::string agreed("\xFF\xFD\x2C\xFF\xFD\x00\xFF\xFD\x03\xFF\xFB\x00\xFF\xFB\x03", 15);
    ASSERT_EQ(write(peer, agreed.data(), agreed.size()), 15);
    bool back = false;
    const auto giveUp = SteadyClock::now() + 10s;
    while (!back && SteadyClock::now() < giveUp) {
        back = Look(driver, clock, address);
    }
    ASSERT_TRUE(back);

    ASSERT_TRUE(driver.Open(address));
    // Straight on with the modem-state mask: the server saw the hello once.
    EXPECT_EQ(readExactly(4), "\xFF\xFA\x2C\x0B");
    EXPECT_EQ(server.Accept(0), -1) << "a second connection";
    EXPECT_TRUE(driver.Close());
}

struct Mode {
    const char* name;
    bool telnet;
};

class NetPortTest : public ::testing::TestWithParam<Mode> {
protected:
    void SetUp() override {
        if (!Ser2netServer::Installed()) {
            GTEST_SKIP() << "ser2net is not installed (scripts/install-deps.sh installs it)";
        }
        ASSERT_GE(pty.master, 0);
        termios raw{};
        tcgetattr(pty.master, &raw);
        cfmakeraw(&raw);
        tcsetattr(pty.master, TCSANOW, &raw);
        server = std::make_unique<Ser2netServer>(pty.path);
    }
    void TearDown() override { TNamedLock::Remove(lockName); }

    std::string Address() const {
        return GetParam().telnet ? server->TelnetAddress() : server->RawAddress();
    }
    std::unique_ptr<TComPort> OpenPort() {
        auto port = std::make_unique<TComPort>();
        ConfigureLikeTheConnection(*port);
        port->SetPort(Address());
        port->Open();
        return port;
    }
    termios SlaveSettings() const {
        termios tio{};
        tcgetattr(pty.slave, &tio);
        return tio;
    }
    speed_t SlaveSpeed() const {
        const termios tio = SlaveSettings();
        return cfgetospeed(&tio);
    }

    // The test keeps the slave open as well, so the terminal does not hang up whenever the
    // server closes it, and so its settings can be read.
    PtyPeer pty{true};
    std::unique_ptr<Ser2netServer> server;
    std::string lockName = "KorvaneNetPortTest" + std::to_string(getpid());
};

TEST_P(NetPortTest, EveryByteValuePassesBothWaysUnchanged) {
    auto port = OpenPort();
    const std::string bytes = AllByteValues() + TelnetLookalikes + AllByteValues();
    ASSERT_TRUE(pty.Write(bytes));
    EXPECT_EQ(ReadFromPort(*port, bytes.size()), bytes);
    EXPECT_EQ(port->WriteBytes(bytes), static_cast<int32_t>(bytes.size()));
    EXPECT_EQ(pty.Read(bytes.size()), bytes);
}

TEST_P(NetPortTest, BurstsBecomeOneRecordEach) {
    FixedClock clock;
    TOruScomm c(clock, nullptr, lockName);
    c.Device->SetPort(Address());
    c.OpenPort();
    TOruComThread thread(c);
    thread.Unpark();

    // The clock stands still, so the second record shows the read window as its gap.
    ASSERT_TRUE(pty.Write(std::string("\x01\x03\xFF\x00\x0A", 5)));
    // The record came once the read window closed, so the next burst is a read of its own.
    EXPECT_EQ(NextRecord(c), "R[12:00:00 ---]01 03 FF 00 0A");
    ASSERT_TRUE(pty.Write("\xFF\xFF"));
    EXPECT_EQ(NextRecord(c), "R[12:00:00 100]FF FF");
    c.SendData("01 FF 02");
    EXPECT_EQ(pty.Read(3), "\x01\xFF\x02");
    EXPECT_EQ(c.RxCount, 7);
    EXPECT_EQ(c.TxCount, 3);
    thread.Stop();
}

TEST_P(NetPortTest, LineSettingsGoToTheDeviceOnlyOverTelnet) {
    auto port = std::make_unique<TComPort>();
    ConfigureLikeTheConnection(*port);
    port->SetPort(Address());
    port->SetBaudRate(br19200);
    port->SetDataBits(dbSeven);
    port->Parity().SetBits(prEven);
    port->SetStopBits(sbTwoStopBits);
    port->Open();
    // Bytes that went through show the server has set the device up.
    ASSERT_TRUE(pty.Write("-"));
    ASSERT_EQ(ReadFromPort(*port, 1), "-");
    if (!GetParam().telnet) {
        // Accepted and not sent: the server keeps its own settings (9600, one stop bit).
        EXPECT_EQ(SlaveSpeed(), B9600);
        EXPECT_EQ(SlaveSettings().c_cflag & CSTOPB, 0u);
        EXPECT_FALSE(port->Driver().PortNotice().empty());
        return;
    }
    TComDriverSocket& socket = SocketOf(*port);
    EXPECT_TRUE(port->Driver().PortNotice().empty());
    // Speed and stop bits show on the terminal. A pseudo-terminal always carries eight data
    // bits without parity (the system drops those settings), so those two are seen in the
    // server's confirmation only.
    EXPECT_EQ(SlaveSpeed(), B19200);
    EXPECT_NE(SlaveSettings().c_cflag & CSTOPB, 0u);
    EXPECT_EQ(socket.Confirmed(Telnet::CpSetBaudRate), 19200);
    EXPECT_EQ(socket.Confirmed(Telnet::CpSetDataSize), 7);
    EXPECT_EQ(socket.Confirmed(Telnet::CpSetParity), 3);
    EXPECT_EQ(socket.Confirmed(Telnet::CpSetStopSize), 2);

    // A change while open is sent at once.
    port->SetBaudRate(br115200);
    port->SetStopBits(sbOneStopBit);
    port->Parity().SetBits(prMark);
    EXPECT_EQ(SlaveSpeed(), B115200);
    EXPECT_EQ(SlaveSettings().c_cflag & CSTOPB, 0u);
    EXPECT_EQ(socket.Confirmed(Telnet::CpSetParity), 4);

    // DTR and RTS are sent too; a pseudo-terminal has no modem lines, so the server can
    // neither set them nor confirm them, and the port goes on working.
    port->FlowControl().SetControlDTR(dtrDisable);
    port->FlowControl().SetControlRTS(rtsDisable);
    port->FlowControl().SetControlDTR(dtrEnable);
    ASSERT_TRUE(pty.Write("ok"));
    EXPECT_EQ(ReadFromPort(*port, 2), "ok");

    // Purge asks the server to empty its buffers; it confirms.
    ASSERT_TRUE(port->Driver().PurgeComm(ComPurgeRxClear | ComPurgeTxClear));
    const auto giveUp = SteadyClock::now() + 3s;
    while (socket.Confirmed(Telnet::CpPurgeData) < 0 && SteadyClock::now() < giveUp) {
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_EQ(socket.Confirmed(Telnet::CpPurgeData), 3);
}

TEST_P(NetPortTest, ModemLinesAreOffWhereTheServerHasNone) {
    // The lamps follow the server's modem-state notifications; ser2net on a pseudo-terminal
    // (no modem lines) reports none, so every line reads off and the connection's lamps stay
    // dark. How a notification is read is shown by the decoder test above.
    FixedClock clock;
    TOruScomm c(clock, nullptr, lockName);
    c.Device->SetPort(Address());
    c.OpenPort();
    TOruComThread thread(c);
    thread.Unpark();
    ASSERT_TRUE(pty.Write("x"));
    EXPECT_EQ(NextRecord(c), "R[12:00:00 ---]78");
    EXPECT_EQ(c.CtsOn + c.DsrOn + c.RlsdOn, 0);
    const TComModemLines lines = c.Device->ReadModemLines();
    EXPECT_EQ(lines, TComModemLines{});
    thread.Stop();
}

TEST_P(NetPortTest, ServerStoppedMidStreamIsAHangUp) {
    auto port = OpenPort();
    std::atomic<bool> writing{true};
    std::string stream;
    for (int i = 0; i < 4096; ++i) {
        stream.push_back(static_cast<char>(i * 7));
    }
    std::thread peer([&] {
        while (pty.WriteWhile(stream, writing)) {
            std::this_thread::sleep_for(5ms);
        }
    });
    const std::string before = ReadFromPort(*port, 8192);
    ASSERT_EQ(before.size(), 8192u);
    server->Stop();

    // What came before the drop is delivered whole and in order, then the port fails like
    // a device that was unplugged.
    std::string after;
    int error = 0;
    const auto giveUp = SteadyClock::now() + 5s;
    while (error == 0 && SteadyClock::now() < giveUp) {
        try {
            TComEvents events{evRxChar};
            port->WaitLineEvents(events, nullptr, 1000);
            char buffer[65536];
            after.append(buffer, static_cast<size_t>(port->ReadBytes(buffer, sizeof buffer)));
        } catch (const EComPort& e) {
            error = e.SystemError();
        }
    }
    writing = false;
    peer.join();
    EXPECT_EQ(error, EIO);
    const std::string received = before + after;
    for (size_t i = 0; i < received.size(); ++i) {
        ASSERT_EQ(received[i], stream[i % stream.size()]) << "byte " << i;
    }
    uint32_t sent = 0;
    EXPECT_FALSE(port->Driver().WriteFile("x", 1, sent));
    EXPECT_NO_THROW(port->Close());
}

INSTANTIATE_TEST_SUITE_P(Modes, NetPortTest,
                         ::testing::Values(Mode{"Raw", false}, Mode{"Rfc2217", true}),
                         [](const auto& p) { return std::string(p.param.name); });

} // namespace
