#include "protocol/Values.h"
#include "tools/PortsimProcess.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <string>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<uint8_t>;

// Modbus CRC-16 written bit by bit, independent of the simulator's own.
Bytes WithCrc(Bytes frame) {
    uint16_t crc = 0xFFFF;
    for (uint8_t b : frame) {
        crc ^= b;
        for (int i = 0; i < 8; ++i) {
            const bool lsb = (crc & 1) != 0;
            crc = static_cast<uint16_t>(crc >> 1);
            if (lsb) {
                crc ^= 0xA001;
            }
        }
    }
    frame.push_back(static_cast<uint8_t>(crc & 0xFF));
    frame.push_back(static_cast<uint8_t>(crc >> 8));
    return frame;
}

class PortsimTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("korvane-portsim-" + std::to_string(getpid()));
        fs::remove_all(dir);
    }
    void TearDown() override { fs::remove_all(dir); }

    int OpenPort(const std::string& name) {
        const int fd = open((dir / name).c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd >= 0) {
            termios tio{};
            tcgetattr(fd, &tio);
            cfmakeraw(&tio);
            tcsetattr(fd, TCSANOW, &tio);
        }
        return fd;
    }

    // Reads `count` bytes, fewer when the line stays silent for silenceMs. Never more: a
    // slow reader finds more waiting than it asked for.
    static Bytes ReadBytes(int fd, size_t count, int silenceMs = 5000) {
        Bytes got;
        while (got.size() < count) {
            pollfd pfd{fd, POLLIN, 0};
            if (poll(&pfd, 1, silenceMs) <= 0) {
                break;
            }
            uint8_t buffer[4096];
            const ssize_t n = read(fd, buffer, std::min(sizeof buffer, count - got.size()));
            if (n <= 0) {
                break;
            }
            got.insert(got.end(), buffer, buffer + n);
        }
        return got;
    }

    static Bytes Exchange(int fd, const Bytes& request, size_t replyLength, int silenceMs = 5000) {
        if (write(fd, request.data(), request.size()) != static_cast<ssize_t>(request.size())) {
            return {};
        }
        return ReadBytes(fd, replyLength, silenceMs);
    }

    fs::path dir;
};

TEST_F(PortsimTest, ModbusSlaveAnswersWithCorrectCrcAndSurvivesReopen) {
    PortsimProcess sim({"--dir", dir.string(), "--name", "SIM0", "modbus"});
    ASSERT_TRUE(sim.Ready());
    ASSERT_TRUE(fs::is_symlink(dir / "SIM0"));

    int fd = OpenPort("SIM0");
    ASSERT_GE(fd, 0);
    // Registers start out holding their own numbers.
    EXPECT_EQ(Exchange(fd, WithCrc({1, 0x03, 0, 0, 0, 2}), 9), WithCrc({1, 0x03, 4, 0, 0, 0, 1}));
    EXPECT_EQ(Exchange(fd, WithCrc({1, 0x06, 0, 5, 0x12, 0x34}), 8),
              WithCrc({1, 0x06, 0, 5, 0x12, 0x34}));
    EXPECT_EQ(Exchange(fd, WithCrc({1, 0x10, 0, 6, 0, 2, 4, 0xAB, 0xCD, 0xEF, 0x01}), 8),
              WithCrc({1, 0x10, 0, 6, 0, 2}));
    close(fd);

    // A client that closes and opens again finds the same device with its registers.
    fd = OpenPort("SIM0");
    ASSERT_GE(fd, 0);
    EXPECT_EQ(Exchange(fd, WithCrc({1, 0x03, 0, 5, 0, 3}), 11),
              WithCrc({1, 0x03, 6, 0x12, 0x34, 0xAB, 0xCD, 0xEF, 0x01}));
    const std::vector<std::pair<Bytes, Bytes>> exceptions = {
        {{1, 0x04, 0, 0, 0, 1}, {1, 0x84, 0x01}},    // unsupported function
        {{1, 0x03, 0, 0xFF, 0, 2}, {1, 0x83, 0x02}}, // beyond the table
        {{1, 0x03, 0, 0, 0, 0}, {1, 0x83, 0x03}},    // zero registers
    };
    for (const auto& [request, reply] : exceptions) {
        EXPECT_EQ(Exchange(fd, WithCrc(request), 5), WithCrc(reply));
    }
    // Another slave's request and a broken CRC get no answer; the next request still does.
    Bytes broken = WithCrc({1, 0x03, 0, 0, 0, 1});
    broken.back() ^= 0xFF;
    EXPECT_TRUE(Exchange(fd, WithCrc({2, 0x03, 0, 0, 0, 1}), 1, 200).empty());
    EXPECT_TRUE(Exchange(fd, broken, 1, 200).empty());
    EXPECT_EQ(Exchange(fd, WithCrc({1, 0x03, 0, 1, 0, 1}), 7), WithCrc({1, 0x03, 2, 0, 1}));
    close(fd);

    EXPECT_EQ(sim.Stop(), 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir / "SIM0")));
}

TEST_F(PortsimTest, EchoAndStreamModes) {
    PortsimProcess echo({"--dir", dir.string(), "--name", "ECHO", "echo"});
    PortsimProcess stream({"--dir", dir.string(), "--name", "FAST", "stream", "16", "5"});
    ASSERT_TRUE(echo.Ready());
    ASSERT_TRUE(stream.Ready());

    const int e = OpenPort("ECHO");
    ASSERT_GE(e, 0);
    Bytes sent(3000);
    for (size_t i = 0; i < sent.size(); ++i) {
        sent[i] = static_cast<uint8_t>(i * 7);
    }
    EXPECT_EQ(Exchange(e, sent, sent.size()), sent);
    close(e);

    const int s = OpenPort("FAST");
    ASSERT_GE(s, 0);
    tcflush(s, TCIFLUSH);
    const Bytes got = ReadBytes(s, 64);
    ASSERT_EQ(got.size(), 64u);
    // Whole frames of 16 counting bytes, each starting one above the previous frame. The
    // flush may have cut into a frame, so the first whole one is looked for.
    const auto wholeFrameAt = [&](size_t at) {
        for (size_t i = 1; i < 16; ++i) {
            if (got[at + i] != static_cast<uint8_t>(got[at] + i)) {
                return false;
            }
        }
        return got[at + 16] == static_cast<uint8_t>(got[at] + 1);
    };
    size_t at = 0;
    while (at < 16 && !wholeFrameAt(at)) {
        ++at;
    }
    EXPECT_LT(at, 16u) << "no whole frame in 64 bytes";
    for (size_t frame = at; frame + 16 < got.size(); frame += 16) {
        EXPECT_TRUE(wholeFrameAt(frame)) << "frame at byte " << frame;
    }
    close(s);
}

TEST_F(PortsimTest, SensorModePrintsReadingsAPlotCanTake) {
    PortsimProcess sensor({"--dir", dir.string(), "--name", "SENS", "sensor", "5"});
    ASSERT_TRUE(sensor.Ready());
    const int s = OpenPort("SENS");
    ASSERT_GE(s, 0);
    const Bytes got = ReadBytes(s, 400);
    close(s);
    TSeriesNames names;
    TTextValueSource source(names);
    std::vector<TValueSample> samples;
    source.Feed(0, 0, got.data(), got.size(), samples);
    EXPECT_EQ(names.Names(), (std::vector<std::string>{"temp", "hum", "pressure"}));
    EXPECT_GE(samples.size(), 6u);
    EXPECT_EQ(source.Stats().malformed, 0u);
    for (const TValueSample& sample : samples) {
        const double centre[] = {21.0, 45.0, 1013.25};
        const double swing[] = {3.0, 10.0, 2.0};
        EXPECT_LE(std::abs(sample.value - centre[sample.series]), swing[sample.series] + 0.01);
    }
}

TEST(Portsim, RejectsBadCommandLine) {
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"bogus"},
                                               {"stream", "64"},
                                               {"stream", "0", "10"},
                                               {"sensor", "0"},
                                               {"sensor", "1", "2"},
                                               {"--name", "a/b"}}) {
        PortsimProcess sim(args);
        EXPECT_FALSE(sim.Ready());
        EXPECT_EQ(sim.Stop(), 2);
    }
}

} // namespace
