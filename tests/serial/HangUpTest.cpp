// A device that goes away while its port is open: the burst it sent last is kept, the
// hang-up is told once to the owner, and sends or line changes on it name the port instead
// of giving an error code. Over real pseudo-terminals, and the recording driver for errors a
// terminal cannot be made to give.

#include "serial/OruScomm.h"

#include "serial/ComDriverPosix.h"
#include "serial/FakeComDriver.h"
#include "serial/PtyPeer.h"
#include "serial/RecordWait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

class HangUpTest : public ::testing::Test {
protected:
    void TearDown() override {
        thread.reset();
        connection.reset();
        TNamedLock::Remove(lockName);
    }

    TOruScomm& Connect(std::unique_ptr<TComDriver> driver) {
        connection =
            std::make_unique<TOruScomm>(SystemClock::Instance(), std::move(driver), lockName);
        connection->OnHangUp = [this] { ++hangUps; };
        return *connection;
    }

    // The port opened and the receive thread running, as the port button leaves them. The
    // thread's pauses after failed passes are counted.
    void OpenAndRun(const std::string& port) {
        connection->Device->SetPort(port);
        connection->OpenPort();
        thread = std::make_unique<TOruComThread>(*connection, [this](uint32_t ms) {
            ++failedPasses;
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        });
        thread->Unpark();
    }

    // Waits until `done` holds; a generous bound only keeps a broken build from hanging.
    template <typename Pred> static bool WaitFor(Pred done) {
        const auto giveUp = std::chrono::steady_clock::now() + 10s;
        while (!done() && std::chrono::steady_clock::now() < giveUp) {
            std::this_thread::sleep_for(1ms);
        }
        return done();
    }
    bool WaitForHangUps(int count) const {
        return WaitFor([&] { return hangUps.load() >= count; });
    }
    // Until the receive thread has failed `count` more passes from now on.
    bool WaitForFailedPasses(int count) const {
        const int until = failedPasses.load() + count;
        return WaitFor([&] { return failedPasses.load() >= until; });
    }

    std::string lockName = "KorvaneHangUpTest" + std::to_string(getpid());
    std::unique_ptr<TOruScomm> connection;
    std::unique_ptr<TOruComThread> thread;
    std::atomic<int> hangUps{0};
    std::atomic<int> failedPasses{0};
};

// The far end writes a burst and hangs up at several points inside the 100 ms read window.
// Not right at its start: the system throws away what a pseudo-terminal has not yet passed
// on when it hangs up, so a burst a few milliseconds before the end is kept only when the
// reader was quick enough (see the README).
TEST_F(HangUpTest, LastBurstBeforeAHangUpIsRecorded) {
    for (const int delayMs : {20, 50, 90}) {
        SCOPED_TRACE(delayMs);
        hangUps = 0;
        PtyPeer peer;
        ASSERT_GE(peer.master, 0);
        Connect(std::make_unique<TComDriverPosix>());
        OpenAndRun(peer.path);
        ASSERT_TRUE(peer.Write(std::string("\x01\x02\x03", 3)));
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        peer.CloseMaster();

        const std::string record = NextRecord(*connection);
        ASSERT_GE(record.size(), 15u);
        EXPECT_EQ(record.substr(15), "01 02 03");
        EXPECT_EQ(connection->RxCount.load(), 3);
        ASSERT_TRUE(WaitForHangUps(1));
        // Told once, however often the dead device fails before the owner closes it.
        ASSERT_TRUE(WaitForFailedPasses(3));
        EXPECT_EQ(hangUps.load(), 1);
        EXPECT_TRUE(connection->HungUp());
        TearDown();
    }
}

TEST_F(HangUpTest, ClosingThePortOurselvesIsNoHangUp) {
    PtyPeer peer;
    ASSERT_GE(peer.master, 0);
    Connect(std::make_unique<TComDriverPosix>());
    for (int round = 0; round < 3; ++round) {
        OpenAndRun(peer.path);
        // The thread is in its loop once a burst came through it.
        ASSERT_TRUE(peer.Write("\x01"));
        ASSERT_FALSE(NextRecord(*connection).empty());
        connection->ClosePort();
        thread.reset();
    }
    // The thread has ended: nothing can report after this.
    EXPECT_EQ(hangUps.load(), 0);
    EXPECT_FALSE(connection->HungUp());
}

// Sends after a hang-up name the port; a reopen starts afresh.
TEST_F(HangUpTest, SendOnAPortThatHungUpSaysItIsGone) {
    PtyPeer peer;
    ASSERT_GE(peer.master, 0);
    TOruScomm& c = Connect(std::make_unique<TComDriverPosix>());
    OpenAndRun(peer.path);
    peer.CloseMaster();
    ASSERT_TRUE(WaitForHangUps(1));
    try {
        c.SendData("01 02");
        FAIL() << "no error";
    } catch (const EComPortGone& e) {
        EXPECT_EQ(e.Port(), peer.path);
        EXPECT_EQ(std::string(e.what()),
                  "The port " + peer.path + " is gone: its device was disconnected.");
    }
    EXPECT_EQ(c.TxCount.load(), 0);
    EXPECT_EQ(c.TakeRecord(), std::nullopt);
}

// What a failing call on the open device means, for errors a terminal cannot be made to give.
TEST_F(HangUpTest, FailuresThatMeanTheDeviceIsGone) {
    struct Case {
        const char* call;
        int32_t error;
        bool present;
        bool gone;
    };
    const Case cases[] = {
        {"WriteFile", EIO, true, true},     {"WriteFile", ENXIO, true, true},
        {"WriteFile", ENODEV, true, true},  {"WriteFile", ECONNRESET, true, true},
        {"WriteFile", EPIPE, true, true},   {"WriteFile", EINVAL, true, false},
        {"WriteFile", EINVAL, false, true}, // the node went away
        {"SetCommState", EIO, true, true},  {"SetCommState", EINVAL, true, false},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(std::string(k.call) + " " + std::to_string(k.error));
        hangUps = 0;
        auto log = std::make_shared<FakeComLog>();
        TOruScomm& c = Connect(std::make_unique<FakeComDriver>(log));
        c.Device->SetPort("ttyUSB0");
        c.OpenPort();
        {
            std::lock_guard<std::mutex> guard(log->lock);
            log->failures[k.call] = k.error;
            log->present = k.present;
        }
        bool gone = false;
        try {
            if (std::string(k.call) == "WriteFile") {
                c.SendData("01");
            } else {
                c.SetLineControl(dtrDisable, rtsEnable);
            }
            ADD_FAILURE() << "no error";
        } catch (const EComPortGone& e) {
            gone = true;
            EXPECT_EQ(e.Port(), "ttyUSB0");
        } catch (const EComPort& e) {
            EXPECT_EQ(e.SystemError(), k.error);
        }
        EXPECT_EQ(gone, k.gone);
        EXPECT_EQ(hangUps.load(), k.gone ? 1 : 0);
        EXPECT_EQ(c.HungUp(), k.gone);
        EXPECT_EQ(c.TxCount.load(), 0);
        TearDown();
    }
}

// The receive thread finds the device gone through its wait, or through a node that vanished
// while the driver only says that nothing came.
TEST_F(HangUpTest, ReceiveThreadReportsAGoneDeviceOnce) {
    struct Case {
        int32_t waitError; // 0: the wait reports data, the read brings none
        bool present;
        bool gone;
    };
    const Case cases[] = {
        {EIO, true, true}, {EINVAL, true, false}, {0, false, true}, {0, true, false}};
    for (const Case& k : cases) {
        SCOPED_TRACE(std::to_string(k.waitError) + (k.present ? " present" : " absent"));
        hangUps = 0;
        auto log = std::make_shared<FakeComLog>();
        {
            std::lock_guard<std::mutex> guard(log->lock);
            if (k.waitError != 0) {
                log->failures["WaitCommEvent"] = k.waitError;
            }
            log->waitEvents = ComEvRxChar;
            log->present = k.present;
        }
        Connect(std::make_unique<FakeComDriver>(log));
        OpenAndRun("ttyUSB0");
        ASSERT_TRUE(WaitForFailedPasses(5));
        EXPECT_EQ(hangUps.load(), k.gone ? 1 : 0);
        TearDown();
    }
}

// A port name is back after a loss only when it leads to the device again: a device node
// that reappears under its link, or a pseudo-terminal registered anew, but not a stale
// link to a pseudo-terminal number that someone else may have got since.
TEST(PortReturned, AStaleLinkToAPseudoTerminalIsNotTheDeviceComingBack) {
    char pattern[] = "/tmp/korvane-hangup-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string folder = pattern;
    TComDriverPosix driver(folder);
    driver.SetLockFolder(std::string());
    PtyPeer first;
    PtyPeer second;
    const std::string link = folder + "/DEV";
    std::filesystem::create_symlink(first.path, link);
    ASSERT_TRUE(driver.Open("DEV"));
    ASSERT_TRUE(driver.Close());
    EXPECT_TRUE(driver.PortPresent("DEV"));
    EXPECT_FALSE(driver.PortReturned("DEV")); // the very link of the lost one

    std::filesystem::remove(link);
    std::filesystem::create_symlink(first.path, link);
    EXPECT_TRUE(driver.PortReturned("DEV")); // registered anew, even to the same number

    std::filesystem::remove(link);
    std::filesystem::create_symlink(second.path, link);
    EXPECT_TRUE(driver.PortReturned("DEV"));
    std::filesystem::remove(link);
    EXPECT_FALSE(driver.PortReturned("DEV"));
    EXPECT_FALSE(driver.PortPresent("DEV"));
    std::filesystem::remove_all(folder);
}

// A read whose bytes came before a failure of the queue count keeps them.
TEST(ComPortRead, BytesReadAreKeptWhenTheQueueCountFailsAfterThem) {
    auto log = std::make_shared<FakeComLog>();
    TComPort port(std::make_unique<FakeComDriver>(log));
    port.OpenDevice();
    {
        std::lock_guard<std::mutex> guard(log->lock);
        log->readChunks.push_back(std::string("\x01\x02\x03", 3));
        log->failures["ClearCommError"] = EIO;
    }
    char buffer[16] = {};
    EXPECT_EQ(port.ReadBytes(buffer, sizeof buffer), 3);
    EXPECT_EQ(std::string(buffer, 3), std::string("\x01\x02\x03", 3));
    // Nothing read: the failure is raised.
    EXPECT_THROW(port.ReadBytes(buffer, sizeof buffer), EComPort);
}

} // namespace
