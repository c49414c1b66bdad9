#include "platform/FileIO.h"
#include "settings/SettingsTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

class SettingsAtomicWrite : public TempFolderTest {
protected:
    // Nothing but the named entries: no temporary file may be left behind.
    std::vector<std::string> Entries() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(Root())) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }
};

} // namespace

TEST_F(SettingsAtomicWrite, ReplacesTheWholeFileAndKeepsItsPermissions) {
    const std::string path = Root() + "/data";
    WriteFileAtomically(path, std::string("\0first\xFF", 7));
    EXPECT_EQ(ReadFileBytes(path), std::string("\0first\xFF", 7));

    ASSERT_EQ(chmod(path.c_str(), 0640), 0);
    WriteFileAtomically(path, "2nd");
    EXPECT_EQ(ReadFileBytes(path), "2nd");
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(Entries(), std::vector<std::string>{"data"});
}

TEST_F(SettingsAtomicWrite, TargetThatIsAFolderFailsWithPathAndReason) {
    const std::string path = Root() + "/data";
    fs::create_directories(path + "/inside");
    try {
        WriteFileAtomically(path, "new");
        FAIL() << "no error";
    } catch (const EFileError& e) {
        EXPECT_EQ(e.Path(), path);
        EXPECT_EQ(e.ErrorCode(), EISDIR);
        EXPECT_EQ(std::string(e.what()), "Cannot write \"" + path + "\": " + strerror(EISDIR));
    }
    EXPECT_TRUE(fs::is_directory(path + "/inside"));
    EXPECT_EQ(Entries(), std::vector<std::string>{"data"});
}

TEST_F(SettingsAtomicWrite, ReadOnlyFolderFailsAndLeavesTheOldFile) {
    if (geteuid() == 0) {
        GTEST_SKIP() << "root writes into read-only folders";
    }
    const std::string path = Root() + "/data";
    WriteFileAtomically(path, "old contents");
    ASSERT_EQ(chmod(Root().c_str(), 0555), 0);
    try {
        WriteFileAtomically(path, "new");
        ADD_FAILURE() << "no error";
    } catch (const EFileError& e) {
        EXPECT_EQ(e.ErrorCode(), EACCES);
        EXPECT_NE(std::string(e.what()).find(path), std::string::npos);
    }
    chmod(Root().c_str(), 0755);
    EXPECT_EQ(ReadFileBytes(path), "old contents");
    EXPECT_EQ(Entries(), std::vector<std::string>{"data"});
}

TEST_F(SettingsAtomicWrite, ReadingTellsMissingFromUnreadable) {
    EXPECT_FALSE(ReadFileIfExists(Root() + "/none").has_value());
    EXPECT_FALSE(ReadFileIfExists(Root() + "/none/deeper").has_value());
    EXPECT_THROW(ReadFileBytes(Root() + "/none"), EFileError);
    EXPECT_THROW(ReadFileIfExists(Root()), EFileError);
    WriteRaw(Root() + "/f", "abcdef");
    EXPECT_EQ(ReadFileIfExists(Root() + "/f", 4), "abcd");
}
