#include "codec/ChecksumNames.h"

#include <algorithm>

const std::array<TChecksumChoice, 9>& ChecksumChoices() {
    static const std::array<TChecksumChoice, 9> choices = {{
        {0, "SUM", ChecksumAlgorithm::Sum8},
        {1, "SUM-LH", ChecksumAlgorithm::Sum16LowFirst},
        {2, "SUM-HL", ChecksumAlgorithm::Sum16HighFirst},
        {3, "XOR", ChecksumAlgorithm::Xor8},
        {5, "Modbus-CRC16", ChecksumAlgorithm::Crc16Modbus},
        {6, "Modbus-LRC16", ChecksumAlgorithm::Lrc8},
        {7, "ANSI-CRC16", ChecksumAlgorithm::Crc16Modbus},
        {8, "CCITT-CRC16", ChecksumAlgorithm::Crc16Ccitt},
        {9, "CCITT-CRC8", ChecksumAlgorithm::Crc8Ccitt},
    }};
    return choices;
}

std::optional<TChecksumChoice> ChecksumChoiceNamed(std::string_view name) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    for (const TChecksumChoice& choice : ChecksumChoices()) {
        const std::string_view candidate = choice.name;
        if (std::equal(candidate.begin(), candidate.end(), name.begin(), name.end(),
                       [&](char a, char b) { return lower(a) == lower(b); })) {
            return choice;
        }
    }
    return std::nullopt;
}
