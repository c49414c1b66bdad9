// What a hostile document may cost: memory and time follow its size, not its number of
// runs times the length of its names.
#include "richtext/RichText.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

// Two fonts with 64 KiB names and a change of font before every character.
std::string FontPerCharacter(std::size_t characters) {
    std::string rtf = "{\\rtf1{\\fonttbl{\\f0 " + std::string(65536, 'N') + ";}{\\f1 " +
                      std::string(65536, 'M') + ";}}";
    for (std::size_t i = 0; i < characters; ++i) {
        rtf += "\\f" + std::to_string(i % 2) + " " + static_cast<char>('a' + i % 26);
    }
    return rtf + "}";
}

TEST(RtfBounds, RunsShareTheirFontNameAndNamesAreCut) {
    const StyledText text = ReadRtf(FontPerCharacter(50000));
    ASSERT_EQ(text.size(), 50000u);
    std::set<const std::string*> names;
    for (const StyledRun& run : text) {
        names.insert(&run.style.fontName.str());
    }
    // One stored name per font, however many runs use it.
    EXPECT_EQ(names.size(), 2u);
    EXPECT_EQ(text[0].style.fontName.str(), std::string(255, 'N'));
    EXPECT_EQ(text[1].style.fontName.str(), std::string(255, 'M'));

    // A copy of the text shares the names too, and a round trip keeps them.
    const StyledText copy = text;
    EXPECT_EQ(&copy[0].style.fontName.str(), &text[0].style.fontName.str());
    EXPECT_EQ(ReadRtf(WriteRtf(text)), text);
}

TEST(RtfBounds, ANameIsCutBetweenCharacters) {
    // 200 two-byte characters: the cut at 255 bytes falls inside one and moves before it.
    std::string name;
    for (int i = 0; i < 200; ++i) {
        name += "\\u1046?";
    }
    const StyledText text = ReadRtf("{\\rtf1{\\fonttbl{\\f0 " + name + ";}}\\f0 x}");
    ASSERT_EQ(text.size(), 1u);
    EXPECT_EQ(text[0].style.fontName.str().size(), 254u);
    EXPECT_EQ(text[0].style.fontName.str().substr(0, 2), "\xD0\x96");
}

TEST(RtfBounds, ALongParseReportsProgressAndCanBeCancelled) {
    const std::string rtf = "{\\rtf1 " + std::string(5 << 20, 'x') + "}";
    int reports = 0;
    const StyledText text = ReadRtf(rtf, [&](uint64_t done, uint64_t total) {
        EXPECT_LE(done, total);
        EXPECT_EQ(total, rtf.size());
        ++reports;
        return true;
    });
    EXPECT_EQ(StyledPlainText(text).size(), 5u << 20);
    EXPECT_GE(reports, 4);
    EXPECT_THROW(ReadRtf(rtf, [](uint64_t, uint64_t) { return false; }), ECancelled);
    EXPECT_THROW(StyledFromFile(rtf, TextStyle{}, [](uint64_t, uint64_t) { return false; }),
                 ECancelled);
}

} // namespace
