#include "richtext/RichText.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string ReadFixture(const std::string& name) {
    std::ifstream in(std::string(RTF_FIXTURES) + "/" + name, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

TextStyle Style(uint32_t color, std::string font = "Courier New", int size = 18, bool bold = false,
                int charset = 0) {
    TextStyle style;
    style.color = color;
    style.fontName = std::move(font);
    style.sizeHalfPoints = size;
    style.bold = bold;
    style.charset = charset;
    return style;
}

// The lines of the text with the colour each character of the line has, as
// "colour:text" pieces, so a failure shows which line went wrong.
std::vector<std::string> ColouredLines(const StyledText& text) {
    std::vector<std::string> lines(1);
    for (const StyledRun& run : text) {
        std::size_t start = 0;
        while (start <= run.text.size()) {
            const std::size_t end = run.text.find('\n', start);
            const std::string piece = run.text.substr(start, end - start);
            if (!piece.empty()) {
                char colour[16];
                std::snprintf(colour, sizeof colour, "%06X:", run.style.color);
                lines.back() += (lines.back().empty() ? "" : "|") + std::string(colour) + piece;
            }
            if (end == std::string::npos) {
                break;
            }
            lines.emplace_back();
            start = end + 1;
        }
    }
    return lines;
}

const StyledRun* RunContaining(const StyledText& text, std::string_view piece) {
    for (const StyledRun& run : text) {
        if (run.text.find(piece) != std::string::npos) {
            return &run;
        }
    }
    return nullptr;
}

TEST(RichTextWriter, RoundTripKeepsTextAndStyles) {
    std::string allBytes;
    for (int b = 0; b < 256; ++b) {
        allBytes += static_cast<char>(b);
    }
    const StyledText cases[] = {
        {},
        {{"one line without end", Style(0)}},
        {{"ends with a line end\n", Style(0)}},
        {{"empty lines follow\n\n\n", Style(0)}},
        {{"\n", Style(0)}},
        {{"[12:34:56 ---] ", Style(0x808080)},
         {"01 03 00 00 00 0A C5 CD\n", Style(0xC80000)},
         {"bold ", Style(0x0000FF, "Arial", 24, true)},
         {"big\tTAB {braces} back\\slash; semi\n", Style(0x123456, "Times New Roman", 40)},
         {"GB font: \xE4\xB8\xAD\xE6\x96\x87 and \xC3\xA9\x01\x7F",
          Style(0, "SimSun", 18, false, 134)},
         {"\xE5\xAE\x8B font name",
          Style(0, "\xE5\xAE\x8B\xE4\xBD\x93; odd {name}", 18, false, 134)},
         {"emoji \xF0\x9F\x98\x80 and \xE2\x82\xAC\n", Style(0xFFFFFF)},
         {" leading blank, tab then blank:\t x", Style(0x010203)},
         {"9 digit first", Style(0x040506)},
         {"last", Style(0x00FF00)}},
        {{Latin1ToUtf8(allBytes), Style(0)},
         {Latin1ToUtf8(allBytes), Style(0, "Courier New", 18, false, 134)}},
    };
    for (const StyledText& text : cases) {
        const std::string rtf = WriteRtf(text);
        SCOPED_TRACE(rtf);
        for (std::size_t i = 0; i < rtf.size(); ++i) {
            ASSERT_LT(static_cast<unsigned char>(rtf[i]), 0x80u) << "at " << i;
            if (rtf[i] == '\n') {
                ASSERT_TRUE(i > 0 && rtf[i - 1] == '\r') << "bare LF at " << i;
            }
        }
        EXPECT_TRUE(LooksLikeRtf(rtf));
        EXPECT_EQ(ReadRtf(rtf), MergeRuns(text));
    }
}

TEST(RichTextWriter, WritesWhatWordProcessorsExpect) {
    const std::string rtf = WriteRtf({{"a\xC3\xA9\n", Style(0x0000FF, "Arial", 20, true)}});
    EXPECT_TRUE(rtf.starts_with("{\\rtf1\\ansi\\ansicpg1252\\deff0\\uc1{\\fonttbl"
                                "{\\f0\\fnil\\fcharset0 Arial;}}\r\n"
                                "{\\colortbl ;\\red255\\green0\\blue0;}\r\n"))
        << rtf;
    EXPECT_NE(rtf.find("\\f0\\fs20\\cf1\\b a\\'e9\\par\r\n}"), std::string::npos) << rtf;
}

TEST(RichTextReader, TrafficFixtureFromRichEditWithCodePage936) {
    const StyledText text = ReadRtf(ReadFixture("richedit-gb2312-traffic.rtf"));
    const std::vector<std::string> expected = {
        "808080:[09:15:00 ---] |C80000:01 03 00 00 00 0A C5 CD ",
        "808080:[09:15:00  98] |0000C8:01 03 14 00 01 00 02 00 03 00 04 00 05 00 06 00 07 00 08 "
        "00 09 00 0A 9F 2C",
        "808080:[09:15:01 ---] |C80000:R\xE4\xB8\xAD\xE6\x96\x87 OK",
        "",
        "",
    };
    EXPECT_EQ(ColouredLines(text), expected);
    const StyledRun* chinese = RunContaining(text, "\xE4\xB8\xAD\xE6\x96\x87");
    ASSERT_NE(chinese, nullptr);
    EXPECT_EQ(chinese->style, Style(0xC80000, "\xE5\xAE\x8B\xE4\xBD\x93", 18, false, 134));
    EXPECT_EQ(text.front().style, Style(0x808080));
}

TEST(RichTextReader, ColouredLinesFromWordProcessor) {
    const StyledText text = ReadRtf(ReadFixture("wordprocessor-colored-lines.rtf"));
    const std::vector<std::string> expected = {
        "808080:[12:34:56 ---] |C80000:01 03 00 00 00 0A C5 CD ",
        "808080:[12:34:56 42] |0000C8:01 03 14 00 01 00 02 00 03 00 04 00 05 00 06 00 07 00 08 "
        "00 09 00 0A 9F 2C",
        "808080:[R x] |0000C8:Hello, world!",
        "000000:plain black line with braces { } and a backslash \\ and a tab here",
        "FF0000:bold blue|000000: and accents: \xC3\xA9 \xC3\xBC \xC3\x9F \xC2\xA9 \xC3\xBF",
        "000000:Greek \xCE\xB1 \xCE\xB2 and CJK \xE4\xB8\xAD\xE6\x96\x87 beyond Latin-1",
        "",
    };
    EXPECT_EQ(ColouredLines(text), expected);
    const StyledRun* bold = RunContaining(text, "bold blue");
    ASSERT_NE(bold, nullptr);
    EXPECT_EQ(bold->style, Style(0xFF0000, "Courier New", 18, true));
    const StyledRun* plain = RunContaining(text, "plain black");
    ASSERT_NE(plain, nullptr);
    EXPECT_EQ(plain->style, Style(0, "Courier New", 18, false));
}

TEST(RichTextReader, StructuresFromWordProcessorKeepEveryParagraphItemAndCell) {
    const StyledText text = ReadRtf(ReadFixture("wordprocessor-structures.rtf"));
    EXPECT_EQ(StyledPlainText(text), "Heading\n"
                                     "First paragraph italic and underline.\n"
                                     "\xE2\x80\xA2\titem one\n"
                                     "\xE2\x80\xA2\titem two\n"
                                     "cell A\tcell B\n"
                                     "After table. Footnote-free.\n");
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.front().text, "Heading\n");
    EXPECT_EQ(text.front().style, Style(0, "Liberation Sans Unicode MS", 48, true));
    const StyledRun* body = RunContaining(text, "First paragraph");
    ASSERT_NE(body, nullptr);
    EXPECT_EQ(body->style, Style(0, "Times New Roman", 24, false));
}

TEST(RichTextReader, ChecksumFragmentGivesBlackDataAndBlueChecksum) {
    const std::string fragment = ChecksumFragmentRtf("01 03 00 00 00 0A", "C5 CD");
    EXPECT_EQ(fragment,
              "{\\rtf1\\ansi\\ansicpg936\\deff0\\deflang1033\\deflangfe2052{\\fonttbl{\\f0\\fnil"
              "\\fcharset0 Courier New;}}\r\n"
              "{\\colortbl ;\\red0\\green0\\blue0;\\red0\\green0\\blue255;}\r\n"
              "\\viewkind4\\uc1\\pard\\cf1\\lang2052\\f0\\fs18\r\n"
              "{\\cf1 01 03 00 00 00 0A\\cf2  C5 CD}");
    const StyledText expected = {{"01 03 00 00 00 0A", Style(0x000000)},
                                 {" C5 CD", Style(0xFF0000)}};
    EXPECT_EQ(ReadRtf(fragment), expected);
    // A selection over two lines: the line break inside the data is not text.
    EXPECT_EQ(StyledPlainText(ReadRtf(ChecksumFragmentRtf("01 03\r\n00 0A", "41 E4"))),
              "01 0300 0A 41 E4");
}

TEST(RichTextReader, ControlWordsAndDestinations) {
    struct Case {
        const char* rtf;
        const char* text;
    };
    const Case cases[] = {
        {"{\\rtf1 a\\par b\\line c\\tab d\\par}", "a\nb\nc\td\n"},
        {"{\\rtf1 \\u233?\\uc0\\u233 \\uc2\\u233??x}", "\xC3\xA9\xC3\xA9\xC3\xA9x"},
        {"{\\rtf1 \\u-4064?\\u-10179?\\u-8704?}", "\xEF\x80\xA0\xF0\x9F\x98\x80"},
        {"{\\rtf1 {\\uc2 \\u233\\'80}\\'80}", "\xC3\xA9\xE2\x82\xAC"},
        {"{\\rtf1 \\u20013{\\'3f}x}", "\xE4\xB8\xAD?x"},
        {"{\\rtf1 \\u-10179?y}", "\xEF\xBF\xBDy"},
        {"{\\rtf1\\ansi\\ansicpg936 \\'d6\\'d0\\'81@}", "\xE4\xB8\xAD\xE4\xB8\x82"},
        {"{\\rtf1{\\fonttbl{\\f0\\cpg936 X;}{\\f1\\fcharset134 Y;}{\\f2\\fcharset0 Z;}}"
         "\\f0\\'d6\\'d0\\f1\\'ce\\'c4\\f2\\'d6\\'d0}",
         "\xE4\xB8\xAD\xE6\x96\x87\xC3\x96\xC3\x90"},
        {"{\\rtf1 a{\\*\\unknown hidden}b{\\info{\\title t}}c{\\pict\\bin3 }}}}d{\\*\\x {\\y z}}e}",
         "abcde"},
        {"{\\rtf1 x{\\*\\generator w;}{\\field{\\*\\fldinst HYPERLINK}{\\fldrslt link}}}", "xlink"},
        {"{\\rtf1 \\{\\}\\\\\\~\\-\\_\\emdash\\bullet}",
         "{}\\\xC2\xA0\xE2\x80\x91\xE2\x80\x94\xE2\x80\xA2"},
        {"{\\rtf1 \\trowd a\\cell b\\cell\\row\\pard c\\par}", "a\tb\nc\n"},
        {"{\\rtf1 text}trailing garbage", "text"},
        {"{\\rtf1 no closing brace", "no closing brace"},
        {"{\\rtf1 raw\r\nlines\r\n\\\r\nx}", "rawlines\nx"},
        {"\xEF\xBB\xBF{\\rtf1 bom}", "bom"},
        {"{\\rtf1 \\'e9\\'4\\'zz}", "\xC3\xA9"
                                    "4zz"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(StyledPlainText(ReadRtf(c.rtf)), c.text) << c.rtf;
    }
}

TEST(RichTextReader, GroupsRestoreStyleAndPlainResets) {
    const std::string rtf = "{\\rtf1{\\fonttbl{\\f0\\fcharset0 Arial;}{\\f1 Courier New;}}"
                            "{\\colortbl;\\red255\\green0\\blue0;\\red0\\green0\\blue255;}"
                            "\\f1\\fs18\\cf1 red{\\cf2\\b\\highlight3 blue}red\\plain plain"
                            "\\cf9 nine\\cf0 auto}";
    const StyledText expected = {{"red", Style(0x0000FF)},
                                 {"blue", Style(0xFF0000, "Courier New", 18, true)},
                                 {"red", Style(0x0000FF)},
                                 {"plainnineauto", Style(0, "Arial", 24)}};
    EXPECT_EQ(ReadRtf(rtf), expected);
}

TEST(RichTextPlain, NonRtfFilesLoadAsLatin1Lines) {
    const TextStyle style = Style(0x00FF00, "Courier New", 18);
    const std::string bytes("a\r\nb\rc\nd\xFF\x00\r", 11);
    const StyledText expected = {{std::string("a\nb\nc\nd\xC3\xBF\x00\n", 11), style}};
    EXPECT_EQ(PlainTextToStyled(bytes, style), expected);
    EXPECT_EQ(StyledFromFile(bytes, style), expected);
    EXPECT_TRUE(PlainTextToStyled("", style).empty());
    EXPECT_FALSE(LooksLikeRtf("rtf1 {\\rtf"));
    EXPECT_TRUE(LooksLikeRtf(" \r\n{\\rtf1"));
    EXPECT_EQ(StyledPlainText(StyledFromFile("\n {\\rtf1 x}", style)), "x");
}

TEST(RichTextLatin1, ConversionsKeepEveryByte) {
    std::string allBytes;
    for (int b = 0; b < 256; ++b) {
        allBytes += static_cast<char>(b);
    }
    EXPECT_EQ(Utf8ToLatin1(Latin1ToUtf8(allBytes)), allBytes);
    EXPECT_EQ(Latin1ToUtf8("\xE9"), "\xC3\xA9");
    EXPECT_EQ(Utf8ToLatin1("a\xE4\xB8\xAD"
                           "b\xC3"),
              "a?b?");
    EXPECT_EQ(Utf8ToLatin1("\xC0\xAF", '_'), "__"); // overlong encoding of '/'
}

} // namespace
