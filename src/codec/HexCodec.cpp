#include "codec/HexCodec.h"

#include <array>
#include <cstring>

namespace {

constexpr char kDigits[] = "0123456789ABCDEF";

bool IsSeparator(char c) {
    return c == ' ' || c == '\r' || c == '\n';
}

bool IsTrimmed(char c) {
    return static_cast<unsigned char>(c) <= 0x20;
}

// -1 for anything that is not a hex digit.
int DigitValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

char UpperAscii(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

std::string_view TrimView(std::string_view text) {
    size_t first = 0;
    size_t last = text.size();
    while (first < last && IsTrimmed(text[first])) {
        ++first;
    }
    while (last > first && IsTrimmed(text[last - 1])) {
        --last;
    }
    return text.substr(first, last - first);
}

[[noreturn]] void ThrowNotADigit(char c) {
    const auto code = static_cast<unsigned char>(c);
    std::string message;
    if (code > 0x20 && code < 0x7F) {
        message = std::string("'") + c + "' is not a valid hexadecimal digit";
    } else {
        message = std::string("Character 0x") + kDigits[code >> 4] + kDigits[code & 0x0F] +
                  " is not a valid hexadecimal digit";
    }
    throw EConvertError(message);
}

int DigitOrThrow(char c) {
    const int value = DigitValue(c);
    if (value < 0) {
        ThrowNotADigit(c);
    }
    return value;
}

// "00".."FF" laid out as 512 characters, so one byte becomes one 2-byte copy.
constexpr std::array<char, 512> MakePairTable() {
    std::array<char, 512> table{};
    for (int i = 0; i < 256; ++i) {
        table[static_cast<size_t>(2 * i)] = kDigits[i >> 4];
        table[static_cast<size_t>(2 * i + 1)] = kDigits[i & 0x0F];
    }
    return table;
}

constexpr std::array<char, 512> kPairs = MakePairTable();

void AppendPair(std::string& out, unsigned value) {
    out += kDigits[(value >> 4) & 0x0F];
    out += kDigits[value & 0x0F];
}

void AppendLowHigh(std::string& out, uint16_t value) {
    AppendPair(out, value & 0xFFu);
    out += ' ';
    AppendPair(out, static_cast<unsigned>(value >> 8));
}

uint16_t Sum16(const uint8_t* data, size_t n) {
    uint16_t sum = 0;
    for (size_t i = 0; i < n; ++i) {
        sum = static_cast<uint16_t>(sum + data[i]);
    }
    return sum;
}

// Byte-at-a-time CRC tables, built at compile time from the bit-serial definitions.
constexpr std::array<uint16_t, 256> MakeCrc16ModbusTable() {
    std::array<uint16_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        unsigned crc = i;
        for (int k = 0; k < 8; ++k) {
            crc = (crc & 1u) != 0 ? (crc >> 1) ^ 0xA001u : crc >> 1;
        }
        table[i] = static_cast<uint16_t>(crc);
    }
    return table;
}

constexpr std::array<uint16_t, 256> MakeCrc16CcittTable() {
    std::array<uint16_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        unsigned crc = i << 8;
        for (int k = 0; k < 8; ++k) {
            crc = (crc & 0x8000u) != 0 ? (crc << 1) ^ 0x1021u : crc << 1;
        }
        table[i] = static_cast<uint16_t>(crc & 0xFFFFu);
    }
    return table;
}

constexpr std::array<uint8_t, 256> MakeCrc8Table() {
    std::array<uint8_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        unsigned crc = i;
        for (int k = 0; k < 8; ++k) {
            crc = (crc & 0x80u) != 0 ? (crc << 1) ^ 0x07u : crc << 1;
        }
        table[i] = static_cast<uint8_t>(crc & 0xFFu);
    }
    return table;
}

constexpr auto kCrc16ModbusTable = MakeCrc16ModbusTable();
constexpr auto kCrc16CcittTable = MakeCrc16CcittTable();
constexpr auto kCrc8Table = MakeCrc8Table();

uint16_t Crc16Modbus(const uint8_t* data, size_t n) {
    unsigned crc = 0xFFFF;
    for (size_t i = 0; i < n; ++i) {
        crc = (crc >> 8) ^ kCrc16ModbusTable[(crc ^ data[i]) & 0xFFu];
    }
    return static_cast<uint16_t>(crc);
}

uint16_t Crc16Ccitt(const uint8_t* data, size_t n) {
    unsigned crc = 0x0000;
    for (size_t i = 0; i < n; ++i) {
        crc = ((crc << 8) ^ kCrc16CcittTable[((crc >> 8) ^ data[i]) & 0xFFu]) & 0xFFFFu;
    }
    return static_cast<uint16_t>(crc);
}

// Before the final inversion.
uint8_t Crc8Ccitt(const uint8_t* data, size_t n) {
    unsigned crc = 0x00;
    for (size_t i = 0; i < n; ++i) {
        crc = kCrc8Table[(crc ^ data[i]) & 0xFFu];
    }
    return static_cast<uint8_t>(crc);
}

} // namespace

std::string TrimText(std::string_view text) {
    return std::string(TrimView(text));
}

bool IsHexText(std::string_view text) {
    const std::string_view t = TrimView(text);
    if (t.size() < 2) {
        return false;
    }
    size_t count = 0;
    for (size_t i = 0; i < t.size(); ++i) {
        const char c = t[i];
        if (IsSeparator(c)) {
            continue;
        }
        ++count;
        if (count % 2 == 1 && i + 1 < t.size() && t[i + 1] == ' ') {
            return false;
        }
        if (DigitValue(c) < 0) {
            return false;
        }
    }
    return count % 2 == 0;
}

std::string NormalizeHex(std::string_view text) {
    const std::string_view t = TrimView(text);
    std::string out;
    out.reserve(t.size() + t.size() / 2 + 1);
    size_t appended = 0;
    for (const char c : t) {
        if (IsSeparator(c)) {
            continue;
        }
        out += UpperAscii(c);
        if (++appended % 2 == 0) {
            out += ' ';
        }
    }
    return out;
}

std::string HexToBytes(std::string_view text) {
    const std::string_view t = TrimView(text);
    std::string out;
    out.reserve(t.size() / 2);
    size_t count = 0;
    for (size_t i = 0; i < t.size(); ++i) {
        if (IsSeparator(t[i])) {
            continue;
        }
        if (++count % 2 == 0 || i + 1 >= t.size()) {
            continue;
        }
        const int high = DigitValue(t[i]);
        const int low = DigitValue(t[i + 1]);
        if (high >= 0 && low >= 0) {
            out += static_cast<char>(high * 16 + low);
        }
    }
    return out;
}

uint32_t HexByteCount(std::string_view text, HexRounding rounding) {
    const std::string_view t = TrimView(text);
    size_t counter = 0;
    for (const char c : t) {
        if (c == ' ') {
            if (counter == 1) {
                counter = 0;
            }
            continue;
        }
        ++counter;
    }
    size_t bytes = counter / 2;
    if (counter % 2 == 1 && rounding == HexRounding::Up) {
        ++bytes;
    }
    return static_cast<uint32_t>(bytes);
}

std::string RemoveBlanks(std::string_view text) {
    const std::string_view t = TrimView(text);
    std::string out;
    out.reserve(t.size());
    for (const char c : t) {
        if (c != ' ') {
            out += c;
        }
    }
    return out;
}

std::string HexToBinGroups(std::string_view text) {
    std::string stripped;
    std::string_view digits = text;
    if (IsHexText(text)) {
        stripped = RemoveBlanks(text);
        digits = stripped;
    }
    std::string out(digits.size() * 5, ' ');
    for (size_t i = 0; i < digits.size(); ++i) {
        const int value = DigitOrThrow(digits[i]);
        char* group = out.data() + i * 5;
        for (int bit = 0; bit < 4; ++bit) {
            group[bit] = (value & (8 >> bit)) != 0 ? '1' : '0';
        }
    }
    return out;
}

int64_t BinToInt64(std::string_view text) {
    // Unsigned arithmetic: the wrap of a long text is defined behaviour.
    uint64_t value = 0;
    for (const char c : text) {
        const int digit = static_cast<unsigned char>(UpperAscii(c)) - 0x30;
        value = value * 2 + static_cast<uint64_t>(static_cast<int64_t>(digit));
    }
    return static_cast<int64_t>(value);
}

std::string ChecksumText(std::string_view hexText, ChecksumAlgorithm algorithm) {
    const std::string_view t = TrimView(hexText);
    std::string bytes;
    bytes.reserve(t.size() / 2);
    int high = -1;
    for (const char c : t) {
        if (IsSeparator(c)) {
            continue;
        }
        if (high < 0) {
            // Read only once the pair is complete: a lone character at the end is ignored
            // without being looked at.
            high = static_cast<unsigned char>(c);
            continue;
        }
        const int highDigit = DigitOrThrow(static_cast<char>(high));
        const int lowDigit = DigitOrThrow(c);
        bytes += static_cast<char>(highDigit * 16 + lowDigit);
        high = -1;
    }

    const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
    const size_t n = bytes.size();
    std::string out;
    switch (algorithm) {
    case ChecksumAlgorithm::Sum8:
        AppendPair(out, Sum16(data, n) & 0xFFu);
        break;
    case ChecksumAlgorithm::Sum16LowFirst:
        AppendLowHigh(out, Sum16(data, n));
        break;
    case ChecksumAlgorithm::Sum16HighFirst: {
        const uint16_t sum = Sum16(data, n);
        AppendPair(out, sum >> 8);
        out += ' ';
        AppendPair(out, sum & 0xFFu);
        break;
    }
    case ChecksumAlgorithm::Xor8: {
        unsigned value = 0;
        for (size_t i = 0; i < n; ++i) {
            value ^= data[i];
        }
        AppendPair(out, value);
        break;
    }
    case ChecksumAlgorithm::Crc16Modbus:
        AppendLowHigh(out, Crc16Modbus(data, n));
        break;
    case ChecksumAlgorithm::Crc16Ccitt:
        AppendLowHigh(out, Crc16Ccitt(data, n));
        break;
    case ChecksumAlgorithm::Crc8Ccitt:
        AppendPair(out, Crc8Ccitt(data, n) ^ 0xFFu);
        break;
    case ChecksumAlgorithm::Lrc8:
        AppendPair(out, (0x100u - (Sum16(data, n) & 0xFFu)) & 0xFFu);
        break;
    }
    return out;
}

void AppendBytesToHex(std::string& out, const uint8_t* data, size_t n, std::string_view separator) {
    if (n == 0) {
        return;
    }
    // Every byte gets its pair and a separator, the last one too, so the loops have no
    // branch per byte; the buffer is sized once and the last separator cut off at the end.
    const size_t sepSize = separator.size();
    const size_t step = 2 + sepSize;
    const size_t start = out.size();
    out.resize(start + n * step);
    char* dst = out.data() + start;
    const char* pairs = kPairs.data();
    if (sepSize == 0) {
        for (size_t i = 0; i < n; ++i) {
            std::memcpy(dst + 2 * i, pairs + 2 * data[i], 2);
        }
    } else if (sepSize == 1) {
        const char sep = separator[0];
        for (size_t i = 0; i < n; ++i) {
            std::memcpy(dst + 3 * i, pairs + 2 * data[i], 2);
            dst[3 * i + 2] = sep;
        }
    } else {
        for (size_t i = 0; i < n; ++i) {
            std::memcpy(dst + step * i, pairs + 2 * data[i], 2);
            std::memcpy(dst + step * i + 2, separator.data(), sepSize);
        }
    }
    out.resize(out.size() - sepSize);
}

std::string BytesToHex(const uint8_t* data, size_t n, std::string_view separator) {
    std::string out;
    AppendBytesToHex(out, data, n, separator);
    return out;
}

std::string BytesToHex(std::string_view bytes, std::string_view separator) {
    return BytesToHex(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), separator);
}

uint16_t ModbusCrc16(const uint8_t* data, size_t n) {
    return Crc16Modbus(data, n);
}

uint16_t ModbusCrc16Update(uint16_t crc, uint8_t byte) {
    return static_cast<uint16_t>((crc >> 8) ^ kCrc16ModbusTable[(crc ^ byte) & 0xFFu]);
}
