// The port device with the POSIX driver over real pseudo-terminals: the test holds the
// master side and plays the other end of the line.

#include "serial/ComDriverPosix.h"
#include "platform/Platform.h"
#include "serial/ComDriverTermios2.h"
#include "serial/ComPort.h"
#include "serial/PtyPeer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <future>
#include <sys/file.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// The configuration the serial connection gives its device.
void ConfigureLikeConnection(TComPort& port, const std::string& name) {
    port.SetPort(name);
    port.FlowControl().SetFlowControl(fcNone);
    port.FlowControl().SetControlDTR(dtrEnable);
    port.FlowControl().SetControlRTS(rtsEnable);
    port.Timeouts().SetReadInterval(100);
    port.Timeouts().SetReadTotalMultiplier(0);
    port.Timeouts().SetReadTotalConstant(100);
    port.Timeouts().SetWriteTotalMultiplier(100);
    port.Timeouts().SetWriteTotalConstant(1000);
    port.Buffer().SetInputSize(1048576);
    port.Buffer().SetOutputSize(1048576);
    port.SetEvents(TComEvents());
}

int32_t OpenError(TComPort& port) {
    try {
        port.OpenDevice();
    } catch (const EComPort& e) {
        EXPECT_EQ(e.ErrorCode(), CE_OpenFailed);
        EXPECT_FALSE(port.Connected());
        return e.SystemError();
    }
    ADD_FAILURE() << "open of " << port.Port() << " succeeded";
    return 0;
}

// True once thread `tid` sleeps in the kernel (inside a driver call's poll).
void AwaitSleeping(pid_t tid) {
    const std::string path = "/proc/self/task/" + std::to_string(tid) + "/stat";
    for (int i = 0; i < 5000; ++i) {
        std::ifstream stat(path);
        std::string line;
        std::getline(stat, line);
        const auto close = line.rfind(')');
        if (close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'S') {
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

class PtyPort : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_GE(pty.master, 0);
        path = pty.path;
        descriptors = CountOpenDescriptors();
    }
    void TearDown() override {
        port.reset();
        EXPECT_EQ(CountOpenDescriptors(), descriptors - (pty.master < 0 ? 1 : 0))
            << "descriptors leaked";
    }
    TComPort& Port() {
        if (!port) {
            port = std::make_unique<TComPort>();
            ConfigureLikeConnection(*port, path);
        }
        return *port;
    }
    void WriteMaster(const std::string& bytes) { ASSERT_TRUE(pty.Write(bytes)); }
    std::string ReadMaster(size_t count) { return pty.Read(count, 5000); }

    PtyPeer pty{true};
    std::string path;
    int descriptors = 0;
    std::unique_ptr<TComPort> port;
};

std::string AllByteValues() {
    std::string bytes;
    for (int i = 0; i < 256; ++i) {
        bytes.push_back(static_cast<char>(i));
    }
    return bytes;
}

} // namespace

TEST_F(PtyPort, MissingOrHeldPortFailsWithCodeOne) {
    TComPort missing;
    missing.SetPort("/dev/korvane-no-such-port");
    EXPECT_EQ(OpenError(missing), ENOENT);
    missing.SetPort("KorvaneNoSuchPort");
    EXPECT_EQ(OpenError(missing), ENOENT);
    missing.SetPort("/proc/self/stat"); // not a terminal
    EXPECT_EQ(OpenError(missing), ENOTTY);

    Port().OpenDevice();
    TComPort second;
    second.SetPort(path);
    const int32_t held = OpenError(second);
    EXPECT_TRUE(held == EBUSY || held == EWOULDBLOCK) << held;
    EXPECT_EQ(Port().WriteBytes("ok"), 2); // the holder is undisturbed
    EXPECT_EQ(ReadMaster(2), "ok");
    Port().CloseDevice();
    second.OpenDevice(); // lock and exclusive flag are gone with the close
    second.CloseDevice();

    // Another program holding the port.
    int ready[2];
    int release[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(release), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
        const char ok = (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0) ? 'y' : 'n';
        [[maybe_unused]] ssize_t w = write(ready[1], &ok, 1);
        char c;
        [[maybe_unused]] ssize_t r = read(release[0], &c, 1);
        _exit(0);
    }
    char ok = 0;
    ASSERT_EQ(read(ready[0], &ok, 1), 1);
    ASSERT_EQ(ok, 'y');
    EXPECT_EQ(OpenError(second), EWOULDBLOCK);
    ASSERT_EQ(write(release[1], "x", 1), 1);
    int status = 0;
    waitpid(child, &status, 0);
    second.OpenDevice();
    second.CloseDevice();
    for (int fd : {ready[0], ready[1], release[0], release[1]}) {
        close(fd);
    }
}

TEST_F(PtyPort, EveryByteValuePassesBothWays) {
    std::vector<std::string> lines;
    Port().OnCTSChange = [&lines](TCustomComPort&, bool on) {
        lines.push_back(on ? "CTS on" : "CTS off");
    };
    Port().OpenDevice();
    // A pseudo-terminal has no modem lines: all off, and no error.
    EXPECT_EQ(lines, std::vector<std::string>{"CTS off"});
    EXPECT_EQ(Port().ReadModemLines(), TComModemLines{});

    const std::string bytes = AllByteValues();
    EXPECT_EQ(Port().WriteBytes(bytes), 256);
    EXPECT_EQ(ReadMaster(256), bytes);

    WriteMaster(bytes);
    std::vector<char> buffer(1048576);
    const int32_t n = Port().ReadBytes(buffer.data(), static_cast<int32_t>(buffer.size()));
    ASSERT_EQ(n, 256);
    EXPECT_EQ(std::string(buffer.data(), 256), bytes);
    EXPECT_EQ(Port().InputQueueCount(), 0);
    Port().CloseDevice();
    EXPECT_EQ(lines, (std::vector<std::string>{"CTS off", "CTS off"}));
}

TEST_F(PtyPort, OneReadTakesAWholeBurstLargerThanTheKernelHolds) {
    Port().OpenDevice();
    std::string burst(65536, '\0');
    for (size_t i = 0; i < burst.size(); ++i) {
        burst[i] = static_cast<char>(i * 7 + i / 256);
    }
    // The writer blocks once the terminal is full; only a reader that keeps draining
    // during its window lets the whole burst through in one read.
    std::thread writer([&] {
        const int fd = fcntl(pty.master, F_GETFL);
        fcntl(pty.master, F_SETFL, fd & ~O_NONBLOCK);
        pty.Write(burst);
    });
    TComEvents events{evRxChar};
    Port().WaitLineEvents(events);
    EXPECT_EQ(events, TComEvents{evRxChar});
    std::vector<char> buffer(1048576);
    const int32_t n = Port().ReadBytes(buffer.data(), static_cast<int32_t>(buffer.size()));
    writer.join();
    ASSERT_EQ(n, static_cast<int32_t>(burst.size()));
    EXPECT_EQ(std::string(buffer.data(), burst.size()), burst);

    // A window with nothing in it ends empty.
    EXPECT_EQ(Port().ReadBytes(buffer.data(), static_cast<int32_t>(buffer.size())), 0);
    // A read for fewer bytes than are waiting ends as soon as it has them.
    WriteMaster("0123456789");
    char small[4];
    events = TComEvents{evRxChar};
    Port().WaitLineEvents(events);
    EXPECT_EQ(Port().ReadBytes(small, 4), 4);
    EXPECT_EQ(std::string(small, 4), "0123");
}

TEST_F(PtyPort, ReturnAtOnceTimeoutsGiveWhatIsThere) {
    Port().Timeouts().SetReadInterval(-1);
    Port().Timeouts().SetReadTotalConstant(0);
    Port().OpenDevice();
    char buffer[64];
    EXPECT_EQ(Port().ReadBytes(buffer, sizeof buffer), 0);
    WriteMaster("abc");
    TComEvents events{evRxChar};
    Port().WaitLineEvents(events, nullptr, 5000);
    ASSERT_EQ(events, TComEvents{evRxChar});
    EXPECT_EQ(Port().InputQueueCount(), 3);
    EXPECT_EQ(Port().ReadBytes(buffer, sizeof buffer), 3);
    EXPECT_EQ(std::string(buffer, 3), "abc");
}

TEST_F(PtyPort, DiscardNullDropsZeroBytes) {
    Port().SetDiscardNull(true);
    Port().OpenDevice();
    WriteMaster(std::string("A\0B\0\0C", 6));
    TComEvents events{evRxChar};
    Port().WaitLineEvents(events);
    char buffer[16];
    EXPECT_EQ(Port().ReadBytes(buffer, sizeof buffer), 3);
    EXPECT_EQ(std::string(buffer, 3), "ABC");
}

TEST_F(PtyPort, StopEventOrTimeoutEndAWaitWithNoEvents) {
    Port().OpenDevice();
    TComEvents events{evRxChar};
    Port().WaitLineEvents(events, nullptr, 0);
    EXPECT_TRUE(events.Empty());

    // Line-change events on a terminal without modem lines never come.
    events = TComEvents{evCTS, evDSR, evRLSD};
    Port().WaitLineEvents(events, nullptr, 30);
    EXPECT_TRUE(events.Empty());

    TComStopEvent stop;
    std::atomic<pid_t> tid{0};
    auto waiter = std::async(std::launch::async, [&] {
        tid = static_cast<pid_t>(syscall(SYS_gettid));
        TComEvents e{evRxChar};
        Port().WaitLineEvents(e, &stop, -1);
        return e;
    });
    while (tid == 0) {
        std::this_thread::yield();
    }
    AwaitSleeping(tid);
    stop.Set();
    ASSERT_EQ(waiter.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_TRUE(waiter.get().Empty());
    EXPECT_TRUE(stop.IsSet());
    stop.Reset();
    EXPECT_FALSE(stop.IsSet());
}

TEST_F(PtyPort, CloseFromAnotherThreadEndsPendingWaitAndRead) {
    // Reads with no time-outs block until their count arrives.
    Port().Timeouts().SetReadInterval(0);
    Port().Timeouts().SetReadTotalConstant(0);
    for (int round = 0; round < 10; ++round) {
        SCOPED_TRACE(round);
        const bool read = round % 2 == 1;
        Port().OpenDevice();
        std::atomic<pid_t> tid{0};
        auto pending = std::async(std::launch::async, [&] {
            tid = static_cast<pid_t>(syscall(SYS_gettid));
            try {
                if (read) {
                    char buffer[16];
                    Port().ReadBytes(buffer, sizeof buffer);
                } else {
                    TComEvents events{evRxChar, evCTS, evDSR, evRLSD};
                    Port().WaitLineEvents(events);
                }
            } catch (const EComPort& e) {
                return e.ErrorCode();
            }
            return 0;
        });
        while (tid == 0) {
            std::this_thread::yield();
        }
        AwaitSleeping(tid);
        Port().CloseDevice();
        ASSERT_EQ(pending.wait_for(std::chrono::seconds(10)), std::future_status::ready);
        EXPECT_EQ(pending.get(), read ? CE_ReadFailed : CE_WaitFailed);
        EXPECT_FALSE(Port().Connected());
    }
}

TEST_F(PtyPort, LineSettingsReachTheTerminal) {
    struct Case {
        TDataBits dataBits;
        TParityBits parity;
        TStopBits stopBits;
        tcflag_t size;
        tcflag_t parityFlags;
        bool twoStopBits;
    };
    const Case cases[] = {
        {dbEight, prNone, sbOneStopBit, CS8, 0, false},
        {dbSeven, prEven, sbTwoStopBits, CS7, PARENB, true},
        {dbSix, prOdd, sbOne5StopBits, CS6, PARENB | PARODD, true},
        {dbFive, prMark, sbOneStopBit, CS5, PARENB | PARODD | CMSPAR, false},
        {dbEight, prSpace, sbOneStopBit, CS8, PARENB | CMSPAR, false},
    };
    // A pseudo-terminal keeps no character format, so the mapping itself is checked here
    // and the terminal only has to accept it.
    Port().OpenDevice();
    for (const Case& c : cases) {
        SCOPED_TRACE(ParityToText(c.parity));
        Port().SetDataBits(c.dataBits);
        Port().Parity().SetBits(c.parity);
        Port().SetStopBits(c.stopBits);
        termios tio{};
        uint32_t customRate = 1;
        ASSERT_TRUE(DcbToTermios(Port().BuildDcb(), tio, customRate));
        EXPECT_EQ(customRate, 0u);
        EXPECT_EQ(tio.c_cflag & CSIZE, c.size);
        EXPECT_EQ(tio.c_cflag & (PARENB | PARODD | CMSPAR), c.parityFlags);
        EXPECT_EQ((tio.c_cflag & CSTOPB) != 0, c.twoStopBits);
        EXPECT_EQ(tio.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
        EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u);
        EXPECT_EQ(tio.c_iflag & (INPCK | IXON | IXOFF | ICRNL), 0u);
        EXPECT_EQ(tio.c_cc[VMIN], 0);
        EXPECT_EQ(tio.c_cc[VTIME], 0);
    }
    termios bad{};
    uint32_t badRate = 0;
    TComDcb dcb = Port().BuildDcb();
    dcb.ByteSize = 9;
    EXPECT_FALSE(DcbToTermios(dcb, bad, badRate));
    dcb = Port().BuildDcb();
    dcb.Flags |= DcbFlagParity;
    ASSERT_TRUE(DcbToTermios(dcb, bad, badRate));
    EXPECT_NE(bad.c_iflag & INPCK, 0u);

    Port().SetBaudRate(br115200);
    termios tio{};
    ASSERT_EQ(tcgetattr(pty.slave, &tio), 0);
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B115200));
    for (auto [rate, custom] : {std::pair{br14400, 9600}, std::pair{brCustom, 31250}}) {
        Port().SetCustomBaudRate(custom);
        Port().SetBaudRate(rate);
        uint32_t out = 0;
        uint32_t in = 0;
        ASSERT_EQ(GetTermios2Speed(pty.slave, out, in), 0);
        EXPECT_EQ(out, rate == brCustom ? 31250u : 14400u);
        EXPECT_EQ(in, out);
    }

    Port().FlowControl().SetFlowControl(fcSoftware);
    ASSERT_EQ(tcgetattr(pty.slave, &tio), 0);
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF), static_cast<tcflag_t>(IXON | IXOFF));
    EXPECT_EQ(tio.c_cflag & CRTSCTS, 0u);
    Port().FlowControl().SetFlowControl(fcHardware);
    ASSERT_EQ(tcgetattr(pty.slave, &tio), 0);
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF), 0u);
    EXPECT_NE(tio.c_cflag & CRTSCTS, 0u);
}

TEST_F(PtyPort, FailedConfigurationLeavesThePortClosedAndFree) {
    Port().SetBaudRate(brCustom);
    Port().SetCustomBaudRate(0);
    try {
        Port().OpenDevice();
        ADD_FAILURE() << "no exception";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.ErrorCode(), CE_SetStateFailed);
        EXPECT_EQ(e.SystemError(), EINVAL);
    }
    EXPECT_FALSE(Port().Connected());
    TComPort other;
    other.SetPort(path);
    other.OpenDevice();
    other.CloseDevice();
}

TEST_F(PtyPort, PortNamesResolveToDevicesAndRegisteredVirtualPorts) {
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("korvane-ports-" + std::to_string(getpid()));
    std::filesystem::create_directories(folder);
    std::filesystem::create_symlink(path, folder / "SIM0");

    TComDriverPosix driver(folder.string());
    const std::string registered = (folder / "SIM0").string();
    const std::pair<std::string, std::string> names[] = {
        {"SIM0", registered},         {"sim0", registered},
        {"/dev/ttyS0", "/dev/ttyS0"}, {"./relative/port", "./relative/port"},
        {"null", "/dev/null"},        {"KorvaneMissing", "/dev/KorvaneMissing"},
    };
    for (const auto& [name, expected] : names) {
        EXPECT_EQ(driver.ResolvePath(name), expected) << name;
    }
    EXPECT_EQ(TComDriverPosix::DefaultPortsFolder(), LocalAppDataPath() + "/Dolvy/Korvane/ports");

    TComPort virtualPort(std::make_unique<TComDriverPosix>(folder.string()));
    ConfigureLikeConnection(virtualPort, "SIM0");
    virtualPort.OpenDevice();
    EXPECT_EQ(virtualPort.WriteBytes("via link"), 8);
    EXPECT_EQ(ReadMaster(8), "via link");
    virtualPort.CloseDevice();
    std::filesystem::remove_all(folder);
}

TEST_F(PtyPort, PurgeAbortsPendingTransfersAndANewMaskEndsAWait) {
    TComDriverPosix driver;
    ASSERT_TRUE(driver.Open(path));
    ASSERT_TRUE(driver.SetCommTimeouts(TComTimeoutValues{})); // reads wait for their count
    std::atomic<pid_t> tid{0};
    auto pendingRead = std::async(std::launch::async, [&] {
        tid = static_cast<pid_t>(syscall(SYS_gettid));
        char buffer[8];
        uint32_t n = 0;
        const bool ok = driver.ReadFile(buffer, sizeof buffer, n);
        return ok ? 0 : driver.LastError();
    });
    while (tid == 0) {
        std::this_thread::yield();
    }
    AwaitSleeping(tid);
    ASSERT_TRUE(driver.PurgeComm(ComPurgeTxAbort | ComPurgeRxAbort));
    ASSERT_EQ(pendingRead.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(pendingRead.get(), ECANCELED);

    ASSERT_TRUE(driver.SetCommMask(ComEvRxChar));
    tid = 0;
    auto pendingWait = std::async(std::launch::async, [&] {
        tid = static_cast<pid_t>(syscall(SYS_gettid));
        uint32_t events = 0xFFFF;
        const bool ok = driver.WaitCommEvent(events, nullptr, -1);
        return ok ? static_cast<int>(events) : -1;
    });
    while (tid == 0) {
        std::this_thread::yield();
    }
    AwaitSleeping(tid);
    ASSERT_TRUE(driver.SetCommMask(0));
    ASSERT_EQ(pendingWait.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(pendingWait.get(), 0);

    // The port stays usable after both.
    uint32_t written = 0;
    ASSERT_TRUE(driver.WriteFile("after", 5, written));
    EXPECT_EQ(written, 5u);
    EXPECT_EQ(ReadMaster(5), "after");
    EXPECT_TRUE(driver.Close());
    EXPECT_FALSE(driver.Close());
    EXPECT_EQ(driver.LastError(), EBADF);
}

TEST_F(PtyPort, WriteToALineThatTakesNothingEndsWithWhatWasHandedOver) {
    Port().Timeouts().SetWriteTotalMultiplier(0);
    Port().Timeouts().SetWriteTotalConstant(20);
    Port().OpenDevice();
    // Nobody reads the master side: the terminal fills up and the write times out.
    const std::string big(1 << 20, 'x');
    const int32_t n = Port().WriteBytes(big);
    EXPECT_GT(n, 0);
    EXPECT_LT(n, static_cast<int32_t>(big.size()));
}

TEST_F(PtyPort, PortWhoseOtherEndVanishedFailsTransfersAndStillCloses) {
    Port().OpenDevice();
    pty.CloseMaster();
    TComEvents events{evRxChar};
    try {
        Port().WaitLineEvents(events, nullptr, 5000);
        ADD_FAILURE() << "the wait succeeded";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.ErrorCode(), CE_WaitFailed);
    }
    char buffer[8];
    try {
        Port().ReadBytes(buffer, sizeof buffer);
        ADD_FAILURE() << "the read succeeded";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.ErrorCode(), CE_ReadFailed);
        EXPECT_EQ(e.SystemError(), EIO);
    }
    Port().CloseDevice();
    EXPECT_FALSE(Port().Connected());
}

namespace {

// System calls that fail the way a busy or failing device makes them fail, in a given order:
// each call takes the next step of its script (0 passes the call on to the system).
std::atomic<int> g_readStep{0};
std::atomic<int> g_pollStep{0};
constexpr int kShortRead = -1000; // passes on a read of at most three bytes

int Scripted(const std::vector<int>& script, std::atomic<int>& step) {
    const int i = step++;
    return i < static_cast<int>(script.size()) ? script[static_cast<size_t>(i)] : 0;
}

std::vector<int> g_readScript;
std::vector<int> g_pollScript;

ssize_t ScriptedRead(int fd, void* buffer, size_t count) {
    const int action = Scripted(g_readScript, g_readStep);
    if (action == kShortRead) {
        return ::read(fd, buffer, std::min<size_t>(count, 3));
    }
    if (action != 0) {
        errno = action;
        return -1;
    }
    return ::read(fd, buffer, count);
}

int ScriptedPoll(pollfd* fds, nfds_t count, int timeoutMs) {
    const int action = Scripted(g_pollScript, g_pollStep);
    if (action != 0) {
        errno = action;
        return -1;
    }
    return ::poll(fds, count, timeoutMs);
}

// Polls under way, and whether the port's descriptor was closed while one was.
std::atomic<int> g_polling{0};
std::atomic<bool> g_closedWhilePolling{false};

int CountedPoll(pollfd* fds, nfds_t count, int timeoutMs) {
    ++g_polling;
    const int r = ::poll(fds, count, timeoutMs);
    --g_polling;
    return r;
}

int WatchedClose(int fd) {
    if (g_polling.load() != 0) {
        g_closedWhilePolling = true;
    }
    return ::close(fd);
}

class PosixCallFaults : public PtyPort {
protected:
    void TearDown() override {
        PosixPortCalls().Restore();
        PtyPort::TearDown();
    }
};

} // namespace

// An interrupted call is made again; a read that fails half-way delivers what it had taken and
// the failure shows at the next read.
TEST_F(PosixCallFaults, InterruptedCallsAreRepeatedAndAFailingReadKeepsItsBytes) {
    struct Case {
        const char* name;
        std::vector<int> read;
        std::vector<int> poll;
        std::string first; // what the first read gives
        int32_t nextError; // how the next read ends (0: it gives the rest)
    };
    const Case cases[] = {
        {"read interrupted", {EINTR}, {}, "hello", 0},
        {"poll interrupted", {EAGAIN}, {EINTR}, "hello", 0},
        {"EIO half-way", {kShortRead, EIO, EIO}, {}, "hel", EIO},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TComDriverPosix driver(std::string{});
        ASSERT_TRUE(driver.Open(path));
        TComDcb raw;
        raw.BaudRate = 9600;
        raw.ByteSize = 8;
        ASSERT_TRUE(driver.SetCommState(raw));
        TComTimeoutValues t;
        t.ReadTotalTimeoutConstant = 60000; // the count ends each read
        ASSERT_TRUE(driver.SetCommTimeouts(t));
        g_readScript = c.read;
        g_pollScript = c.poll;
        g_readStep = 0;
        g_pollStep = 0;
        PosixPortCalls().read = &ScriptedRead;
        PosixPortCalls().poll = &ScriptedPoll;
        WriteMaster("hello");
        pollfd arrived{pty.slave, POLLIN, 0}; // the scripts count on the bytes being there
        ASSERT_EQ(::poll(&arrived, 1, 10000), 1);
        char buffer[5] = {};
        uint32_t got = 0;
        ASSERT_TRUE(driver.ReadFile(buffer, 5, got));
        EXPECT_EQ(std::string(buffer, got), c.first);
        if (c.nextError != 0) {
            EXPECT_FALSE(driver.ReadFile(buffer, 2, got));
            EXPECT_EQ(got, 0u);
            EXPECT_EQ(driver.LastError(), c.nextError);
        }
        PosixPortCalls().Restore();
        EXPECT_TRUE(driver.Close());
    }
}

namespace {

// A lock folder of the test's own, and drivers that honour lock files on the test's
// pseudo-terminal (in use, terminals of this kind never get one).
class PortLockFiles : public PtyPort {
protected:
    void SetUp() override {
        PtyPort::SetUp();
        folder =
            std::filesystem::temp_directory_path() / ("korvane-locks-" + std::to_string(getpid()));
        std::filesystem::create_directories(folder);
        lockFile = folder / ("LCK.." + std::filesystem::path(path).filename().string());
    }
    void TearDown() override {
        std::filesystem::remove_all(folder);
        PtyPort::TearDown();
    }
    std::unique_ptr<TComDriverPosix> Driver(const std::string& lockFolder) const {
        auto driver = std::make_unique<TComDriverPosix>();
        driver->SetLockFolder(lockFolder);
        driver->SetLockPseudoTerminals(true);
        return driver;
    }
    std::unique_ptr<TComPort> LockingPort(const std::string& lockFolder) const {
        auto p = std::make_unique<TComPort>(Driver(lockFolder));
        ConfigureLikeConnection(*p, path);
        return p;
    }
    void WriteLock(const std::string& content) const {
        std::ofstream(lockFile, std::ios::binary) << content;
    }
    std::string LockContent() const {
        std::ifstream in(lockFile, std::ios::binary);
        char text[256];
        in.read(text, sizeof text);
        return std::string(text, static_cast<size_t>(in.gcount()));
    }
    static std::string Padded(pid_t pid) {
        char text[32];
        std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(pid));
        return text;
    }

    std::filesystem::path folder;
    std::filesystem::path lockFile;
};

pid_t ReapedProcess() {
    const pid_t child = fork();
    if (child == 0) {
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return child;
}

} // namespace

TEST_F(PortLockFiles, ALiveOwnerRefusesThePortAndKeepsItsLock) {
    const std::string live = std::to_string(getppid());
    for (const std::string& content : {Padded(getppid()), live, "  " + live + "  \n"}) {
        WriteLock(content);
        auto held = LockingPort(folder.string());
        EXPECT_EQ(OpenError(*held), EBUSY) << content;
        EXPECT_EQ(LockContent(), content);
    }
    // A lock that cannot be read is not known to be stale.
    std::filesystem::remove(lockFile);
    std::filesystem::create_symlink(folder / "elsewhere", lockFile);
    auto unknown = LockingPort(folder.string());
    EXPECT_EQ(OpenError(*unknown), EBUSY);
    EXPECT_TRUE(std::filesystem::is_symlink(lockFile));
}

TEST_F(PortLockFiles, AStaleLockIsReplacedByOursAndGoesWithTheClose) {
    const std::string stale[] = {Padded(ReapedProcess()), "", "garbage\n", "0\n", "12x34\n",
                                 "99999999999999999999\n"};
    for (const std::string& content : stale) {
        WriteLock(content);
        auto p = LockingPort(folder.string());
        p->OpenDevice();
        EXPECT_EQ(LockContent(), Padded(getpid())) << content;
        EXPECT_EQ(p->WriteBytes("ok"), 2);
        EXPECT_EQ(ReadMaster(2), "ok");
        p->CloseDevice();
        EXPECT_FALSE(std::filesystem::exists(lockFile)) << content;
    }
    // No lock at all: one is made, and only the lock file is left in the folder.
    auto p = LockingPort(folder.string());
    p->OpenDevice();
    EXPECT_EQ(ReadPortLockPid(lockFile.string()), static_cast<long>(getpid()));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder),
                            std::filesystem::directory_iterator()),
              1);
    // Someone who found the lock stale took it over: the close leaves theirs alone.
    WriteLock(Padded(getppid()));
    p->CloseDevice();
    EXPECT_EQ(LockContent(), Padded(getppid()));
}

TEST_F(PortLockFiles, AFolderWeCannotWriteLeavesThePortWithoutALock) {
    std::vector<std::string> folders = {(folder / "missing").string()};
    const std::filesystem::path notAFolder = folder / "file";
    std::ofstream(notAFolder) << "x";
    folders.push_back(notAFolder.string());
    if (geteuid() != 0) { // permissions do not stop the superuser
        const std::filesystem::path readOnly = folder / "read-only";
        std::filesystem::create_directory(readOnly);
        std::filesystem::permissions(readOnly, std::filesystem::perms::owner_read |
                                                   std::filesystem::perms::owner_exec);
        folders.push_back(readOnly.string());
    }
    for (const std::string& f : folders) {
        auto p = LockingPort(f);
        p->OpenDevice();
        EXPECT_TRUE(p->Connected()) << f;
        p->CloseDevice();
    }
    EXPECT_FALSE(std::filesystem::exists(folder / "missing"));
}

TEST_F(PortLockFiles, PseudoTerminalsAndLinksToThemAreExemptButLockedByDeviceName) {
    WriteLock(Padded(getppid()));
    // A terminal that another program keeps a lock for is only a name clash.
    auto exempt = std::make_unique<TComDriverPosix>();
    exempt->SetLockFolder(folder.string());
    TComPort plain(std::move(exempt));
    ConfigureLikeConnection(plain, path);
    plain.OpenDevice();
    plain.CloseDevice();
    EXPECT_EQ(LockContent(), Padded(getppid()));

    // Through a virtual-ports link the lock is named after the device, not the link.
    std::filesystem::remove(lockFile);
    const std::filesystem::path ports = folder / "ports";
    std::filesystem::create_directory(ports);
    std::filesystem::create_symlink(path, ports / "SIM0");
    auto driver = Driver(folder.string());
    driver->SetPortsFolder(ports.string());
    TComPort linked(std::move(driver));
    ConfigureLikeConnection(linked, "SIM0");
    linked.OpenDevice();
    EXPECT_EQ(LockContent(), Padded(getpid()));
    EXPECT_FALSE(std::filesystem::exists(folder / "LCK..SIM0"));
    linked.CloseDevice();
    EXPECT_FALSE(std::filesystem::exists(lockFile));
}

TEST(PortLockPaths, NamedAfterTheDeviceInTheLockFolder) {
    EXPECT_EQ(PortLockPath("/run/lock", "/dev/ttyUSB0"), "/run/lock/LCK..ttyUSB0");
    EXPECT_EQ(PortLockPath("/tmp/l", "ttyS1"), "/tmp/l/LCK..ttyS1");
    const std::string folder = TComDriverPosix::DefaultLockFolder();
    EXPECT_EQ(folder, std::filesystem::is_directory("/run/lock") ? "/run/lock" : "/var/lock");
    EXPECT_EQ(TComDriverPosix().LockFolder(), folder);
    EXPECT_EQ(ReadPortLockPid("/nonexistent-korvane/LCK..x"), 0);
}

// The descriptor is closed only once no other thread polls it any more: its number could
// be reused by the next open at once.
TEST_F(PosixCallFaults, CloseWaitsForTheCallBlockedInPoll) {
    TComDriverPosix driver(std::string{});
    ASSERT_TRUE(driver.Open(path));
    TComDcb raw;
    raw.BaudRate = 9600;
    raw.ByteSize = 8;
    ASSERT_TRUE(driver.SetCommState(raw));
    ASSERT_TRUE(driver.SetCommTimeouts(TComTimeoutValues{})); // reads wait for their count
    g_polling = 0;
    g_closedWhilePolling = false;
    PosixPortCalls().poll = &CountedPoll;
    PosixPortCalls().close = &WatchedClose;
    auto pending = std::async(std::launch::async, [&] {
        char buffer[8];
        uint32_t got = 0;
        const bool ok = driver.ReadFile(buffer, sizeof buffer, got);
        return ok ? 0 : driver.LastError();
    });
    while (g_polling.load() == 0) {
        std::this_thread::yield();
    }
    EXPECT_TRUE(driver.Close());
    EXPECT_EQ(pending.get(), EBADF);
    EXPECT_FALSE(g_closedWhilePolling.load());
}
