#include "settings/SettingsFile.h"
#include "platform/FileIO.h"
#include "settings/SettingsTestSupport.h"

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <string>

namespace {

class SettingsFile : public TempFolderTest {
protected:
    void SetUp() override {
        TempFolderTest::SetUp();
        DataFolder().clear();
    }
    std::string DataPath() const { return Folder() + "/data"; }
};

} // namespace

TEST_F(SettingsFile, BlockLoadCopiesOnlyWhatTheFileHas) {
    const std::string path = Root() + "/block";
    struct Case {
        const char* name;
        std::optional<std::string> file;
        bool found;
        std::string block; // the 8-byte block afterwards, from a block of '.'
    } cases[] = {
        {"missing", std::nullopt, false, "........"}, {"empty", "", true, "........"},
        {"short", "abc", true, "abc....."},           {"exact", "abcdefgh", true, "abcdefgh"},
        {"long", "abcdefghijk", true, "abcdefgh"},
    };
    for (const Case& c : cases) {
        std::filesystem::remove(path);
        if (c.file) {
            WriteRaw(path, *c.file);
        }
        std::array<char, 8> block;
        block.fill('.');
        EXPECT_EQ(LoadBlockFromFile(block.data(), block.size(), path), c.found) << c.name;
        EXPECT_EQ(std::string(block.begin(), block.end()), c.block) << c.name;
    }
}

TEST_F(SettingsFile, FirstStartCreatesTheFolderAndAppliesTheDefaults) {
    SettingsRecord record;
    EXPECT_FALSE(LoadSettingsAtStartup(record));
    EXPECT_EQ(DataFolder(), Folder());
    EXPECT_TRUE(std::filesystem::is_directory(Folder()));
    EXPECT_FALSE(PathExists(DataPath()));
    EXPECT_EQ(record.ToBytes(), SettingsRecord::Fresh().ToBytes());
}

TEST_F(SettingsFile, ShortAndLongFilesReplaceOnlyTheirBytesWithoutDefaults) {
    std::filesystem::create_directories(Folder());
    struct Case {
        const char* name;
        std::string file;
    } cases[] = {
        {"empty", ""},
        {"three bytes", std::string("\x01\x01\x00", 3)},
        {"2000 bytes", std::string(2000, '\x01')},
    };
    for (const Case& c : cases) {
        WriteRaw(DataPath(), c.file);
        SettingsRecord record;
        EXPECT_TRUE(LoadSettingsAtStartup(record)) << c.name;
        SettingsRecord::Image expected{};
        for (size_t i = 0; i < c.file.size() && i < expected.size(); ++i) {
            expected[i] = static_cast<uint8_t>(c.file[i]);
        }
        EXPECT_EQ(record.ToBytes(), expected) << c.name;
        EXPECT_EQ(record.showTime, c.file.size() > 214) << c.name;

        SaveSettingsNow(record);
        EXPECT_EQ(ReadRaw(DataPath()), std::string(expected.begin(), expected.end())) << c.name;
    }
}

TEST_F(SettingsFile, ShutdownSaveWritesTheRecordWithProgramPathAndClearedReserve) {
    SettingsRecord record;
    ASSERT_FALSE(LoadSettingsAtStartup(record));
    std::filesystem::remove_all(Folder()); // the folder is recreated when it has gone
    SettingsRecord::Image image = record.ToBytes();
    image[244] = image[247] = 0x77; // reserved: cleared at shutdown
    image[248] = image[256] = 0x66; // reserved: written back as loaded
    record = SettingsRecord::FromBytes(image);
    record.lastFileName = "/home/u/t.rtf";

    SaveSettingsAtShutdown(record);
    const std::string data = ReadRaw(DataPath());
    ASSERT_EQ(data.size(), SettingsRecord::Size);
    EXPECT_EQ(data.substr(244, 4), std::string(4, '\0'));
    EXPECT_EQ(data[248], '\x66');
    EXPECT_EQ(data[256], '\x66');

    SettingsRecord again;
    ASSERT_TRUE(LoadSettingsAtStartup(again));
    EXPECT_FALSE(again.programPath.empty());
    EXPECT_EQ(again.programPath, ProgramFilePath());
    EXPECT_EQ(again.lastFileName, "/home/u/t.rtf");
    again.programPath.clear();
    again.lastFileName.clear();
    SettingsRecord expected = SettingsRecord::Fresh();
    EXPECT_EQ(again.Cycle(), expected.Cycle());
    EXPECT_EQ(again.Triggers(), expected.Triggers());
    EXPECT_EQ(again.showTime, true);
    EXPECT_EQ(again.baudRateIndex, 7);
    EXPECT_EQ(again.receiveTextColor, 0x00C80000u);
}

TEST_F(SettingsFile, UnusableFolderOrFileReportsThePathAndLeavesTheDefaults) {
    struct Case {
        const char* name;
        std::string blocker; // made a folder ("data") or a file ("Dolvy")
        bool asFolder;
        std::string reported;
    } cases[] = {
        {"data is a folder", Folder() + "/data", true, Folder() + "/data"},
        {"Dolvy is a file", Root() + "/xdg/Dolvy", false, Folder()},
    };
    for (const Case& c : cases) {
        std::filesystem::remove_all(Root() + "/xdg");
        std::filesystem::create_directories(Root() + "/xdg");
        if (c.asFolder) {
            std::filesystem::create_directories(c.blocker);
        } else {
            WriteRaw(c.blocker, "x");
        }
        SettingsRecord record;
        try {
            LoadSettingsAtStartup(record);
            ADD_FAILURE() << c.name << ": no error";
        } catch (const EFileError& e) {
            EXPECT_EQ(e.Path(), c.reported) << c.name;
            EXPECT_NE(std::string(e.what()).find(c.reported), std::string::npos) << e.what();
            EXPECT_NE(std::string(e.what()).find(e.SystemError()), std::string::npos) << e.what();
        }
        EXPECT_EQ(record.ToBytes(), SettingsRecord::Fresh().ToBytes()) << c.name;
    }
}
