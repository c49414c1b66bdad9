#include "serial/ComDriverPosix.h"

#include "serial/PortMessages.h"

#include "serial/ComDriverCalls.h"

#include "platform/Platform.h"
#include "serial/ComDriverTermios2.h"
#include "serial/ComReadWindow.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <strings.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using SteadyClock = std::chrono::steady_clock;
// A point in time at which a call gives up, or none (it waits without end). A plain pair
// rather than std::optional: the optimiser cannot prove an optional's value initialised
// and warns about every use in a release build.
class Deadline {
public:
    Deadline() = default;
    Deadline(SteadyClock::time_point at) : m_at(at), m_set(true) {} // NOLINT: converts on purpose
    explicit operator bool() const { return m_set; }
    const SteadyClock::time_point& operator*() const { return m_at; }

private:
    SteadyClock::time_point m_at{};
    bool m_set = false;
};

using namespace ComDriverCalls;

// Errors are kept per thread, as the system's own last-error value is.
thread_local int32_t t_lastError = 0;

bool Fail(int error) {
    t_lastError = error;
    return false;
}

int PollTimeout(const Deadline& deadline, int cap) {
    if (!deadline) {
        return cap;
    }
    const auto left = *deadline - SteadyClock::now();
    if (left <= SteadyClock::duration::zero()) {
        return 0;
    }
    // Rounded up, so a poll never wakes just before its deadline and spins.
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    const int bounded = static_cast<int>(std::min<long long>(ms, INT_MAX));
    return cap < 0 ? bounded : std::min(bounded, cap);
}

bool Passed(const Deadline& deadline) {
    return deadline && SteadyClock::now() >= *deadline;
}

// A pseudo-terminal or a device without modem lines answers the line ioctls like this.
bool NoModemLines(int error) {
    return error == ENOTTY || error == EINVAL;
}

struct SpeedEntry {
    uint32_t rate;
    speed_t code;
};

constexpr SpeedEntry kSpeeds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

bool PathExists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

// The entry of `folder` whose name equals `name` ignoring letter case; empty when none.
std::string FindIgnoringCase(const std::string& folder, const std::string& name) {
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) {
        return std::string();
    }
    std::string found;
    while (const dirent* entry = readdir(dir)) {
        if (strcasecmp(entry->d_name, name.c_str()) == 0) {
            found = entry->d_name;
            break;
        }
    }
    closedir(dir);
    return found;
}

uint32_t RemoveNulls(uint8_t* data, uint32_t count) {
    uint8_t* end = std::remove(data, data + count, uint8_t{0});
    return static_cast<uint32_t>(end - data);
}

bool IsDirectory(const char* path) {
    struct stat st {};
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

bool WriteAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

enum class TLockOwner { None, Us, Other };

// Who holds the port a lock file stands for. A stale file (its process is gone, or it
// names none) is removed on the way.
TLockOwner InspectPortLock(const std::string& lockPath) {
    const long pid = ReadPortLockPid(lockPath);
    if (pid < 0) {
        // A file we cannot read may well be a live lock; taking the port could corrupt
        // the other program's traffic.
        return TLockOwner::Other;
    }
    if (pid == static_cast<long>(getpid())) {
        return TLockOwner::Us;
    }
    if (pid > 0 && (kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM)) {
        return TLockOwner::Other;
    }
    unlink(lockPath.c_str());
    return TLockOwner::None;
}

// Makes `lockPath` hold our process id. The content is written to a file of our own first
// and linked into place, so nobody ever sees the lock empty and takes it for stale. Returns
// EBUSY when another live program holds the lock, else 0; `made` tells whether the lock
// is ours. A folder we cannot write leaves the port without a lock file.
int CreatePortLock(const std::string& folder, const std::string& lockPath, bool& made) {
    made = false;
    char text[32];
    const int length = std::snprintf(text, sizeof text, "%10ld\n", static_cast<long>(getpid()));
    static std::atomic<unsigned> serial{0};
    const std::string temp =
        folder + "/LTMP." + std::to_string(getpid()) + "." + std::to_string(++serial);
    const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) {
        return 0;
    }
    // Other programs must be able to read whose lock it is, whatever our umask.
    fchmod(fd, 0644);
    const bool written = WriteAll(fd, text, static_cast<size_t>(length));
    close(fd);
    int result = 0;
    for (int attempt = 0; written && attempt < 2 && !made; ++attempt) {
        if (link(temp.c_str(), lockPath.c_str()) == 0) {
            made = true;
            break;
        }
        if (errno != EEXIST) {
            // A file system without hard links: a plain exclusive create.
            const int direct =
                open(lockPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
            if (direct >= 0) {
                fchmod(direct, 0644);
                made = WriteAll(direct, text, static_cast<size_t>(length));
                close(direct);
                if (!made) {
                    unlink(lockPath.c_str());
                }
                break;
            }
            if (errno != EEXIST) {
                break;
            }
        }
        // Someone created it between our check and now.
        const TLockOwner owner = InspectPortLock(lockPath);
        if (owner == TLockOwner::Us) {
            made = true;
        } else if (owner == TLockOwner::Other) {
            result = EBUSY;
            break;
        }
    }
    unlink(temp.c_str());
    return result;
}

} // namespace

// ---- system calls ----

namespace {

int LibcOpen(const char* path, int flags) {
    return ::open(path, flags);
}
int LibcIoctl(int fd, unsigned long request, void* arg) {
    return ::ioctl(fd, request, arg);
}

// The descriptor calls of the driver, through the seam.
int SysOpen(const char* path, int flags) {
    return PosixPortCalls().open.load(std::memory_order_relaxed)(path, flags);
}
int SysClose(int fd) {
    return PosixPortCalls().close.load(std::memory_order_relaxed)(fd);
}
int SysIoctl(int fd, unsigned long request, void* arg) {
    return PosixPortCalls().ioctl.load(std::memory_order_relaxed)(fd, request, arg);
}
ssize_t SysRead(int fd, void* buffer, size_t count) {
    return PosixPortCalls().read.load(std::memory_order_relaxed)(fd, buffer, count);
}
ssize_t SysWrite(int fd, const void* data, size_t count) {
    return PosixPortCalls().write.load(std::memory_order_relaxed)(fd, data, count);
}
int SysPoll(pollfd* fds, nfds_t count, int timeoutMs) {
    return PosixPortCalls().poll.load(std::memory_order_relaxed)(fds, count, timeoutMs);
}
int SysGetAttr(int fd, termios* tio) {
    return PosixPortCalls().tcgetattr.load(std::memory_order_relaxed)(fd, tio);
}
int SysSetAttr(int fd, int when, const termios* tio) {
    return PosixPortCalls().tcsetattr.load(std::memory_order_relaxed)(fd, when, tio);
}
int SysFlush(int fd, int queue) {
    return PosixPortCalls().tcflush.load(std::memory_order_relaxed)(fd, queue);
}

} // namespace

void TPosixPortCalls::Restore() {
    open = &LibcOpen;
    close = &::close;
    ioctl = &LibcIoctl;
    read = &::read;
    write = &::write;
    poll = &::poll;
    tcgetattr = &::tcgetattr;
    tcsetattr = &::tcsetattr;
    tcflush = &::tcflush;
}

TPosixPortCalls& PosixPortCalls() {
    static TPosixPortCalls calls;
    return calls;
}

// ---- lock files ----

std::string PortLockPath(const std::string& folder, const std::string& devicePath) {
    const auto slash = devicePath.rfind('/');
    const std::string name = slash == std::string::npos ? devicePath : devicePath.substr(slash + 1);
    return folder + "/LCK.." + name;
}

long ReadPortLockPid(const std::string& lockPath) {
    const int fd = open(lockPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) {
        // A folder we may not search hides whether there is a lock; only a file that is
        // there and that we cannot read counts as one.
        struct stat st {};
        return lstat(lockPath.c_str(), &st) == 0 ? -1 : 0;
    }
    char text[64];
    size_t size = 0;
    while (size < sizeof text) {
        const ssize_t n = read(fd, text + size, sizeof text - size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            close(fd);
            return -1;
        }
        if (n == 0) {
            break;
        }
        size += static_cast<size_t>(n);
    }
    close(fd);
    size_t i = 0;
    auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    while (i < size && isSpace(text[i])) {
        ++i;
    }
    long pid = 0;
    const size_t digits = i;
    while (i < size && text[i] >= '0' && text[i] <= '9') {
        pid = pid * 10 + (text[i] - '0');
        if (pid > INT_MAX) {
            return 0;
        }
        ++i;
    }
    if (i == digits) {
        return 0;
    }
    while (i < size && isSpace(text[i])) {
        ++i;
    }
    // Anything else, or more than a lock file holds, is no process id.
    return i == size && size < sizeof text ? pid : 0;
}

// ---- stop event ----

TComStopEvent::TComStopEvent() : m_handle(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

TComStopEvent::~TComStopEvent() {
    if (m_handle >= 0) {
        close(static_cast<int>(m_handle));
    }
}

void TComStopEvent::Set() {
    const uint64_t one = 1;
    // The counter only grows; the descriptor stays readable until Reset.
    [[maybe_unused]] ssize_t n = write(static_cast<int>(m_handle), &one, sizeof one);
}

void TComStopEvent::Reset() {
    uint64_t value = 0;
    [[maybe_unused]] ssize_t n = read(static_cast<int>(m_handle), &value, sizeof value);
}

bool TComStopEvent::IsSet() const {
    pollfd p{static_cast<int>(m_handle), POLLIN, 0};
    return poll(&p, 1, 0) == 1 && (p.revents & POLLIN) != 0;
}

std::unique_ptr<TComDriver> CreateSystemComDriver() {
    return std::make_unique<TComDriverPosix>();
}

bool IsHangUpError(int32_t systemError) {
    switch (systemError) {
    case EIO:    // a terminal after its hang-up, an unplugged adapter
    case ENXIO:  // the device behind the node has gone
    case ENODEV: // the same, as some drivers say it
    case EPIPE:  // a connection's far end closed
    case ECONNRESET:
    case ECONNABORTED:
    case ENOTCONN:
    case ESHUTDOWN:
    case ETIMEDOUT: // a connection that stopped answering
    case EHOSTUNREACH:
    case ENETUNREACH:
    case ENETDOWN:
        return true;
    default:
        return false;
    }
}

// ---- control block -> termios ----

bool DcbToTermios(const TComDcb& dcb, termios& tio, uint32_t& customRate) {
    customRate = 0;
    if (dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > 4 || dcb.StopBits > 2 ||
        dcb.BaudRate == 0) {
        return false;
    }
    cfmakeraw(&tio);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
#ifdef CMSPAR
    tio.c_cflag &= ~static_cast<tcflag_t>(CMSPAR);
#endif
    tio.c_cflag |= CLOCAL | CREAD;
    static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    tio.c_cflag |= kSizes[dcb.ByteSize - 5];
    switch (dcb.Parity) {
    case 1:
        tio.c_cflag |= PARENB | PARODD;
        break;
    case 2:
        tio.c_cflag |= PARENB;
        break;
    case 3:
    case 4:
#ifdef CMSPAR
        // Stick parity: PARODD chooses a mark (1) bit, without it a space (0) bit.
        tio.c_cflag |= PARENB | CMSPAR | (dcb.Parity == 3 ? PARODD : 0);
        break;
#else
        return false;
#endif
    default:
        break;
    }
    // The UART knows one or two stop bits; one and a half is sent as two.
    if (dcb.StopBits != 0) {
        tio.c_cflag |= CSTOPB;
    }
    // CTS output flow and RTS handshake are one switch on this system. DSR flow, DSR
    // sensitivity and DTR handshake have no equivalent and are left out.
    if (dcb.Has(DcbFlagOutxCtsFlow) || dcb.RtsControl() == 2) {
        tio.c_cflag |= CRTSCTS;
    }
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK | IGNPAR | PARMRK);
    if (dcb.Has(DcbFlagOutX)) {
        tio.c_iflag |= IXON;
    }
    if (dcb.Has(DcbFlagInX)) {
        tio.c_iflag |= IXOFF;
    }
    if (dcb.Has(DcbFlagParity)) {
        tio.c_iflag |= INPCK;
    }
    tio.c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
    tio.c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);
    // Reads never block in the kernel; the driver times them itself.
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    for (const SpeedEntry& s : kSpeeds) {
        if (s.rate == dcb.BaudRate) {
            cfsetispeed(&tio, s.code);
            cfsetospeed(&tio, s.code);
            return true;
        }
    }
    customRate = dcb.BaudRate;
    return true;
}

// ---- driver ----

struct TComDriverPosix::TCall {
    explicit TCall(unsigned k) : kind(k) {}
    unsigned kind;
    int fd = -1;
    int wakeFd = -1; // only calls that block have one
    int reason = ReasonNone;

    void Wake() const {
        const uint64_t one = 1;
        [[maybe_unused]] ssize_t n = write(wakeFd, &one, sizeof one);
    }
};

TComDriverPosix::TComDriverPosix()
    : m_portsFolder(DefaultPortsFolder()), m_lockFolder(DefaultLockFolder()) {}

TComDriverPosix::TComDriverPosix(std::string portsFolder)
    : m_portsFolder(std::move(portsFolder)), m_lockFolder(DefaultLockFolder()) {}

TComDriverPosix::~TComDriverPosix() {
    bool open = false;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        open = m_gate.IsOpen();
    }
    if (open) {
        Close();
    }
}

std::string TComDriverPosix::DefaultPortsFolder() {
    return LocalAppDataPath() + "/Dolvy/Korvane/ports";
}

void TComDriverPosix::SetPortsFolder(std::string folder) {
    m_portsFolder = std::move(folder);
}

std::string TComDriverPosix::DefaultLockFolder() {
    return IsDirectory("/run/lock") ? "/run/lock" : "/var/lock";
}

void TComDriverPosix::SetLockFolder(std::string folder) {
    m_lockFolder = std::move(folder);
}

std::string TComDriverPosix::LockPathFor(const std::string& path) const {
    if (m_lockFolder.empty()) {
        return std::string();
    }
    // Other programs name the lock after the device itself, not after a link to it.
    std::string device = path;
    if (char* real = realpath(path.c_str(), nullptr)) {
        device = real;
        std::free(real);
    }
    if (device.rfind("/dev/pts/", 0) == 0 && !m_lockPseudoTerminals) {
        return std::string();
    }
    return PortLockPath(m_lockFolder, device);
}

std::string TComDriverPosix::ResolvePath(const std::string& port) const {
    if (port.find('/') != std::string::npos) {
        return port;
    }
    if (port.empty() || port == "." || port == "..") {
        return "/dev/" + port;
    }
    if (!m_portsFolder.empty()) {
        const std::string registered = m_portsFolder + "/" + port;
        if (PathExists(registered)) {
            return registered;
        }
    }
    const std::string device = "/dev/" + port;
    if (PathExists(device)) {
        return device;
    }
    // Port names reach us upper-cased by the port list; device and link names are usually
    // lower case.
    if (!m_portsFolder.empty()) {
        const std::string name = FindIgnoringCase(m_portsFolder, port);
        if (!name.empty()) {
            return m_portsFolder + "/" + name;
        }
    }
    const std::string name = FindIgnoringCase("/dev", port);
    return name.empty() ? device : "/dev/" + name;
}

bool TComDriverPosix::Enter(TCall& call) {
    if (call.kind != KindOther) {
        call.wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (call.wakeFd < 0) {
            return Fail(errno);
        }
    }
    if (!m_gate.Enter(call, call.wakeFd >= 0, [&] { call.fd = m_fd; })) {
        if (call.wakeFd >= 0) {
            close(call.wakeFd);
            call.wakeFd = -1;
        }
        return Fail(EBADF);
    }
    return true;
}

void TComDriverPosix::Leave(TCall& call) {
    m_gate.Leave(call);
    if (call.wakeFd >= 0) {
        close(call.wakeFd);
        call.wakeFd = -1;
    }
}

bool TComDriverPosix::Open(const std::string& port) {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_fd >= 0) {
            return Fail(EBUSY);
        }
    }
    const std::string path = ResolvePath(port);
    const std::string lockPath = LockPathFor(path);
    if (!lockPath.empty() && InspectPortLock(lockPath) == TLockOwner::Other) {
        return Fail(EBUSY);
    }
    const int fd = SysOpen(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return Fail(errno);
    }
    int error = 0;
    if (!isatty(fd)) {
        error = ENOTTY;
    } else if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        // Another descriptor, here or in another program, holds the port.
        error = errno;
    }
    if (error != 0) {
        SysClose(fd);
        return Fail(error);
    }
    // Keeps out programs that do not lock; set only once the lock is ours, since the flag
    // belongs to the terminal and not to this descriptor.
    SysIoctl(fd, TIOCEXCL, nullptr);
    bool locked = false;
    if (!lockPath.empty()) {
        const int busy = CreatePortLock(m_lockFolder, lockPath, locked);
        if (busy != 0) {
            SysIoctl(fd, TIOCNXCL, nullptr);
            SysClose(fd);
            return Fail(busy);
        }
    }
    struct stat link {};
    const bool registered = lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode);
    std::lock_guard<std::mutex> guard(m_lock);
    m_linkPath = registered ? path : std::string();
    m_linkInode = registered ? static_cast<unsigned long long>(link.st_ino) : 0;
    m_linkChanged =
        registered ? static_cast<long long>(link.st_ctime) * 1000000000LL + link.st_ctim.tv_nsec
                   : 0;
    m_lockPath = locked ? lockPath : std::string();
    m_fd = fd;
    m_gate.MarkOpen();
    m_mask = 0;
    m_discardNull = false;
    m_timeouts = TComTimeoutValues{};
    return true;
}

std::string TComDriverPosix::DescribeOpenFailure(const std::string& port, int32_t error) const {
    TPortProbe probe;
    probe.lockFolder = m_lockFolder;
    return OpenFailureReason(port, ResolvePath(port), error, probe);
}

bool TComDriverPosix::Close() {
    int fd = -1;
    std::string lockPath;
    {
        std::unique_lock<std::mutex> guard(m_lock);
        if (!m_gate.BeginClose()) {
            return Fail(EBADF);
        }
        m_gate.WakeAllAndWaitIdle(guard);
        fd = m_fd;
        m_fd = -1;
        m_gate.EndClose();
        lockPath.swap(m_lockPath);
    }
    SysIoctl(fd, TIOCNXCL, nullptr);
    const bool closed = SysClose(fd) == 0 || errno == EINTR;
    const int error = errno;
    // Only while it is still ours: someone may have taken a lock they found stale.
    if (!lockPath.empty() && ReadPortLockPid(lockPath) == static_cast<long>(getpid())) {
        unlink(lockPath.c_str());
    }
    return closed ? true : Fail(error);
}

bool TComDriverPosix::SetupComm(uint32_t inputSize, uint32_t outputSize) {
    // The kernel's buffers have fixed sizes; ReadFile keeps draining the descriptor instead.
    std::lock_guard<std::mutex> guard(m_lock);
    if (!m_gate.IsOpen()) {
        return Fail(EBADF);
    }
    m_inputSize = inputSize;
    m_outputSize = outputSize;
    return true;
}

bool TComDriverPosix::SetCommState(const TComDcb& dcb) {
    TCall call(KindOther);
    if (!Enter(call)) {
        return false;
    }
    int error = 0;
    termios tio{};
    uint32_t customRate = 0;
    if (SysGetAttr(call.fd, &tio) != 0) {
        error = errno;
    } else if (!DcbToTermios(dcb, tio, customRate)) {
        error = EINVAL;
    } else {
        if (customRate != 0) {
            cfsetispeed(&tio, B38400);
            cfsetospeed(&tio, B38400);
        }
        if (SysSetAttr(call.fd, TCSANOW, &tio) != 0) {
            error = errno;
            // The C library reports EINVAL when the terminal did not keep every setting. A
            // pseudo-terminal (no modem lines) always carries 8-bit bytes without parity and
            // drops those bits while it takes the rest; that is no failure of the port.
            int lines = 0;
            if (error == EINVAL && SysIoctl(call.fd, TIOCMGET, &lines) != 0 &&
                NoModemLines(errno)) {
                error = 0;
            }
        }
        if (error == 0 && customRate != 0) {
            error = SetTermios2Speed(call.fd, customRate);
        }
    }
    if (error == 0) {
        // DTR handshake has no equivalent here and keeps the line on; RTS toggle (on only
        // while sending) is not available either and keeps it off.
        int dtr = TIOCM_DTR;
        int rts = TIOCM_RTS;
        const bool dtrOn = dcb.DtrControl() != 0;
        const bool rtsOn = dcb.RtsControl() == 1 || dcb.RtsControl() == 2;
        if (SysIoctl(call.fd, dtrOn ? TIOCMBIS : TIOCMBIC, &dtr) != 0 && !NoModemLines(errno)) {
            error = errno;
        } else if (SysIoctl(call.fd, rtsOn ? TIOCMBIS : TIOCMBIC, &rts) != 0 &&
                   !NoModemLines(errno)) {
            error = errno;
        }
    }
    if (error == 0) {
        std::lock_guard<std::mutex> guard(m_lock);
        m_discardNull = dcb.Has(DcbFlagNull);
    }
    Leave(call);
    return error == 0 ? true : Fail(error);
}

bool TComDriverPosix::SetCommTimeouts(const TComTimeoutValues& timeouts) {
    std::lock_guard<std::mutex> guard(m_lock);
    if (!m_gate.IsOpen()) {
        return Fail(EBADF);
    }
    m_timeouts = timeouts;
    return true;
}

bool TComDriverPosix::SetCommMask(uint32_t mask) {
    std::lock_guard<std::mutex> guard(m_lock);
    if (!m_gate.IsOpen()) {
        return Fail(EBADF);
    }
    m_mask = mask;
    m_gate.Wake(KindWait, ReasonMask);
    return true;
}

bool TComDriverPosix::WaitCommEvent(uint32_t& events, TComStopEvent* stop, int32_t timeoutMs) {
    events = 0;
    TCall call(KindWait);
    if (!Enter(call)) {
        return false;
    }
    uint32_t mask = 0;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        mask = m_mask;
    }
    int error = 0;
    const Deadline deadline =
        timeoutMs >= 0 ? Deadline(SteadyClock::now() + std::chrono::milliseconds(timeoutMs))
                       : Deadline();

    // The system reports no modem-line changes to a waiting reader, so the lines are
    // sampled while such events are asked for.
    const uint32_t lineMask = mask & (ComEvCts | ComEvDsr | ComEvRlsd | ComEvRing);
    bool sampleLines = false;
    int lines = 0;
    if (lineMask != 0) {
        if (SysIoctl(call.fd, TIOCMGET, &lines) == 0) {
            sampleLines = true;
        } else if (!NoModemLines(errno)) {
            error = errno;
        }
    }
    bool sampleTx = false;
    int outQueue = 0;
    if ((mask & ComEvTxEmpty) != 0 && SysIoctl(call.fd, TIOCOUTQ, &outQueue) == 0) {
        sampleTx = true;
    }
    // Lamps need no finer look than a quarter second; the end of a transmission is looked
    // for more often, as a sender waits on it.
    constexpr int LineSampleMs = 250;
    constexpr int TxSampleMs = 10;
    const int sampleMs = sampleTx ? TxSampleMs : sampleLines ? LineSampleMs : -1;

    while (error == 0) {
        pollfd fds[3] = {
            {call.wakeFd, POLLIN, 0},
            {(mask & ComEvRxChar) != 0 ? call.fd : -1, POLLIN, 0},
            {stop != nullptr ? static_cast<int>(stop->NativeHandle()) : -1, POLLIN, 0}};
        const int r = SysPoll(fds, 3, PollTimeout(deadline, sampleMs));
        if (r < 0) {
            if (errno != EINTR) {
                error = errno;
            }
            continue;
        }
        if (fds[0].revents != 0) {
            std::lock_guard<std::mutex> guard(m_lock);
            if (call.reason == ReasonClosed) {
                error = EBADF;
            } else if (call.reason == ReasonPurged) {
                error = ECANCELED;
            }
            break; // a new mask ends the wait with no events
        }
        if ((fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            // Input left over from before a hang-up is still reported; after that the
            // device is gone.
            int queued = 0;
            if (SysIoctl(call.fd, FIONREAD, &queued) != 0 || queued <= 0) {
                error = EIO;
                break;
            }
            events |= ComEvRxChar;
        } else if ((fds[1].revents & POLLIN) != 0) {
            events |= ComEvRxChar;
        }
        if (sampleLines) {
            int now = 0;
            if (SysIoctl(call.fd, TIOCMGET, &now) != 0) {
                error = errno;
                break;
            }
            const int changed = now ^ lines;
            if ((changed & TIOCM_CTS) != 0) {
                events |= mask & ComEvCts;
            }
            if ((changed & TIOCM_DSR) != 0) {
                events |= mask & ComEvDsr;
            }
            if ((changed & TIOCM_CAR) != 0) {
                events |= mask & ComEvRlsd;
            }
            if ((now & TIOCM_RNG) != 0 && (lines & TIOCM_RNG) == 0) {
                events |= mask & ComEvRing;
            }
            lines = now;
        }
        if (sampleTx) {
            int queued = 0;
            if (SysIoctl(call.fd, TIOCOUTQ, &queued) == 0) {
                if (outQueue > 0 && queued == 0) {
                    events |= ComEvTxEmpty;
                }
                outQueue = queued;
            }
        }
        if (events != 0) {
            break;
        }
        if ((fds[2].revents & POLLIN) != 0 || Passed(deadline)) {
            break;
        }
    }
    Leave(call);
    if (error != 0) {
        events = 0;
        return Fail(error);
    }
    return true;
}

bool TComDriverPosix::ReadFile(void* buffer, uint32_t count, uint32_t& transferred) {
    transferred = 0;
    TCall call(KindRead);
    if (!Enter(call)) {
        return false;
    }
    TComTimeoutValues t;
    bool discardNull = false;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        t = m_timeouts;
        discardNull = m_discardNull;
    }
    auto* out = static_cast<uint8_t*>(buffer);
    const auto start = SteadyClock::now();
    const TReadWindow window(t, count);
    SteadyClock::time_point lastByte = start;
    int error = 0;
    bool aborted = false;

    // The kernel holds only a few KiB, so the descriptor is drained whenever it has data,
    // for the whole window, rather than read once at its end.
    bool hungUp = false;
    for (;;) {
        const uint32_t before = transferred;
        while (transferred < count) {
            const ssize_t n = SysRead(call.fd, out + transferred, count - transferred);
            if (n > 0) {
                const auto got = static_cast<uint32_t>(n);
                transferred += discardNull ? RemoveNulls(out + transferred, got) : got;
                lastByte = SteadyClock::now();
                continue;
            }
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0 && errno != EAGAIN) {
                error = errno;
            }
            break;
        }
        // After a hang-up the terminal keeps reporting input; once it gives no more bytes
        // the device is gone.
        if (error == 0 && hungUp && transferred == before) {
            error = EIO;
        }
        if (error != 0 || window.Done(transferred)) {
            break;
        }
        const TReadWindow::Duration after = window.End(transferred, lastByte - start);
        const Deadline end = after == TReadWindow::NoLimit ? Deadline() : Deadline(start + after);
        if (Passed(end)) {
            break;
        }
        pollfd fds[2] = {{call.wakeFd, POLLIN, 0}, {call.fd, POLLIN, 0}};
        if (SysPoll(fds, 2, PollTimeout(end, -1)) < 0) {
            if (errno != EINTR) {
                error = errno;
                break;
            }
            continue;
        }
        if (fds[0].revents != 0) {
            std::lock_guard<std::mutex> guard(m_lock);
            error = call.reason == ReasonClosed ? EBADF : ECANCELED;
            aborted = true;
            break;
        }
        if ((fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            hungUp = true;
        }
    }
    Leave(call);
    // Bytes already taken are delivered; the failure shows at the next read.
    if (error != 0 && (aborted || transferred == 0)) {
        transferred = 0;
        return Fail(error);
    }
    return true;
}

bool TComDriverPosix::WriteFile(const void* data, uint32_t count, uint32_t& transferred) {
    transferred = 0;
    TCall call(KindWrite);
    if (!Enter(call)) {
        return false;
    }
    TComTimeoutValues t;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        t = m_timeouts;
    }
    Deadline end;
    if (t.WriteTotalTimeoutMultiplier != 0 || t.WriteTotalTimeoutConstant != 0) {
        const uint64_t total =
            uint64_t{t.WriteTotalTimeoutMultiplier} * count + uint64_t{t.WriteTotalTimeoutConstant};
        end = SteadyClock::now() + std::chrono::milliseconds(total);
    }
    const auto* in = static_cast<const uint8_t*>(data);
    int error = 0;
    while (transferred < count) {
        const ssize_t n = SysWrite(call.fd, in + transferred, count - transferred);
        if (n > 0) {
            transferred += static_cast<uint32_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno != EAGAIN) {
            error = errno;
            break;
        }
        // A write that times out completes with the bytes handed over so far.
        if (Passed(end)) {
            break;
        }
        pollfd fds[2] = {{call.wakeFd, POLLIN, 0}, {call.fd, POLLOUT, 0}};
        if (SysPoll(fds, 2, PollTimeout(end, -1)) < 0) {
            if (errno != EINTR) {
                error = errno;
                break;
            }
            continue;
        }
        if (fds[0].revents != 0) {
            std::lock_guard<std::mutex> guard(m_lock);
            error = call.reason == ReasonClosed ? EBADF : ECANCELED;
            break;
        }
        if ((fds[1].revents & POLLOUT) == 0 &&
            (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            error = EIO;
            break;
        }
    }
    Leave(call);
    return error == 0 ? true : Fail(error);
}

bool TComDriverPosix::PurgeComm(uint32_t flags) {
    TCall call(KindOther);
    if (!Enter(call)) {
        return false;
    }
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_gate.WakeForPurge(flags);
    }
    const bool rx = (flags & (ComPurgeRxAbort | ComPurgeRxClear)) != 0;
    const bool tx = (flags & (ComPurgeTxAbort | ComPurgeTxClear)) != 0;
    int error = 0;
    if (rx || tx) {
        const int queue = rx && tx ? TCIOFLUSH : (rx ? TCIFLUSH : TCOFLUSH);
        // A device that is gone (unplugged, hung up) has nothing left to purge; failing
        // here would make its port impossible to close.
        if (SysFlush(call.fd, queue) != 0 && !IsHangUpError(errno)) {
            error = errno;
        }
    }
    Leave(call);
    return error == 0 ? true : Fail(error);
}

bool TComDriverPosix::SendBreak() {
    TCall call(KindOther);
    if (!Enter(call)) {
        return false;
    }
    // TCSBRK with 0 is tcsendbreak(fd, 0): a break of 0.25 to 0.5 s.
    const int error = SysIoctl(call.fd, TCSBRK, nullptr) == 0 ? 0 : errno;
    Leave(call);
    return error == 0 ? true : Fail(error);
}

bool TComDriverPosix::ClearCommError(uint32_t& errors, uint32_t& inputQueue) {
    errors = 0;
    inputQueue = 0;
    TCall call(KindOther);
    if (!Enter(call)) {
        return false;
    }
    int queued = 0;
    const int error = SysIoctl(call.fd, FIONREAD, &queued) == 0 ? 0 : errno;
    Leave(call);
    if (error != 0) {
        return Fail(error);
    }
    inputQueue = static_cast<uint32_t>(std::max(queued, 0));
    return true;
}

bool TComDriverPosix::GetCommModemStatus(uint32_t& status) {
    status = 0;
    TCall call(KindOther);
    if (!Enter(call)) {
        return false;
    }
    int lines = 0;
    int error = SysIoctl(call.fd, TIOCMGET, &lines) == 0 ? 0 : errno;
    Leave(call);
    if (NoModemLines(error)) {
        return true; // all lines off
    }
    if (error != 0) {
        return Fail(error);
    }
    if ((lines & TIOCM_CTS) != 0) {
        status |= ComMsCtsOn;
    }
    if ((lines & TIOCM_DSR) != 0) {
        status |= ComMsDsrOn;
    }
    if ((lines & TIOCM_RNG) != 0) {
        status |= ComMsRingOn;
    }
    if ((lines & TIOCM_CAR) != 0) {
        status |= ComMsRlsdOn;
    }
    return true;
}

int32_t TComDriverPosix::LastError() const {
    return t_lastError;
}

bool TComDriverPosix::PortPresent(const std::string& port) const {
    struct stat st {};
    return stat(ResolvePath(port).c_str(), &st) == 0 && S_ISCHR(st.st_mode);
}

bool TComDriverPosix::PortReturned(const std::string& port) {
    if (!PortPresent(port)) {
        return false;
    }
    const std::string path = ResolvePath(port);
    struct stat link {};
    if (path != m_linkPath || lstat(path.c_str(), &link) != 0 ||
        static_cast<unsigned long long>(link.st_ino) != m_linkInode ||
        static_cast<long long>(link.st_ctime) * 1000000000LL + link.st_ctim.tv_nsec !=
            m_linkChanged) {
        return true;
    }
    // The same link as before: good for a device node that comes back under its name,
    // not for a pseudo-terminal number.
    char* target = realpath(path.c_str(), nullptr);
    const bool pty = target != nullptr && std::strncmp(target, "/dev/pts/", 9) == 0;
    std::free(target);
    return !pty;
}
