#include "print/PageLayout.h"

#include <algorithm>
#include <exception>

namespace {

constexpr char32_t Replacement = 0xFFFD;

// UTF-8 to code points; a malformed sequence gives one replacement character per byte.
std::u32string DecodeUtf8(const std::string& utf8) {
    std::u32string out;
    out.reserve(utf8.size());
    size_t i = 0;
    const size_t n = utf8.size();
    while (i < n) {
        const auto b = static_cast<unsigned char>(utf8[i]);
        int extra = 0;
        char32_t cp = 0;
        if (b < 0x80) {
            out.push_back(b);
            ++i;
            continue;
        } else if ((b & 0xE0) == 0xC0) {
            extra = 1;
            cp = b & 0x1Fu;
        } else if ((b & 0xF0) == 0xE0) {
            extra = 2;
            cp = b & 0x0Fu;
        } else if ((b & 0xF8) == 0xF0) {
            extra = 3;
            cp = b & 0x07u;
        } else {
            out.push_back(Replacement);
            ++i;
            continue;
        }
        if (i + static_cast<size_t>(extra) >= n) {
            out.push_back(Replacement);
            ++i;
            continue;
        }
        bool valid = true;
        for (int k = 1; k <= extra; ++k) {
            const auto c = static_cast<unsigned char>(utf8[i + static_cast<size_t>(k)]);
            if ((c & 0xC0) != 0x80) {
                valid = false;
                break;
            }
            cp = (cp << 6) | (c & 0x3Fu);
        }
        if (!valid) {
            out.push_back(Replacement);
            ++i;
            continue;
        }
        out.push_back(cp);
        i += static_cast<size_t>(extra) + 1;
    }
    return out;
}

// Walks the style runs of a line forward.
class TRunCursor {
public:
    TRunCursor(const TPrintText::Line& line, size_t column) : m_runs(line.runs) {
        const auto after =
            std::upper_bound(m_runs.begin(), m_runs.end(), column,
                             [](size_t c, const TPrintText::Run& run) { return c < run.start; });
        m_index = after == m_runs.begin() ? 0 : static_cast<size_t>(after - m_runs.begin()) - 1;
    }
    int StyleAt(size_t column) {
        while (m_index + 1 < m_runs.size() && m_runs[m_index + 1].start <= column) {
            ++m_index;
        }
        return m_runs[m_index].style;
    }

private:
    const std::vector<TPrintText::Run>& m_runs;
    size_t m_index = 0;
};

// The end of the row that starts at column from.
size_t WrapRow(const TPrintText::Line& line, size_t from, double width, TTextMeasure& measure) {
    const size_t n = line.text.size();
    TRunCursor styles(line, from);
    double x = 0;
    size_t lastBreak = 0;
    for (size_t i = from; i < n; ++i) {
        const char32_t ch = line.text[i];
        const double advance = measure.Advance(styles.StyleAt(i), ch);
        if (ch == U' ') {
            x += advance;
            lastBreak = i + 1;
            continue;
        }
        // The tolerance keeps a row of exactly the width from wrapping on rounding.
        if (i > from && x + advance > width + 1e-6) {
            return lastBreak > from ? lastBreak : i;
        }
        x += advance;
    }
    return n;
}

} // namespace

TPrintText::TPrintText(const StyledText& text) {
    Line current;
    int lastStyle = -1;
    for (const StyledRun& run : text) {
        const int style = StyleIndex(run.style);
        lastStyle = style;
        for (const char32_t ch : DecodeUtf8(run.text)) {
            if (ch == U'\n') {
                current.breakStyle = style;
                current.hasBreak = true;
                m_lines.push_back(std::move(current));
                current = Line();
                current.breakStyle = style;
                continue;
            }
            if (current.runs.empty() || current.runs.back().style != style) {
                current.runs.push_back({current.text.size(), style});
            }
            current.text.push_back(ch);
        }
    }
    if (m_styles.empty()) {
        lastStyle = StyleIndex(TextStyle());
    }
    if (current.runs.empty() && !current.hasBreak) {
        current.breakStyle = lastStyle;
    }
    m_lines.push_back(std::move(current));

    m_lineStarts.reserve(m_lines.size());
    for (const Line& line : m_lines) {
        m_lineStarts.push_back(m_length);
        m_length += static_cast<int64_t>(line.text.size()) + (line.hasBreak ? 1 : 0);
    }
}

int TPrintText::StyleIndex(const TextStyle& style) {
    // Views hold few styles; the newest is the likeliest match.
    for (size_t i = m_styles.size(); i-- > 0;) {
        if (m_styles[i] == style) {
            return static_cast<int>(i);
        }
    }
    m_styles.push_back(style);
    return static_cast<int>(m_styles.size()) - 1;
}

size_t TPrintText::LineOf(int64_t offset) const {
    const auto after = std::upper_bound(m_lineStarts.begin(), m_lineStarts.end(), offset);
    if (after == m_lineStarts.begin()) {
        return 0;
    }
    return static_cast<size_t>(after - m_lineStarts.begin()) - 1;
}

TLaidPage LayOutPage(const TPrintText& text, TTextMeasure& measure, int64_t start, double width,
                     double height) {
    TLaidPage page;
    start = std::clamp<int64_t>(start, 0, text.Length());
    page.start = page.end = start;
    const auto& lines = text.Lines();
    size_t li = text.LineOf(start);
    size_t column = static_cast<size_t>(start - text.LineStart(li));
    double y = 0;
    while (li < lines.size()) {
        const TPrintText::Line& line = lines[li];
        column = std::min(column, line.text.size());
        const size_t rowEnd = WrapRow(line, column, width, measure);

        TLaidRow row{li, column, rowEnd, y, 0, 0};
        if (column == rowEnd) {
            row.height = measure.RowHeight(line.breakStyle);
            row.ascent = measure.Ascent(line.breakStyle);
        } else {
            TRunCursor styles(line, column);
            for (size_t i = column; i < rowEnd;) {
                const int style = styles.StyleAt(i);
                row.height = std::max(row.height, measure.RowHeight(style));
                row.ascent = std::max(row.ascent, measure.Ascent(style));
                // On to the next run.
                while (i < rowEnd && styles.StyleAt(i) == style) {
                    ++i;
                }
            }
        }
        if (!page.rows.empty() && y + row.height > height + 1e-6) {
            break;
        }
        page.rows.push_back(row);
        y += row.height;
        if (rowEnd >= line.text.size()) {
            page.end = text.LineStart(li) + static_cast<int64_t>(line.text.size()) +
                       (line.hasBreak ? 1 : 0);
            ++li;
            column = 0;
        } else {
            column = rowEnd;
            page.end = text.LineStart(li) + static_cast<int64_t>(column);
        }
    }
    return page;
}

bool TPaginator::HasMorePages(const TPrintText& text, TTextMeasure& measure, double widthInches,
                              double heightInches, int64_t endBefore) const {
    const TLaidPage page = LayOutPage(text, measure, m_next, widthInches * LayoutUnitsPerInch,
                                      heightInches * LayoutUnitsPerInch);
    return page.end > m_last && page.end < endBefore;
}

std::optional<TLaidPage> TPaginator::NextPage(const TPrintText& text, TTextMeasure& measure,
                                              double widthInches, double heightInches) {
    TLaidPage page = LayOutPage(text, measure, m_next, widthInches * LayoutUnitsPerInch,
                                heightInches * LayoutUnitsPerInch);
    m_next = page.end;
    if (page.end <= m_last) {
        return std::nullopt;
    }
    m_last = page.end;
    return page;
}

bool PaginationStep(const std::function<bool()>& hasMorePages,
                    const std::function<void()>& makePage, const std::function<int64_t()>& position,
                    bool& made) {
    made = false;
    const int64_t before = position();
    try {
        if (!hasMorePages()) {
            return false;
        }
        makePage();
        made = true;
    } catch (const std::exception&) {
        // Passed over: the page stays as far as it got, and the next one is tried.
    }
    return position() != before;
}

int RunPagination(const std::function<bool()>& hasMorePages, const std::function<void()>& makePage,
                  const std::function<int64_t()>& position) {
    int made = 0;
    bool more = true;
    while (more) {
        bool madeOne = false;
        more = PaginationStep(hasMorePages, makePage, position, madeOne);
        made += madeOne ? 1 : 0;
    }
    return made;
}
