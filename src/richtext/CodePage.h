#pragma once
// Unicode and code-page conversions used by the RTF reader and writer.

#include <cstddef>
#include <string>
#include <string_view>

inline constexpr char32_t kReplacementChar = 0xFFFD;

// Appends one code point as UTF-8; surrogates and values beyond U+10FFFF become U+FFFD.
void AppendUtf8(std::string& out, char32_t c);

// The code point at pos, advancing pos past it. A malformed sequence (overlong,
// surrogate, truncated, beyond U+10FFFF) yields U+FFFD and advances one byte.
char32_t NextUtf8(std::string_view s, std::size_t& pos);

// The Windows code page of an RTF \fcharset, or 0 when the charset defers to the
// document's code page (DEFAULT, or a value we do not know).
int CodePageOfCharset(int charset);

// Appends the bytes, decoded from the code page, as UTF-8. Undecodable bytes become
// U+FFFD; a code page that cannot be decoded here is read as Windows-1252.
void AppendDecoded(std::string& out, int codePage, std::string_view bytes);

// The operating system's decoder for code pages that are not table-driven here
// (multibyte ones above all). False when it does not know the code page; then nothing
// was appended.
bool AppendDecodedBySystem(std::string& out, int codePage, std::string_view bytes);
