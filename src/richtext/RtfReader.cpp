#include "richtext/RichText.h"

#include "richtext/CodePage.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <iterator>
#include <map>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace {

// Deeper groups are skipped whole; word processors stay far below this, and the bound
// keeps hostile input from growing the state stack without limit.
constexpr std::size_t kMaxGroupDepth = 256;
constexpr int kDefaultSize = 24; // 12 pt, the size RTF assumes without \fs

enum class Destination { Text, Skip, FontTable, ColorTable };

struct GroupState {
    Destination destination = Destination::Text;
    int font = -1; // -1: the document's default font
    int color = 0;
    int size = kDefaultSize;
    bool bold = false;
    int unicodeSkip = 1;
};

// Font names are cut to this many bytes: no installed font has a longer one, and a name
// is compared whenever the style of a run is.
constexpr std::size_t kMaxFontNameBytes = 255;

struct FontEntry {
    std::string name; // as the table spells it so far
    int charset = -1; // -1: not given, the document's code page applies
    int codePage = 0; // \cpg, which outranks the charset
    bool nameDone = false;
    FontName shared; // the finished name that runs carry; valid while sharedValid
    bool sharedValid = false;
};

// Destinations whose content is never text we show. Most come with \*; these are the
// ones word processors also write without it.
constexpr std::string_view kSkippedDestinations[] = {"aftncn",
                                                     "aftnsep",
                                                     "aftnsepc",
                                                     "annotation",
                                                     "atnauthor",
                                                     "atnid",
                                                     "author",
                                                     "bkmkend",
                                                     "bkmkstart",
                                                     "buptim",
                                                     "colorschememapping",
                                                     "comment",
                                                     "company",
                                                     "creatim",
                                                     "datafield",
                                                     "datastore",
                                                     "defchp",
                                                     "defpap",
                                                     "do",
                                                     "doccomm",
                                                     "docvar",
                                                     "falt",
                                                     "fchars",
                                                     "fldinst",
                                                     "footer",
                                                     "footerf",
                                                     "footerl",
                                                     "footerr",
                                                     "footnote",
                                                     "ftncn",
                                                     "ftnsep",
                                                     "ftnsepc",
                                                     "generator",
                                                     "header",
                                                     "headerf",
                                                     "headerl",
                                                     "headerr",
                                                     "info",
                                                     "keywords",
                                                     "latentstyles",
                                                     "lchars",
                                                     "listoverridetable",
                                                     "listtable",
                                                     "manager",
                                                     "nonshppict",
                                                     "object",
                                                     "operator",
                                                     "panose",
                                                     "pgdsctbl",
                                                     "pict",
                                                     "pn",
                                                     "printim",
                                                     "revtbl",
                                                     "revtim",
                                                     "rsidtbl",
                                                     "shp",
                                                     "stylesheet",
                                                     "subject",
                                                     "tc",
                                                     "template",
                                                     "themedata",
                                                     "title",
                                                     "xmlnstbl"};

bool IsSkippedDestination(std::string_view word) {
    return std::find(std::begin(kSkippedDestinations), std::end(kSkippedDestinations), word) !=
           std::end(kSkippedDestinations);
}

bool IsLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

std::string Trimmed(std::string_view s) {
    while (!s.empty() && s.front() == ' ') {
        s.remove_prefix(1);
    }
    while (!s.empty() && s.back() == ' ') {
        s.remove_suffix(1);
    }
    return std::string(s);
}

// At most `limit` bytes of UTF-8, never ending inside a character.
std::string CutUtf8(std::string s, std::size_t limit) {
    if (s.size() <= limit) {
        return s;
    }
    std::size_t end = limit;
    while (end > 0 && (static_cast<unsigned char>(s[end]) & 0xC0) == 0x80) {
        --end;
    }
    s.resize(end);
    return s;
}

class RtfReader {
public:
    RtfReader(std::string_view rtf, const TProgress& progress) : m_in(rtf), m_progress(progress) {}

    StyledText Read() {
        m_groups.push_back(GroupState{});
        // Whatever precedes the document's group is not part of it.
        m_pos = std::min(m_in.find('{'), m_in.size());
        std::size_t nextReport = kProgressStep;
        while (m_pos < m_in.size()) {
            if (m_progress && m_pos >= nextReport) {
                nextReport = m_pos + kProgressStep;
                if (!m_progress(m_pos, m_in.size())) {
                    throw ECancelled();
                }
            }
            const char c = m_in[m_pos++];
            if (c == '{') {
                OpenGroup();
            } else if (c == '}') {
                if (CloseGroup()) {
                    break;
                }
            } else if (c == '\\') {
                ControlSequence();
            } else if (c == '\r' || c == '\n') {
                // Line breaks of the file itself are not text.
            } else {
                TextByte(c);
            }
        }
        Flush();
        DropSurrogate();
        return MergeRuns(std::move(m_out));
    }

private:
    Destination CurrentDestination() const {
        return m_overflow > 0 ? Destination::Skip : m_groups.back().destination;
    }

    void OpenGroup() {
        Flush();
        m_skip = 0;
        if (m_overflow > 0 || m_groups.size() > kMaxGroupDepth) {
            ++m_overflow;
        } else {
            m_groups.push_back(m_groups.back());
        }
    }

    // True when the document's outermost group has closed.
    bool CloseGroup() {
        Flush();
        m_skip = 0;
        if (m_overflow > 0) {
            --m_overflow;
            return false;
        }
        if (m_groups.size() <= 1) {
            return false; // a stray brace before any group
        }
        m_groups.pop_back();
        return m_groups.size() == 1;
    }

    void ControlSequence() {
        if (m_pos >= m_in.size()) {
            return;
        }
        const char c = m_in[m_pos];
        if (IsLetter(c)) {
            ControlWord();
        } else {
            ++m_pos;
            ControlSymbol(c);
        }
    }

    void ControlSymbol(char c) {
        if (c == '\'') {
            int value = -1;
            if (m_pos + 1 < m_in.size()) {
                const int high = HexValue(m_in[m_pos]);
                const int low = HexValue(m_in[m_pos + 1]);
                if (high >= 0 && low >= 0) {
                    value = high * 16 + low;
                    m_pos += 2;
                }
            }
            if (value >= 0) {
                TextByte(static_cast<char>(value), true);
            }
            return;
        }
        if (c == '\\' || c == '{' || c == '}') {
            TextByte(c, true);
            return;
        }
        Flush();
        if (m_skip > 0) {
            --m_skip;
            return;
        }
        switch (c) {
        case '*':
            if (m_overflow == 0) {
                m_groups.back().destination = Destination::Skip;
            }
            break;
        case '~':
            PutCodePoint(0xA0);
            break;
        case '_':
            PutCodePoint(0x2011);
            break;
        case '\r':
        case '\n':
            LineEnd();
            break;
        case '\t':
            PutCodePoint('\t');
            break;
        default: // \- optional hyphen, \: index subentry, \| formula: nothing to show
            break;
        }
    }

    void ControlWord() {
        const std::size_t start = m_pos;
        while (m_pos < m_in.size() && IsLetter(m_in[m_pos])) {
            ++m_pos;
        }
        const std::string_view word = m_in.substr(start, m_pos - start);
        bool negative = false;
        if (m_pos + 1 < m_in.size() && m_in[m_pos] == '-' && IsDigit(m_in[m_pos + 1])) {
            negative = true;
            ++m_pos;
        }
        bool hasParam = false;
        int64_t value = 0;
        while (m_pos < m_in.size() && IsDigit(m_in[m_pos])) {
            hasParam = true;
            value = std::min<int64_t>(value * 10 + (m_in[m_pos] - '0'), INT32_MAX);
            ++m_pos;
        }
        if (m_pos < m_in.size() && m_in[m_pos] == ' ') {
            ++m_pos;
        }
        const int param = static_cast<int>(negative ? -value : value);
        Flush();
        if (word == "bin") {
            // Binary data follows: never parse it, whatever the destination.
            const auto length = static_cast<std::size_t>(std::max(param, 0));
            m_pos += std::min(length, m_in.size() - m_pos);
            if (m_skip > 0) {
                --m_skip;
            }
            return;
        }
        if (m_skip > 0) {
            --m_skip;
            return;
        }
        const Destination destination = CurrentDestination();
        if (destination == Destination::Skip) {
            return;
        }
        if (IsSkippedDestination(word)) {
            m_groups.back().destination = Destination::Skip;
            return;
        }
        if (word == "u") {
            if (hasParam) {
                UnicodeUnit(param < 0 ? param + 65536 : param);
                m_skip = m_groups.back().unicodeSkip;
            }
            return;
        }
        if (word == "uc") {
            m_groups.back().unicodeSkip = std::max(param, 0);
            return;
        }
        switch (destination) {
        case Destination::FontTable:
            FontTableWord(word, param);
            break;
        case Destination::ColorTable:
            ColorTableWord(word, param);
            break;
        default:
            TextWord(word, hasParam, param);
            break;
        }
    }

    void FontTableWord(std::string_view word, int param) {
        if (word == "f") {
            m_currentFont = param;
            m_fonts[param] = FontEntry{};
            m_styleValid = false;
        } else if (word == "fcharset") {
            m_fonts[m_currentFont].charset = param;
        } else if (word == "cpg") {
            m_fonts[m_currentFont].codePage = std::max(param, 0);
        }
    }

    void ColorTableWord(std::string_view word, int param) {
        const auto component = static_cast<uint32_t>(std::clamp(param, 0, 255));
        if (word == "red") {
            m_rgb = (m_rgb & 0xFFFF00) | component;
        } else if (word == "green") {
            m_rgb = (m_rgb & 0xFF00FF) | (component << 8);
        } else if (word == "blue") {
            m_rgb = (m_rgb & 0x00FFFF) | (component << 16);
        }
    }

    void TextWord(std::string_view word, bool hasParam, int param) {
        GroupState& group = m_groups.back();
        if (word == "fonttbl") {
            group.destination = Destination::FontTable;
        } else if (word == "colortbl") {
            group.destination = Destination::ColorTable;
            m_rgb = 0;
        } else if (word == "par" || word == "sect" || word == "line") {
            LineEnd();
        } else if (word == "tab") {
            PutCodePoint('\t');
        } else if (word == "cell" || word == "nestcell") {
            PutText("\t");
            m_cellEnded = true;
        } else if (word == "row" || word == "nestrow") {
            RowEnd();
        } else if (word == "plain") {
            group.font = -1;
            group.size = kDefaultSize;
            group.color = 0;
            group.bold = false;
        } else if (word == "b") {
            group.bold = !hasParam || param != 0;
        } else if (word == "f") {
            group.font = param;
        } else if (word == "fs") {
            group.size = hasParam && param > 0 ? std::min(param, 32767) : kDefaultSize;
        } else if (word == "cf") {
            group.color = param;
        } else if (word == "deff") {
            m_defaultFont = param;
            m_styleValid = false;
        } else if (word == "ansi") {
            m_codePage = 1252;
        } else if (word == "mac") {
            m_codePage = 10000;
        } else if (word == "pc") {
            m_codePage = 437;
        } else if (word == "pca") {
            m_codePage = 850;
        } else if (word == "ansicpg") {
            if (param > 0) {
                m_codePage = param;
            }
        } else {
            SpecialCharacterWord(word);
        }
    }

    void SpecialCharacterWord(std::string_view word) {
        static constexpr std::array<std::pair<std::string_view, char32_t>, 10> kCharacters = {{
            {"emdash", 0x2014},
            {"endash", 0x2013},
            {"emspace", 0x2003},
            {"enspace", 0x2002},
            {"qmspace", 0x2005},
            {"bullet", 0x2022},
            {"lquote", 0x2018},
            {"rquote", 0x2019},
            {"ldblquote", 0x201C},
            {"rdblquote", 0x201D},
        }};
        for (const auto& [name, c] : kCharacters) {
            if (word == name) {
                PutCodePoint(c);
                return;
            }
        }
    }

    // A byte of text: a literal character or an escaped one. Bytes collect until the
    // next control word or group boundary, so a double-byte code page sees its pairs
    // whole, also when the trail byte is a printable ASCII character.
    void TextByte(char c, bool escaped = false) {
        if (m_skip > 0) {
            --m_skip;
            return;
        }
        const auto b = static_cast<unsigned char>(c);
        if (!escaped && b < 0x20 && c != '\t') {
            return;
        }
        switch (CurrentDestination()) {
        case Destination::Text:
            m_pending += c;
            break;
        case Destination::FontTable:
            if (c == ';' && !escaped) {
                Flush();
                FontEntry& font = m_fonts[m_currentFont];
                font.name = Trimmed(font.name);
                font.nameDone = true;
                font.sharedValid = false;
                m_styleValid = false;
            } else {
                m_pending += c;
            }
            break;
        case Destination::ColorTable:
            if (c == ';') {
                m_colors.push_back(m_rgb);
                m_rgb = 0;
                m_styleValid = false;
            }
            break;
        case Destination::Skip:
            break;
        }
    }

    int CodePageOfFont(int font) const {
        const auto found = m_fonts.find(font < 0 ? m_defaultFont : font);
        if (found != m_fonts.end()) {
            if (found->second.codePage > 0) {
                return found->second.codePage;
            }
            const int codePage = CodePageOfCharset(found->second.charset);
            if (codePage != 0) {
                return codePage;
            }
        }
        return m_codePage;
    }

    void Flush() {
        if (m_pending.empty()) {
            return;
        }
        const Destination destination = CurrentDestination();
        if (destination == Destination::Text) {
            std::string text;
            AppendDecoded(text, CodePageOfFont(m_groups.back().font), m_pending);
            PutText(text);
        } else if (destination == Destination::FontTable) {
            FontEntry& font = m_fonts[m_currentFont];
            if (!font.nameDone) {
                std::string decoded;
                AppendDecoded(decoded, CodePageOfFont(m_currentFont), m_pending);
                AppendToName(font, decoded);
            }
        }
        m_pending.clear();
    }

    void UnicodeUnit(int unit) {
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            DropSurrogate();
            m_highSurrogate = static_cast<char32_t>(unit);
        } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
            if (m_highSurrogate != 0) {
                const char32_t c = 0x10000 + ((m_highSurrogate - 0xD800) << 10) +
                                   (static_cast<char32_t>(unit) - 0xDC00);
                m_highSurrogate = 0;
                PutCodePoint(c);
            } else {
                PutCodePoint(kReplacementChar);
            }
        } else if (unit >= 0 && unit <= 0xFFFF) {
            PutCodePoint(static_cast<char32_t>(unit));
        } else {
            PutCodePoint(kReplacementChar);
        }
    }

    // A high surrogate that no low one followed.
    void DropSurrogate() {
        if (m_highSurrogate != 0) {
            m_highSurrogate = 0;
            PutCodePoint(kReplacementChar);
        }
    }

    void PutCodePoint(char32_t c) {
        std::string text;
        AppendUtf8(text, c);
        PutText(text);
    }

    void PutText(std::string_view text) {
        if (m_highSurrogate != 0) {
            DropSurrogate();
        }
        const Destination destination = CurrentDestination();
        if (destination == Destination::FontTable) {
            FontEntry& font = m_fonts[m_currentFont];
            if (!font.nameDone) {
                AppendToName(font, text);
            }
            return;
        }
        if (destination != Destination::Text || text.empty()) {
            return;
        }
        const TextStyle& style = CurrentStyle();
        if (!m_out.empty() && m_out.back().style == style) {
            m_out.back().text += text;
        } else {
            m_out.push_back(StyledRun{std::string(text), style});
        }
        m_cellEnded = false;
    }

    // Past the cut (with room for blanks that trimming removes) the rest of a name is
    // dropped as it comes, so a hostile name costs no more than a sane one.
    void AppendToName(FontEntry& font, std::string_view text) {
        if (font.name.size() < 2 * kMaxFontNameBytes) {
            std::size_t take = std::min(text.size(), 2 * kMaxFontNameBytes - font.name.size());
            while (take > 0 && take < text.size() &&
                   (static_cast<unsigned char>(text[take]) & 0xC0) == 0x80) {
                --take;
            }
            font.name.append(text.substr(0, take));
            font.sharedValid = false;
            m_styleValid = false;
        }
    }

    const FontName& SharedName(FontEntry& font) {
        if (!font.sharedValid) {
            font.shared = FontName(CutUtf8(Trimmed(font.name), kMaxFontNameBytes));
            font.sharedValid = true;
        }
        return font.shared;
    }

    void LineEnd() { PutText("\n"); }

    // The tab that ended the row's last cell becomes the row's line end.
    void RowEnd() {
        if (m_cellEnded && !m_out.empty() && m_out.back().text.ends_with('\t')) {
            m_out.back().text.back() = '\n';
            m_cellEnded = false;
        } else {
            LineEnd();
        }
    }

    const TextStyle& CurrentStyle() {
        const GroupState& group = m_groups.back();
        const auto key = std::make_tuple(group.font, group.color, group.size, group.bold);
        if (m_styleValid && key == m_styleKey) {
            return m_style;
        }
        m_style = TextStyle{};
        const auto font = m_fonts.find(group.font < 0 ? m_defaultFont : group.font);
        if (font != m_fonts.end()) {
            m_style.fontName = SharedName(font->second);
            m_style.charset = std::max(font->second.charset, 0);
        }
        if (group.color > 0 && static_cast<std::size_t>(group.color) < m_colors.size()) {
            m_style.color = m_colors[static_cast<std::size_t>(group.color)];
        }
        m_style.sizeHalfPoints = group.size;
        m_style.bold = group.bold;
        m_styleKey = key;
        m_styleValid = true;
        return m_style;
    }

    static constexpr std::size_t kProgressStep = 1 << 20;

    std::string_view m_in;
    const TProgress& m_progress;
    std::size_t m_pos = 0;
    std::vector<GroupState> m_groups;
    std::size_t m_overflow = 0; // open groups beyond kMaxGroupDepth
    int m_skip = 0;             // characters still to skip after \uN
    std::string m_pending;      // text bytes not yet decoded
    char32_t m_highSurrogate = 0;
    bool m_cellEnded = false;

    int m_codePage = 1252;
    int m_defaultFont = 0;
    std::map<int, FontEntry> m_fonts;
    int m_currentFont = 0;
    std::vector<uint32_t> m_colors;
    uint32_t m_rgb = 0;

    bool m_styleValid = false;
    std::tuple<int, int, int, bool> m_styleKey;
    TextStyle m_style;

    StyledText m_out;
};

} // namespace

StyledText ReadRtf(std::string_view rtf) {
    return ReadRtf(rtf, TProgress());
}

StyledText ReadRtf(std::string_view rtf, const TProgress& progress) {
    if (rtf.starts_with("\xEF\xBB\xBF")) {
        rtf.remove_prefix(3);
    }
    return RtfReader(rtf, progress).Read();
}
