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

TEST(NaturalLess, NumbersCompareByValue) {
    const std::vector<std::pair<std::string, std::string>> ordered = {
        {"ttyS2", "ttyS10"}, {"ttyS9", "ttyS10"}, {"ttyACM0", "ttyS0"}, {"COM2", "COM10"},
        {"a", "a1"},         {"ttyS02", "ttyS3"}, {"ttyS2", "ttyS02"},  {"x1y2", "x1y10"},
    };
    for (const auto& [a, b] : ordered) {
        EXPECT_TRUE(NaturalLess(a, b)) << a << " < " << b;
        EXPECT_FALSE(NaturalLess(b, a)) << b << " !< " << a;
    }
    EXPECT_FALSE(NaturalLess("ttyS1", "ttyS1"));
}

// The registry's rules for the serial device map and the modem classes.
TEST(RegistryPortRules, DeviceMapListsPortNamesInRegistryOrder) {
    std::vector<std::string> list{"kept"};
    AppendDeviceMapPorts(list, {
                                   {"\\Device\\Serial0", "COM1"},
                                   {"\\Device\\Serial1", "COM3"},
                                   {"COM7", "\\Device\\VSerial7"},      // listed by its name
                                   {"\\Device\\com0com10", "CNCA0"},    // no port name
                                   {"\\Device\\Serial2", std::nullopt}, // no text
                                   {"\\Device\\Serial3", "co"},
                                   {"\\Device\\Serial4", "com12"},
                                   {"\\Device\\Serial5", "COM1"}, // twice in the map
                               });
    EXPECT_EQ(list, (std::vector<std::string>{"kept", "COM1", "COM3", "COM7", "com12", "COM1"}));
}

TEST(RegistryPortRules, ModemAddsItsNameThenAPortNotListedYet) {
    std::vector<std::string> list{"COM1", "COM3"};
    AppendModem(list, "Modem A", "com3");       // port listed already, case ignored
    AppendModem(list, "Modem B", "COM5");       // new port
    AppendModem(list, "Modem A", std::nullopt); // a name is listed even when repeated
    AppendModem(list, std::nullopt, "COM6");    // no name value
    AppendModem(list, "Line", "LPT1");          // not a port name
    AppendModem(list, std::string(), "COM5");   // an empty name is still an item
    EXPECT_EQ(list, (std::vector<std::string>{"COM1", "COM3", "Modem A", "Modem B", "COM5",
                                              "Modem A", "COM6", "Line", ""}));
}

TEST(RegistryPortRules, PortNamesStartWithComIgnoringCase) {
    for (const char* name : {"COM1", "com12", "Com3x", "cOM"}) {
        EXPECT_TRUE(IsComPortName(name)) << name;
    }
    for (const char* name : {"", "co", "CNCA0", " COM1", "LPT1"}) {
        EXPECT_FALSE(IsComPortName(name)) << name;
    }
}

} // namespace
