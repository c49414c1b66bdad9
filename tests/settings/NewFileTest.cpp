// Files that must never replace another: a numbered name when the first is taken, whole
// content or no file, and writers racing for one name each getting a file of their own.

#include "platform/FileIO.h"
#include "settings/SettingsTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

using NewFileWrite = TempFolderTest;

std::map<std::string, std::string> Contents(const std::string& folder) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        files[name] = entry.is_regular_file() && !entry.is_symlink()
                          ? ReadFileBytes(entry.path().string())
                          : std::string("<other>");
    }
    return files;
}

} // namespace

TEST_F(NewFileWrite, TakesTheFirstFreeNameAndLeavesEveryExistingEntryAlone) {
    const struct {
        const char* name;
        std::vector<std::string> files;   // existing, each holding "old"
        std::vector<std::string> folders; // existing folders
        std::string dangling;             // an existing link to nowhere
        std::string expected;
    } cases[] = {
        {"free", {}, {}, "", "s.rtf"},
        {"taken", {"s.rtf"}, {}, "", "s_00001.rtf"},
        {"a gap in the numbers", {"s.rtf", "s_00001.rtf", "s_00003.rtf"}, {}, "", "s_00002.rtf"},
        {"other stems and extensions", {"s.txt", "s_00001", "t.rtf"}, {}, "", "s.rtf"},
        {"a folder of that name", {}, {"s.rtf"}, "", "s_00001.rtf"},
        {"a link to nowhere", {}, {}, "s.rtf", "s_00001.rtf"},
    };
    int index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string folder = Root() + "/case" + std::to_string(index++);
        fs::create_directories(folder);
        std::map<std::string, std::string> expected;
        for (const std::string& name : c.files) {
            WriteRaw(folder + "/" + name, "old");
            expected[name] = "old";
        }
        for (const std::string& name : c.folders) {
            fs::create_directories(folder + "/" + name);
            expected[name] = "<other>";
        }
        if (!c.dangling.empty()) {
            fs::create_symlink(folder + "/nowhere", folder + "/" + c.dangling);
            expected[c.dangling] = "<other>";
        }
        const std::string written = WriteNewFileAtomically(folder, "s", ".rtf", "new\n");
        EXPECT_EQ(written, folder + "/" + c.expected);
        expected[c.expected] = "new\n";
        // No temporary file stays behind either.
        EXPECT_EQ(Contents(folder), expected);
        EXPECT_FALSE(fs::exists(folder + "/nowhere"));
    }
}

TEST_F(NewFileWrite, WritersRacingForOneNameEachGetAFileOfTheirOwn) {
    constexpr int kWriters = 6;
    constexpr int kEach = 8;
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w) {
        writers.emplace_back([this, w] {
            for (int i = 0; i < kEach; ++i) {
                WriteNewFileAtomically(Root(), "20260101120000", ".rtf",
                                       std::to_string(w) + "/" + std::to_string(i));
            }
        });
    }
    for (std::thread& t : writers) {
        t.join();
    }
    const std::map<std::string, std::string> files = Contents(Root());
    std::set<std::string> contents;
    std::set<std::string> names;
    for (const auto& [name, content] : files) {
        names.insert(name);
        contents.insert(content);
    }
    EXPECT_EQ(files.size(), static_cast<size_t>(kWriters * kEach));
    EXPECT_EQ(contents.size(), static_cast<size_t>(kWriters * kEach));
    EXPECT_TRUE(names.count("20260101120000.rtf"));
    EXPECT_TRUE(names.count("20260101120000_000" + std::to_string(kWriters * kEach - 1) + ".rtf"));
}

TEST_F(NewFileWrite, NamesSortedByNameAreInTheOrderTheyWereWritten) {
    std::vector<std::string> written;
    for (int i = 0; i < 12; ++i) {
        written.push_back(
            fs::path(WriteNewFileAtomically(Root(), "20260101120000", ".rtf", std::to_string(i)))
                .filename()
                .string());
    }
    std::vector<std::string> byName;
    for (const auto& [name, content] : Contents(Root())) {
        byName.push_back(name);
        EXPECT_EQ(content, std::to_string(byName.size() - 1)) << name;
    }
    EXPECT_EQ(byName, written);
    EXPECT_EQ(written[10], "20260101120000_00010.rtf");

    const struct {
        int number;
        const char* name;
    } cases[] = {{0, "s"}, {1, "s_00001"}, {99, "s_00099"}, {NumberedFileNames - 1, "s_99999"}};
    for (const auto& c : cases) {
        EXPECT_EQ(NumberedFileName("s", c.number), c.name);
    }
}

TEST_F(NewFileWrite, AMissingFolderFailsNamingTheFileAndTheReason) {
    const std::string folder = Root() + "/missing";
    try {
        WriteNewFileAtomically(folder, "s", ".rtf", "x");
        FAIL() << "no error";
    } catch (const EFileError& e) {
        EXPECT_EQ(e.Path(), folder + "/s.rtf");
        EXPECT_EQ(e.ErrorCode(), ENOENT);
    }
    EXPECT_FALSE(fs::exists(folder));
}
