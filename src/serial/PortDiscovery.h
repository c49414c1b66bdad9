#pragma once
// The ports present on this machine, for the port drop-down list. Both functions append to
// the caller's list; neither clears nor sorts it, nor touches a port.

#include <optional>
#include <string>
#include <vector>

// Where virtual ports are registered on POSIX systems: one symbolic link per port, named as
// the port, whose target is a pseudo-terminal or a device (DataFolder/ports), or a small
// text file named as the port that holds a network address (tcp://HOST:PORT,
// rfc2217://HOST:PORT).
std::string VirtualPortsFolder();

// Windows: the ports of the registry's serial device map, in the registry's order, each
// value's name when it reads as a port name ("COM..."), else its data when that does.
// POSIX: the serial ports the kernel knows, in natural order of their names ("ttyS2" before
// "ttyS10"), then the virtual ports.
void ListSerialPorts(std::vector<std::string>& list);
#ifndef _WIN32
// POSIX only (Windows reads the registry): the entries of sysfsTtyRoot that have a device
// behind them, a "ttyS" entry only when its UART type is known; then the virtual ports of
// portsFolder whose target exists or whose file holds a network address, in natural order.
void ListSerialPorts(std::vector<std::string>& list, const std::string& sysfsTtyRoot,
                     const std::string& portsFolder);
#endif

// Modems and the ports they are attached to: per modem its name, then its port unless the
// list holds that port already (letter case ignored). POSIX has no modem registry, so it
// adds nothing there.
void ListModemPorts(std::vector<std::string>& list);

// "ttyS2" < "ttyS10": runs of digits compare as numbers, everything else byte by byte.
bool NaturalLess(const std::string& a, const std::string& b);

// The registry's rules, kept apart from the registry so they can be checked anywhere.

// A port name as the registry has them: its first three characters are "com", letter case
// ignored (COM1, com12, Com3x; not CNCA0, not "co").
bool IsComPortName(const std::string& text);

// One value of the serial device map: its name and its text (none when it holds no text).
struct TDeviceMapValue {
    std::string name;
    std::optional<std::string> data;
};

// Appends, in the given order, the port each value names: the value's own name when that is
// a port name, else its text when that is; a value naming no port adds nothing. Nothing is
// dropped as a duplicate.
void AppendDeviceMapPorts(std::vector<std::string>& list,
                          const std::vector<TDeviceMapValue>& values);

// Appends one modem: its name when it has one (even when the list holds that text already),
// then the port it is attached to when that is a port name the list does not hold yet,
// letter case ignored.
void AppendModem(std::vector<std::string>& list, const std::optional<std::string>& name,
                 const std::optional<std::string>& attachedTo);
