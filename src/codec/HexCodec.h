#pragma once
// Hex text: the form in which bytes travel through the program (received records, the send
// window, the receive filter and trigger, checksums, the converter windows).
//
// Every string here is 8-bit: one char is one byte. All functions are stateless and
// thread-safe; the receive thread calls BytesToHex for every burst.
//
// Accepted input: digits 0-9, A-F, a-f; separators blank, CR and LF only. Output always
// uses upper-case digits.

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

// A character that had to be read as a digit is not one. Only HexToBinGroups and
// ChecksumText raise it; callers validate with IsHexText first.
class EConvertError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class ChecksumAlgorithm {
    Sum8,           // low byte of the 16-bit byte sum
    Sum16LowFirst,  // 16-bit byte sum, rendered "LL HH"
    Sum16HighFirst, // 16-bit byte sum, rendered "HH LL"
    Xor8,           // XOR of all bytes
    Crc16Modbus,    // CRC-16, poly 0xA001 reflected, init 0xFFFF, rendered "LL HH"
    Crc16Ccitt,     // CRC-16, poly 0x1021, init 0x0000, rendered "LL HH"
    Crc8Ccitt,      // CRC-8, poly 0x07, init 0x00, result inverted
    Lrc8,           // two's complement of the 8-bit byte sum (a single byte)
};

// CRC-16 of Modbus RTU (the value; sent low byte first).
uint16_t ModbusCrc16(const uint8_t* data, size_t n);
// The CRC after one more byte (start from 0xFFFF).
uint16_t ModbusCrc16Update(uint16_t crc, uint8_t byte);

enum class HexRounding { Down, Up };

// Removes every leading and trailing character with code 0x00-0x20; the inside is kept.
std::string TrimText(std::string_view text);

// True when the trimmed text holds at least one pair, only hex digits and separators,
// an even number of digits, and no pair split by a blank (a split by CR or LF is allowed).
bool IsHexText(std::string_view text);

// Upper-cases, trims and drops blanks, CRs and LFs, then writes one blank after every
// second character: "ab cd\r\nef" -> "AB CD EF ", "abc" -> "AB C". Does not validate.
std::string NormalizeHex(std::string_view text);

// Raw bytes of normalised, validated hex text (one char per byte). A pair that is not two
// hex digits yields nothing, and so does a lone digit at the end.
std::string HexToBytes(std::string_view text);

// Number of bytes in (trimmed) hex text, for counters and caret columns. CR and LF count
// like digits; a lone half byte at the very start ("1 02") is not counted.
uint32_t HexByteCount(std::string_view text, HexRounding rounding);

// Trims, then drops every blank; CR and LF stay.
std::string RemoveBlanks(std::string_view text);

// Four binary digits and one blank per hex digit, in the order of the digits:
// "A5" -> "1010 0101 ". Valid hex text has its blanks removed first; any other text is
// read as it is. Throws EConvertError on a character that is not a hex digit.
std::string HexToBinGroups(std::string_view text);

// value = value * 2 + (digit - '0') over the upper-cased text, wrapping in 64 bits. Meant
// for texts of 0 and 1; never fails.
int64_t BinToInt64(std::string_view text);

// Checksum of the bytes written as hex text, rendered as upper-case pairs with one blank
// between the two bytes of a 16-bit result. A digit left over at the end is ignored.
// Throws EConvertError when a pair holds a character that is not a hex digit.
std::string ChecksumText(std::string_view hexText, ChecksumAlgorithm algorithm);

// Two upper-case hex digits per byte, the separator between pairs (none before the first or
// after the last). Fast enough for every received burst (up to 1 MiB).
std::string BytesToHex(const uint8_t* data, size_t n, std::string_view separator);
std::string BytesToHex(std::string_view bytes, std::string_view separator);
// The same, appended to out (saves a copy when a record is built around the payload).
void AppendBytesToHex(std::string& out, const uint8_t* data, size_t n, std::string_view separator);
