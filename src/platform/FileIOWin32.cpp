#include "platform/FileIO.h"

#include "platform/WindowsApi.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <utility>

namespace {

// The system's message for an error code, without the line break it ends with.
std::string SystemMessage(int errorCode) {
    char* text = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(errorCode), 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string message;
    if (length > 0 && text != nullptr) {
        message.assign(text, length);
    }
    if (text != nullptr) {
        LocalFree(text);
    }
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                message.back() == ' ' || message.back() == '.')) {
        message.pop_back();
    }
    if (message.empty()) {
        message = "System error " + std::to_string(errorCode);
    }
    return message;
}

int LastErrorCode() {
    return static_cast<int>(GetLastError());
}

class THandle {
public:
    explicit THandle(HANDLE handle) : m_handle(handle) {}
    THandle(const THandle&) = delete;
    THandle& operator=(const THandle&) = delete;
    ~THandle() {
        if (Valid()) {
            CloseHandle(m_handle);
        }
    }
    bool Valid() const { return m_handle != INVALID_HANDLE_VALUE && m_handle != nullptr; }
    HANDLE Get() const { return m_handle; }
    // Closes now and reports the result: a write the cache could not place shows here.
    bool Close() {
        const HANDLE handle = m_handle;
        m_handle = INVALID_HANDLE_VALUE;
        return CloseHandle(handle) != FALSE;
    }

private:
    HANDLE m_handle;
};

bool IsSeparator(char c) {
    return c == '\\' || c == '/';
}

// The folder part of `path`, "" for a bare file name. A drive root keeps its separator.
std::string FolderOf(const std::string& path) {
    size_t end = path.size();
    while (end > 0 && !IsSeparator(path[end - 1])) {
        --end;
    }
    if (end == 0) {
        return std::string();
    }
    size_t folderEnd = end - 1;
    while (folderEnd > 0 && IsSeparator(path[folderEnd - 1])) {
        --folderEnd;
    }
    if (folderEnd == 0 || (folderEnd == 2 && path[1] == ':')) {
        return path.substr(0, folderEnd + 1);
    }
    return path.substr(0, folderEnd);
}

bool WriteAll(HANDLE file, std::string_view bytes) {
    while (!bytes.empty()) {
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size(), 1u << 30));
        DWORD written = 0;
        if (!WriteFile(file, bytes.data(), chunk, &written, nullptr)) {
            return false;
        }
        if (written == 0) {
            SetLastError(ERROR_WRITE_FAULT);
            return false;
        }
        bytes.remove_prefix(written);
    }
    return true;
}

// Writes what `next` gives until it says it is done; false when a write failed.
bool WriteChunks(HANDLE fd, const TByteSource& next) {
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

// Creates a new file beside `path` with a name no other writer uses.
HANDLE CreateTemporary(const std::string& path, std::string& tempPath) {
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        tempPath = TemporaryFileName(path, GetCurrentProcessId(), counter.fetch_add(1));
        const HANDLE file = CreateFileA(tempPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS) {
            return file;
        }
    }
    SetLastError(ERROR_FILE_EXISTS);
    return INVALID_HANDLE_VALUE;
}

} // namespace

EFileError::EFileError(const std::string& action, std::string path, int errorCode)
    : std::runtime_error(action + " \"" + path + "\": " + SystemMessage(errorCode)),
      m_path(std::move(path)), m_errorCode(errorCode) {}

EFileError::EFileError(const std::string& action, std::string path, int errorCode,
                       const std::string& reason)
    : std::runtime_error(action + " \"" + path + "\": " + reason), m_path(std::move(path)),
      m_errorCode(errorCode) {}

std::string EFileError::SystemError() const {
    return SystemMessage(m_errorCode);
}

void WriteFileAtomically(const std::string& path, const TByteSource& next) {
    const std::string action = "Cannot write";
    std::string tempPath;
    THandle file(CreateTemporary(path, tempPath));
    if (!file.Valid()) {
        throw EFileError(action, path, LastErrorCode());
    }
    const auto fail = [&](int error) {
        if (file.Valid()) {
            file.Close();
        }
        DeleteFileA(tempPath.c_str());
        throw EFileError(action, path, error);
    };

    bool written = false;
    try {
        written = WriteChunks(file.Get(), next);
    } catch (...) {
        if (file.Valid()) {
            file.Close();
        }
        DeleteFileA(tempPath.c_str());
        throw;
    }
    if (!written) {
        fail(LastErrorCode());
    }
    if (!FlushFileBuffers(file.Get())) {
        fail(LastErrorCode());
    }
    if (!file.Close()) {
        fail(LastErrorCode());
    }
    // Hidden or not-indexed marks of the old file stay; read-only is left to refuse the
    // replacement below, as the user asked of that file.
    const DWORD oldAttributes = GetFileAttributesA(path.c_str());
    if (oldAttributes != INVALID_FILE_ATTRIBUTES &&
        (oldAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        const DWORD kept =
            oldAttributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                             FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED);
        if (kept != 0) {
            (void)SetFileAttributesA(tempPath.c_str(), kept);
        }
    }
    // WRITE_THROUGH returns only once the rename itself is on the disk. A virus scanner or
    // an indexer that has the old file open for a moment makes the rename fail with a
    // sharing or access error; a few short retries ride that out.
    for (int attempt = 0;; ++attempt) {
        if (MoveFileExA(tempPath.c_str(), path.c_str(),
                        MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            break;
        }
        const int error = LastErrorCode();
        const bool transient = error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
                               error == ERROR_ACCESS_DENIED;
        if (!transient || attempt >= 9) {
            fail(error);
        }
        Sleep(20);
    }
}

std::string WriteNewFileAtomically(const std::string& folder, const std::string& stem,
                                   const std::string& extension, const TByteSource& next) {
    const std::string action = "Cannot write";
    const std::string first = folder + "\\" + stem + extension;
    std::string tempPath;
    THandle file(CreateTemporary(first, tempPath));
    if (!file.Valid()) {
        throw EFileError(action, first, LastErrorCode());
    }
    const auto fail = [&](int error) {
        if (file.Valid()) {
            file.Close();
        }
        DeleteFileA(tempPath.c_str());
        throw EFileError(action, first, error);
    };
    bool written = false;
    try {
        written = WriteChunks(file.Get(), next);
    } catch (...) {
        if (file.Valid()) {
            file.Close();
        }
        DeleteFileA(tempPath.c_str());
        throw;
    }
    if (!written) {
        fail(LastErrorCode());
    }
    if (!FlushFileBuffers(file.Get())) {
        fail(LastErrorCode());
    }
    if (!file.Close()) {
        fail(LastErrorCode());
    }
    for (int number = 0; number < NumberedFileNames; ++number) {
        const std::string path = folder + "\\" + NumberedFileName(stem, number) + extension;
        // Without MOVEFILE_REPLACE_EXISTING the move refuses a name that is taken.
        if (MoveFileExA(tempPath.c_str(), path.c_str(), MOVEFILE_WRITE_THROUGH)) {
            return path;
        }
        const int error = LastErrorCode();
        if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) {
            fail(error);
        }
    }
    fail(ERROR_FILE_EXISTS);
    return first; // not reached: fail throws
}

namespace {

std::string MegabytesText(uint64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / (1024.0 * 1024.0));
    return text;
}

[[noreturn]] void RefuseTooLarge(const std::string& action, const std::string& path, uint64_t size,
                                 uint64_t limit) {
    throw EFileError(action, path, ERROR_FILE_TOO_LARGE,
                     "the file is " + MegabytesText(size) + ", more than the " +
                         MegabytesText(limit) + " that can be opened");
}

// A disk file opened for reading; INVALID_HANDLE_VALUE with the error set when there is
// none. Devices, pipes and consoles are refused: reading them may block or never end.
HANDLE OpenRegularFile(const std::string& action, const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        throw EFileError(action, path, ERROR_DIRECTORY);
    }
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const int error = LastErrorCode();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
            return INVALID_HANDLE_VALUE;
        }
        throw EFileError(action, path, error);
    }
    if (GetFileType(file) != FILE_TYPE_DISK) {
        CloseHandle(file);
        throw EFileError(action, path, ERROR_INVALID_FUNCTION,
                         "this is a device or a pipe, not a file; only regular files are read");
    }
    return file;
}

std::string ReadToEnd(const std::string& action, const std::string& path, HANDLE file,
                      uint64_t size, uint64_t limit, bool cut, const TProgress& progress) {
    std::string data;
    if (size <= limit) {
        data.reserve(static_cast<size_t>(size));
    }
    constexpr uint64_t kProgressStep = 1 << 20;
    uint64_t nextReport = kProgressStep;
    char buf[65536];
    while (true) {
        const uint64_t room = limit - std::min<uint64_t>(limit, data.size());
        // One byte past the limit tells a file that is too large from one that fits.
        const uint64_t allowed = cut || room == UINT64_MAX ? room : room + 1;
        const DWORD want = static_cast<DWORD>(std::min<uint64_t>(sizeof buf, allowed));
        if (want == 0) {
            break;
        }
        DWORD got = 0;
        if (!ReadFile(file, buf, want, &got, nullptr)) {
            throw EFileError(action, path, LastErrorCode());
        }
        if (got == 0) {
            break;
        }
        data.append(buf, got);
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

uint64_t SizeOf(HANDLE file) {
    LARGE_INTEGER size{};
    return GetFileSizeEx(file, &size) ? static_cast<uint64_t>(size.QuadPart) : 0;
}

} // namespace

std::optional<std::string> ReadFileIfExists(const std::string& path, size_t maxBytes) {
    const std::string action = "Cannot read";
    THandle file(OpenRegularFile(action, path));
    if (!file.Valid()) {
        return std::nullopt;
    }
    return ReadToEnd(action, path, file.Get(), SizeOf(file.Get()), maxBytes, true, {});
}

std::string ReadFileBytes(const std::string& path, uint64_t limit, const TProgress& progress) {
    const std::string action = "Cannot read";
    THandle file(OpenRegularFile(action, path));
    if (!file.Valid()) {
        throw EFileError(action, path, ERROR_FILE_NOT_FOUND);
    }
    const uint64_t size = SizeOf(file.Get());
    if (size > limit) {
        RefuseTooLarge(action, path, size, limit);
    }
    return ReadToEnd(action, path, file.Get(), size, limit, false, progress);
}

bool PathExists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

namespace {

bool IsFolder(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// 0 or the error of the first step that failed.
int MakeFolders(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? 0 : ERROR_DIRECTORY;
    }
    const std::string parent = FolderOf(path);
    // A drive root or a share ("\\server\share") cannot be created; it exists or it fails
    // below.
    if (!parent.empty() && parent != path && parent.size() < path.size()) {
        if (const int error = MakeFolders(parent); error != 0) {
            return error;
        }
    }
    // Another process may create it between the check and here.
    if (!CreateDirectoryA(path.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
        return LastErrorCode();
    }
    return IsFolder(path) ? 0 : ERROR_DIRECTORY;
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
    char buf[MAX_PATH * 4];
    const DWORD n = GetModuleFileNameA(nullptr, buf, sizeof buf);
    if (n == 0 || n >= sizeof buf) {
        return "";
    }
    return std::string(buf, n);
}

int RemoveStaleTemporaryFiles(const std::string& folder) {
    WIN32_FIND_DATAA found{};
    const HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return 0;
    }
    int removed = 0;
    do {
        const std::optional<uint64_t> owner = TemporaryFileOwner(found.cFileName);
        if (!owner || *owner == GetCurrentProcessId() || *owner > 0xFFFFFFFFu ||
            (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            continue;
        }
        // A process of that id, ours or not, may still be writing: its file stays.
        const HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(*owner));
        if (process != nullptr) {
            const bool running = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
            CloseHandle(process);
            if (running) {
                continue;
            }
        } else if (GetLastError() != ERROR_INVALID_PARAMETER) {
            continue; // exists, but not ours to look at
        }
        if (DeleteFileA((folder + "\\" + found.cFileName).c_str())) {
            ++removed;
        }
    } while (FindNextFileA(search, &found));
    FindClose(search);
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
