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
#include <sys/stat.h>
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

// A process in the table that has `device` open; 0 when none can be seen (another user's
// descriptors are hidden from us unless we are root).
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
                found = std::strtol(entry->d_name, nullptr, 10);
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
    if (!probe.lockFolder.empty()) {
        const long pid = ReadPortLockPid(PortLockPath(probe.lockFolder, device));
        if (pid > 0 && ProcessExists(probe.procRoot, pid)) {
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
