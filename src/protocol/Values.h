#pragma once
// Numbers taken from the traffic for plotting and CSV: text lines a device prints
// ("temp:23.5 hum:40", "1.5,2.5"), Modbus register values from the decoder, and binary
// fields of received frames. Each sample keeps an origin chosen by the caller (the window
// passes its line, so a plotted point leads back to its bytes). Display only, like the
// decoder: the records stay as they are.

#include "protocol/ModbusRtu.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct TValueSample {
    uint64_t timeMs = 0;
    double value = 0;
    // The caller's tag of the record the sample came from (the window: its line number).
    uint64_t origin = 0;
    uint16_t series = 0;
};

// Series names in the order they were first seen. A plot of more than kMaxSeries lines
// is unreadable, so later names are refused, each with one message.
class TSeriesNames {
public:
    static constexpr size_t kMaxSeries = 16;

    // The series' index, adding it when new; empty when the table is full.
    std::optional<uint16_t> Index(std::string_view name);
    const std::vector<std::string>& Names() const { return m_names; }
    // Messages about refused names since the last call.
    std::vector<std::string> TakeMessages();
    void Clear();

private:
    std::vector<std::string> m_names;
    std::map<std::string, uint16_t, std::less<>> m_index;
    std::vector<std::string> m_refused;
    std::vector<std::string> m_messages;
};

// Counts of what was seen and not turned into samples, for the user's "why is my value
// missing" question.
struct TValueStats {
    uint64_t samples = 0;
    uint64_t malformed = 0; // a label with no number, a number that is NaN or infinite
    uint64_t longLines = 0; // lines past kMaxLine, not parsed
    uint64_t refused = 0;   // samples of series past the limit
    uint64_t shortFrames = 0;
};

// Text lines: tokens separated by spaces, commas, tabs or semicolons; "label:value",
// "label=value" (also "label: value") give a named series, bare numbers series "1", "2", ...
// by their place among the line's bare numbers. A line ends at CR or LF and may span
// records; its samples take the time and origin of the record that brought its first byte.
class TTextValueSource {
public:
    static constexpr size_t kMaxLine = 4096;

    explicit TTextValueSource(TSeriesNames& names) : m_names(names) {}
    void Feed(uint64_t timeMs, uint64_t origin, const uint8_t* data, size_t n,
              std::vector<TValueSample>& out);
    void Feed(uint64_t timeMs, uint64_t origin, std::string_view bytes,
              std::vector<TValueSample>& out) {
        Feed(timeMs, origin, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), out);
    }
    // End of the stream: a last line without its end is parsed too.
    void Finish(std::vector<TValueSample>& out);
    void Reset();
    const TValueStats& Stats() const { return m_stats; }

private:
    void ParseLine(std::vector<TValueSample>& out);

    TSeriesNames& m_names;
    std::string m_line;
    bool m_inLine = false;
    bool m_tooLong = false;
    uint64_t m_lineTime = 0;
    uint64_t m_lineOrigin = 0;
    TValueStats m_stats;
};

// Register values of decoded Modbus frames: a series per slave and register, named
// "1:40001" (holding) or "1:30001" (input) unless given a label. Values come from read
// replies (03, 04) and write requests (06, 10); a 32-bit format takes register pairs, the
// pair named by its first register.
class TModbusValueSource {
public:
    explicit TModbusValueSource(TSeriesNames& names) : m_names(names) {}
    void SetFormat(TModbusValueFormat format) { m_format = format; }
    // A label replaces the register's name; scale and offset give value * scale + offset.
    void SetLabel(const std::string& registerName, const std::string& label);
    void SetScale(const std::string& registerName, double scale, double offset);
    void Feed(const TModbusFrame& frame, uint64_t origin, std::vector<TValueSample>& out);
    const TValueStats& Stats() const { return m_stats; }

    // "40001" for holding register 0, "30001" for input register 0; six digits past 9999.
    static std::string RegisterName(uint8_t function, uint16_t address);

private:
    struct TSeriesSetup {
        std::string label;
        double scale = 1;
        double offset = 0;
    };

    TSeriesNames& m_names;
    TModbusValueFormat m_format = TModbusValueFormat::U16;
    std::map<std::string, TSeriesSetup, std::less<>> m_setup;
    TValueStats m_stats;
};

enum class TFieldType { U8, I8, U16, I16, U32, I32, F32, F64 };

struct TBinaryField {
    std::string name;
    size_t offset = 0;
    TFieldType type = TFieldType::U16;
    bool bigEndian = false;
    // Frames that do not begin with these bytes carry no value of this field.
    std::vector<uint8_t> match;
    // The value plotted is the field's number times this (counts to units).
    double scale = 1;
};

// A binary field as one line of text, the form korvane-cli's --values-field takes and the
// plot keeps in config.ini: "OFFSET:TYPE[:be|:le][:scale=X][:match=HEX][:name=NAME]", as in
// "2:u16:be" or "4:f32:match=AA 55:name=temp". Little-endian unless ":be"; named by its
// offset, type and order ("2:u16:be") unless given a name. Empty with the reason in error
// when the text is not such a field.
std::optional<TBinaryField> ParseBinaryField(std::string_view text, std::string& error);
// The field in the form ParseBinaryField reads, every part given.
std::string BinaryFieldText(const TBinaryField& field);

// Fixed binary frames a device streams: each record is one frame, each field a series.
class TBinaryValueSource {
public:
    TBinaryValueSource(TSeriesNames& names, std::vector<TBinaryField> fields)
        : m_names(names), m_fields(std::move(fields)) {}
    void Feed(uint64_t timeMs, uint64_t origin, const uint8_t* data, size_t n,
              std::vector<TValueSample>& out);
    const TValueStats& Stats() const { return m_stats; }

    static std::optional<TFieldType> TypeNamed(std::string_view name);
    static std::string_view TypeName(TFieldType type);
    static size_t Size(TFieldType type);

private:
    TSeriesNames& m_names;
    std::vector<TBinaryField> m_fields;
    TValueStats m_stats;
};

// One series' samples, oldest dropped past the capacity, with min/max summaries per block
// so a plot's decimation costs little more than its width.
class TSampleSeries {
public:
    static constexpr size_t kDefaultCapacity = 1000000;
    static constexpr size_t kBlock = 64;
    static constexpr size_t kChunk = 4096; // a multiple of kBlock

    explicit TSampleSeries(size_t capacity = kDefaultCapacity);

    // A sample older than the last is stored at the last one's time: a plot's time axis
    // only moves forward.
    void Append(uint64_t timeMs, double value, uint64_t origin);
    size_t Size() const { return m_size; }
    uint64_t Dropped() const { return m_dropped; }
    uint64_t TimeAt(size_t i) const;
    double ValueAt(size_t i) const;
    uint64_t OriginAt(size_t i) const;
    // The first sample at or after t (Size() when none).
    size_t LowerBound(uint64_t timeMs) const;
    size_t MemoryBytes() const;

    struct TColumn {
        bool any = false;
        double min = 0;
        double max = 0;
        double first = 0; // the column's first and last values, to join columns
        double last = 0;
    };
    // Min/max per pixel column over [t0, t1): column c covers
    // [t0 + c * (t1 - t0) / columns, t0 + (c + 1) * (t1 - t0) / columns).
    std::vector<TColumn> Decimate(uint64_t t0, uint64_t t1, size_t columns) const;

private:
    struct TChunk {
        std::vector<uint64_t> times;
        std::vector<double> values;
        std::vector<uint64_t> origins;
        std::vector<double> blockMin;
        std::vector<double> blockMax;
    };
    const TChunk& ChunkOf(size_t i, size_t& at) const;
    // The first sample in [from, to) at or after the time (to when none).
    size_t FirstAtOrAfter(size_t from, size_t to, uint64_t timeMs) const;
    // Min, max, first and last of the samples [from, to), which is not empty.
    void Summarize(size_t from, size_t to, TColumn& column) const;

    size_t m_capacity;
    std::deque<TChunk> m_chunks;
    // Samples dropped from the front chunk (a chunk goes when all its samples have).
    size_t m_frontSkip = 0;
    size_t m_size = 0;
    uint64_t m_dropped = 0;
    uint64_t m_lastTime = 0;
};

// Every series of a plot or a values file, by the index TSeriesNames gives.
class TSampleSet {
public:
    explicit TSampleSet(size_t capacity = TSampleSeries::kDefaultCapacity) : m_capacity(capacity) {}

    TSeriesNames& Names() { return m_names; }
    const TSeriesNames& Names() const { return m_names; }
    void Add(const std::vector<TValueSample>& samples);
    size_t Count() const { return m_series.size(); }
    const TSampleSeries& Series(size_t index) const { return m_series.at(index); }
    // The newest sample's time over every series; 0 when empty.
    uint64_t LastTime() const { return m_lastTime; }
    uint64_t FirstTime() const;
    size_t MemoryBytes() const;
    void Clear();

private:
    size_t m_capacity;
    TSeriesNames m_names;
    std::deque<TSampleSeries> m_series;
    uint64_t m_lastTime = 0;
};

// A sample's time as local "yyyy-mm-dd hh:mm:ss.mmm" (times are milliseconds since the
// epoch).
std::string SampleTimeText(uint64_t timeMs);
// A value in the shortest text that reads back the same number.
std::string SampleValueText(double value);
// CSV of the samples of the chosen series with times in [t0, t1): the long form has a row
// per sample (time,series,value); the wide form a row per time with a column per series,
// empty where a series has no sample at that time. Names are quoted when they need it.
std::string SamplesCsv(const TSampleSet& set, const std::vector<bool>& chosen, uint64_t t0,
                       uint64_t t1, bool wide);
// A CSV field, quoted when it holds a comma, quote or line break.
std::string CsvField(std::string_view text);
