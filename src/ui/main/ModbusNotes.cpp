#include "ui/main/ModbusNotes.h"

#include "codec/HexCodec.h"
#include "traffic/DataRT.h"

#include <QStringList>

#include <algorithm>

namespace {

// Note numbers are 1..kSpan; they follow the frames kept and wrap after kSpan of them,
// far more than a view ever holds at once.
constexpr uint64_t kSpan = 0xFFFFFFFFu;
// Requests remembered for the replies that answer them; the decoder keeps fewer open.
constexpr size_t kRequestsKept = 32;
// Without a gap in the record's header the records were at least this far apart.
constexpr uint64_t kLongGapMs = 1000;

// What a string holds on the heap beyond its own size.
uint64_t HeapOf(const std::string& text) {
    return text.capacity() > 15 ? text.capacity() + 1 : 0;
}

QString Hex4(unsigned value) {
    return QStringLiteral("0x") +
           QStringLiteral("%1").arg(value, 4, 16, QLatin1Char('0')).toUpper();
}

QString Hex2(unsigned value) {
    return QStringLiteral("%1").arg(value & 0xFF, 2, 16, QLatin1Char('0')).toUpper();
}

QString HexBytes(const std::vector<uint8_t>& bytes) {
    return QString::fromStdString(BytesToHex(bytes.data(), bytes.size(), " "));
}

} // namespace

TModbusNotes::TModbusNotes(RichView& view) : m_view(view) {}

void TModbusNotes::Reset() {
    m_decoder.Reset();
    m_requests.clear();
    m_lastMs.reset();
}

void TModbusNotes::SetFormat(TModbusValueFormat format) {
    if (m_format != format) {
        m_format = format;
        m_view.NotesChanged();
    }
}

QString TModbusNotes::CountText() const {
    const TModbusStats& s = Stats();
    return QStringLiteral("Modbus: %1 frames, %2 bad CRC, %3 exceptions, %4 unanswered")
        .arg(s.frames)
        .arg(s.badCrc)
        .arg(s.exceptions)
        .arg(s.Unanswered());
}

void TModbusNotes::Record(std::string_view record, bool hex, bool shown, uint64_t nowMs) {
    if (record.empty()) {
        return;
    }
    Prune();
    bool requests = record.front() == 'T';
    if (m_tap && !requests) {
        requests = (record.front() == 'B') == *m_tap;
    }
    const TModbusDirection direction =
        requests ? TModbusDirection::Sent : TModbusDirection::Received;
    // The headers' gaps time the records to the millisecond, whenever the pump took them.
    const std::optional<uint32_t> gap = RecordHeaderGap(record);
    uint64_t time = nowMs;
    if (m_lastMs) {
        time = gap ? *m_lastMs + *gap : std::max(*m_lastMs + kLongGapMs, nowMs);
    }
    m_lastMs = time;
    const std::string bytes = RecordBytes(record, hex);
    m_out.clear();
    m_decoder.Feed(direction, time, bytes, m_out);

    const int line = m_view.StoredLineCount() - 2; // the last line ends the view's text
    const bool keep = shown && line >= 0 && !m_out.empty();
    const uint64_t first = m_firstIndex + m_frames.size();
    for (const TModbusFrame& frame : m_out) {
        if (frame.kind == TModbusKind::Request && frame.crcOk) {
            m_requests.emplace_back(frame.id, std::string(frame.bytes.begin(), frame.bytes.end()));
            if (m_requests.size() > kRequestsKept) {
                m_requests.pop_front();
            }
        }
        if (!keep) {
            continue;
        }
        TKept& kept = m_frames.emplace_back();
        if (frame.requestId) {
            for (const auto& [id, request] : m_requests) {
                if (id == *frame.requestId) {
                    kept.bytes = request;
                    kept.requestLength = static_cast<uint16_t>(request.size());
                }
            }
        }
        kept.bytes.append(frame.bytes.begin(), frame.bytes.end());
        kept.text = RenderModbusFrame(frame, m_format);
        kept.textFormat = m_format;
        kept.replyMs =
            static_cast<uint32_t>(std::min<uint64_t>(frame.replyMs.value_or(0), UINT32_MAX));
        kept.direction = frame.direction;
        kept.kind = frame.kind;
        kept.crcOk = frame.crcOk;
        kept.paired = frame.requestId.has_value();
        m_memory += sizeof(TKept) + HeapOf(kept.bytes) + HeapOf(kept.text);
    }
    if (keep) {
        m_frames.back().last = true;
        m_view.SetLineNote(line, static_cast<uint32_t>(first % kSpan + 1));
    }
}

void TModbusNotes::Prune() {
    const TLineStore& store = m_view.Store();
    if (store.FrontLinesDropped() == m_dropped && store.Clears() == m_clears) {
        return;
    }
    m_dropped = store.FrontLinesDropped();
    m_clears = store.Clears();
    size_t keepFrom = m_frames.size();
    for (int i = 0; i < store.Count(); ++i) {
        if (const std::optional<size_t> at = Find(store.Note(i))) {
            keepFrom = *at;
            break;
        }
    }
    for (size_t i = 0; i < keepFrom; ++i) {
        m_memory -= sizeof(TKept) + HeapOf(m_frames[i].bytes) + HeapOf(m_frames[i].text);
    }
    m_frames.erase(m_frames.begin(), m_frames.begin() + static_cast<ptrdiff_t>(keepFrom));
    m_firstIndex += keepFrom;
}

std::optional<size_t> TModbusNotes::Find(uint32_t note) const {
    if (note == 0) {
        return std::nullopt;
    }
    const uint64_t at = (note - 1 + kSpan - m_firstIndex % kSpan) % kSpan;
    if (at >= m_frames.size() || (at > 0 && !m_frames[at - 1].last)) {
        return std::nullopt;
    }
    return static_cast<size_t>(at);
}

int TModbusNotes::RowCount(uint32_t note) const {
    const std::optional<size_t> at = Find(note);
    if (!at) {
        return 0;
    }
    size_t i = *at;
    while (!m_frames[i].last) {
        ++i;
    }
    return static_cast<int>(i - *at + 1);
}

TModbusFrame TModbusNotes::Decode(const TKept& kept) const {
    const auto* p = reinterpret_cast<const uint8_t*>(kept.bytes.data());
    const size_t n = kept.bytes.size() - kept.requestLength;
    TModbusRtuDecoder decoder;
    std::vector<TModbusFrame> out;
    if (kept.requestLength > 0) {
        decoder.Feed(TModbusDirection::Sent, 0, p, kept.requestLength, out);
    }
    decoder.Feed(kept.direction, kept.replyMs, p + kept.requestLength, n, out);
    decoder.Finish(out);
    const std::vector<uint8_t> own(p + kept.requestLength, p + kept.bytes.size());
    for (auto it = out.rbegin(); it != out.rend(); ++it) {
        if (it->bytes == own && it->kind == kept.kind) {
            return *it;
        }
    }
    // Decoded alone the bytes read otherwise than in the stream: shown as they came.
    TModbusFrame frame;
    frame.direction = kept.direction;
    frame.kind = TModbusKind::Unknown;
    frame.bytes = own;
    return frame;
}

TLineNotes::Row TModbusNotes::RowOf(uint32_t note, int row) {
    const std::optional<size_t> at = Find(note);
    if (!at || row < 0 || *at + static_cast<size_t>(row) >= m_frames.size()) {
        return {};
    }
    TKept& kept = m_frames[*at + static_cast<size_t>(row)];
    if (kept.textFormat != m_format && kept.kind != TModbusKind::Unknown) {
        m_memory -= HeapOf(kept.text);
        kept.text = RenderModbusFrame(Decode(kept), m_format);
        m_memory += HeapOf(kept.text);
        kept.textFormat = m_format;
    }
    return {QString::fromStdString(kept.text), kept.kind == TModbusKind::Exception || !kept.crcOk};
}

QString TModbusNotes::Hint(uint32_t note, int row) {
    const std::optional<size_t> at = Find(note);
    if (!at || row < 0 || *at + static_cast<size_t>(row) >= m_frames.size()) {
        return {};
    }
    const TKept& kept = m_frames[*at + static_cast<size_t>(row)];
    const TModbusFrame f = Decode(kept);
    const bool sent = f.direction == TModbusDirection::Sent;
    QStringList lines;
    if (f.kind == TModbusKind::Unknown) {
        lines << QStringLiteral("%1 bytes that form no Modbus RTU frame")
                     .arg(sent ? QStringLiteral("Sent") : QStringLiteral("Received"));
        lines << QStringLiteral("Bytes: %1").arg(HexBytes(f.bytes));
        return lines.join(QLatin1Char('\n'));
    }
    const QString kind = f.kind == TModbusKind::Request ? QStringLiteral("request")
                         : f.kind == TModbusKind::Reply ? QStringLiteral("reply")
                                                        : QStringLiteral("exception");
    lines << QStringLiteral("Modbus RTU %1, %2")
                 .arg(kind, sent ? QStringLiteral("sent") : QStringLiteral("received"));
    lines << QStringLiteral("Slave: %1").arg(f.slave);
    lines << QStringLiteral("Function: %1 %2")
                 .arg(Hex2(f.function), QString::fromStdString(ModbusFunctionName(f.function)));
    const auto field = [&](const QString& name, const auto& value, bool hex4) {
        if (value) {
            const unsigned v = static_cast<unsigned>(*value);
            lines << name + QStringLiteral(": ") +
                         (hex4 ? QStringLiteral("%1 (%2)").arg(Hex4(v)).arg(v)
                               : QString::number(v));
        }
    };
    field(QStringLiteral("Address"), f.address, true);
    field(QStringLiteral("Quantity"), f.quantity, false);
    field(QStringLiteral("Write address"), f.writeAddress, true);
    field(QStringLiteral("Write quantity"), f.writeQuantity, false);
    field(QStringLiteral("Byte count"), f.byteCount, false);
    field(QStringLiteral("Value"), f.value, true);
    field(QStringLiteral("AND mask"), f.andMask, true);
    field(QStringLiteral("OR mask"), f.orMask, true);
    if (f.subFunction) {
        const std::string_view name = ModbusDiagnosticName(*f.subFunction);
        lines << QStringLiteral("Sub-function: %1%2")
                     .arg(Hex4(*f.subFunction),
                          name.empty()
                              ? QString()
                              : QStringLiteral(" ") +
                                    QString::fromUtf8(name.data(), qsizetype(name.size())));
    }
    field(QStringLiteral("Device ID code"), f.deviceIdCode, false);
    if (f.objectId) {
        lines << QStringLiteral("Object ID: %1").arg(Hex2(*f.objectId));
    }
    for (const TModbusDeviceObject& object : f.objects) {
        lines << QStringLiteral("Object %1: %2")
                     .arg(Hex2(object.id),
                          QString::fromLatin1(object.value.data(), qsizetype(object.value.size())));
    }
    if (!f.registers.empty()) {
        QStringList values;
        for (const std::string& v : ModbusValueTexts(f.registers, m_format)) {
            values << QString::fromStdString(v);
        }
        lines << QStringLiteral("Registers (%1): %2")
                     .arg(QString::fromLatin1(ModbusValueFormatName(m_format).data(),
                                              qsizetype(ModbusValueFormatName(m_format).size())),
                          values.join(QLatin1Char(' ')));
    }
    if (!f.coils.empty()) {
        QString coils;
        for (uint8_t c : f.coils) {
            coils += c != 0 ? QLatin1Char('1') : QLatin1Char('0');
        }
        lines << QStringLiteral("Coils: %1").arg(coils);
    }
    if (!f.data.empty()) {
        lines << QStringLiteral("Data: %1").arg(HexBytes(f.data));
    }
    if (f.exceptionCode) {
        lines << QStringLiteral("Exception: %1 %2")
                     .arg(Hex2(*f.exceptionCode),
                          QString::fromStdString(ModbusExceptionName(*f.exceptionCode)));
    }
    lines << (f.crcOk ? QStringLiteral("CRC: ok")
                      : QStringLiteral("CRC: bad, expected %1 %2")
                            .arg(Hex2(f.crcExpected), Hex2(f.crcExpected >> 8)));
    if (kept.paired) {
        lines << QStringLiteral("Reply time: %1 ms").arg(kept.replyMs);
        const std::string request = kept.bytes.substr(0, kept.requestLength);
        if (!request.empty()) {
            lines << QStringLiteral("Request: %1")
                         .arg(QString::fromStdString(BytesToHex(request, " ")));
        }
    } else if (f.kind == TModbusKind::Reply) {
        lines << QStringLiteral("No request seen for this reply");
    }
    lines << QStringLiteral("Bytes: %1").arg(HexBytes(f.bytes));
    return lines.join(QLatin1Char('\n'));
}
