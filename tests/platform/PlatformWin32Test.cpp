#include "platform/FileIO.h"
#include "platform/NamedLock.h"
#include "platform/Platform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <process.h>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

TEST(PlatformWin32, LocalAppDataIsAnAbsoluteFolderWithBackslashesOnly) {
    const std::string path = LocalAppDataPath();
    ASSERT_GE(path.size(), 3u);
    EXPECT_EQ(path.substr(1, 2), ":\\") << path;
    EXPECT_EQ(path.find('/'), std::string::npos) << path;
    EXPECT_NE(path.back(), '\\') << path;
    EXPECT_TRUE(fs::is_directory(path)) << path;
}

TEST(PlatformWin32, JoinedPathsUseOneBackslash) {
    struct Case {
        const char* folder;
        const char* name;
        const char* joined;
    } cases[] = {
        {"C:\\Users\\u\\AppData\\Local", "Dolvy", "C:\\Users\\u\\AppData\\Local\\Dolvy"},
        {"C:\\", "data", "C:\\data"}, // a drive's root keeps its single separator
        {"D:\\work\\", "send", "D:\\work\\send"},
        {"D:/work/", "send", "D:/work/send"}, // a folder a user typed with slashes
        {"", "data", "data"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(JoinPath(c.folder, c.name), c.joined) << c.folder;
    }
}

namespace {

class AtomicReplaceWin32 : public ::testing::Test {
protected:
    void SetUp() override {
        std::random_device random;
        root = fs::temp_directory_path() / ("korvane-replace-" + std::to_string(random()));
        ASSERT_TRUE(fs::create_directory(root));
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(root, ec);
    }
    std::vector<std::string> Entries() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(root)) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }
    fs::path root;
};

} // namespace

TEST_F(AtomicReplaceWin32, ReplacesTheWholeFileAndLeavesNoTemporaryFile) {
    const std::string path = (root / "data").string();
    WriteFileAtomically(path, std::string("\0first\xFF", 7));
    EXPECT_EQ(ReadFileBytes(path), std::string("\0first\xFF", 7));
    WriteFileAtomically(path, "2nd");
    EXPECT_EQ(ReadFileBytes(path), "2nd");
    EXPECT_EQ(Entries(), std::vector<std::string>{"data"});
}

TEST_F(AtomicReplaceWin32, FolderInTheWayFailsWithThePathAndKeepsTheFolder) {
    const std::string path = (root / "data").string();
    fs::create_directories(root / "data" / "inside");
    try {
        WriteFileAtomically(path, "new");
        FAIL() << "no error";
    } catch (const EFileError& e) {
        EXPECT_EQ(e.Path(), path);
        EXPECT_NE(e.ErrorCode(), 0);
        EXPECT_NE(std::string(e.what()).find(path), std::string::npos) << e.what();
        EXPECT_FALSE(e.SystemError().empty());
    }
    EXPECT_TRUE(fs::is_directory(root / "data" / "inside"));
    EXPECT_EQ(Entries(), std::vector<std::string>{"data"});
}

namespace {

class NamedLockWin32 : public ::testing::Test {
protected:
    // A kernel mutex belongs to a thread and may be taken again by its owner, so the other
    // side of each case is another thread.
    template <typename Body> static bool OnOtherThread(Body body) {
        bool result = false;
        std::thread([&] { result = body(); }).join();
        return result;
    }
    std::string name = "KorvaneLockTest" + std::to_string(_getpid());
};

} // namespace

TEST_F(NamedLockWin32, SharedByNameAndBounded) {
    TNamedLock lock(name);
    ASSERT_TRUE(lock.Shared());
    ASSERT_TRUE(lock.Acquire(200));
    EXPECT_FALSE(OnOtherThread([&] {
        TNamedLock other(name);
        return other.Acquire(50);
    }));
    lock.Release();
    EXPECT_TRUE(OnOtherThread([&] {
        TNamedLock other(name);
        const bool got = other.Acquire(200);
        if (got) {
            other.Release();
        }
        return got;
    }));
}

TEST_F(NamedLockWin32, LockAbandonedByAThreadThatEndedIsRecovered) {
    TNamedLock lock(name);
    // The thread ends holding the lock: the system marks the mutex abandoned.
    ASSERT_TRUE(OnOtherThread([&] { return lock.Acquire(200); }));
    ASSERT_TRUE(lock.Acquire(200));
    lock.Release();
    EXPECT_TRUE(OnOtherThread([&] {
        const bool got = lock.Acquire(200);
        if (got) {
            lock.Release();
        }
        return got;
    }));
}
