#include "richtext/RichText.h"

#include "richtext/CodePage.h"

#include <cstdio>
#include <map>
#include <utility>

namespace {

void AppendHexByte(std::string& out, unsigned value) {
    static constexpr char kDigits[] = "0123456789abcdef";
    out += "\\'";
    out += kDigits[(value >> 4) & 0xF];
    out += kDigits[value & 0xF];
}

// \uN with N as a signed 16-bit number and '?' for readers that skip it (\uc1).
void AppendUnicodeEscape(std::string& out, char16_t unit) {
    out += "\\u";
    out += std::to_string(static_cast<int16_t>(unit));
    out += '?';
}

// One character of text in a font of the given charset. Only where the font's code page
// agrees with Latin-1 are bytes written as \'xx; everything else goes as \uN, which
// every reader decodes the same whatever the font.
void AppendRtfChar(std::string& out, char32_t c, bool latin1Font) {
    if (c == '\n') {
        out += "\\par\r\n";
    } else if (c == '\t') {
        out += "\\tab ";
    } else if (c == '\\' || c == '{' || c == '}') {
        out += '\\';
        out += static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7F) {
        // Raw received bytes in text mode: kept as bytes so they survive a round trip.
        AppendHexByte(out, static_cast<unsigned>(c));
    } else if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c >= 0xA0 && c <= 0xFF && latin1Font) {
        AppendHexByte(out, static_cast<unsigned>(c));
    } else if (c < 0x10000) {
        AppendUnicodeEscape(out, static_cast<char16_t>(c));
    } else {
        const char32_t v = c - 0x10000;
        AppendUnicodeEscape(out, static_cast<char16_t>(0xD800 + (v >> 10)));
        AppendUnicodeEscape(out, static_cast<char16_t>(0xDC00 + (v & 0x3FF)));
    }
}

// Font names go into the font table, where ';' ends the name.
void AppendFontName(std::string& out, std::string_view name) {
    std::size_t pos = 0;
    while (pos < name.size()) {
        const char32_t c = NextUtf8(name, pos);
        if (c == ';' || c < 0x20 || c == 0x7F) {
            AppendHexByte(out, c == ';' ? 0x3Bu : 0x3Fu);
        } else if (c == '\\' || c == '{' || c == '}') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            AppendRtfChar(out, c, false);
        }
    }
}

bool IsLatin1Charset(int charset) {
    const int codePage = CodePageOfCharset(charset);
    return codePage == 1252 || codePage == 0;
}

} // namespace

std::string WriteRtf(const StyledText& text) {
    std::map<std::pair<std::string, int>, int> fontIndex;
    std::vector<const TextStyle*> fonts;
    std::map<uint32_t, int> colorIndex;
    std::vector<uint32_t> colors;
    for (const StyledRun& run : text) {
        if (run.text.empty()) {
            continue;
        }
        const auto font = std::make_pair(run.style.fontName, run.style.charset);
        if (fontIndex.emplace(font, static_cast<int>(fonts.size())).second) {
            fonts.push_back(&run.style);
        }
        const uint32_t rgb = run.style.color & 0xFFFFFF;
        if (colorIndex.emplace(rgb, static_cast<int>(colors.size()) + 1).second) {
            colors.push_back(rgb);
        }
    }
    const TextStyle defaultStyle;
    if (fonts.empty()) {
        fonts.push_back(&defaultStyle);
    }

    std::string out = "{\\rtf1\\ansi\\ansicpg1252\\deff0\\uc1{\\fonttbl";
    for (std::size_t i = 0; i < fonts.size(); ++i) {
        out += "{\\f" + std::to_string(i) + "\\fnil\\fcharset" + std::to_string(fonts[i]->charset) +
               ' ';
        AppendFontName(out, fonts[i]->fontName);
        out += ";}";
    }
    out += "}\r\n{\\colortbl ;";
    for (const uint32_t color : colors) {
        out += "\\red" + std::to_string(color & 0xFF) + "\\green" +
               std::to_string((color >> 8) & 0xFF) + "\\blue" +
               std::to_string((color >> 16) & 0xFF) + ';';
    }
    out += "}\r\n\\viewkind4\\pard\\plain\r\n";

    // What the reader holds after \plain; only changes are written.
    int font = -1;
    int size = 24;
    int color = 0;
    bool bold = false;
    for (const StyledRun& run : text) {
        if (run.text.empty()) {
            continue;
        }
        const TextStyle& style = run.style;
        std::string words;
        const int runFont = fontIndex.at({style.fontName, style.charset});
        if (runFont != font) {
            words += "\\f" + std::to_string(runFont);
            font = runFont;
        }
        if (style.sizeHalfPoints != size) {
            words += "\\fs" + std::to_string(style.sizeHalfPoints);
            size = style.sizeHalfPoints;
        }
        const int runColor = colorIndex.at(style.color & 0xFFFFFF);
        if (runColor != color) {
            words += "\\cf" + std::to_string(runColor);
            color = runColor;
        }
        if (style.bold != bold) {
            words += style.bold ? "\\b" : "\\b0";
            bold = style.bold;
        }
        if (!words.empty()) {
            out += words;
            out += ' ';
        }
        const bool latin1Font = IsLatin1Charset(style.charset);
        std::size_t pos = 0;
        while (pos < run.text.size()) {
            AppendRtfChar(out, NextUtf8(run.text, pos), latin1Font);
        }
    }
    out += "}\r\n";
    return out;
}

bool LooksLikeRtf(std::string_view bytes) {
    if (bytes.starts_with("\xEF\xBB\xBF")) {
        bytes.remove_prefix(3);
    }
    while (!bytes.empty() && (bytes.front() == ' ' || bytes.front() == '\t' ||
                              bytes.front() == '\r' || bytes.front() == '\n')) {
        bytes.remove_prefix(1);
    }
    return bytes.starts_with("{\\rtf");
}

StyledText PlainTextToStyled(std::string_view bytes, const TextStyle& style) {
    std::string text;
    text.reserve(bytes.size() + bytes.size() / 8);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        if (b == '\r') {
            text += '\n';
            if (i + 1 < bytes.size() && bytes[i + 1] == '\n') {
                ++i;
            }
        } else {
            AppendUtf8(text, b);
        }
    }
    if (text.empty()) {
        return {};
    }
    return {StyledRun{std::move(text), style}};
}

StyledText StyledFromFile(std::string_view bytes, const TextStyle& plainStyle) {
    return LooksLikeRtf(bytes) ? ReadRtf(bytes) : PlainTextToStyled(bytes, plainStyle);
}

StyledText MergeRuns(StyledText text) {
    StyledText merged;
    for (StyledRun& run : text) {
        if (run.text.empty()) {
            continue;
        }
        if (!merged.empty() && merged.back().style == run.style) {
            merged.back().text += run.text;
        } else {
            merged.push_back(std::move(run));
        }
    }
    return merged;
}

std::string StyledPlainText(const StyledText& text) {
    std::string all;
    for (const StyledRun& run : text) {
        all += run.text;
    }
    return all;
}

std::string ChecksumFragmentRtf(std::string_view data, std::string_view checksum) {
    // The data is hex text by the time it gets here; escaping keeps any other text from
    // breaking the document all the same.
    const auto escaped = [](std::string_view s) {
        std::string out;
        for (const char c : s) {
            if (c == '\\' || c == '{' || c == '}') {
                out += '\\';
            }
            out += c;
        }
        return out;
    };
    return "{\\rtf1\\ansi\\ansicpg936\\deff0\\deflang1033\\deflangfe2052{\\fonttbl{\\f0\\fnil"
           "\\fcharset0 Courier New;}}\r\n"
           "{\\colortbl ;\\red0\\green0\\blue0;\\red0\\green0\\blue255;}\r\n"
           "\\viewkind4\\uc1\\pard\\cf1\\lang2052\\f0\\fs18\r\n"
           "{\\cf1 " +
           escaped(data) + "\\cf2  " + escaped(checksum) + "}";
}

std::string Latin1ToUtf8(std::string_view latin1) {
    std::string out;
    out.reserve(latin1.size());
    for (const char c : latin1) {
        AppendUtf8(out, static_cast<unsigned char>(c));
    }
    return out;
}

std::string Utf8ToLatin1(std::string_view utf8, char replacement) {
    std::string out;
    out.reserve(utf8.size());
    std::size_t pos = 0;
    while (pos < utf8.size()) {
        const char32_t c = NextUtf8(utf8, pos);
        out += c <= 0xFF ? static_cast<char>(c) : replacement;
    }
    return out;
}
