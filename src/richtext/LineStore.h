#pragma once
// The text of a rich-text view: lines with style runs, without any widget.
//
// Traffic is ASCII hex or Latin-1 text, so a line holds one byte per character for as
// long as every character of it fits a byte; the first character beyond U+00FF (typed, or
// loaded from rich text) turns that line into UTF-16. Positions are a line and a column
// in characters (UTF-16 units in a wide line); an offset counts one character per line
// break. Styles are numbered in the order they were first used; the view keeps what it
// needs to draw each number.
//
// The view keeps a small layout cache in every line (width, wrapped rows); the store only
// carries it along and asks the measure hook to fill it for every line it builds.

#include "richtext/RichText.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

// The characters of one line.
class TLineText {
public:
    TLineText() = default;
    TLineText(const TLineText&) = default;
    TLineText(TLineText&&) noexcept = default;
    // Assignments take the other's buffer: a string assigned into a longer one would keep
    // the longer one's allocation, and lines move about as the deque shifts them.
    TLineText& operator=(TLineText&& other) noexcept {
        m_bytes.swap(other.m_bytes);
        std::swap(m_wide, other.m_wide);
        return *this;
    }
    TLineText& operator=(const TLineText& other) {
        TLineText copy(other);
        return *this = std::move(copy);
    }
    ~TLineText() = default;

    int Size() const { return static_cast<int>(m_wide ? m_bytes.size() / 2 : m_bytes.size()); }
    bool Empty() const { return m_bytes.empty(); }
    // Some character is beyond U+00FF: stored as UTF-16.
    bool Wide() const { return m_wide; }
    char16_t At(int i) const;
    // The bytes of a narrow line (Latin-1).
    const char* Narrow() const { return m_bytes.data(); }

    void Append(std::string_view latin1);
    void Append(std::u16string_view utf16);
    void AppendSlice(const TLineText& source, int from, int to);
    void Reserve(int characters) { m_bytes.reserve(static_cast<size_t>(characters)); }

    std::u16string Utf16(int from, int to) const;
    // Characters beyond U+00FF read as '?'.
    std::string Latin1(int from, int to) const;
    std::string Utf8(int from, int to) const;
    // Heap bytes held by the characters.
    size_t HeapBytes() const { return m_bytes.capacity() > 15 ? m_bytes.capacity() + 1 : 0; }

private:
    void Widen();
    // Latin-1 bytes, or UTF-16 units in native byte order when m_wide.
    std::string m_bytes;
    bool m_wide = false;
};

struct TStyleRun {
    int start;
    int style;
};

struct TStoredLine {
    TLineText text;
    std::vector<TStyleRun> runs; // cover the text; none for an empty line
    // The view's layout cache.
    float width = 0; // pixels, unwrapped
    int rows = -1;   // visual rows with word wrap; -1 unknown
    // Every character has the same advance, so columns are arithmetic.
    bool uniform = true;
    float advance = 0; // that advance when uniform
    // The line ends in a received hex payload starting at this column, whose trailing
    // checksum the view may check; -1: it does not. A line built anew (by an edit) has -1.
    int receivedPayload = -1;
    // Rows the view draws under the line and keeps elsewhere (decoded frames), by a number
    // of its own; 0: none. Display only, like the check above; a line built anew has 0.
    uint32_t note = 0;

    // Appends text in a style, starting a run when the style changes.
    void Append(std::string_view latin1, int style);
    void Append(std::u16string_view utf16, int style);
    void AppendSlice(const TStoredLine& source, int from, int to);
    // Index of the run holding column col (the line must have runs).
    size_t RunAt(int col) const;
    int RunEnd(size_t run) const {
        return run + 1 < runs.size() ? runs[run + 1].start : text.Size();
    }
};

struct TTextPos {
    int line = 0;
    int col = 0;
    auto operator<=>(const TTextPos&) const = default;
};

class TLineStore {
public:
    // Text between line breaks; a fragment of n lines holds n - 1 breaks.
    using Fragment = std::vector<TStoredLine>;

    TLineStore();

    // Called for every line the store builds, before it is stored.
    void SetMeasure(std::function<void(TStoredLine&)> measure) { m_measure = std::move(measure); }

    // --- styles ---
    int StyleIndex(const TextStyle& style);
    const TextStyle& Style(int index) const { return m_styles[static_cast<size_t>(index)]; }
    int StyleCount() const { return static_cast<int>(m_styles.size()); }

    // --- lines ---
    // Stored lines, the empty one after a final line break included (at least 1).
    int Count() const { return static_cast<int>(m_lines.size()); }
    const TStoredLine& Line(int line) const { return *m_lines[static_cast<size_t>(line)]; }
    TStoredLine& Line(int line) { return *m_lines[static_cast<size_t>(line)]; }
    int LineLength(int line) const { return Line(line).text.Size(); }
    int64_t TextLength() const { return m_totalChars + static_cast<int64_t>(m_lines.size()) - 1; }
    // What the text holds in memory, estimated from its allocations.
    int64_t MemoryBytes() const { return m_memory; }
    // What one line adds to MemoryBytes.
    static int64_t LineBytes(const TStoredLine& line);
    // What a line of that many characters in that many style runs adds, about.
    static int64_t LineBytesFor(int64_t characters, int runs);
    float MaxWidth();
    // Lines deleted from the front since the store began, and the times it was cleared:
    // what a reader needs to find lines it saw again later.
    uint64_t FrontLinesDropped() const { return m_frontDropped; }
    uint64_t Clears() const { return m_clears; }

    // --- positions ---
    TTextPos End() const { return {Count() - 1, m_lines.back()->text.Size()}; }
    TTextPos Clamp(TTextPos pos) const;
    int64_t OffsetOf(TTextPos pos) const;
    TTextPos PosFromOffset(int64_t offset) const;
    int64_t RangeLength(TTextPos from, TTextPos to) const;
    // The style of the character before pos, or of the end of the line above; -1 if none.
    int StyleBefore(TTextPos pos) const;

    // --- changes ---
    static int64_t FragmentLength(const Fragment& fragment);
    // Latin-1 text in a style; only "\r\n" ends a line.
    static Fragment FragmentFromLatin1(std::string_view text, int style);
    // UTF-16 text in a style; "\n" ends a line.
    static Fragment FragmentFromUtf16(std::u16string_view text, int style);
    Fragment FragmentFromStyled(const StyledText& text);
    Fragment Extract(TTextPos from, TTextPos to) const;
    // Replaces [from, to) by the fragment; returns the position after it.
    TTextPos Replace(TTextPos from, TTextPos to, Fragment&& fragment);
    // Deletes lines [0, count) with their line breaks; fewer than all of them.
    void DeleteFirstLines(int count);
    void Clear();

    // --- reading ---
    // The whole text as it is now, for a reader on another thread; the store goes on
    // changing without touching it.
    struct Snapshot {
        std::vector<std::shared_ptr<const TStoredLine>> lines;
        std::vector<TextStyle> styles;
        int lineEndStyle = 0;
        int64_t characters = 0;
        // Lines [from, to) as styled text ("\n" between lines, none after the last).
        StyledText Styled(size_t from, size_t to) const;
    };
    Snapshot Share(int lineEndStyle) const;

    // Latin-1 with "\r\n" between lines.
    std::string Latin1(TTextPos from, TTextPos to) const;
    // Latin-1 with "\n" between lines, so that a position in it is an offset.
    std::string Text() const;
    // lineEndStyle styles a line break that follows no text.
    StyledText Styled(TTextPos from, TTextPos to, int lineEndStyle) const;
    // Offset of the first occurrence of a Latin-1 needle that starts at or after from and
    // ends by to, within one line; -1 if none. Without matchCase only a-z and A-Z are
    // taken as equal.
    int64_t Find(std::string_view needle, int64_t from, int64_t to, bool matchCase) const;

private:
    void ReplaceLines(int first, int count, std::vector<TStoredLine>&& lines);
    void EnsureOffsets() const;

    // A stored line's text and runs never change (a change builds new lines), so a
    // snapshot shares them with the store.
    std::deque<std::shared_ptr<TStoredLine>> m_lines;
    int64_t m_totalChars = 0;
    int64_t m_memory = 0;
    std::vector<TextStyle> m_styles;
    std::unordered_map<std::string, int> m_styleIndex;
    std::function<void(TStoredLine&)> m_measure;
    // Offsets of line starts, valid for the first m_offsetsValid lines.
    mutable std::vector<int64_t> m_lineOffsets;
    mutable size_t m_offsetsValid = 0;
    float m_maxWidth = 0;
    bool m_maxWidthStale = false;
    uint64_t m_frontDropped = 0;
    uint64_t m_clears = 0;
};

// The oldest lines to drop so that at least `wanted` of some measure goes (rows, bytes,
// characters): the fewest lines from the start whose sizes add up to it, never the
// last `keep` lines.
int OldestLinesCovering(int lineCount, int64_t wanted, int keep,
                        const std::function<int64_t(int)>& sizeOf);
