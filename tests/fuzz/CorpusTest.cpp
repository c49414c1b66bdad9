// Every fuzz target over its seed corpus (and whatever crash inputs were added to it),
// once, deterministically: no fuzzing here.
#include "fuzz/FuzzTargets.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

std::vector<fs::path> FilesIn(const fs::path& folder) {
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.is_regular_file() && entry.path().filename() != "README.md") {
            files.push_back(entry.path());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

struct Target {
    const char* name;
    void (*run)(std::string_view);
    bool withRtfFixtures;
};

TEST(FuzzCorpus, EveryTargetTakesEverySeed) {
    const Target targets[] = {
        {"RtfReader", FuzzRtfReader, true},
        {"RtfRoundTrip", FuzzRtfRoundTrip, false},
        {"HexAndChecksums", FuzzHexAndChecksums, false},
        {"SettingsLoader", FuzzSettingsLoader, false},
        {"ModbusDecoder", FuzzModbusDecoder, false},
        {"TelnetDecoder", FuzzTelnetDecoder, false},
    };
    for (const Target& target : targets) {
        std::vector<fs::path> seeds = FilesIn(fs::path(FUZZ_CORPUS) / target.name);
        if (target.withRtfFixtures) {
            for (const fs::path& fixture : FilesIn(RTF_FIXTURES)) {
                if (fixture.extension() == ".rtf") {
                    seeds.push_back(fixture);
                }
            }
        }
        EXPECT_GE(seeds.size(), 3u) << target.name << ": seed corpus missing";
        for (const fs::path& seed : seeds) {
            SCOPED_TRACE(seed.string());
            target.run(ReadAll(seed));
        }
    }
}

} // namespace
