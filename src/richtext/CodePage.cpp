#include "richtext/CodePage.h"

#include <array>
#include <cstdint>

namespace {

// 0x80..0x9F of Windows-1252. The five slots the code page leaves undefined map to the
// C1 control of the same value, as Windows itself decodes them.
constexpr std::array<char16_t, 32> kCp1252High = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

} // namespace

void AppendUtf8(std::string& out, char32_t c) {
    if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) {
        c = kReplacementChar;
    }
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

char32_t NextUtf8(std::string_view s, std::size_t& pos) {
    const auto lead = static_cast<unsigned char>(s[pos]);
    if (lead < 0x80) {
        ++pos;
        return lead;
    }
    int length = 0;
    char32_t c = 0;
    char32_t minimum = 0;
    if ((lead & 0xE0) == 0xC0) {
        length = 2;
        c = lead & 0x1F;
        minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3;
        c = lead & 0x0F;
        minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4;
        c = lead & 0x07;
        minimum = 0x10000;
    } else {
        ++pos;
        return kReplacementChar;
    }
    if (pos + static_cast<std::size_t>(length) > s.size()) {
        ++pos;
        return kReplacementChar;
    }
    for (int i = 1; i < length; ++i) {
        const auto b = static_cast<unsigned char>(s[pos + static_cast<std::size_t>(i)]);
        if ((b & 0xC0) != 0x80) {
            ++pos;
            return kReplacementChar;
        }
        c = (c << 6) | (b & 0x3F);
    }
    if (c < minimum || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
        ++pos;
        return kReplacementChar;
    }
    pos += static_cast<std::size_t>(length);
    return c;
}

int CodePageOfCharset(int charset) {
    switch (charset) {
    case 0: // ANSI
    case 2: // Symbol: the glyph differs, the byte is kept as its Latin character
        return 1252;
    case 77: // Mac Roman
        return 10000;
    case 128: // Shift-JIS
        return 932;
    case 129: // Hangul
        return 949;
    case 130: // Johab
        return 1361;
    case 134: // GB2312
        return 936;
    case 136: // Big5
        return 950;
    case 161:
        return 1253;
    case 162:
        return 1254;
    case 163:
        return 1258;
    case 177:
        return 1255;
    case 178:
        return 1256;
    case 186:
        return 1257;
    case 204:
        return 1251;
    case 222:
        return 874;
    case 238:
        return 1250;
    case 254:
        return 437;
    case 255: // OEM
        return 850;
    default:
        return 0;
    }
}

void AppendDecoded(std::string& out, int codePage, std::string_view bytes) {
    if (codePage == 65001) {
        std::size_t pos = 0;
        while (pos < bytes.size()) {
            AppendUtf8(out, NextUtf8(bytes, pos));
        }
        return;
    }
    const bool latin1 = codePage == 28591 || codePage == 20127;
    if (!latin1 && codePage != 1252 && AppendDecodedBySystem(out, codePage, bytes)) {
        return;
    }
    for (const char ch : bytes) {
        const auto b = static_cast<unsigned char>(ch);
        if (!latin1 && b >= 0x80 && b < 0xA0) {
            AppendUtf8(out, kCp1252High[b - 0x80u]);
        } else {
            AppendUtf8(out, b);
        }
    }
}
