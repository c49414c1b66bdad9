#include "richtext/LineStore.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

TextStyle Colored(uint32_t color) {
    TextStyle style;
    style.color = color;
    return style;
}

// Appends at the end, as the traffic pump does: a prefix, then a payload ending a line.
void AppendRecord(TLineStore& store, std::string_view prefix, std::string_view payload) {
    const int grey = store.StyleIndex(Colored(0x808080));
    const int blue = store.StyleIndex(Colored(0xC80000));
    store.Replace(store.End(), store.End(), TLineStore::FragmentFromLatin1(prefix, grey));
    store.Replace(store.End(), store.End(),
                  TLineStore::FragmentFromLatin1(std::string(payload) + "\r\n", blue));
}

} // namespace

TEST(LineStoreTest, TrafficIsHeldOneBytePerCharacterAndOnlyAWideLineWidens) {
    TLineStore store;
    const int64_t empty = store.MemoryBytes();
    std::string hex;
    for (int i = 0; i < 100000; ++i) {
        hex += "A5 ";
    }
    AppendRecord(store, "[12:00:00   5] ", hex);
    AppendRecord(store, "", std::string("\x00\r\xFF\n", 4));
    // Every byte value survives; a lone CR or LF does not end a line.
    EXPECT_EQ(store.Count(), 3);
    EXPECT_EQ(store.Line(1).text.Latin1(0, 4), std::string("\x00\r\xFF\n", 4));
    EXPECT_FALSE(store.Line(0).text.Wide());
    const int64_t perChar =
        (store.MemoryBytes() - empty) * 1000 / static_cast<int64_t>(hex.size() + 15);
    EXPECT_LE(perChar, 1010) << "bytes per 1000 characters";

    // A character beyond Latin-1 widens its own line only and reads back as '?' in 8 bits.
    const int style = store.StyleIndex(TextStyle{});
    store.Replace({1, 1}, {1, 1}, TLineStore::FragmentFromUtf16(u"\u4E2D", style));
    EXPECT_TRUE(store.Line(1).text.Wide());
    EXPECT_FALSE(store.Line(0).text.Wide());
    EXPECT_EQ(store.Line(1).text.Utf16(0, 3), std::u16string(u"\0\u4E2D\r", 3));
    EXPECT_EQ(store.Line(1).text.Latin1(0, 5), std::string("\x00?\r\xFF\n", 5));
    EXPECT_EQ(store.Line(1).text.Utf8(1, 2), "\xE4\xB8\xAD");
}

// The bookkeeping per line, besides the characters: by the store's own count of what it
// holds, and of what it has allocated (blocks in full, so text left behind by changes too).
// A style run costs 8 bytes and is shared by the lines it spans.
TEST(LineStoreTest, ALineCostsItsCharactersAndAtMost32BytesBesidesARunPerChangeOfStyle) {
    struct Shape {
        const char* name;
        int lines;
        int length;       // characters a line
        int styleChanges; // a line, its start counted when the line before ended otherwise
        bool asTraffic;   // appended piece by piece at the end, as the pump does
    };
    const Shape shapes[] = {
        {"empty lines", 200000, 0, 0, false},
        {"short lines", 200000, 2, 0, false},
        {"lines of 60", 50000, 60, 0, false},
        {"records", 50000, 40, 2, true},
    };
    for (const Shape& shape : shapes) {
        TLineStore store;
        const int64_t empty = store.MemoryBytes();
        const std::string line(static_cast<size_t>(shape.length), 'x');
        if (shape.asTraffic) {
            for (int i = 0; i < shape.lines; ++i) {
                AppendRecord(store, line.substr(0, 15), line.substr(15));
            }
        } else {
            std::string text;
            for (int i = 0; i < shape.lines; ++i) {
                text += line + "\n";
            }
            store.Replace({0, 0}, {0, 0}, store.FragmentFromStyled({{text, Colored(0x800000)}}));
        }
        ASSERT_EQ(store.Count(), shape.lines + 1) << shape.name;
        ASSERT_EQ(store.LineLength(shape.lines / 2), shape.length) << shape.name;
        const int64_t characters = int64_t{shape.lines} * shape.length;
        const int64_t extraRuns = int64_t{shape.lines} * shape.styleChanges;
        const int64_t counted = store.MemoryBytes() - empty - characters;
        const int64_t held = store.HeldBytes() - characters;
        EXPECT_LE(counted, int64_t{32} * shape.lines + 8 * extraRuns) << shape.name;
        EXPECT_LE(held, int64_t{32} * shape.lines + 8 * extraRuns) << shape.name;
        EXPECT_EQ(store.Line(shape.lines - 1).text.Latin1(0, shape.length), line) << shape.name;
    }
}

TEST(LineStoreTest, ASnapshotKeepsItsTextWhileTheStoreChangesAndTrims) {
    TLineStore store;
    for (int i = 0; i < 30000; ++i) {
        AppendRecord(store, "[" + std::to_string(i) + "] ", "01 02 03");
    }
    const TLineStore::Snapshot snapshot = store.Share(0);
    const StyledText before = store.Styled({0, 0}, store.End(), 0);
    // Lines change in the middle and at the end, the oldest go, and new ones come: the
    // blocks the snapshot reads stay as they were.
    store.Replace({5, 2}, {7, 1}, TLineStore::FragmentFromUtf16(u"\u4E2D\nz", 0));
    store.DeleteFirstLines(20000);
    for (int i = 0; i < 30000; ++i) {
        AppendRecord(store, "[new] ", "AA BB");
    }
    store.DeleteFirstLines(25000);
    EXPECT_EQ(snapshot.Styled(0, snapshot.lines.size()), before);
    EXPECT_EQ(store.Line(0).text.Latin1(0, 6), "[new] ");
}

// A reading copies the line records a slice at a time; between slices the store takes
// traffic, drops its oldest lines, is edited, cleared or destroyed. The reading still
// gives the text as it was, and holds records of its own only for lines the store dropped
// or changed before they were read.
TEST(LineStoreTest, AReadingInSlicesGivesTheTextAsItWasAndKeepsOnlyWhatChanged) {
    enum class Change { Traffic, Trim, Edit, Clear, Gone };
    struct Case {
        const char* name;
        Change change;
        // Records the reading may hold besides its slice after the change.
        size_t maxKept;
    };
    const Case cases[] = {
        {"traffic at the end", Change::Traffic, 0},    {"oldest lines dropped", Change::Trim, 1500},
        {"an edit in the middle", Change::Edit, 5000}, {"cleared", Change::Clear, 5000},
        {"store destroyed", Change::Gone, 5000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto store = std::make_unique<TLineStore>();
        for (int i = 0; i < 5000; ++i) {
            AppendRecord(*store, "[" + std::to_string(i) + "] ", "01 02 03");
        }
        const StyledText before = store->Styled({0, 0}, store->End(), 0);
        const std::unique_ptr<TLineStore::Reading> reading = store->BeginReading(0);
        EXPECT_EQ(reading->Lines(), 5001u);
        StyledText read;
        TLineStore::Snapshot slice;
        const auto takeSlice = [&] {
            reading->Take(1000, 1 << 20, slice);
            EXPECT_LE(slice.lines.size(), 1000u);
            for (StyledRun& run : slice.Styled(0, slice.lines.size(), !reading->Done())) {
                if (!read.empty() && read.back().style == run.style) {
                    read.back().text += run.text;
                } else {
                    read.push_back(std::move(run));
                }
            }
        };
        takeSlice(); // lines 0 ... 999
        switch (c.change) {
        case Change::Traffic:
            for (int i = 0; i < 3000; ++i) {
                AppendRecord(*store, "[new] ", "AA BB");
            }
            break;
        case Change::Trim:
            store->DeleteFirstLines(2500); // 1500 of them not read yet
            for (int i = 0; i < 3000; ++i) {
                AppendRecord(*store, "[new] ", "AA BB");
            }
            break;
        case Change::Edit:
            store->Replace({3000, 1}, {3001, 2}, TLineStore::FragmentFromLatin1("x", 0));
            break;
        case Change::Clear:
            store->Clear();
            break;
        case Change::Gone:
            store.reset();
            break;
        }
        EXPECT_LE(reading->Kept(), c.maxKept);
        while (!reading->Done()) {
            takeSlice();
        }
        EXPECT_EQ(reading->Kept(), 0u);
        EXPECT_EQ(MergeRuns(read), MergeRuns(before));
    }
}

TEST(LineStoreTest, NotesStayWithTheirLinesAndGoWithThem) {
    TLineStore store;
    const int style = store.StyleIndex(TextStyle{});
    store.Replace({0, 0}, {0, 0}, TLineStore::FragmentFromUtf16(u"a\nb\nc\nd\ne\n", style));
    store.SetNote(1, 11);
    store.SetNote(3, 33);
    store.SetNote(4, 44);
    // Two lines in before "b": its note moves down with it.
    store.Replace({0, 1}, {0, 1}, TLineStore::FragmentFromUtf16(u"\nx\ny", style));
    EXPECT_EQ(store.Note(3), 11u);
    EXPECT_EQ(store.Note(5), 33u);
    // A line built anew (here "d" joined with "e") has none.
    store.Replace({5, 1}, {6, 0}, TLineStore::Fragment(1));
    EXPECT_EQ(store.Note(5), 0u);
    EXPECT_EQ(store.Note(6), 0u);
    store.DeleteFirstLines(3);
    EXPECT_EQ(store.Note(0), 11u);
    store.SetNote(0, 0);
    EXPECT_EQ(store.Note(0), 0u);
    int64_t memory = 0;
    for (int l = 0; l < store.Count(); ++l) {
        memory += TLineStore::LineBytes(store.Line(l));
    }
    EXPECT_EQ(store.MemoryBytes(), memory);
}

TEST(LineStoreTest, RandomEditsMatchAPlainTextModel) {
    TLineStore store;
    const int styles[] = {store.StyleIndex(Colored(1)), store.StyleIndex(Colored(2))};
    std::u16string model; // "\n" between lines
    std::mt19937 random(7);
    const std::u16string pieces[] = {u"ab", u"\n", u"x\ny", u"\u00E9", u"\u4E2D", u"", u"1234"};
    for (int step = 0; step < 2000; ++step) {
        const int64_t length = store.TextLength();
        ASSERT_EQ(length, static_cast<int64_t>(model.size()));
        int64_t a = std::uniform_int_distribution<int64_t>(0, length)(random);
        int64_t b = std::uniform_int_distribution<int64_t>(0, length)(random);
        if (a > b) {
            std::swap(a, b);
        }
        if (step % 3 == 0) {
            b = a; // mostly insertions, so the text grows
        }
        const std::u16string& piece = pieces[random() % std::size(pieces)];
        const TTextPos from = store.PosFromOffset(a);
        const TTextPos to = store.PosFromOffset(b);
        ASSERT_EQ(store.OffsetOf(from), a);
        ASSERT_EQ(store.RangeLength(from, to), b - a);
        const TTextPos end =
            store.Replace(from, to, TLineStore::FragmentFromUtf16(piece, styles[step % 2]));
        model.replace(static_cast<size_t>(a), static_cast<size_t>(b - a), piece);
        ASSERT_EQ(store.OffsetOf(end), a + static_cast<int64_t>(piece.size()));
        if (step % 250 == 0 && store.Count() > 3) {
            const int64_t cut = store.OffsetOf({2, 0});
            store.DeleteFirstLines(2);
            model.erase(0, static_cast<size_t>(cut));
        }
    }
    std::u16string text;
    for (int l = 0; l < store.Count(); ++l) {
        text += store.Line(l).text.Utf16(0, store.LineLength(l));
        if (l + 1 < store.Count()) {
            text += u'\n';
        }
        // Runs cover the text, start at 0, and never repeat a style side by side.
        const auto& runs = store.Line(l).runs;
        ASSERT_EQ(runs.empty(), store.LineLength(l) == 0);
        for (size_t r = 0; r < runs.size(); ++r) {
            ASSERT_EQ(runs[r].start == 0, r == 0);
            ASSERT_TRUE(r == 0 ||
                        (runs[r].start > runs[r - 1].start && runs[r].style != runs[r - 1].style));
        }
    }
    EXPECT_EQ(text, model);
    // The memory estimate follows the changes: it equals that of the same lines built anew.
    int64_t memory = 0;
    for (int l = 0; l < store.Count(); ++l) {
        memory += TLineStore::LineBytes(store.Line(l));
    }
    EXPECT_EQ(store.MemoryBytes(), memory);
}

TEST(LineStoreTest, StyledTextRoundTripsAndLineEndsTakeTheStyleBefore) {
    TLineStore store;
    const StyledText text = {{"[R x] ", Colored(0x808080)},
                             {"01 03\n\n", Colored(0xC80000)},
                             {"caf\xC3\xA9 \xE4\xB8\xAD", Colored(0x0000C8)}};
    store.Replace({0, 0}, {0, 0}, store.FragmentFromStyled(text));
    EXPECT_EQ(store.Count(), 3);
    EXPECT_EQ(store.Line(0).runs.size(), 2u);
    EXPECT_EQ(store.Styled({0, 0}, store.End(), 0), text);
    // Reading from the second line: its break has no text before it to take a style from.
    const int lineEnd = store.StyleIndex(Colored(0x123456));
    const StyledText tail = store.Styled({1, 0}, store.End(), lineEnd);
    ASSERT_EQ(tail.size(), 2u);
    EXPECT_EQ(tail[0], (StyledRun{"\n", Colored(0x123456)}));
    EXPECT_EQ(store.Latin1({0, 3}, {2, 4}), "x] 01 03\r\n\r\ncaf\xE9");
}

TEST(LineStoreTest, FindStaysWithinALineAndFoldsOnlyAsciiLetters) {
    TLineStore store;
    const int style = store.StyleIndex(TextStyle{});
    store.Replace({0, 0}, {0, 0},
                  TLineStore::FragmentFromUtf16(u"abc\ncAB\u00E9\nxx\u00C9 \u4E2Dab", style));
    struct Case {
        std::string needle;
        int64_t from;
        int64_t to;
        bool matchCase;
        int64_t found;
    };
    const Case cases[] = {
        {"ab", 0, 100, true, 0},    {"ab", 1, 100, true, 14},  {"AB", 1, 100, false, 5},
        {"AB", 1, 100, true, 5},    {"cab", 0, 100, false, 4}, {"c\nc", 0, 100, false, -1},
        {"\xE9", 0, 100, false, 7}, {"\xC9", 0, 7, false, -1}, {"\xC9", 0, 100, false, 11},
        {"ab", 0, 15, true, 0},     {"ab", 1, 15, true, -1},   {"", 0, 100, true, -1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(store.Find(c.needle, c.from, c.to, c.matchCase), c.found)
            << c.needle << " " << c.from << ".." << c.to;
    }
}

TEST(LineStoreTest, OldestLinesCoveringTakesTheFewestLinesAndKeepsTheLast) {
    const std::vector<int64_t> sizes = {2300, 2300, 1, 5, 2300, 0};
    const auto sizeOf = [&](int i) { return sizes[static_cast<size_t>(i)]; };
    struct Case {
        int64_t wanted;
        int keep;
        int count;
    };
    const Case cases[] = {{0, 1, 0},    {1, 1, 1},    {2300, 1, 1},   {2301, 1, 2},
                          {4601, 1, 3}, {4605, 1, 4}, {100000, 1, 5}, {100000, 2, 4}};
    for (const Case& c : cases) {
        EXPECT_EQ(OldestLinesCovering(static_cast<int>(sizes.size()), c.wanted, c.keep, sizeOf),
                  c.count)
            << c.wanted << " keep " << c.keep;
    }
}

// A line that grows piece by piece (a file's huge line, filled slice by slice) moves out of
// the shared blocks once; told how long it gets, it is given room for all of it then and is
// written in place from there on, instead of being copied every time it outgrows its block.
TEST(LineStoreTest, ALineExpectedToGrowIsWrittenInPlaceOnceItHasItsOwnBlock) {
    constexpr int kPiece = 256 * 1024;
    constexpr int kPieces = 40; // 10 MiB
    struct Case {
        const char* name;
        int64_t expected;    // what the store is told, 0: nothing
        size_t placesAtMost; // distinct places the line's characters were seen at
        size_t placesAtLeast;
    };
    const Case cases[] = {
        {"told", int64_t{kPiece} * kPieces, 2, 1},
        {"told more than it gets", int64_t{kPiece} * kPieces * 2, 2, 1},
        // Without being told it is copied as it doubles: the count above is not trivially met.
        {"not told", 0, kPieces, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TLineStore store;
        const int plain = store.StyleIndex(TextStyle{});
        std::vector<const char*> places;
        for (int i = 0; i < kPieces; ++i) {
            store.ExpectLineBytes(c.expected);
            const std::string piece(kPiece, static_cast<char>('a' + i % 26));
            store.Replace(store.End(), store.End(), TLineStore::FragmentFromLatin1(piece, plain));
            const char* at = store.Line(0).text.Narrow();
            if (places.empty() || places.back() != at) {
                places.push_back(at);
            }
        }
        store.ExpectLineBytes(0);
        EXPECT_LE(places.size(), c.placesAtMost);
        EXPECT_GE(places.size(), c.placesAtLeast);
        ASSERT_EQ(store.Count(), 1);
        ASSERT_EQ(store.LineLength(0), kPiece * kPieces);
        const TLineRef line = store.Line(0);
        for (int i = 0; i < kPieces; ++i) {
            ASSERT_EQ(line.text.At(i * kPiece), 'a' + i % 26) << i;
            ASSERT_EQ(line.text.At(i * kPiece + kPiece - 1), 'a' + i % 26) << i;
        }
        ASSERT_EQ(line.runs.size(), 1u);
        // The room given is not counted as text.
        EXPECT_LE(store.HeldBytes() - int64_t{kPiece} * kPieces, 64);
    }
}
