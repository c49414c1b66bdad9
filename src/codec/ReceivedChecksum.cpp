#include "codec/ReceivedChecksum.h"

#include <vector>

namespace {

bool IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

bool IsSeparator(char c) {
    return c == ' ' || c == '\r' || c == '\n';
}

char Upper(char c) {
    return c >= 'a' && c <= 'f' ? static_cast<char>(c - 0x20) : c;
}

} // namespace

size_t ChecksumWidth(ChecksumAlgorithm algorithm) {
    switch (algorithm) {
    case ChecksumAlgorithm::Sum16LowFirst:
    case ChecksumAlgorithm::Sum16HighFirst:
    case ChecksumAlgorithm::Crc16Modbus:
    case ChecksumAlgorithm::Crc16Ccitt:
        return 2;
    case ChecksumAlgorithm::Sum8:
    case ChecksumAlgorithm::Xor8:
    case ChecksumAlgorithm::Crc8Ccitt:
    case ChecksumAlgorithm::Lrc8:
        break;
    }
    return 1;
}

TReceivedChecksum CheckReceivedChecksum(std::string_view line, ChecksumAlgorithm algorithm) {
    TReceivedChecksum result;
    // Where each byte's pair starts; anything but pairs and separators is not a hex line.
    std::vector<size_t> pairs;
    pairs.reserve(line.size() / 3 + 1);
    for (size_t i = 0; i < line.size();) {
        if (IsSeparator(line[i])) {
            ++i;
        } else if (i + 1 < line.size() && IsHexDigit(line[i]) && IsHexDigit(line[i + 1])) {
            pairs.push_back(i);
            i += 2;
        } else {
            return result;
        }
    }
    const size_t width = ChecksumWidth(algorithm);
    if (pairs.size() < width + 1) {
        return result;
    }
    const size_t start = pairs[pairs.size() - width];
    result.checksumStart = start;
    result.expected = ChecksumText(line.substr(0, start), algorithm);
    // The received checksum in the rendered form: its pairs, one blank between.
    std::string received;
    for (size_t k = pairs.size() - width; k < pairs.size(); ++k) {
        if (!received.empty()) {
            received += ' ';
        }
        received += Upper(line[pairs[k]]);
        received += Upper(line[pairs[k] + 1]);
    }
    result.outcome = received == result.expected ? TReceivedChecksum::Outcome::Good
                                                 : TReceivedChecksum::Outcome::Bad;
    return result;
}
