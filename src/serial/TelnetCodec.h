#pragma once
// Telnet with the COM-PORT-OPTION, as a network port speaks it: the option's codes, the
// client's requests, and the server's byte stream taken apart. Bytes in, bytes and events
// out; no socket, no clock.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace Telnet {
constexpr uint8_t Iac = 255;
constexpr uint8_t Dont = 254;
constexpr uint8_t Do = 253;
constexpr uint8_t Wont = 252;
constexpr uint8_t Will = 251;
constexpr uint8_t Sb = 250;
constexpr uint8_t Se = 240;

constexpr uint8_t OptBinary = 0;
constexpr uint8_t OptSuppressGoAhead = 3;
constexpr uint8_t OptComPort = 44;

// Commands of the option as the client sends them; the server answers with the same code
// plus ServerOffset.
constexpr uint8_t CpSetBaudRate = 1;
constexpr uint8_t CpSetDataSize = 2;
constexpr uint8_t CpSetParity = 3;
constexpr uint8_t CpSetStopSize = 4;
constexpr uint8_t CpSetControl = 5;
constexpr uint8_t CpNotifyLineState = 6;
constexpr uint8_t CpNotifyModemState = 7;
constexpr uint8_t CpSetLineStateMask = 10;
constexpr uint8_t CpSetModemStateMask = 11;
constexpr uint8_t CpPurgeData = 12;
constexpr uint8_t ServerOffset = 100;

// SET-CONTROL values used here.
constexpr uint8_t CtlFlowNone = 1;
constexpr uint8_t CtlFlowXonXoff = 2;
constexpr uint8_t CtlFlowHardware = 3;
constexpr uint8_t CtlDtrOn = 8;
constexpr uint8_t CtlDtrOff = 9;
constexpr uint8_t CtlRtsOn = 11;
constexpr uint8_t CtlRtsOff = 12;

// Data with every 0xFF doubled.
std::string Escape(const void* data, size_t size);
// IAC SB COM-PORT-OPTION <command> <value, escaped> IAC SE.
std::string ComPortCommand(uint8_t command, const std::string& value);

// The server's byte stream taken apart: line data, option negotiation and the option's
// sub-negotiations. Bytes may arrive split anywhere; state carries over between calls.
class TDecoder {
public:
    struct TCommand {
        uint8_t code = 0;  // as sent by the server (client code + ServerOffset)
        std::string value; // unescaped
    };
    struct TNegotiation {
        uint8_t verb = 0; // Will, Wont, Do, Dont
        uint8_t option = 0;
    };
    // Appends the line data in `in` to `data`, and the negotiations and com-port commands
    // completed by it to the two lists.
    void Feed(const uint8_t* in, size_t size, std::string& data,
              std::vector<TNegotiation>& negotiations, std::vector<TCommand>& commands);

private:
    enum class TState { Data, Command, Verb, Sub, SubCommand };
    TState m_state = TState::Data;
    uint8_t m_verb = 0;
    std::string m_sub; // option byte first
    bool m_subOverflow = false;
};

// What the client asks for at once: binary transmission both ways, so every byte value
// passes unchanged (no CR NUL stuffing), no go-ahead, and the com-port option.
constexpr uint8_t HelloWill[] = {OptComPort, OptBinary, OptSuppressGoAhead};
constexpr uint8_t HelloDo[] = {OptBinary, OptSuppressGoAhead};
// IAC WILL and IAC DO for each of those.
std::string ClientHello();
} // namespace Telnet
