#include "fuzz/FuzzTargets.h"

#include "richtext/RichText.h"
#include "settings/SettingsRecord.h"
#include "codec/HexCodec.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

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
