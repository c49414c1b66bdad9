#include "settings/SettingsRecord.h"
#include "settings/SettingsFile.h"
#include "settings/SettingsTestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

// The file image is built here from offsets and byte values alone, independently of the
// code under test.
using Image = SettingsRecord::Image;

void Put32(Image& image, size_t offset, uint32_t value) {
    for (size_t i = 0; i < 4; ++i) {
        image[offset + i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

void PutText(Image& image, size_t offset, const std::string& text) {
    image[offset] = static_cast<uint8_t>(text.size());
    std::memcpy(&image[offset + 1], text.data(), text.size());
}

const std::string LongPath = "/" + std::string(254, 'p'); // 255 characters, the maximum
const std::string FilterValues[5] = {"0F", "A", "FF", "", "7E"};

Image FullImage() {
    Image image{};
    image[0] = 1; // cycleUseRange
    image[1] = 1; // cycleThisLine
    Put32(image, 4, 0x01020304);
    Put32(image, 8, 0xFFFFFFFE); // -2
    Put32(image, 12, 0x11223344);
    Put32(image, 16, 0xA1B2C3D4);
    image[24] = 1; // timingTriggerEnabled
    const uint8_t time[8] = {0x00, 0x00, 0x00, 0x00, 0x10, 0xF9, 0xE5, 0x40}; // 45000.5
    std::memcpy(&image[32], time, 8);
    image[40] = 1;
    image[41] = 1;
    Put32(image, 44, 0x21);
    Put32(image, 48, 0x22);
    Put32(image, 52, 0x23);
    Put32(image, 56, 0x00012345);
    image[60] = 1;
    for (uint32_t r = 0; r < 10; ++r) {
        Put32(image, 64 + 8 * r, 0x100 + r);
        Put32(image, 68 + 8 * r, 0x200 + r);
    }
    Put32(image, 144, 0xCAFEBABE);
    Put32(image, 152, 8);
    for (uint32_t i = 0; i < 5; ++i) {
        Put32(image, 156 + 8 * i, 0x300 + i);
        PutText(image, 160 + 8 * i, FilterValues[i]);
    }
    image[196] = 1;
    image[200] = 5;
    image[201] = 13;
    image[202] = 2;
    image[203] = 1;
    image[204] = 2;
    image[205] = 1;
    image[206] = 1;
    Put32(image, 208, 0x00123456);
    for (size_t offset : {212, 214, 215, 216, 217, 218, 219, 221, 222}) {
        image[offset] = 1;
    }
    Put32(image, 224, 0x00010203);
    Put32(image, 228, 0x00040506);
    Put32(image, 232, 0x00070809);
    Put32(image, 236, 0x000A0B0C);
    Put32(image, 240, 0x000D0E0F);
    Put32(image, 264, 100000);
    PutText(image, 524, "/home/u/log.rtf");
    PutText(image, 780, LongPath);
    PutText(image, 1036, "/var/tmp/caf\xE9");
    return image;
}

void ExpectFullFields(const SettingsRecord& r) {
    EXPECT_TRUE(r.cycleUseRange);
    EXPECT_TRUE(r.cycleThisLine);
    EXPECT_EQ(r.cycleFixedLine, 0x01020304);
    EXPECT_EQ(r.cycleRangeFrom, -2);
    EXPECT_EQ(r.cycleRangeTo, 0x11223344);
    EXPECT_EQ(r.cycleInterval, 0xA1B2C3D4u);
    EXPECT_TRUE(r.timingTriggerEnabled);
    EXPECT_EQ(r.timingTriggerTime, 45000.5);
    EXPECT_TRUE(r.timingUseRange);
    EXPECT_TRUE(r.timingThisLine);
    EXPECT_EQ(r.timingFixedLine, 0x21);
    EXPECT_EQ(r.timingRangeFrom, 0x22);
    EXPECT_EQ(r.timingRangeTo, 0x23);
    EXPECT_EQ(r.timingInterval, 0x00012345u);
    EXPECT_TRUE(r.receiveTriggerEnabled);
    for (int row = 0; row < 10; ++row) {
        EXPECT_EQ(r.receiveTriggers[row].recLine, 0x100 + row) << row;
        EXPECT_EQ(r.receiveTriggers[row].trigLine, 0x200 + row) << row;
    }
    EXPECT_EQ(r.receiveTriggerDelay, 0xCAFEBABEu);
    EXPECT_EQ(r.checksumKind, 8);
    for (int row = 0; row < 5; ++row) {
        EXPECT_EQ(r.filterEntries[row].byteNumber, 0x300 + row) << row;
        EXPECT_EQ(r.filterEntries[row].value, FilterValues[row]) << row;
    }
    EXPECT_TRUE(r.filterEnabled);
    EXPECT_EQ(r.portIndex, 5);
    EXPECT_EQ(r.baudRateIndex, 13);
    EXPECT_EQ(r.parityIndex, 2);
    EXPECT_EQ(r.dataBitsIndex, 1);
    EXPECT_EQ(r.stopBitsIndex, 2);
    EXPECT_TRUE(r.dtrEnabled);
    EXPECT_TRUE(r.rtsEnabled);
    EXPECT_EQ(r.markColor, 0x00123456u);
    EXPECT_EQ(r.sendWindowColor, 0x00010203u);
    EXPECT_EQ(r.receiveWindowColor, 0x00040506u);
    EXPECT_EQ(r.searchWindowColor, 0x00070809u);
    EXPECT_EQ(r.receiveTextColor, 0x000A0B0Cu);
    EXPECT_EQ(r.sendTextColor, 0x000D0E0Fu);
    EXPECT_EQ(r.autoLineThreshold, 100000);
    EXPECT_EQ(r.lastFileName, "/home/u/log.rtf");
    EXPECT_EQ(r.programPath, LongPath);
    EXPECT_EQ(r.autoSavePath, "/var/tmp/caf\xE9");
}

void SetFullFields(SettingsRecord& r) {
    r.cycleUseRange = true;
    r.cycleThisLine = true;
    r.cycleFixedLine = 0x01020304;
    r.cycleRangeFrom = -2;
    r.cycleRangeTo = 0x11223344;
    r.cycleInterval = 0xA1B2C3D4;
    r.timingTriggerEnabled = true;
    r.timingTriggerTime = 45000.5;
    r.timingUseRange = true;
    r.timingThisLine = true;
    r.timingFixedLine = 0x21;
    r.timingRangeFrom = 0x22;
    r.timingRangeTo = 0x23;
    r.timingInterval = 0x00012345;
    r.receiveTriggerEnabled = true;
    for (int row = 0; row < 10; ++row) {
        r.receiveTriggers[row] = {0x100 + row, 0x200 + row};
    }
    r.receiveTriggerDelay = 0xCAFEBABE;
    r.checksumKind = 8;
    for (int row = 0; row < 5; ++row) {
        r.filterEntries[row] = {0x300 + row, FilterValues[row]};
    }
    r.filterEnabled = true;
    r.portIndex = 5;
    r.baudRateIndex = 13;
    r.parityIndex = 2;
    r.dataBitsIndex = 1;
    r.stopBitsIndex = 2;
    r.dtrEnabled = true;
    r.rtsEnabled = true;
    r.markColor = 0x00123456;
    r.cycleSendEnabled = r.showTime = r.showRxTx = r.showSending = r.wordWrap = true;
    r.asciiReceive = r.asciiSend = r.sendWindowVisible = r.findWindowVisible = true;
    r.sendWindowColor = 0x00010203;
    r.receiveWindowColor = 0x00040506;
    r.searchWindowColor = 0x00070809;
    r.receiveTextColor = 0x000A0B0C;
    r.sendTextColor = 0x000D0E0F;
    r.autoLineThreshold = 100000;
    r.lastFileName = "/home/u/log.rtf";
    r.programPath = LongPath;
    r.autoSavePath = "/var/tmp/caf\xE9";
}

// Every boolean alone, so two flags with swapped offsets cannot pass.
const struct {
    size_t offset;
    bool SettingsRecord::*field;
} Flags[] = {
    {0, &SettingsRecord::cycleUseRange},
    {1, &SettingsRecord::cycleThisLine},
    {24, &SettingsRecord::timingTriggerEnabled},
    {40, &SettingsRecord::timingUseRange},
    {41, &SettingsRecord::timingThisLine},
    {60, &SettingsRecord::receiveTriggerEnabled},
    {196, &SettingsRecord::filterEnabled},
    {205, &SettingsRecord::dtrEnabled},
    {206, &SettingsRecord::rtsEnabled},
    {212, &SettingsRecord::cycleSendEnabled},
    {214, &SettingsRecord::showTime},
    {215, &SettingsRecord::showRxTx},
    {216, &SettingsRecord::showSending},
    {217, &SettingsRecord::wordWrap},
    {218, &SettingsRecord::asciiReceive},
    {219, &SettingsRecord::asciiSend},
    {221, &SettingsRecord::sendWindowVisible},
    {222, &SettingsRecord::findWindowVisible},
};

class SettingsLayout : public TempFolderTest {};

} // namespace

TEST_F(SettingsLayout, FileWrittenByteByByteLoadsIntoEveryField) {
    const Image image = FullImage();
    const std::string path = Root() + "/data";
    WriteRaw(path, std::string(image.begin(), image.end()));
    SettingsRecord record;
    ASSERT_TRUE(LoadSettingsFile(record, path));
    ExpectFullFields(record);
}

TEST_F(SettingsLayout, FieldsSavedGiveTheFileByteForByte) {
    SettingsRecord record;
    SetFullFields(record);
    const std::string path = Root() + "/data";
    SaveSettingsFile(record, path);
    const Image expected = FullImage();
    EXPECT_EQ(ReadRaw(path), std::string(expected.begin(), expected.end()));
}

TEST(SettingsRecordImage, EachFlagOwnsExactlyItsByte) {
    for (const auto& flag : Flags) {
        Image image{};
        image[flag.offset] = 1;
        const SettingsRecord loaded = SettingsRecord::FromBytes(image);
        for (const auto& other : Flags) {
            EXPECT_EQ(loaded.*other.field, &other == &flag) << "byte " << flag.offset;
        }
        SettingsRecord set;
        set.*flag.field = true;
        EXPECT_EQ(set.ToBytes(), image) << "byte " << flag.offset;
    }
}

TEST(SettingsRecordImage, FreshRecordHoldsTheDefaultsAndNothingElse) {
    Image expected{};
    expected[201] = 7; // "9600"
    expected[203] = 3; // "8"
    Put32(expected, 208, 0x00008000);
    expected[214] = 1;
    expected[216] = 1;
    Put32(expected, 224, 0x00F0F0F0);
    Put32(expected, 228, 0x00E6E6E6);
    Put32(expected, 232, 0x00E6E6E6);
    Put32(expected, 236, 0x00C80000);
    Put32(expected, 240, 0x000000C8);
    EXPECT_EQ(SettingsRecord::Fresh().ToBytes(), expected);
    EXPECT_EQ(SettingsRecord().ToBytes(), Image{});
}

TEST(SettingsRecordImage, BytesNoFieldOwnsSurviveALoadSaveRoundTrip) {
    // Padding, reserved words and string tails full of marks; booleans stored as 2; a
    // string[2] whose length byte exceeds its capacity.
    Image image;
    for (size_t i = 0; i < image.size(); ++i) {
        image[i] = static_cast<uint8_t>(0x5A ^ i);
    }
    for (const auto& flag : Flags) {
        image[flag.offset] = 2;
    }
    image[160] = 9;
    PutText(image, 524, "short");
    EXPECT_EQ(SettingsRecord::FromBytes(image).ToBytes(), image);

    SettingsRecord record = SettingsRecord::FromBytes(image);
    EXPECT_TRUE(record.showTime);
    EXPECT_EQ(record.filterEntries[0].value.size(), 2u);
    record.lastFileName = "ab";
    record.showTime = false;
    record.wordWrap = false;
    Image changed = record.ToBytes();
    EXPECT_EQ(changed[214], 0);
    EXPECT_EQ(changed[217], 0);
    EXPECT_EQ(changed[524], 2);
    EXPECT_EQ(changed[525], 'a');
    EXPECT_EQ(changed[526], 'b');
    EXPECT_EQ(changed[529], 't'); // old tail of "short" stays
    record = SettingsRecord::FromBytes(changed);
    record.showTime = true;
    EXPECT_EQ(record.ToBytes()[214], 1);
    EXPECT_EQ(record.lastFileName, "ab");
}

TEST(SettingsRecordImage, TextsLongerThanTheirFieldAreCut) {
    SettingsRecord record;
    record.autoSavePath = std::string(300, 'x');
    record.filterEntries[4].value = "ABC";
    const Image image = record.ToBytes();
    EXPECT_EQ(image[1036], 255);
    EXPECT_EQ(image[1036 + 255], 'x');
    EXPECT_EQ(image[1292], 0); // the padding after the last string stays untouched
    EXPECT_EQ(image[156 + 32 + 4], 2);
    EXPECT_EQ(image[156 + 32 + 7], 0);
    EXPECT_EQ(SettingsRecord::FromBytes(image).filterEntries[4].value, "AB");
}

TEST(SettingsRecordImage, SubBlocksCopyAsUnits) {
    SettingsRecord record;
    SetFullFields(record);
    const CycleSettings cycle = record.Cycle();
    const TriggerSettings triggers = record;
    EXPECT_EQ(cycle.cycleInterval, 0xA1B2C3D4u);
    EXPECT_EQ(triggers.receiveTriggers[9].trigLine, 0x209);
    record.cycleInterval = 20;
    record.receiveTriggers[9].trigLine = 1;
    EXPECT_EQ(cycle.cycleInterval, 0xA1B2C3D4u);
    EXPECT_FALSE(triggers == record.Triggers());
}
