#pragma once
// Modbus RTU over the record stream: frames found by content (each function's length rule
// and the CRC), not by read window. A record may hold several frames and a frame may span
// records; bytes that form no frame become an unknown run. Display only: the records stay
// as they are.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

enum class TModbusDirection { Sent, Received };

enum class TModbusKind { Request, Reply, Exception, Unknown };

// How register values are shown. The 32-bit forms take two registers each: "HighFirst" is
// the high word in the first register, "LowFirst" the swapped order.
enum class TModbusValueFormat {
    U16,
    S16,
    Hex,
    F32HighFirst,
    F32LowFirst,
    I32HighFirst,
    I32LowFirst,
    U32HighFirst,
    U32LowFirst,
};

struct TModbusDeviceObject {
    uint8_t id = 0;
    std::string value;
};

struct TModbusFrame {
    TModbusDirection direction = TModbusDirection::Received;
    TModbusKind kind = TModbusKind::Unknown;
    // Time of the record that brought the frame's first byte.
    uint64_t timeMs = 0;
    // The frame's bytes with the CRC (an unknown run: its bytes).
    std::vector<uint8_t> bytes;
    // Numbered from 1 in the order the decoder found the frames (unknown runs included).
    uint64_t id = 0;

    uint8_t slave = 0;
    uint8_t function = 0; // without the exception bit
    bool crcOk = true;
    uint16_t crcExpected = 0; // the CRC the bytes give, when crcOk is false

    // Fields; those the function does not carry stay empty. A reply to a read carries the
    // address and quantity of the request it answers.
    std::optional<uint16_t> address;
    std::optional<uint16_t> quantity;
    std::optional<uint8_t> byteCount;
    std::optional<uint16_t> value;         // 05, 06: the written value; 07: status
    std::optional<uint16_t> writeAddress;  // 17
    std::optional<uint16_t> writeQuantity; // 17
    std::optional<uint16_t> andMask;       // 16
    std::optional<uint16_t> orMask;        // 16
    std::optional<uint16_t> subFunction;   // 08
    std::optional<uint8_t> exceptionCode;
    std::optional<uint8_t> deviceIdCode;      // 2B/0E
    std::optional<uint8_t> objectId;          // 2B/0E request
    std::vector<TModbusDeviceObject> objects; // 2B/0E reply
    // Register values (03, 04, 10, 17) or coil states as 0/1 (01, 02, 0F): read or written.
    std::vector<uint16_t> registers;
    std::vector<uint8_t> coils;
    // Raw data of 08, 11 and unlisted functions (after slave and function, before the CRC).
    std::vector<uint8_t> data;

    // A reply or exception paired with its request.
    std::optional<uint64_t> requestId;
    std::optional<uint64_t> replyMs;
};

struct TModbusStats {
    uint64_t frames = 0;
    uint64_t badCrc = 0;
    uint64_t exceptions = 0;
    uint64_t requests = 0; // to a slave (broadcasts get no reply)
    uint64_t answered = 0;
    uint64_t unknownBytes = 0;
    uint64_t Unanswered() const { return requests - answered; }
};

class TModbusRtuDecoder {
public:
    // sniff: both directions of a tapped bus arrive as received bytes; requests and replies
    // are told apart by content and pairing. Otherwise sent frames are requests and received
    // frames replies (a frame that only fits the other reading is taken as that).
    explicit TModbusRtuDecoder(bool sniff = false);

    // Decodes one record; appends the frames it completes to out. Bytes that may still be
    // the start of a frame wait for the next record of the same direction.
    void Feed(TModbusDirection direction, uint64_t timeMs, const uint8_t* data, size_t n,
              std::vector<TModbusFrame>& out);
    void Feed(TModbusDirection direction, uint64_t timeMs, std::string_view bytes,
              std::vector<TModbusFrame>& out) {
        Feed(direction, timeMs, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), out);
    }
    // End of the stream: what is still waiting becomes frames or an unknown run.
    void Finish(std::vector<TModbusFrame>& out);
    void Reset();

    const TModbusStats& Stats() const { return m_stats; }

private:
    struct TPending {
        std::vector<uint8_t> bytes;
        // Record start offsets in bytes and their times.
        std::vector<std::pair<size_t, uint64_t>> times;
        // Where the scan goes on: the bytes before it start no frame.
        size_t resume = 0;
        // The first byte follows noise, so a frame with a bad CRC cannot start there.
        bool afterNoise = false;
    };
    struct TOpenRequest {
        uint64_t id;
        uint64_t timeMs;
        uint8_t slave;
        uint8_t function;
        std::optional<uint16_t> address;
        std::optional<uint16_t> quantity;
        std::vector<uint8_t> bytes;
    };

    void Scan(TModbusDirection direction, bool final, std::vector<TModbusFrame>& out);
    void EmitUnknown(TModbusDirection direction, size_t from, size_t to,
                     std::vector<TModbusFrame>& out);
    void EmitFrame(TModbusDirection direction, size_t at, size_t length, TModbusKind kind,
                   bool crcOk, std::vector<TModbusFrame>& out);
    uint64_t TimeAt(const TPending& pending, size_t offset) const;
    const TOpenRequest* OpenRequestFor(uint8_t slave, uint8_t function) const;
    void Pair(TModbusFrame& frame);

    bool m_sniff;
    TPending m_pending[2];
    std::vector<TOpenRequest> m_open;
    // The frame just before, when it was a request: an echoing function's reply repeats it.
    std::vector<uint8_t> m_lastRequest;
    uint64_t m_nextId = 1;
    TModbusStats m_stats;
};

// Whether the bytes are exactly one whole frame with a good CRC, read as a request or as a
// reply: the receive thread ends a record on it instead of waiting for the silence after
// the frame. Where the function gives the frame's length, only that length counts, so a
// longer frame whose first bytes happen to pass the CRC is not taken for one; a function
// without a length rule counts when all the bytes pass.
bool ModbusRtuWholeFrame(const uint8_t* data, size_t n);

// Name of a function ("Read Holding Registers"), or "function 41" for an unlisted one.
std::string ModbusFunctionName(uint8_t function);
// Standard name of exception codes 01-0B, else "exception 0C".
std::string ModbusExceptionName(uint8_t code);
// Name of a diagnostics sub-function, or empty.
std::string_view ModbusDiagnosticName(uint16_t subFunction);

// The register values in the format, one text per shown value (a pair of registers gives
// one value in the 32-bit formats; an odd last register is shown as u16).
std::vector<std::string> ModbusValueTexts(const std::vector<uint16_t>& registers,
                                          TModbusValueFormat format);

// The one line both front ends show under a record, e.g.
// "slave 1 Read Holding Registers 0x0000 x10" or
// "slave 1 reply 0x0000..0x0009 = 0 1 2 3 4 5 6 7 8 9  (12 ms)".
std::string RenderModbusFrame(const TModbusFrame& frame,
                              TModbusValueFormat format = TModbusValueFormat::U16);
// The frame as one JSON object (keys that do not apply left out).
std::string ModbusFrameJson(const TModbusFrame& frame,
                            TModbusValueFormat format = TModbusValueFormat::U16);

// Names of the value formats for options and menus: u16, s16, hex, f32, f32-swapped,
// i32, i32-swapped, u32, u32-swapped.
std::optional<TModbusValueFormat> ModbusValueFormatNamed(std::string_view name);
std::string_view ModbusValueFormatName(TModbusValueFormat format);
