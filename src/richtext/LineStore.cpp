#include "richtext/LineStore.h"

#include "richtext/CodePage.h"

#include <algorithm>
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

// ---------------------------------------------------------------- TLineText

char16_t TLineText::At(int i) const {
    const auto at = static_cast<size_t>(i);
    if (!m_wide) {
        return static_cast<unsigned char>(m_bytes[at]);
    }
    char16_t c;
    std::memcpy(&c, m_bytes.data() + at * 2, 2);
    return c;
}

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

void TLineText::AppendSlice(const TLineText& source, int from, int to) {
    if (from >= to) {
        return;
    }
    const auto a = static_cast<size_t>(from);
    const auto n = static_cast<size_t>(to - from);
    if (!source.m_wide) {
        Append(std::string_view(source.m_bytes).substr(a, n));
    } else {
        Append(source.Utf16(from, to));
    }
}

std::u16string TLineText::Utf16(int from, int to) const {
    std::u16string out(static_cast<size_t>(std::max(0, to - from)), u'\0');
    if (m_wide) {
        std::memcpy(out.data(), m_bytes.data() + static_cast<size_t>(from) * 2, out.size() * 2);
    } else {
        for (size_t i = 0; i < out.size(); ++i) {
            out[i] = static_cast<unsigned char>(m_bytes[static_cast<size_t>(from) + i]);
        }
    }
    return out;
}

std::string TLineText::Latin1(int from, int to) const {
    if (!m_wide) {
        return m_bytes.substr(static_cast<size_t>(from),
                              static_cast<size_t>(std::max(0, to - from)));
    }
    std::string out;
    out.reserve(static_cast<size_t>(std::max(0, to - from)));
    for (int i = from; i < to; ++i) {
        const char16_t c = At(i);
        out += c < 0x100 ? static_cast<char>(c) : '?';
    }
    return out;
}

std::string TLineText::Utf8(int from, int to) const {
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

void TStoredLine::AppendSlice(const TStoredLine& source, int from, int to) {
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

size_t TStoredLine::RunAt(int col) const {
    const auto it = std::upper_bound(runs.begin(), runs.end(), col,
                                     [](int c, const TStyleRun& run) { return c < run.start; });
    return it == runs.begin() ? 0 : static_cast<size_t>(it - runs.begin() - 1);
}

// ---------------------------------------------------------------- TLineStore

TLineStore::TLineStore() {
    m_lines.push_back(std::make_shared<TStoredLine>());
    m_memory = LineBytes(*m_lines.back());
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

int64_t TLineStore::LineBytes(const TStoredLine& line) {
    return static_cast<int64_t>(sizeof(TStoredLine) + line.text.HeapBytes() +
                                line.runs.capacity() * sizeof(TStyleRun));
}

int64_t TLineStore::LineBytesFor(int64_t characters, int runs) {
    return static_cast<int64_t>(sizeof(TStoredLine)) + (characters > 15 ? characters + 1 : 0) +
           runs * static_cast<int64_t>(sizeof(TStyleRun));
}

float TLineStore::MaxWidth() {
    if (m_maxWidthStale) {
        m_maxWidth = 0;
        for (const auto& line : m_lines) {
            m_maxWidth = std::max(m_maxWidth, line->width);
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

void TLineStore::EnsureOffsets() const {
    const size_t n = m_lines.size();
    if (m_offsetsValid >= n && m_lineOffsets.size() == n) {
        return;
    }
    m_lineOffsets.resize(n);
    if (m_offsetsValid == 0) {
        m_lineOffsets[0] = 0;
        m_offsetsValid = 1;
    }
    for (size_t i = m_offsetsValid; i < n; ++i) {
        m_lineOffsets[i] = m_lineOffsets[i - 1] + m_lines[i - 1]->text.Size() + 1;
    }
    m_offsetsValid = n;
}

int64_t TLineStore::OffsetOf(TTextPos pos) const {
    EnsureOffsets();
    return m_lineOffsets[static_cast<size_t>(pos.line)] + pos.col;
}

TTextPos TLineStore::PosFromOffset(int64_t offset) const {
    EnsureOffsets();
    offset = std::clamp<int64_t>(offset, 0, TextLength());
    const auto it = std::upper_bound(m_lineOffsets.begin(), m_lineOffsets.end(), offset);
    const int line = static_cast<int>(it - m_lineOffsets.begin()) - 1;
    return Clamp({line, static_cast<int>(offset - m_lineOffsets[static_cast<size_t>(line)])});
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
    const TStoredLine& line = Line(pos.line);
    if (!line.runs.empty()) {
        return line.runs[line.RunAt(std::max(0, pos.col - 1))].style;
    }
    if (pos.line > 0 && !Line(pos.line - 1).runs.empty()) {
        return Line(pos.line - 1).runs.back().style;
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
    const TStoredLine& first = Line(from.line);
    const TStoredLine& last = Line(to.line);
    const int lastLength = last.text.Size();
    TTextPos end;
    TStoredLine head;
    // Sized once: a line of traffic is built here whole, and kept at this size.
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
    }
    for (TStoredLine& line : fragment) {
        line.rows = -1;
        if (m_measure) {
            m_measure(line);
        }
    }
    ReplaceLines(from.line, to.line - from.line + 1, std::move(fragment));
    return end;
}

void TLineStore::ReplaceLines(int first, int count, std::vector<TStoredLine>&& lines) {
    for (int i = first; i < first + count; ++i) {
        const TStoredLine& old = Line(i);
        m_totalChars -= old.text.Size();
        m_memory -= LineBytes(old);
        if (old.width >= m_maxWidth) {
            m_maxWidthStale = true;
        }
    }
    for (const TStoredLine& line : lines) {
        m_totalChars += line.text.Size();
        m_memory += LineBytes(line);
        m_maxWidth = std::max(m_maxWidth, line.width);
    }
    const int n = static_cast<int>(lines.size());
    const int common = std::min(count, n);
    const auto at = m_lines.begin() + first;
    for (int i = 0; i < common; ++i) {
        at[i] = std::make_shared<TStoredLine>(std::move(lines[static_cast<size_t>(i)]));
    }
    if (n > count) {
        std::vector<std::shared_ptr<TStoredLine>> added;
        added.reserve(static_cast<size_t>(n - count));
        for (size_t i = static_cast<size_t>(count); i < lines.size(); ++i) {
            added.push_back(std::make_shared<TStoredLine>(std::move(lines[i])));
        }
        m_lines.insert(m_lines.begin() + first + count, added.begin(), added.end());
    } else if (n < count) {
        m_lines.erase(m_lines.begin() + first + n, m_lines.begin() + first + count);
    }
    m_offsetsValid = std::min(m_offsetsValid, static_cast<size_t>(first) + 1);
}

void TLineStore::DeleteFirstLines(int count) {
    count = std::min(count, Count() - 1);
    if (count <= 0) {
        return;
    }
    for (int i = 0; i < count; ++i) {
        m_totalChars -= LineLength(i);
        m_memory -= LineBytes(Line(i));
    }
    m_lines.erase(m_lines.begin(), m_lines.begin() + count);
    m_frontDropped += static_cast<uint64_t>(count);
    m_offsetsValid = 0;
    m_maxWidthStale = true;
}

void TLineStore::Clear() {
    ++m_clears;
    m_lines.clear();
    m_lines.push_back(std::make_shared<TStoredLine>());
    m_totalChars = 0;
    m_memory = LineBytes(*m_lines.back());
    m_offsetsValid = 0;
    m_maxWidth = 0;
    m_maxWidthStale = false;
}

TLineStore::Snapshot TLineStore::Share(int lineEndStyle) const {
    Snapshot snapshot;
    snapshot.lines.assign(m_lines.begin(), m_lines.end());
    snapshot.styles = m_styles;
    snapshot.lineEndStyle = lineEndStyle;
    snapshot.characters = TextLength();
    return snapshot;
}

StyledText TLineStore::Snapshot::Styled(size_t from, size_t to) const {
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
        const TStoredLine& line = *lines[l];
        for (size_t r = 0; r < line.runs.size(); ++r) {
            push(line.text.Utf8(line.runs[r].start, line.RunEnd(r)), line.runs[r].style);
        }
        if (l + 1 < lines.size()) {
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
        const TStoredLine& line = Line(l);
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
    EnsureOffsets();
    const TTextPos start = PosFromOffset(from);
    for (size_t l = static_cast<size_t>(start.line); l < m_lines.size(); ++l) {
        const int64_t lineStart = m_lineOffsets[l];
        if (lineStart >= to) {
            break;
        }
        const TLineText& text = m_lines[l]->text;
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
