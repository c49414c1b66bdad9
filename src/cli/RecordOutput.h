#pragma once
// What korvane-cli adds to each record it shows: the decoded Modbus RTU frames under the
// record's line, or the record as one JSON object (JSON Lines) instead of the line.

#include "protocol/ModbusRtu.h"
#include "traffic/DataRT.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class TDataRT;
class TOruScomm;
class TTerminalView;
class TValuesOutput;

struct TRecordOutputOptions {
    bool decodeModbus = false;
    bool json = false;
    // Both directions of a tapped bus arrive as received bytes.
    bool sniff = false;
    TModbusValueFormat format = TModbusValueFormat::U16;
    // --values: the samples of every shown record (not owned).
    TValuesOutput* values = nullptr;
    // --tap: the first port hears the master's requests and the tapped port ("B") the
    // replies, or the other way round with tapCarriesRequests.
    bool tapped = false;
    bool tapCarriesRequests = false;
};

// A record's bytes and the time its first byte came or went, on a millisecond clock.
struct TTimedRecord {
    char direction = 'R'; // 'R', 'T' or 'B' (the tapped port)
    uint64_t timeMs = 0;
    std::string bytes;
};

// Times of the records, from their headers and the moment each is taken from the queue.
// A received record is queued one read tail (the gap, or the read window) after its last
// byte, and its header holds the silence before its first byte; a sent record is queued
// as it is written. The times so found follow the connection's own reckoning, so a
// reply's time after its request is the gap the header shows, and they do not drift.
class TRecordTimeline {
public:
    explicit TRecordTimeline(uint32_t readTailMs) : m_tailMs(readTailMs) {}
    void SetReadTail(uint32_t readTailMs) { m_tailMs = readTailMs; }
    // record: as queued ("R[hh:nn:ss gap]payload"); takenMs: now on the same clock.
    uint64_t TimeOf(std::string_view record, uint64_t takenMs);

private:
    uint32_t m_tailMs;
    std::optional<uint64_t> m_lastEnd;
    uint64_t m_last = 0;
};

class TRecordOutput {
public:
    explicit TRecordOutput(const TRecordOutputOptions& options);

    // One record taken by the engine. shown: the engine showed its line (the record is
    // otherwise hidden: --no-sent, the filter); indent: the width of its line's prefix.
    // Writes the decoded lines, or the JSON object, to the view.
    void Record(const TTimedRecord& record, bool shown, size_t indent, TTerminalView& view);
    // The end of the traffic: bytes still waiting for the rest of a frame are shown.
    void Finish(TTerminalView& view);

    const TModbusStats& Stats() const { return m_decoder.Stats(); }

    // The text lines or JSON object for one record, without a view (for tests and benches).
    // frames: the frames the record completed.
    static std::string JsonLine(const TTimedRecord& record, const std::vector<TModbusFrame>* frames,
                                TModbusValueFormat format);

private:
    void ShowFrames(size_t indent, TTerminalView& view);
    void DropHidden();

    TRecordOutputOptions m_options;
    TModbusRtuDecoder m_decoder;
    std::vector<TModbusFrame> m_frames;
    size_t m_lastIndent = 0;
    // Whether the last record of each direction was shown.
    bool m_shown[2] = {true, true};
};

// Between the connection's queue and the engine: each record the engine takes goes to the
// output too, timed, with the width of the prefix its line got.
class TRecordTap {
public:
    TRecordTap(TOruScomm& connection, const TRecordOutputOptions& options);
    // Around one tick of the engine's pump.
    void BeforeTick(const TTerminalView& view);
    void AfterTick(const TDataRT& engine, TTerminalView& view);
    void Finish(TTerminalView& view) { m_output.Finish(view); }

private:
    TOruScomm& m_connection;
    TRecordOutput m_output;
    TRecordTimeline m_timeline;
    std::string m_record;
    uint64_t m_linesBefore = 0;
};

// "hh:mm:ss.mmm" local time of a moment on the system clock (ms since the epoch).
std::string TimeOfDayMs(uint64_t epochMs);
