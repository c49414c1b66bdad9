#include "protocol/Values.h"
#include "codec/HexCodec.h"
#include "protocol/ModbusFrames.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {

// The C library of Windows has no setenv.
void UseUtc() {
#ifdef _WIN32
    _putenv_s("TZ", "UTC");
    _tzset();
#else
    setenv("TZ", "UTC", 1);
    tzset();
#endif
}

// Samples as "name=value@time#origin" for compact expectations.
std::vector<std::string> Texts(const TSeriesNames& names,
                               const std::vector<TValueSample>& samples) {
    std::vector<std::string> texts;
    for (const TValueSample& s : samples) {
        char value[32];
        std::snprintf(value, sizeof value, "%g", s.value);
        texts.push_back(names.Names().at(s.series) + "=" + value + "@" + std::to_string(s.timeMs) +
                        "#" + std::to_string(s.origin));
    }
    return texts;
}

struct TLineCase {
    const char* name;
    std::vector<std::string> records; // fed at times 10, 20, ... with origins 1, 2, ...
    std::vector<std::string> expected;
    uint64_t malformed = 0;
};

class TextValues : public testing::TestWithParam<TLineCase> {};

TEST_P(TextValues, TurnLinesIntoSamples) {
    const TLineCase& c = GetParam();
    TSeriesNames names;
    TTextValueSource source(names);
    std::vector<TValueSample> samples;
    for (size_t i = 0; i < c.records.size(); ++i) {
        source.Feed(10 * (i + 1), i + 1, c.records[i], samples);
    }
    source.Finish(samples);
    EXPECT_EQ(Texts(names, samples), c.expected);
    EXPECT_EQ(source.Stats().malformed, c.malformed);
}

std::vector<TLineCase> LineCases() {
    return {
        {"LabelColon", {"temp:23.5 hum:40\n"}, {"temp=23.5@10#1", "hum=40@10#1"}},
        {"LabelEqualsCommaTab",
         {"a=1,b=-2.5\tc=1e3\r\n"},
         {"a=1@10#1", "b=-2.5@10#1", "c=1000@10#1"}},
        {"LabelSpaceValue", {"volts: 3.3 amps: 0.25\n"}, {"volts=3.3@10#1", "amps=0.25@10#1"}},
        {"BareNumbersByPlace",
         {"1.5 2.5\n", "7,8,+9\n"},
         {"1=1.5@10#1", "2=2.5@10#1", "1=7@20#2", "2=8@20#2", "3=9@20#2"}},
        {"LineSpansRecordsTakesItsFirstRecord",
         {"temp:2", "1.5\nhum", ":40\n"},
         {"temp=21.5@10#1", "hum=40@20#2"}},
        {"LastLineWithoutEnd", {"x:1\nx:2"}, {"x=1@10#1", "x=2@10#1"}},
        {"WordsAreNotSamples", {"booting v1.2 ready\n", "ok\n"}, {}},
        {"MalformedAndNonFiniteRefused",
         {"temp:abc hum:nan x:inf y:-INF z:1.5.2 w:4\n"},
         {"w=4@10#1"},
         5},
        {"LabelAppearsMidStream", {"a:1\n", "a:2 b:3\n"}, {"a=1@10#1", "a=2@20#2", "b=3@20#2"}},
        {"EmptyLinesAndCrLf", {"\r\n\r\n5\r\n"}, {"1=5@10#1"}},
    };
}

INSTANTIATE_TEST_SUITE_P(Lines, TextValues, testing::ValuesIn(LineCases()),
                         [](const auto& param) { return param.param.name; });

TEST(TextValues, HugeLineIsSkippedAndTheNextLineParsed) {
    TSeriesNames names;
    TTextValueSource source(names);
    std::vector<TValueSample> samples;
    const std::string huge(TTextValueSource::kMaxLine * 3, '7');
    source.Feed(1, 1, huge, samples);
    source.Feed(2, 2, "\nv:1\n", samples);
    EXPECT_EQ(Texts(names, samples), (std::vector<std::string>{"v=1@2#2"}));
    EXPECT_EQ(source.Stats().longLines, 1u);
}

TEST(TextValues, SeriesPastTheLimitAreRefusedWithOneMessageEach) {
    TSeriesNames names;
    TTextValueSource source(names);
    std::vector<TValueSample> samples;
    std::string line;
    for (int i = 0; i < 20; ++i) {
        line += "s" + std::to_string(i) + ":" + std::to_string(i) + " ";
    }
    source.Feed(1, 1, line + "\n" + line + "\n", samples);
    EXPECT_EQ(names.Names().size(), TSeriesNames::kMaxSeries);
    EXPECT_EQ(samples.size(), 2 * TSeriesNames::kMaxSeries);
    EXPECT_EQ(source.Stats().refused, 8u);
    const std::vector<std::string> messages = names.TakeMessages();
    ASSERT_EQ(messages.size(), 4u);
    EXPECT_EQ(messages[0], "more than 16 series: \"s16\" is not plotted");
    EXPECT_TRUE(names.TakeMessages().empty());
}

std::vector<TModbusFrame>
Decode(std::initializer_list<std::pair<TModbusDirection, std::string>> records) {
    TModbusRtuDecoder decoder;
    std::vector<TModbusFrame> frames;
    uint64_t time = 100;
    for (const auto& [direction, bytes] : records) {
        decoder.Feed(direction, time, bytes, frames);
        time += 10;
    }
    decoder.Finish(frames);
    return frames;
}

TEST(ModbusValues, RegistersOfReadRepliesAndWritesPerSlaveAndRegister) {
    constexpr auto Tx = TModbusDirection::Sent;
    constexpr auto Rx = TModbusDirection::Received;
    const std::vector<TModbusFrame> frames = Decode({
        {Tx, ModbusFramed("01 03 00 0A 00 02")},    // read holding 11..12 of slave 1
        {Rx, ModbusFramed("01 03 04 00 07 FF FE")}, // 7, 0xFFFE
        {Tx, ModbusFramed("02 04 27 0F 00 01")},    // read input register 9999 of slave 2
        {Rx, ModbusFramed("02 04 02 01 00")},       // 256
        {Tx, ModbusFramed("01 06 00 0B 00 2A")},    // write 42 to holding 12
        {Rx, ModbusFramed("01 06 00 0B 00 2A")},    // its echo adds nothing
        {Tx, ModbusFramed("01 03 00 00 00 01")},    // answered by an exception: nothing
        {Rx, ModbusFramed("01 83 02")},
    });
    TSeriesNames names;
    TModbusValueSource source(names);
    source.SetFormat(TModbusValueFormat::S16);
    std::vector<TValueSample> samples;
    for (size_t i = 0; i < frames.size(); ++i) {
        source.Feed(frames[i], i, samples);
    }
    EXPECT_EQ(Texts(names, samples),
              (std::vector<std::string>{"1:40011=7@110#1", "1:40012=-2@110#1", "2:310000=256@130#3",
                                        "1:40012=42@140#4"}));
}

TEST(ModbusValues, PairsInBothWordOrdersLabelsAndScale) {
    // 0x41C8 0x0000 is 25.0f high word first.
    const std::vector<TModbusFrame> frames = Decode({
        {TModbusDirection::Sent, ModbusFramed("05 03 00 00 00 02")},
        {TModbusDirection::Received, ModbusFramed("05 03 04 41 C8 00 00")},
    });
    struct TCase {
        TModbusValueFormat format;
        double expected;
    } cases[] = {
        {TModbusValueFormat::F32HighFirst, 25.0},
        {TModbusValueFormat::U32HighFirst, 0x41C80000},
        {TModbusValueFormat::U32LowFirst, 0x000041C8},
        {TModbusValueFormat::I32LowFirst, 0x000041C8},
    };
    for (const TCase& c : cases) {
        TSeriesNames names;
        TModbusValueSource source(names);
        source.SetFormat(c.format);
        source.SetLabel("5:40001", "flow");
        source.SetScale("5:40001", 2, 1);
        std::vector<TValueSample> samples;
        for (const TModbusFrame& frame : frames) {
            source.Feed(frame, 0, samples);
        }
        ASSERT_EQ(samples.size(), 1u);
        EXPECT_EQ(names.Names().at(0), "flow");
        EXPECT_EQ(samples[0].value, c.expected * 2 + 1);
    }
}

TEST(BinaryValues, FieldsByOffsetTypeAndOrderWithMatch) {
    struct TCase {
        const char* type;
        bool bigEndian;
        size_t offset;
        double expected;
    } cases[] = {
        {"u8", false, 2, 0xFE},   {"i8", false, 2, -2},   {"u16", false, 2, 0xFFFE},
        {"u16", true, 2, 0xFEFF}, {"i16", false, 2, -2},  {"u32", true, 2, 0xFEFFFFFF},
        {"i32", false, 2, -2},    {"f32", true, 6, 25.0}, {"f64", false, 10, -1.5},
    };
    std::string frame = HexToBytes(NormalizeHex("AA 55 FE FF FF FF 41 C8 00 00"));
    double d = -1.5;
    frame.append(reinterpret_cast<const char*>(&d), sizeof d); // little-endian hosts only
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.type);
        TSeriesNames names;
        TBinaryValueSource source(
            names,
            {{"v", c.offset, *TBinaryValueSource::TypeNamed(c.type), c.bigEndian, {0xAA, 0x55}}});
        std::vector<TValueSample> samples;
        const auto* bytes = reinterpret_cast<const uint8_t*>(frame.data());
        source.Feed(1, 1, bytes, frame.size(), samples);
        source.Feed(2, 2, bytes + 1, frame.size() - 1, samples); // no match
        source.Feed(3, 3, bytes, c.offset, samples);             // too short
        ASSERT_EQ(samples.size(), 1u);
        EXPECT_EQ(samples[0].value, c.expected);
        EXPECT_EQ(source.Stats().shortFrames, 1u);
    }
    EXPECT_FALSE(TBinaryValueSource::TypeNamed("u64"));
}

// The one-line form of a field (korvane-cli --values-field, the plot's field in
// config.ini): read into the field, written back the same, refused with the reason.
TEST(BinaryValues, FieldTextIsReadWrittenBackAndRefusedWithItsReason) {
    struct TGood {
        const char* text;
        size_t offset;
        const char* type;
        bool bigEndian;
        double scale;
        const char* match; // hex
        const char* name;
    } good[] = {
        {"2:u16", 2, "u16", false, 1, "", "2:u16:le"},
        {"2:u16:be", 2, "u16", true, 1, "", "2:u16:be"},
        {"0:u8", 0, "u8", false, 1, "", "0:u8"},
        {"4:f32:le:scale=0.5", 4, "f32", false, 0.5, "", "4:f32:le"},
        {"6:i32:match=aa 55:be", 6, "i32", true, 1, "AA55", "6:i32:be"},
        {"10:f64:name=temp: inside", 10, "f64", false, 1, "", "temp: inside"},
        {"3:i16:scale=-1e-2:match=01:name=t", 3, "i16", false, -0.01, "01", "t"},
        {"65535:u8", 65535, "u8", false, 1, "", "65535:u8"},
    };
    for (const TGood& g : good) {
        SCOPED_TRACE(g.text);
        std::string error;
        const std::optional<TBinaryField> field = ParseBinaryField(g.text, error);
        ASSERT_TRUE(field) << error;
        EXPECT_EQ(field->offset, g.offset);
        EXPECT_EQ(field->type, *TBinaryValueSource::TypeNamed(g.type));
        EXPECT_EQ(field->bigEndian, g.bigEndian);
        EXPECT_EQ(field->scale, g.scale);
        EXPECT_EQ(BytesToHex(std::string(field->match.begin(), field->match.end()), ""), g.match);
        EXPECT_EQ(field->name, g.name);
        const std::optional<TBinaryField> again = ParseBinaryField(BinaryFieldText(*field), error);
        ASSERT_TRUE(again) << BinaryFieldText(*field) << ": " << error;
        EXPECT_EQ(BinaryFieldText(*again), BinaryFieldText(*field));
        EXPECT_EQ(again->match, field->match);
        EXPECT_EQ(again->scale, field->scale);
    }
    const std::pair<const char*, const char*> bad[] = {
        {"", "OFFSET:TYPE"},
        {"2", "OFFSET:TYPE"},
        {"x:u16", "offset \"x\""},
        {"-1:u16", "offset"},
        {"65536:u8", "offset"},
        {"2:u64", "type \"u64\""},
        {"2:u16:middle", "\"middle\" is not be, le"},
        {"2:u16:scale=", "scale"},
        {"2:u16:scale=0", "scale"},
        {"2:u16:scale=inf", "scale"},
        {"2:u16:scale=2x", "scale"},
        {"2:u16:match=ZZ", "match \"ZZ\""},
        {"2:u16:match=A", "match"},
        {"2:u16:name=", "\"name=\""},
    };
    for (const auto& [text, reason] : bad) {
        SCOPED_TRACE(text);
        std::string error;
        EXPECT_FALSE(ParseBinaryField(text, error));
        EXPECT_NE(error.find(reason), std::string::npos) << error;
    }
}

TEST(BinaryValues, ScaleTurnsCountsIntoUnits) {
    std::string error;
    const std::optional<TBinaryField> field =
        ParseBinaryField("1:i16:be:scale=0.1:match=7E:name=temp", error);
    ASSERT_TRUE(field) << error;
    TSeriesNames names;
    TBinaryValueSource source(names, {*field});
    std::vector<TValueSample> samples;
    const std::string frame = HexToBytes(NormalizeHex("7E FF 38")); // -200
    source.Feed(5, 9, reinterpret_cast<const uint8_t*>(frame.data()), frame.size(), samples);
    ASSERT_EQ(samples.size(), 1u);
    EXPECT_DOUBLE_EQ(samples[0].value, -20.0);
    EXPECT_EQ(samples[0].origin, 9u);
    EXPECT_EQ(names.Names(), std::vector<std::string>{"temp"});
}

TEST(SampleSeries, KeepsTheNewestUpToCapacityAndMovesTimeForward) {
    TSampleSeries series(10000);
    for (uint64_t i = 0; i < 25000; ++i) {
        series.Append(i, static_cast<double>(i), i + 7);
    }
    series.Append(5, -1, 0); // late: stored at the last time
    ASSERT_EQ(series.Size(), 10000u);
    EXPECT_EQ(series.Dropped(), 15001u);
    EXPECT_EQ(series.TimeAt(0), 15001u);
    EXPECT_EQ(series.OriginAt(0), 15008u);
    EXPECT_EQ(series.TimeAt(9999), 24999u);
    EXPECT_EQ(series.ValueAt(9999), -1);
    EXPECT_EQ(series.LowerBound(20000), 4999u);
    EXPECT_EQ(series.LowerBound(99999), series.Size());
}

TEST(SampleSeries, DecimationMatchesAPlainScanPerColumn) {
    // Values with spikes in odd places, a front partly dropped, a gap with no samples.
    TSampleSeries series(20000);
    std::vector<std::pair<uint64_t, double>> all;
    uint64_t time = 0;
    for (int i = 0; i < 30000; ++i) {
        time += (i % 1000 == 0) ? 500 : 1;
        const double value = std::sin(i / 300.0) * 100 + ((i * 7919) % 1009 == 0 ? 900 : 0);
        series.Append(time, value, 0);
        all.emplace_back(time, value);
    }
    all.erase(all.begin(), all.end() - 20000);
    for (const size_t columns : {size_t{1}, size_t{7}, size_t{640}, size_t{5000}}) {
        const uint64_t t0 = all.front().first - 100;
        const uint64_t t1 = all.back().first - 3000;
        const auto result = series.Decimate(t0, t1, columns);
        ASSERT_EQ(result.size(), columns);
        std::vector<TSampleSeries::TColumn> expected(columns);
        for (const auto& [t, v] : all) {
            if (t < t0 || t >= t1) {
                continue;
            }
            const uint64_t span = t1 - t0;
            const auto bound = [&](size_t c) {
                return t0 + span / columns * (c + 1) + span % columns * (c + 1) / columns;
            };
            size_t c = (t - t0) * columns / span;
            while (c > 0 && t < bound(c - 1)) {
                --c;
            }
            while (t >= bound(c)) {
                ++c;
            }
            auto& e = expected[c];
            if (!e.any) {
                e = {true, v, v, v, v};
            }
            e.min = std::min(e.min, v);
            e.max = std::max(e.max, v);
            e.last = v;
        }
        for (size_t c = 0; c < columns; ++c) {
            SCOPED_TRACE(testing::Message() << columns << " columns, column " << c);
            ASSERT_EQ(result[c].any, expected[c].any);
            EXPECT_EQ(result[c].min, expected[c].min);
            EXPECT_EQ(result[c].max, expected[c].max);
            EXPECT_EQ(result[c].first, expected[c].first);
            EXPECT_EQ(result[c].last, expected[c].last);
        }
    }
}

TEST(SampleSet, CsvLongAndWideOverTheChosenRange) {
    UseUtc();
    TSampleSet set;
    TTextValueSource source(set.Names());
    std::vector<TValueSample> samples;
    const uint64_t base = 1786000000000; // 2026-08-06 07:06:40 UTC
    source.Feed(base, 1, "a:1 b\"q=2.5\n", samples);
    source.Feed(base + 250, 2, "a:-0.125\n", samples);
    source.Feed(base + 500, 3, "a:3 b\"q=4\n", samples);
    set.Add(samples);
    ASSERT_EQ(set.Count(), 2u);
    EXPECT_EQ(set.FirstTime(), base);
    EXPECT_EQ(set.LastTime(), base + 500);

    EXPECT_EQ(SamplesCsv(set, {true, true}, base, base + 500, false),
              "time,series,value\n"
              "2026-08-06 07:06:40.000,a,1\n"
              "2026-08-06 07:06:40.000,\"b\"\"q\",2.5\n"
              "2026-08-06 07:06:40.250,a,-0.125\n");
    EXPECT_EQ(SamplesCsv(set, {true, true}, base, base + 1000, true),
              "time,a,\"b\"\"q\"\n"
              "2026-08-06 07:06:40.000,1,2.5\n"
              "2026-08-06 07:06:40.250,-0.125,\n"
              "2026-08-06 07:06:40.500,3,4\n");
    EXPECT_EQ(SamplesCsv(set, {false, true}, 0, base + 1000, true), "time,\"b\"\"q\"\n"
                                                                    "2026-08-06 07:06:40.000,2.5\n"
                                                                    "2026-08-06 07:06:40.500,4\n");
}

} // namespace
