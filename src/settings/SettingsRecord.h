#pragma once
// The program's settings block. In memory it is a set of typed fields; on disk it is the
// fixed 1296-byte image of the file "data", little-endian whatever the host. ToBytes and
// FromBytes convert between the two at the fixed offsets.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

// Colours are Windows colour values 0x00BBGGRR.

// Cycle sending, bytes 0..23 of the image. The traffic engine takes it as one unit.
struct CycleSettings {
    bool cycleUseRange = false; // 0: one line, 1: a range of lines
    bool cycleThisLine = false; // one-line mode: the caret line instead of cycleFixedLine
    int32_t cycleFixedLine = 0; // 1-based
    int32_t cycleRangeFrom = 0; // 1-based
    int32_t cycleRangeTo = 0;   // 1-based
    uint32_t cycleInterval = 0; // milliseconds

    bool operator==(const CycleSettings&) const = default;
};

// One row of the receive-trigger list; recLine 0 marks an unused row.
struct ReceiveTriggerRow {
    int32_t recLine = 0;  // 1-based send-window line compared with each received payload
    int32_t trigLine = 0; // 1-based send-window line sent after the delay

    bool operator==(const ReceiveTriggerRow&) const = default;
};

// Time-of-day and receive-pattern triggers, bytes 24..151 of the image. The traffic
// engine takes it as one unit.
struct TriggerSettings {
    static constexpr size_t ReceiveTriggerRows = 10;

    bool timingTriggerEnabled = false;
    double timingTriggerTime = 0.0; // OLE date-time: days since 1899-12-30; the fraction counts
    bool timingUseRange = false;
    bool timingThisLine = false;
    int32_t timingFixedLine = 0;
    int32_t timingRangeFrom = 0;
    int32_t timingRangeTo = 0;
    uint32_t timingInterval = 0; // milliseconds
    bool receiveTriggerEnabled = false;
    std::array<ReceiveTriggerRow, ReceiveTriggerRows> receiveTriggers{};
    uint32_t receiveTriggerDelay = 0; // milliseconds

    bool operator==(const TriggerSettings&) const = default;
};

// One row of the receive filter; byteNumber 0 marks an unused row.
struct FilterEntry {
    int32_t byteNumber = 0; // 1-based byte position in a received payload
    std::string value;      // up to two hexadecimal digits; stored as a string[2]

    bool operator==(const FilterEntry&) const = default;
};

// A default-constructed record is all zero, like the block before anything is loaded;
// Fresh() gives the defaults of a first start. Fields named by the program; the sub-blocks
// are base classes, so rec.cycleInterval and rec.receiveTriggers[r].recLine read directly
// and Cycle()/Triggers() (or a plain copy to the base type) give the units.
struct SettingsRecord : CycleSettings, TriggerSettings {
    static constexpr size_t Size = 1296;
    static constexpr size_t FilterRows = 5;
    static constexpr size_t MaxPathLength = 255; // string[255] fields
    using Image = std::array<uint8_t, Size>;

    int32_t checksumKind = 0; // 0 SUM, 1 SUM-LH, 2 SUM-HL, 3 XOR, 5..9 CRC/LRC kinds
    std::array<FilterEntry, FilterRows> filterEntries{};
    bool filterEnabled = false;
    uint8_t portIndex = 0;
    uint8_t baudRateIndex = 0;
    uint8_t parityIndex = 0;
    uint8_t dataBitsIndex = 0;
    uint8_t stopBitsIndex = 0;
    bool dtrEnabled = false;
    bool rtsEnabled = false;
    uint32_t markColor = 0;
    bool cycleSendEnabled = false;
    bool showTime = false;
    bool showRxTx = false;
    bool showSending = false;
    bool wordWrap = false;
    bool asciiReceive = false;
    bool asciiSend = false;
    bool sendWindowVisible = false;
    bool findWindowVisible = false;
    uint32_t sendWindowColor = 0;
    uint32_t receiveWindowColor = 0;
    uint32_t searchWindowColor = 0;
    uint32_t receiveTextColor = 0;
    uint32_t sendTextColor = 0;
    int32_t autoLineThreshold = 0;
    std::string lastFileName; // longer texts are stored cut to 255 characters
    std::string programPath;
    std::string autoSavePath;

    CycleSettings& Cycle() { return *this; }
    const CycleSettings& Cycle() const { return *this; }
    TriggerSettings& Triggers() { return *this; }
    const TriggerSettings& Triggers() const { return *this; }

    // Sets the first-start defaults (colours, baud rate 9600, 8 data bits, "Show Time",
    // "Show Sending", green mark colour) and leaves every other field as it is.
    void ApplyDefaults();
    // An all-zero record with the defaults applied.
    static SettingsRecord Fresh();

    // The file image. Bytes that no field owns (padding, reserved words, the tails of
    // strings stored shorter) are kept from the last FromBytes, so a load-save round trip
    // writes them back unchanged; a boolean keeps its stored non-zero byte unless changed.
    Image ToBytes() const;
    static SettingsRecord FromBytes(const Image& image);

    // Sets the 32-bit reserved word at offset 244 to zero, as every shutdown save does.
    void ClearShutdownReserved();

private:
    Image m_image{};
};

// The process-wide record that every window reads and writes in place.
SettingsRecord& ProgramSettings();
