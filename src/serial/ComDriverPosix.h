#pragma once
// The port driver on POSIX terminals (serial devices, USB adapters, pseudo-terminals).

#include "serial/ComDriver.h"
#include "serial/ComDriverCalls.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <poll.h>
#include <string>
#include <sys/types.h>
#include <termios.h>
#include <vector>

// The system calls the driver makes on a port's descriptor, in one place so that a test can
// make one fail, or block, where no terminal can be made to (a refused line change, an
// interrupted or failing read). Process-wide; each entry is the C library's until replaced.
// Replace entries only while no driver is inside a call that uses them.
struct TPosixPortCalls {
    using Open = int (*)(const char* path, int flags);
    using Close = int (*)(int fd);
    using Ioctl = int (*)(int fd, unsigned long request, void* arg);
    using Read = ssize_t (*)(int fd, void* buffer, size_t count);
    using Write = ssize_t (*)(int fd, const void* data, size_t count);
    using Poll = int (*)(pollfd* fds, nfds_t count, int timeoutMs);
    using GetAttr = int (*)(int fd, termios* tio);
    using SetAttr = int (*)(int fd, int when, const termios* tio);
    using Flush = int (*)(int fd, int queue);

    // The C library's calls.
    TPosixPortCalls() { Restore(); }
    TPosixPortCalls(const TPosixPortCalls&) = delete;
    TPosixPortCalls& operator=(const TPosixPortCalls&) = delete;

    std::atomic<Open> open;
    std::atomic<Close> close;
    std::atomic<Ioctl> ioctl;
    std::atomic<Read> read;
    std::atomic<Write> write;
    std::atomic<Poll> poll;
    std::atomic<GetAttr> tcgetattr;
    std::atomic<SetAttr> tcsetattr;
    std::atomic<Flush> tcflush;

    // Every entry back to the C library's.
    void Restore();
};
TPosixPortCalls& PosixPortCalls();

// The termios form of a control block: raw mode, character size, parity (mark and space
// through CMSPAR), stop bits (one and a half become two), CTS/RTS flow, XON/XOFF and the
// parity check. Returns false for values no terminal can take. `customRate` is the rate
// when it has no Bxxx constant (0 otherwise); the speed in `tio` is then left alone.
bool DcbToTermios(const TComDcb& dcb, termios& tio, uint32_t& customRate);

// Lock files shared with other serial programs on this system: <folder>/LCK..<device name>
// holding the owner's process id as ten right-aligned digits and a newline.
std::string PortLockPath(const std::string& folder, const std::string& devicePath);
// The process id in a lock file; 0 when there is no file or its content is no process id.
// -1 when the file is there but cannot be read (a lock we cannot judge is taken as held).
long ReadPortLockPid(const std::string& lockPath);

class TComDriverPosix final : public TComDriver {
public:
    // Virtual ports are looked up in DefaultPortsFolder().
    TComDriverPosix();
    explicit TComDriverPosix(std::string portsFolder);
    ~TComDriverPosix() override;
    TComDriverPosix(const TComDriverPosix&) = delete;
    TComDriverPosix& operator=(const TComDriverPosix&) = delete;

    // The folder where virtual ports are registered as links named after the port.
    static std::string DefaultPortsFolder();
    void SetPortsFolder(std::string folder);
    const std::string& PortsFolder() const { return m_portsFolder; }
    // The device path of a port name: a name with '/' is a path; a name registered in the
    // ports folder is that link; otherwise /dev/<name>. Where the exact name does not
    // exist, an entry that differs only in letter case is taken.
    std::string ResolvePath(const std::string& port) const;

    // The folder of the lock files other serial programs honour: /run/lock where it
    // exists, else /var/lock. An empty folder turns lock files off.
    static std::string DefaultLockFolder();
    void SetLockFolder(std::string folder);
    const std::string& LockFolder() const { return m_lockFolder; }
    // Pseudo-terminals are private to whoever made them and get no lock file; tests turn
    // this on to see lock files work on a terminal they can make.
    void SetLockPseudoTerminals(bool on) { m_lockPseudoTerminals = on; }

    bool Open(const std::string& port) override;
    bool Close() override;
    bool SetupComm(uint32_t inputSize, uint32_t outputSize) override;
    bool SetCommState(const TComDcb& dcb) override;
    bool SetCommTimeouts(const TComTimeoutValues& timeouts) override;
    bool SetCommMask(uint32_t mask) override;
    bool WaitCommEvent(uint32_t& events, TComStopEvent* stop, int32_t timeoutMs) override;
    bool ReadFile(void* buffer, uint32_t count, uint32_t& transferred) override;
    bool WriteFile(const void* data, uint32_t count, uint32_t& transferred) override;
    bool PurgeComm(uint32_t flags) override;
    bool ClearCommError(uint32_t& errors, uint32_t& inputQueue) override;
    bool GetCommModemStatus(uint32_t& status) override;
    int32_t LastError() const override;
    // tcsendbreak: a pseudo-terminal takes it and sends nothing.
    bool SendBreak() override;
    // A terminal device at the resolved path (a registered link is followed).
    bool PortPresent(const std::string& port) const override;
    bool PortReturned(const std::string& port) override;
    // The device's group for a permission error, the holder for a busy port (from its lock
    // file or the process table), a missing device as such (PortMessages.h).
    std::string DescribeOpenFailure(const std::string& port, int32_t error) const override;

private:
    struct TCall;
    bool Enter(TCall& call);
    void Leave(TCall& call);
    std::string LockPathFor(const std::string& path) const;

    std::string m_portsFolder;
    std::string m_lockFolder;
    bool m_lockPseudoTerminals = false;
    std::string m_lockPath; // our lock file while the port is open; empty when none
    // The registration link of the last port opened through one: where, and which link
    // (inode and change time), to tell it from one made anew.
    std::string m_linkPath;
    unsigned long long m_linkInode = 0;
    long long m_linkChanged = 0;
    std::mutex m_lock;
    ComDriverCalls::TCallGate<TCall> m_gate{m_lock};
    int m_fd = -1;
    TComTimeoutValues m_timeouts;
    uint32_t m_mask = 0;
    bool m_discardNull = false;
    uint32_t m_inputSize = 0;
    uint32_t m_outputSize = 0;
};
