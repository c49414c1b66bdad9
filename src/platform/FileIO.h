#pragma once
// File access shared by the settings file, its companion files and saved documents.
// One header; one implementation file per operating system.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

// A failed file operation: the message names the path and the system's reason, e.g.
// Cannot write "/home/u/.local/share/Dolvy/Korvane/data": No space left on device
class EFileError : public std::runtime_error {
public:
    EFileError(const std::string& action, std::string path, int errorCode);
    // With a reason of our own in place of the system's text for errorCode.
    EFileError(const std::string& action, std::string path, int errorCode,
               const std::string& reason);

    const std::string& Path() const { return m_path; }
    int ErrorCode() const { return m_errorCode; }
    // The system's text for ErrorCode().
    std::string SystemError() const;

private:
    std::string m_path;
    int m_errorCode;
};

// Reports how far a long read has come; returning false cancels it (ECancelled).
using TProgress = std::function<bool(uint64_t done, uint64_t total)>;

// A long operation that the user cancelled.
class ECancelled : public std::runtime_error {
public:
    ECancelled() : std::runtime_error("Cancelled") {}
};

// Replaces or creates `path` so that it holds `bytes` and nothing else, or leaves the old
// file as it was: the bytes go to a new file in the same folder (see TemporaryFileName),
// are flushed to the disk, and that file is then renamed over `path`; any failed step
// removes the new file and leaves `path` untouched. A symbolic link at `path` is replaced
// by the file, never written through. An existing file's permissions are kept.
// Throws EFileError naming `path`.
void WriteFileAtomically(const std::string& path, std::string_view bytes);
// The bytes come piece by piece: `next` is called until it returns false, and what it put
// into `chunk` each time is written before it is called again, so a large file is never
// held whole. An exception from `next` removes the new file and passes on.
using TByteSource = std::function<bool(std::string& chunk)>;
void WriteFileAtomically(const std::string& path, const TByteSource& next);

// Writes `bytes` to a new file `folder`/`stem``extension`, or when that name is taken to
// NumberedFileName(stem, 1), (stem, 2), ... with the extension; an existing file is never
// replaced, even one that appears while this runs. The file appears whole or not at all,
// as with WriteFileAtomically. Returns the path written; throws EFileError naming the first
// path tried.
// `stem` for 0, else `stem`_00001 ... `stem`_99999: the numbers zero-padded, so that names
// sorted by name are in the order they were taken.
std::string NumberedFileName(const std::string& stem, int number);
constexpr int NumberedFileNames = 100000;

std::string WriteNewFileAtomically(const std::string& folder, const std::string& stem,
                                   const std::string& extension, std::string_view bytes);
std::string WriteNewFileAtomically(const std::string& folder, const std::string& stem,
                                   const std::string& extension, const TByteSource& next);

// Files the program reads must be regular files: a folder, a device, a named pipe or a
// socket is refused with EFileError before it is opened in any way that could block,
// read without end or wake a device.

// At most `maxBytes` bytes from the start of `path`; std::nullopt when the file does not
// exist. Any other failure (no permission, not a regular file, a read error) throws
// EFileError.
std::optional<std::string> ReadFileIfExists(const std::string& path,
                                            size_t maxBytes = static_cast<size_t>(-1));

// The whole file, which may hold at most `limit` bytes: a larger one is refused with
// EFileError (EFBIG) saying how large it is and what the limit is. A missing file throws
// EFileError like any other failure. `progress`, when given, hears of every 1 MiB read.
std::string ReadFileBytes(const std::string& path, uint64_t limit = UINT64_MAX,
                          const TProgress& progress = {});

// The name of the temporary file that a write of `path` goes through: hidden, in the same
// folder, carrying the writer's process id and a count, with a suffix of its own
// (".data.4711-0.korvane-tmp"). A long file name is shortened in it.
std::string TemporaryFileName(const std::string& path, uint64_t processId, unsigned count);

// The process id in a name that TemporaryFileName made; std::nullopt for any other name.
std::optional<uint64_t> TemporaryFileOwner(std::string_view fileName);

// Removes the temporary files in `folder` that a write of ours left behind when it was
// interrupted: those whose process is not running any more. Returns how many it removed;
// a folder that cannot be listed removes none.
int RemoveStaleTemporaryFiles(const std::string& folder);

// True when `path` names an existing file or folder.
bool PathExists(const std::string& path);

// Creates the folder with every missing parent; an existing folder is fine.
// Throws EFileError naming the folder.
void CreateFolders(const std::string& path);

// Full path of the running program file; "" when the system does not tell.
std::string ProgramFilePath();
