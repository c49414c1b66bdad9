#include "richtext/LineStore.h"

#include "richtext/CodePage.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

namespace {

std::string StyleKey(const TextStyle& s) {
    std::string key = s.fontName;
    key += '\x1f';
    key += std::to_string(s.sizeHalfPoints);
    key += s.bold ? "b" : "n";
    key += std::to_string(s.charset);
    key += '/';
    key += std::to_string(s.color);
    return key;
}

// UTF-8 to UTF-16; an invalid sequence becomes U+FFFD.
std::u16string Utf8ToUtf16(std::string_view in) {
    std::u16string out;
    out.reserve(in.size());
    for (size_t i = 0; i < in.size();) {
        char32_t c = NextUtf8(in, i);
        if (c >= 0x10000) {
            c -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (c >> 10));
            out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
    }
    return out;
}

// Splits text at each separator: the piece before it goes to the fragment's last line, and
// a new line starts after it.
template <class Char, class AppendPiece>
void AppendLines(TLineStore::Fragment& fragment, std::basic_string_view<Char> text,
                 std::basic_string_view<Char> separator, AppendPiece append) {
    size_t start = 0;
    while (true) {
        const size_t at = text.find(separator, start);
        const size_t end = at == std::basic_string_view<Char>::npos ? text.size() : at;
        append(fragment.back(), text.substr(start, end - start));
        if (at == std::basic_string_view<Char>::npos) {
            break;
        }
        fragment.emplace_back();
        start = at + separator.size();
    }
}

} // namespace

// ---------------------------------------------------------------- TTextRef

char16_t TTextRef::At(int i) const {
    const auto at = static_cast<size_t>(i);
    if (!m_wide) {
        return static_cast<unsigned char>(m_bytes[at]);
    }
    char16_t c;
    std::memcpy(&c, m_bytes + at * 2, 2);
    return c;
}

std::u16string TTextRef::Utf16(int from, int to) const {
    std::u16string out(static_cast<size_t>(std::max(0, to - from)), u'\0');
    if (m_wide) {
        std::memcpy(out.data(), m_bytes + static_cast<size_t>(from) * 2, out.size() * 2);
    } else {
        for (size_t i = 0; i < out.size(); ++i) {
            out[i] = static_cast<unsigned char>(m_bytes[static_cast<size_t>(from) + i]);
        }
    }
    return out;
}

std::string TTextRef::Latin1(int from, int to) const {
    if (!m_wide) {
        return std::string(m_bytes + from, static_cast<size_t>(std::max(0, to - from)));
    }
    std::string out;
    out.reserve(static_cast<size_t>(std::max(0, to - from)));
    for (int i = from; i < to; ++i) {
        const char16_t c = At(i);
        out += c < 0x100 ? static_cast<char>(c) : '?';
    }
    return out;
}

std::string TTextRef::Utf8(int from, int to) const {
    std::string out;
    out.reserve(static_cast<size_t>(std::max(0, to - from)));
    for (int i = from; i < to; ++i) {
        char32_t c = At(i);
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < to && At(i + 1) >= 0xDC00 && At(i + 1) < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (At(i + 1) - 0xDC00);
            ++i;
        }
        AppendUtf8(out, c); // a lone surrogate has no UTF-8 form: U+FFFD
    }
    return out;
}

// ---------------------------------------------------------------- TLineText

void TLineText::Widen() {
    std::string wide(m_bytes.size() * 2, '\0');
    for (size_t i = 0; i < m_bytes.size(); ++i) {
        const char16_t c = static_cast<unsigned char>(m_bytes[i]);
        std::memcpy(wide.data() + i * 2, &c, 2);
    }
    m_bytes = std::move(wide);
    m_wide = true;
}

void TLineText::Append(std::string_view latin1) {
    if (!m_wide) {
        m_bytes.append(latin1);
        return;
    }
    const size_t at = m_bytes.size();
    m_bytes.resize(at + latin1.size() * 2);
    for (size_t i = 0; i < latin1.size(); ++i) {
        const char16_t c = static_cast<unsigned char>(latin1[i]);
        std::memcpy(m_bytes.data() + at + i * 2, &c, 2);
    }
}

void TLineText::Append(std::u16string_view utf16) {
    if (!m_wide) {
        const bool narrow =
            std::all_of(utf16.begin(), utf16.end(), [](char16_t c) { return c < 0x100; });
        if (narrow) {
            const size_t at = m_bytes.size();
            m_bytes.resize(at + utf16.size());
            for (size_t i = 0; i < utf16.size(); ++i) {
                m_bytes[at + i] = static_cast<char>(utf16[i]);
            }
            return;
        }
        Widen();
    }
    const size_t at = m_bytes.size();
    m_bytes.resize(at + utf16.size() * 2);
    std::memcpy(m_bytes.data() + at, utf16.data(), utf16.size() * 2);
}

void TLineText::AppendSlice(TTextRef source, int from, int to) {
    if (from >= to) {
        return;
    }
    if (!source.Wide()) {
        Append(std::string_view(source.Narrow() + from, static_cast<size_t>(to - from)));
    } else {
        Append(source.Utf16(from, to));
    }
}

// ---------------------------------------------------------------- TStoredLine

void TStoredLine::Append(std::string_view latin1, int style) {
    if (latin1.empty()) {
        return;
    }
    if (runs.empty() || runs.back().style != style) {
        runs.push_back({text.Size(), style});
    }
    text.Append(latin1);
}

void TStoredLine::Append(std::u16string_view utf16, int style) {
    if (utf16.empty()) {
        return;
    }
    if (runs.empty() || runs.back().style != style) {
        runs.push_back({text.Size(), style});
    }
    text.Append(utf16);
}

void TStoredLine::AppendSlice(const TLineRef& source, int from, int to) {
    if (from >= to || source.runs.empty()) {
        return;
    }
    for (size_t r = source.RunAt(from); r < source.runs.size(); ++r) {
        const int start = std::max(from, source.runs[r].start);
        const int end = std::min(to, source.RunEnd(r));
        if (start >= to) {
            break;
        }
        if (start < end) {
            if (runs.empty() || runs.back().style != source.runs[r].style) {
                runs.push_back({text.Size(), source.runs[r].style});
            }
            text.AppendSlice(source.text, start, end);
        }
    }
}

size_t TLineRef::RunAt(int col) const {
    size_t low = 0;
    size_t high = runs.size();
    // The last run starting at or before col.
    while (high - low > 1) {
        const size_t mid = (low + high) / 2;
        if (runs[mid].start <= col) {
            low = mid;
        } else {
            high = mid;
        }
    }
    return low;
}

// ---------------------------------------------------------------- TLineStore

namespace {

// Lines go into blocks of this size; a line of more than a quarter of it gets a block of
// its own, holding the line's own buffer. A block has room for a style run per 32 bytes of
// text: traffic lines (a prefix run and a payload run, some 60-80 characters) then fill
// the text and the runs together, instead of leaving most of the text room unused.
constexpr size_t kBlockBytes = size_t{1} << 20;
constexpr size_t kBlockRuns = kBlockBytes / 32;

} // namespace

TLineStore::TLineStore() {
    m_lines.emplace_back();
    m_memory = kLineOverhead;
}

TLineStore::~TLineStore() {
    for (Reading* reading : m_readings) {
        reading->Keep(reading->m_total);
        reading->m_store = nullptr;
    }
}

// A copy starts without readings: they read the original.
TLineStore::TLineStore(const TLineStore& other)
    : m_lines(other.m_lines), m_blocks(other.m_blocks), m_firstBlock(other.m_firstBlock),
      m_writeBlock(other.m_writeBlock), m_haveWriteBlock(other.m_haveWriteBlock),
      m_notes(other.m_notes), m_totalChars(other.m_totalChars), m_memory(other.m_memory),
      m_styles(other.m_styles), m_styleIndex(other.m_styleIndex), m_measure(other.m_measure),
      m_chunkOffsets(other.m_chunkOffsets), m_chunksValid(other.m_chunksValid),
      m_maxWidth(other.m_maxWidth), m_maxWidthStale(other.m_maxWidthStale),
      m_frontDropped(other.m_frontDropped), m_clears(other.m_clears) {}

TLineStore& TLineStore::operator=(const TLineStore& other) {
    if (this != &other) {
        BeforeChange(0, Count(), true);
        TLineStore copy(other);
        m_lines = std::move(copy.m_lines);
        m_blocks = std::move(copy.m_blocks);
        m_firstBlock = copy.m_firstBlock;
        m_writeBlock = copy.m_writeBlock;
        m_haveWriteBlock = copy.m_haveWriteBlock;
        m_notes = std::move(copy.m_notes);
        m_totalChars = copy.m_totalChars;
        m_memory = copy.m_memory;
        m_styles = std::move(copy.m_styles);
        m_styleIndex = std::move(copy.m_styleIndex);
        m_measure = std::move(copy.m_measure);
        m_chunkOffsets = std::move(copy.m_chunkOffsets);
        m_chunksValid = copy.m_chunksValid;
        m_maxWidth = copy.m_maxWidth;
        m_maxWidthStale = copy.m_maxWidthStale;
        m_frontDropped = copy.m_frontDropped;
        m_clears = copy.m_clears;
    }
    return *this;
}

std::unique_ptr<TLineStore::Reading> TLineStore::BeginReading(int lineEndStyle) const {
    std::unique_ptr<Reading> reading(new Reading());
    reading->m_store = this;
    reading->m_total = m_lines.size();
    reading->m_base = m_frontDropped;
    reading->m_last = m_lines.back();
    reading->m_shared.firstBlock = m_firstBlock;
    reading->m_shared.blocks.assign(m_blocks.begin(), m_blocks.end());
    reading->m_shared.styles = m_styles;
    reading->m_shared.lineEndStyle = lineEndStyle;
    reading->m_shared.characters = TextLength();
    m_readings.push_back(reading.get());
    return reading;
}

void TLineStore::BeforeChange(int first, int count, bool shifts) {
    for (Reading* reading : m_readings) {
        // Where the store's line `first` is in the reading.
        const uint64_t at = m_frontDropped - reading->m_base + static_cast<uint64_t>(first);
        if (shifts) {
            if (at + 1 < reading->m_total) {
                reading->Detach();
            }
        } else {
            reading->Keep(static_cast<size_t>(
                std::min<uint64_t>(at + static_cast<uint64_t>(count), reading->m_total)));
        }
    }
    std::erase(m_readings, nullptr);
}

TLineStore::Reading::~Reading() {
    if (m_store != nullptr) {
        std::erase(m_store->m_readings, this);
    }
}

const TLineStore::Record& TLineStore::Reading::StoreRecord(size_t line) const {
    return m_store->m_lines[line - static_cast<size_t>(m_store->m_frontDropped - m_base)];
}

void TLineStore::Reading::Keep(size_t upTo) {
    // The last line was taken at the start.
    upTo = std::min(upTo, m_total - 1);
    for (size_t line = m_next + m_kept.size(); line < upTo; ++line) {
        m_kept.push_back(StoreRecord(line));
    }
}

void TLineStore::Reading::Detach() {
    Keep(m_total);
    // Removed from the store's list by the caller's sweep.
    for (Reading*& reading : m_store->m_readings) {
        if (reading == this) {
            reading = nullptr;
        }
    }
    m_store = nullptr;
}

void TLineStore::Reading::Take(size_t maxLines, size_t maxBytes, Snapshot& slice) {
    slice.firstBlock = m_shared.firstBlock;
    if (slice.blocks.size() != m_shared.blocks.size()) {
        slice.blocks = m_shared.blocks;
    }
    if (slice.styles.size() != m_shared.styles.size()) {
        slice.styles = m_shared.styles;
    }
    slice.lineEndStyle = m_shared.lineEndStyle;
    slice.lines.clear();
    size_t bytes = 0;
    while (m_next < m_total && slice.lines.size() < maxLines &&
           (slice.lines.empty() || bytes < maxBytes)) {
        if (!m_kept.empty()) {
            slice.lines.push_back(m_kept.front());
            m_kept.pop_front();
        } else if (m_next + 1 == m_total) {
            slice.lines.push_back(m_last);
        } else {
            slice.lines.push_back(StoreRecord(m_next));
        }
        bytes += slice.lines.back().Bytes();
        ++m_next;
    }
}

int TLineStore::StyleIndex(const TextStyle& style) {
    std::string key = StyleKey(style);
    if (const auto found = m_styleIndex.find(key); found != m_styleIndex.end()) {
        return found->second;
    }
    m_styles.push_back(style);
    const int index = static_cast<int>(m_styles.size()) - 1;
    m_styleIndex.emplace(std::move(key), index);
    return index;
}

TLineRef TLineStore::MakeRef(const Record& record, const TTextBlock& block) {
    TLineRef ref;
    ref.width = record.Width();
    ref.rows = record.rows;
    ref.uniform = record.Uniform();
    ref.advance = record.Uniform() ? record.measure : 0;
    ref.receivedPayload = record.receivedPayload;
    if (record.Size() == 0) {
        return ref;
    }
    ref.text = TTextRef(block.bytes.data() + record.at, record.Size(), record.Wide());
    const TStyleRun* runs = block.runs.data();
    const size_t limit = block.runCount.load(std::memory_order_acquire);
    const int64_t end = int64_t{record.at} + record.Bytes();
    size_t next = record.run + 1;
    while (next < limit && runs[next].start < end) {
        ++next;
    }
    const size_t count = next - record.run;
    ref.runs = TRunsRef(runs + record.run, count, record.at, record.Wide() ? 1 : 0);
    ref.ownRuns = static_cast<int>(count) - (runs[record.run].start < int64_t{record.at} ? 1 : 0);
    return ref;
}

const TTextBlock& TLineStore::BlockOf(const Record& record) const {
    return *m_blocks[record.block - m_firstBlock];
}

TLineRef TLineStore::RefOf(const Record& record) const {
    static const TTextBlock none;
    return MakeRef(record, record.Size() == 0 ? none : BlockOf(record));
}

TLineRef TLineStore::Line(int line) const {
    return RefOf(m_lines[static_cast<size_t>(line)]);
}

TLineRef TLineStore::Snapshot::Line(size_t line) const {
    const Record& record = lines[line];
    static const TTextBlock none;
    return MakeRef(record, record.Size() == 0 ? none : *blocks[record.block - firstBlock]);
}

void TLineStore::SetNote(int line, uint32_t note) {
    const uint64_t key = m_frontDropped + static_cast<uint64_t>(line);
    const auto it = std::lower_bound(m_notes.begin(), m_notes.end(), key,
                                     [](const NoteAt& n, uint64_t k) { return n.line < k; });
    const bool found = it != m_notes.end() && it->line == key;
    if (found && note != 0) {
        it->note = note;
    } else if (found) {
        m_notes.erase(it);
        m_memory -= sizeof(NoteAt);
    } else if (note != 0) {
        m_notes.insert(it, NoteAt{key, note});
        m_memory += sizeof(NoteAt);
    }
}

uint32_t TLineStore::Note(int line) const {
    const uint64_t key = m_frontDropped + static_cast<uint64_t>(line);
    const auto it = std::lower_bound(m_notes.begin(), m_notes.end(), key,
                                     [](const NoteAt& n, uint64_t k) { return n.line < k; });
    return it != m_notes.end() && it->line == key ? it->note : 0;
}

void TLineStore::ShiftNotes(int first, int count, int added) {
    const uint64_t from = m_frontDropped + static_cast<uint64_t>(first);
    const auto begin = std::lower_bound(m_notes.begin(), m_notes.end(), from,
                                        [](const NoteAt& n, uint64_t k) { return n.line < k; });
    auto end = begin;
    while (end != m_notes.end() && end->line < from + static_cast<uint64_t>(count)) {
        ++end;
    }
    m_memory -= static_cast<int64_t>(end - begin) * static_cast<int64_t>(sizeof(NoteAt));
    for (auto it = m_notes.erase(begin, end); it != m_notes.end(); ++it) {
        it->line = it->line + static_cast<uint64_t>(added) - static_cast<uint64_t>(count);
    }
}

int64_t TLineStore::LineBytes(const TLineRef& line) {
    return kLineOverhead + static_cast<int64_t>(line.text.ByteSize()) +
           line.ownRuns * static_cast<int64_t>(sizeof(TStyleRun));
}

int64_t TLineStore::LineBytes(int line) const {
    return LineBytes(Line(line));
}

int64_t TLineStore::LineBytesFor(int64_t characters, int runs) {
    return kLineOverhead + characters + runs * static_cast<int64_t>(sizeof(TStyleRun));
}

int64_t TLineStore::HeldBytes() const {
    int64_t held = static_cast<int64_t>(m_lines.size() * sizeof(Record) +
                                        m_chunkOffsets.capacity() * sizeof(int64_t) +
                                        m_notes.size() * sizeof(NoteAt));
    for (const auto& block : m_blocks) {
        if (block) {
            held +=
                static_cast<int64_t>(block->bytes.size() + block->runs.size() * sizeof(TStyleRun));
        }
    }
    return held;
}

float TLineStore::MaxWidth() {
    if (m_maxWidthStale) {
        m_maxWidth = 0;
        for (const Record& line : m_lines) {
            m_maxWidth = std::max(m_maxWidth, line.Width());
        }
        m_maxWidthStale = false;
    }
    return m_maxWidth;
}

TTextPos TLineStore::Clamp(TTextPos pos) const {
    pos.line = std::clamp(pos.line, 0, Count() - 1);
    pos.col = std::clamp(pos.col, 0, LineLength(pos.line));
    return pos;
}

void TLineStore::EnsureOffsets(size_t chunks) const {
    const size_t all = (m_lines.size() + kChunk - 1) / kChunk;
    chunks = std::min(chunks, all);
    if (m_chunkOffsets.size() != all) {
        m_chunkOffsets.resize(all);
        m_chunksValid = std::min(m_chunksValid, all);
    }
    if (m_chunksValid == 0 && chunks > 0) {
        m_chunkOffsets[0] = 0;
        m_chunksValid = 1;
    }
    for (size_t c = m_chunksValid; c < chunks; ++c) {
        int64_t offset = m_chunkOffsets[c - 1];
        for (size_t l = (c - 1) * kChunk; l < c * kChunk; ++l) {
            offset += m_lines[l].Size() + 1;
        }
        m_chunkOffsets[c] = offset;
    }
    m_chunksValid = std::max(m_chunksValid, chunks);
}

int64_t TLineStore::OffsetOf(TTextPos pos) const {
    const auto line = static_cast<size_t>(pos.line);
    const size_t chunk = line / kChunk;
    EnsureOffsets(chunk + 1);
    int64_t offset = m_chunkOffsets[chunk];
    for (size_t l = chunk * kChunk; l < line; ++l) {
        offset += m_lines[l].Size() + 1;
    }
    return offset + pos.col;
}

TTextPos TLineStore::PosFromOffset(int64_t offset) const {
    EnsureOffsets(SIZE_MAX);
    offset = std::clamp<int64_t>(offset, 0, TextLength());
    const auto it = std::upper_bound(m_chunkOffsets.begin(), m_chunkOffsets.end(), offset);
    size_t line = static_cast<size_t>(it - m_chunkOffsets.begin() - 1) * kChunk;
    int64_t start = *(it - 1);
    while (line + 1 < m_lines.size() && start + m_lines[line].Size() + 1 <= offset) {
        start += m_lines[line].Size() + 1;
        ++line;
    }
    return Clamp({static_cast<int>(line), static_cast<int>(offset - start)});
}

int64_t TLineStore::RangeLength(TTextPos from, TTextPos to) const {
    if (from.line == to.line) {
        return to.col - from.col;
    }
    int64_t length = LineLength(from.line) - from.col + to.col;
    for (int l = from.line + 1; l < to.line; ++l) {
        length += LineLength(l);
    }
    return length + (to.line - from.line);
}

int TLineStore::StyleBefore(TTextPos pos) const {
    const TLineRef line = Line(pos.line);
    if (!line.runs.empty()) {
        return line.runs[line.RunAt(std::max(0, pos.col - 1))].style;
    }
    if (pos.line > 0) {
        const TLineRef above = Line(pos.line - 1);
        if (!above.runs.empty()) {
            return above.runs.back().style;
        }
    }
    return -1;
}

int64_t TLineStore::FragmentLength(const Fragment& fragment) {
    int64_t length = static_cast<int64_t>(fragment.size()) - 1;
    for (const TStoredLine& line : fragment) {
        length += line.text.Size();
    }
    return length;
}

TLineStore::Fragment TLineStore::FragmentFromLatin1(std::string_view text, int style) {
    Fragment fragment(1);
    AppendLines(fragment, text, std::string_view("\r\n"),
                [style](TStoredLine& line, std::string_view piece) { line.Append(piece, style); });
    return fragment;
}

TLineStore::Fragment TLineStore::FragmentFromUtf16(std::u16string_view text, int style) {
    Fragment fragment(1);
    AppendLines(
        fragment, text, std::u16string_view(u"\n"),
        [style](TStoredLine& line, std::u16string_view piece) { line.Append(piece, style); });
    return fragment;
}

TLineStore::Fragment TLineStore::FragmentFromStyled(const StyledText& text) {
    // Line by line: a large file is mostly plain ASCII lines, which go in as they are; only
    // a line with other characters is decoded, so no copy of the whole text is made.
    Fragment fragment(1);
    for (const StyledRun& run : text) {
        const int style = StyleIndex(run.style);
        AppendLines(fragment, std::string_view(run.text), std::string_view("\n"),
                    [style](TStoredLine& line, std::string_view piece) {
                        const bool ascii = std::all_of(piece.begin(), piece.end(), [](char c) {
                            return static_cast<unsigned char>(c) < 0x80;
                        });
                        if (ascii) {
                            line.Append(piece, style);
                        } else {
                            line.Append(Utf8ToUtf16(piece), style);
                        }
                    });
    }
    return fragment;
}

TLineStore::Fragment TLineStore::Extract(TTextPos from, TTextPos to) const {
    Fragment fragment;
    fragment.reserve(static_cast<size_t>(to.line - from.line + 1));
    for (int l = from.line; l <= to.line; ++l) {
        fragment.emplace_back();
        fragment.back().AppendSlice(Line(l), l == from.line ? from.col : 0,
                                    l == to.line ? to.col : LineLength(l));
    }
    return fragment;
}

TTextPos TLineStore::Replace(TTextPos from, TTextPos to, Fragment&& fragment) {
    for (size_t i = 1; i < fragment.size(); ++i) {
        fragment[i].rows = -1;
        if (m_measure) {
            m_measure(fragment[i]);
        }
    }
    // Text added at the end of a line whose characters are the last of their block (the
    // traffic's way): written after them, in time that follows the new text alone.
    if (from == to && from.col == LineLength(from.line) &&
        CanExtend(m_lines[static_cast<size_t>(from.line)], fragment.front())) {
        const TTextPos end = fragment.size() == 1
                                 ? TTextPos{from.line, from.col + fragment.front().text.Size()}
                                 : TTextPos{from.line + static_cast<int>(fragment.size()) - 1,
                                            fragment.back().text.Size()};
        fragment.front().rows = -1;
        if (m_measure) {
            m_measure(fragment.front());
        }
        std::vector<Record> added;
        added.reserve(fragment.size());
        added.push_back(Extend(m_lines[static_cast<size_t>(from.line)], fragment.front()));
        CommitLines(from.line, 1, std::move(fragment), std::move(added));
        return end;
    }
    const TLineRef first = Line(from.line);
    const TLineRef last = Line(to.line);
    const int lastLength = last.text.Size();
    TTextPos end;
    TStoredLine head;
    // Sized once: a line built here is built whole.
    head.text.Reserve(from.col + fragment.front().text.Size() +
                      (fragment.size() == 1 ? lastLength - to.col : 0));
    head.AppendSlice(first, 0, from.col);
    head.AppendSlice(fragment.front(), 0, fragment.front().text.Size());
    // The fragment's own lines become the new ones: a large text is not held twice.
    if (fragment.size() == 1) {
        end = {from.line, head.text.Size()};
        head.AppendSlice(last, to.col, lastLength);
        fragment.front() = std::move(head);
    } else {
        TStoredLine tail;
        tail.text.Reserve(fragment.back().text.Size() + lastLength - to.col);
        tail.AppendSlice(fragment.back(), 0, fragment.back().text.Size());
        end = {from.line + static_cast<int>(fragment.size()) - 1, tail.text.Size()};
        tail.AppendSlice(last, to.col, lastLength);
        fragment.front() = std::move(head);
        fragment.back() = std::move(tail);
        fragment.back().rows = -1;
        if (m_measure) {
            m_measure(fragment.back());
        }
    }
    fragment.front().rows = -1;
    if (m_measure) {
        m_measure(fragment.front());
    }
    CommitLines(from.line, to.line - from.line + 1, std::move(fragment), {});
    return end;
}

bool TLineStore::CanExtend(const Record& line, const TStoredLine& piece) const {
    if (piece.text.Empty()) {
        return true;
    }
    if (line.Size() > 0 && line.Wide() != piece.text.Wide()) {
        return false;
    }
    if (line.block < m_firstBlock || line.block - m_firstBlock >= m_blocks.size()) {
        return false;
    }
    const auto& block = m_blocks[line.block - m_firstBlock];
    return block && line.at + line.Bytes() == block->bytes.size() &&
           block->bytes.capacity() - block->bytes.size() >= piece.text.Bytes().size() &&
           block->runs.capacity() - block->runs.size() >= piece.runs.size() &&
           int64_t{line.Size()} + piece.text.Size() < int64_t{Record::kUniform};
}

TLineStore::Record TLineStore::Extend(const Record& line, const TStoredLine& piece) {
    Record record = line;
    record.rows = -1;
    record.receivedPayload = -1;
    const int size = piece.text.Size();
    if (size == 0) {
        if (line.Size() > 0) {
            ++m_blocks[line.block - m_firstBlock]->lines; // the old record is released after
        }
        return record;
    }
    // The layout of the whole line from its two parts: uniform when both are, with the
    // same advance.
    bool uniform = piece.uniform;
    float measure = piece.uniform ? piece.advance : piece.width;
    if (line.Size() > 0) {
        if (line.Uniform() && piece.uniform && std::abs(line.measure - piece.advance) <= 0.001f) {
            measure = line.measure;
        } else {
            uniform = false;
            measure = line.Width() + piece.width;
        }
    }
    record.measure = measure;
    record.sizeAndFlags = static_cast<uint32_t>(line.Size() + size) |
                          (piece.text.Wide() ? Record::kWide : 0) |
                          (uniform ? Record::kUniform : 0);
    TTextBlock& block = *m_blocks[line.block - m_firstBlock];
    const int shift = piece.text.Wide() ? 1 : 0;
    const uint32_t pieceAt = static_cast<uint32_t>(block.bytes.size());
    block.bytes.append(piece.text.Bytes());
    size_t next = 0;
    if (!block.runs.empty() && block.runs.back().style == piece.runs.front().style) {
        next = 1;
        if (line.Size() == 0) {
            record.run = static_cast<uint32_t>(block.runs.size() - 1);
        }
    } else if (line.Size() == 0) {
        record.run = static_cast<uint32_t>(block.runs.size());
    }
    for (size_t r = next; r < piece.runs.size(); ++r) {
        block.runs.push_back(
            {static_cast<int>(pieceAt + (static_cast<uint32_t>(piece.runs[r].start) << shift)),
             piece.runs[r].style});
    }
    block.runCount.store(static_cast<uint32_t>(block.runs.size()), std::memory_order_release);
    ++block.lines;
    return record;
}

TTextBlock& TLineStore::WritableBlock(size_t bytes, size_t runs) {
    if (m_haveWriteBlock) {
        TTextBlock& block = *m_blocks[m_writeBlock - m_firstBlock];
        if (block.bytes.capacity() - block.bytes.size() >= bytes &&
            block.runs.capacity() - block.runs.size() >= runs) {
            return block;
        }
        if (block.lines == 0) {
            m_blocks[m_writeBlock - m_firstBlock].reset();
        }
    }
    auto block = std::make_shared<TTextBlock>();
    block->bytes.reserve(kBlockBytes);
    block->runs.reserve(kBlockRuns);
    m_writeBlock = m_firstBlock + static_cast<uint32_t>(m_blocks.size());
    m_haveWriteBlock = true;
    m_blocks.push_back(std::move(block));
    while (!m_blocks.front()) {
        m_blocks.pop_front();
        ++m_firstBlock;
    }
    return *m_blocks.back();
}

TLineStore::Record TLineStore::Store(TStoredLine&& line) {
    Record record;
    record.rows = line.rows;
    record.receivedPayload = line.receivedPayload;
    record.measure = line.uniform ? line.advance : line.width;
    const int size = line.text.Size();
    record.sizeAndFlags = static_cast<uint32_t>(size) | (line.text.Wide() ? Record::kWide : 0) |
                          (line.uniform ? Record::kUniform : 0);
    if (size == 0) {
        // Where its text would go, so that text added to it can follow at once.
        if (m_haveWriteBlock) {
            record.block = m_writeBlock;
            record.at = static_cast<uint32_t>(m_blocks[m_writeBlock - m_firstBlock]->bytes.size());
        }
        return record;
    }
    const std::string& bytes = line.text.Bytes();
    TTextBlock* block = nullptr;
    if (bytes.size() > kBlockBytes / 4 || line.runs.size() > kBlockRuns / 4) {
        // A long line gets a block of its own with room to grow: a line built piece by
        // piece moves to a block twice its size when it fills one.
        auto own = std::make_shared<TTextBlock>();
        const auto expected = static_cast<size_t>(m_expectBytes);
        own->bytes.reserve(std::max(bytes.size() * 2, expected >= bytes.size() ? expected : 0));
        m_expectBytes = 0;
        own->runs.reserve(std::max<size_t>(line.runs.size() * 2, kBlockRuns / 4));
        record.block = m_firstBlock + static_cast<uint32_t>(m_blocks.size());
        m_blocks.push_back(own);
        block = own.get();
    } else {
        block = &WritableBlock(bytes.size(), line.runs.size());
        record.block = m_writeBlock;
    }
    record.at = static_cast<uint32_t>(block->bytes.size());
    block->bytes.append(bytes);
    const int shift = line.text.Wide() ? 1 : 0;
    // The first run goes on from the block's last one when it has the same style.
    size_t next = 0;
    if (!block->runs.empty() && block->runs.back().style == line.runs.front().style) {
        record.run = static_cast<uint32_t>(block->runs.size() - 1);
        next = 1;
    } else {
        record.run = static_cast<uint32_t>(block->runs.size());
    }
    for (size_t r = next; r < line.runs.size(); ++r) {
        block->runs.push_back(
            {static_cast<int>(record.at + (static_cast<uint32_t>(line.runs[r].start) << shift)),
             line.runs[r].style});
    }
    block->runCount.store(static_cast<uint32_t>(block->runs.size()), std::memory_order_release);
    ++block->lines;
    return record;
}

void TLineStore::Release(const Record& record) {
    if (record.Size() == 0) {
        return;
    }
    auto& block = m_blocks[record.block - m_firstBlock];
    if (--block->lines > 0) {
        return;
    }
    // Nothing stored is left in it (a reader holding it keeps it on its own).
    if (m_haveWriteBlock && record.block == m_writeBlock) {
        m_haveWriteBlock = false;
    }
    block.reset();
    while (!m_blocks.empty() && !m_blocks.front()) {
        m_blocks.pop_front();
        ++m_firstBlock;
    }
}

void TLineStore::CommitLines(int first, int count, Fragment&& lines, std::vector<Record>&& added) {
    BeforeChange(first, count, true);
    const auto at = static_cast<size_t>(first);
    std::vector<std::pair<int, uint32_t>> notes;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].note != 0 && i >= added.size()) {
            notes.emplace_back(first + static_cast<int>(i), lines[i].note);
        }
        if (i >= added.size()) {
            added.push_back(Store(std::move(lines[i])));
        }
        lines[i] = TStoredLine(); // a large line's buffer goes now, not with the fragment
    }
    for (size_t i = at; i < at + static_cast<size_t>(count); ++i) {
        const Record& old = m_lines[i];
        m_totalChars -= old.Size();
        m_memory -= LineBytes(static_cast<int>(i));
        if (old.Width() >= m_maxWidth) {
            m_maxWidthStale = true;
        }
    }
    // Released after the new lines are in: a line extended in place keeps its block.
    for (size_t i = at; i < at + static_cast<size_t>(count); ++i) {
        Release(m_lines[i]);
    }
    for (const Record& record : added) {
        m_totalChars += record.Size();
        m_memory += LineBytes(RefOf(record));
        m_maxWidth = std::max(m_maxWidth, record.Width());
    }
    const size_t n = added.size();
    const size_t common = std::min(static_cast<size_t>(count), n);
    std::copy(added.begin(), added.begin() + static_cast<std::ptrdiff_t>(common),
              m_lines.begin() + static_cast<std::ptrdiff_t>(at));
    if (n > common) {
        m_lines.insert(m_lines.begin() + static_cast<std::ptrdiff_t>(at + common),
                       added.begin() + static_cast<std::ptrdiff_t>(common), added.end());
    } else if (static_cast<size_t>(count) > n) {
        m_lines.erase(m_lines.begin() + static_cast<std::ptrdiff_t>(at + n),
                      m_lines.begin() + static_cast<std::ptrdiff_t>(at) + count);
    }
    ShiftNotes(first, count, static_cast<int>(n));
    for (const auto& [line, note] : notes) {
        SetNote(line, note);
    }
    m_chunksValid = std::min(m_chunksValid, at / kChunk + 1);
}

void TLineStore::DeleteFirstLines(int count) {
    count = std::min(count, Count() - 1);
    if (count <= 0) {
        return;
    }
    for (int i = 0; i < count; ++i) {
        m_totalChars -= LineLength(i);
        m_memory -= LineBytes(i);
    }
    BeforeChange(0, count, false);
    for (int i = 0; i < count; ++i) {
        Release(m_lines[static_cast<size_t>(i)]);
    }
    m_lines.erase(m_lines.begin(), m_lines.begin() + count);
    m_frontDropped += static_cast<uint64_t>(count);
    while (!m_notes.empty() && m_notes.front().line < m_frontDropped) {
        m_notes.pop_front();
        m_memory -= sizeof(NoteAt);
    }
    m_chunksValid = 0;
    m_maxWidthStale = true;
}

void TLineStore::Clear() {
    BeforeChange(0, Count(), true);
    ++m_clears;
    m_lines.clear();
    m_lines.emplace_back();
    m_firstBlock += static_cast<uint32_t>(m_blocks.size());
    m_blocks.clear();
    m_haveWriteBlock = false;
    m_notes.clear();
    m_totalChars = 0;
    m_memory = kLineOverhead;
    m_chunksValid = 0;
    m_chunkOffsets.clear();
    m_maxWidth = 0;
    m_maxWidthStale = false;
}

TLineStore::Snapshot TLineStore::Share(int lineEndStyle) const {
    Snapshot snapshot;
    snapshot.lines = m_lines;
    snapshot.firstBlock = m_firstBlock;
    snapshot.blocks.assign(m_blocks.begin(), m_blocks.end());
    snapshot.styles = m_styles;
    snapshot.lineEndStyle = lineEndStyle;
    snapshot.characters = TextLength();
    return snapshot;
}

StyledText TLineStore::Snapshot::Styled(size_t from, size_t to, bool breakAfterLast) const {
    StyledText out;
    int previous = -1;
    const auto push = [&](std::string text, int style) {
        if (text.empty()) {
            return;
        }
        previous = style;
        const TextStyle& def = styles[static_cast<size_t>(style)];
        if (!out.empty() && out.back().style == def) {
            out.back().text += text;
        } else {
            out.push_back({std::move(text), def});
        }
    };
    for (size_t l = from; l < to && l < lines.size(); ++l) {
        const TLineRef line = Line(l);
        for (size_t r = 0; r < line.runs.size(); ++r) {
            push(line.text.Utf8(line.runs[r].start, line.RunEnd(r)), line.runs[r].style);
        }
        if (l + 1 < lines.size() || breakAfterLast) {
            push("\n", previous >= 0 ? previous : lineEndStyle);
        }
    }
    return out;
}

std::string TLineStore::Latin1(TTextPos from, TTextPos to) const {
    std::string out;
    for (int l = from.line; l <= to.line; ++l) {
        out += Line(l).text.Latin1(l == from.line ? from.col : 0,
                                   l == to.line ? to.col : LineLength(l));
        if (l < to.line) {
            out += "\r\n";
        }
    }
    return out;
}

std::string TLineStore::Text() const {
    std::string out;
    out.reserve(static_cast<size_t>(TextLength()));
    for (int l = 0; l < Count(); ++l) {
        if (l > 0) {
            out += '\n';
        }
        out += Line(l).text.Latin1(0, LineLength(l));
    }
    return out;
}

StyledText TLineStore::Styled(TTextPos from, TTextPos to, int lineEndStyle) const {
    StyledText out;
    int previous = -1;
    const auto push = [&](std::string text, int style) {
        if (text.empty()) {
            return;
        }
        previous = style;
        const TextStyle& def = Style(style);
        if (!out.empty() && out.back().style == def) {
            out.back().text += text;
        } else {
            out.push_back({std::move(text), def});
        }
    };
    for (int l = from.line; l <= to.line; ++l) {
        const TLineRef line = Line(l);
        const int a = l == from.line ? from.col : 0;
        const int b = l == to.line ? to.col : line.text.Size();
        if (!line.runs.empty()) {
            for (size_t r = line.RunAt(a); r < line.runs.size(); ++r) {
                const int start = std::max(a, line.runs[r].start);
                const int end = std::min(b, line.RunEnd(r));
                if (start >= b) {
                    break;
                }
                push(line.text.Utf8(start, end), line.runs[r].style);
            }
        }
        if (l < to.line) {
            // The line end takes the style of the text before it.
            push("\n", previous >= 0 ? previous : lineEndStyle);
        }
    }
    return out;
}

int64_t TLineStore::Find(std::string_view needle, int64_t from, int64_t to, bool matchCase) const {
    to = std::min(to, TextLength());
    from = std::max<int64_t>(0, from);
    if (needle.empty() || from >= to) {
        return -1;
    }
    const int n = static_cast<int>(needle.size());
    // Without case, only a-z fold: accented letters compare as they are.
    const auto fold = [matchCase](char16_t c) {
        return !matchCase && c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c;
    };
    std::vector<char16_t> key(static_cast<size_t>(n));
    for (int k = 0; k < n; ++k) {
        key[static_cast<size_t>(k)] =
            fold(static_cast<unsigned char>(needle[static_cast<size_t>(k)]));
    }
    const TTextPos start = PosFromOffset(from);
    int64_t lineStart = OffsetOf({start.line, 0});
    for (size_t l = static_cast<size_t>(start.line); l < m_lines.size(); ++l) {
        if (l > static_cast<size_t>(start.line)) {
            lineStart += m_lines[l - 1].Size() + 1;
        }
        if (lineStart >= to) {
            break;
        }
        const TTextRef text = Line(static_cast<int>(l)).text;
        const int limit = static_cast<int>(std::min<int64_t>(text.Size(), to - lineStart));
        const int first = l == static_cast<size_t>(start.line) ? start.col : 0;
        if (!text.Wide()) {
            const auto* bytes = reinterpret_cast<const unsigned char*>(text.Narrow());
            for (int i = first; i + n <= limit; ++i) {
                if (fold(bytes[i]) != key[0]) {
                    continue;
                }
                int k = 1;
                while (k < n && fold(bytes[i + k]) == key[static_cast<size_t>(k)]) {
                    ++k;
                }
                if (k == n) {
                    return lineStart + i;
                }
            }
            continue;
        }
        for (int i = first; i + n <= limit; ++i) {
            if (fold(text.At(i)) != key[0]) {
                continue;
            }
            int k = 1;
            while (k < n && fold(text.At(i + k)) == key[static_cast<size_t>(k)]) {
                ++k;
            }
            if (k == n) {
                return lineStart + i;
            }
        }
    }
    return -1;
}

int OldestLinesCovering(int lineCount, int64_t wanted, int keep,
                        const std::function<int64_t(int)>& sizeOf) {
    int count = 0;
    int64_t covered = 0;
    while (covered < wanted && count < lineCount - keep) {
        covered += sizeOf(count);
        ++count;
    }
    return count;
}
