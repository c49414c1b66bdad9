#pragma once
// What a port name stands for, for listings: the device behind it and a description where
// the system keeps one. POSIX only.

#include <string>

struct TPortInfo {
    std::string name;
    // The device the name opens (a registered virtual port's target, followed through
    // every link; a registered network port's address); the name's own path when it leads
    // nowhere.
    std::string device;
    // The maker and product of a USB adapter, "virtual port" for a registered link,
    // "network port" for a registered address; empty when nothing is known.
    std::string description;
};

// sysfsTtyRoot and portsFolder as for ListSerialPorts.
TPortInfo DescribePort(const std::string& name, const std::string& sysfsTtyRoot,
                       const std::string& portsFolder);
TPortInfo DescribePort(const std::string& name);
