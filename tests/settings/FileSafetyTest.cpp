// Files that are not what they claim, a full disk, links and leftovers of interrupted saves.
#include "platform/FileIO.h"
#include "settings/SettingsFile.h"
#include "settings/SettingsTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

class FileSafety : public TempFolderTest {
protected:
    std::vector<std::string> Entries(const std::string& folder) const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(folder)) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }
};

// A named pipe without a writer would block a plain open forever, /dev/zero would read
// without end: each is refused at once, with a reason that names what it is.
TEST_F(FileSafety, OnlyRegularFilesAreRead) {
    const std::string fifo = Root() + "/pipe";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string socketPath = Root() + "/sock";
    const int s = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socketPath.c_str());
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    const std::string link = Root() + "/link-to-zero";
    ASSERT_EQ(symlink("/dev/zero", link.c_str()), 0);

    struct Case {
        std::string path;
        std::string reason;
    };
    const Case cases[] = {
        {fifo, "named pipe"},   {"/dev/zero", "character device"}, {link, "character device"},
        {socketPath, "socket"}, {Root(), "Is a directory"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        const std::vector<std::function<void()>> readers = {
            [&] { ReadFileBytes(c.path); },
            [&] { ReadFileIfExists(c.path, 1296); },
        };
        for (const auto& read : readers) {
            try {
                read();
                ADD_FAILURE() << "read";
            } catch (const EFileError& e) {
                EXPECT_NE(std::string(e.what()).find(c.reason), std::string::npos) << e.what();
                EXPECT_NE(std::string(e.what()).find(c.path), std::string::npos) << e.what();
            }
        }
    }
    close(s);

    // The settings loader sees the same: a pipe as "data" is an error, not a hang.
    uint8_t block[16] = {};
    EXPECT_THROW(LoadBlockFromFile(block, sizeof block, fifo), EFileError);
}

TEST_F(FileSafety, AFileLargerThanTheLimitIsRefusedWithBothSizes) {
    const std::string path = Root() + "/big";
    WriteRaw(path, std::string(3 << 20, 'x'));
    try {
        ReadFileBytes(path, 1 << 20);
        ADD_FAILURE() << "read";
    } catch (const EFileError& e) {
        EXPECT_EQ(e.ErrorCode(), EFBIG);
        EXPECT_NE(std::string(e.what()).find("3.0 MB"), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find("1.0 MB"), std::string::npos) << e.what();
    }
    EXPECT_EQ(ReadFileBytes(path, 3 << 20).size(), 3u << 20);
    // ReadFileIfExists takes the start of a longer file, as the settings file wants.
    EXPECT_EQ(ReadFileIfExists(path, 5), "xxxxx");
}

TEST_F(FileSafety, ProgressIsReportedAndCanCancel) {
    const std::string path = Root() + "/big";
    WriteRaw(path, std::string(5 << 20, 'x'));
    std::vector<uint64_t> seen;
    ReadFileBytes(path, UINT64_MAX, [&](uint64_t done, uint64_t total) {
        EXPECT_EQ(total, 5u << 20);
        seen.push_back(done);
        return true;
    });
    EXPECT_GE(seen.size(), 4u);
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
    int calls = 0;
    EXPECT_THROW(ReadFileBytes(path, UINT64_MAX, [&](uint64_t, uint64_t) { return ++calls < 2; }),
                 ECancelled);
    EXPECT_EQ(calls, 2);
}

// A link at the target is replaced by the file; what it pointed to keeps its contents.
TEST_F(FileSafety, ALinkIsReplacedNeverWrittenThrough) {
    const std::string target = Root() + "/elsewhere";
    WriteRaw(target, "precious");
    const std::string path = Root() + "/config.ini";
    ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0);
    WriteFileAtomically(path, "layout");
    EXPECT_EQ(ReadRaw(target), "precious");
    EXPECT_FALSE(fs::is_symlink(path));
    EXPECT_EQ(ReadRaw(path), "layout");
}

TEST_F(FileSafety, TemporaryNamesAreRecognisedAndOnlyStaleOnesRemoved) {
    struct Case {
        std::string name;
        std::optional<uint64_t> owner;
    };
    const Case names[] = {
        {".data.4711-0.korvane-tmp", 4711},          {".config.ini.12-345.korvane-tmp", 12},
        {"data.4711-0.korvane-tmp", std::nullopt},   {".data.47x1-0.korvane-tmp", std::nullopt},
        {".data.4711-.korvane-tmp", std::nullopt},   {".4711-0.korvane-tmp", std::nullopt},
        {".data.4711-0.korvane-tmp~", std::nullopt}, {"config.ini.a1B2c3", std::nullopt},
    };
    for (const Case& c : names) {
        EXPECT_EQ(TemporaryFileOwner(c.name), c.owner) << c.name;
    }
    const std::string made = TemporaryFileName("/x/y/" + std::string(250, 'n'), 99, 7);
    EXPECT_LE(fs::path(made).filename().string().size(), 255u);
    EXPECT_EQ(TemporaryFileOwner(fs::path(made).filename().string()), 99u);
    EXPECT_EQ(made.substr(0, 5), "/x/y/");

    // A process that has ended: its leftovers go. A running one (our parent) and our own
    // process keep theirs, and so does a file that only looks similar.
    const pid_t child = fork();
    if (child == 0) {
        _exit(0);
    }
    ASSERT_GT(child, 0);
    ASSERT_EQ(waitpid(child, nullptr, 0), child);
    const auto pid = [](pid_t p) { return static_cast<uint64_t>(p); };
    const std::string stale =
        fs::path(TemporaryFileName(Root() + "/data", pid(child), 0)).filename();
    const std::string staleSend =
        fs::path(TemporaryFileName(Root() + "/send", pid(child), 3)).filename();
    const std::string running =
        fs::path(TemporaryFileName(Root() + "/data", pid(getppid()), 0)).filename();
    const std::string ours =
        fs::path(TemporaryFileName(Root() + "/data", pid(getpid()), 0)).filename();
    for (const std::string& name :
         {stale, staleSend, running, ours, std::string("data"), std::string("data.tmp123-0")}) {
        WriteRaw(Root() + "/" + name, "x");
    }
    EXPECT_EQ(RemoveStaleTemporaryFiles(Root()), 2);
    std::vector<std::string> expected = {running, ours, "data", "data.tmp123-0"};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(Entries(Root()), expected);
    EXPECT_EQ(RemoveStaleTemporaryFiles(Root() + "/none"), 0);
}

// A write that fails at any point leaves the old file whole and no temporary file behind.
// The disk is made full two ways: a 64 KiB tmpfs where mounting is allowed (root), and
// everywhere a file-size limit, which fails the write the same way part-way through.
TEST_F(FileSafety, AFullDiskKeepsTheOldFileWhole) {
    struct Disk {
        std::string name;
        std::function<bool(const std::string& folder)> fill; // false: not available here
        std::function<void()> undo;
    };
    rlimit oldLimit{};
    getrlimit(RLIMIT_FSIZE, &oldLimit);
    const std::vector<Disk> disks = {
        {"tmpfs",
         [](const std::string& folder) {
             return mount("tmpfs", folder.c_str(), "tmpfs", 0, "size=64k") == 0;
         },
         [] {}},
        {"file size limit",
         [&](const std::string&) {
             signal(SIGXFSZ, SIG_IGN);
             rlimit small = oldLimit;
             small.rlim_cur = 16 << 10;
             return setrlimit(RLIMIT_FSIZE, &small) == 0;
         },
         [&] { setrlimit(RLIMIT_FSIZE, &oldLimit); }},
    };
    for (const Disk& disk : disks) {
        SCOPED_TRACE(disk.name);
        const std::string folder = Root() + "/" + disk.name;
        fs::create_directories(folder);
        if (!disk.fill(folder)) {
            std::printf("[ SKIPPED  ] %s: not available here\n", disk.name.c_str());
            continue;
        }
        const std::string old(4000, 'o');
        for (const char* name : {"data", "send", "config.ini"}) {
            WriteFileAtomically(folder + "/" + name, old);
        }
        if (disk.name == "tmpfs") {
            // Fill what is left, so that the next write has no room at all.
            std::ofstream filler(folder + "/filler", std::ios::binary);
            const std::string block(4096, 'f');
            while (filler.write(block.data(), block.size())) {
            }
        }
        for (const char* name : {"data", "send", "config.ini"}) {
            SCOPED_TRACE(name);
            const std::string path = folder + "/" + name;
            try {
                WriteFileAtomically(path, std::string(100 << 10, 'n'));
                ADD_FAILURE() << "the write succeeded";
            } catch (const EFileError& e) {
                EXPECT_TRUE(e.ErrorCode() == ENOSPC || e.ErrorCode() == EFBIG) << e.what();
            }
            EXPECT_EQ(ReadRaw(path), old);
        }
        disk.undo();
        for (const std::string& name : Entries(folder)) {
            EXPECT_FALSE(TemporaryFileOwner(name).has_value()) << name;
        }
        if (disk.name == "tmpfs") {
            umount2(folder.c_str(), MNT_DETACH);
        }
    }
}

} // namespace
