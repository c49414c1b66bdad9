#include "protocol/ModbusRtu.h"
#include "codec/HexCodec.h"
#include "protocol/ModbusFrames.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string Framed(std::string_view hex) {
    return ModbusFramed(hex);
}

std::string Raw(std::string_view hex) {
    return HexToBytes(NormalizeHex(hex));
}

struct TRecord {
    TModbusDirection direction;
    uint64_t timeMs;
    std::string bytes;
};

constexpr auto Tx = TModbusDirection::Sent;
constexpr auto Rx = TModbusDirection::Received;

std::vector<TModbusFrame> Decode(const std::vector<TRecord>& records, bool sniff = false) {
    TModbusRtuDecoder decoder(sniff);
    std::vector<TModbusFrame> frames;
    for (const auto& record : records) {
        decoder.Feed(record.direction, record.timeMs, record.bytes, frames);
    }
    decoder.Finish(frames);
    return frames;
}

std::vector<std::string> Lines(const std::vector<TModbusFrame>& frames,
                               TModbusValueFormat format = TModbusValueFormat::U16) {
    std::vector<std::string> lines;
    for (const auto& frame : frames) {
        lines.push_back(RenderModbusFrame(frame, format));
    }
    return lines;
}

struct TExchangeCase {
    const char* name;
    std::string request;
    std::string reply;
    const char* requestLine;
    const char* replyLine;
};

// One exchange per function: the request sent, the reply received 12 ms later.
std::vector<TExchangeCase> Exchanges() {
    return {
        {"ReadCoils", Framed("11 01 00 13 00 0A"), Framed("11 01 02 CD 01"),
         "slave 17 Read Coils 0x0013 x10",
         "slave 17 reply 0x0013..0x001C = 1 0 1 1 0 0 1 1 1 0  (12 ms)"},
        {"ReadDiscreteInputs", Framed("11 02 00 C4 00 03"), Framed("11 02 01 05"),
         "slave 17 Read Discrete Inputs 0x00C4 x3",
         "slave 17 reply 0x00C4..0x00C6 = 1 0 1  (12 ms)"},
        {"ReadHoldingRegisters", Raw("01 03 00 00 00 0A C5 CD"),
         Framed("01 03 14 00 00 00 01 00 02 00 03 00 04 00 05 00 06 00 07 00 08 00 09"),
         "slave 1 Read Holding Registers 0x0000 x10",
         "slave 1 reply 0x0000..0x0009 = 0 1 2 3 4 5 6 7 8 9  (12 ms)"},
        {"ReadInputRegisters", Framed("01 04 00 08 00 01"), Framed("01 04 02 FF FE"),
         "slave 1 Read Input Registers 0x0008 x1", "slave 1 reply 0x0008..0x0008 = 65534  (12 ms)"},
        {"WriteSingleCoil", Framed("01 05 00 AC FF 00"), Framed("01 05 00 AC FF 00"),
         "slave 1 Write Single Coil 0x00AC = ON",
         "slave 1 reply Write Single Coil 0x00AC = ON  (12 ms)"},
        {"WriteSingleRegister", Framed("01 06 00 01 00 03"), Framed("01 06 00 01 00 03"),
         "slave 1 Write Single Register 0x0001 = 3",
         "slave 1 reply Write Single Register 0x0001 = 3  (12 ms)"},
        {"ReadExceptionStatus", Framed("01 07"), Framed("01 07 6D"),
         "slave 1 Read Exception Status", "slave 1 reply Read Exception Status = 6D  (12 ms)"},
        {"Diagnostics", Framed("01 08 00 00 A5 37"), Framed("01 08 00 00 A5 37"),
         "slave 1 Diagnostics Return Query Data (0000) data A5 37",
         "slave 1 reply Diagnostics Return Query Data (0000) data A5 37  (12 ms)"},
        {"WriteMultipleCoils", Framed("01 0F 00 13 00 0A 02 CD 01"), Framed("01 0F 00 13 00 0A"),
         "slave 1 Write Multiple Coils 0x0013 x10 = 1 0 1 1 0 0 1 1 1 0",
         "slave 1 reply Write Multiple Coils 0x0013 x10  (12 ms)"},
        {"WriteMultipleRegisters", Framed("01 10 00 01 00 02 04 00 0A 01 02"),
         Framed("01 10 00 01 00 02"), "slave 1 Write Multiple Registers 0x0001 x2 = 10 258",
         "slave 1 reply Write Multiple Registers 0x0001 x2  (12 ms)"},
        {"ReportServerId", Framed("01 11"), Framed("01 11 03 4B 56 FF"), "slave 1 Report Server ID",
         "slave 1 reply Report Server ID data 4B 56 FF  (12 ms)"},
        {"MaskWriteRegister", Framed("01 16 00 04 00 F2 00 25"), Framed("01 16 00 04 00 F2 00 25"),
         "slave 1 Mask Write Register 0x0004 and 0x00F2 or 0x0025",
         "slave 1 reply Mask Write Register 0x0004 and 0x00F2 or 0x0025  (12 ms)"},
        {"ReadWriteMultipleRegisters", Framed("01 17 00 03 00 02 00 0E 00 01 02 00 FF"),
         Framed("01 17 04 00 01 00 02"),
         "slave 1 Read/Write Multiple Registers read 0x0003 x2 write 0x000E x1 = 255",
         "slave 1 reply 0x0003..0x0004 = 1 2  (12 ms)"},
        {"ReadDeviceIdentification", Framed("01 2B 0E 01 00"),
         Framed("01 2B 0E 01 01 00 00 02 00 03 41 42 43 01 02 4B 31"),
         "slave 1 Read Device Identification code 1 object 00",
         "slave 1 reply Read Device Identification VendorName=\"ABC\" ProductCode=\"K1\"  (12 ms)"},
        {"Exception", Framed("01 03 01 00 00 02"), Framed("01 83 02"),
         "slave 1 Read Holding Registers 0x0100 x2",
         "slave 1 exception Read Holding Registers: 02 Illegal Data Address  (12 ms)"},
        {"UnlistedFunction", Framed("01 41 01 02 03"), Framed("01 41 09"),
         "slave 1 function 41 data 01 02 03", "slave 1 reply function 41 data 09  (12 ms)"},
    };
}

class ModbusExchange : public testing::TestWithParam<TExchangeCase> {};

TEST_P(ModbusExchange, DecodesRequestAndReplyOnAPort) {
    const auto& c = GetParam();
    const auto frames = Decode({{Tx, 100, c.request}, {Rx, 112, c.reply}});
    EXPECT_EQ(Lines(frames), (std::vector<std::string>{c.requestLine, c.replyLine}));
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_TRUE(frames[0].crcOk && frames[1].crcOk);
    EXPECT_EQ(frames[1].requestId, frames[0].id);
}

TEST_P(ModbusExchange, DecodesTheSameFromASniffedBusInOneRecord) {
    const auto& c = GetParam();
    // The request and its reply read together, then the next poll cut after three bytes.
    const auto frames = Decode({{Rx, 100, c.request},
                                {Rx, 112, c.reply + c.request.substr(0, 3)},
                                {Rx, 200, c.request.substr(3)}},
                               true);
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(RenderModbusFrame(frames[0]), c.requestLine);
    EXPECT_EQ(RenderModbusFrame(frames[1]), c.replyLine);
    EXPECT_EQ(RenderModbusFrame(frames[2]), c.requestLine);
    EXPECT_EQ(frames[2].timeMs, 112u);
}

INSTANTIATE_TEST_SUITE_P(Functions, ModbusExchange, testing::ValuesIn(Exchanges()),
                         [](const auto& param) { return std::string(param.param.name); });

TEST(ModbusRtu, SplitsByContentAcrossRecordsAndNoise) {
    const std::string poll = Raw("01 03 00 00 00 0A C5 CD");
    const std::string answer = Framed("01 03 04 00 07 00 08");
    struct TCase {
        const char* name;
        std::vector<TRecord> records;
        std::vector<std::string> lines;
    };
    const std::vector<TCase> cases = {
        {"glued request and reply, each taken for what fits",
         {{Rx, 0, poll + answer}},
         {"slave 1 Read Holding Registers 0x0000 x10",
          "slave 1 reply 0x0000..0x0001 = 7 8  (0 ms)"}},
        {"frame split over two records",
         {{Rx, 0, answer.substr(0, 4)}, {Rx, 30, answer.substr(4)}},
         {"slave 1 reply Read Holding Registers = 7 8"}},
        {"noise before and between",
         {{Rx, 0, Raw("FF 00 FE") + answer + Raw("AA") + answer}},
         {"not Modbus (3 bytes)", "slave 1 reply Read Holding Registers = 7 8",
          "not Modbus (1 bytes)", "slave 1 reply Read Holding Registers = 7 8"}},
        {"truncated frame at the end",
         {{Rx, 0, answer + answer.substr(0, 5)}},
         {"slave 1 reply Read Holding Registers = 7 8", "not Modbus (5 bytes)"}},
        {"bad CRC with the right length",
         {{Rx, 0, Raw("01 03 04 00 07 00 08 00 00")}},
         {"slave 1 reply Read Holding Registers = 7 8  CRC bad, expected " +
          BytesToHex(answer.substr(7), " ")}},
        {"bad CRC followed by a good frame",
         {{Rx, 0, Raw("01 03 04 00 07 00 08 00 00") + answer}},
         {"slave 1 reply Read Holding Registers = 7 8  CRC bad, expected " +
              BytesToHex(answer.substr(7), " "),
          "slave 1 reply Read Holding Registers = 7 8"}},
        {"a bad CRC inside noise is noise",
         {{Rx, 0, Raw("55") + Raw("01 03 04 00 07 00 08 00 00") + Raw("55")}},
         {"not Modbus (11 bytes)"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Lines(Decode(c.records)), c.lines) << c.name;
    }
}

TEST(ModbusRtu, SniffedEchoIsARequestUntilItsRequestWasSeen) {
    const std::string write = Framed("01 06 00 01 00 03");
    const std::string other = Framed("01 06 00 02 00 04");
    const auto frames = Decode({{Rx, 0, write + other + other + write}}, true);
    std::vector<TModbusKind> kinds;
    for (const auto& frame : frames) {
        kinds.push_back(frame.kind);
    }
    // The second write of 0x0002 echoes the first; the last write of 0x0001 follows a
    // different frame and is a new request.
    EXPECT_EQ(kinds, (std::vector<TModbusKind>{TModbusKind::Request, TModbusKind::Request,
                                               TModbusKind::Reply, TModbusKind::Request}));
}

TEST(ModbusRtu, SniffedStreamEndingInAPartFrameIsReadWithinItsBytes) {
    const struct {
        const char* bytes;
        TModbusKind kind;
        bool crcOk;
    } cases[] = {
        // Only a reply of Read Coils is five bytes long; with no request waiting, pairing
        // would call it a request, which is eight bytes long.
        {"1D 01 00 00 02", TModbusKind::Reply, false},
        // One byte: no function to pair by.
        {"9B", TModbusKind::Unknown, true},
    };
    for (const auto& c : cases) {
        const auto frames = Decode({{Rx, 0, Raw(c.bytes)}}, true);
        ASSERT_EQ(frames.size(), 1u) << c.bytes;
        EXPECT_EQ(frames[0].kind, c.kind) << c.bytes;
        EXPECT_EQ(frames[0].crcOk, c.crcOk) << c.bytes;
        EXPECT_EQ(BytesToHex(frames[0].bytes.data(), frames[0].bytes.size(), " "), c.bytes);
    }
}

TEST(ModbusRtu, ValueFormats) {
    // 0x4049 0x0FDB: 3.14159 as a float, high word first.
    const auto frames = Decode({{Rx, 0, Framed("01 03 06 40 49 0F DB FF FE")}});
    ASSERT_EQ(frames.size(), 1u);
    const struct {
        TModbusValueFormat format;
        const char* values;
    } cases[] = {
        {TModbusValueFormat::U16, "16457 4059 65534"},
        {TModbusValueFormat::S16, "16457 4059 -2"},
        {TModbusValueFormat::Hex, "0x4049 0x0FDB 0xFFFE"},
        {TModbusValueFormat::F32HighFirst, "3.14159 65534"},
        {TModbusValueFormat::F32LowFirst, "2.16198e-29 65534"},
        {TModbusValueFormat::U32HighFirst, "1078530011 65534"},
        {TModbusValueFormat::U32LowFirst, "266027081 65534"},
        {TModbusValueFormat::I32HighFirst, "1078530011 65534"},
        {TModbusValueFormat::I32LowFirst, "266027081 65534"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(RenderModbusFrame(frames[0], c.format),
                  std::string("slave 1 reply Read Holding Registers = ") + c.values)
            << ModbusValueFormatName(c.format);
        EXPECT_EQ(ModbusValueFormatNamed(ModbusValueFormatName(c.format)), c.format);
    }
    const auto negative = Decode({{Rx, 0, Framed("01 04 04 FF FF FF FE")}});
    EXPECT_EQ(RenderModbusFrame(negative.at(0), TModbusValueFormat::I32HighFirst),
              "slave 1 reply Read Input Registers = -2");
}

TEST(ModbusRtu, JsonLeavesOutWhatDoesNotApply) {
    const auto frames = Decode(
        {{Tx, 100, Raw("01 03 00 00 00 0A C5 CD")}, {Rx, 112, Framed("01 83 02") + Raw("00 01")}});
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(ModbusFrameJson(frames[0]),
              R"({"slave":1,"function":3,"name":"Read Holding Registers","kind":"request",)"
              R"("address":0,"count":10,"crc":"ok"})");
    EXPECT_EQ(ModbusFrameJson(frames[1]),
              R"({"slave":1,"function":3,"name":"Read Holding Registers","kind":"exception",)"
              R"("address":0,"exception":2,"exception_name":"Illegal Data Address",)"
              R"("crc":"ok","reply_ms":12})");
    EXPECT_EQ(ModbusFrameJson(frames[2]), R"({"kind":"unknown","hex":"00 01"})");
}

TEST(ModbusRtu, EndlessNoiseIsShownAsItComesNotHeldBack) {
    // A device that talks text all day: every byte is shown as not Modbus while the stream
    // goes on, and what waits for a possible frame stays within two frames' length.
    TModbusRtuDecoder decoder;
    std::vector<TModbusFrame> frames;
    const std::string line = "temperature=21.5 C humidity=40 % pressure=1013 hPa\r\n";
    size_t fed = 0;
    for (int record = 0; record < 100; ++record) {
        decoder.Feed(Rx, static_cast<uint64_t>(record) * 10, line, frames);
        fed += line.size();
        size_t shown = 0;
        for (const TModbusFrame& frame : frames) {
            EXPECT_EQ(frame.kind, TModbusKind::Unknown);
            shown += frame.bytes.size();
        }
        EXPECT_LT(fed - shown, 512u) << "after record " << record;
    }
}

TEST(ModbusRtu, CountsFramesBadCrcsExceptionsAndUnansweredRequests) {
    TModbusRtuDecoder decoder;
    std::vector<TModbusFrame> frames;
    decoder.Feed(Tx, 0, Framed("01 03 00 00 00 01"), frames);
    decoder.Feed(Rx, 5, Framed("01 83 02"), frames);
    decoder.Feed(Tx, 10, Framed("02 03 00 00 00 01"), frames);
    decoder.Feed(Rx, 15, Raw("02 03 02 00 01 00 00"), frames);
    decoder.Finish(frames);
    const auto& stats = decoder.Stats();
    EXPECT_EQ(stats.frames, 4u);
    EXPECT_EQ(stats.badCrc, 1u);
    EXPECT_EQ(stats.exceptions, 1u);
    EXPECT_EQ(stats.Unanswered(), 1u);
}

// The receive thread ends a record on this, so a false yes cuts a frame in two and a false
// no makes a reply wait for the silence after it.
TEST(ModbusRtu, WholeFrameIsTheFunctionsLengthWithAGoodCrc) {
    // A reply of two registers whose first five bytes and their CRC pass as a frame: the
    // read holding registers reply is nine bytes long, so seven are not yet a frame.
    const std::string falsePrefixed = Framed(BytesToHex(Framed("01 03 04 00 07"), " "));
    ASSERT_EQ(falsePrefixed.size(), 9u);
    const std::string request = Framed("01 03 00 00 00 0A");
    const struct {
        const char* what;
        std::string bytes;
        bool whole;
    } cases[] = {
        {"request", request, true},
        {"reply", Framed("01 03 02 00 2A"), true},
        {"exception", Framed("01 83 02"), true},
        {"write multiple registers request", Framed("01 10 00 01 00 02 04 00 0A 01 02"), true},
        {"function without a length rule", Framed("01 41 01 02 03"), true},
        {"bad CRC", Raw("01 03 02 00 2A 00 00"), false},
        {"all but the last byte", request.substr(0, 7), false},
        {"one byte more", request + '\x01', false},
        {"two frames", request + request, false},
        {"prefix passing the CRC", falsePrefixed.substr(0, 7), false},
        {"whole frame after that prefix", falsePrefixed, true},
        {"too short", Raw("01 03 E1"), false},
        {"slave beyond 247", Framed("F8 03 02 00 2A"), false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(
            ModbusRtuWholeFrame(reinterpret_cast<const uint8_t*>(c.bytes.data()), c.bytes.size()),
            c.whole)
            << c.what;
    }
}

} // namespace
