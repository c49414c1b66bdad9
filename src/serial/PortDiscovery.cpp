#include "serial/PortDiscovery.h"

#include "platform/Platform.h"

std::string VirtualPortsFolder() {
    return LocalAppDataPath() + "/Dolvy/Korvane/ports";
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
