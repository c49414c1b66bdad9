// A second port that is only listened to, merged with the first over real
// pseudo-terminals: the far ends write interleaved bursts, and the first port's queue holds
// every burst once, with its port's mark, in the order the bursts began.
#include "serial/TrafficMerge.h"

#include "codec/HexCodec.h"
#include "serial/ComDriverPosix.h"
#include "serial/PtyPeer.h"
#include "traffic/DataRT.h"
#include "traffic/EngineFakes.h"
#include "traffic/PortSession.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// Waits for a condition, with a bound far beyond what it takes, so a fault fails the test
// instead of hanging it.
bool WaitFor(const std::function<bool()>& condition) {
    const auto giveUp = std::chrono::steady_clock::now() + 20s;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > giveUp) {
            return false;
        }
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

class TapMergeTest : public ::testing::Test {
protected:
    TapMergeTest() {
        for (auto* c : {&a, &b}) {
            // A burst ends after 8 ms of silence; a longer one is cut at a 60 ms window.
            c->SetRecordGap(8, 60);
        }
    }
    ~TapMergeTest() override {
        threadA.reset();
        threadB.reset();
        merge.reset();
        TNamedLock::Remove(lockA);
        TNamedLock::Remove(lockB);
    }

    void Open(TOruScomm& c, std::unique_ptr<TOruComThread>& thread, const std::string& port) {
        c.Device->SetPort(port);
        c.OpenPort();
        thread = std::make_unique<TOruComThread>(c);
        thread->Unpark();
    }

    // Takes what the first queue holds now.
    void Drain() {
        while (std::optional<TQueuedRecord> record = a.TakeRecord()) {
            taken.push_back(std::move(*record));
        }
    }

    // Bytes of each port in the order taken; every record marked R or B, the starts in order.
    void CheckTaken(std::string& bytesA, std::string& bytesB) {
        for (size_t i = 0; i < taken.size(); ++i) {
            const TQueuedRecord& r = taken[i];
            ASSERT_FALSE(r.empty());
            ASSERT_TRUE(r.front() == 'R' || r.front() == 'B') << r;
            (r.front() == 'R' ? bytesA : bytesB) += RecordBytes(r, true);
            if (i > 0) {
                EXPECT_FALSE(StartsBefore(r.Start, taken[i - 1].Start))
                    << "record " << i << " began " << taken[i - 1].Start - r.Start
                    << " ms before the one before it";
            }
        }
    }

    const std::string lockA = "KorvaneTapTestA" + std::to_string(getpid());
    const std::string lockB = "KorvaneTapTestB" + std::to_string(getpid());
    TOruScomm a{SystemClock::Instance(), std::make_unique<TComDriverPosix>(), lockA};
    TOruScomm b{SystemClock::Instance(), std::make_unique<TComDriverPosix>(), lockB};
    std::unique_ptr<TTrafficMerge> merge = std::make_unique<TTrafficMerge>(a, b);
    std::unique_ptr<TOruComThread> threadA;
    std::unique_ptr<TOruComThread> threadB;
    std::vector<TQueuedRecord> taken;
};

// Bytes of port A have the high bit clear, those of B set, so a wrong mark shows.
std::string Burst(bool portA, size_t size, uint8_t& next) {
    std::string bytes;
    for (size_t i = 0; i < size; ++i) {
        bytes += static_cast<char>(portA ? (next & 0x7F) : (next | 0x80));
        ++next;
    }
    return bytes;
}

TEST_F(TapMergeTest, InterleavedBurstsArriveOnceMarkedAndInTheOrderTheyBegan) {
    PtyPeer peerA;
    PtyPeer peerB;
    ASSERT_GE(peerA.master, 0);
    ASSERT_GE(peerB.master, 0);
    Open(a, threadA, peerA.path);
    Open(b, threadB, peerB.path);
    EXPECT_EQ(b.ReceivedDirection, 'B');

    std::string sentA;
    std::string sentB;
    std::string longBurst;
    uint8_t next = 1;
    // Bursts 5 to 40 ms apart, alternating between the ports, some of one port
    // back to back.
    const std::vector<std::pair<bool, int>> plan = {
        {true, 5},  {false, 5},  {true, 12}, {false, 40}, {false, 5}, {true, 7},
        {false, 9}, {true, 25},  {false, 5}, {true, 5},   {true, 33}, {false, 6},
        {true, 18}, {false, 11}, {true, 5},  {false, 5},  {true, 40}, {false, 5},
    };
    for (size_t i = 0; i < plan.size(); ++i) {
        const auto [portA, pauseMs] = plan[i];
        const std::string bytes = Burst(portA, 3 + i % 5, next);
        ASSERT_TRUE((portA ? peerA : peerB).Write(bytes));
        (portA ? sentA : sentB) += bytes;
        std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
        if (i == plan.size() / 2) {
            // A burst of A longer than the read window, byte by byte, with bursts of B
            // beginning and ending inside it: A's record of its start comes later than
            // B's but began earlier.
            for (int piece = 0; piece < 24; ++piece) {
                const std::string byte = Burst(true, 1, next);
                ASSERT_TRUE(peerA.Write(byte));
                sentA += byte;
                longBurst += byte;
                if (piece % 8 == 2) {
                    const std::string shortB = Burst(false, 2, next);
                    ASSERT_TRUE(peerB.Write(shortB));
                    sentB += shortB;
                }
                std::this_thread::sleep_for(3ms);
            }
        }
    }
    ASSERT_TRUE(WaitFor([&] {
        return a.RxCount.load() == static_cast<int32_t>(sentA.size()) &&
               b.RxCount.load() == static_cast<int32_t>(sentB.size());
    })) << a.RxCount
        << "/" << sentA.size() << " " << b.RxCount << "/" << sentB.size();
    Drain();
    EXPECT_EQ(merge->Held(), 0u);

    std::string gotA;
    std::string gotB;
    CheckTaken(gotA, gotB);
    EXPECT_EQ(BytesToHex(gotA, " "), BytesToHex(sentA, " "));
    EXPECT_EQ(BytesToHex(gotB, " "), BytesToHex(sentB, " "));
    // The long burst was cut where the read window ended: no record holds all of it.
    for (const TQueuedRecord& r : taken) {
        EXPECT_EQ(RecordBytes(r, true).find(longBurst), std::string::npos);
    }
    // Nothing went to either port.
    EXPECT_EQ(peerA.Read(1, 0), "");
    EXPECT_EQ(peerB.Read(1, 0), "");
    EXPECT_THROW(b.SendData("01"), ECom);
    EXPECT_EQ(b.TxCount.load(), 0);
}

// The tap is unplugged while the first port streams on: the first port's records keep
// coming, the tap's session closes it and opens it again when it returns under its name,
// and its bursts join the merge again.
TEST_F(TapMergeTest, ATapUnpluggedAndBackLeavesTheFirstPortStreaming) {
    const fs::path folder = fs::temp_directory_path() / ("korvane-tap-" + std::to_string(getpid()));
    fs::create_directories(folder);
    const std::string tapName = (folder / "tapB").string();
    auto peerB = std::make_unique<PtyPeer>();
    PtyPeer peerA;
    ASSERT_GE(peerA.master, 0);
    ASSERT_GE(peerB->master, 0);
    fs::create_symlink(peerB->path, tapName);

    std::atomic<int> hangUps{0};
    b.OnHangUp = [&] { ++hangUps; };
    Open(a, threadA, peerA.path);
    threadB = std::make_unique<TOruComThread>(b);
    ManualClock clock;
    ManualTimerFactory timers;
    TPortSession session(b, clock, timers.Factory(),
                         TPortSession::Hooks{.opened = [&] { threadB->Unpark(); },
                                             .closed = [&] { threadB->Park(); },
                                             .showStatus = nullptr,
                                             .showNote = nullptr});
    b.Device->SetPort(tapName);
    session.Open();

    std::string sentA;
    std::string sentB;
    uint8_t nextA = 1;
    uint8_t nextB = 1;
    std::atomic<bool> streaming{true};
    std::mutex sentLock;
    std::thread writer([&] {
        while (streaming) {
            const std::string bytes = Burst(true, 4, nextA);
            {
                std::lock_guard<std::mutex> guard(sentLock);
                sentA += bytes;
            }
            peerA.Write(bytes);
            std::this_thread::sleep_for(6ms);
        }
    });
    const auto receivedA = [&] { return a.RxCount.load(); };

    std::string bytes = Burst(false, 5, nextB);
    ASSERT_TRUE(peerB->Write(bytes));
    sentB += bytes;
    ASSERT_TRUE(WaitFor([&] { return b.RxCount.load() == 5; }));
    peerB.reset(); // unplugged
    ASSERT_TRUE(WaitFor([&] { return hangUps.load() == 1; }));
    EXPECT_TRUE(session.HangUp());
    EXPECT_TRUE(session.Waiting());
    const int32_t atHangUp = receivedA();
    ASSERT_TRUE(WaitFor([&] { return receivedA() >= atHangUp + 40; }));

    // Back under its name (a new terminal behind the link).
    peerB = std::make_unique<PtyPeer>();
    ASSERT_GE(peerB->master, 0);
    fs::remove(tapName);
    fs::create_symlink(peerB->path, tapName);
    timers.timers.at(0)->Fire();
    ASSERT_TRUE(b.Device->Connected());
    EXPECT_FALSE(session.Waiting());
    bytes = Burst(false, 6, nextB);
    ASSERT_TRUE(peerB->Write(bytes));
    sentB += bytes;
    ASSERT_TRUE(WaitFor([&] { return b.RxCount.load() == 11; }));
    const int32_t atReturn = receivedA();
    ASSERT_TRUE(WaitFor([&] { return receivedA() >= atReturn + 40; }));

    streaming = false;
    writer.join();
    ASSERT_TRUE(WaitFor([&] { return receivedA() == static_cast<int32_t>(sentA.size()); }));
    Drain();
    std::string gotA;
    std::string gotB;
    CheckTaken(gotA, gotB);
    EXPECT_EQ(BytesToHex(gotA, " "), BytesToHex(sentA, " "));
    EXPECT_EQ(BytesToHex(gotB, " "), BytesToHex(sentB, " "));
    session.Close();
    fs::remove_all(folder);
}

} // namespace
