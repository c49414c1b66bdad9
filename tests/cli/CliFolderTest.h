#pragma once
// The fixture of the korvane-cli tests: a data folder of its own for each test (the
// program's settings and virtual ports live there), removed afterwards, and portsim as the
// device on port SIM0.

#include "../tools/PortsimProcess.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

// The lines of a program's output, without their ends.
inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

class CliFolderTest : public ::testing::Test {
protected:
    void SetUp() override {
        namespace fs = std::filesystem;
        std::string pattern = (fs::temp_directory_path() / "korvane-cli-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        m_folder = pattern;
        setenv("XDG_DATA_HOME", m_folder.c_str(), 1);
        unsetenv("NO_COLOR");
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(m_folder, ignored);
    }
    std::unique_ptr<PortsimProcess> StartDevice(const std::string& mode) {
        auto device =
            std::make_unique<PortsimProcess>(std::vector<std::string>{"--name", "SIM0", mode});
        EXPECT_TRUE(device->Ready());
        return device;
    }
    std::string Path(const std::string& name) const { return m_folder + "/" + name; }

    std::string m_folder;
};
