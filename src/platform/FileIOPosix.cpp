#include "platform/FileIO.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

EFileError::EFileError(const std::string& action, std::string path, int errorCode)
    : std::runtime_error(action + " \"" + path + "\": " + std::strerror(errorCode)),
      m_path(std::move(path)), m_errorCode(errorCode) {}

EFileError::EFileError(const std::string& action, std::string path, int errorCode,
                       const std::string& reason)
    : std::runtime_error(action + " \"" + path + "\": " + reason), m_path(std::move(path)),
      m_errorCode(errorCode) {}

std::string EFileError::SystemError() const {
    return std::strerror(m_errorCode);
}

namespace {

class TDescriptor {
public:
    explicit TDescriptor(int fd) : m_fd(fd) {}
    TDescriptor(const TDescriptor&) = delete;
    TDescriptor& operator=(const TDescriptor&) = delete;
    ~TDescriptor() {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    int Get() const { return m_fd; }
    int Release() {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    // Closes now and reports the result: on some file systems a failed write shows only here.
    int Close() {
        const int fd = m_fd;
        m_fd = -1;
        return ::close(fd);
    }

private:
    int m_fd;
};

std::string FolderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    if (slash == 0) {
        return "/";
    }
    return path.substr(0, slash);
}

bool WriteAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

// Writes what `next` gives until it says it is done; false when a write failed.
bool WriteChunks(int fd, const TByteSource& next) {
    std::string chunk;
    for (;;) {
        chunk.clear();
        const bool more = next(chunk);
        if (!WriteAll(fd, chunk)) {
            return false;
        }
        if (!more) {
            return true;
        }
    }
}

// Opens a new file beside `path` with a name no other writer uses. Mode 0666 lets the
// umask decide the permissions, as a plain create would.
int CreateTemporary(const std::string& path, std::string& tempPath) {
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        tempPath = TemporaryFileName(path, static_cast<uint64_t>(::getpid()), counter.fetch_add(1));
        const int fd = ::open(tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) {
            return fd;
        }
    }
    errno = EEXIST;
    return -1;
}

} // namespace

void WriteFileAtomically(const std::string& path, const TByteSource& next) {
    const std::string action = "Cannot write";
    std::string tempPath;
    TDescriptor fd(CreateTemporary(path, tempPath));
    if (fd.Get() < 0) {
        throw EFileError(action, path, errno);
    }
    const auto fail = [&](int error) {
        ::unlink(tempPath.c_str());
        throw EFileError(action, path, error);
    };

    // lstat: a symbolic link at `path` is replaced, so its target's mode is not ours to copy.
    struct stat old {};
    if (::lstat(path.c_str(), &old) == 0 && S_ISREG(old.st_mode)) {
        // Best effort: a file we may not chmod is still written.
        (void)::fchmod(fd.Get(), old.st_mode & 07777);
    }
    bool written = false;
    try {
        written = WriteChunks(fd.Get(), next);
    } catch (...) {
        ::unlink(tempPath.c_str());
        throw;
    }
    if (!written) {
        fail(errno);
    }
    if (::fsync(fd.Get()) != 0) {
        fail(errno);
    }
    if (fd.Close() != 0) {
        fail(errno);
    }
    if (::rename(tempPath.c_str(), path.c_str()) != 0) {
        fail(errno);
    }
    // Makes the rename itself durable; a folder that cannot be opened or synced does not
    // undo a write that has already replaced the file.
    const int dir = ::open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        (void)::fsync(dir);
        ::close(dir);
    }
}

namespace {

// Gives the finished temporary file the name `path` unless something has that name.
// Returns 0, EEXIST, or the errno of the failure.
int PublishUnderNewName(const std::string& tempPath, const std::string& path) {
    if (::renameat2(AT_FDCWD, tempPath.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) == 0) {
        return 0;
    }
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) {
        return errno;
    }
    // File systems without that kind of rename: a hard link is just as exclusive.
    if (::link(tempPath.c_str(), path.c_str()) == 0) {
        ::unlink(tempPath.c_str());
        return 0;
    }
    if (errno != EPERM && errno != ENOTSUP && errno != ENOSYS) {
        return errno;
    }
    // Neither (FAT, some network file systems): looked up, then renamed. Only another
    // program writing this very name in the same instant could still be replaced.
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        return EEXIST;
    }
    return ::rename(tempPath.c_str(), path.c_str()) == 0 ? 0 : errno;
}

} // namespace

std::string WriteNewFileAtomically(const std::string& folder, const std::string& stem,
                                   const std::string& extension, const TByteSource& next) {
    const std::string action = "Cannot write";
    const std::string first = folder + "/" + stem + extension;
    std::string tempPath;
    TDescriptor fd(CreateTemporary(first, tempPath));
    if (fd.Get() < 0) {
        throw EFileError(action, first, errno);
    }
    const auto fail = [&](int error) {
        ::unlink(tempPath.c_str());
        throw EFileError(action, first, error);
    };
    bool written = false;
    try {
        written = WriteChunks(fd.Get(), next);
    } catch (...) {
        ::unlink(tempPath.c_str());
        throw;
    }
    if (!written) {
        fail(errno);
    }
    if (::fsync(fd.Get()) != 0) {
        fail(errno);
    }
    if (fd.Close() != 0) {
        fail(errno);
    }
    for (int number = 0; number < NumberedFileNames; ++number) {
        const std::string path = folder + "/" + NumberedFileName(stem, number) + extension;
        const int error = PublishUnderNewName(tempPath, path);
        if (error == EEXIST) {
            continue;
        }
        if (error != 0) {
            fail(error);
        }
        const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir >= 0) {
            (void)::fsync(dir);
            ::close(dir);
        }
        return path;
    }
    fail(EEXIST);
    return first; // not reached: fail throws
}

namespace {

std::string KindOf(mode_t mode) {
    if (S_ISFIFO(mode)) {
        return "a named pipe";
    }
    if (S_ISCHR(mode)) {
        return "a character device";
    }
    if (S_ISBLK(mode)) {
        return "a block device";
    }
    if (S_ISSOCK(mode)) {
        return "a socket";
    }
    return "not a regular file";
}

void RefuseUnlessRegular(const std::string& action, const std::string& path, mode_t mode) {
    if (S_ISDIR(mode)) {
        throw EFileError(action, path, EISDIR);
    }
    if (!S_ISREG(mode)) {
        throw EFileError(action, path, EINVAL,
                         "this is " + KindOf(mode) + ", not a file; only regular files are read");
    }
}

std::string MegabytesText(uint64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / (1024.0 * 1024.0));
    return text;
}

[[noreturn]] void RefuseTooLarge(const std::string& action, const std::string& path, uint64_t size,
                                 uint64_t limit) {
    throw EFileError(action, path, EFBIG,
                     "the file is " + MegabytesText(size) + ", more than the " +
                         MegabytesText(limit) + " that can be opened");
}

// Opens a regular file for reading, or returns -1 with errno ENOENT/ENOTDIR when there is
// none. The type is checked before the open (a FIFO would block it, a device would wake)
// and again on the descriptor, in case the name was replaced in between; O_NONBLOCK keeps
// that open from blocking whatever it finds.
int OpenRegularFile(const std::string& action, const std::string& path, struct stat& st) {
    if (::stat(path.c_str(), &st) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) {
            return -1;
        }
        throw EFileError(action, path, errno);
    }
    RefuseUnlessRegular(action, path, st.st_mode);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        if (errno == ENOENT || errno == ENOTDIR) {
            return -1;
        }
        throw EFileError(action, path, errno);
    }
    TDescriptor guard(fd);
    if (::fstat(fd, &st) != 0) {
        throw EFileError(action, path, errno);
    }
    RefuseUnlessRegular(action, path, st.st_mode);
    return guard.Release();
}

// Reads to the end, refusing to go past `limit` bytes (a file may grow while it is read).
std::string ReadToEnd(const std::string& action, const std::string& path, int fd, uint64_t size,
                      uint64_t limit, bool cut, const TProgress& progress) {
    std::string data;
    if (size <= limit) {
        data.reserve(static_cast<size_t>(size));
    }
    constexpr uint64_t kProgressStep = 1 << 20;
    uint64_t nextReport = kProgressStep;
    std::vector<char> buf(1 << 16);
    while (true) {
        const uint64_t room = limit - std::min<uint64_t>(limit, data.size());
        // One byte past the limit tells a file that is too large from one that fits.
        const uint64_t allowed = cut || room == UINT64_MAX ? room : room + 1;
        const size_t want = static_cast<size_t>(std::min<uint64_t>(buf.size(), allowed));
        if (want == 0) {
            break;
        }
        const ssize_t n = ::read(fd, buf.data(), want);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw EFileError(action, path, errno);
        }
        if (n == 0) {
            break;
        }
        data.append(buf.data(), static_cast<size_t>(n));
        if (data.size() > limit) {
            RefuseTooLarge(action, path, data.size(), limit);
        }
        if (progress && data.size() >= nextReport) {
            nextReport = data.size() + kProgressStep;
            if (!progress(data.size(), std::max<uint64_t>(size, data.size()))) {
                throw ECancelled();
            }
        }
    }
    return data;
}

} // namespace

std::optional<std::string> ReadFileIfExists(const std::string& path, size_t maxBytes) {
    const std::string action = "Cannot read";
    struct stat st {};
    TDescriptor fd(OpenRegularFile(action, path, st));
    if (fd.Get() < 0) {
        return std::nullopt;
    }
    return ReadToEnd(action, path, fd.Get(), static_cast<uint64_t>(st.st_size), maxBytes, true, {});
}

std::string ReadFileBytes(const std::string& path, uint64_t limit, const TProgress& progress) {
    const std::string action = "Cannot read";
    struct stat st {};
    TDescriptor fd(OpenRegularFile(action, path, st));
    if (fd.Get() < 0) {
        throw EFileError(action, path, ENOENT);
    }
    const auto size = static_cast<uint64_t>(st.st_size);
    if (size > limit) {
        RefuseTooLarge(action, path, size, limit);
    }
    return ReadToEnd(action, path, fd.Get(), size, limit, false, progress);
}

bool PathExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

namespace {

// 0 or the errno of the first step that failed.
int MakeFolders(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
    }
    const std::string parent = FolderOf(path);
    if (parent != path && parent != "." && parent != "/") {
        if (const int error = MakeFolders(parent); error != 0) {
            return error;
        }
    }
    // Another process may create it between the check and here.
    if (::mkdir(path.c_str(), 0777) != 0 && errno != EEXIST) {
        return errno;
    }
    if (::stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        return ENOTDIR;
    }
    return 0;
}

} // namespace

void CreateFolders(const std::string& path) {
    if (path.empty()) {
        return;
    }
    if (const int error = MakeFolders(path); error != 0) {
        throw EFileError("Cannot create folder", path, error);
    }
}

std::string ProgramFilePath() {
    char buf[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof buf) {
        return "";
    }
    return std::string(buf, static_cast<size_t>(n));
}

int RemoveStaleTemporaryFiles(const std::string& folder) {
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) {
        return 0;
    }
    int removed = 0;
    while (const dirent* entry = ::readdir(dir)) {
        const std::optional<uint64_t> owner = TemporaryFileOwner(entry->d_name);
        if (!owner || *owner == 0 || *owner > static_cast<uint64_t>(INT32_MAX)) {
            continue;
        }
        // A process of that id, ours or not, may still be writing: its file stays.
        const auto pid = static_cast<pid_t>(*owner);
        if (pid == ::getpid() || ::kill(pid, 0) == 0 || errno != ESRCH) {
            continue;
        }
        const std::string path = folder + "/" + entry->d_name;
        struct stat st {};
        if (::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::unlink(path.c_str()) == 0) {
            ++removed;
        }
    }
    ::closedir(dir);
    return removed;
}

void WriteFileAtomically(const std::string& path, std::string_view bytes) {
    WriteFileAtomically(path, [bytes](std::string& chunk) {
        chunk.assign(bytes);
        return false;
    });
}

std::string WriteNewFileAtomically(const std::string& folder, const std::string& stem,
                                   const std::string& extension, std::string_view bytes) {
    return WriteNewFileAtomically(folder, stem, extension, [bytes](std::string& chunk) {
        chunk.assign(bytes);
        return false;
    });
}
