// The main window against files that are not what they should be: companion files that
// are named pipes or links, a full disk under the data folder, files to open that are
// devices, pipes or too large, long loads with progress and Cancel, and leftovers of
// interrupted saves. Offscreen platform, a private data folder per test.

#include "platform/FileIO.h"
#include "richtext/RichText.h"
#include "settings/SettingsFile.h"
#include "settings/SettingsTestSupport.h"
#include "ui/MainWindowTest.h"
#include "ui/QtTestApp.h"
#include "ui/ScriptedPrompter.h"
#include "ui/main/Application.h"
#include "ui/main/MainForm.h"
#include "ui/main/RichView.h"
#include "ui/send/SendForm.h"

#include <QAction>
#include <QProgressDialog>
#include <QTimer>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

class HostileFilesTest : public MainWindowTest {
protected:
    void SetUp() override {
        MainWindowTest::SetUp();
        TKorvaneApplication::SetErrorReporter(
            [this](const std::string& m) { m_errors.push_back(m); });
    }
    void TearDown() override {
        m_form.reset();
        TKorvaneApplication::SetErrorReporter(nullptr);
        MainWindowTest::TearDown();
    }

    void Stop() {
        Close();
        DataFolder().clear();
    }
    void OpenIntoTrafficView(const std::string& path) {
        m_prompter.fileNames = {QString::fromStdString(path)};
        m_form->N6->trigger();
    }

    std::vector<std::string> m_errors;
};

// A named pipe in place of a companion file would block its open forever (no window
// would ever appear); a link would have its target overwritten. Neither happens: the
// window comes up, and the close replaces the pipe or the link with the file.
TEST_F(HostileFilesTest, CompanionFilesThatArePipesOrLinksNeitherBlockNorLeak) {
    for (const char* name : {"data", "send", "config.ini"}) {
        for (const bool pipe : {true, false}) {
            SCOPED_TRACE(std::string(name) + (pipe ? " as a named pipe" : " as a link"));
            fs::remove_all(Folder());
            fs::create_directories(Folder());
            const std::string path = Folder() + "/" + name;
            const std::string target = Root() + "/target";
            WriteRaw(target, "precious");
            if (pipe) {
                ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
            } else {
                ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0);
            }
            TMainForm& form = Start();
            EXPECT_TRUE(form.isVisible());
            form.SendForm->RichSend->InsertText("11 22", TextAttributes{});
            Stop();
            EXPECT_EQ(ReadRaw(target), "precious");
            EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(path)));
        }
    }
}

// A full disk under the data folder: every companion file keeps what the last good close
// wrote. A 64 KiB tmpfs where mounting is allowed (root), and everywhere a file-size limit
// that fails the writes the same way.
TEST_F(HostileFilesTest, AFullDiskKeepsEveryCompanionFile) {
    rlimit oldLimit{};
    getrlimit(RLIMIT_FSIZE, &oldLimit);
    struct Disk {
        std::string name;
        std::function<bool()> fill; // false: not available here
        std::function<void()> undo;
    };
    const std::vector<Disk> disks = {
        {"tmpfs",
         [&] {
             std::ofstream filler(Folder() + "/filler", std::ios::binary);
             const std::string block(4096, 'f');
             while (filler.write(block.data(), block.size())) {
             }
             return true;
         },
         [] {}},
        {"file size limit",
         [&] {
             signal(SIGXFSZ, SIG_IGN);
             rlimit small = oldLimit;
             small.rlim_cur = 64;
             return setrlimit(RLIMIT_FSIZE, &small) == 0;
         },
         [&] { setrlimit(RLIMIT_FSIZE, &oldLimit); }},
    };
    for (const Disk& disk : disks) {
        SCOPED_TRACE(disk.name);
        fs::remove_all(Root() + "/xdg");
        fs::create_directories(Folder());
        const bool mounted = disk.name == "tmpfs";
        if (mounted && mount("tmpfs", Folder().c_str(), "tmpfs", 0, "size=64k") != 0) {
            std::printf("[ SKIPPED  ] %s: not available here\n", disk.name.c_str());
            continue;
        }
        Start().SendForm->RichSend->InsertText("11 22", TextAttributes{});
        Stop();
        std::map<std::string, std::string> before;
        for (const char* name : {"data", "send", "config.ini"}) {
            before[name] = ReadRaw(Folder() + "/" + name);
            ASSERT_FALSE(before[name].empty()) << name;
        }

        TMainForm& form = Start();
        form.SendForm->RichSend->InsertText(std::string(20000, 'A'), TextAttributes{});
        form.ShowRxTx2->trigger();
        form.resize(form.width() + 50, form.height() + 40);
        ASSERT_TRUE(disk.fill());
        m_prompter.warnings.clear();
        Stop();
        disk.undo();
        // The failures are told; nothing is written half.
        EXPECT_FALSE(m_prompter.warnings.empty());
        for (const auto& [name, contents] : before) {
            EXPECT_EQ(ReadRaw(Folder() + "/" + name), contents) << name;
        }
        for (const auto& entry : fs::directory_iterator(Folder())) {
            EXPECT_FALSE(TemporaryFileOwner(entry.path().filename().string()).has_value())
                << entry.path();
        }
        if (mounted) {
            umount2(Folder().c_str(), MNT_DETACH);
        }
    }
}

// Devices, pipes and files beyond what the view holds are refused with their reason, told
// through the general error report without unwinding through the menu's code; the view
// keeps its text.
TEST_F(HostileFilesTest, OpeningSomethingThatIsNotAFittingFileIsRefused) {
    // The smallest memory budget makes the limit 8 MiB.
    fs::create_directories(Folder());
    WriteRaw(Folder() + "/config.ini", "[Options]\nViewMemoryBudgetMB=16\n");
    TMainForm& form = Start();
    form.RichShow->InsertText("kept", TextAttributes{});
    const std::string fifo = Root() + "/pipe";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string big = Root() + "/big.txt";
    WriteRaw(big, std::string(9 << 20, 'x'));
    const std::string folder = Root() + "/a-folder";
    fs::create_directories(folder);
    struct Case {
        std::string path;
        std::string reason;
    };
    const Case cases[] = {
        {fifo, "named pipe"},
        {"/dev/zero", "character device"},
        {big, "more than the 8.0 MB"},
        {folder, "Is a directory"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        m_errors.clear();
        OpenIntoTrafficView(c.path);
        ASSERT_EQ(m_errors.size(), 1u);
        EXPECT_NE(m_errors[0].find(c.reason), std::string::npos) << m_errors[0];
        EXPECT_NE(m_errors[0].find(c.path), std::string::npos) << m_errors[0];
        EXPECT_EQ(form.RichShow->LineText(0), "kept");
    }
    EXPECT_TRUE(m_prompter.warnings.empty());
}

// A file of tens of MB is read and parsed off the user-interface thread, under a progress
// dialog whose Cancel leaves the view as it was.
TEST_F(HostileFilesTest, ALongLoadShowsProgressAndCanBeCancelled) {
    TMainForm& form = Start();
    form.RichShow->InsertText("kept", TextAttributes{});
    const std::string path = Root() + "/long.rtf";
    WriteRaw(path, "{\\rtf1 " + std::string(40 << 20, 'x') + "}");
    bool sawDialog = false;
    QTimer::singleShot(0, [&] {
        if (auto* dialog = form.findChild<QProgressDialog*>(QStringLiteral("LoadProgress"))) {
            sawDialog = true;
            dialog->cancel();
        }
    });
    OpenIntoTrafficView(path);
    EXPECT_TRUE(sawDialog);
    EXPECT_TRUE(m_errors.empty());
    EXPECT_TRUE(form.RichShow->LineText(0) == "kept"); // (no 40 MB in a failure message)

    // Left alone, the same kind of load arrives whole.
    std::string lines;
    for (int i = 0; i < 1200; ++i) {
        lines += std::string(4999, 'a' + i % 26) + "\n";
    }
    WriteRaw(path, lines);
    OpenIntoTrafficView(path);
    EXPECT_TRUE(m_errors.empty());
    EXPECT_TRUE(form.RichShow->LineText(1199) == std::string(4999, 'a' + 1199 % 26));
}

// Temporary files of saves that a crash interrupted go at the next start; those of a copy
// of the program that still runs stay.
TEST_F(HostileFilesTest, StaleTemporaryFilesGoAtStartUp) {
    fs::create_directories(Folder());
    const pid_t child = fork();
    if (child == 0) {
        _exit(0);
    }
    ASSERT_EQ(waitpid(child, nullptr, 0), child);
    const std::string stale =
        TemporaryFileName(Folder() + "/data", static_cast<uint64_t>(child), 0);
    const std::string running =
        TemporaryFileName(Folder() + "/send", static_cast<uint64_t>(getppid()), 0);
    WriteRaw(stale, "half a save");
    WriteRaw(running, "being written");
    Start();
    EXPECT_FALSE(fs::exists(stale));
    EXPECT_TRUE(fs::exists(running));
}

} // namespace
