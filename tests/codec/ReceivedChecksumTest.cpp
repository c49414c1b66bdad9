// The trailing checksum of received lines, for every computation of the send window.

#include "codec/ReceivedChecksum.h"

#include "codec/ChecksumNames.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using Outcome = TReceivedChecksum::Outcome;

TEST(ReceivedChecksum, GoodAndDamagedFramesOfEveryComputation) {
    // The checksums of 01 03 00 00 00 0A under each name.
    const struct {
        const char* name;
        const char* checksum;
    } cases[] = {
        {"SUM", "0E"},           {"SUM-LH", "0E 00"},       {"SUM-HL", "00 0E"},
        {"XOR", "08"},           {"Modbus-CRC16", "C5 CD"}, {"Modbus-LRC16", "F2"},
        {"ANSI-CRC16", "C5 CD"}, {"CCITT-CRC16", "38 0A"},  {"CCITT-CRC8", "46"},
    };
    for (const auto& c : cases) {
        const ChecksumAlgorithm algorithm = ChecksumChoiceNamed(c.name)->algorithm;
        const std::string good = std::string("01 03 00 00 00 0A ") + c.checksum;
        const TReceivedChecksum ok = CheckReceivedChecksum(good, algorithm);
        EXPECT_EQ(ok.outcome, Outcome::Good) << c.name;
        EXPECT_EQ(ok.expected, c.checksum) << c.name;
        EXPECT_EQ(good.substr(ok.checksumStart), c.checksum) << c.name;

        // One bit flipped in the data: the checksum no longer fits, and the expected value
        // is that of the damaged data. Lower-case digits read the same.
        const std::string damaged = std::string("01 03 00 00 00 0b ") + c.checksum;
        const TReceivedChecksum bad = CheckReceivedChecksum(damaged, algorithm);
        EXPECT_EQ(bad.outcome, Outcome::Bad) << c.name;
        EXPECT_EQ(bad.expected, ChecksumText("01 03 00 00 00 0B", algorithm)) << c.name;
        EXPECT_NE(bad.expected, c.checksum) << c.name;

        // The checksum alone, without a data byte before it, is not checked.
        EXPECT_EQ(CheckReceivedChecksum(c.checksum, algorithm).outcome, Outcome::Unchecked)
            << c.name;
    }
}

TEST(ReceivedChecksum, OnlyLinesOfHexPairsAreChecked) {
    const struct {
        const char* line;
        Outcome outcome;
    } cases[] = {
        {"", Outcome::Unchecked},
        {"OK\r\n", Outcome::Unchecked},
        {"AT+CSQ", Outcome::Unchecked},
        {"01 0", Outcome::Unchecked},
        {"41 42 43 zz", Outcome::Unchecked},
        {"0102 03", Outcome::Good},
        {"01 02 04", Outcome::Bad},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CheckReceivedChecksum(c.line, ChecksumAlgorithm::Sum8).outcome, c.outcome)
            << c.line;
    }
}

} // namespace
