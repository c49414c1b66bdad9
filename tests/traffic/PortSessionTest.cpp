// The port's life on a fake driver, with the clock and the reconnect timer driven by hand.
#include "traffic/PortSession.h"

#include "platform/NamedLock.h"
#include "serial/FakeComDriver.h"
#include "serial/OruScomm.h"
#include "traffic/EngineFakes.h"

#include <gtest/gtest.h>

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
        "opened",
        "status DEV1 reconnected 09:30:07",
        "note --- DEV1 reconnected 09:30:07",
    };
    EXPECT_EQ(events, expected);
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
