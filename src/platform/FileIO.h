#pragma once
// File access shared by the settings file, its companion files and saved documents.
// One header; one implementation file per operating system.

#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

// A failed file operation: the message names the path and the system's reason, e.g.
// Cannot write "/home/u/.local/share/Dolvy/Korvane/data": No space left on device
class EFileError : public std::runtime_error {
public:
    EFileError(const std::string& action, std::string path, int errorCode);

    const std::string& Path() const { return m_path; }
    int ErrorCode() const { return m_errorCode; }
    // The system's text for ErrorCode().
    std::string SystemError() const;

private:
    std::string m_path;
    int m_errorCode;
};

// Replaces or creates `path` so that it holds `bytes` and nothing else, or leaves the old
// file as it was: the bytes go to a new file in the same folder, are flushed to the disk,
// and that file is then renamed over `path`. An existing file's permissions are kept.
// Throws EFileError naming `path`.
void WriteFileAtomically(const std::string& path, std::string_view bytes);

// Writes `bytes` to a new file `folder`/`stem``extension`, or when that name is taken to
// `stem`_1`extension`, `stem`_2`extension`, ...; an existing file is never replaced, even
// one that appears while this runs. The file appears whole or not at all, as with
// WriteFileAtomically. Returns the path written; throws EFileError naming the first path
// tried.
std::string WriteNewFileAtomically(const std::string& folder, const std::string& stem,
                                   const std::string& extension, std::string_view bytes);

// At most `maxBytes` bytes from the start of `path`; std::nullopt when the file does not
// exist. Any other failure (no permission, a folder, a read error) throws EFileError.
std::optional<std::string> ReadFileIfExists(const std::string& path,
                                            size_t maxBytes = static_cast<size_t>(-1));

// The whole file; a missing file throws EFileError like any other failure.
std::string ReadFileBytes(const std::string& path);

// True when `path` names an existing file or folder.
bool PathExists(const std::string& path);

// Creates the folder with every missing parent; an existing folder is fine.
// Throws EFileError naming the folder.
void CreateFolders(const std::string& path);

// Full path of the running program file; "" when the system does not tell.
std::string ProgramFilePath();
