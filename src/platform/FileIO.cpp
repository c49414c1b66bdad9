#include "platform/FileIO.h"

namespace {

constexpr std::string_view kTemporarySuffix = ".korvane-tmp";
// Room for the dot, the process id, the count and the suffix within a file name of 255.
constexpr size_t kMaxTemporaryBase = 200;

size_t NameStart(const std::string& path) {
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? 0 : slash + 1;
}

bool AllDigits(std::string_view s) {
    if (s.empty() || s.size() > 19) {
        return false;
    }
    for (const char c : s) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    return true;
}

} // namespace

std::string TemporaryFileName(const std::string& path, uint64_t processId, unsigned count) {
    const size_t start = NameStart(path);
    std::string base = path.substr(start, kMaxTemporaryBase);
    return path.substr(0, start) + "." + base + "." + std::to_string(processId) + "-" +
           std::to_string(count) + std::string(kTemporarySuffix);
}

std::optional<uint64_t> TemporaryFileOwner(std::string_view name) {
    if (name.size() < 2 || name.front() != '.' || !name.ends_with(kTemporarySuffix)) {
        return std::nullopt;
    }
    name.remove_suffix(kTemporarySuffix.size());
    const size_t dot = name.rfind('.');
    if (dot == 0 || dot == std::string_view::npos) {
        return std::nullopt;
    }
    const std::string_view tag = name.substr(dot + 1);
    const size_t dash = tag.find('-');
    if (dash == std::string_view::npos || !AllDigits(tag.substr(0, dash)) ||
        !AllDigits(tag.substr(dash + 1))) {
        return std::nullopt;
    }
    return std::stoull(std::string(tag.substr(0, dash)));
}

std::string NumberedFileName(const std::string& stem, int number) {
    if (number == 0) {
        return stem;
    }
    std::string digits = std::to_string(number);
    digits.insert(0, digits.size() < 5 ? 5 - digits.size() : 0, '0');
    return stem + "_" + digits;
}
