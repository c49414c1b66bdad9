#include "protocol/Values.h"

#include "codec/HexCodec.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

// --- series names ---

std::optional<uint16_t> TSeriesNames::Index(std::string_view name) {
    if (const auto it = m_index.find(name); it != m_index.end()) {
        return it->second;
    }
    if (m_names.size() >= kMaxSeries) {
        if (std::find(m_refused.begin(), m_refused.end(), name) == m_refused.end()) {
            m_refused.emplace_back(name);
            m_messages.push_back("more than " + std::to_string(kMaxSeries) + " series: \"" +
                                 std::string(name) + "\" is not plotted");
        }
        return std::nullopt;
    }
    const auto index = static_cast<uint16_t>(m_names.size());
    m_names.emplace_back(name);
    m_index.emplace(std::string(name), index);
    return index;
}

std::vector<std::string> TSeriesNames::TakeMessages() {
    std::vector<std::string> messages;
    messages.swap(m_messages);
    return messages;
}

void TSeriesNames::Clear() {
    m_names.clear();
    m_index.clear();
    m_refused.clear();
    m_messages.clear();
}

namespace {

bool IsSeparator(char c) {
    return c == ' ' || c == ',' || c == '\t' || c == ';';
}

// A finite number filling the whole text; NaN and infinity are refused (from_chars would
// take "nan" and "inf").
std::optional<double> ParseNumber(std::string_view text) {
    if (text.empty()) {
        return std::nullopt;
    }
    if (text.front() == '+') {
        text.remove_prefix(1);
    }
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(value)) {
        return std::nullopt;
    }
    return value;
}

bool LooksNumeric(std::string_view text) {
    return !text.empty() && (std::isdigit(static_cast<unsigned char>(text.front())) != 0 ||
                             text.front() == '-' || text.front() == '+' || text.front() == '.');
}

} // namespace

// --- text lines ---

void TTextValueSource::Feed(uint64_t timeMs, uint64_t origin, const uint8_t* data, size_t n,
                            std::vector<TValueSample>& out) {
    for (size_t i = 0; i < n; ++i) {
        const char c = static_cast<char>(data[i]);
        if (c == '\n' || c == '\r') {
            if (m_inLine) {
                ParseLine(out);
            }
            continue;
        }
        if (!m_inLine) {
            m_inLine = true;
            m_lineTime = timeMs;
            m_lineOrigin = origin;
        }
        if (m_line.size() < kMaxLine) {
            m_line.push_back(c);
        } else {
            m_tooLong = true;
        }
    }
}

void TTextValueSource::Finish(std::vector<TValueSample>& out) {
    if (m_inLine) {
        ParseLine(out);
    }
}

void TTextValueSource::Reset() {
    m_line.clear();
    m_inLine = false;
    m_tooLong = false;
}

void TTextValueSource::ParseLine(std::vector<TValueSample>& out) {
    if (m_tooLong) {
        ++m_stats.longLines;
        Reset();
        return;
    }
    std::vector<std::string_view> tokens;
    const std::string_view line = m_line;
    size_t at = 0;
    while (at < line.size()) {
        while (at < line.size() && IsSeparator(line[at])) {
            ++at;
        }
        size_t end = at;
        while (end < line.size() && !IsSeparator(line[end])) {
            ++end;
        }
        if (end > at) {
            tokens.push_back(line.substr(at, end - at));
        }
        at = end;
    }
    const auto emit = [&](std::string_view name, double value) {
        const std::optional<uint16_t> series = m_names.Index(name);
        if (!series) {
            ++m_stats.refused;
            return;
        }
        out.push_back({m_lineTime, value, m_lineOrigin, *series});
        ++m_stats.samples;
    };
    size_t bare = 0;
    for (size_t t = 0; t < tokens.size(); ++t) {
        const std::string_view token = tokens[t];
        const size_t mark = token.find_first_of(":=");
        if (mark == std::string_view::npos) {
            if (LooksNumeric(token)) {
                ++bare;
                if (const std::optional<double> value = ParseNumber(token)) {
                    emit(std::to_string(bare), *value);
                } else {
                    ++m_stats.malformed;
                }
            }
            continue;
        }
        const std::string_view label = token.substr(0, mark);
        std::string_view number = token.substr(mark + 1);
        if (label.empty()) {
            continue;
        }
        // "temp: 23.5": the value is the next token.
        if (number.empty() && t + 1 < tokens.size() && LooksNumeric(tokens[t + 1]) &&
            tokens[t + 1].find_first_of(":=") == std::string_view::npos) {
            number = tokens[++t];
        }
        if (const std::optional<double> value = ParseNumber(number)) {
            emit(label, *value);
        } else {
            ++m_stats.malformed;
        }
    }
    Reset();
}

// --- Modbus registers ---

std::string TModbusValueSource::RegisterName(uint8_t function, uint16_t address) {
    const uint32_t base = function == 0x04 ? 3 : 4;
    const uint32_t number = address + 1u;
    return std::to_string(number <= 9999 ? base * 10000 + number : base * 100000 + number);
}

void TModbusValueSource::SetLabel(const std::string& registerName, const std::string& label) {
    m_setup[registerName].label = label;
}

void TModbusValueSource::SetScale(const std::string& registerName, double scale, double offset) {
    TSeriesSetup& setup = m_setup[registerName];
    setup.scale = scale;
    setup.offset = offset;
}

void TModbusValueSource::Feed(const TModbusFrame& frame, uint64_t origin,
                              std::vector<TValueSample>& out) {
    if (!frame.crcOk || !frame.address) {
        return;
    }
    const bool readReply =
        frame.kind == TModbusKind::Reply && (frame.function == 0x03 || frame.function == 0x04);
    const bool writeRequest =
        frame.kind == TModbusKind::Request && (frame.function == 0x06 || frame.function == 0x10);
    if (!readReply && !writeRequest) {
        return;
    }
    const bool pairs = m_format != TModbusValueFormat::U16 && m_format != TModbusValueFormat::S16 &&
                       m_format != TModbusValueFormat::Hex;
    const size_t step = pairs ? 2 : 1;
    // 06 carries its one written value apart from the register lists.
    const std::vector<uint16_t> single = frame.function == 0x06 && frame.value
                                             ? std::vector<uint16_t>{*frame.value}
                                             : std::vector<uint16_t>{};
    const std::vector<uint16_t>& r = frame.function == 0x06 ? single : frame.registers;
    for (size_t i = 0; i + step <= r.size(); i += step) {
        double value = 0;
        const uint32_t high = pairs ? r[i] : 0;
        const uint32_t low = pairs ? r[i + 1] : 0;
        switch (m_format) {
        case TModbusValueFormat::U16:
        case TModbusValueFormat::Hex:
            value = r[i];
            break;
        case TModbusValueFormat::S16:
            value = static_cast<int16_t>(r[i]);
            break;
        case TModbusValueFormat::F32HighFirst:
        case TModbusValueFormat::F32LowFirst: {
            const uint32_t bits = m_format == TModbusValueFormat::F32HighFirst ? (high << 16) | low
                                                                               : (low << 16) | high;
            value = std::bit_cast<float>(bits);
            break;
        }
        case TModbusValueFormat::I32HighFirst:
            value = static_cast<int32_t>((high << 16) | low);
            break;
        case TModbusValueFormat::I32LowFirst:
            value = static_cast<int32_t>((low << 16) | high);
            break;
        case TModbusValueFormat::U32HighFirst:
            value = (high << 16) | low;
            break;
        case TModbusValueFormat::U32LowFirst:
            value = (low << 16) | high;
            break;
        }
        if (!std::isfinite(value)) {
            ++m_stats.malformed;
            continue;
        }
        const auto address = static_cast<uint16_t>(*frame.address + i);
        const std::string registerName = std::to_string(frame.slave) + ":" +
                                         RegisterName(readReply ? frame.function : 0x03, address);
        std::string_view name = registerName;
        if (const auto it = m_setup.find(registerName); it != m_setup.end()) {
            value = value * it->second.scale + it->second.offset;
            if (!it->second.label.empty()) {
                name = it->second.label;
            }
        }
        const std::optional<uint16_t> series = m_names.Index(name);
        if (!series) {
            ++m_stats.refused;
            continue;
        }
        out.push_back({frame.timeMs, value, origin, *series});
        ++m_stats.samples;
    }
}

// --- binary fields ---

namespace {

constexpr std::pair<std::string_view, TFieldType> kFieldTypes[] = {
    {"u8", TFieldType::U8},   {"i8", TFieldType::I8},   {"u16", TFieldType::U16},
    {"i16", TFieldType::I16}, {"u32", TFieldType::U32}, {"i32", TFieldType::I32},
    {"f32", TFieldType::F32}, {"f64", TFieldType::F64},
};

// A field's offset beyond any frame a port delivers in one record is a typing error.
constexpr size_t kMaxFieldOffset = 65535;

} // namespace

std::optional<TFieldType> TBinaryValueSource::TypeNamed(std::string_view name) {
    for (const auto& [text, type] : kFieldTypes) {
        if (text == name) {
            return type;
        }
    }
    return std::nullopt;
}

std::string_view TBinaryValueSource::TypeName(TFieldType type) {
    for (const auto& [text, t] : kFieldTypes) {
        if (t == type) {
            return text;
        }
    }
    return "u8";
}

std::optional<TBinaryField> ParseBinaryField(std::string_view text, std::string& error) {
    const auto fail = [&](std::string why) -> std::optional<TBinaryField> {
        error = std::move(why);
        return std::nullopt;
    };
    std::vector<std::string_view> parts;
    for (size_t at = 0;;) {
        // A name may hold colons: it is the last part and takes the rest.
        if (text.substr(at).starts_with("name=")) {
            parts.push_back(text.substr(at));
            break;
        }
        const size_t colon = text.find(':', at);
        parts.push_back(text.substr(at, colon == std::string_view::npos ? colon : colon - at));
        if (colon == std::string_view::npos) {
            break;
        }
        at = colon + 1;
    }
    if (parts.size() < 2) {
        return fail("a field is OFFSET:TYPE, as in 2:u16:be");
    }
    TBinaryField field;
    size_t offset = 0;
    const std::string_view digits = parts[0];
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), offset);
    if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size() ||
        offset > kMaxFieldOffset) {
        return fail("the offset \"" + std::string(digits) + "\" is not a byte offset from 0 to " +
                    std::to_string(kMaxFieldOffset));
    }
    field.offset = offset;
    const std::optional<TFieldType> type = TBinaryValueSource::TypeNamed(parts[1]);
    if (!type) {
        return fail("the type \"" + std::string(parts[1]) +
                    "\" is not one of u8 i8 u16 i16 u32 i32 f32 f64");
    }
    field.type = *type;
    bool named = false;
    for (size_t i = 2; i < parts.size(); ++i) {
        const std::string_view part = parts[i];
        if (part == "be" || part == "le") {
            field.bigEndian = part == "be";
        } else if (part.starts_with("scale=")) {
            const std::string number(part.substr(6));
            char* stop = nullptr;
            const double scale = std::strtod(number.c_str(), &stop);
            if (number.empty() || *stop != '\0' || !std::isfinite(scale) || scale == 0) {
                return fail("the scale \"" + number + "\" is not a number other than 0");
            }
            field.scale = scale;
        } else if (part.starts_with("match=")) {
            const std::string hex = NormalizeHex(part.substr(6));
            if (hex.empty() || !IsHexText(hex)) {
                return fail("the match \"" + std::string(part.substr(6)) +
                            "\" is not hex bytes, as in AA55");
            }
            const std::string bytes = HexToBytes(hex);
            field.match.assign(bytes.begin(), bytes.end());
        } else if (part.starts_with("name=") && part.size() > 5) {
            field.name = std::string(part.substr(5));
            named = true;
        } else {
            return fail("\"" + std::string(part) +
                        "\" is not be, le, scale=X, match=HEX or name=NAME");
        }
    }
    if (!named) {
        field.name =
            std::to_string(field.offset) + ":" +
            std::string(TBinaryValueSource::TypeName(field.type)) +
            (TBinaryValueSource::Size(field.type) > 1 ? (field.bigEndian ? ":be" : ":le") : "");
    }
    return field;
}

std::string BinaryFieldText(const TBinaryField& field) {
    std::string text = std::to_string(field.offset) + ":" +
                       std::string(TBinaryValueSource::TypeName(field.type)) +
                       (field.bigEndian ? ":be" : ":le");
    if (field.scale != 1) {
        text += ":scale=" + SampleValueText(field.scale);
    }
    if (!field.match.empty()) {
        text += ":match=" + BytesToHex(std::string(field.match.begin(), field.match.end()), "");
    }
    return text + ":name=" + field.name;
}

size_t TBinaryValueSource::Size(TFieldType type) {
    switch (type) {
    case TFieldType::U8:
    case TFieldType::I8:
        return 1;
    case TFieldType::U16:
    case TFieldType::I16:
        return 2;
    case TFieldType::U32:
    case TFieldType::I32:
    case TFieldType::F32:
        return 4;
    case TFieldType::F64:
        return 8;
    }
    return 1;
}

void TBinaryValueSource::Feed(uint64_t timeMs, uint64_t origin, const uint8_t* data, size_t n,
                              std::vector<TValueSample>& out) {
    for (const TBinaryField& field : m_fields) {
        if (n < field.match.size() || !std::equal(field.match.begin(), field.match.end(), data)) {
            continue;
        }
        const size_t size = Size(field.type);
        if (field.offset > n || n - field.offset < size) {
            ++m_stats.shortFrames;
            continue;
        }
        uint64_t bits = 0;
        for (size_t b = 0; b < size; ++b) {
            const uint8_t byte = data[field.offset + (field.bigEndian ? b : size - 1 - b)];
            bits = (bits << 8) | byte;
        }
        double value = 0;
        switch (field.type) {
        case TFieldType::U8:
        case TFieldType::U16:
        case TFieldType::U32:
            value = static_cast<double>(bits);
            break;
        case TFieldType::I8:
            value = static_cast<int8_t>(bits);
            break;
        case TFieldType::I16:
            value = static_cast<int16_t>(bits);
            break;
        case TFieldType::I32:
            value = static_cast<int32_t>(bits);
            break;
        case TFieldType::F32:
            value = std::bit_cast<float>(static_cast<uint32_t>(bits));
            break;
        case TFieldType::F64:
            value = std::bit_cast<double>(bits);
            break;
        }
        value *= field.scale;
        if (!std::isfinite(value)) {
            ++m_stats.malformed;
            continue;
        }
        const std::optional<uint16_t> series = m_names.Index(field.name);
        if (!series) {
            ++m_stats.refused;
            continue;
        }
        out.push_back({timeMs, value, origin, *series});
        ++m_stats.samples;
    }
}

// --- sample storage ---

TSampleSeries::TSampleSeries(size_t capacity) : m_capacity(std::max<size_t>(capacity, 1)) {}

void TSampleSeries::Append(uint64_t timeMs, double value, uint64_t origin) {
    timeMs = std::max(timeMs, m_lastTime);
    m_lastTime = timeMs;
    if (m_chunks.empty() || m_chunks.back().times.size() == kChunk) {
        TChunk& chunk = m_chunks.emplace_back();
        chunk.times.reserve(kChunk);
        chunk.values.reserve(kChunk);
        chunk.origins.reserve(kChunk);
        chunk.blockMin.reserve(kChunk / kBlock);
        chunk.blockMax.reserve(kChunk / kBlock);
    }
    TChunk& chunk = m_chunks.back();
    if (chunk.times.size() % kBlock == 0) {
        chunk.blockMin.push_back(value);
        chunk.blockMax.push_back(value);
    } else {
        chunk.blockMin.back() = std::min(chunk.blockMin.back(), value);
        chunk.blockMax.back() = std::max(chunk.blockMax.back(), value);
    }
    chunk.times.push_back(timeMs);
    chunk.values.push_back(value);
    chunk.origins.push_back(origin);
    ++m_size;
    if (m_size > m_capacity) {
        --m_size;
        ++m_dropped;
        if (++m_frontSkip == kChunk) {
            m_chunks.pop_front();
            m_frontSkip = 0;
        }
    }
}

const TSampleSeries::TChunk& TSampleSeries::ChunkOf(size_t i, size_t& at) const {
    const size_t offset = m_frontSkip + i;
    at = offset % kChunk;
    return m_chunks[offset / kChunk];
}

uint64_t TSampleSeries::TimeAt(size_t i) const {
    size_t at = 0;
    return ChunkOf(i, at).times[at];
}

double TSampleSeries::ValueAt(size_t i) const {
    size_t at = 0;
    return ChunkOf(i, at).values[at];
}

uint64_t TSampleSeries::OriginAt(size_t i) const {
    size_t at = 0;
    return ChunkOf(i, at).origins[at];
}

size_t TSampleSeries::LowerBound(uint64_t timeMs) const {
    size_t low = 0;
    size_t high = m_size;
    while (low < high) {
        const size_t mid = low + (high - low) / 2;
        if (TimeAt(mid) < timeMs) {
            low = mid + 1;
        } else {
            high = mid;
        }
    }
    return low;
}

size_t TSampleSeries::MemoryBytes() const {
    constexpr size_t perChunk =
        kChunk * (sizeof(uint64_t) * 2 + sizeof(double)) + 2 * (kChunk / kBlock) * sizeof(double);
    return m_chunks.size() * perChunk;
}

size_t TSampleSeries::FirstAtOrAfter(size_t from, size_t to, uint64_t timeMs) const {
    size_t offset = m_frontSkip + from;
    const size_t last = m_frontSkip + to;
    while (offset < last) {
        const TChunk& chunk = m_chunks[offset / kChunk];
        const size_t at = offset % kChunk;
        const size_t stop = std::min(chunk.times.size(), at + (last - offset));
        // A chunk that ends before the time is passed whole.
        if (chunk.times[stop - 1] < timeMs) {
            offset += stop - at;
            continue;
        }
        const uint64_t* times = chunk.times.data();
        return offset - m_frontSkip +
               static_cast<size_t>(std::lower_bound(times + at, times + stop, timeMs) -
                                   (times + at));
    }
    return to;
}

void TSampleSeries::Summarize(size_t from, size_t to, TColumn& column) const {
    column.any = true;
    column.first = ValueAt(from);
    column.last = ValueAt(to - 1);
    double low = column.first;
    double high = column.first;
    size_t offset = m_frontSkip + from;
    const size_t last = m_frontSkip + to;
    while (offset < last) {
        const TChunk& chunk = m_chunks[offset / kChunk];
        size_t at = offset % kChunk;
        const size_t stop = std::min(chunk.times.size(), at + (last - offset));
        const double* values = chunk.values.data();
        // Single samples up to a block boundary, whole blocks from their summaries, then
        // the samples of the last part block.
        const size_t headEnd = std::min(stop, (at + kBlock - 1) / kBlock * kBlock);
        for (; at < headEnd; ++at) {
            low = std::min(low, values[at]);
            high = std::max(high, values[at]);
        }
        for (; at + kBlock <= stop; at += kBlock) {
            low = std::min(low, chunk.blockMin[at / kBlock]);
            high = std::max(high, chunk.blockMax[at / kBlock]);
        }
        for (; at < stop; ++at) {
            low = std::min(low, values[at]);
            high = std::max(high, values[at]);
        }
        offset = (offset / kChunk) * kChunk + stop;
    }
    column.min = low;
    column.max = high;
}

std::vector<TSampleSeries::TColumn> TSampleSeries::Decimate(uint64_t t0, uint64_t t1,
                                                            size_t columns) const {
    std::vector<TColumn> result(columns);
    if (columns == 0 || t1 <= t0 || m_size == 0) {
        return result;
    }
    const uint64_t span = t1 - t0;
    // Column boundaries in integer arithmetic, so neighbouring columns neither overlap nor
    // leave a gap whatever the span.
    const auto columnEnd = [&](size_t c) {
        return t0 + span / columns * (c + 1) + span % columns * (c + 1) / columns;
    };
    // Column by column: where the column's samples end is searched for, and their min and
    // max come from the block summaries, so the cost follows the width and the blocks a
    // column spans rather than every sample.
    size_t from = LowerBound(t0);
    const size_t to = LowerBound(t1);
    size_t c = 0;
    while (from < to && c < columns) {
        const uint64_t time = TimeAt(from);
        while (time >= columnEnd(c)) {
            ++c;
        }
        const size_t end = FirstAtOrAfter(from, to, columnEnd(c));
        Summarize(from, end, result[c]);
        from = end;
        ++c;
    }
    return result;
}

// --- sample sets and CSV ---

void TSampleSet::Add(const std::vector<TValueSample>& samples) {
    for (const TValueSample& sample : samples) {
        while (m_series.size() <= sample.series) {
            m_series.emplace_back(m_capacity);
        }
        m_series[sample.series].Append(sample.timeMs, sample.value, sample.origin);
        m_lastTime = std::max(m_lastTime, sample.timeMs);
    }
}

uint64_t TSampleSet::FirstTime() const {
    uint64_t first = 0;
    bool any = false;
    for (const TSampleSeries& series : m_series) {
        if (series.Size() > 0 && (!any || series.TimeAt(0) < first)) {
            first = series.TimeAt(0);
            any = true;
        }
    }
    return first;
}

size_t TSampleSet::MemoryBytes() const {
    size_t bytes = 0;
    for (const TSampleSeries& series : m_series) {
        bytes += series.MemoryBytes();
    }
    return bytes;
}

void TSampleSet::Clear() {
    m_series.clear();
    m_names.Clear();
    m_lastTime = 0;
}

std::string SampleTimeText(uint64_t timeMs) {
    const time_t seconds = static_cast<time_t>(timeMs / 1000);
    tm local{};
#ifdef _WIN32
    localtime_s(&local, &seconds);
#else
    localtime_r(&seconds, &local);
#endif
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03u", local.tm_year + 1900,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                  static_cast<unsigned>(timeMs % 1000));
    return text;
}

std::string SampleValueText(double value) {
    char text[32];
    const auto [end, error] = std::to_chars(text, text + sizeof text, value);
    return error == std::errc() ? std::string(text, end) : std::string();
}

std::string CsvField(std::string_view text) {
    if (text.find_first_of(",\"\r\n") == std::string_view::npos) {
        return std::string(text);
    }
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '"') {
            quoted += '"';
        }
        quoted += c;
    }
    return quoted + "\"";
}

std::string SamplesCsv(const TSampleSet& set, const std::vector<bool>& chosen, uint64_t t0,
                       uint64_t t1, bool wide) {
    std::vector<size_t> series;
    for (size_t i = 0; i < set.Count(); ++i) {
        if (i < chosen.size() && chosen[i]) {
            series.push_back(i);
        }
    }
    std::string csv = wide ? "time" : "time,series,value\n";
    if (wide) {
        for (const size_t i : series) {
            csv += "," + CsvField(set.Names().Names().at(i));
        }
        csv += "\n";
    }
    // A merge of the series by time: each series is already in time order.
    std::vector<size_t> at(series.size());
    std::vector<size_t> end(series.size());
    for (size_t k = 0; k < series.size(); ++k) {
        const TSampleSeries& one = set.Series(series[k]);
        at[k] = one.LowerBound(t0);
        end[k] = one.LowerBound(t1);
    }
    while (true) {
        std::optional<uint64_t> time;
        for (size_t k = 0; k < series.size(); ++k) {
            if (at[k] < end[k]) {
                const uint64_t t = set.Series(series[k]).TimeAt(at[k]);
                time = time ? std::min(*time, t) : t;
            }
        }
        if (!time) {
            break;
        }
        const std::string timeText = SampleTimeText(*time);
        if (wide) {
            // One row per time; a series with two samples at one time gives two rows.
            bool more = true;
            while (more) {
                more = false;
                std::string row = timeText;
                bool any = false;
                for (size_t k = 0; k < series.size(); ++k) {
                    row += ",";
                    const TSampleSeries& one = set.Series(series[k]);
                    if (at[k] < end[k] && one.TimeAt(at[k]) == *time) {
                        row += SampleValueText(one.ValueAt(at[k]++));
                        any = true;
                        more = more || (at[k] < end[k] && one.TimeAt(at[k]) == *time);
                    }
                }
                if (any) {
                    csv += row + "\n";
                }
            }
        } else {
            for (size_t k = 0; k < series.size(); ++k) {
                const TSampleSeries& one = set.Series(series[k]);
                while (at[k] < end[k] && one.TimeAt(at[k]) == *time) {
                    csv += timeText + "," + CsvField(set.Names().Names().at(series[k])) + "," +
                           SampleValueText(one.ValueAt(at[k]++)) + "\n";
                }
            }
        }
    }
    return csv;
}
