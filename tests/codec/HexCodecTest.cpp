#include "codec/HexCodec.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace {

using CA = ChecksumAlgorithm;

const char* const kAllNames[] = {"Sum8",        "Sum16LowFirst", "Sum16HighFirst", "Xor8",
                                 "Crc16Modbus", "Crc16Ccitt",    "Crc8Ccitt",      "Lrc8"};
const CA kAll[] = {CA::Sum8,        CA::Sum16LowFirst, CA::Sum16HighFirst, CA::Xor8,
                   CA::Crc16Modbus, CA::Crc16Ccitt,    CA::Crc8Ccitt,      CA::Lrc8};

struct ChecksumCase {
    std::string hex;
    CA algorithm;
    std::string expected;
};

TEST(ChecksumText, WorkedValues) {
    const std::string frame = "01 03 00 00 00 0A";
    const std::string digits = "31 32 33 34 35 36 37 38 39";
    std::string ff300;
    for (int i = 0; i < 300; ++i) {
        ff300 += "FF ";
    }
    const std::vector<ChecksumCase> cases = {
        {frame, CA::Sum8, "0E"},
        {frame, CA::Sum16LowFirst, "0E 00"},
        {frame, CA::Sum16HighFirst, "00 0E"},
        {frame, CA::Xor8, "08"},
        {frame, CA::Crc16Modbus, "C5 CD"},
        {frame, CA::Crc16Ccitt, "38 0A"}, // 0x0A38: a high byte below 0x10 keeps its 0
        {frame, CA::Crc8Ccitt, "46"},
        {frame, CA::Lrc8, "F2"},
        {digits, CA::Crc16Modbus, "37 4B"},
        {digits, CA::Crc16Ccitt, "C3 31"},
        {digits, CA::Crc8Ccitt, "0B"},
        {digits, CA::Lrc8, "23"},
        // The 16-bit sum wraps: 300 x 0xFF = 0x12AD4.
        {ff300, CA::Sum16LowFirst, "D4 2A"},
        {ff300, CA::Sum16HighFirst, "2A D4"},
        {ff300, CA::Sum8, "D4"},
        {"89", CA::Crc16Ccitt, "A1 00"}, // 0x00A1: a zero high byte renders as 00
        // No data: the registers' start values.
        {"", CA::Crc16Modbus, "FF FF"},
        {"", CA::Crc16Ccitt, "00 00"},
        {"", CA::Crc8Ccitt, "FF"},
        {"", CA::Lrc8, "00"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ChecksumText(c.hex, c.algorithm), c.expected)
            << kAllNames[static_cast<int>(c.algorithm)] << " of " << c.hex.substr(0, 30);
    }
}

TEST(ChecksumText, ReadsAnyLayoutOfTheSameBytes) {
    // Lower case, pairs over several lines, surrounding control characters, and a digit
    // left over at the end all give the checksum of the bytes 01 03 00 00 00 0A.
    const std::vector<std::string> layouts = {
        "01 03 00 00 00 0A",       "010300 00000a",
        "01 03\r\n00 00\r\n00 0A", "\t 01 03 00 00 00 0A \r\n\x01",
        "01 03 00 00 00 0A 7",     "0\r\n10300 00000A",
    };
    for (const auto& text : layouts) {
        EXPECT_EQ(ChecksumText(text, CA::Crc16Modbus), "C5 CD") << text;
        EXPECT_EQ(ChecksumText(text, CA::Sum16HighFirst), "00 0E") << text;
    }
}

TEST(ChecksumText, NonDigitRaisesConversionErrorNamingIt) {
    for (const std::string text : {"01 0G", "0x 01", "01 02 03 G4"}) {
        try {
            ChecksumText(text, CA::Sum8);
            ADD_FAILURE() << "no error for " << text;
        } catch (const EConvertError& e) {
            const char bad = text.find('G') != std::string::npos ? 'G' : 'x';
            EXPECT_NE(std::string(e.what()).find(std::string("'") + bad + "'"), std::string::npos)
                << e.what();
        }
    }
    // A character inside the text that is not a separator is read as a digit too.
    EXPECT_THROW(ChecksumText("01\t02", CA::Xor8), EConvertError);
    try {
        ChecksumText("01\t02", CA::Xor8);
    } catch (const EConvertError& e) {
        EXPECT_NE(std::string(e.what()).find("0x09"), std::string::npos) << e.what();
    }
}

TEST(IsHexText, Cases) {
    const std::vector<std::pair<std::string, bool>> cases = {
        {"01 02", true},
        {"0102", true},
        {"0a0B \r\n FF", true},
        {"0\r\n1", true}, // a pair split by a line break
        {"  01 02 \r\n", true},
        {"00 FF ff aA", true},
        {"1", false},
        {"0 1", false}, // a pair split by a blank
        {"012", false}, // odd number of digits
        {"01,02", false},
        {"01\t02", false},
        {"", false},
        {" \r\n ", false},
        {"0G", false},
        {"01 0", false},
        {"01 \xC1"
         "2",
         false},
    };
    for (const auto& [text, valid] : cases) {
        EXPECT_EQ(IsHexText(text), valid) << '"' << text << '"';
    }
}

TEST(NormalizeHex, Cases) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"ab cd\r\nef", "AB CD EF "},
        {"abc", "AB C"},
        {"  01\r\n02 03 \r\n", "01 02 03 "},
        {"0\r\n1", "01 "},
        {"", ""},
        {"zz,y", "ZZ ,Y "}, // no validation: any other character is kept as a digit
    };
    for (const auto& [text, normal] : cases) {
        EXPECT_EQ(NormalizeHex(text), normal) << '"' << text << '"';
    }
}

TEST(HexToBytes, Cases) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"01 0A FF ", std::string("\x01\x0A\xFF", 3)},
        {"00 7f 80 ", std::string("\x00\x7F\x80", 3)},
        {"01 G2 03 ", std::string("\x01\x03", 2)}, // a pair that does not convert is dropped
        {"AB C", std::string("\xAB", 1)},          // a lone digit is not a byte
        {"", ""},
    };
    for (const auto& [text, bytes] : cases) {
        EXPECT_EQ(HexToBytes(text), bytes) << '"' << text << '"';
    }
}

TEST(HexToBytes, PairsOverTwoLinesThroughTheSendPath) {
    const std::string typed = "01 02\r\n03";
    const std::string normal = NormalizeHex(typed);
    ASSERT_TRUE(IsHexText(normal));
    EXPECT_EQ(HexToBytes(normal), std::string("\x01\x02\x03", 3));
    EXPECT_EQ(HexByteCount(normal, HexRounding::Down), 3u);
    EXPECT_EQ(ChecksumText(typed, CA::Crc16Modbus), ChecksumText("010203", CA::Crc16Modbus));
}

TEST(HexByteCount, Cases) {
    struct Case {
        std::string text;
        uint32_t down;
        uint32_t up;
    };
    const std::vector<Case> cases = {
        {"01 02 0", 2, 3},   {"1 02 03", 2, 2}, // a half byte alone at the start is not counted
        {"01 02 03 ", 3, 3}, {"  0102  ", 2, 2}, {"01\r\n02", 3, 3}, // CR and LF count like digits
        {"0", 0, 1},         {"", 0, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(HexByteCount(c.text, HexRounding::Down), c.down) << '"' << c.text << '"';
        EXPECT_EQ(HexByteCount(c.text, HexRounding::Up), c.up) << '"' << c.text << '"';
    }
}

TEST(TrimAndRemoveBlanks, Cases) {
    EXPECT_EQ(TrimText(std::string("\x00\t 1F \x01", 7)), "1F");
    EXPECT_EQ(TrimText("\xA0x\xA0"), "\xA0x\xA0"); // only codes up to 0x20 are trimmed
    EXPECT_EQ(RemoveBlanks(" 1F 2A \r\n"), "1F2A");
    EXPECT_EQ(RemoveBlanks("1F\r\n 2A"), "1F\r\n2A");
    EXPECT_EQ(RemoveBlanks("   "), "");
}

TEST(HexToBinGroups, Cases) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"A5", "1010 0101 "},
        {"1A", "0001 1010 "},
        {"ABC", "1010 1011 1100 "}, // odd digit count: used unchanged
        {"a5 0f", "1010 0101 0000 1111 "},
        {"FFFFFFFF", "1111 1111 1111 1111 1111 1111 1111 1111 "},
        {"", ""},
    };
    for (const auto& [text, bin] : cases) {
        EXPECT_EQ(HexToBinGroups(text), bin) << '"' << text << '"';
    }
}

TEST(HexToBinGroups, NonDigitRaisesConversionError) {
    // "A B" is not valid hex text, so its blank is read as a digit; the line break of a
    // valid two-line text survives blank removal.
    for (const std::string text : {"AG", "A B", "01\r\n02"}) {
        EXPECT_THROW(HexToBinGroups(text), EConvertError) << text;
    }
    try {
        HexToBinGroups("AG");
    } catch (const EConvertError& e) {
        EXPECT_NE(std::string(e.what()).find("'G'"), std::string::npos) << e.what();
    }
}

TEST(BinToInt64, Cases) {
    const std::vector<std::pair<std::string, int64_t>> cases = {
        {"", 0},
        {"1010", 10},
        {"00011010", 26},
        {std::string(63, '1'), INT64_MAX},
        {std::string(64, '1'), -1},      // wraps in 64 bits
        {"1" + std::string(64, '0'), 0}, // the bit shifted out is lost
    };
    for (const auto& [text, value] : cases) {
        EXPECT_EQ(BinToInt64(text), value) << text;
    }
}

TEST(BytesToHex, Separators) {
    const uint8_t bytes[] = {0x00, 0x0A, 0x7F, 0xFF};
    EXPECT_EQ(BytesToHex(bytes, 4, " "), "00 0A 7F FF");
    EXPECT_EQ(BytesToHex(bytes, 4, ""), "000A7FFF");
    EXPECT_EQ(BytesToHex(bytes, 4, ", "), "00, 0A, 7F, FF");
    EXPECT_EQ(BytesToHex(bytes, 1, " "), "00");
    EXPECT_EQ(BytesToHex(bytes, 0, " "), "");
    std::string record = "R[12:00:00]";
    AppendBytesToHex(record, bytes + 2, 2, " ");
    EXPECT_EQ(record, "R[12:00:00]7F FF");
}

// Independent bit-serial references, written from the definitions of the checksums.
uint16_t RefCrc16Modbus(const std::vector<uint8_t>& data) {
    uint16_t reg = 0xFFFF;
    for (uint8_t b : data) {
        reg ^= b;
        for (int i = 0; i < 8; ++i) {
            const bool lsb = reg & 1;
            reg = static_cast<uint16_t>(reg >> 1);
            if (lsb) {
                reg ^= 0xA001;
            }
        }
    }
    return reg;
}

uint16_t RefCrc16Ccitt(const std::vector<uint8_t>& data) {
    uint16_t reg = 0;
    for (uint8_t b : data) {
        // Feed the byte one bit at a time, most significant first.
        for (int i = 7; i >= 0; --i) {
            const bool in = ((b >> i) & 1) != 0;
            const bool top = (reg & 0x8000) != 0;
            reg = static_cast<uint16_t>(reg << 1);
            if (in != top) {
                reg ^= 0x1021;
            }
        }
    }
    return reg;
}

uint8_t RefCrc8Ccitt(const std::vector<uint8_t>& data) {
    uint8_t reg = 0;
    for (uint8_t b : data) {
        for (int i = 7; i >= 0; --i) {
            const bool in = ((b >> i) & 1) != 0;
            const bool top = (reg & 0x80) != 0;
            reg = static_cast<uint8_t>(reg << 1);
            if (in != top) {
                reg ^= 0x07;
            }
        }
    }
    return static_cast<uint8_t>(~reg);
}

std::string Render8(unsigned v) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%02X", v & 0xFFu);
    return buf;
}

std::string RenderLowHigh(unsigned v) {
    return Render8(v) + " " + Render8(v >> 8);
}

std::string RefChecksum(const std::vector<uint8_t>& data, CA algorithm) {
    unsigned long sum = 0;
    unsigned x = 0;
    for (uint8_t b : data) {
        sum += b;
        x ^= b;
    }
    const unsigned sum16 = static_cast<unsigned>(sum % 65536);
    switch (algorithm) {
    case CA::Sum8:
        return Render8(sum16);
    case CA::Sum16LowFirst:
        return RenderLowHigh(sum16);
    case CA::Sum16HighFirst:
        return Render8(sum16 >> 8) + " " + Render8(sum16);
    case CA::Xor8:
        return Render8(x);
    case CA::Crc16Modbus:
        return RenderLowHigh(RefCrc16Modbus(data));
    case CA::Crc16Ccitt:
        return RenderLowHigh(RefCrc16Ccitt(data));
    case CA::Crc8Ccitt:
        return Render8(RefCrc8Ccitt(data));
    case CA::Lrc8:
        return Render8((256 - sum % 256) % 256);
    }
    return {};
}

TEST(HexCodec, AgreesWithReferencesOnRandomData) {
    std::mt19937 rng(20261210);
    const char* const layouts[] = {" ", "", "\r\n", " \r\n"};
    for (int round = 0; round < 400; ++round) {
        const size_t n = round < 300 ? rng() % 40 : rng() % 2000;
        std::vector<uint8_t> data(n);
        for (auto& b : data) {
            b = static_cast<uint8_t>(rng());
        }
        // Reference rendering, then the same bytes typed in another layout and case.
        std::string ref;
        for (size_t i = 0; i < n; ++i) {
            ref += (i ? " " : "") + Render8(data[i]);
        }
        ASSERT_EQ(BytesToHex(data.data(), n, " "), ref);
        std::string typed = BytesToHex(data.data(), n, layouts[round % 4]);
        if (round % 3 == 0) {
            for (auto& c : typed) {
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            }
        }

        for (size_t a = 0; a < std::size(kAll); ++a) {
            ASSERT_EQ(ChecksumText(typed, kAll[a]), RefChecksum(data, kAll[a]))
                << kAllNames[a] << " round " << round << " n " << n;
        }

        const std::string normal = NormalizeHex(typed);
        ASSERT_EQ(normal, n ? ref + " " : "");
        ASSERT_EQ(IsHexText(typed), n > 0);
        ASSERT_EQ(HexToBytes(normal), std::string(data.begin(), data.end()));
        ASSERT_EQ(HexByteCount(normal, HexRounding::Down), n);
        if (n > 0 && n <= 8) {
            std::string bin;
            for (const char c : ref) {
                if (c != ' ') {
                    const int v = std::stoi(std::string(1, c), nullptr, 16);
                    for (int bit = 3; bit >= 0; --bit) {
                        bin += ((v >> bit) & 1) ? '1' : '0';
                    }
                    bin += ' ';
                }
            }
            ASSERT_EQ(HexToBinGroups(ref), bin);
        }
    }
}

} // namespace
