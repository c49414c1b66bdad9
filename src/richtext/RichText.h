#pragma once
// Styled text as the views hold it, and its exchange form, RTF.
//
// Line convention: "\n" ends a line (a paragraph). Every line that the document ends
// with \par carries its "\n", the last one included: WriteRtf writes one \par per "\n"
// and nothing for a last line without one; ReadRtf gives "\n" for every \par, so
// "...\par}" reads as text ending in "\n" and a round trip neither gains nor loses an
// empty line. A view that shows N lines with no line end after the last stores N-1
// line ends.

#include "platform/FileIO.h"

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// A font's name, held once and shared by every run that uses it: a document that changes
// font on every character costs one pointer per run, not one copy of the name. The name
// itself never changes; assigning another name points elsewhere.
class FontName {
public:
    FontName();
    FontName(const char* name);
    FontName(std::string name);

    const std::string& str() const { return *m_name; }
    operator const std::string&() const { return *m_name; }
    bool empty() const { return m_name->empty(); }

    friend bool operator==(const FontName& a, const FontName& b) {
        return a.m_name == b.m_name || *a.m_name == *b.m_name;
    }
    friend std::ostream& operator<<(std::ostream& out, const FontName& name);

private:
    std::shared_ptr<const std::string> m_name;
};

struct TextStyle {
    uint32_t color = 0; // 0x00BBGGRR, as the program's colours are
    FontName fontName = DefaultFontName();
    int sizeHalfPoints = 18; // RTF \fs units: 18 = 9 pt
    bool bold = false;
    int charset = 0; // RTF \fcharset of the font (0 ANSI, 134 GB2312, ...)
    bool operator==(const TextStyle&) const = default;

    // "Courier New", one instance for every default style.
    static const FontName& DefaultFontName();
};

struct StyledRun { // text in UTF-8; "\n" ends a line (paragraph)
    std::string text;
    TextStyle style;
    bool operator==(const StyledRun&) const = default;
};

using StyledText = std::vector<StyledRun>;

// A complete RTF document: 7-bit ASCII, CRLF line ends. Every character survives
// ReadRtf(WriteRtf(t)), control characters and NUL included ("\n" is the line end).
std::string WriteRtf(const StyledText& text);

// RTF written piece by piece, for a file that grows while it is open: the head with fixed
// font and colour tables, then any number of bodies, then the tail. A file that holds the
// head, whole bodies and the tail is a complete document at every step, so a writer can
// keep the tail at the end and write each new body over it. A run whose font is not in the
// table uses the first font; one whose colour is not in the table uses the nearest colour.
// Head + Body(t) + Tail with the fonts and colours of t is WriteRtf(t).
class TRtfStream {
public:
    static constexpr std::string_view Tail = "}\r\n";

    // Fonts are (name, charset) pairs; none gives 9-point "Courier New", charset 0.
    TRtfStream(std::vector<std::pair<std::string, int>> fonts, std::vector<uint32_t> colors);

    std::string Head() const;
    // Bodies continue one another: only changes of font, size, colour and boldness are
    // written, counted from the end of the previous body (from \plain for the first).
    std::string Body(const StyledText& text);

private:
    int FontIndex(const TextStyle& style) const;
    int ColorIndex(uint32_t color) const;

    std::vector<std::pair<std::string, int>> m_fonts;
    std::vector<uint32_t> m_colors;
    int m_font = -1;
    int m_size = 24;
    int m_color = 0;
    bool m_bold = false;
};

// Reads what word processors and rich-edit controls write, and fragments without the
// closing brace. Never throws on malformed input; what cannot be understood is skipped.
// Text outside any \cf, or in the colour table's empty first entry (the "auto"
// colour), is black (0). Without \fs the size is RTF's default, 24 half-points.
// The result is merged (see MergeRuns).
StyledText ReadRtf(std::string_view rtf);
// The same for a long document: `progress` hears of every 1 MiB of input taken (done and
// total in input bytes) and may cancel, which throws ECancelled.
StyledText ReadRtf(std::string_view rtf, const TProgress& progress);

// True when the bytes start with "{\rtf" after an optional UTF-8 byte-order mark and
// white space.
bool LooksLikeRtf(std::string_view bytes);

// A file that is not RTF: every byte is one Latin-1 character; CR LF, LF and CR each
// end a line. The result is one run (none for empty input).
StyledText PlainTextToStyled(std::string_view bytes, const TextStyle& style);

// The content of a file as a view loads it: RTF when it looks like RTF, else plain
// text in the given style.
StyledText StyledFromFile(std::string_view bytes, const TextStyle& plainStyle,
                          const TProgress& progress = {});

// Adjacent runs of equal style joined, empty runs dropped.
StyledText MergeRuns(StyledText text);

// The text of all runs, concatenated.
std::string StyledPlainText(const StyledText& text);

// The rich text that the send window's checksum command puts in place of the data: the
// data in black, a blank, the checksum in blue, 9-point Courier New. It is a fragment:
// no closing brace for the document, no line end.
std::string ChecksumFragmentRtf(std::string_view data, std::string_view checksum);

// Latin-1 (one byte, one character) to UTF-8, and back. Characters beyond U+00FF and
// invalid UTF-8 sequences become the replacement byte.
std::string Latin1ToUtf8(std::string_view latin1);
std::string Utf8ToLatin1(std::string_view utf8, char replacement = '?');
