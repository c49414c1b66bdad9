#pragma once
// View > Decode > Modbus RTU in the traffic view: every record the pump takes is decoded
// once, and the frames it completes become the note of the record's line, drawn under it
// by the view. Display only: the text of the view and all that reads it stay as they are.
//
// A note keeps each frame compactly (its bytes, the bytes of the request it answers, the
// reply time and its one-line text); the text is made anew only when the value format
// changes, and the tool tip's fields are decoded again from the bytes when asked for.

#include "protocol/ModbusRtu.h"
#include "ui/main/RichView.h"

#include <QString>

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class TModbusNotes : public TLineNotes {
public:
    explicit TModbusNotes(RichView& view);

    // Decoding starts anew: nothing waits for more bytes, no request is open, the counts
    // are zero. The notes of lines already shown stay.
    void Reset();
    void SetFormat(TModbusValueFormat format);
    TModbusValueFormat Format() const { return m_format; }

    // One record as the pump took it ("R[hh:nn:ss gap]payload"). hex: the payload is hex
    // text. shown: the record is the view's last line. nowMs: the clock, used for a record
    // whose gap the header does not give (a second or more).
    void Record(std::string_view record, bool hex, bool shown, uint64_t nowMs);
    // While a second port is tapped ("B" records), the port each direction comes from:
    // the first port hears the master's requests and the tapped one the replies, or the
    // other way round with tapCarriesRequests. std::nullopt: no tap, received records are
    // replies.
    void SetTap(std::optional<bool> tapCarriesRequests) { m_tap = tapCarriesRequests; }

    // The frames the last record completed (for a running script's on_receive).
    const std::vector<TModbusFrame>& LastFrames() const { return m_out; }
    const TModbusStats& Stats() const { return m_decoder.Stats(); }
    // The status bar's count.
    QString CountText() const;
    // Frames kept for the notes of the view's lines.
    size_t FramesKept() const { return m_frames.size(); }
    // Memory those frames take, for the view's budget.
    uint64_t MemoryBytes() const { return m_memory; }

    // --- TLineNotes ---
    int RowCount(uint32_t note) const override;
    Row RowOf(uint32_t note, int row) override;
    QString Hint(uint32_t note, int row) override;

private:
    std::optional<bool> m_tap;
    struct TKept {
        std::string bytes; // the request it answers (requestLength bytes), then the frame
        std::string text;  // in textFormat
        uint32_t replyMs = 0;
        uint16_t requestLength = 0;
        TModbusDirection direction = TModbusDirection::Received;
        TModbusKind kind = TModbusKind::Unknown;
        TModbusValueFormat textFormat = TModbusValueFormat::U16;
        bool crcOk = true;
        bool paired = false;
        bool last = false; // the last frame of its note
    };

    // Position in m_frames of a note's first frame.
    std::optional<size_t> Find(uint32_t note) const;
    // The frame decoded again from what is kept of it.
    TModbusFrame Decode(const TKept& kept) const;
    // Drops the frames of lines the view no longer has.
    void Prune();

    RichView& m_view;
    TModbusRtuDecoder m_decoder;
    TModbusValueFormat m_format = TModbusValueFormat::U16;
    std::deque<TKept> m_frames;
    uint64_t m_firstIndex = 0; // counted from the first frame ever kept
    // Recent requests by frame number, for the replies that answer them.
    std::deque<std::pair<uint64_t, std::string>> m_requests;
    std::vector<TModbusFrame> m_out;
    std::optional<uint64_t> m_lastMs;
    uint64_t m_dropped = 0; // the view's counts at the last pruning
    uint64_t m_clears = 0;
    uint64_t m_memory = 0;
};
