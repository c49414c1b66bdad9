#include "richtext/RichText.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string ReadFixture(const std::string& name) {
    std::ifstream in(std::string(RTF_FIXTURES) + "/" + name, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    if (bytes.str().empty()) {
        ADD_FAILURE() << "fixture missing: " << RTF_FIXTURES << "/" << name;
    }
    return bytes.str();
}

bool IsValidUtf8(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        const auto b = static_cast<unsigned char>(s[i]);
        std::size_t length = b < 0x80             ? 1
                             : (b & 0xE0) == 0xC0 ? 2
                             : (b & 0xF0) == 0xE0 ? 3
                             : (b & 0xF8) == 0xF0 ? 4
                                                  : 0;
        if (length == 0 || i + length > s.size()) {
            return false;
        }
        for (std::size_t k = 1; k < length; ++k) {
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) {
                return false;
            }
        }
        i += length;
    }
    return true;
}

// Whatever the input, the reader returns merged runs of valid UTF-8 that are never
// longer than the input could describe.
void ExpectSaneResult(std::string_view rtf) {
    const StyledText text = ReadRtf(rtf);
    std::size_t total = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        ASSERT_FALSE(text[i].text.empty());
        ASSERT_TRUE(IsValidUtf8(text[i].text));
        if (i > 0) {
            ASSERT_FALSE(text[i].style == text[i - 1].style);
        }
        total += text[i].text.size();
    }
    // At most a four-byte character per input byte.
    ASSERT_LE(total, rtf.size() * 4);
}

const std::vector<std::string>& Corpus() {
    static const std::vector<std::string> corpus = [] {
        std::vector<std::string> all = {
            ReadFixture("richedit-gb2312-traffic.rtf"),
            ReadFixture("wordprocessor-colored-lines.rtf"),
            ReadFixture("wordprocessor-structures.rtf"),
            ChecksumFragmentRtf("01 03 00 00 00 0A", "C5 CD"),
            WriteRtf({{"a\tb\\{}\n\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80\x01", TextStyle{}}}),
        };
        for (const std::string& rtf : all) {
            EXPECT_GT(rtf.size(), 100u) << "fixture missing: " << RTF_FIXTURES;
        }
        return all;
    }();
    return corpus;
}

TEST(RtfFuzz, EveryPrefixOfEveryDocument) {
    for (const std::string& rtf : Corpus()) {
        for (std::size_t length = 0; length <= rtf.size(); ++length) {
            ExpectSaneResult(std::string_view(rtf).substr(0, length));
        }
    }
}

TEST(RtfFuzz, RandomByteChangesWithFixedSeed) {
    std::mt19937 random(20240607u);
    const char interesting[] = "{}\\'*;0123456789-uabfx \r\n\x80\xff";
    for (const std::string& original : Corpus()) {
        if (original.empty()) {
            continue; // reported where it was read
        }
        for (int round = 0; round < 400; ++round) {
            std::string rtf = original;
            const int changes = 1 + static_cast<int>(random() % 8);
            for (int i = 0; i < changes; ++i) {
                const std::size_t at = random() % rtf.size();
                switch (random() % 4) {
                case 0:
                    rtf[at] = static_cast<char>(random() & 0xFF);
                    break;
                case 1:
                    rtf[at] = interesting[random() % (sizeof interesting - 1)];
                    break;
                case 2:
                    rtf.erase(at, 1 + random() % 16);
                    break;
                default:
                    rtf.insert(at, 1, interesting[random() % (sizeof interesting - 1)]);
                    break;
                }
                if (rtf.empty()) {
                    rtf = "{";
                }
            }
            ExpectSaneResult(rtf);
        }
    }
}

TEST(RtfFuzz, HostileShapes) {
    const std::string deep(100000, '{');
    const std::string close(100000, '}');
    const std::vector<std::string> inputs = {
        deep,
        close,
        "{\\rtf1 a" + deep + "hidden" + close + "b}",
        "{\\rtf1 a" + deep + "\\*x" + close + "b}",
        "{\\rtf1 \\fs99999999999999999999999 \\cf-99999999999999999999 \\f99999999999 x}",
        "{\\rtf1 \\u99999999999 \\u-99999999999 \\u \\u- \\u-x \\u}",
        "{\\rtf1 \\uc99999999999 \\u65 abc{d}}",
        "{\\rtf1 \\bin99999999999 abc}",
        "{\\rtf1 \\bin-5 abc}",
        "{\\rtf1 \\' \\'4 \\'g0 \\",
        "{\\rtf1 \\" + std::string(100000, 'a') + "1 x}",
        "{\\rtf1 \\ansicpg-1 \\ansicpg99999 \\'d6\\'d0 \\ansicpg936 \\'d6}",
        "{\\rtf1{\\fonttbl{\\f99999999999\\fcharset134 \\'d6;}}\\f99999999999 \\'d6\\'d0}",
        "{\\rtf1{\\colortbl" + std::string(10000, ';') + "}\\cf9999 x}",
        "{\\rtf1{\\fonttbl\\f0\\f-1\\f1;\\'ff;\\u-1;}" + std::string(1000, '\\') + "}",
        std::string(1000, '\0') + "{\\rtf1 \x00\x01 y}",
        "{\\rtf1 \\u-10179\\u-10179\\u-9000?\\u56320?}",
    };
    for (const std::string& rtf : inputs) {
        ExpectSaneResult(rtf);
    }
    EXPECT_EQ(StyledPlainText(ReadRtf("{\\rtf1 a" + deep + "hidden" + close + "b}")), "ab");
}

} // namespace
