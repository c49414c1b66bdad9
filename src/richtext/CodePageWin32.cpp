#include "richtext/CodePage.h"

#include "platform/WindowsApi.h"

#include <climits>

namespace {

// Code pages whose converter refuses MB_ERR_INVALID_CHARS (the flags must be 0 there):
// stateful encodings and ISCII. Their invalid bytes come out as the converter's own
// replacement character instead of U+FFFD.
bool TakesErrorFlag(int codePage) {
    return !(codePage == 42 || (codePage >= 50220 && codePage <= 50229) || codePage == 52936 ||
             (codePage >= 57002 && codePage <= 57011) || codePage == 65000);
}

void AppendUtf16(std::string& out, const wchar_t* text, int length) {
    for (int i = 0; i < length; ++i) {
        const auto unit = static_cast<char32_t>(static_cast<uint16_t>(text[i]));
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < length) {
            const auto low = static_cast<char32_t>(static_cast<uint16_t>(text[i + 1]));
            if (low >= 0xDC00 && low <= 0xDFFF) {
                AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
                ++i;
                continue;
            }
        }
        AppendUtf8(out, unit); // a lone surrogate becomes U+FFFD there
    }
}

// Decodes all of `bytes`; false when one of them is not valid in the code page.
bool DecodeWhole(std::string& out, UINT codePage, DWORD flags, const char* bytes, int length) {
    const int wide = MultiByteToWideChar(codePage, flags, bytes, length, nullptr, 0);
    if (wide <= 0) {
        return false;
    }
    std::wstring text(static_cast<size_t>(wide), L'\0');
    if (MultiByteToWideChar(codePage, flags, bytes, length, text.data(), wide) != wide) {
        return false;
    }
    AppendUtf16(out, text.data(), wide);
    return true;
}

} // namespace

bool AppendDecodedBySystem(std::string& out, int codePage, std::string_view bytes) {
    if (codePage <= 0 || !IsValidCodePage(static_cast<UINT>(codePage))) {
        return false;
    }
    if (bytes.empty()) {
        return true;
    }
    const auto cp = static_cast<UINT>(codePage);
    const DWORD flags = TakesErrorFlag(codePage) ? MB_ERR_INVALID_CHARS : 0;
    if (bytes.size() <= static_cast<size_t>(INT_MAX) &&
        DecodeWhole(out, cp, flags, bytes.data(), static_cast<int>(bytes.size()))) {
        return true;
    }
    // Character by character: the shortest valid sequence at each place (no code page here
    // has one longer than four bytes), or one replacement character for a byte that starts
    // none, and on with the next byte.
    size_t pos = 0;
    while (pos < bytes.size()) {
        bool decoded = false;
        for (int length = 1; length <= 4 && pos + static_cast<size_t>(length) <= bytes.size();
             ++length) {
            if (DecodeWhole(out, cp, flags, bytes.data() + pos, length)) {
                pos += static_cast<size_t>(length);
                decoded = true;
                break;
            }
        }
        if (!decoded) {
            AppendUtf8(out, kReplacementChar);
            ++pos;
        }
    }
    return true;
}
