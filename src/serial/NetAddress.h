#pragma once
// Network port names: the addresses of serial lines reached through a device server, and
// the files that register such an address as a port name. Pure text work, no connection.

#include <cstdint>
#include <string>

enum class TNetPortKind { Raw, Rfc2217 };

struct TNetAddress {
    TNetPortKind kind = TNetPortKind::Raw;
    std::string host; // without the brackets of an IPv6 literal
    uint16_t port = 0;
};

// Whether a port name is written as a network address (its scheme alone decides, so a
// malformed address still goes to the network driver and fails there with EINVAL).
bool IsNetworkPortName(const std::string& name);
// Parses "tcp://HOST:PORT" or "rfc2217://HOST:PORT" (scheme in any letter case, HOST a
// name, an IPv4 literal or a bracketed IPv6 literal, PORT 1..65535, a trailing '/'
// allowed). False for anything else.
bool ParseNetAddress(const std::string& text, TNetAddress& address);
// A port registered in the virtual-ports folder as a small text file holding an address
// instead of a link to a device. True when `path` is such a file; its first line is the
// address (blanks around it ignored).
bool ReadNetPortFile(const std::string& path, std::string& address);
