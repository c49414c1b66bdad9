// The words and JSON of decoded Modbus frames, shared by the window and korvane-cli.
#include "protocol/ModbusRtu.h"

#include "codec/HexCodec.h"

#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

struct TFormatName {
    TModbusValueFormat format;
    const char* name;
};

constexpr std::array<TFormatName, 9> kFormatNames{{
    {TModbusValueFormat::U16, "u16"},
    {TModbusValueFormat::S16, "s16"},
    {TModbusValueFormat::Hex, "hex"},
    {TModbusValueFormat::F32HighFirst, "f32"},
    {TModbusValueFormat::F32LowFirst, "f32-swapped"},
    {TModbusValueFormat::I32HighFirst, "i32"},
    {TModbusValueFormat::I32LowFirst, "i32-swapped"},
    {TModbusValueFormat::U32HighFirst, "u32"},
    {TModbusValueFormat::U32LowFirst, "u32-swapped"},
}};

// Written by hand: a decoded line holds many of these, and a formatted print of each
// would cost more than decoding the frame.
constexpr char kHexDigits[] = "0123456789ABCDEF";

std::string Hex2(unsigned value) {
    return {kHexDigits[(value >> 4) & 0xFu], kHexDigits[value & 0xFu]};
}

std::string Hex4(unsigned value) {
    return {'0',
            'x',
            kHexDigits[(value >> 12) & 0xFu],
            kHexDigits[(value >> 8) & 0xFu],
            kHexDigits[(value >> 4) & 0xFu],
            kHexDigits[value & 0xFu]};
}

std::string Number(uint64_t value) {
    return std::to_string(value);
}

// Device identification text as it can be shown: printable ASCII kept, the rest as \xNN.
std::string ShownText(const std::string& text) {
    std::string shown;
    for (unsigned char c : text) {
        if (c >= 0x20 && c < 0x7F) {
            shown += static_cast<char>(c);
        } else {
            shown += "\\x" + Hex2(c);
        }
    }
    return shown;
}

std::string ObjectName(uint8_t id) {
    static constexpr std::array<const char*, 7> kNames{
        "VendorName",  "ProductCode", "MajorMinorRevision", "VendorUrl",
        "ProductName", "ModelName",   "UserApplicationName"};
    if (id < kNames.size()) {
        return kNames[id];
    }
    return "object " + Hex2(id);
}

std::string Joined(const std::vector<std::string>& texts) {
    std::string joined;
    for (const auto& text : texts) {
        if (!joined.empty()) {
            joined += ' ';
        }
        joined += text;
    }
    return joined;
}

std::string CoilTexts(const std::vector<uint8_t>& coils) {
    std::string text;
    for (uint8_t coil : coils) {
        if (!text.empty()) {
            text += ' ';
        }
        text += coil != 0 ? '1' : '0';
    }
    return text;
}

std::string CoilValue(uint16_t value) {
    if (value == 0xFF00) {
        return "ON";
    }
    if (value == 0x0000) {
        return "OFF";
    }
    return Hex4(value);
}

bool IsRead(uint8_t function) {
    return function <= 0x04 || function == 0x17;
}

std::string JsonString(std::string_view text) {
    std::string json = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            json += '\\';
            json += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7F) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04X", c);
            json += escape;
        } else {
            json += static_cast<char>(c);
        }
    }
    return json + '"';
}

} // namespace

std::string ModbusFunctionName(uint8_t function) {
    switch (function) {
    case 0x01:
        return "Read Coils";
    case 0x02:
        return "Read Discrete Inputs";
    case 0x03:
        return "Read Holding Registers";
    case 0x04:
        return "Read Input Registers";
    case 0x05:
        return "Write Single Coil";
    case 0x06:
        return "Write Single Register";
    case 0x07:
        return "Read Exception Status";
    case 0x08:
        return "Diagnostics";
    case 0x0F:
        return "Write Multiple Coils";
    case 0x10:
        return "Write Multiple Registers";
    case 0x11:
        return "Report Server ID";
    case 0x16:
        return "Mask Write Register";
    case 0x17:
        return "Read/Write Multiple Registers";
    case 0x2B:
        return "Read Device Identification";
    default:
        return "function " + Hex2(function);
    }
}

std::string ModbusExceptionName(uint8_t code) {
    switch (code) {
    case 0x01:
        return "Illegal Function";
    case 0x02:
        return "Illegal Data Address";
    case 0x03:
        return "Illegal Data Value";
    case 0x04:
        return "Server Device Failure";
    case 0x05:
        return "Acknowledge";
    case 0x06:
        return "Server Device Busy";
    case 0x07:
        return "Negative Acknowledge";
    case 0x08:
        return "Memory Parity Error";
    case 0x0A:
        return "Gateway Path Unavailable";
    case 0x0B:
        return "Gateway Target Device Failed to Respond";
    default:
        return "exception " + Hex2(code);
    }
}

std::string_view ModbusDiagnosticName(uint16_t subFunction) {
    switch (subFunction) {
    case 0x00:
        return "Return Query Data";
    case 0x01:
        return "Restart Communications Option";
    case 0x02:
        return "Return Diagnostic Register";
    case 0x03:
        return "Change ASCII Input Delimiter";
    case 0x04:
        return "Force Listen Only Mode";
    case 0x0A:
        return "Clear Counters and Diagnostic Register";
    case 0x0B:
        return "Return Bus Message Count";
    case 0x0C:
        return "Return Bus Communication Error Count";
    case 0x0D:
        return "Return Bus Exception Error Count";
    case 0x0E:
        return "Return Server Message Count";
    case 0x0F:
        return "Return Server No Response Count";
    case 0x10:
        return "Return Server NAK Count";
    case 0x11:
        return "Return Server Busy Count";
    case 0x12:
        return "Return Bus Character Overrun Count";
    case 0x14:
        return "Clear Overrun Counter and Flag";
    default:
        return {};
    }
}

std::optional<TModbusValueFormat> ModbusValueFormatNamed(std::string_view name) {
    for (const auto& entry : kFormatNames) {
        if (name == entry.name) {
            return entry.format;
        }
    }
    return std::nullopt;
}

std::string_view ModbusValueFormatName(TModbusValueFormat format) {
    for (const auto& entry : kFormatNames) {
        if (entry.format == format) {
            return entry.name;
        }
    }
    return "u16";
}

std::vector<std::string> ModbusValueTexts(const std::vector<uint16_t>& registers,
                                          TModbusValueFormat format) {
    std::vector<std::string> texts;
    const bool pairs = format != TModbusValueFormat::U16 && format != TModbusValueFormat::S16 &&
                       format != TModbusValueFormat::Hex;
    size_t i = 0;
    if (pairs) {
        const bool lowFirst = format == TModbusValueFormat::F32LowFirst ||
                              format == TModbusValueFormat::I32LowFirst ||
                              format == TModbusValueFormat::U32LowFirst;
        for (; i + 1 < registers.size(); i += 2) {
            const uint32_t high = lowFirst ? registers[i + 1] : registers[i];
            const uint32_t low = lowFirst ? registers[i] : registers[i + 1];
            const uint32_t bits = (high << 16) | low;
            char text[32];
            switch (format) {
            case TModbusValueFormat::F32HighFirst:
            case TModbusValueFormat::F32LowFirst: {
                float value;
                std::memcpy(&value, &bits, sizeof value);
                std::snprintf(text, sizeof text, "%g", static_cast<double>(value));
                break;
            }
            case TModbusValueFormat::I32HighFirst:
            case TModbusValueFormat::I32LowFirst:
                std::snprintf(text, sizeof text, "%d", static_cast<int32_t>(bits));
                break;
            default:
                std::snprintf(text, sizeof text, "%u", bits);
                break;
            }
            texts.emplace_back(text);
        }
    }
    for (; i < registers.size(); ++i) {
        switch (format) {
        case TModbusValueFormat::S16:
            texts.push_back(std::to_string(static_cast<int16_t>(registers[i])));
            break;
        case TModbusValueFormat::Hex:
            texts.push_back(Hex4(registers[i]));
            break;
        default:
            texts.push_back(std::to_string(registers[i]));
            break;
        }
    }
    return texts;
}

std::string RenderModbusFrame(const TModbusFrame& frame, TModbusValueFormat format) {
    if (frame.kind == TModbusKind::Unknown) {
        return "not Modbus (" + Number(frame.bytes.size()) + " bytes)";
    }
    const uint8_t f = frame.function;
    std::string line = "slave " + Number(frame.slave) + ' ';
    const std::string name = ModbusFunctionName(f);
    auto values = [&] { return Joined(ModbusValueTexts(frame.registers, format)); };
    auto oneValue = [&](uint16_t value) {
        return format == TModbusValueFormat::S16 || format == TModbusValueFormat::Hex
                   ? ModbusValueTexts({value}, format).front()
                   : Number(value);
    };
    auto diagnostics = [&] {
        std::string text = name + ' ';
        const std::string_view sub = ModbusDiagnosticName(*frame.subFunction);
        if (!sub.empty()) {
            text += std::string(sub) + ' ';
        }
        text += '(' + Hex2(*frame.subFunction >> 8) + Hex2(*frame.subFunction) + ')';
        if (!frame.data.empty()) {
            text += " data " + BytesToHex(frame.data.data(), frame.data.size(), " ");
        }
        return text;
    };
    auto rawData = [&] {
        return frame.data.empty()
                   ? std::string()
                   : " data " + BytesToHex(frame.data.data(), frame.data.size(), " ");
    };

    if (frame.kind == TModbusKind::Exception) {
        line += "exception " + name + ": " + Hex2(*frame.exceptionCode) + ' ' +
                ModbusExceptionName(*frame.exceptionCode);
    } else if (frame.kind == TModbusKind::Request) {
        line += name;
        switch (f) {
        case 0x01:
        case 0x02:
        case 0x03:
        case 0x04:
            line += ' ' + Hex4(*frame.address) + " x" + Number(*frame.quantity);
            break;
        case 0x05:
            line += ' ' + Hex4(*frame.address) + " = " + CoilValue(*frame.value);
            break;
        case 0x06:
            line += ' ' + Hex4(*frame.address) + " = " + oneValue(*frame.value);
            break;
        case 0x08:
            line = "slave " + Number(frame.slave) + ' ' + diagnostics();
            break;
        case 0x0F:
            line += ' ' + Hex4(*frame.address) + " x" + Number(*frame.quantity) + " = " +
                    CoilTexts(frame.coils);
            break;
        case 0x10:
            line += ' ' + Hex4(*frame.address) + " x" + Number(*frame.quantity) + " = " + values();
            break;
        case 0x16:
            line += ' ' + Hex4(*frame.address) + " and " + Hex4(*frame.andMask) + " or " +
                    Hex4(*frame.orMask);
            break;
        case 0x17:
            line += " read " + Hex4(*frame.address) + " x" + Number(*frame.quantity) + " write " +
                    Hex4(*frame.writeAddress) + " x" + Number(*frame.writeQuantity) + " = " +
                    values();
            break;
        case 0x07:
        case 0x11:
            break;
        default:
            if (frame.deviceIdCode) {
                line += " code " + Number(*frame.deviceIdCode) + " object " + Hex2(*frame.objectId);
            } else {
                line += rawData();
            }
            break;
        }
    } else {
        line += "reply ";
        const bool coils = f == 0x01 || f == 0x02;
        if (IsRead(f)) {
            const size_t count = coils ? frame.coils.size() : frame.registers.size();
            if (frame.requestId && frame.address && count > 0) {
                line += Hex4(*frame.address) + ".." + Hex4(*frame.address + count - 1);
            } else {
                line += name;
            }
            line += " = " + (coils ? CoilTexts(frame.coils) : values());
        } else {
            switch (f) {
            case 0x05:
                line += name + ' ' + Hex4(*frame.address) + " = " + CoilValue(*frame.value);
                break;
            case 0x06:
                line += name + ' ' + Hex4(*frame.address) + " = " + oneValue(*frame.value);
                break;
            case 0x07:
                line += name + " = " + Hex2(*frame.value);
                break;
            case 0x08:
                line += diagnostics();
                break;
            case 0x0F:
            case 0x10:
                line += name + ' ' + Hex4(*frame.address) + " x" + Number(*frame.quantity);
                break;
            case 0x11:
                line += name + rawData();
                break;
            case 0x16:
                line += name + ' ' + Hex4(*frame.address) + " and " + Hex4(*frame.andMask) +
                        " or " + Hex4(*frame.orMask);
                break;
            default:
                line += name;
                if (frame.deviceIdCode) {
                    for (const auto& object : frame.objects) {
                        line += ' ' + ObjectName(object.id) + "=\"" + ShownText(object.value) + '"';
                    }
                } else {
                    line += rawData();
                }
                break;
            }
        }
    }
    if (!frame.crcOk) {
        line +=
            "  CRC bad, expected " + Hex2(frame.crcExpected) + ' ' + Hex2(frame.crcExpected >> 8);
    }
    if (frame.replyMs) {
        line += "  (" + Number(*frame.replyMs) + " ms)";
    }
    return line;
}

std::string ModbusFrameJson(const TModbusFrame& frame, TModbusValueFormat format) {
    if (frame.kind == TModbusKind::Unknown) {
        return "{\"kind\":\"unknown\",\"hex\":\"" +
               BytesToHex(frame.bytes.data(), frame.bytes.size(), " ") + "\"}";
    }
    std::string json = "{\"slave\":" + Number(frame.slave) +
                       ",\"function\":" + Number(frame.function) +
                       ",\"name\":" + JsonString(ModbusFunctionName(frame.function)) + ",\"kind\":";
    json += frame.kind == TModbusKind::Request ? "\"request\""
            : frame.kind == TModbusKind::Reply ? "\"reply\""
                                               : "\"exception\"";
    auto number = [&](const char* key, const auto& field) {
        if (field) {
            json += std::string(",\"") + key + "\":" + Number(*field);
        }
    };
    number("address", frame.address);
    number("count", frame.quantity);
    number("write_address", frame.writeAddress);
    number("write_count", frame.writeQuantity);
    number("byte_count", frame.byteCount);
    number("value", frame.value);
    number("and_mask", frame.andMask);
    number("or_mask", frame.orMask);
    number("sub_function", frame.subFunction);
    number("device_id_code", frame.deviceIdCode);
    number("object_id", frame.objectId);
    if (!frame.registers.empty() || !frame.coils.empty()) {
        json += ",\"values\":[";
        bool first = true;
        auto add = [&](const std::string& text) {
            json += first ? "" : ",";
            first = false;
            json += text;
        };
        if (!frame.coils.empty()) {
            for (uint8_t coil : frame.coils) {
                add(coil != 0 ? "1" : "0");
            }
        } else {
            for (const auto& text : ModbusValueTexts(frame.registers, format)) {
                if (format == TModbusValueFormat::Hex) {
                    add('"' + text + '"');
                } else if (text.find_first_of("ni") != std::string::npos) {
                    add("null"); // nan and inf have no JSON number
                } else {
                    add(text);
                }
            }
        }
        json += ']';
    }
    if (!frame.objects.empty()) {
        json += ",\"objects\":[";
        for (size_t i = 0; i < frame.objects.size(); ++i) {
            json += (i > 0 ? "," : "") + std::string("{\"id\":") + Number(frame.objects[i].id) +
                    ",\"name\":" + JsonString(ObjectName(frame.objects[i].id)) +
                    ",\"value\":" + JsonString(frame.objects[i].value) + '}';
        }
        json += ']';
    }
    if (!frame.data.empty()) {
        json += ",\"data\":\"" + BytesToHex(frame.data.data(), frame.data.size(), " ") + '"';
    }
    if (frame.exceptionCode) {
        json += ",\"exception\":" + Number(*frame.exceptionCode) +
                ",\"exception_name\":" + JsonString(ModbusExceptionName(*frame.exceptionCode));
    }
    json += frame.crcOk ? ",\"crc\":\"ok\"" : ",\"crc\":\"bad\"";
    if (!frame.crcOk) {
        json += ",\"crc_expected\":\"" + Hex2(frame.crcExpected) + ' ' +
                Hex2(frame.crcExpected >> 8) + '"';
    }
    number("reply_ms", frame.replyMs);
    return json + '}';
}
