#include "serial/PortDiscovery.h"

#include "platform/Platform.h"

std::string VirtualPortsFolder() {
    return JoinPath(JoinPath(JoinPath(LocalAppDataPath(), "Dolvy"), "Korvane"), "ports");
}

bool NaturalLess(const std::string& a, const std::string& b) {
    auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
    size_t i = 0;
    size_t j = 0;
    while (i < a.size() && j < b.size()) {
        if (isDigit(a[i]) && isDigit(b[j])) {
            size_t ei = i;
            size_t ej = j;
            while (ei < a.size() && isDigit(a[ei])) {
                ++ei;
            }
            while (ej < b.size() && isDigit(b[ej])) {
                ++ej;
            }
            // Leading zeros do not change the value; the longer run without them is larger.
            size_t si = i;
            size_t sj = j;
            while (si + 1 < ei && a[si] == '0') {
                ++si;
            }
            while (sj + 1 < ej && b[sj] == '0') {
                ++sj;
            }
            if (ei - si != ej - sj) {
                return ei - si < ej - sj;
            }
            const int c = a.compare(si, ei - si, b, sj, ej - sj);
            if (c != 0) {
                return c < 0;
            }
            if (ei - i != ej - j) {
                return ei - i < ej - j;
            }
            i = ei;
            j = ej;
        } else {
            if (a[i] != b[j]) {
                return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
            }
            ++i;
            ++j;
        }
    }
    return a.size() - i < b.size() - j;
}

namespace {

char AsciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualIgnoringCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (AsciiLower(a[i]) != AsciiLower(b[i])) {
            return false;
        }
    }
    return true;
}

} // namespace

bool IsComPortName(const std::string& text) {
    return text.size() >= 3 && AsciiLower(text[0]) == 'c' && AsciiLower(text[1]) == 'o' &&
           AsciiLower(text[2]) == 'm';
}

void AppendDeviceMapPorts(std::vector<std::string>& list,
                          const std::vector<TDeviceMapValue>& values) {
    for (const TDeviceMapValue& value : values) {
        if (IsComPortName(value.name)) {
            list.push_back(value.name);
        } else if (value.data && IsComPortName(*value.data)) {
            list.push_back(*value.data);
        }
    }
}

void AppendModem(std::vector<std::string>& list, const std::optional<std::string>& name,
                 const std::optional<std::string>& attachedTo) {
    if (name) {
        list.push_back(*name);
    }
    if (!attachedTo || !IsComPortName(*attachedTo)) {
        return;
    }
    for (const std::string& item : list) {
        if (EqualIgnoringCase(item, *attachedTo)) {
            return;
        }
    }
    list.push_back(*attachedTo);
}
