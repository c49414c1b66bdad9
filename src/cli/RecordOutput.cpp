#include "cli/RecordOutput.h"

#include "cli/TerminalView.h"
#include "cli/ValuesOutput.h"
#include "codec/HexCodec.h"
#include "serial/OruScomm.h"
#include "traffic/DataRT.h"

#include <chrono>

#include <cstdio>
#include <ctime>

namespace {

// Grey like the traffic prefixes, red for what went wrong (0x00BBGGRR).
constexpr uint32_t DecodedColor = 0x808080;
constexpr uint32_t AlertColor = 0x0000FF;

} // namespace

uint64_t TRecordTimeline::TimeOf(std::string_view record, uint64_t takenMs) {
    uint64_t time = 0;
    if (!record.empty() && record.front() == 'T') {
        time = takenMs;
        m_lastEnd = time;
    } else {
        const uint64_t lastByte = takenMs >= m_tailMs ? takenMs - m_tailMs : 0;
        const std::optional<uint32_t> gap = RecordHeaderGap(record);
        time = gap && m_lastEnd ? *m_lastEnd + *gap : lastByte;
        // Taken late (a queue drained after a flood), the first byte is no later than
        // the last.
        if (time > lastByte && takenMs >= m_tailMs) {
            time = lastByte;
        }
        m_lastEnd = lastByte > time ? lastByte : time;
    }
    // A clock set back or a late take never moves a record before the one before it.
    if (time < m_last) {
        time = m_last;
    }
    m_last = time;
    return time;
}

std::string TimeOfDayMs(uint64_t epochMs) {
    const auto seconds = static_cast<std::time_t>(epochMs / 1000);
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03u", local.tm_hour, local.tm_min,
                  local.tm_sec, static_cast<unsigned>(epochMs % 1000));
    return text;
}

TRecordOutput::TRecordOutput(const TRecordOutputOptions& options)
    : m_options(options), m_decoder(options.sniff) {}

std::string TRecordOutput::JsonLine(const TTimedRecord& record,
                                    const std::vector<TModbusFrame>* frames,
                                    TModbusValueFormat format) {
    std::string json = "{\"time\":\"" + TimeOfDayMs(record.timeMs) + "\",\"dir\":\"";
    json += record.direction == 'T' ? "tx" : record.direction == 'B' ? "rxb" : "rx";
    json += "\",\"hex\":\"" + BytesToHex(record.bytes, " ") + '"';
    if (frames != nullptr) {
        json += ",\"frames\":[";
        for (size_t i = 0; i < frames->size(); ++i) {
            if (i > 0) {
                json += ',';
            }
            json += ModbusFrameJson((*frames)[i], format);
        }
        json += ']';
    }
    return json + '}';
}

void TRecordOutput::Record(const TTimedRecord& record, bool shown, size_t indent,
                           TTerminalView& view) {
    m_frames.clear();
    // Requests count as sent, replies as received: with a tap, the port that hears the
    // master stands for the sender.
    bool requests = record.direction == 'T';
    if (m_options.tapped && record.direction != 'T') {
        requests = (record.direction == 'B') == m_options.tapCarriesRequests;
    }
    const TModbusDirection direction =
        requests ? TModbusDirection::Sent : TModbusDirection::Received;
    m_shown[static_cast<int>(direction)] = shown;
    if (m_options.decodeModbus) {
        m_decoder.Feed(direction, record.timeMs, record.bytes, m_frames);
        DropHidden();
    }
    if (!shown) {
        return;
    }
    if (m_options.values != nullptr) {
        m_options.values->Record(record, m_options.decodeModbus ? &m_frames : nullptr, view);
    }
    if (m_options.json) {
        view.AppendOwnLine(
            JsonLine(record, m_options.decodeModbus ? &m_frames : nullptr, m_options.format),
            std::nullopt);
        return;
    }
    m_lastIndent = indent;
    ShowFrames(indent, view);
}

void TRecordOutput::Finish(TTerminalView& view) {
    if (!m_options.decodeModbus) {
        if (m_options.values != nullptr) {
            m_options.values->Finish(view);
        }
        return;
    }
    m_frames.clear();
    m_decoder.Finish(m_frames);
    DropHidden();
    if (m_options.values != nullptr) {
        m_options.values->Record(TTimedRecord{}, &m_frames, view);
    }
    if (m_frames.empty()) {
        return;
    }
    if (m_options.json) {
        // No record brought these: the object holds the frames alone.
        std::string json = "{\"frames\":[";
        for (size_t i = 0; i < m_frames.size(); ++i) {
            json += (i > 0 ? "," : "") + ModbusFrameJson(m_frames[i], m_options.format);
        }
        view.AppendOwnLine(json + "]}", std::nullopt);
        return;
    }
    ShowFrames(m_lastIndent, view);
}

void TRecordOutput::DropHidden() {
    // A frame completed by a later record belongs to the record that brought its bytes:
    // hidden with it (--no-sent, the filter) when that record was not shown.
    std::erase_if(m_frames, [this](const TModbusFrame& frame) {
        return !m_shown[static_cast<int>(frame.direction)];
    });
}

void TRecordOutput::ShowFrames(size_t indent, TTerminalView& view) {
    for (const TModbusFrame& frame : m_frames) {
        const bool alert = !frame.crcOk || frame.kind == TModbusKind::Exception;
        view.AppendOwnLine(std::string(indent, ' ') + RenderModbusFrame(frame, m_options.format),
                           alert ? AlertColor : DecodedColor);
    }
}

TRecordTap::TRecordTap(TOruScomm& connection, const TRecordOutputOptions& options)
    : m_connection(connection), m_output(options), m_timeline(TOruScomm::ReadWindowMs) {}

void TRecordTap::BeforeTick(const TTerminalView& view) {
    // The pump is the only taker: the oldest record is the one the engine takes next.
    m_record = m_connection.PeekRecord().value_or(TQueuedRecord());
    m_linesBefore = view.LinesShown();
}

void TRecordTap::AfterTick(const TDataRT& engine, TTerminalView& view) {
    if (!engine.LastTickTookRecord() || m_record.empty()) {
        return;
    }
    const uint64_t now =
        static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                  std::chrono::system_clock::now().time_since_epoch())
                                  .count());
    const uint32_t gap = m_connection.RecordGap();
    m_timeline.SetReadTail(gap != 0 ? gap : TOruScomm::ReadWindowMs);
    TTimedRecord record;
    record.direction = m_record.front() == 'T' || m_record.front() == 'B' ? m_record.front() : 'R';
    record.timeMs = m_timeline.TimeOf(m_record, now);
    const bool hex =
        (record.direction == 'T' ? m_connection.HexSend : m_connection.HexReceive).load() != 0;
    record.bytes = RecordBytes(m_record, hex);
    const size_t indent = TrafficPrefix(m_record, engine.ShowTime, engine.ShowRxTx).size();
    m_output.Record(record, view.LinesShown() > m_linesBefore, indent, view);
}
