// The port's life on a fake driver, with the clock and the reconnect timer driven by hand.
#include "traffic/PortSession.h"

#include "platform/NamedLock.h"
#include "serial/FakeComDriver.h"
#include "serial/OruScomm.h"
#include "traffic/EngineFakes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

namespace {

class PortSessionTest : public ::testing::Test {
protected:
    PortSessionTest() {
        connection.Device->SetPort("DEV1");
        TPortSession::Hooks hooks;
        hooks.opened = [this] { events.push_back("opened"); };
        hooks.closed = [this] { events.push_back("closed"); };
        hooks.showStatus = [this](const std::string& t) { events.push_back("status " + t); };
        hooks.showNote = [this](const std::string& t) { events.push_back("note " + t); };
        session =
            std::make_unique<TPortSession>(connection, clock, timers.Factory(), std::move(hooks));
        clock.SetDayTime(9, 30, 5);
    }
    ~PortSessionTest() override { TNamedLock::Remove(lockName); }

    void SetFailure(const std::string& call, int32_t error) {
        std::lock_guard<std::mutex> guard(log->lock);
        if (error == 0) {
            log->failures.erase(call);
        } else {
            log->failures[call] = error;
        }
    }
    void SetPresent(bool present) {
        std::lock_guard<std::mutex> guard(log->lock);
        log->present = present;
    }
    // What the receive thread does when its read fails because the device went away.
    void DeviceGoes() {
        SetPresent(false);
        ASSERT_TRUE(connection.NoteFailure(EComPort(CE_ReadFailed, EIO)));
    }
    ManualTimer& Watch() { return *timers.timers.at(0); }

    const std::string lockName = "/KorvaneSessionTest" + std::to_string(::getpid());
    std::shared_ptr<FakeComLog> log = std::make_shared<FakeComLog>();
    ManualClock clock;
    ManualTimerFactory timers;
    TOruScomm connection{clock, std::make_unique<FakeComDriver>(log), lockName};
    std::vector<std::string> events;
    std::unique_ptr<TPortSession> session;
};

TEST_F(PortSessionTest, FailedOpenIsOneAttemptWithTheReasonAndLeavesThePortClosed) {
    SetFailure("Open", ENOENT);
    EXPECT_THROW(session->Open(), ECom);
    EXPECT_EQ(log->Count("Open:DEV1"), 1u);
    EXPECT_FALSE(connection.Device->Connected());
    EXPECT_TRUE(events.empty());
}

TEST_F(PortSessionTest, HangUpClosesSaysSoAndReopensWhenThePortReturns) {
    session->Open();
    DeviceGoes();
    EXPECT_TRUE(session->HangUp());
    EXPECT_FALSE(connection.Device->Connected());
    EXPECT_TRUE(session->Waiting());
    EXPECT_EQ(session->Port(), "DEV1");

    // Not back yet: the looks change nothing.
    Watch().Fire();
    Watch().Fire();
    EXPECT_FALSE(connection.Device->Connected());

    // Back, but the first open fails (its permissions are still being set): next look.
    SetPresent(true);
    SetFailure("Open", EACCES);
    clock.Advance(1000);
    Watch().Fire();
    EXPECT_TRUE(session->Waiting());
    SetFailure("Open", 0);
    clock.Advance(1000);
    Watch().Fire();
    EXPECT_TRUE(connection.Device->Connected());
    EXPECT_FALSE(session->Waiting());
    EXPECT_FALSE(connection.HungUp());

    const std::vector<std::string> expected = {
        "opened",
        "closed",
        "status DEV1 disconnected 09:30:05",
        "note --- DEV1 disconnected 09:30:05",
        // A failed reopen waits twice as long before the next look, and says so.
        "status DEV1 did not open again, next try in 1 s",
        "note --- DEV1 did not open again, next try in 1 s",
        // The line comes before the receive thread may run: nothing new shows above it.
        "note --- DEV1 reconnected 09:30:07",
        "opened",
        "status DEV1 reconnected 09:30:07",
    };
    EXPECT_EQ(events, expected);
}

// A server that takes every connection and ends it at once: each drop in a row waits
// twice as long before the first look, up to 30 s, and says so; a connection that lived
// 10 s starts the count afresh.
TEST_F(PortSessionTest, ConnectionsDroppedAtOnceAreTriedAgainLaterEachTime) {
    const auto lastStatus = [this] {
        for (auto e = events.rbegin(); e != events.rend(); ++e) {
            if (e->rfind("status ", 0) == 0) {
                return e->substr(7);
            }
        }
        return std::string();
    };
    struct Drop {
        uint32_t lived;
        uint32_t wait;
        std::string said;
    };
    const std::vector<Drop> drops = {
        {0, 500, "DEV1 disconnected 09:30:05"},
        {9999, 1000, "DEV1 disconnected 09:30:15, next try in 1 s"},
        {20, 2000, "DEV1 disconnected 09:30:16, next try in 2 s"},
        {20, 4000, "DEV1 disconnected 09:30:18, next try in 4 s"},
        {20, 8000, "DEV1 disconnected 09:30:22, next try in 8 s"},
        {20, 16000, "DEV1 disconnected 09:30:30, next try in 16 s"},
        {20, 30000, "DEV1 disconnected 09:30:46, next try in 30 s"},
        {20, 30000, "DEV1 disconnected 09:31:16, next try in 30 s"},
        {10000, 500, "DEV1 disconnected 09:31:56"},
        {20, 1000, "DEV1 disconnected 09:31:57, next try in 1 s"},
        {20, 2000, "DEV1 disconnected 09:31:58, next try in 2 s"},
    };
    session->Open();
    for (const Drop& d : drops) {
        SCOPED_TRACE(d.said);
        clock.Advance(d.lived);
        DeviceGoes();
        ASSERT_TRUE(session->HangUp());
        EXPECT_EQ(Watch().Interval(), d.wait);
        EXPECT_EQ(lastStatus(), d.said);
        // korvane-cli shows only the grey line while reconnecting: it says the same.
        EXPECT_EQ(events.back(), "note --- " + d.said);
        // The first look after the wait finds the server taking connections again.
        SetPresent(true);
        clock.Advance(d.wait);
        Watch().Fire();
        ASSERT_TRUE(connection.Device->Connected());
        // Later looks of a wait come at the usual pace.
        EXPECT_EQ(Watch().Interval(), TPortSession::CheckIntervalMs);
    }
}

// A server that takes every connection and ends it at once, or one that fails every reopen,
// is tried less and less often: ten minutes on the clock see 25 attempts, not the 1200 of a
// look twice a second.
TEST_F(PortSessionTest, AHostileServerIsNotHammered) {
    for (const bool opensThenDrops : {true, false}) {
        SCOPED_TRACE(opensThenDrops ? "accepts and drops" : "every reopen fails");
        SetFailure("Open", 0);
        SetPresent(true);
        session->Open();
        const uint32_t start = clock.Milliseconds();
        const size_t before = log->Count("Open:DEV1");
        std::vector<uint32_t> gaps;
        uint32_t lastAttempt = start;
        size_t seen = before;
        bool first = true;
        while (gaps.size() < 25) {
            if (connection.Device->Connected()) {
                // The server ends the connection as soon as it has it.
                DeviceGoes();
                ASSERT_TRUE(session->HangUp());
                SetPresent(true);
                if (first && !opensThenDrops) {
                    SetFailure("Open", EIO);
                }
                first = false;
            }
            ASSERT_TRUE(session->Waiting());
            clock.Advance(Watch().Interval());
            Watch().Fire();
            if (const size_t now = log->Count("Open:DEV1"); now != seen) {
                ASSERT_EQ(now, seen + 1);
                seen = now;
                gaps.push_back(clock.Milliseconds() - lastAttempt);
                lastAttempt = clock.Milliseconds();
            }
        }
        std::vector<uint32_t> expected = {500, 1000, 2000, 4000, 8000, 16000};
        expected.resize(25, 30000);
        EXPECT_EQ(gaps, expected);
        EXPECT_EQ(clock.Milliseconds() - start, 601500u);
        // The last wait said how long it was.
        const auto said = std::find_if(events.rbegin(), events.rend(), [](const std::string& e) {
            return e.rfind("note --- DEV1 disconnected", 0) == 0 ||
                   e.rfind("note --- DEV1 did not open again", 0) == 0;
        });
        ASSERT_NE(said, events.rend());
        EXPECT_NE(said->find(", next try in 30 s"), std::string::npos) << *said;
        session->Close();
    }
}

TEST_F(PortSessionTest, WithoutReconnectAHangUpOnlyClosesAndSaysSo) {
    session->SetReconnect(false);
    session->Open();
    DeviceGoes();
    EXPECT_TRUE(session->HangUp());
    EXPECT_FALSE(session->Waiting());
    EXPECT_EQ(events.back(), "status DEV1 disconnected 09:30:05");
    // A second report of the same hang-up, or one after the user closed, does nothing.
    EXPECT_FALSE(session->HangUp());
}

TEST_F(PortSessionTest, UserEndsTheWait) {
    session->Open();
    DeviceGoes();
    session->HangUp();
    for (const auto end : {0, 1}) {
        if (end == 0) {
            session->StopWaiting(); // the port button
        } else {
            session->SetReconnect(false); // the menu item
        }
        SetPresent(true);
        Watch().Fire();
        EXPECT_FALSE(connection.Device->Connected()) << end;
        EXPECT_FALSE(session->Waiting()) << end;
        session->SetReconnect(true);
        SetPresent(false);
        session->Open();
        DeviceGoes();
        session->HangUp();
    }
}

} // namespace
