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
// Lines are kept compactly: their characters one after the other in large shared blocks,
// and per line a small record (where its characters are, how many, its first style run
// and the view's layout cache). Style runs are held in the blocks too and shared by the
// lines they span, so a file of short lines in one style costs its characters and the
// records, about 30 bytes a line. The store carries the layout cache along and asks the
// measure hook to fill it for every line it builds.

#include "richtext/RichText.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

// Read access to the characters of one line, wherever they are held: Latin-1 bytes, or
// UTF-16 units in native byte order when wide.
class TTextRef {
public:
    TTextRef() = default;
    TTextRef(const char* bytes, int size, bool wide) : m_bytes(bytes), m_size(size), m_wide(wide) {}

    int Size() const { return m_size; }
    bool Empty() const { return m_size == 0; }
    bool Wide() const { return m_wide; }
    char16_t At(int i) const;
    const char* Narrow() const { return m_bytes; }
    size_t ByteSize() const { return static_cast<size_t>(m_size) * (m_wide ? 2 : 1); }

    std::u16string Utf16(int from, int to) const;
    // Characters beyond U+00FF read as '?'.
    std::string Latin1(int from, int to) const;
    std::string Utf8(int from, int to) const;

private:
    const char* m_bytes = "";
    int m_size = 0;
    bool m_wide = false;
};

// The characters of one line being built (a fragment's line).
class TLineText {
public:
    TLineText() = default;
    TLineText(const TLineText&) = default;
    TLineText(TLineText&&) noexcept = default;
    // Assignments take the other's buffer: a string assigned into a longer one would keep
    // the longer one's allocation.
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

    TTextRef Ref() const { return {m_bytes.data(), Size(), m_wide}; }
    int Size() const { return static_cast<int>(m_wide ? m_bytes.size() / 2 : m_bytes.size()); }
    bool Empty() const { return m_bytes.empty(); }
    // Some character is beyond U+00FF: stored as UTF-16.
    bool Wide() const { return m_wide; }
    char16_t At(int i) const { return Ref().At(i); }
    // The bytes of a narrow line (Latin-1).
    const char* Narrow() const { return m_bytes.data(); }
    // The stored bytes (UTF-16 units when wide), for the store to take over.
    const std::string& Bytes() const { return m_bytes; }
    std::string TakeBytes() { return std::move(m_bytes); }

    void Append(std::string_view latin1);
    void Append(std::u16string_view utf16);
    void AppendSlice(TTextRef source, int from, int to);
    void AppendSlice(const TLineText& source, int from, int to) {
        AppendSlice(source.Ref(), from, to);
    }
    void Reserve(int characters) { m_bytes.reserve(static_cast<size_t>(characters)); }

    std::u16string Utf16(int from, int to) const { return Ref().Utf16(from, to); }
    std::string Latin1(int from, int to) const { return Ref().Latin1(from, to); }
    std::string Utf8(int from, int to) const { return Ref().Utf8(from, to); }

private:
    void Widen();
    std::string m_bytes;
    bool m_wide = false;
};

struct TStyleRun {
    int start;
    int style;
};

// Read access to a line's style runs: starts in characters from the line's start, the
// first at 0. Where runs are held for many lines at once, `base` is where the line starts
// in the same units as the held starts and `shift` turns those units into characters.
class TRunsRef {
public:
    TRunsRef() = default;
    TRunsRef(const TStyleRun* runs, size_t count, int64_t base = 0, int shift = 0)
        : m_runs(runs), m_count(count), m_base(base), m_shift(shift) {}

    size_t size() const { return m_count; }
    bool empty() const { return m_count == 0; }
    TStyleRun operator[](size_t i) const {
        return {i == 0 ? 0 : static_cast<int>((m_runs[i].start - m_base) >> m_shift),
                m_runs[i].style};
    }
    TStyleRun back() const { return (*this)[m_count - 1]; }

    class Iterator {
    public:
        Iterator(const TRunsRef* runs, size_t i) : m_runs(runs), m_i(i) {}
        TStyleRun operator*() const { return (*m_runs)[m_i]; }
        Iterator& operator++() {
            ++m_i;
            return *this;
        }
        bool operator!=(const Iterator& other) const { return m_i != other.m_i; }

    private:
        const TRunsRef* m_runs;
        size_t m_i;
    };
    Iterator begin() const { return {this, 0}; }
    Iterator end() const { return {this, m_count}; }

private:
    const TStyleRun* m_runs = nullptr;
    size_t m_count = 0;
    int64_t m_base = 0;
    int m_shift = 0;
};

// A line as the store hands it out: its characters and runs where the store keeps them,
// valid until the store next changes, and the view's layout cache.
struct TLineRef {
    TTextRef text;
    TRunsRef runs; // cover the text; none for an empty line
    float width = 0;
    int rows = -1;
    bool uniform = true;
    float advance = 0;
    int receivedPayload = -1;
    // Runs that start in this line (the first may go on from the line before).
    int ownRuns = 0;

    // Index of the run holding column col (the line must have runs).
    size_t RunAt(int col) const;
    int RunEnd(size_t run) const {
        return run + 1 < runs.size() ? runs[run + 1].start : text.Size();
    }
};

// A line being built, as fragments hold it.
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

    TLineRef Ref() const {
        return {text.Ref(),      TRunsRef(runs.data(), runs.size()), width, rows, uniform, advance,
                receivedPayload, static_cast<int>(runs.size())};
    }
    // Appends text in a style, starting a run when the style changes.
    void Append(std::string_view latin1, int style);
    void Append(std::u16string_view utf16, int style);
    void AppendSlice(const TLineRef& source, int from, int to);
    void AppendSlice(const TStoredLine& source, int from, int to) {
        AppendSlice(source.Ref(), from, to);
    }
    // Index of the run holding column col (the line must have runs).
    size_t RunAt(int col) const { return Ref().RunAt(col); }
    int RunEnd(size_t run) const {
        return run + 1 < runs.size() ? runs[run + 1].start : text.Size();
    }
};

struct TTextPos {
    int line = 0;
    int col = 0;
    auto operator<=>(const TTextPos&) const = default;
};

// The characters and style runs of many lines, written one after the other and never
// changed once written (a change writes the new lines anew), so a reader on another
// thread can hold a block while the store goes on. A block is dropped when the last line
// in it goes.
struct TTextBlock {
    std::string bytes;           // reserved at creation, never reallocated
    std::vector<TStyleRun> runs; // starts in bytes from the block's start; reserved likewise
    // Runs written so far, for readers on other threads (runs below it never change).
    std::atomic<uint32_t> runCount{0};
    size_t lines = 0; // stored lines whose text is here
};

class TLineStore {
public:
    // Text between line breaks; a fragment of n lines holds n - 1 breaks.
    using Fragment = std::vector<TStoredLine>;

    // The bookkeeping of one stored line besides its characters: where they are, how many,
    // its first style run and the view's layout cache. Runs are shared by the lines of a
    // block, so lines of one style add none of their own.
    struct Record {
        uint32_t block = 0; // number of its block
        uint32_t at = 0;    // byte offset in that block
        uint32_t sizeAndFlags = 0;
        uint32_t run = 0;  // index in the block's runs of the run holding its first character
        float measure = 0; // the advance when uniform, else the width
        int32_t rows = -1;
        int32_t receivedPayload = -1;

        static constexpr uint32_t kWide = 1u << 31;
        static constexpr uint32_t kUniform = 1u << 30;
        int Size() const { return static_cast<int>(sizeAndFlags & (kUniform - 1)); }
        bool Wide() const { return (sizeAndFlags & kWide) != 0; }
        bool Uniform() const { return (sizeAndFlags & kUniform) != 0; }
        uint32_t Bytes() const { return static_cast<uint32_t>(Size()) << (Wide() ? 1 : 0); }
        float Width() const { return Uniform() ? measure * static_cast<float>(Size()) : measure; }
    };

    TLineStore();
    ~TLineStore();
    TLineStore(const TLineStore& other);
    TLineStore& operator=(const TLineStore& other);

    // Called for every line the store builds, before it is stored.
    void SetMeasure(std::function<void(TStoredLine&)> measure) { m_measure = std::move(measure); }

    // --- styles ---
    int StyleIndex(const TextStyle& style);
    const TextStyle& Style(int index) const { return m_styles[static_cast<size_t>(index)]; }
    int StyleCount() const { return static_cast<int>(m_styles.size()); }

    // --- lines ---
    // Stored lines, the empty one after a final line break included (at least 1).
    int Count() const { return static_cast<int>(m_lines.size()); }
    TLineRef Line(int line) const;
    int LineLength(int line) const { return m_lines[static_cast<size_t>(line)].Size(); }
    int64_t TextLength() const { return m_totalChars + static_cast<int64_t>(m_lines.size()) - 1; }
    // The view's layout cache of a line.
    void SetRows(int line, int rows) { m_lines[static_cast<size_t>(line)].rows = rows; }
    void SetReceivedPayload(int line, int col) {
        m_lines[static_cast<size_t>(line)].receivedPayload = col;
    }
    void SetNote(int line, uint32_t note);
    uint32_t Note(int line) const;
    // What the text holds in memory: for every line its characters, its own style runs and
    // its bookkeeping (LineBytes).
    int64_t MemoryBytes() const { return m_memory; }
    // What one line adds to MemoryBytes.
    int64_t LineBytes(int line) const;
    static int64_t LineBytes(const TLineRef& line);
    // What a line of that many characters in that many style runs adds, at most.
    static int64_t LineBytesFor(int64_t characters, int runs);
    // The bookkeeping of a line besides its characters and runs: its record, its share of
    // the record container and of the offset index.
    static constexpr int64_t kLineOverhead = 30;
    // What the store holds allocated: its blocks in full (text of lines since changed
    // included), the records and the index.
    int64_t HeldBytes() const;
    float MaxWidth();
    // Lines deleted from the front since the store began, and the times it was cleared:
    // what a reader needs to find lines it saw again later.
    uint64_t FrontLinesDropped() const { return m_frontDropped; }
    uint64_t Clears() const { return m_clears; }

    // --- positions ---
    TTextPos End() const { return {Count() - 1, m_lines.back().Size()}; }
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
    // A line is about to grow piece by piece to about this many bytes (0: none is): when a
    // long line next moves to a block of its own, that block gets room for all of it, so
    // the line is written in place from then on instead of being copied each time it
    // outgrows its block.
    void ExpectLineBytes(int64_t bytes) { m_expectBytes = std::max<int64_t>(bytes, 0); }
    // Deletes lines [0, count) with their line breaks; fewer than all of them.
    void DeleteFirstLines(int count);
    void Clear();

    // --- reading ---
    // The whole text as it is now, for a reader on another thread; the store goes on
    // changing without touching it.
    struct Snapshot {
        std::deque<Record> lines;
        uint32_t firstBlock = 0;
        std::vector<std::shared_ptr<const TTextBlock>> blocks;
        std::vector<TextStyle> styles;
        int lineEndStyle = 0;
        int64_t characters = 0;
        TLineRef Line(size_t line) const;
        // Lines [from, to) as styled text ("\n" between lines, none after the last unless
        // breakAfterLast).
        StyledText Styled(size_t from, size_t to, bool breakAfterLast = false) const;
    };
    Snapshot Share(int lineEndStyle) const;

    // The text as it is now, read in slices: what a save of a large text uses instead of
    // Share. Nothing is copied at the start but the list of blocks (the text stays shared
    // in them); the line records are copied a slice at a time, on the store's thread, and
    // a change that would alter or drop a line not read yet keeps its record for the
    // reading first. So the reading costs about one slice of records, and each slice a
    // bounded moment of the store's thread. A reading must be used on the store's thread
    // and may outlive the store.
    class Reading {
    public:
        ~Reading();
        Reading(const Reading&) = delete;
        Reading& operator=(const Reading&) = delete;

        size_t Lines() const { return m_total; }
        size_t Taken() const { return m_next; }
        bool Done() const { return m_next >= m_total; }
        // The next lines, at most maxLines of them and no more than about maxBytes of text
        // (one line at least), into `slice` (its lines; the rest as in Shared()).
        void Take(size_t maxLines, size_t maxBytes, Snapshot& slice);
        // Blocks, styles and the line-end style, fixed at the start: safe to read from any
        // thread. Its lines are empty.
        const Snapshot& Shared() const { return m_shared; }
        // Records kept for the reading because the store changed (for tests and benches).
        size_t Kept() const { return m_kept.size(); }

    private:
        friend class TLineStore;
        Reading() = default;
        // Keeps the records of the lines up to `upTo` (of the reading) that are not read yet.
        void Keep(size_t upTo);
        void Detach();
        const Record& StoreRecord(size_t line) const;

        const TLineStore* m_store = nullptr;
        size_t m_total = 0;
        size_t m_next = 0;
        uint64_t m_base = 0;       // the store's FrontLinesDropped() at the start
        std::deque<Record> m_kept; // lines [m_next, m_next + m_kept.size())
        Record m_last;             // text may be added to the last line in place
        Snapshot m_shared;
    };
    std::unique_ptr<Reading> BeginReading(int lineEndStyle) const;

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
    struct NoteAt {
        uint64_t line; // counted from the store's beginning (m_frontDropped + index)
        uint32_t note;
    };
    static TLineRef MakeRef(const Record& record, const TTextBlock& block);
    const TTextBlock& BlockOf(const Record& record) const;
    TLineRef RefOf(const Record& record) const;
    Record Store(TStoredLine&& line);
    // Whether the piece can be written after the line's characters, where they are.
    bool CanExtend(const Record& line, const TStoredLine& piece) const;
    // The line with the piece added (measured on its own); the old record stays counted
    // until it is released.
    Record Extend(const Record& line, const TStoredLine& piece);
    void Release(const Record& record);
    TTextBlock& WritableBlock(size_t bytes, size_t runs);
    // Puts lines in place of [first, first + count): the first `added` already stored, the
    // rest of `lines` stored here.
    void CommitLines(int first, int count, Fragment&& lines, std::vector<Record>&& added);
    void ShiftNotes(int first, int count, int added);
    void EnsureOffsets(size_t chunks) const;

    // Before a change of the lines [first, first + count) (of the store's lines now),
    // all from `first` on when `shifts`: the readings keep what they still need.
    void BeforeChange(int first, int count, bool shifts);

    std::deque<Record> m_lines;
    // Readings are not part of the text: a const store lets one begin.
    mutable std::vector<Reading*> m_readings;
    // Blocks by number from m_firstBlock; a dropped one is null until the front passes it.
    std::deque<std::shared_ptr<TTextBlock>> m_blocks;
    uint32_t m_firstBlock = 0;
    uint32_t m_writeBlock = 0; // the block new lines go to
    bool m_haveWriteBlock = false;
    std::deque<NoteAt> m_notes; // by line, few: only lines with decoded frames have one
    int64_t m_totalChars = 0;
    int64_t m_memory = 0;
    std::vector<TextStyle> m_styles;
    std::unordered_map<std::string, int> m_styleIndex;
    std::function<void(TStoredLine&)> m_measure;
    // Offsets of the starts of every kChunk-th line, valid for the first m_chunksValid.
    static constexpr size_t kChunk = 64;
    mutable std::vector<int64_t> m_chunkOffsets;
    mutable size_t m_chunksValid = 0;
    float m_maxWidth = 0;
    bool m_maxWidthStale = false;
    uint64_t m_frontDropped = 0;
    uint64_t m_clears = 0;
    int64_t m_expectBytes = 0;
};

// The oldest lines to drop so that at least `wanted` of some measure goes (rows, bytes,
// characters): the fewest lines from the start whose sizes add up to it, never the
// last `keep` lines.
int OldestLinesCovering(int lineCount, int64_t wanted, int keep,
                        const std::function<int64_t(int)>& sizeOf);
