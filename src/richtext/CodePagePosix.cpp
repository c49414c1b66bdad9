#include "richtext/CodePage.h"

#include <cerrno>
#include <cstdint>
#include <iconv.h>
#include <map>
#include <string>

namespace {

std::string IconvName(int codePage) {
    switch (codePage) {
    case 10000:
        return "MACINTOSH";
    case 20936:
        return "GB2312";
    case 54936:
        return "GB18030";
    default:
        return "CP" + std::to_string(codePage);
    }
}

const iconv_t kNoConverter = reinterpret_cast<iconv_t>(static_cast<std::intptr_t>(-1));

// One converter per code page and thread, kept for the thread's life: documents switch
// code pages per run, and opening a converter each time would dominate the reading.
struct ConverterCache {
    std::map<int, iconv_t> converters;
    ConverterCache() = default;
    ConverterCache(const ConverterCache&) = delete;
    ConverterCache& operator=(const ConverterCache&) = delete;
    ~ConverterCache() {
        for (const auto& [codePage, cd] : converters) {
            if (cd != kNoConverter) {
                iconv_close(cd);
            }
        }
    }
};

iconv_t Converter(int codePage) {
    thread_local ConverterCache cache;
    const auto found = cache.converters.find(codePage);
    if (found != cache.converters.end()) {
        return found->second;
    }
    iconv_t cd = iconv_open("UTF-8", IconvName(codePage).c_str());
    cache.converters.emplace(codePage, cd);
    return cd;
}

} // namespace

bool AppendDecodedBySystem(std::string& out, int codePage, std::string_view bytes) {
    iconv_t cd = Converter(codePage);
    if (cd == kNoConverter) {
        return false;
    }
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    char buffer[1024];
    // iconv's interface is not const-correct; it never writes through the input pointer.
    char* in = const_cast<char*>(bytes.data());
    std::size_t inLeft = bytes.size();
    while (inLeft > 0) {
        char* dest = buffer;
        std::size_t destLeft = sizeof buffer;
        const std::size_t result = iconv(cd, &in, &inLeft, &dest, &destLeft);
        out.append(buffer, static_cast<std::size_t>(dest - buffer));
        if (result != static_cast<std::size_t>(-1)) {
            continue;
        }
        if (errno == E2BIG) {
            continue;
        }
        // An invalid byte, or a lead byte whose partner is missing: one replacement
        // character for it, and on with the next byte.
        AppendUtf8(out, kReplacementChar);
        ++in;
        --inLeft;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
    char* dest = buffer;
    std::size_t destLeft = sizeof buffer;
    iconv(cd, nullptr, nullptr, &dest, &destLeft);
    out.append(buffer, static_cast<std::size_t>(dest - buffer));
    return true;
}
