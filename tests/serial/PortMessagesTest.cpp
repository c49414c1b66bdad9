// The reasons a failed open gives the user: built from what the system shows of the device
// (its group and mode, lock files, the process table), checked on fake device files and
// process tables, and end to end through the connection over a real pseudo-terminal.

#include "serial/PortMessages.h"
#include "platform/NamedLock.h"
#include "platform/Platform.h"
#include "serial/ComDriverPosix.h"
#include "serial/ComPort.h"
#include "serial/OruScomm.h"
#include "serial/PtyPeer.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

class PortMessages : public ::testing::Test {
protected:
    void SetUp() override {
        char name[] = "/tmp/korvane-portmsg-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        root = name;
        device = (root / "ttyFAKE0").string();
        std::ofstream(device).put('x');
        fs::create_directories(root / "lock");
        fs::create_directories(root / "proc");
        probe.lockFolder = (root / "lock").string();
        probe.procRoot = (root / "proc").string();
    }
    void TearDown() override { fs::remove_all(root); }

    // A process in the fake process table, named `name`, with `target` open as `fd`.
    void FakeProcess(long pid, const std::string& name, const std::string& target, int fd = 5) {
        const fs::path dir = root / "proc" / std::to_string(pid);
        fs::create_directories(dir / "fd");
        std::ofstream(dir / "comm") << name << "\n";
        fs::create_symlink(target, dir / "fd" / std::to_string(fd));
    }
    void WriteLock(long pid) {
        char text[16];
        std::snprintf(text, sizeof text, "%10ld\n", pid);
        std::ofstream(PortLockPath(probe.lockFolder, device)) << text;
    }

    fs::path root;
    std::string device;
    TPortProbe probe;
};

std::string OwnName() {
    std::ifstream comm("/proc/self/comm");
    std::string name;
    std::getline(comm, name);
    return name;
}

} // namespace

TEST(SystemErrorTail, NamesTheErrnoAndItsText) {
    EXPECT_EQ(SystemErrorTail(ENOENT), " (system error 2: No such file or directory)");
    EXPECT_STREQ(EComPort(CE_OpenFailed, EACCES).what(),
                 "Unable to open com port (system error 13: Permission denied)");
    EXPECT_STREQ(EComPort(CE_WaitFailed).what(), "WaitForEvent method failed");
}

TEST_F(PortMessages, BusyPortNamesItsHolder) {
    // A live lock file names the holder first; a stale one is passed over for the process
    // that really has the device open; with neither, the holder is unknown.
    FakeProcess(4242, "minicom", device);
    FakeProcess(77, "picocom", (root / "other").string());
    WriteLock(77);
    EXPECT_EQ(OpenFailureReason("X", device, EBUSY, probe),
              device + " is in use by picocom (process 77).");
    WriteLock(999999);
    EXPECT_EQ(OpenFailureReason("X", device, EWOULDBLOCK, probe),
              device + " is in use by minicom (process 4242).");

    fs::remove_all(root / "proc" / "4242");
    EXPECT_EQ(OpenFailureReason("X", device, EBUSY, probe),
              device + " is in use by another program.");
}

TEST_F(PortMessages, HolderIsFoundInTheRealProcessTable) {
    const int fd = open(device.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    // Through a link to the device, as a registered virtual port reaches it.
    const std::string link = (root / "SIM9").string();
    fs::create_symlink(device, link);
    const TPortHolder holder = FindPortHolder(link, TPortProbe{});
    close(fd);
    EXPECT_EQ(holder.pid, static_cast<long>(getpid()));
    EXPECT_EQ(holder.name, OwnName());
    EXPECT_EQ(FindPortHolder(device, TPortProbe{}).pid, 0);
}

TEST_F(PortMessages, PermissionDeniedNamesTheGroupAndTheCommand) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "giving a file a group we are not in takes root";
    }
    // A group this process is not in, by name when the system has one.
    gid_t gid = 20;
    std::string group = "20";
    for (const char* candidate : {"dialout", "uucp", "tty"}) {
        if (const struct group* g = getgrnam(candidate)) {
            gid = g->gr_gid;
            group = candidate;
            break;
        }
    }
    ASSERT_EQ(chown(device.c_str(), 0, gid), 0);
    ASSERT_EQ(chmod(device.c_str(), 0660), 0);
    if (getegid() == gid) {
        GTEST_SKIP() << "this process is in group " << group;
    }
    EXPECT_EQ(OpenFailureReason("ttyFAKE0", device, EACCES, probe),
              "Permission denied for " + device + ": you must be in the group \"" + group +
                  "\" to use it. Add yourself with: sudo usermod -aG " + group +
                  " $USER, then log out and log in again.");

    // Our own group: it is the mode that keeps us out, and no command would help.
    ASSERT_EQ(chown(device.c_str(), 0, getegid()), 0);
    ASSERT_EQ(chmod(device.c_str(), 0600), 0);
    const std::string own = OpenFailureReason("ttyFAKE0", device, EACCES, probe);
    EXPECT_NE(own.find("mode 0600"), std::string::npos) << own;
    EXPECT_EQ(own.find("usermod"), std::string::npos) << own;
}

TEST_F(PortMessages, OtherFailuresSayWhatIsWrong) {
    const std::string missing = (root / "ttyUSB7").string();
    const std::string dangling = (root / "SIM0").string();
    fs::create_symlink("/dev/pts/korvane-gone", dangling);
    struct Case {
        std::string port, path;
        int error;
        std::string reason;
    };
    const Case cases[] = {
        {"ttyUSB7", missing, ENOENT,
         "There is no device " + missing +
             ": check the port name and that the device is plugged in."},
        {"SIM0", dangling, ENOENT,
         "The port SIM0 is a link to /dev/pts/korvane-gone, which no longer exists: start the "
         "program that provides it again."},
        {"ttyS9", "/dev/ttyS9", ENXIO,
         "No device answers at /dev/ttyS9: the port is known to the system but its hardware is "
         "not there."},
        {"stat", "/proc/self/stat", ENOTTY, "/proc/self/stat is not a serial port."},
        {"ttyS1", "/dev/ttyS1", EIO,
         "Opening /dev/ttyS1 failed: " + std::string(std::strerror(EIO)) + " (system error " +
             std::to_string(EIO) + ")."},
        {"ttyS1", "/dev/ttyS1", -1, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(OpenFailureReason(c.port, c.path, c.error, probe), c.reason);
    }
}

// A pseudo-terminal made by socat (which keeps the master and the slave open) and a
// program, "holder", that opens the slave and may lock it as a terminal program does.
class BridgedPty : public ::testing::Test {
protected:
    void SetUp() override {
        char name[] = "/tmp/korvane-bridge-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        m_root = name;
        link = m_root + "/port";
        const std::string a = "pty,raw,echo=0,link=" + link;
        const std::string b = "pty,raw,echo=0,link=" + m_root + "/other";
        const char* argv[] = {"socat", a.c_str(), b.c_str(), nullptr};
        if (::posix_spawnp(&m_socat, "socat", nullptr, nullptr, const_cast<char**>(argv),
                           environ) != 0) {
            m_socat = 0;
            GTEST_SKIP() << "socat is not installed";
        }
        for (int i = 0; i < 5000 && !fs::exists(link); ++i) {
            ::usleep(1000);
        }
        ASSERT_TRUE(fs::exists(link)) << "socat made no pseudo-terminal";
    }
    void TearDown() override {
        EndPrograms();
        if (m_socat > 0) {
            ::kill(m_socat, SIGTERM);
            ::waitpid(m_socat, nullptr, 0);
        }
        fs::remove_all(m_root);
    }

    // Starts a program called `name` on the port; returns its id once it has the port open
    // (and locked).
    pid_t StartProgram(const char* name, bool lock) {
        int ready[2];
        EXPECT_EQ(::pipe(ready), 0);
        const std::string device = fs::canonical(link).string();
        const pid_t pid = ::fork();
        if (pid == 0) {
            const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY);
            const bool locked = fd >= 0 && (!lock || ::flock(fd, LOCK_EX | LOCK_NB) == 0);
            ::prctl(PR_SET_NAME, name);
            const char answer = locked ? 'y' : 'n';
            [[maybe_unused]] const ssize_t n = ::write(ready[1], &answer, 1);
            for (;;) {
                ::pause();
            }
        }
        ::close(ready[1]);
        char answer = 0;
        EXPECT_EQ(::read(ready[0], &answer, 1), 1);
        ::close(ready[0]);
        EXPECT_EQ(answer, 'y') << name;
        if (pid > 0) {
            m_programs.push_back(pid);
        }
        return pid;
    }
    void EndPrograms() {
        for (pid_t pid : m_programs) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        m_programs.clear();
    }

    std::string link;

private:
    std::string m_root;
    pid_t m_socat = 0;
    std::vector<pid_t> m_programs;
};

TEST_F(BridgedPty, TheProgramUsingThePortIsNamedNotTheOneThatMadeIt) {
    for (const bool lock : {true, false}) {
        SCOPED_TRACE(lock ? "the program locks the port" : "the program only has it open");
        const pid_t holder = StartProgram("holder", lock);
        const TPortHolder found = FindPortHolder(link, TPortProbe{});
        EXPECT_EQ(found.pid, static_cast<long>(holder));
        EXPECT_EQ(found.name, "holder");
        const std::string device = fs::canonical(link).string();
        EXPECT_EQ(OpenFailureReason("port", link, EBUSY, TPortProbe{}),
                  device + " is in use by holder (process " + std::to_string(holder) + ").");
        EndPrograms();
    }
}

TEST_F(BridgedPty, TheLockHolderIsNamedBeforeAProgramThatOpenedThePortFirst) {
    // A program that only has the port open (a monitor, or one waiting for the lock)
    // started before the one that locked it.
    StartProgram("opener", false);
    const pid_t locker = StartProgram("locker", true);
    const TPortHolder found = FindPortHolder(link, TPortProbe{});
    EXPECT_EQ(found.pid, static_cast<long>(locker));
    EXPECT_EQ(found.name, "locker");
}

TEST(OpenFailureThroughTheConnection, TheSpecifiedTextKeepsTheReasonBesideIt) {
    PtyPeer pty;
    ASSERT_FALSE(pty.path.empty());
    // A queue lock of this test's own, apart from a running program's.
    const std::string lockName = "KorvanePortMessagesTest" + std::to_string(getpid());
    TOruScomm holder(SystemClock::Instance(), nullptr, lockName);
    holder.Device->SetPort(pty.path);
    holder.OpenPort();

    struct Case {
        std::string port, reason;
    };
    const Case cases[] = {
        {pty.path,
         pty.path + " is in use by " + OwnName() + " (process " + std::to_string(getpid()) + ")."},
        {"/dev/korvane-no-such-port", "There is no device /dev/korvane-no-such-port: check the "
                                      "port name and that the device is plugged in."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.port);
        TOruScomm second(SystemClock::Instance(), nullptr, lockName);
        second.Device->SetPort(c.port);
        try {
            second.OpenPort();
            ADD_FAILURE() << "opened";
        } catch (const ECom& e) {
            EXPECT_EQ(e.ErrorText, "Open port failure,it may be opened by other procedures.");
            EXPECT_EQ(e.Reason, c.reason);
        }
    }
    holder.ClosePort();
    TNamedLock::Remove(lockName);
}
