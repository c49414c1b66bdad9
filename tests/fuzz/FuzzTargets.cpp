#include "fuzz/FuzzTargets.h"

#include "cli/JsonValue.h"
#include "codec/HexCodec.h"
#include "protocol/ModbusRtu.h"
#include "richtext/RichText.h"
#include "serial/TelnetCodec.h"
#include "settings/SettingsRecord.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace {

bool IsValidUtf8(std::string_view s) {
    size_t i = 0;
    while (i < s.size()) {
        const auto b = static_cast<unsigned char>(s[i]);
        const size_t length = b < 0x80             ? 1
                              : (b & 0xE0) == 0xC0 ? 2
                              : (b & 0xF0) == 0xE0 ? 3
                              : (b & 0xF8) == 0xF0 ? 4
                                                   : 0;
        if (length == 0 || i + length > s.size()) {
            return false;
        }
        for (size_t k = 1; k < length; ++k) {
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) {
                return false;
            }
        }
        i += length;
    }
    return true;
}

// Reads small numbers off the front of the input.
class TBytes {
public:
    explicit TBytes(std::string_view data) : m_data(data) {}
    bool Empty() const { return m_data.empty(); }
    uint8_t Byte() {
        if (m_data.empty()) {
            return 0;
        }
        const auto b = static_cast<uint8_t>(m_data.front());
        m_data.remove_prefix(1);
        return b;
    }
    std::string_view Take(size_t n) {
        n = std::min(n, m_data.size());
        const std::string_view part = m_data.substr(0, n);
        m_data.remove_prefix(n);
        return part;
    }

private:
    std::string_view m_data;
};

} // namespace

void FuzzCheck(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "fuzz check failed: %s\n", what);
        std::abort();
    }
}

void FuzzRtfReader(std::string_view data) {
    const StyledText text = ReadRtf(data);
    size_t total = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        FuzzCheck(!text[i].text.empty(), "no empty runs");
        FuzzCheck(IsValidUtf8(text[i].text), "run text is UTF-8");
        FuzzCheck(IsValidUtf8(text[i].style.fontName.str()), "font name is UTF-8");
        FuzzCheck(text[i].style.fontName.str().size() <= 255, "font names are cut");
        FuzzCheck(i == 0 || !(text[i].style == text[i - 1].style), "runs are merged");
        total += text[i].text.size();
    }
    FuzzCheck(total <= data.size() * 4, "text bounded by the input");
    // The plain-text path of a file load takes every byte.
    const StyledText plain = PlainTextToStyled(data, TextStyle{});
    FuzzCheck(StyledPlainText(plain).size() <= data.size() * 2, "plain text bounded");
}

// Styled text built from the input (font, colour, size, bold and charset per run, then
// Latin-1 text) must come back from WriteRtf and ReadRtf exactly, merged.
void FuzzRtfRoundTrip(std::string_view data) {
    static const char* const kFonts[] = {"Courier New", "Arial", "Liberation Mono", "a;b{c}\\d",
                                         "\xE5\xAE\x8B\xE4\xBD\x93"};
    static const int kCharsets[] = {0, 134, 128, 161, 204, 2};
    TBytes in(data);
    StyledText text;
    while (!in.Empty()) {
        TextStyle style;
        const uint8_t pick = in.Byte();
        style.fontName = kFonts[pick % 5];
        style.charset = kCharsets[(pick / 5) % 6];
        style.bold = (pick & 0x80) != 0;
        style.color = static_cast<uint32_t>(in.Byte()) | static_cast<uint32_t>(in.Byte()) << 8 |
                      static_cast<uint32_t>(in.Byte()) << 16;
        style.sizeHalfPoints = 1 + in.Byte() * 7;
        const size_t length = in.Byte() % 64;
        const std::string_view bytes = in.Take(length);
        text.push_back(StyledRun{Latin1ToUtf8(bytes), style});
    }
    const StyledText expected = MergeRuns(text);
    const std::string rtf = WriteRtf(text);
    for (const char c : rtf) {
        FuzzCheck(static_cast<unsigned char>(c) < 0x80, "RTF is 7-bit");
    }
    FuzzCheck(ReadRtf(rtf) == expected, "write then read gives the text back");
}

void FuzzHexAndChecksums(std::string_view data) {
    static const ChecksumAlgorithm kAll[] = {
        ChecksumAlgorithm::Sum8,           ChecksumAlgorithm::Sum16LowFirst,
        ChecksumAlgorithm::Sum16HighFirst, ChecksumAlgorithm::Xor8,
        ChecksumAlgorithm::Crc16Modbus,    ChecksumAlgorithm::Crc16Ccitt,
        ChecksumAlgorithm::Crc8Ccitt,      ChecksumAlgorithm::Lrc8};
    const std::string normal = NormalizeHex(data);
    FuzzCheck(NormalizeHex(normal) == normal, "normalising twice changes nothing");
    (void)HexByteCount(data, HexRounding::Down);
    (void)HexByteCount(data, HexRounding::Up);
    (void)RemoveBlanks(data);
    (void)BinToInt64(data);
    try {
        (void)HexToBinGroups(data);
    } catch (const EConvertError&) {
    }
    if (IsHexText(data)) {
        const std::string bytes = HexToBytes(normal);
        if (data.find_first_of("\r\n") == std::string_view::npos) {
            // (CR and LF count like digits there, for caret columns.)
            FuzzCheck(HexByteCount(data, HexRounding::Down) == bytes.size(), "byte count agrees");
        }
        FuzzCheck(HexToBytes(NormalizeHex(BytesToHex(bytes, " "))) == bytes, "hex round trip");
        for (const ChecksumAlgorithm algorithm : kAll) {
            const std::string sum = ChecksumText(normal, algorithm);
            FuzzCheck(IsHexText(sum), "a checksum is hex text");
        }
    }
    // Any bytes as hex and back.
    const std::string hex = BytesToHex(data, " ");
    FuzzCheck(data.empty() || IsHexText(hex), "bytes give hex text");
    FuzzCheck(HexToBytes(NormalizeHex(hex)) == data, "bytes survive hex");
    for (const ChecksumAlgorithm algorithm : kAll) {
        (void)ChecksumText(hex, algorithm);
    }
}

// A settings file of any content, loaded as the start-up does (over the zero image), gives
// back every byte it held when saved without a change.
void FuzzSettingsLoader(std::string_view data) {
    SettingsRecord::Image image{};
    std::memcpy(image.data(), data.data(), std::min(data.size(), image.size()));
    const SettingsRecord record = SettingsRecord::FromBytes(image);
    FuzzCheck(record.ToBytes() == image, "load then save keeps every byte");
    FuzzCheck(record.lastFileName.size() <= SettingsRecord::MaxPathLength, "path fields fit");
    FuzzCheck(record.programPath.size() <= SettingsRecord::MaxPathLength, "path fields fit");
    FuzzCheck(record.autoSavePath.size() <= SettingsRecord::MaxPathLength, "path fields fit");
    SettingsRecord copy = record;
    copy.ClearShutdownReserved();
    FuzzCheck(SettingsRecord::FromBytes(copy.ToBytes()).ToBytes() == copy.ToBytes(),
              "a saved record loads as saved");
}

namespace {

void CheckModbusFrame(const TModbusFrame& frame, TModbusValueFormat format) {
    const std::vector<uint8_t>& b = frame.bytes;
    FuzzCheck(!b.empty(), "a frame has bytes");
    if (frame.kind == TModbusKind::Unknown) {
        FuzzCheck(frame.requestId == std::nullopt && frame.registers.empty(),
                  "an unknown run has no fields");
    } else {
        FuzzCheck(b.size() >= 4 && b.size() <= 256, "a frame is 4 to 256 bytes");
        FuzzCheck(b[0] == frame.slave && (b[1] & 0x7F) == frame.function,
                  "slave and function are the frame's first bytes");
        FuzzCheck(((b[1] & 0x80) != 0) == (frame.kind == TModbusKind::Exception),
                  "an exception is a function with its top bit set");
        const uint16_t crc = ModbusCrc16(b.data(), b.size() - 2);
        const bool good = b[b.size() - 2] == (crc & 0xFF) && b[b.size() - 1] == (crc >> 8);
        FuzzCheck(good == frame.crcOk, "the CRC mark agrees with the bytes");
        FuzzCheck(frame.crcOk || frame.crcExpected == crc, "the expected CRC is the bytes' CRC");
        FuzzCheck(!frame.replyMs || (frame.requestId && *frame.requestId < frame.id),
                  "a reply time belongs to a reply to an earlier request");
    }
    {
        const std::string text = RenderModbusFrame(frame, format);
        FuzzCheck(!text.empty(), "every frame has a line");
        for (const char c : text) {
            FuzzCheck(c >= 0x20 && c < 0x7F, "the line is printable ASCII");
        }
        const std::optional<JsonValue> json = JsonReader::Parse(ModbusFrameJson(frame, format));
        FuzzCheck(json && json->type == JsonValue::Type::Object && json->Has("kind"),
                  "the JSON is an object with the frame's kind");
    }
}

} // namespace

// A byte stream in records of either direction (first byte: sniffing and the value format;
// then per record a header byte, direction and time step, a length byte and the bytes).
// Every byte comes back in exactly one frame or unknown run, in order; a stream that forms
// no frame holds at most two frames' worth of bytes back; the counts agree with the frames.
void FuzzModbusDecoder(std::string_view data) {
    TBytes in(data);
    const uint8_t flags = in.Byte();
    const bool sniff = (flags & 1) != 0;
    const auto format = static_cast<TModbusValueFormat>(
        (flags >> 1) % (static_cast<int>(TModbusValueFormat::U32LowFirst) + 1));
    TModbusRtuDecoder decoder(sniff);
    std::vector<uint8_t> fed[2];
    std::vector<uint8_t> back[2];
    std::vector<TModbusFrame> all;
    uint64_t time = 0;
    const auto take = [&](std::vector<TModbusFrame>& frames) {
        for (TModbusFrame& frame : frames) {
            CheckModbusFrame(frame, format);
            FuzzCheck(all.empty() || frame.id > all.back().id, "frames are numbered in order");
            const int d = static_cast<int>(frame.direction);
            back[d].insert(back[d].end(), frame.bytes.begin(), frame.bytes.end());
            all.push_back(std::move(frame));
        }
        frames.clear();
    };
    std::vector<TModbusFrame> frames;
    while (!in.Empty()) {
        const uint8_t header = in.Byte();
        const auto direction =
            (header & 0x80) != 0 ? TModbusDirection::Sent : TModbusDirection::Received;
        time += header & 0x3F;
        const std::string_view bytes = in.Take(in.Byte());
        decoder.Feed(direction, time, bytes, frames);
        const int d = static_cast<int>(sniff ? TModbusDirection::Received : direction);
        fed[d].insert(fed[d].end(), bytes.begin(), bytes.end());
        take(frames);
        FuzzCheck(fed[d].size() - back[d].size() < 512, "at most two frames' bytes wait");
    }
    decoder.Finish(frames);
    take(frames);
    for (int d = 0; d < 2; ++d) {
        FuzzCheck(back[d] == fed[d], "every byte comes back once, in order");
    }
    TModbusStats counted;
    for (const TModbusFrame& frame : all) {
        if (frame.kind == TModbusKind::Unknown) {
            counted.unknownBytes += frame.bytes.size();
            continue;
        }
        ++counted.frames;
        counted.badCrc += frame.crcOk ? 0 : 1;
        counted.exceptions += frame.kind == TModbusKind::Exception ? 1 : 0;
    }
    const TModbusStats& stats = decoder.Stats();
    FuzzCheck(stats.frames == counted.frames && stats.badCrc == counted.badCrc &&
                  stats.exceptions == counted.exceptions &&
                  stats.unknownBytes == counted.unknownBytes,
              "the counts agree with the frames");
    FuzzCheck(stats.answered <= stats.requests, "no more answers than requests");
}

namespace {

struct TDecoded {
    std::string data;
    std::vector<Telnet::TDecoder::TNegotiation> negotiations;
    std::vector<Telnet::TDecoder::TCommand> commands;
};

// The stream fed in pieces: after `first` bytes, then `step` bytes at a time (0: the rest).
TDecoded Decode(std::string_view stream, size_t first, size_t step) {
    Telnet::TDecoder decoder;
    TDecoded out;
    const auto* bytes = reinterpret_cast<const uint8_t*>(stream.data());
    size_t at = 0;
    while (at < stream.size()) {
        size_t n = at == 0 ? first : step;
        if (n == 0 || n > stream.size() - at) {
            n = stream.size() - at;
        }
        decoder.Feed(bytes + at, n, out.data, out.negotiations, out.commands);
        at += n;
    }
    return out;
}

bool SameEvents(const TDecoded& a, const TDecoded& b) {
    if (a.data != b.data || a.negotiations.size() != b.negotiations.size() ||
        a.commands.size() != b.commands.size()) {
        return false;
    }
    for (size_t i = 0; i < a.negotiations.size(); ++i) {
        if (a.negotiations[i].verb != b.negotiations[i].verb ||
            a.negotiations[i].option != b.negotiations[i].option) {
            return false;
        }
    }
    for (size_t i = 0; i < a.commands.size(); ++i) {
        if (a.commands[i].code != b.commands[i].code ||
            a.commands[i].value != b.commands[i].value) {
            return false;
        }
    }
    return true;
}

} // namespace

// The server's stream, however it is split by the network, decodes to the same data and
// events; data is never longer than the stream; and what the client sends (escaped data, a
// com-port command) decodes back to exactly what was meant.
void FuzzTelnetDecoder(std::string_view data) {
    const TDecoded whole = Decode(data, 0, 0);
    FuzzCheck(whole.data.size() <= data.size(), "data no longer than the stream");
    FuzzCheck(whole.negotiations.size() * 3 <= data.size(), "a negotiation takes three bytes");
    for (const auto& command : whole.commands) {
        FuzzCheck(command.value.size() <= 62, "a command's value is bounded");
    }
    const size_t first = data.empty() ? 0 : static_cast<uint8_t>(data[0]) % 17;
    FuzzCheck(SameEvents(whole, Decode(data, first, 1)), "byte by byte decodes the same");
    FuzzCheck(SameEvents(whole, Decode(data, first, 7)), "any split decodes the same");

    const std::string escaped = Telnet::Escape(data.data(), data.size());
    const TDecoded plain = Decode(escaped, first, 0);
    FuzzCheck(plain.data == data, "escaped data comes back unchanged");
    FuzzCheck(plain.negotiations.empty() && plain.commands.empty(), "escaped data is only data");

    if (!data.empty()) {
        const auto code =
            static_cast<uint8_t>(Telnet::ServerOffset + static_cast<uint8_t>(data[0]) % 12 + 1);
        const std::string value(data.substr(1, 62));
        const TDecoded command = Decode(Telnet::ComPortCommand(code, value) + "x", first, 3);
        FuzzCheck(command.data == "x" && command.negotiations.empty(), "a command is not data");
        FuzzCheck(command.commands.size() == 1 && command.commands[0].code == code &&
                      command.commands[0].value == value,
                  "a command decodes to its code and value");
    }
}
