#pragma once
// The checksum choices under the names the send window shows them, with the number under
// which the settings record stores the choice (checksumKind; 4 is the menu's separator and
// names nothing).

#include "codec/HexCodec.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

struct TChecksumChoice {
    int32_t kind;
    const char* name;
    ChecksumAlgorithm algorithm;
};

// In the menu's order: SUM, SUM-LH, SUM-HL, XOR, Modbus-CRC16, Modbus-LRC16, ANSI-CRC16,
// CCITT-CRC16, CCITT-CRC8.
const std::array<TChecksumChoice, 9>& ChecksumChoices();

// The choice of that name, letter case ignored.
std::optional<TChecksumChoice> ChecksumChoiceNamed(std::string_view name);
