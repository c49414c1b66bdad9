#include "serial/PortDiscovery.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

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
