#include "serial/PortInfo.h"

#include "platform/FileIO.h"
#include "serial/ComDriverPosix.h"
#include "serial/NetAddress.h"
#include "serial/PortDiscovery.h"

#include <climits>
#include <cstdlib>
#include <unistd.h>

namespace {

std::string RealPath(const std::string& path) {
    std::string result;
    if (char* real = realpath(path.c_str(), nullptr)) {
        result = real;
        std::free(real);
    }
    return result;
}

// The first line of a small sysfs attribute, empty when there is none.
std::string Attribute(const std::string& path) {
    try {
        std::string text = ReadFileIfExists(path, 256).value_or(std::string());
        const size_t end = text.find_first_of("\r\n");
        if (end != std::string::npos) {
            text.resize(end);
        }
        return text;
    } catch (const EFileError&) {
        return {};
    }
}

std::string LastPart(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A USB adapter's maker and product live a few levels above the tty's device: on the
// interface's parent for ttyACM, one more up for usb-serial ttyUSB.
std::string SysfsDescription(const std::string& deviceDir) {
    std::string dir = deviceDir;
    for (int level = 0; level < 4 && dir.size() > 1; ++level) {
        const std::string product = Attribute(dir + "/product");
        if (!product.empty()) {
            const std::string maker = Attribute(dir + "/manufacturer");
            return maker.empty() ? product : maker + " " + product;
        }
        dir = dir.substr(0, dir.find_last_of('/'));
    }
    return {};
}

} // namespace

TPortInfo DescribePort(const std::string& name, const std::string& sysfsTtyRoot,
                       const std::string& portsFolder) {
    TPortInfo info;
    info.name = name;
    const std::string path = TComDriverPosix(portsFolder).ResolvePath(name);
    // A registered network port is its address: the file that holds it is no device.
    std::string address;
    if (!portsFolder.empty() && path.rfind(portsFolder + "/", 0) == 0 &&
        ReadNetPortFile(path, address)) {
        info.device = address;
        info.description = "network port";
        return info;
    }
    const std::string device = RealPath(path);
    info.device = device.empty() ? path : device;
    if (!portsFolder.empty() && path.rfind(portsFolder + "/", 0) == 0) {
        info.description = "virtual port";
        return info;
    }
    const std::string sysfs = sysfsTtyRoot + "/" + LastPart(info.device) + "/device";
    if (PathExists(sysfs)) {
        info.description = SysfsDescription(RealPath(sysfs));
    }
    return info;
}

TPortInfo DescribePort(const std::string& name) {
    return DescribePort(name, "/sys/class/tty", VirtualPortsFolder());
}
