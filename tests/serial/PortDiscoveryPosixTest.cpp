#include "serial/PortDiscovery.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

class PortDiscoveryTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::remove_all(root);
        fs::create_directories(root / "devices");
        fs::create_directories(sys);
        fs::create_directories(ports);
    }
    void TearDown() override { fs::remove_all(root); }

    // A tty entry as sysfs shows it: device link when hardware stands behind it, and the
    // UART type file of serial8250 ports.
    void Tty(const std::string& name, bool device, const char* type = nullptr) {
        fs::create_directories(sys / name);
        if (device) {
            fs::create_directory_symlink(root / "devices", sys / name / "device");
        }
        if (type != nullptr) {
            std::ofstream(sys / name / "type") << type << "\n";
        }
    }

    std::vector<std::string> List() {
        std::vector<std::string> list{"kept"};
        ListSerialPorts(list, sys.string(), ports.string());
        ListModemPorts(list);
        return list;
    }

    fs::path root = fs::temp_directory_path() / ("korvane-discovery-" + std::to_string(getpid()));
    fs::path sys = root / "class-tty";
    fs::path ports = root / "ports";
};

TEST_F(PortDiscoveryTest, KernelPortsWithHardwareThenLiveVirtualPortsInNaturalOrder) {
    Tty("ttyS10", true, "4");
    Tty("ttyS2", true, "4");
    Tty("ttyS3", true, "0"); // 8250 slot without a UART
    Tty("ttyS4", true);      // no type file: type unknown
    Tty("ttyUSB1", true);
    Tty("ttyUSB0", true);
    Tty("ttyACM0", true);
    Tty("tty5", false); // virtual console
    Tty("ptmx", false);
    std::ofstream(root / "pts") << "";
    fs::create_symlink(root / "pts", ports / "SIM10");
    fs::create_symlink(root / "pts", ports / "SIM2");
    fs::create_symlink(root / "gone", ports / "STALE"); // its simulator died
    std::ofstream(ports / "notes.txt") << "not a port";

    EXPECT_EQ(List(), (std::vector<std::string>{"kept", "ttyACM0", "ttyS2", "ttyS10", "ttyUSB0",
                                                "ttyUSB1", "SIM2", "SIM10"}));
}

TEST_F(PortDiscoveryTest, MissingSourcesAddNothing) {
    fs::remove_all(sys);
    fs::remove_all(ports);
    EXPECT_EQ(List(), std::vector<std::string>{"kept"});
}

} // namespace
