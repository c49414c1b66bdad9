// The engine with a real connection and receive thread over a pseudo-terminal: the test is
// the device on the master side. Real time passes here, so every wait polls up to a
// generous deadline and the assertions are on content only.

#include "traffic/DataRT.h"

#include "serial/OruScomm.h"
#include "traffic/EngineFakes.h"
#include "traffic/MemoryTextView.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <regex>
#include <string>
#include <thread>

namespace {

class PtyPeer {
public:
    PtyPeer() {
        m_master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (m_master < 0 || grantpt(m_master) != 0 || unlockpt(m_master) != 0) {
            return;
        }
        const char* name = ptsname(m_master);
        if (name != nullptr) {
            m_slavePath = name;
        }
        fcntl(m_master, F_SETFL, fcntl(m_master, F_GETFL) | O_NONBLOCK);
    }
    ~PtyPeer() {
        if (m_master >= 0) {
            close(m_master);
        }
    }
    PtyPeer(const PtyPeer&) = delete;
    PtyPeer& operator=(const PtyPeer&) = delete;

    bool Ready() const { return m_master >= 0 && !m_slavePath.empty(); }
    const std::string& SlavePath() const { return m_slavePath; }

    bool Write(const std::string& bytes) {
        return write(m_master, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    }
    // Whatever the port has sent so far.
    std::string ReadAvailable() {
        std::string got;
        char buffer[256];
        for (;;) {
            const ssize_t n = read(m_master, buffer, sizeof buffer);
            if (n <= 0) {
                return got;
            }
            got.append(buffer, static_cast<size_t>(n));
        }
    }

private:
    int m_master = -1;
    std::string m_slavePath;
};

TEST(DataRTOverPty, AnswersARequestAndShowsTheBurstAsOneLine) {
    PtyPeer peer;
    ASSERT_TRUE(peer.Ready());

    TOruScomm connection(SystemClock::Instance(), nullptr,
                         "KorvaneDataRTPtyTest" + std::to_string(getpid()));
    connection.Device->SetPort(peer.SlavePath());
    connection.OpenPort();
    TOruComThread receiver(connection);
    receiver.Unpark();

    MemoryFocus focus;
    MemoryTextView sendEdit(focus);
    MemoryTextView traffic(focus);
    MemoryTextView search(focus);
    sendEdit.SetText("01 03 00 00 00 01\r\n01 03 02 00 2A");
    SettingsRecord settings = SettingsRecord::Fresh();
    settings.showTime = true;
    settings.showRxTx = true;
    settings.receiveTriggerEnabled = true;
    settings.receiveTriggers[0] = {1, 2};
    settings.receiveTriggerDelay = 50;
    RecordingPrompter prompter;
    ManualTimerFactory timers;
    TDataRT engine(&sendEdit, &traffic, &search, &connection, settings, SystemClock::Instance(),
                   prompter, timers.Factory());
    engine.ApplySettings(settings);
    ManualTimer& pump = *timers.timers.at(0);

    // One request written in two parts: the receive thread's read window joins them.
    ASSERT_TRUE(peer.Write(std::string("\x01\x03\x00", 3)));
    ASSERT_TRUE(peer.Write(std::string("\x00\x00\x01", 3)));

    const std::string reply("\x01\x03\x02\x00\x2A", 5);
    std::string answered;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline &&
           (answered.size() < reply.size() || traffic.LineCount() < 3)) {
        pump.Fire();
        answered += peer.ReadAvailable();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    receiver.Stop();

    EXPECT_EQ(answered, reply);
    EXPECT_TRUE(prompter.boxes.empty());
    const auto lines = traffic.Lines();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines.size(), 3u) << traffic.Text(); // two traffic lines and the empty last
    const std::regex header(R"(\[\d\d:\d\d:\d\d( ---| [ \d]{2}\d) (Rx|Tx)\] )");
    const auto& runs = traffic.Runs();
    ASSERT_EQ(runs.size(), 4u);
    EXPECT_TRUE(std::regex_match(runs[0].text, header)) << runs[0].text;
    EXPECT_NE(runs[0].text.find(" Rx] "), std::string::npos);
    EXPECT_EQ(runs[0].attributes.color, TrafficPrefixColor);
    EXPECT_EQ(runs[1].text, "01 03 00 00 00 01\r\n");
    EXPECT_EQ(runs[1].attributes.color, settings.receiveTextColor);
    EXPECT_TRUE(std::regex_match(runs[2].text, header)) << runs[2].text;
    EXPECT_NE(runs[2].text.find(" Tx] "), std::string::npos);
    EXPECT_EQ(runs[3].text, "01 03 02 00 2A \r\n");
    EXPECT_EQ(runs[3].attributes.color, settings.sendTextColor);
}

} // namespace
