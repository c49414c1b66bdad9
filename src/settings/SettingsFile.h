#pragma once
// The settings file "data" and the folder that holds it and its companions.

#include "platform/FileIO.h"
#include "settings/SettingsRecord.h"

#include <cstddef>
#include <string>

// Names of the files in the data folder.
inline constexpr const char* SettingsFileName = "data";
inline constexpr const char* SendFileName = "send";
inline constexpr const char* LayoutFileName = "config.ini";

// The process-wide data folder, LocalAppDataPath() + "/Dolvy/Korvane" written with the
// system's separators; empty until LocateDataFolder has run.
std::string& DataFolder();

// Computes the data folder, creates it with every missing parent, stores it in
// DataFolder() and returns it. Throws EFileError when the folder cannot be created (the
// path is stored all the same).
std::string LocateDataFolder();

// DataFolder() (located first when still empty), created if it has gone missing since.
// Throws EFileError.
std::string EnsureDataFolder();

// DataFolder() + the system's separator + name.
std::string DataFilePath(const std::string& name);

// False, with the block untouched, when `path` does not exist. Otherwise copies the first
// min(file size, length) bytes of the file to the start of the block, leaves the rest of
// the block as it was and returns true. Read errors throw EFileError.
bool LoadBlockFromFile(void* block, size_t length, const std::string& path);

// Replaces `path` with exactly `length` bytes of the block, atomically: on EFileError the
// old file is as it was.
void SaveBlockToFile(const void* block, size_t length, const std::string& path);

// The record as the block helpers see it: a short file replaces only the start of the
// record's current image, a long one gives its first 1296 bytes.
bool LoadSettingsFile(SettingsRecord& record, const std::string& path);
void SaveSettingsFile(const SettingsRecord& record, const std::string& path);

// Start-up: locates and creates the data folder, then loads "data" into the record, which
// must still be all zero; the defaults are applied when there is no file. Returns whether
// a file was found. On EFileError (folder or file unusable) the record holds the defaults
// before the error is rethrown, so the caller can tell the user and go on with them.
bool LoadSettingsAtStartup(SettingsRecord& record);

// The file steps of the shutdown save, after the main window has stored the port list
// indexes and the mark colour: clears the reserved word, stores the program path, creates
// the data folder if missing and writes "data". Throws EFileError.
void SaveSettingsAtShutdown(SettingsRecord& record);

// The immediate save of the send options dialog: the whole record as it is in memory.
// Throws EFileError.
void SaveSettingsNow(const SettingsRecord& record);
