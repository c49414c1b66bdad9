#include "platform/Platform.h"

#include <gtest/gtest.h>

#include <string>

TEST(Platform, TimeOfDayAndStampsArePaddedAndUseTheSeparator) {
    const std::string sep(1, LocaleTimeSeparator());
    EXPECT_EQ(FormatTimeOfDay(7, 5, 9), "07" + sep + "05" + sep + "09");
    std::tm t{};
    t.tm_year = 2026 - 1900;
    t.tm_mon = 0;
    t.tm_mday = 2;
    t.tm_hour = 23;
    t.tm_min = 4;
    t.tm_sec = 5;
    EXPECT_EQ(FormatTimeOfDay(t), "23" + sep + "04" + sep + "05");
    EXPECT_EQ(FormatStamp(t), "20260102230405");
    EXPECT_EQ(CurrentStamp().size(), 14u);
    EXPECT_EQ(CurrentTimeOfDay().size(), 8u);
}

TEST(Platform, SeparatorIsColonInTheCLocale) {
    // The tests run without a user locale, where the time format is "%H:%M:%S".
    EXPECT_EQ(LocaleTimeSeparator(), ':');
}

TEST(Platform, OleDateTimeGivesItsTimeOfDay) {
    struct Case {
        double value;
        const char* text;
    } cases[] = {
        {0.0, "00:00:00"},
        {0.5, "12:00:00"},
        {46000.75, "18:00:00"},
        {0.4999999999, "12:00:00"},  // rounds to the millisecond first
        {0.99999999999, "00:00:00"}, // rounds up to the next midnight
        {-1.25, "06:00:00"},         // before 1899-12-30: fraction from midnight
        {(13 * 3600 + 14 * 60 + 15) / 86400.0, "13:14:15"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FormatOleTimeOfDay(c.value), c.text) << c.value;
    }
}

TEST(Platform, MillisecondClockAdvances) {
    const uint32_t a = TimeGetTime();
    const uint32_t b = SystemClock::Instance().Milliseconds();
    EXPECT_LT(static_cast<uint32_t>(b - a), 1000u);
}
