#include "protocol/ModbusRtu.h"

#include "codec/HexCodec.h"

#include <algorithm>
#include <cstdint>
#include <utility>

namespace {

// An RTU frame never exceeds 256 bytes.
constexpr size_t kMaxFrame = 256;
constexpr uint8_t kMaxSlave = 247;
// Requests waiting for a reply; a bus that never answers must not grow the list.
constexpr size_t kMaxOpenRequests = 16;

enum class TRule { Invalid, NeedMore, Complete, Unlisted };

struct TLength {
    TRule rule = TRule::Invalid;
    size_t length = 0;
};

uint16_t Word(const uint8_t* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

TLength Need() {
    return {TRule::NeedMore, 0};
}

TLength Length(size_t n) {
    if (n > kMaxFrame) {
        return {TRule::Invalid, 0};
    }
    return {TRule::Complete, n};
}

// The length a frame starting at p would have, read as a request or as a reply.
TLength FrameLength(const uint8_t* p, size_t avail, bool request) {
    if (avail < 2) {
        return Need();
    }
    const uint8_t slave = p[0];
    const uint8_t function = p[1];
    if (slave > kMaxSlave || function == 0 || function == 0x80) {
        return {TRule::Invalid, 0};
    }
    if ((function & 0x80) != 0) {
        if (request || slave == 0) {
            return {TRule::Invalid, 0};
        }
        return Length(5);
    }
    if (request) {
        switch (function) {
        case 0x01:
        case 0x02:
        case 0x03:
        case 0x04:
        case 0x05:
        case 0x06:
        case 0x08:
            return Length(8);
        case 0x07:
        case 0x11:
            return Length(4);
        case 0x0F:
        case 0x10:
            return avail < 7 ? Need() : Length(9 + size_t{p[6]});
        case 0x16:
            return Length(10);
        case 0x17:
            return avail < 11 ? Need() : Length(13 + size_t{p[10]});
        case 0x2B:
            if (avail < 3) {
                return Need();
            }
            return p[2] == 0x0E ? Length(7) : TLength{TRule::Unlisted, 0};
        default:
            return {TRule::Unlisted, 0};
        }
    }
    if (slave == 0) {
        return {TRule::Invalid, 0};
    }
    switch (function) {
    case 0x01:
    case 0x02:
    case 0x03:
    case 0x04:
    case 0x11:
    case 0x17:
        return avail < 3 ? Need() : Length(5 + size_t{p[2]});
    case 0x05:
    case 0x06:
    case 0x08:
    case 0x0F:
    case 0x10:
        return Length(8);
    case 0x07:
        return Length(5);
    case 0x16:
        return Length(10);
    case 0x2B: {
        if (avail < 3) {
            return Need();
        }
        if (p[2] != 0x0E) {
            return {TRule::Unlisted, 0};
        }
        if (avail < 8) {
            return Need();
        }
        size_t at = 8;
        for (unsigned i = 0; i < p[7]; ++i) {
            if (at + 2 > kMaxFrame) {
                return {TRule::Invalid, 0};
            }
            if (avail < at + 2) {
                return Need();
            }
            at += 2 + size_t{p[at + 1]};
        }
        return Length(at + 2);
    }
    default:
        return {TRule::Unlisted, 0};
    }
}

bool CrcOk(const uint8_t* p, size_t length) {
    const uint16_t crc = ModbusCrc16(p, length - 2);
    return p[length - 2] == (crc & 0xFF) && p[length - 1] == (crc >> 8);
}

// One reading of the bytes at a position.
struct TReading {
    TModbusKind kind = TModbusKind::Request;
    TLength length;
    bool crcOk = false;
};

TReading Read(const uint8_t* p, size_t avail, bool request) {
    TReading reading;
    reading.kind = request ? TModbusKind::Request : TModbusKind::Reply;
    reading.length = FrameLength(p, avail, request);
    if (reading.length.rule == TRule::Complete) {
        if (reading.length.length > avail) {
            reading.length.rule = TRule::NeedMore;
        } else {
            reading.crcOk = CrcOk(p, reading.length.length);
        }
    }
    return reading;
}

// Length of a frame of an unlisted function at p: the shortest with a good CRC, or 0.
size_t UnlistedLength(const uint8_t* p, size_t avail) {
    const size_t limit = std::min(avail, kMaxFrame);
    uint16_t crc = 0xFFFF;
    for (size_t length = 4; length <= limit; ++length) {
        crc = static_cast<uint16_t>(length == 4 ? ModbusCrc16(p, 2) : crc);
        if (length > 4) {
            crc = ModbusCrc16Update(crc, p[length - 3]);
        }
        if (p[length - 2] == (crc & 0xFF) && p[length - 1] == (crc >> 8)) {
            return length;
        }
    }
    return 0;
}

bool EchoFunction(uint8_t function) {
    return function == 0x05 || function == 0x06 || function == 0x08 || function == 0x16;
}

} // namespace

bool ModbusRtuWholeFrame(const uint8_t* data, size_t n) {
    if (n < 4 || n > kMaxFrame) {
        return false;
    }
    for (bool request : {true, false}) {
        const TLength length = FrameLength(data, n, request);
        if ((length.rule == TRule::Complete && length.length == n) ||
            length.rule == TRule::Unlisted) {
            if (CrcOk(data, n)) {
                return true;
            }
        }
    }
    return false;
}

TModbusRtuDecoder::TModbusRtuDecoder(bool sniff) : m_sniff(sniff) {}

void TModbusRtuDecoder::Reset() {
    for (auto& pending : m_pending) {
        pending.bytes.clear();
        pending.times.clear();
        pending.resume = 0;
        pending.afterNoise = false;
    }
    m_open.clear();
    m_lastRequest.clear();
    m_nextId = 1;
    m_stats = {};
}

void TModbusRtuDecoder::Feed(TModbusDirection direction, uint64_t timeMs, const uint8_t* data,
                             size_t n, std::vector<TModbusFrame>& out) {
    if (m_sniff) {
        direction = TModbusDirection::Received;
    }
    auto& pending = m_pending[static_cast<int>(direction)];
    if (n == 0) {
        return;
    }
    pending.times.emplace_back(pending.bytes.size(), timeMs);
    pending.bytes.insert(pending.bytes.end(), data, data + n);
    Scan(direction, false, out);
}

void TModbusRtuDecoder::Finish(std::vector<TModbusFrame>& out) {
    Scan(TModbusDirection::Sent, true, out);
    Scan(TModbusDirection::Received, true, out);
}

uint64_t TModbusRtuDecoder::TimeAt(const TPending& pending, size_t offset) const {
    uint64_t time = 0;
    for (const auto& [start, ms] : pending.times) {
        if (start > offset) {
            break;
        }
        time = ms;
    }
    return time;
}

const TModbusRtuDecoder::TOpenRequest* TModbusRtuDecoder::OpenRequestFor(uint8_t slave,
                                                                         uint8_t function) const {
    for (auto it = m_open.rbegin(); it != m_open.rend(); ++it) {
        if (it->slave == slave && it->function == function) {
            return &*it;
        }
    }
    return nullptr;
}

void TModbusRtuDecoder::Scan(TModbusDirection direction, bool final,
                             std::vector<TModbusFrame>& out) {
    auto& pending = m_pending[static_cast<int>(direction)];
    const uint8_t* buf = pending.bytes.data();
    const size_t n = pending.bytes.size();
    // Readings in the order they are preferred: the direction's own first. On a sniffed bus
    // both are tried and pairing decides between two that fit.
    const bool requestFirst = !m_sniff && direction == TModbusDirection::Sent;

    auto okFrameAt = [&](size_t at) {
        if (at >= n) {
            return false;
        }
        for (bool request : {true, false}) {
            const TReading r = Read(buf + at, n - at, request);
            if (r.length.rule == TRule::Complete && r.crcOk) {
                return true;
            }
        }
        return false;
    };
    // First position after `from` where a whole frame with a good CRC lies (n: none).
    size_t aheadFrom = 0;
    size_t aheadAt = 0;
    auto okFrameAhead = [&](size_t from) {
        if (from < aheadFrom || from > aheadAt) {
            aheadAt = n;
            for (size_t q = from; q < n; ++q) {
                if (okFrameAt(q)) {
                    aheadAt = q;
                    break;
                }
            }
        }
        aheadFrom = from;
        return aheadAt < n;
    };

    size_t pos = pending.resume;
    size_t unknownFrom = 0;
    // Where a frame may start: after a frame, or at the start of the stream or of a record
    // that does not continue noise.
    size_t boundary = pending.afterNoise ? SIZE_MAX : 0;
    while (pos < n) {
        const uint8_t* p = buf + pos;
        const size_t avail = n - pos;
        TReading readings[2] = {Read(p, avail, requestFirst), Read(p, avail, !requestFirst)};

        // A good CRC decides.
        const TReading* chosen = nullptr;
        for (const auto& r : readings) {
            if (r.length.rule != TRule::Complete || !r.crcOk) {
                continue;
            }
            if (chosen == nullptr) {
                chosen = &r;
            } else if (m_sniff) {
                // Both fit: a reply when a request of that slave and function waits (for an
                // echoing function only when it is the identical frame).
                bool reply = OpenRequestFor(p[0], p[1] & 0x7F) != nullptr;
                if (EchoFunction(p[1])) {
                    reply = m_lastRequest.size() == r.length.length &&
                            std::equal(m_lastRequest.begin(), m_lastRequest.end(), p);
                }
                const TModbusKind want = reply ? TModbusKind::Reply : TModbusKind::Request;
                if (chosen->kind != want) {
                    chosen = &r;
                }
            }
        }
        if (chosen != nullptr) {
            EmitUnknown(direction, unknownFrom, pos, out);
            EmitFrame(direction, pos, chosen->length.length, chosen->kind, true, out);
            pos += chosen->length.length;
            unknownFrom = boundary = pos;
            continue;
        }

        const bool needMore = readings[0].length.rule == TRule::NeedMore ||
                              readings[1].length.rule == TRule::NeedMore;
        if (pos == boundary && (!needMore || final)) {
            // Where a frame may start (after a frame or at the start of the stream), a frame
            // of the right length whose CRC fails is shown as such when the stream ends there
            // or a good frame follows it. Elsewhere a failed CRC is noise.
            // On a sniffed bus pairing picks the reading tried first: a reply when a request
            // of that slave and function waits. Each reading keeps its own kind, since its
            // length is that kind's.
            int order[2] = {0, 1};
            if (m_sniff && avail >= 2) {
                const TModbusKind want = OpenRequestFor(p[0], p[1] & 0x7F) != nullptr
                                             ? TModbusKind::Reply
                                             : TModbusKind::Request;
                if (readings[1].kind == want) {
                    std::swap(order[0], order[1]);
                }
            }
            for (int i = 0; i < (m_sniff ? 2 : 1); ++i) {
                const TReading& r = readings[order[i]];
                if (r.length.rule != TRule::Complete) {
                    continue;
                }
                const size_t end = pos + r.length.length;
                if (end == n || okFrameAt(end)) {
                    chosen = &r;
                    EmitFrame(direction, pos, r.length.length, r.kind, false, out);
                    pos = end;
                    unknownFrom = boundary = pos;
                    break;
                }
            }
            if (chosen != nullptr) {
                continue;
            }
            // A function without a length rule: the shortest run with a good CRC.
            if (readings[0].length.rule == TRule::Unlisted) {
                const size_t length = UnlistedLength(p, avail);
                if (length > 0) {
                    TModbusKind kind = requestFirst ? TModbusKind::Request : TModbusKind::Reply;
                    if (m_sniff) {
                        kind = OpenRequestFor(p[0], p[1]) != nullptr ? TModbusKind::Reply
                                                                     : TModbusKind::Request;
                    }
                    EmitFrame(direction, pos, length, kind, true, out);
                    pos += length;
                    unknownFrom = boundary = pos;
                    continue;
                }
                if (avail < kMaxFrame && !final && !okFrameAhead(pos + 1)) {
                    break; // the next record may bring its CRC
                }
            }
        }
        if (needMore && !final && !okFrameAhead(pos + 1)) {
            break; // may be a frame the next record completes
        }
        ++pos;
    }
    if (final) {
        pos = n;
    }
    if (pos >= n) {
        EmitUnknown(direction, unknownFrom, n, out);
        pending.bytes.clear();
        pending.times.clear();
        pending.resume = 0;
        pending.afterNoise = false;
        return;
    }
    // Keep the bytes from the first one no frame took, with the time of the record each came
    // in; the scan goes on where it stopped. The bytes before pos start no frame: a long run
    // of them is shown now, so noise that never ends (another protocol, text) is neither
    // held back nor kept; a short one waits to be shown whole.
    size_t keep = unknownFrom;
    if (pos - unknownFrom >= kMaxFrame) {
        EmitUnknown(direction, unknownFrom, pos, out);
        pending.afterNoise = true;
        keep = pos;
    } else {
        pending.afterNoise = unknownFrom != boundary;
    }
    pending.resume = pos - keep;
    const uint64_t firstTime = TimeAt(pending, keep);
    pending.bytes.erase(pending.bytes.begin(),
                        pending.bytes.begin() + static_cast<ptrdiff_t>(keep));
    std::vector<std::pair<size_t, uint64_t>> times{{0, firstTime}};
    for (const auto& [start, ms] : pending.times) {
        if (start > keep) {
            times.emplace_back(start - keep, ms);
        }
    }
    pending.times = std::move(times);
}

void TModbusRtuDecoder::EmitUnknown(TModbusDirection direction, size_t from, size_t to,
                                    std::vector<TModbusFrame>& out) {
    if (to <= from) {
        return;
    }
    const auto& pending = m_pending[static_cast<int>(direction)];
    TModbusFrame& frame = out.emplace_back();
    frame.direction = direction;
    frame.kind = TModbusKind::Unknown;
    frame.timeMs = TimeAt(pending, from);
    frame.id = m_nextId++;
    frame.bytes.assign(pending.bytes.begin() + static_cast<ptrdiff_t>(from),
                       pending.bytes.begin() + static_cast<ptrdiff_t>(to));
    m_lastRequest.clear();
    m_stats.unknownBytes += to - from;
}

void TModbusRtuDecoder::Pair(TModbusFrame& frame) {
    for (auto it = m_open.rbegin(); it != m_open.rend(); ++it) {
        if (it->slave != frame.slave || it->function != frame.function) {
            continue;
        }
        frame.requestId = it->id;
        frame.replyMs = frame.timeMs >= it->timeMs ? frame.timeMs - it->timeMs : 0;
        if (!frame.address) {
            frame.address = it->address;
        }
        if (!frame.quantity && frame.kind == TModbusKind::Reply) {
            frame.quantity = it->quantity;
        }
        m_open.erase(std::next(it).base());
        ++m_stats.answered;
        return;
    }
}

void TModbusRtuDecoder::EmitFrame(TModbusDirection direction, size_t at, size_t length,
                                  TModbusKind kind, bool crcOk, std::vector<TModbusFrame>& out) {
    const auto& pending = m_pending[static_cast<int>(direction)];
    const uint8_t* p = pending.bytes.data() + at;
    TModbusFrame& frame = out.emplace_back();
    frame.direction = direction;
    frame.timeMs = TimeAt(pending, at);
    frame.id = m_nextId++;
    frame.bytes.assign(p, p + length);
    if (kind == TModbusKind::Request && crcOk) {
        m_lastRequest = frame.bytes;
    } else {
        m_lastRequest.clear();
    }
    frame.slave = p[0];
    frame.function = p[1] & 0x7F;
    frame.crcOk = crcOk;
    if (!crcOk) {
        frame.crcExpected = ModbusCrc16(p, length - 2);
    }
    const size_t body = length - 2; // without the CRC
    if ((p[1] & 0x80) != 0) {
        kind = TModbusKind::Exception;
    }
    frame.kind = kind;
    ++m_stats.frames;
    if (!crcOk) {
        ++m_stats.badCrc;
    }

    auto rawData = [&](size_t from) {
        if (body > from) {
            frame.data.assign(p + from, p + body);
        }
    };
    auto registersFrom = [&](size_t from, size_t bytes) {
        const size_t end = std::min(body, from + bytes);
        for (size_t i = from; i + 1 < end; i += 2) {
            frame.registers.push_back(Word(p + i));
        }
    };
    auto coilsFrom = [&](size_t from, size_t bytes, size_t count) {
        const size_t end = std::min(body, from + bytes);
        count = std::min(count, (end - std::min(end, from)) * 8);
        frame.coils.reserve(count);
        for (size_t i = 0; i < count; ++i) {
            frame.coils.push_back(static_cast<uint8_t>((p[from + i / 8] >> (i % 8)) & 1));
        }
    };

    if (kind == TModbusKind::Exception) {
        frame.exceptionCode = p[2];
        ++m_stats.exceptions;
        if (crcOk) {
            Pair(frame);
        }
        return;
    }
    const uint8_t f = frame.function;
    if (kind == TModbusKind::Request) {
        switch (f) {
        case 0x01:
        case 0x02:
        case 0x03:
        case 0x04:
            frame.address = Word(p + 2);
            frame.quantity = Word(p + 4);
            break;
        case 0x05:
        case 0x06:
            frame.address = Word(p + 2);
            frame.value = Word(p + 4);
            break;
        case 0x08:
            frame.subFunction = Word(p + 2);
            rawData(4);
            break;
        case 0x0F:
            frame.address = Word(p + 2);
            frame.quantity = Word(p + 4);
            frame.byteCount = p[6];
            coilsFrom(7, p[6], *frame.quantity);
            break;
        case 0x10:
            frame.address = Word(p + 2);
            frame.quantity = Word(p + 4);
            frame.byteCount = p[6];
            registersFrom(7, p[6]);
            break;
        case 0x16:
            frame.address = Word(p + 2);
            frame.andMask = Word(p + 4);
            frame.orMask = Word(p + 6);
            break;
        case 0x17:
            frame.address = Word(p + 2);
            frame.quantity = Word(p + 4);
            frame.writeAddress = Word(p + 6);
            frame.writeQuantity = Word(p + 8);
            frame.byteCount = p[10];
            registersFrom(11, p[10]);
            break;
        case 0x07:
        case 0x11:
            break;
        case 0x2B:
            if (length == 7 && p[2] == 0x0E) {
                frame.deviceIdCode = p[3];
                frame.objectId = p[4];
                break;
            }
            rawData(2);
            break;
        default:
            rawData(2);
            break;
        }
        if (crcOk && frame.slave != 0) {
            ++m_stats.requests;
            m_open.push_back({frame.id, frame.timeMs, frame.slave, f, frame.address, frame.quantity,
                              frame.bytes});
            if (m_open.size() > kMaxOpenRequests) {
                m_open.erase(m_open.begin());
            }
        }
        return;
    }

    // A reply: its request first, for the address and the number of coils.
    if (crcOk) {
        Pair(frame);
    }
    switch (f) {
    case 0x01:
    case 0x02: {
        frame.byteCount = p[2];
        const size_t count = frame.quantity && *frame.quantity <= size_t{p[2]} * 8
                                 ? *frame.quantity
                                 : size_t{p[2]} * 8;
        coilsFrom(3, p[2], count);
        frame.quantity = static_cast<uint16_t>(frame.coils.size());
        break;
    }
    case 0x03:
    case 0x04:
    case 0x17:
        frame.byteCount = p[2];
        registersFrom(3, p[2]);
        frame.quantity = static_cast<uint16_t>(frame.registers.size());
        break;
    case 0x05:
    case 0x06:
        frame.address = Word(p + 2);
        frame.value = Word(p + 4);
        break;
    case 0x07:
        frame.value = p[2];
        break;
    case 0x08:
        frame.subFunction = Word(p + 2);
        rawData(4);
        break;
    case 0x0F:
    case 0x10:
        frame.address = Word(p + 2);
        frame.quantity = Word(p + 4);
        break;
    case 0x11:
        frame.byteCount = p[2];
        rawData(3);
        break;
    case 0x16:
        frame.address = Word(p + 2);
        frame.andMask = Word(p + 4);
        frame.orMask = Word(p + 6);
        break;
    case 0x2B:
        if (length >= 10 && p[2] == 0x0E) {
            frame.deviceIdCode = p[3];
            size_t i = 8;
            for (unsigned k = 0; k < p[7] && i + 2 <= body; ++k) {
                const size_t len = std::min<size_t>(p[i + 1], body - (i + 2));
                frame.objects.push_back(
                    {p[i], std::string(reinterpret_cast<const char*>(p + i + 2), len)});
                i += 2 + len;
            }
            break;
        }
        rawData(2);
        break;
    default:
        rawData(2);
        break;
    }
}
