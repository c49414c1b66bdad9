#include "serial/ComDriverByName.h"

#include "serial/PortDiscovery.h"

#include <algorithm>
#include <cctype>
#include <filesystem>

namespace {

bool SameIgnoringCase(const std::string& a, const std::string& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) ==
               std::tolower(static_cast<unsigned char>(y));
    });
}

} // namespace

TComDriverByName::TComDriverByName(std::unique_ptr<TComDriver> serial)
    : TComDriverByName(std::move(serial), VirtualPortsFolder()) {}

TComDriverByName::TComDriverByName(std::unique_ptr<TComDriver> serial, std::string portsFolder)
    : m_serial(std::move(serial)), m_socket(std::make_unique<TComDriverSocket>()),
      m_portsFolder(std::move(portsFolder)) {}

std::string TComDriverByName::NetworkAddressOf(const std::string& port) const {
    if (IsNetworkPortName(port)) {
        return port;
    }
    if (port.empty() || port.find_first_of("/\\") != std::string::npos || port == "." ||
        port == ".." || m_portsFolder.empty()) {
        return std::string();
    }
    std::string address;
    if (ReadNetPortFile(m_portsFolder + "/" + port, address)) {
        return address;
    }
    // Port names may reach us in another letter case than the file's.
    std::error_code ec;
    for (std::filesystem::directory_iterator it(m_portsFolder, ec), end; !ec && it != end;
         it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (SameIgnoringCase(name, port) && ReadNetPortFile(it->path().string(), address)) {
            return address;
        }
    }
    return std::string();
}

bool TComDriverByName::Open(const std::string& port) {
    const std::string address = NetworkAddressOf(port);
    // The device opens one port at a time, so no call is under way in either driver here.
    m_useSocket = !address.empty();
    return address.empty() ? m_serial->Open(port) : m_socket->Open(address);
}

int32_t TComDriverByName::LastError() const {
    return Active().LastError();
}

std::unique_ptr<TComDriver> CreatePortDriver() {
    return std::make_unique<TComDriverByName>(CreateSystemComDriver());
}
