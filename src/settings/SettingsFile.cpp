#include "settings/SettingsFile.h"

#include "platform/Platform.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string_view>

std::string& DataFolder() {
    static std::string folder;
    return folder;
}

std::string LocateDataFolder() {
    DataFolder() = JoinPath(JoinPath(LocalAppDataPath(), "Dolvy"), "Korvane");
    CreateFolders(DataFolder());
    return DataFolder();
}

std::string EnsureDataFolder() {
    if (DataFolder().empty()) {
        return LocateDataFolder();
    }
    CreateFolders(DataFolder());
    return DataFolder();
}

std::string DataFilePath(const std::string& name) {
    return JoinPath(DataFolder(), name);
}

bool LoadBlockFromFile(void* block, size_t length, const std::string& path) {
    const std::optional<std::string> data = ReadFileIfExists(path, length);
    if (!data) {
        return false;
    }
    std::memcpy(block, data->data(), std::min(data->size(), length));
    return true;
}

void SaveBlockToFile(const void* block, size_t length, const std::string& path) {
    WriteFileAtomically(path, std::string_view(static_cast<const char*>(block), length));
}

bool LoadSettingsFile(SettingsRecord& record, const std::string& path) {
    SettingsRecord::Image image = record.ToBytes();
    if (!LoadBlockFromFile(image.data(), image.size(), path)) {
        return false;
    }
    record = SettingsRecord::FromBytes(image);
    return true;
}

void SaveSettingsFile(const SettingsRecord& record, const std::string& path) {
    const SettingsRecord::Image image = record.ToBytes();
    SaveBlockToFile(image.data(), image.size(), path);
}

bool LoadSettingsAtStartup(SettingsRecord& record) {
    try {
        LocateDataFolder();
        if (LoadSettingsFile(record, DataFilePath(SettingsFileName))) {
            return true;
        }
        record.ApplyDefaults();
        return false;
    } catch (const EFileError&) {
        record = SettingsRecord::Fresh();
        throw;
    }
}

void SaveSettingsAtShutdown(SettingsRecord& record) {
    record.ClearShutdownReserved();
    record.programPath = ProgramFilePath().substr(0, SettingsRecord::MaxPathLength);
    SaveSettingsNow(record);
}

void SaveSettingsNow(const SettingsRecord& record) {
    EnsureDataFolder();
    SaveSettingsFile(record, DataFilePath(SettingsFileName));
}
