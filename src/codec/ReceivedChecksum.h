#pragma once
// The check of a received line's trailing checksum: the last bytes of a hex line compared
// with the checksum of the bytes before them. The line itself is never changed; callers
// show the outcome beside it.

#include "codec/HexCodec.h"

#include <cstddef>
#include <string>
#include <string_view>

struct TReceivedChecksum {
    enum class Outcome {
        Unchecked, // not hex text (text mode), or too short for a checksum and one byte
        Good,
        Bad,
    };
    Outcome outcome = Outcome::Unchecked;
    // The checksum the data bytes give, rendered as the send window appends it ("C5 CD").
    std::string expected;
    // Where the trailing checksum bytes start in the line's text (Good and Bad).
    size_t checksumStart = 0;
};

// Bytes a checksum of the computation takes at the end of a frame: 1 or 2.
size_t ChecksumWidth(ChecksumAlgorithm algorithm);

// The line is hex text as the receive thread writes it (pairs and separators). A line of
// at least the checksum's width plus one byte is checked; others are Unchecked.
TReceivedChecksum CheckReceivedChecksum(std::string_view line, ChecksumAlgorithm algorithm);
