#pragma once
// Laying styled text out into pages: rows wrapped to the page width, as many rows as fit
// the page height, and the paginator that walks a text page by page.
//
// Positions are character offsets into the text, one per line break included, so a page
// is the range [start, end) of offsets and the pages of a text cover it without gap or
// overlap. Lengths are layout units: 96 to the inch.

#include "richtext/RichText.h"

#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <vector>

constexpr double LayoutUnitsPerInch = 96.0;

// The text to paginate: lines of characters, each character with a style of the table.
class TPrintText {
public:
    struct Run {
        size_t start;
        int style;
    };
    struct Line {
        std::u32string text;
        std::vector<Run> runs; // cover the text, the first starting at 0; none when empty
        int breakStyle = 0;    // the line break's (an empty line takes its height)
        bool hasBreak = false;
    };

    TPrintText() = default;
    // Styled text as the views give it: UTF-8, "\n" ends a line.
    explicit TPrintText(const StyledText& text);

    const std::vector<TextStyle>& Styles() const { return m_styles; }
    const std::vector<Line>& Lines() const { return m_lines; }
    int64_t Length() const { return m_length; }
    int64_t LineStart(size_t line) const { return m_lineStarts[line]; }
    // The line holding an offset (the last line for the end of the text).
    size_t LineOf(int64_t offset) const;

private:
    int StyleIndex(const TextStyle& style);

    std::vector<TextStyle> m_styles;
    std::vector<Line> m_lines;
    std::vector<int64_t> m_lineStarts;
    int64_t m_length = 0;
};

// What the layout needs of the fonts, in layout units.
class TTextMeasure {
public:
    virtual ~TTextMeasure() = default;
    virtual double Advance(int style, char32_t ch) = 0;
    virtual double RowHeight(int style) = 0;
    virtual double Ascent(int style) = 0;
};

struct TLaidRow {
    size_t line = 0;
    size_t from = 0; // characters [from, to) of the line
    size_t to = 0;
    double top = 0;
    double height = 0;
    double ascent = 0;
};

struct TLaidPage {
    int64_t start = 0;
    int64_t end = 0; // the first offset that did not fit
    std::vector<TLaidRow> rows;
};

// Lays out rows from start until the next would pass the height. Rows wrap at the last
// blank that fits, or between characters when a row has none; blanks at a row's end may
// stand past the width. A page takes at least one row even when it is higher than the
// page, so every page moves on.
TLaidPage LayOutPage(const TPrintText& text, TTextMeasure& measure, int64_t start, double width,
                     double height);

// The paginator: where the next page starts and where the last page drawn ended. Widths
// and heights are given in inches.
class TPaginator {
public:
    void Reset() { m_next = m_last = 0; }
    int64_t Next() const { return m_next; }
    int64_t Last() const { return m_last; }

    // Whether laying out from next gives a page that ends beyond last, and before
    // endBefore. Changes nothing.
    bool HasMorePages(const TPrintText& text, TTextMeasure& measure, double widthInches,
                      double heightInches,
                      int64_t endBefore = std::numeric_limits<int64_t>::max()) const;
    // Lays out the page at next and moves next to its end; the page to draw, unless it
    // ends at or before the last page drawn.
    std::optional<TLaidPage> NextPage(const TPrintText& text, TTextMeasure& measure,
                                      double widthInches, double heightInches);

private:
    int64_t m_next = 0;
    int64_t m_last = 0;
};

// Builds pages while hasMorePages says so. An error inside one page is passed over and
// the next tried, but a page that fails without moving position on ends the pagination:
// it would fail the same way for ever. Returns the pages made without error.
int RunPagination(const std::function<bool()>& hasMorePages, const std::function<void()>& makePage,
                  const std::function<int64_t()>& position);
// One page of RunPagination, for callers that build pages a few at a time between other
// work: sets made when a page was made without error, and returns whether the pagination
// goes on.
bool PaginationStep(const std::function<bool()>& hasMorePages,
                    const std::function<void()>& makePage, const std::function<int64_t()>& position,
                    bool& made);
