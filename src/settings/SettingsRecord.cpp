#include "settings/SettingsRecord.h"

#include <algorithm>
#include <cstring>

namespace {

// Width and byte order of the stored forms; the same table of offsets drives reading and
// writing, so the two can never disagree.
class TImageReader {
public:
    explicit TImageReader(const SettingsRecord::Image& image) : m_image(image) {}

    void Field(size_t offset, bool& value) const { value = m_image[offset] != 0; }
    void Field(size_t offset, uint8_t& value) const { value = m_image[offset]; }
    void Field(size_t offset, uint32_t& value) const {
        value = 0;
        for (size_t i = 0; i < 4; ++i) {
            value |= static_cast<uint32_t>(m_image[offset + i]) << (8 * i);
        }
    }
    void Field(size_t offset, int32_t& value) const {
        uint32_t bits = 0;
        Field(offset, bits);
        value = static_cast<int32_t>(bits);
    }
    void Field(size_t offset, double& value) const {
        uint64_t bits = 0;
        for (size_t i = 0; i < 8; ++i) {
            bits |= static_cast<uint64_t>(m_image[offset + i]) << (8 * i);
        }
        std::memcpy(&value, &bits, sizeof value);
    }
    // A length byte, then the characters; a length beyond the capacity reads as full.
    void Text(size_t offset, size_t capacity, std::string& value) const {
        const size_t length = std::min<size_t>(m_image[offset], capacity);
        value.assign(reinterpret_cast<const char*>(&m_image[offset + 1]), length);
    }

private:
    const SettingsRecord::Image& m_image;
};

// Writes a field only when it differs from what the image already holds, so a value
// loaded and left alone goes back byte for byte (a boolean stored as 2, a string
// whose length byte exceeds its capacity).
class TImageWriter {
public:
    explicit TImageWriter(SettingsRecord::Image& image) : m_image(image), m_reader(image) {}

    template <typename T> void Field(size_t offset, const T& value) {
        T current{};
        m_reader.Field(offset, current);
        if (std::memcmp(&current, &value, sizeof value) == 0) {
            return;
        }
        Store(offset, value);
    }
    void Text(size_t offset, size_t capacity, const std::string& value) {
        std::string current;
        m_reader.Text(offset, capacity, current);
        const size_t length = std::min(value.size(), capacity);
        if (current.size() == length && current.compare(0, length, value, 0, length) == 0) {
            return;
        }
        m_image[offset] = static_cast<uint8_t>(length);
        std::memcpy(&m_image[offset + 1], value.data(), length);
    }

private:
    void Store(size_t offset, bool value) { m_image[offset] = value ? 1 : 0; }
    void Store(size_t offset, uint8_t value) { m_image[offset] = value; }
    void Store(size_t offset, uint32_t value) {
        for (size_t i = 0; i < 4; ++i) {
            m_image[offset + i] = static_cast<uint8_t>(value >> (8 * i));
        }
    }
    void Store(size_t offset, int32_t value) { Store(offset, static_cast<uint32_t>(value)); }
    void Store(size_t offset, double value) {
        uint64_t bits = 0;
        std::memcpy(&bits, &value, sizeof bits);
        for (size_t i = 0; i < 8; ++i) {
            m_image[offset + i] = static_cast<uint8_t>(bits >> (8 * i));
        }
    }

    SettingsRecord::Image& m_image;
    TImageReader m_reader;
};

constexpr size_t ReceiveTriggersOffset = 64;
constexpr size_t ReceiveTriggerRowSize = 8;
constexpr size_t FilterEntriesOffset = 156;
constexpr size_t FilterEntrySize = 8;
constexpr size_t FilterValueCapacity = 2;
constexpr size_t ShutdownReservedOffset = 244;

// The layout of the file "data". Record is SettingsRecord or const SettingsRecord.
template <typename Record, typename Access> void MapFields(Record& r, Access& a) {
    a.Field(0, r.cycleUseRange);
    a.Field(1, r.cycleThisLine);
    a.Field(4, r.cycleFixedLine);
    a.Field(8, r.cycleRangeFrom);
    a.Field(12, r.cycleRangeTo);
    a.Field(16, r.cycleInterval);

    a.Field(24, r.timingTriggerEnabled);
    a.Field(32, r.timingTriggerTime);
    a.Field(40, r.timingUseRange);
    a.Field(41, r.timingThisLine);
    a.Field(44, r.timingFixedLine);
    a.Field(48, r.timingRangeFrom);
    a.Field(52, r.timingRangeTo);
    a.Field(56, r.timingInterval);
    a.Field(60, r.receiveTriggerEnabled);
    for (size_t row = 0; row < r.receiveTriggers.size(); ++row) {
        const size_t at = ReceiveTriggersOffset + row * ReceiveTriggerRowSize;
        a.Field(at, r.receiveTriggers[row].recLine);
        a.Field(at + 4, r.receiveTriggers[row].trigLine);
    }
    a.Field(144, r.receiveTriggerDelay);

    a.Field(152, r.checksumKind);
    for (size_t row = 0; row < r.filterEntries.size(); ++row) {
        const size_t at = FilterEntriesOffset + row * FilterEntrySize;
        a.Field(at, r.filterEntries[row].byteNumber);
        a.Text(at + 4, FilterValueCapacity, r.filterEntries[row].value);
    }
    a.Field(196, r.filterEnabled);
    a.Field(200, r.portIndex);
    a.Field(201, r.baudRateIndex);
    a.Field(202, r.parityIndex);
    a.Field(203, r.dataBitsIndex);
    a.Field(204, r.stopBitsIndex);
    a.Field(205, r.dtrEnabled);
    a.Field(206, r.rtsEnabled);
    a.Field(208, r.markColor);
    a.Field(212, r.cycleSendEnabled);
    a.Field(214, r.showTime);
    a.Field(215, r.showRxTx);
    a.Field(216, r.showSending);
    a.Field(217, r.wordWrap);
    a.Field(218, r.asciiReceive);
    a.Field(219, r.asciiSend);
    a.Field(221, r.sendWindowVisible);
    a.Field(222, r.findWindowVisible);
    a.Field(224, r.sendWindowColor);
    a.Field(228, r.receiveWindowColor);
    a.Field(232, r.searchWindowColor);
    a.Field(236, r.receiveTextColor);
    a.Field(240, r.sendTextColor);
    a.Field(264, r.autoLineThreshold);
    a.Text(524, SettingsRecord::MaxPathLength, r.lastFileName);
    a.Text(780, SettingsRecord::MaxPathLength, r.programPath);
    a.Text(1036, SettingsRecord::MaxPathLength, r.autoSavePath);
}

} // namespace

void SettingsRecord::ApplyDefaults() {
    receiveWindowColor = 0x00E6E6E6;
    sendWindowColor = 0x00F0F0F0;
    searchWindowColor = 0x00E6E6E6;
    receiveTextColor = 0x00C80000;
    sendTextColor = 0x000000C8;
    portIndex = 0;
    baudRateIndex = 7;
    parityIndex = 0;
    dataBitsIndex = 3;
    stopBitsIndex = 0;
    markColor = 0x00008000;
    showSending = true;
    showTime = true;
}

SettingsRecord SettingsRecord::Fresh() {
    SettingsRecord record;
    record.ApplyDefaults();
    return record;
}

SettingsRecord::Image SettingsRecord::ToBytes() const {
    Image image = m_image;
    TImageWriter writer(image);
    MapFields(*this, writer);
    return image;
}

SettingsRecord SettingsRecord::FromBytes(const Image& image) {
    SettingsRecord record;
    record.m_image = image;
    const TImageReader reader(image);
    MapFields(record, reader);
    return record;
}

void SettingsRecord::ClearShutdownReserved() {
    std::fill_n(m_image.begin() + ShutdownReservedOffset, 4, uint8_t{0});
}

SettingsRecord& ProgramSettings() {
    static SettingsRecord record;
    return record;
}
