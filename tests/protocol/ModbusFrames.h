#pragma once
// Modbus RTU frames for tests, written as hex without their CRC.

#include "codec/HexCodec.h"

#include <string>
#include <string_view>

// Hex of a frame without its CRC -> its bytes with the CRC appended (low byte first).
inline std::string ModbusFramed(std::string_view hex) {
    std::string bytes = HexToBytes(NormalizeHex(hex));
    const uint16_t crc = ModbusCrc16(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    bytes += static_cast<char>(crc & 0xFF);
    bytes += static_cast<char>(crc >> 8);
    return bytes;
}
