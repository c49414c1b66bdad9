#include "richtext/RichText.h"

#include "richtext/CodePage.h"

#include <algorithm>
#include <cstdio>
#include <ostream>
#include <utility>

namespace {

const std::shared_ptr<const std::string>& EmptyName() {
    static const auto empty = std::make_shared<const std::string>();
    return empty;
}

} // namespace

FontName::FontName() : m_name(EmptyName()) {}

FontName::FontName(const char* name) : FontName(std::string(name)) {}

FontName::FontName(std::string name)
    : m_name(name.empty() ? EmptyName() : std::make_shared<const std::string>(std::move(name))) {}

std::ostream& operator<<(std::ostream& out, const FontName& name) {
    return out << name.str();
}

const FontName& TextStyle::DefaultFontName() {
    static const FontName name("Courier New");
    return name;
}

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

TRtfStream::TRtfStream(std::vector<std::pair<std::string, int>> fonts, std::vector<uint32_t> colors)
    : m_fonts(std::move(fonts)) {
    if (m_fonts.empty()) {
        const TextStyle defaultStyle;
        m_fonts.emplace_back(defaultStyle.fontName.str(), defaultStyle.charset);
    }
    for (const uint32_t color : colors) {
        const uint32_t rgb = color & 0xFFFFFF;
        if (std::find(m_colors.begin(), m_colors.end(), rgb) == m_colors.end()) {
            m_colors.push_back(rgb);
        }
    }
}

std::string TRtfStream::Head() const {
    std::string out = "{\\rtf1\\ansi\\ansicpg1252\\deff0\\uc1{\\fonttbl";
    for (std::size_t i = 0; i < m_fonts.size(); ++i) {
        out += "{\\f" + std::to_string(i) + "\\fnil\\fcharset" + std::to_string(m_fonts[i].second) +
               ' ';
        AppendFontName(out, m_fonts[i].first);
        out += ";}";
    }
    out += "}\r\n{\\colortbl ;";
    for (const uint32_t color : m_colors) {
        out += "\\red" + std::to_string(color & 0xFF) + "\\green" +
               std::to_string((color >> 8) & 0xFF) + "\\blue" +
               std::to_string((color >> 16) & 0xFF) + ';';
    }
    out += "}\r\n\\viewkind4\\pard\\plain\r\n";
    return out;
}

int TRtfStream::FontIndex(const TextStyle& style) const {
    for (std::size_t i = 0; i < m_fonts.size(); ++i) {
        if (m_fonts[i].second == style.charset && m_fonts[i].first == style.fontName.str()) {
            return static_cast<int>(i);
        }
    }
    return 0;
}

int TRtfStream::ColorIndex(uint32_t color) const {
    const uint32_t rgb = color & 0xFFFFFF;
    int best = 0; // the "auto" entry, black
    long bestDistance = -1;
    for (std::size_t i = 0; i < m_colors.size(); ++i) {
        if (m_colors[i] == rgb) {
            return static_cast<int>(i) + 1;
        }
        long distance = 0;
        for (int shift = 0; shift < 24; shift += 8) {
            const long d = static_cast<long>((m_colors[i] >> shift) & 0xFF) -
                           static_cast<long>((rgb >> shift) & 0xFF);
            distance += d * d;
        }
        if (bestDistance < 0 || distance < bestDistance) {
            bestDistance = distance;
            best = static_cast<int>(i) + 1;
        }
    }
    return best;
}

std::string TRtfStream::Body(const StyledText& text) {
    std::string out;
    for (const StyledRun& run : text) {
        if (run.text.empty()) {
            continue;
        }
        const TextStyle& style = run.style;
        std::string words;
        const int runFont = FontIndex(style);
        if (runFont != m_font) {
            words += "\\f" + std::to_string(runFont);
            m_font = runFont;
        }
        if (style.sizeHalfPoints != m_size) {
            words += "\\fs" + std::to_string(style.sizeHalfPoints);
            m_size = style.sizeHalfPoints;
        }
        const int runColor = ColorIndex(style.color);
        if (runColor != m_color) {
            words += "\\cf" + std::to_string(runColor);
            m_color = runColor;
        }
        if (style.bold != m_bold) {
            words += style.bold ? "\\b" : "\\b0";
            m_bold = style.bold;
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
    return out;
}

std::string WriteRtf(const StyledText& text) {
    std::vector<std::pair<std::string, int>> fonts;
    std::vector<uint32_t> colors;
    for (const StyledRun& run : text) {
        if (run.text.empty()) {
            continue;
        }
        const auto font = std::make_pair(run.style.fontName.str(), run.style.charset);
        if (std::find(fonts.begin(), fonts.end(), font) == fonts.end()) {
            fonts.push_back(font);
        }
        colors.push_back(run.style.color);
    }
    TRtfStream stream(std::move(fonts), std::move(colors));
    return stream.Head() + stream.Body(text) + std::string(TRtfStream::Tail);
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

StyledText StyledFromFile(std::string_view bytes, const TextStyle& plainStyle,
                          const TProgress& progress) {
    return LooksLikeRtf(bytes) ? ReadRtf(bytes, progress) : PlainTextToStyled(bytes, plainStyle);
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
