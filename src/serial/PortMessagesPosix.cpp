#include "serial/PortMessages.h"

#include "serial/ComDriverPosix.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <grp.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <vector>

namespace {

std::string ErrorText(int32_t error) {
    return std::strerror(static_cast<int>(error));
}

bool IsNumber(const char* text) {
    if (*text == '\0') {
        return false;
    }
    for (; *text != '\0'; ++text) {
        if (*text < '0' || *text > '9') {
            return false;
        }
    }
    return true;
}

std::string RealPath(const std::string& path) {
    std::string real = path;
    if (char* r = realpath(path.c_str(), nullptr)) {
        real = r;
        std::free(r);
    }
    return real;
}

std::string ReadLink(const std::string& path) {
    char target[PATH_MAX];
    const ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
    return n > 0 ? std::string(target, static_cast<size_t>(n)) : std::string();
}

std::string ProcessName(const std::string& procRoot, long pid) {
    std::ifstream comm(procRoot + "/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(comm, name);
    return name;
}

bool ProcessExists(const std::string& procRoot, long pid) {
    struct stat st {};
    return stat((procRoot + "/" + std::to_string(pid)).c_str(), &st) == 0;
}

// The number of the pseudo-terminal whose slave side `device` is (/dev/pts/N), or -1.
long PtyIndex(const std::string& device) {
    static const std::string folder = "/dev/pts/";
    if (device.compare(0, folder.size(), folder) != 0 ||
        !IsNumber(device.c_str() + folder.size())) {
        return -1;
    }
    return std::strtol(device.c_str() + folder.size(), nullptr, 10);
}

// Whether process `pid` owns the master side of pseudo-terminal `index`: a program that
// made the terminal (a bridge, an emulator) keeps the slave open too, but it is the line's
// other end, not a program that uses the port.
bool OwnsPtyMaster(const std::string& procRoot, long pid, long index) {
    if (index < 0) {
        return false;
    }
    const std::string base = procRoot + "/" + std::to_string(pid);
    DIR* fds = opendir((base + "/fd").c_str());
    if (fds == nullptr) {
        return false;
    }
    bool owns = false;
    while (const dirent* fd = readdir(fds)) {
        if (!IsNumber(fd->d_name)) {
            continue;
        }
        const std::string target = ReadLink(base + "/fd/" + fd->d_name);
        if (target != "/dev/ptmx" && target != "/dev/pts/ptmx") {
            continue;
        }
        std::ifstream info(base + "/fdinfo/" + fd->d_name);
        std::string line;
        while (std::getline(info, line)) {
            if (line.compare(0, 10, "tty-index:") == 0 &&
                std::strtol(line.c_str() + 10, nullptr, 10) == index) {
                owns = true;
            }
        }
        if (owns) {
            break;
        }
    }
    closedir(fds);
    return owns;
}

// The process holding a lock (flock or a record lock) on `device`, from the kernel's table
// of locks; 0 when there is none.
long LockTableHolder(const std::string& procRoot, const std::string& device) {
    struct stat st {};
    if (stat(device.c_str(), &st) != 0) {
        return 0;
    }
    char node[64];
    std::snprintf(node, sizeof node, "%02x:%02x:%llu", major(st.st_dev), minor(st.st_dev),
                  static_cast<unsigned long long>(st.st_ino));
    std::ifstream locks(procRoot + "/locks");
    std::string line;
    while (std::getline(locks, line)) {
        // "1: FLOCK  ADVISORY  WRITE 4242 00:1a:6 0 EOF"; waiters are marked "->".
        std::istringstream fields(line);
        std::string number;
        std::string kind;
        std::string mode;
        std::string access;
        long pid = 0;
        std::string where;
        if (!(fields >> number >> kind >> mode >> access >> pid >> where) || kind == "->") {
            continue;
        }
        if (where == node && pid > 0) {
            return pid;
        }
    }
    return 0;
}

// A process in the table that has `device` open, other than a process that owns the master side of
// the pseudo-terminal `device` is; 0 when none can be seen (another user's descriptors are hidden
// from us unless we are root).
long ScanOpenDescriptors(const std::string& procRoot, const std::string& device) {
    DIR* proc = opendir(procRoot.c_str());
    if (proc == nullptr) {
        return 0;
    }
    long found = 0;
    while (found == 0) {
        const dirent* entry = readdir(proc);
        if (entry == nullptr) {
            break;
        }
        if (!IsNumber(entry->d_name)) {
            continue;
        }
        const std::string fdFolder = procRoot + "/" + entry->d_name + "/fd";
        DIR* fds = opendir(fdFolder.c_str());
        if (fds == nullptr) {
            continue;
        }
        while (const dirent* fd = readdir(fds)) {
            if (IsNumber(fd->d_name) && ReadLink(fdFolder + "/" + fd->d_name) == device) {
                const long pid = std::strtol(entry->d_name, nullptr, 10);
                if (!OwnsPtyMaster(procRoot, pid, PtyIndex(device))) {
                    found = pid;
                }
                break;
            }
        }
        closedir(fds);
    }
    closedir(proc);
    return found;
}

bool InGroup(gid_t gid) {
    if (getegid() == gid) {
        return true;
    }
    const int count = getgroups(0, nullptr);
    if (count <= 0) {
        return false;
    }
    std::vector<gid_t> groups(static_cast<size_t>(count));
    const int got = getgroups(count, groups.data());
    for (int i = 0; i < got; ++i) {
        if (groups[static_cast<size_t>(i)] == gid) {
            return true;
        }
    }
    return false;
}

std::string GroupName(gid_t gid) {
    std::vector<char> buffer(16384);
    group entry{};
    group* result = nullptr;
    if (getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &result) == 0 && result != nullptr) {
        return result->gr_name;
    }
    return std::to_string(gid);
}

std::string PermissionReason(const std::string& devicePath) {
    struct stat st {};
    if (stat(devicePath.c_str(), &st) != 0) {
        return "Permission denied for " + devicePath + ".";
    }
    const std::string group = GroupName(st.st_gid);
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    if (st.st_gid == 0) {
        return "Permission denied for " + devicePath + ": it belongs to root (mode " + mode +
               "); ask the administrator for access.";
    }
    if (InGroup(st.st_gid)) {
        return "Permission denied for " + devicePath + " although you are in its group \"" + group +
               "\": its mode " + mode + " does not let the group read and write it.";
    }
    return "Permission denied for " + devicePath + ": you must be in the group \"" + group +
           "\" to use it. Add yourself with: sudo usermod -aG " + group +
           " $USER, then log out and log in again.";
}

std::string BusyReason(const std::string& devicePath, const TPortProbe& probe) {
    const TPortHolder holder = FindPortHolder(devicePath, probe);
    if (holder.pid == 0) {
        return devicePath + " is in use by another program.";
    }
    const std::string process = "process " + std::to_string(holder.pid);
    return devicePath + " is in use by " +
           (holder.name.empty() ? process : holder.name + " (" + process + ")") + ".";
}

std::string MissingReason(const std::string& port, const std::string& devicePath) {
    struct stat st {};
    if (lstat(devicePath.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        // A registered virtual port whose program has ended.
        return "The port " + port + " is a link to " + ReadLink(devicePath) +
               ", which no longer exists: start the program that provides it again.";
    }
    return "There is no device " + devicePath +
           ": check the port name and that the device is plugged in.";
}

} // namespace

std::string SystemErrorTail(int32_t systemError) {
    return " (system error " + std::to_string(systemError) + ": " + ErrorText(systemError) + ")";
}

TPortHolder FindPortHolder(const std::string& devicePath, const TPortProbe& probe) {
    const std::string device = RealPath(devicePath);
    TPortHolder holder;
    const auto usable = [&](long pid) { return pid > 0 && ProcessExists(probe.procRoot, pid); };
    // Whoever locked the port uses it (even when it made the pseudo-terminal itself); a
    // process that merely has it open may be the line's other end or a program that waits.
    if (!probe.lockFolder.empty()) {
        const long pid = ReadPortLockPid(PortLockPath(probe.lockFolder, device));
        if (usable(pid)) {
            holder.pid = pid;
        }
    }
    if (holder.pid == 0) {
        const long pid = LockTableHolder(probe.procRoot, device);
        if (usable(pid)) {
            holder.pid = pid;
        }
    }
    if (holder.pid == 0) {
        holder.pid = ScanOpenDescriptors(probe.procRoot, device);
    }
    if (holder.pid != 0) {
        holder.name = ProcessName(probe.procRoot, holder.pid);
    }
    return holder;
}

std::string OpenFailureReason(const std::string& port, const std::string& devicePath,
                              int32_t systemError, const TPortProbe& probe) {
    switch (systemError) {
    case -1:
    case 0:
        return std::string();
    case EACCES:
    case EPERM:
        // The device itself, not the link a virtual port is registered by.
        return PermissionReason(RealPath(devicePath));
    case EBUSY:
    case EWOULDBLOCK:
        return BusyReason(RealPath(devicePath), probe);
    case ENOENT:
        return MissingReason(port, devicePath);
    case ENXIO:
    case ENODEV:
        return "No device answers at " + devicePath +
               ": the port is known to the system but its hardware is not there.";
    case ENOTTY:
        return devicePath + " is not a serial port.";
    default:
        return "Opening " + devicePath + " failed: " + ErrorText(systemError) + " (system error " +
               std::to_string(systemError) + ").";
    }
}
