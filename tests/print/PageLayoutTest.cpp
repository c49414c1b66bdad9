// Laying text out into pages with fonts of known sizes: every character 10 units wide, a
// row as high as its style's size field. A page of 9.5 x 13.2 inches is 912 x 1267.2
// units, so 91 characters to a row and 63 rows of 20 to a page.

#include "print/PageLayout.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

class FixedMeasure final : public TTextMeasure {
public:
    explicit FixedMeasure(const TPrintText& text) : m_text(text) {}
    double Advance(int /*style*/, char32_t /*ch*/) override { return 10; }
    double RowHeight(int style) override {
        return m_text.Styles()[static_cast<size_t>(style)].sizeHalfPoints;
    }
    double Ascent(int style) override { return RowHeight(style) * 0.8; }

private:
    const TPrintText& m_text;
};

TextStyle Style(int rowHeight, uint32_t color = 0) {
    TextStyle style;
    style.sizeHalfPoints = rowHeight;
    style.color = color;
    return style;
}

std::string Lines(int count, const std::string& prefix) {
    std::string text;
    for (int i = 0; i < count; ++i) {
        text += prefix + std::to_string(i) + "\n";
    }
    return text;
}

std::string HexPairs(int count) {
    std::string text;
    for (int i = 0; i < count; ++i) {
        const char digits[] = "0123456789ABCDEF";
        text += digits[(i >> 4) & 15];
        text += digits[i & 15];
        text += ' ';
    }
    return text;
}

struct Paginated {
    std::vector<TLaidPage> pages;
    std::u32string text; // what the pages hold, line breaks included
    std::vector<std::u32string> rows;
};

Paginated Paginate(const TPrintText& text) {
    FixedMeasure measure(text);
    TPaginator paginator;
    Paginated out;
    while (paginator.HasMorePages(text, measure, 9.5, 13.2)) {
        const std::optional<TLaidPage> page = paginator.NextPage(text, measure, 9.5, 13.2);
        if (!page || out.pages.size() > 10000) {
            ADD_FAILURE() << "a page to draw was promised";
            break;
        }
        for (const TLaidRow& row : page->rows) {
            const TPrintText::Line& line = text.Lines()[row.line];
            const std::u32string part = line.text.substr(row.from, row.to - row.from);
            out.rows.push_back(part);
            out.text += part;
            if (row.to == line.text.size() && line.hasBreak) {
                out.text += U'\n';
            }
        }
        out.pages.push_back(*page);
    }
    return out;
}

std::u32string Wide(const std::string& ascii) {
    return std::u32string(ascii.begin(), ascii.end());
}

TEST(PageLayoutTest, PagesCoverTheTextInOrderWithoutGapOrOverlap) {
    struct Case {
        const char* name;
        StyledText text;
        size_t pages;
    };
    const std::vector<Case> cases = {
        {"short lines", {{Lines(200, "R[12:00:00] 01 02 03 #"), Style(20)}}, 4},
        {"exactly one page", {{Lines(63, "line "), Style(20)}}, 1},
        {"one line more", {{Lines(64, "line "), Style(20)}}, 2},
        // 30 pairs to a row: 100 rows of one line run across a page break.
        {"long hex line", {{HexPairs(3000) + "\n", Style(20)}}, 2},
        {"no blanks", {{std::string(91 * 130, 'x'), Style(20)}}, 3},
        {"empty lines", {{std::string(100, '\n'), Style(20)}}, 2},
        {"mixed heights",
         {{"R[1] ", Style(20, 0x808080)},
          {Lines(40, "tall "), Style(30, 0xFF)},
          {Lines(40, "short "), Style(20)}},
         2},
        {"no line break at the end", {{Lines(70, "a") + "last", Style(20)}}, 2},
    };
    for (const Case& c : cases) {
        const TPrintText text(c.text);
        const Paginated result = Paginate(text);
        EXPECT_EQ(result.pages.size(), c.pages) << c.name;
        EXPECT_EQ(result.text, Wide(StyledPlainText(c.text))) << c.name;
        int64_t expectedStart = 0;
        for (const TLaidPage& page : result.pages) {
            EXPECT_EQ(page.start, expectedStart) << c.name;
            EXPECT_GT(page.end, page.start) << c.name;
            expectedStart = page.end;
            const TLaidRow& last = page.rows.back();
            EXPECT_LE(last.top + last.height, 1267.2) << c.name;
        }
        EXPECT_EQ(expectedStart, text.Length()) << c.name;
    }
}

TEST(PageLayoutTest, RowsWrapAtBlanksAndNeverSplitAPair) {
    const TPrintText text(StyledText{{"R[12:00:00.000] " + HexPairs(200) + "\n", Style(20)}});
    const Paginated result = Paginate(text);
    ASSERT_GT(result.rows.size(), 5u);
    for (const std::u32string& row : result.rows) {
        EXPECT_LE(row.size(), 92u); // 91 characters and a hanging blank
        if (row != result.rows.back()) {
            EXPECT_EQ(row.back(), U' ');
        }
    }
    EXPECT_EQ(result.rows[1].substr(0, 3), U"19 ");
}

TEST(PageLayoutTest, AWordWiderThanTheRowBreaksBetweenCharacters) {
    const TPrintText text(StyledText{{"ab " + std::string(200, 'x'), Style(20)}});
    const Paginated result = Paginate(text);
    ASSERT_EQ(result.rows.size(), 4u);
    EXPECT_EQ(result.rows[0], U"ab ");
    EXPECT_EQ(result.rows[1], std::u32string(91, U'x'));
    EXPECT_EQ(result.rows[2], std::u32string(91, U'x'));
    EXPECT_EQ(result.rows[3], std::u32string(18, U'x'));
}

TEST(PageLayoutTest, ARowHigherThanThePageStillTakesAPage) {
    const TPrintText text(StyledText{{"a\nb\nc\n", Style(2000)}});
    const Paginated result = Paginate(text);
    EXPECT_EQ(result.pages.size(), 3u);
    EXPECT_EQ(result.text, U"a\nb\nc\n");
}

TEST(PageLayoutTest, AnEmptyTextHasNoPages) {
    for (const StyledText& styled : {StyledText{}, StyledText{{"", Style(20)}}}) {
        const TPrintText text(styled);
        FixedMeasure measure(text);
        TPaginator paginator;
        EXPECT_EQ(text.Length(), 0);
        EXPECT_FALSE(paginator.HasMorePages(text, measure, 9.5, 13.2));
    }
}

TEST(PageLayoutTest, HasMorePagesChangesNothingAndAPageIsDrawnOnce) {
    const TPrintText text(StyledText{{Lines(100, "x"), Style(20)}});
    FixedMeasure measure(text);
    TPaginator paginator;
    EXPECT_TRUE(paginator.HasMorePages(text, measure, 9.5, 13.2));
    EXPECT_TRUE(paginator.HasMorePages(text, measure, 9.5, 13.2));
    EXPECT_EQ(paginator.Next(), 0);
    EXPECT_EQ(paginator.Last(), 0);

    const std::optional<TLaidPage> first = paginator.NextPage(text, measure, 9.5, 13.2);
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(first->rows.size(), 63u);
    EXPECT_EQ(paginator.Next(), first->end);
    EXPECT_EQ(paginator.Last(), first->end);
    ASSERT_TRUE(paginator.NextPage(text, measure, 9.5, 13.2).has_value());
    EXPECT_EQ(paginator.Next(), text.Length());
    EXPECT_FALSE(paginator.HasMorePages(text, measure, 9.5, 13.2));
    EXPECT_FALSE(paginator.NextPage(text, measure, 9.5, 13.2).has_value());

    paginator.Reset();
    EXPECT_EQ(paginator.Next(), 0);
    EXPECT_TRUE(paginator.HasMorePages(text, measure, 9.5, 13.2));
}

TEST(PageLayoutTest, TextsWithCharactersBeyondLatin1KeepTheirOffsets) {
    // "é" and "€" are one character each, whatever their UTF-8 length; a broken sequence
    // stands for one replacement character.
    const TPrintText text(StyledText{{"\xC3\xA9\xE2\x82\xAC\n\xC3x", Style(20)}});
    ASSERT_EQ(text.Lines().size(), 2u);
    EXPECT_EQ(text.Lines()[0].text, U"\u00E9\u20AC");
    EXPECT_EQ(text.Lines()[1].text, U"\uFFFDx");
    EXPECT_EQ(text.Length(), 5);
    EXPECT_EQ(text.LineOf(3), 1u);
}

// A paginator stand-in: pages at positions 0, 10, 20, ... up to a given end, with pages
// that fail on request.
struct ScriptedPages {
    int64_t position = 0;
    int64_t end = 30;
    std::vector<int> failAfterMoving; // page numbers (from 1) that fail half-way
    std::vector<int> failWithoutMoving;
    int attempts = 0;

    int Run() {
        return RunPagination([this] { return position < end; },
                             [this] {
                                 ++attempts;
                                 if (std::find(failWithoutMoving.begin(), failWithoutMoving.end(),
                                               attempts) != failWithoutMoving.end()) {
                                     throw std::runtime_error("page failed");
                                 }
                                 position += 10;
                                 if (std::find(failAfterMoving.begin(), failAfterMoving.end(),
                                               attempts) != failAfterMoving.end()) {
                                     throw std::runtime_error("drawing failed");
                                 }
                             },
                             [this] { return position; });
    }
};

TEST(PageLayoutTest, PaginationPassesOverFailedPagesButEndsOnOneThatCannotMoveOn) {
    struct Case {
        const char* name;
        std::vector<int> failAfterMoving;
        std::vector<int> failWithoutMoving;
        int made;
        int attempts;
        int64_t position;
    };
    const std::vector<Case> cases = {
        {"all pages", {}, {}, 3, 3, 30},
        {"second page fails half-way", {2}, {}, 2, 3, 30},
        {"second page fails at once", {}, {2}, 1, 2, 10},
        {"first page fails at once", {}, {1}, 0, 1, 0},
    };
    for (const Case& c : cases) {
        ScriptedPages pages;
        pages.failAfterMoving = c.failAfterMoving;
        pages.failWithoutMoving = c.failWithoutMoving;
        EXPECT_EQ(pages.Run(), c.made) << c.name;
        EXPECT_EQ(pages.attempts, c.attempts) << c.name;
        EXPECT_EQ(pages.position, c.position) << c.name;
    }
}

} // namespace
