#include "serial/NetAddress.h"

#include <cctype>
#include <filesystem>
#include <fstream>

namespace {

std::string Lower(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

std::string Trim(const std::string& text) {
    const char* blanks = " \t\r\n";
    const auto first = text.find_first_not_of(blanks);
    if (first == std::string::npos) {
        return std::string();
    }
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

bool StartsWithScheme(const std::string& name, std::string& rest, TNetPortKind& kind) {
    const auto sep = name.find("://");
    if (sep == std::string::npos) {
        return false;
    }
    const std::string scheme = Lower(name.substr(0, sep));
    if (scheme == "tcp") {
        kind = TNetPortKind::Raw;
    } else if (scheme == "rfc2217") {
        kind = TNetPortKind::Rfc2217;
    } else {
        return false;
    }
    rest = name.substr(sep + 3);
    return true;
}

} // namespace

bool IsNetworkPortName(const std::string& name) {
    std::string rest;
    TNetPortKind kind{};
    return StartsWithScheme(name, rest, kind);
}

bool ParseNetAddress(const std::string& text, TNetAddress& address) {
    std::string rest;
    TNetPortKind kind{};
    if (!StartsWithScheme(Trim(text), rest, kind)) {
        return false;
    }
    if (!rest.empty() && rest.back() == '/') {
        rest.pop_back();
    }
    std::string host;
    std::string port;
    if (!rest.empty() && rest.front() == '[') {
        const auto close = rest.find(']');
        if (close == std::string::npos || close + 1 >= rest.size() || rest[close + 1] != ':') {
            return false;
        }
        host = rest.substr(1, close - 1);
        port = rest.substr(close + 2);
    } else {
        const auto colon = rest.rfind(':');
        if (colon == std::string::npos || rest.find(':') != colon) {
            return false;
        }
        host = rest.substr(0, colon);
        port = rest.substr(colon + 1);
    }
    if (host.empty() || port.empty() || port.size() > 5 ||
        host.find_first_of(" \t/?#@") != std::string::npos) {
        return false;
    }
    unsigned long number = 0;
    for (char c : port) {
        if (c < '0' || c > '9') {
            return false;
        }
        number = number * 10 + static_cast<unsigned long>(c - '0');
    }
    if (number == 0 || number > 65535) {
        return false;
    }
    address.kind = kind;
    address.host = host;
    address.port = static_cast<uint16_t>(number);
    return true;
}

bool ReadNetPortFile(const std::string& path, std::string& address) {
    std::error_code ec;
    const std::filesystem::path p(path);
    // Only a small regular file: a link to a device is a serial port, and nothing large
    // or special is read to find out.
    if (!std::filesystem::is_regular_file(std::filesystem::symlink_status(p, ec)) ||
        std::filesystem::file_size(p, ec) > 4096 || ec) {
        return false;
    }
    std::ifstream in(p, std::ios::binary);
    std::string line;
    if (!std::getline(in, line)) {
        return false;
    }
    line = Trim(line);
    if (!IsNetworkPortName(line)) {
        return false;
    }
    address = line;
    return true;
}
