#include "serial/OruScomm.h"

#include "platform/PromptWake.h"
#include "serial/FakeComDriver.h"
#include "serial/PortDiscovery.h"
#include "serial/RecordWait.h"

#include "codec/HexCodec.h"
#include "protocol/ModbusFrames.h"
#include "protocol/ModbusRtu.h"

#include <gtest/gtest.h>

// The cases over the recording driver run everywhere; those over pseudo-terminals and
// portsim only on POSIX systems.
#ifndef _WIN32
#include "serial/PtyPeer.h"
#include "tools/PortsimProcess.h"

#include <pthread.h>
#include <sched.h>
#include <sys/ioctl.h>
#endif

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <mutex>
#include <random>
#include <stdexcept>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// The receive thread reads the clock while the test sets it.
class TestClock : public Clock {
public:
    uint32_t Milliseconds() override { return ms.load(); }
    std::string TimeOfDay() override { return "12:00:00"; }
    std::atomic<uint32_t> ms{5000};
};

class OruScommTest : public ::testing::Test {
protected:
    void TearDown() override { TNamedLock::Remove(lockName); }

    std::unique_ptr<TOruScomm> Connection(std::unique_ptr<TComDriver> driver = nullptr) {
        return std::make_unique<TOruScomm>(clock, std::move(driver), lockName);
    }
    std::unique_ptr<TOruScomm> FakeConnection() {
        return Connection(std::make_unique<FakeComDriver>(log));
    }

    void PushRead(const std::string& chunk) {
        std::lock_guard<std::mutex> guard(log->lock);
        log->readChunks.push_back(chunk);
    }

    TestClock clock;
    std::string lockName = "KorvaneOruScommTest" + std::to_string(getpid());
    std::shared_ptr<FakeComLog> log = std::make_shared<FakeComLog>();
};

TEST(TrafficRecordHeader, GapIsRightAlignedOrDashes) {
    const std::vector<std::pair<uint32_t, std::string>> cases = {
        {0, "R[12:00:00   0]"},   {7, "R[12:00:00   7]"},    {42, "R[12:00:00  42]"},
        {999, "R[12:00:00 999]"}, {1000, "R[12:00:00 ---]"}, {0xFFFFFFFFu, "R[12:00:00 ---]"},
    };
    for (const auto& [gap, header] : cases) {
        EXPECT_EQ(TrafficRecordHeader('R', "12:00:00", gap), header) << gap;
    }
    EXPECT_EQ(TrafficRecordHeader('T', "01.02.03", 5), "T[01.02.03   5]");
}

TEST_F(OruScommTest, ConstructionConfiguresAClosedDevice) {
    auto c = FakeConnection();
    EXPECT_FALSE(c->Device->Connected());
    EXPECT_TRUE(log->Calls().empty());
    EXPECT_TRUE(c->Device->Events().Empty());
    EXPECT_EQ(c->Device->Port(), "Com1");
    c->OpenPort();
    ASSERT_EQ(log->states.size(), 1u);
    EXPECT_EQ(log->states[0].Flags, 0x1011u); // binary, DTR and RTS enabled
    EXPECT_EQ(log->states[0].BaudRate, 9600u);
    EXPECT_EQ(log->inputSize, 1048576u);
    ASSERT_EQ(log->timeouts.size(), 1u);
    EXPECT_EQ(log->timeouts[0].ReadIntervalTimeout, 100u);
    EXPECT_EQ(log->timeouts[0].ReadTotalTimeoutConstant, 100u);
    EXPECT_EQ(log->timeouts[0].WriteTotalTimeoutMultiplier, 100u);
    EXPECT_EQ(log->timeouts[0].WriteTotalTimeoutConstant, 1000u);
    // Open and close on a port in that state do nothing.
    c->OpenPort();
    EXPECT_EQ(log->Count("Open:Com1"), 1u);
    c->ClosePort();
    c->ClosePort();
    EXPECT_EQ(log->Count("Close"), 1u);
}

// Stands in for the pause after a pass that read nothing, so the test decides when the
// receive thread starts its next pass (and so which clock reading it takes).
class Stepper {
public:
    void Pause(uint32_t) {
        std::unique_lock<std::mutex> lock(m_mutex);
        ++m_entered;
        m_changed.notify_all();
        m_changed.wait(lock, [this] { return m_permits > 0 || m_released; });
        if (m_permits > 0) {
            --m_permits;
        }
    }
    // Lets one more pass run and waits until the thread pauses again.
    bool Step() {
        std::unique_lock<std::mutex> lock(m_mutex);
        const uint64_t entered = m_entered;
        ++m_permits;
        m_changed.notify_all();
        return m_changed.wait_for(lock, 10s, [&] { return m_entered > entered; });
    }
    bool WaitPaused() {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, 10s, [&] { return m_entered > 0; });
    }
    void Release() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_released = true;
        m_changed.notify_all();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    uint64_t m_entered = 0;
    int m_permits = 0;
    bool m_released = false;
};

// A receive thread on a connection, running, that pauses after each pass that read nothing
// until the test steps it; let go before it is joined.
struct SteppedThread {
    explicit SteppedThread(TOruScomm& c) : thread(c, [this](uint32_t ms) { stepper.Pause(ms); }) {
        thread.Unpark();
    }
    ~SteppedThread() { stepper.Release(); }
    SteppedThread(const SteppedThread&) = delete;
    SteppedThread& operator=(const SteppedThread&) = delete;

    Stepper stepper;
    TOruComThread thread;
};

TEST_F(OruScommTest, GapsFollowTheClockAndPausedBurstsVanish) {
    auto c = FakeConnection();
    log->waitEvents = ComEvRxChar;
    c->OpenPort();
    SteppedThread stepped(*c);
    Stepper& stepper = stepped.stepper;
    ASSERT_TRUE(stepper.WaitPaused());

    const std::vector<std::pair<uint32_t, std::string>> bursts = {
        // Nothing recorded yet: the last traffic time 0 makes the first gap large.
        {5000, "R[12:00:00 ---]01 02 A0"},
        // Then the gap counts from 100 ms before the end of the previous read.
        {5000 - 100 + 42, "R[12:00:00  42]FF"},
        {4942 - 100 + 999, "R[12:00:00 999]FF"},
        {5841 - 100 + 1000, "R[12:00:00 ---]FF"},
        {6741 - 100 + 7, "R[12:00:00   7]FF"},
    };
    for (const auto& [ms, record] : bursts) {
        clock.ms = ms;
        PushRead(record.size() > 17 ? std::string("\x01\x02\xA0") : std::string("\xFF"));
        ASSERT_TRUE(stepper.Step());
        EXPECT_EQ(c->TakeRecord(), record);
    }
    EXPECT_EQ(c->RxCount, 7);

    // Read while paused: thrown away, neither counted nor recorded, also after resuming.
    c->Monitoring = 0;
    PushRead("\x11\x22");
    ASSERT_TRUE(stepper.Step());
    EXPECT_TRUE(log->readChunks.empty());
    c->Monitoring = 1;
    ASSERT_TRUE(stepper.Step());
    PushRead("\x33");
    ASSERT_TRUE(stepper.Step());
    EXPECT_EQ(c->TakeRecord(), "R[12:00:00 100]33");
    EXPECT_EQ(c->RxCount, 8);
    EXPECT_EQ(c->TakeRecord(), std::nullopt);
}

// The receive thread may hand its record over before the sending thread hands over the line
// that caused it (a receive thread woken at once, a sender held up after its write): the
// echo still comes after the send.
TEST_F(OruScommTest, AnEchoReadWhileItsSendIsWrittenComesAfterTheSend) {
    class EchoDriver : public FakeComDriver {
    public:
        using FakeComDriver::FakeComDriver;
        std::function<void()> duringWrite;
        bool WriteFile(const void* data, uint32_t count, uint32_t& transferred) override {
            if (duringWrite) {
                duringWrite();
            }
            return FakeComDriver::WriteFile(data, count, transferred);
        }
    };
    auto driver = std::make_unique<EchoDriver>(log);
    EchoDriver& echo = *driver;
    auto c = Connection(std::move(driver));
    log->waitEvents = ComEvRxChar;
    c->OpenPort();
    SteppedThread stepped(*c);
    Stepper& stepper = stepped.stepper;
    ASSERT_TRUE(stepper.WaitPaused());

    const struct {
        uint32_t echoStart; // the send starts at 5000
        std::string order;  // directions as queued
    } cases[] = {
        {5001, "TR"}, // the echo, a millisecond later
        {5000, "TR"}, // within the send's millisecond: an echo cannot come first
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.echoStart);
        std::optional<size_t> queuedDuringWrite;
        bool echoRead = false;
        echo.duringWrite = [&] {
            clock.ms = k.echoStart;
            PushRead("\x41\x42");
            echoRead = stepper.Step();
            queuedDuringWrite = c->QueuedRecords();
        };
        clock.ms = 5000;
        c->SendData("41 42");
        ASSERT_TRUE(echoRead);
        // The echo was read and handed over while the send was still being written.
        EXPECT_EQ(queuedDuringWrite, 0u);
        std::string order;
        while (const std::optional<TQueuedRecord> r = c->TakeRecord()) {
            order += r->front();
        }
        EXPECT_EQ(order, k.order);
    }
    echo.duringWrite = nullptr;
}

// Another copy of the program holds the queue lock past the bound: nothing blocks, the
// burst is dropped uncounted, the send goes out without a record, a take or a look finds
// nothing and a record queued from elsewhere is dropped.
TEST_F(OruScommTest, QueueLockHeldElsewhereDropsInsteadOfBlocking) {
    auto c = FakeConnection();
    log->waitEvents = ComEvRxChar;
    c->OpenPort();
    SteppedThread stepped(*c);
    Stepper& stepper = stepped.stepper;
    ASSERT_TRUE(stepper.WaitPaused());

    std::mutex m;
    std::condition_variable cv;
    bool held = false;
    bool done = false;
    std::thread holder([&] {
        TNamedLock other(lockName);
        std::unique_lock<std::mutex> lock(m);
        held = other.Acquire(1000);
        cv.notify_all();
        cv.wait(lock, [&] { return done; });
        if (held) {
            other.Release();
        }
    });
    {
        std::unique_lock<std::mutex> lock(m);
        cv.wait(lock, [&] { return held; });
    }
    PushRead("\x01");
    EXPECT_TRUE(stepper.Step());
    c->SendData("02");
    const std::optional<TQueuedRecord> taken = c->TakeRecord();
    const std::optional<TQueuedRecord> peeked = c->PeekRecord();
    const std::optional<size_t> waiting = c->QueuedRecords();
    const bool queued = c->QueueRecord("R[12:00:00 ---]04 ");
    {
        std::lock_guard<std::mutex> lock(m);
        done = true;
    }
    cv.notify_all();
    holder.join();

    EXPECT_EQ(taken, std::nullopt);
    EXPECT_EQ(peeked, std::nullopt);
    EXPECT_EQ(waiting, std::nullopt);
    EXPECT_FALSE(queued);
    EXPECT_EQ(c->RxCount, 0);
    EXPECT_EQ(c->TxCount, 1);
    // The burst, the send's record and the one queued from elsewhere, counted.
    EXPECT_EQ(c->DroppedRecords(), 3u);
    EXPECT_EQ(c->DroppedRecordsText(), "3 records dropped: the traffic queue was busy");
    EXPECT_EQ(log->written, "\x02");
    EXPECT_EQ(c->TakeRecord(), std::nullopt);
    EXPECT_EQ(c->QueuedRecords(), 0u);

    // Free again: a record queued from elsewhere keeps its start, is there to look at, then
    // to take, once.
    ASSERT_TRUE(c->QueueRecord(TQueuedRecord("R[12:00:00 ---]03 ", 4321)));
    EXPECT_EQ(c->QueuedRecords(), 1u);
    EXPECT_EQ(c->PeekRecord(), "R[12:00:00 ---]03 ");
    const std::optional<TQueuedRecord> record = c->TakeRecord();
    ASSERT_TRUE(record);
    EXPECT_EQ(*record, "R[12:00:00 ---]03 ");
    EXPECT_EQ(record->Start, 4321u);
    EXPECT_EQ(c->QueuedRecords(), 0u);
}

// A thread of the driver's own (a network connection's reader, the watch for a server's
// return) tells its failure through the connection's OnFailure, whole, also while the port
// is closed; once per streak, which a pass of the receive thread that goes well ends.
TEST_F(OruScommTest, FailuresOfTheDriversOwnThreadsAreToldOncePerStreak) {
    auto c = FakeConnection();
    const auto& driver = static_cast<const FakeComDriver&>(c->Device->Driver());
    std::mutex m;
    std::vector<std::string> told;
    c->OnFailure = [&](const std::string& what) {
        std::lock_guard<std::mutex> lock(m);
        told.push_back(what);
    };
    const auto toldNow = [&] {
        std::lock_guard<std::mutex> lock(m);
        return told;
    };
    driver.TellThreadFailure("Looking for tcp://h:1 failed: out of memory");
    driver.TellThreadFailure("Looking for tcp://h:1 failed: out of memory");
    EXPECT_EQ(toldNow(), std::vector<std::string>{"Looking for tcp://h:1 failed: out of memory"});

    log->waitEvents = ComEvRxChar;
    c->OpenPort();
    SteppedThread stepped(*c);
    Stepper& stepper = stepped.stepper;
    ASSERT_TRUE(stepper.WaitPaused());
    driver.TellThreadFailure("stopped receiving: a");
    EXPECT_EQ(toldNow().size(), 1u) << "the streak goes on";
    PushRead("\x01");
    ASSERT_TRUE(stepper.Step());
    driver.TellThreadFailure("stopped receiving: b");
    EXPECT_EQ(toldNow().back(), "stopped receiving: b");
    EXPECT_EQ(toldNow().size(), 2u);
}

TEST_F(OruScommTest, ReceiveThreadFollowsModemLinesAndTheyClearOnClose) {
    auto c = FakeConnection();
    log->modemStatus = ComMsCtsOn | ComMsRlsdOn;
    c->OpenPort();
    // Set by the open itself, before the thread runs.
    EXPECT_EQ(c->CtsOn, 1);
    EXPECT_EQ(c->DsrOn, 0);
    EXPECT_EQ(c->RlsdOn, 1);
    TOruComThread thread(*c);
    log->waitEvents = ComEvDsr;
    {
        std::lock_guard<std::mutex> guard(log->lock);
        log->modemStatus = ComMsDsrOn | ComMsRingOn;
    }
    thread.Unpark();
    const auto giveUp = std::chrono::steady_clock::now() + 10s;
    while (!(c->CtsOn == 0 && c->DsrOn == 1 && c->RlsdOn == 0) &&
           std::chrono::steady_clock::now() < giveUp) {
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(c->DsrOn, 1);
    EXPECT_EQ(c->CtsOn, 0);
    thread.Park();
    ASSERT_TRUE(thread.WaitUntilParked(10s));
    c->ClosePort();
    EXPECT_EQ(c->DsrOn, 0);
}

// A device that fails on every pass (unplugged) must not make the loop spin: every failed
// pass is followed by a pause.
TEST_F(OruScommTest, FailingPassesPauseBeforeTheNextWait) {
    const std::vector<std::pair<std::string, std::string>> failures = {
        {"WaitCommEvent", "wait fails"},
        {"ReadFile", "read fails"},
        {"", "data announced, none delivered"},
    };
    for (const auto& [call, what] : failures) {
        SCOPED_TRACE(what);
        log = std::make_shared<FakeComLog>();
        log->waitEvents = ComEvRxChar;
        auto c = FakeConnection();
        c->OpenPort();
        if (!call.empty()) {
            log->failures[call] = 5; // EIO
        }
        std::mutex m;
        std::condition_variable cv;
        std::vector<uint32_t> pauses;
        bool release = false;
        constexpr size_t passes = 5;
        TOruComThread thread(*c, [&](uint32_t ms) {
            std::unique_lock<std::mutex> lock(m);
            pauses.push_back(ms);
            cv.notify_all();
            cv.wait(lock, [&] { return release || pauses.size() < passes; });
        });
        thread.Unpark();
        {
            std::unique_lock<std::mutex> lock(m);
            ASSERT_TRUE(cv.wait_for(lock, 10s, [&] { return pauses.size() == passes; }));
            // The thread stands in its fifth pause: exactly one wait per paused pass.
            EXPECT_EQ(log->Count("WaitCommEvent"), passes);
            EXPECT_EQ(pauses, std::vector<uint32_t>(passes, TOruComThread::FailurePauseMs));
            release = true;
        }
        cv.notify_all();
        thread.Stop();
        EXPECT_FALSE(c->Device->Connected());
    }
}

// A failure of the receive thread that is not the device going away is told to the owner,
// once for a streak of failing passes, and again after a pass that went well.
// A system error that refuses a read without meaning the device is gone. (Windows' code 22,
// the value of EINVAL, is what a pulled-out adapter answers there.)
#ifdef _WIN32
constexpr int32_t ReadRefusedError = 87; // ERROR_INVALID_PARAMETER
#else
constexpr int32_t ReadRefusedError = EINVAL;
#endif

TEST_F(OruScommTest, ReceiveFailuresAreToldOncePerStreak) {
    struct Case {
        const char* name;
        bool readRefused; // else the record hook throws
        const char* told;
    };
    const Case cases[] = {
        {"a read the device refuses", true, "ReadFile function failed"},
        {"an error of the thread's own", false, "hook broke"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        log = std::make_shared<FakeComLog>();
        log->waitEvents = ComEvRxChar;
        auto c = FakeConnection();
        c->OpenPort();
        std::mutex m;
        std::condition_variable cv;
        std::vector<std::string> told;
        size_t pauses = 0;
        size_t good = 0; // records queued by passes that went well
        bool broken = true;
        c->OnFailure = [&](const std::string& what) {
            std::lock_guard<std::mutex> lock(m);
            told.push_back(what);
        };
        c->OnRecordQueued = [&] {
            std::lock_guard<std::mutex> lock(m);
            if (!k.readRefused && broken) {
                throw std::runtime_error("hook broke");
            }
            ++good;
            cv.notify_all();
        };
        auto fail = [&](bool on) {
            std::lock_guard<std::mutex> guard(log->lock);
            if (k.readRefused && on) {
                log->failures["ReadFile"] = ReadRefusedError;
            } else {
                log->failures.clear();
            }
            for (int i = 0; i < 50; ++i) {
                log->readChunks.push_back("\x01");
            }
        };
        fail(true);
        TOruComThread thread(*c, [&](uint32_t ms) {
            std::unique_lock<std::mutex> lock(m);
            ++pauses;
            cv.notify_all();
            cv.wait_for(lock, std::chrono::milliseconds(ms), [] { return false; });
        });
        thread.Unpark();
        auto waitFor = [&](auto done) {
            std::unique_lock<std::mutex> lock(m);
            return cv.wait_for(lock, 10s, [&] { return done(); });
        };
        ASSERT_TRUE(waitFor([&] { return pauses >= 3; }));
        {
            std::lock_guard<std::mutex> lock(m);
            ASSERT_EQ(told.size(), 1u);
            EXPECT_EQ(told[0].rfind(ReceivingFailedText, 0), 0u) << told[0];
            EXPECT_NE(told[0].find(k.told), std::string::npos) << told[0];
            broken = false;
        }
        fail(false);
        ASSERT_TRUE(waitFor([&] { return good > 0; }));
        {
            std::lock_guard<std::mutex> lock(m);
            broken = true;
        }
        fail(true);
        const size_t before = [&] {
            std::lock_guard<std::mutex> lock(m);
            return pauses;
        }();
        ASSERT_TRUE(waitFor([&] { return pauses >= before + 2; }));
        {
            std::lock_guard<std::mutex> lock(m);
            EXPECT_EQ(told.size(), 2u);
        }
        thread.Stop();
        EXPECT_EQ(told.size(), 2u); // the close is not told
    }
}

#ifndef _WIN32

TEST_F(OruScommTest, FailedOpenLeavesNothingOpen) {
    PtyPeer pty;
    ASSERT_FALSE(pty.path.empty());
    auto holder = Connection();
    holder->Device->SetPort(pty.path);
    holder->OpenPort();

    const int descriptors = CountOpenDescriptors();
    for (const std::string& port : {std::string("/dev/korvane-no-such-port"), pty.path}) {
        SCOPED_TRACE(port);
        auto c = Connection();
        c->Device->SetPort(port);
        try {
            c->OpenPort();
            ADD_FAILURE() << "opened";
        } catch (const ECom& e) {
            EXPECT_EQ(e.ErrorText, "Open port failure,it may be opened by other procedures.");
            EXPECT_EQ(e.ErrorCode, 1);
        }
        EXPECT_FALSE(c->Device->Connected());
        c.reset();
        EXPECT_EQ(CountOpenDescriptors(), descriptors);
    }

    // The open succeeded but reading the modem lines at its end failed: the port is closed
    // again before the failure is reported.
    auto c = FakeConnection();
    log->failures["GetCommModemStatus"] = 5;
    EXPECT_THROW(c->OpenPort(), ECom);
    EXPECT_FALSE(c->Device->Connected());
    EXPECT_FALSE(log->open);
    EXPECT_EQ(log->Count("Close"), 1u);
}

TEST_F(OruScommTest, BurstsArriveAsOneRecordEachInHexOrAsTheBytes) {
    PtyPeer pty;
    auto c = Connection();
    c->Device->SetPort(pty.path);
    c->OpenPort();
    TOruComThread thread(*c);
    thread.Unpark();

    const std::string bytes("\x01\x00\x0D\x0A\xFF\x7E", 6);
    pty.Write(bytes);
    EXPECT_EQ(NextRecord(*c), "R[12:00:00 ---]01 00 0D 0A FF 7E");
    c->HexReceive = 0;
    pty.Write(bytes);
    const std::string record = NextRecord(*c);
    EXPECT_EQ(record.size(), 15u + bytes.size());
    EXPECT_EQ(record.substr(15), bytes);
    EXPECT_EQ(c->RxCount, 12);
}

// Waits until the receive side has taken every byte written to the line (none left in the
// terminal's input queue).
bool WaitUntilTaken(const PtyPeer& pty) {
    const auto giveUp = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < giveUp) {
        int queued = 0;
        if (ioctl(pty.slave, FIONREAD, &queued) == 0 && queued == 0) {
            return true;
        }
        std::this_thread::sleep_for(1ms);
    }
    return false;
}

TEST_F(OruScommTest, ABurstEndsAfterTheGapOfSilence) {
    PtyPeer pty(true);
    auto c = Connection();
    c->Device->SetPort(pty.path);
    c->OpenPort();
    // A window far longer than the wait for a record: only the gap can end these bursts.
    c->SetRecordGap(20, 600000);
    TOruComThread thread(*c);
    thread.Unpark();

    pty.Write("\x01\x02");
    EXPECT_EQ(NextRecord(*c), "R[12:00:00 ---]01 02");
    pty.Write("\x03");
    // The gap counts from the first burst's last byte, one record gap before its queueing.
    EXPECT_EQ(NextRecord(*c), "R[12:00:00  20]03");
}

TEST_F(OruScommTest, PausesShorterThanTheGapKeepOneRecord) {
    PtyPeer pty(true);
    auto c = Connection();
    c->Device->SetPort(pty.path);
    c->OpenPort();
    c->SetRecordGap(2000, 600000);
    TOruComThread thread(*c);
    thread.Unpark();

    // Each part is written once the reader has taken the one before: a pause in the burst.
    for (const std::string part : {"\x01\x02", "\x03", "\x04\x05\x06"}) {
        pty.Write(part);
        ASSERT_TRUE(WaitUntilTaken(pty));
    }
    EXPECT_EQ(NextRecord(*c), "R[12:00:00 ---]01 02 03 04 05 06");
    EXPECT_EQ(c->RecordGap(), 2000u);
}

TEST_F(OruScommTest, AStreamWithoutSilenceIsStillCutAtTheReadWindow) {
    PtyPeer pty(true);
    auto c = Connection();
    c->Device->SetPort(pty.path);
    c->OpenPort();
    // A gap longer than the window: only the window can end a record.
    c->SetRecordGap(600000);
    TOruComThread thread(*c);
    thread.Unpark();

    // Short parts, each once the reader has taken the one before, until records come: far
    // less than the 1 MiB read buffer per window, and never a pause of the gap's length.
    std::atomic<bool> stop{false};
    std::string written;
    std::thread writer([&] {
        const auto giveUp = std::chrono::steady_clock::now() + 20s;
        for (uint8_t n = 0; !stop && std::chrono::steady_clock::now() < giveUp; ++n) {
            const std::string part(4, static_cast<char>(n));
            if (!pty.Write(part) || !WaitUntilTaken(pty)) {
                break;
            }
            written += part;
        }
    });
    std::string payload;
    int records = 0;
    for (; records < 3; ++records) {
        const std::string r = NextRecord(*c, 20s);
        if (r.empty()) {
            break;
        }
        payload += r.substr(15) + " ";
    }
    stop = true;
    writer.join();
    EXPECT_EQ(records, 3);
    // The rest of the stream comes in the window's records too, nothing lost or repeated.
    const std::string expected = BytesToHex(written, " ") + " ";
    while (payload.size() < expected.size()) {
        const std::string r = NextRecord(*c);
        if (r.empty()) {
            break;
        }
        payload += r.substr(15) + " ";
    }
    EXPECT_EQ(payload, expected);
}

// The recording driver whose every read takes the clock on by a step: the receive thread
// sees time pass between the reads of one burst.
class SteppingClockDriver : public FakeComDriver {
public:
    SteppingClockDriver(std::shared_ptr<FakeComLog> log, TestClock& clock, uint32_t msPerRead)
        : FakeComDriver(std::move(log)), m_clock(clock), m_msPerRead(msPerRead) {}
    bool ReadFile(void* buffer, uint32_t count, uint32_t& transferred) override {
        m_clock.ms += m_msPerRead;
        return FakeComDriver::ReadFile(buffer, count, transferred);
    }

private:
    TestClock& m_clock;
    uint32_t m_msPerRead;
};

// Each chunk is what one read returns; an empty chunk, or a read finding none, stands for a
// wait that ended without a byte. The clock stands still unless a case steps it per read.
TEST_F(OruScommTest, DecodedFramesAndTextLinesEndTheirRecordWithoutWaitingForTheGap) {
    const std::string reply = ModbusFramed("01 03 02 00 2A");
    const std::string hexReply = BytesToHex(reply, " ");
    // Nine bytes whose first seven pass the CRC as well.
    const std::string falsePrefixed = ModbusFramed(BytesToHex(ModbusFramed("01 03 04 00 07"), " "));
    const std::string badCrc = reply.substr(0, 5) + std::string(2, '\0');
    const struct Case {
        const char* what;
        TFrameEndTest end;
        uint32_t msPerRead;
        std::vector<std::string> chunks;
        std::vector<std::string> records;
    } cases[] = {
        // The next record's gap counts from the frame's last byte, not a gap after it.
        {"a whole frame ends its record",
         &ModbusRtuWholeFrame,
         0,
         {reply, "\xFF"},
         {"R[12:00:00 ---]" + hexReply, "R[12:00:00   0]FF"}},
        {"a frame over two reads",
         &ModbusRtuWholeFrame,
         0,
         {reply.substr(0, 3), reply.substr(3)},
         {"R[12:00:00 ---]" + hexReply}},
        // Ended by the silence (an empty chunk): the next gap counts from the gap's start.
        {"a bad CRC waits for the gap",
         &ModbusRtuWholeFrame,
         0,
         {badCrc, "\xFF", "", reply},
         {"R[12:00:00 ---]" + BytesToHex(badCrc + "\xFF", " "), "R[12:00:00   5]" + hexReply}},
        {"a false early CRC does not cut the frame",
         &ModbusRtuWholeFrame,
         0,
         {falsePrefixed.substr(0, 7), falsePrefixed.substr(7), "\x01\x83", "\x02"},
         {"R[12:00:00 ---]" + BytesToHex(falsePrefixed, " "),
          "R[12:00:00   0]" + BytesToHex("\x01\x83\x02", " ")}},
        {"bytes that never form a frame are cut at the window",
         &ModbusRtuWholeFrame,
         40,
         {"\x41", "\x42", "\x43", "\x44"},
         {"R[12:00:00 ---]41 42 43", "R[12:00:00   0]44"}},
        {"decoding off: one read is one record, as the read's time-outs end it",
         nullptr,
         0,
         {reply.substr(0, 3), reply.substr(3)},
         {"R[12:00:00 ---]" + BytesToHex(reply.substr(0, 3), " "),
          "R[12:00:00   5]" + BytesToHex(reply.substr(3), " ")}},
        {"a text line ends at its line feed",
         &EndsWithLineFeed,
         0,
         {"ok\r\n", "A"},
         {"R[12:00:00 ---]6F 6B 0D 0A", "R[12:00:00   0]41"}},
        {"a line feed inside a read does not cut it; the rest waits for the gap",
         &EndsWithLineFeed,
         0,
         {"a\nb", "", "c\n"},
         {"R[12:00:00 ---]61 0A 62", "R[12:00:00   5]63 0A"}},
        {"a carriage return ends a line where lines end with either",
         &EndsWithLineEnd,
         0,
         {"ok\r", "A"},
         {"R[12:00:00 ---]6F 6B 0D", "R[12:00:00   0]41"}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        log = std::make_shared<FakeComLog>();
        log->waitEvents = ComEvRxChar;
        clock.ms = 5000;
        auto c = Connection(std::make_unique<SteppingClockDriver>(log, clock, k.msPerRead));
        c->OpenPort();
        c->SetRecordGap(5, 100);
        c->SetFrameEnd(k.end);
        // With a frame end, each read returns at the first bytes or after the gap without any;
        // otherwise the read itself waits for the gap after its last byte.
        const TComTimeoutValues t = log->timeouts.back();
        EXPECT_EQ(t.ReadIntervalTimeout, k.end != nullptr ? 0xFFFFFFFFu : 5u);
        EXPECT_EQ(t.ReadTotalTimeoutMultiplier, k.end != nullptr ? 0xFFFFFFFFu : 0u);
        EXPECT_EQ(t.ReadTotalTimeoutConstant, k.end != nullptr ? 5u : 100u);
        for (const std::string& chunk : k.chunks) {
            PushRead(chunk);
        }
        SteppedThread stepped(*c);
        // The first pass that reads nothing pauses: every chunk has been read by then.
        ASSERT_TRUE(stepped.stepper.WaitPaused());
        std::vector<std::string> records;
        while (const std::optional<TQueuedRecord> r = c->TakeRecord()) {
            records.push_back(*r);
        }
        EXPECT_EQ(records, k.records);
    }
}

TEST_F(OruScommTest, SendDataWritesCountsAndRecords) {
    struct Case {
        bool hex;
        std::string text;
        std::string peerGets; // empty with `rejected`: nothing written
        int32_t counted;
        std::string payload; // empty: no record
        bool rejected = false;
    };
    const std::vector<Case> cases = {
        {true, "01 02 03", "\x01\x02\x03", 3, "01 02 03 "},
        {true, "01\r\n02", "\x01\x02", 2, "01 02 "},
        {true, " ab cd\r\n", "\xAB\xCD", 2, "AB CD "},
        {true, "0x41", "", 0, "", true},
        {true, "1", "", 0, "", true},
        {true, "   ", "", 0, "", true},
        {true, "", "", 0, ""},
        {false, "AB\r\n", "AB\r\n", 4, "AB\r\n"},
        {false, std::string("\x00\x01", 2), std::string("\x00\x01", 2), 2,
         std::string("\x00\x01", 2)},
        {false, "", "", 0, ""},
    };
    PtyPeer pty;
    auto c = Connection();
    c->Device->SetPort(pty.path);
    c->OpenPort();
    for (const Case& k : cases) {
        SCOPED_TRACE(::testing::PrintToString(k.text));
        c->HexSend = k.hex ? 1 : 0;
        const int32_t before = c->TxCount;
        if (k.rejected) {
            try {
                c->SendData(k.text);
                ADD_FAILURE() << "accepted";
            } catch (const ECom& e) {
                EXPECT_EQ(e.ErrorText, "The sending data is not hexadecimal format.");
                EXPECT_EQ(e.ErrorCode, 1);
            }
        } else {
            c->SendData(k.text);
        }
        EXPECT_EQ(c->TxCount - before, k.counted);
        // A marker sent after it shows that nothing else went out.
        c->HexSend = 1;
        c->SendData("7E");
        EXPECT_EQ(pty.Read(k.peerGets.size() + 1), k.peerGets + "\x7E");
        std::string record;
        record = c->TakeRecord().value_or(TQueuedRecord());
        if (!k.payload.empty()) {
            EXPECT_EQ(record.substr(0, 10), "T[12:00:00");
            EXPECT_EQ(record.substr(15), k.payload);
            record = c->TakeRecord().value_or(TQueuedRecord());
        }
        EXPECT_EQ(record.substr(15), "7E ");
        record = c->TakeRecord().value_or(TQueuedRecord());
        EXPECT_EQ(record, "");
    }

    // The gap of a sent record counts from the previous record, nothing subtracted.
    clock.ms = 9000;
    c->SendData("01");
    clock.ms = 9042;
    c->SendData("02");
    std::string record;
    record = c->TakeRecord().value_or(TQueuedRecord());
    EXPECT_EQ(record, "T[12:00:00 ---]01 ");
    record = c->TakeRecord().value_or(TQueuedRecord());
    EXPECT_EQ(record, "T[12:00:00  42]02 ");
    EXPECT_EQ(pty.Read(2), "\x01\x02");

    // Paused: written and counted, not recorded.
    c->Monitoring = 0;
    const int32_t before = c->TxCount;
    c->SendData("03 04");
    EXPECT_EQ(pty.Read(2), "\x03\x04");
    EXPECT_EQ(c->TxCount - before, 2);
    record = c->TakeRecord().value_or(TQueuedRecord());
    EXPECT_EQ(record, "");
}

TEST_F(OruScommTest, ThreadReceivesAfterEachOpenAndParksAfterEachClose) {
    PtyPeer pty;
    auto c = Connection();
    c->Device->SetPort(pty.path);
    auto thread = std::make_unique<TOruComThread>(*c);
    thread->Park();
    EXPECT_EQ(thread->ParkCount(), 2);
    ASSERT_TRUE(thread->WaitUntilParked(10s));

    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        c->OpenPort();
        thread->Unpark();
        thread->Unpark();
        thread->Unpark();
        EXPECT_EQ(thread->ParkCount(), 0);
        pty.Write(std::string(1, static_cast<char>(0x40 + round)));
        EXPECT_EQ(NextRecord(*c).substr(15), std::string("4") + static_cast<char>('0' + round));
        if (round == 1) {
            // Close while the thread is reading a burst.
            pty.Write("x");
        }
        // Otherwise the thread stands in its endless wait; closing must end it at once.
        c->ClosePort();
        thread->Park();
        thread->Park();
        EXPECT_TRUE(thread->WaitUntilParked(10s));
        std::string rest;
        do {
            rest = c->TakeRecord().value_or(TQueuedRecord());
        } while (!rest.empty());
    }

    // Shutdown with the port open and the thread in its wait: the port ends closed.
    c->OpenPort();
    thread->Unpark();
    thread->Unpark();
    pty.Write("A");
    EXPECT_FALSE(NextRecord(*c).empty());
    thread.reset();
    EXPECT_FALSE(c->Device->Connected());
    // And a thread that never ran ends as well.
    TOruComThread parked(*c);
}

TEST_F(OruScommTest, SixteenMebibytesArriveWhole) {
    constexpr size_t total = 16u << 20;
    std::string input(total, '\0');
    std::mt19937 random(12345);
    for (char& ch : input) {
        ch = static_cast<char>(random() & 0xFF);
    }
    PtyPeer pty;
    auto c = Connection();
    c->Device->SetPort(pty.path);
    c->OpenPort();
    TOruComThread thread(*c);
    thread.Unpark();

    std::thread writer([&] { pty.Write(input); });
    std::string received;
    received.reserve(total);
    size_t records = 0;
    while (received.size() < total) {
        const std::string record = NextRecord(*c);
        if (record.empty()) {
            break;
        }
        ++records;
        // Payload: "HH HH ... HH" after the 15-character header.
        ASSERT_EQ((record.size() - 15 + 1) % 3, 0u);
        for (size_t i = 15; i + 1 < record.size(); i += 3) {
            auto digit = [](char h) { return h <= '9' ? h - '0' : h - 'A' + 10; };
            received += static_cast<char>(digit(record[i]) * 16 + digit(record[i + 1]));
        }
    }
    writer.join();
    EXPECT_EQ(received.size(), total);
    EXPECT_TRUE(received == input);
    EXPECT_EQ(c->RxCount, static_cast<int32_t>(total));
    EXPECT_GT(records, 0u);
}

TEST_F(OruScommTest, TalksToTheSimulatedModbusDeviceByPortName) {
    const fs::path data = fs::temp_directory_path() / ("korvane-sim-" + std::to_string(getpid()));
    fs::remove_all(data);
    fs::create_directories(data);
    setenv("XDG_DATA_HOME", data.c_str(), 1);
    PortsimProcess sim({"--name", "SIM0", "modbus"});
    ASSERT_TRUE(sim.Ready()) << sim.Banner();
    std::vector<std::string> ports;
    ListSerialPorts(ports, "/nonexistent", VirtualPortsFolder());
    EXPECT_EQ(ports, std::vector<std::string>{"SIM0"});

    auto c = Connection();
    c->Device->SetPort("SIM0");
    c->OpenPort();
    TOruComThread thread(*c);
    thread.Unpark();
    c->SendData("01 03 00 00 00 02 C4 0B");
    EXPECT_EQ(NextRecord(*c).substr(15), "01 03 00 00 00 02 C4 0B ");
    EXPECT_EQ(NextRecord(*c).substr(15), "01 03 04 00 00 00 01 3B F3");
    thread.Stop();
    sim.Stop();
    unsetenv("XDG_DATA_HOME");
    fs::remove_all(data);
}

// The receive thread waits for a burst, and makes a record of up to 256 KiB, raised to the
// real-time class where the system grants it; a bigger record (a flood) is made after the
// thread has gone back to ordinary scheduling, and the next wait is raised again.
TEST_F(OruScommTest, OnlyRecordsUpToTheirLimitAreMadeOnTheRaisedThread) {
    TPromptWake::Grant granted = TPromptWake::Grant::Untried;
    std::thread([&] {
        TPromptWake probe;
        probe.Enter();
        granted = probe.Granted();
    }).join();
    if (granted != TPromptWake::Grant::RealTime) {
        GTEST_SKIP() << "the system grants this process no real-time class";
    }
    constexpr size_t Limit = 262144;
    const struct Case {
        const char* what;
        size_t bytes;
        bool raised;
    } cases[] = {
        {"a short burst", 10, true},
        {"a burst of the limit", Limit, true},
        {"a flood past the limit", Limit + 1, false},
        {"a short burst after it", 3, true},
    };
    log->waitEvents = ComEvRxChar;
    auto c = FakeConnection();
    c->OpenPort();
    for (const Case& k : cases) {
        PushRead(std::string(k.bytes, 'x'));
    }
    // Where each record was queued: its bytes and the queuing thread's class.
    std::mutex lock;
    std::vector<std::pair<size_t, int>> queued;
    int32_t counted = 0;
    c->OnRecordQueued = [&] {
        sched_param param{};
        int policy = -1;
        pthread_getschedparam(pthread_self(), &policy, &param);
        std::lock_guard<std::mutex> guard(lock);
        queued.emplace_back(static_cast<size_t>(c->RxCount - counted), policy);
        counted = c->RxCount;
    };
    SteppedThread stepped(*c);
    Stepper& stepper = stepped.stepper;
    // The first pass that reads nothing pauses: every burst has been read by then.
    ASSERT_TRUE(stepper.WaitPaused());
    std::lock_guard<std::mutex> guard(lock);
    ASSERT_EQ(queued.size(), std::size(cases));
    for (size_t i = 0; i < queued.size(); ++i) {
        SCOPED_TRACE(cases[i].what);
        EXPECT_EQ(queued[i].first, cases[i].bytes);
        EXPECT_EQ(queued[i].second, cases[i].raised ? SCHED_FIFO : SCHED_OTHER);
    }
}

#endif // _WIN32

} // namespace
