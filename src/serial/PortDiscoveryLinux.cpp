#include "serial/PortDiscovery.h"

#include "serial/NetAddress.h"

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace {

// The 8250 driver registers a fixed number of ttyS entries whether or not a UART answers;
// type 0 marks those without one.
bool UartKnown(const fs::path& entry) {
    std::ifstream in(entry / "type");
    long type = 0;
    return static_cast<bool>(in >> type) && type != 0;
}

std::vector<std::string> SortedNames(std::vector<std::string> names) {
    std::sort(names.begin(), names.end(), NaturalLess);
    return names;
}

} // namespace

void ListSerialPorts(std::vector<std::string>& list, const std::string& sysfsTtyRoot,
                     const std::string& portsFolder) {
    std::error_code ec;
    std::vector<std::string> kernelPorts;
    for (fs::directory_iterator it(sysfsTtyRoot, ec), end; !ec && it != end; it.increment(ec)) {
        const fs::path entry = it->path();
        const std::string name = entry.filename().string();
        std::error_code linkEc;
        if (!fs::exists(fs::symlink_status(entry / "device", linkEc))) {
            continue;
        }
        if (name.rfind("ttyS", 0) == 0 && !UartKnown(entry)) {
            continue;
        }
        kernelPorts.push_back(name);
    }
    for (std::string& name : SortedNames(std::move(kernelPorts))) {
        list.push_back(std::move(name));
    }

    ec.clear();
    std::vector<std::string> virtualPorts;
    for (fs::directory_iterator it(portsFolder, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code statEc;
        // A link left behind by a simulator that did not end cleanly points nowhere. A
        // small file holding a network address stands for a port on a device server.
        std::string address;
        if ((it->is_symlink(statEc) && fs::exists(it->path(), statEc)) ||
            ReadNetPortFile(it->path().string(), address)) {
            virtualPorts.push_back(it->path().filename().string());
        }
    }
    for (std::string& name : SortedNames(std::move(virtualPorts))) {
        list.push_back(std::move(name));
    }
}

void ListSerialPorts(std::vector<std::string>& list) {
    ListSerialPorts(list, "/sys/class/tty", VirtualPortsFolder());
}

void ListModemPorts(std::vector<std::string>&) {}
