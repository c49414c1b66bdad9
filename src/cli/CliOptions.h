#pragma once
// The command line of korvane-cli.

#include "protocol/Values.h"

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <utility>
#include <vector>

struct TReplyOption {
    std::string pattern;
    std::string line;
};

struct TCliOptions {
    std::string port;
    bool list = false;
    bool useSettings = false;

    std::optional<uint32_t> baud;
    std::optional<std::string> parity;   // none, odd, even, mark, space
    std::optional<int> dataBits;         // 5..8
    std::optional<std::string> stopBits; // 1, 1.5, 2
    std::optional<bool> dtr;
    std::optional<bool> rts;
    bool asciiReceive = false;
    bool asciiSend = false;
    std::optional<std::string> time; // none, time, time+dir
    bool noSent = false;
    bool noColor = false;
    std::optional<uint32_t> gapMs; // a received burst ends after this much silence

    std::vector<std::string> send;
    std::optional<std::string> checksum;
    std::optional<uint32_t> cycleMs;
    std::optional<std::string> linesFile;
    uint32_t linesFirst = 0; // 1-based; 0: the whole file
    uint32_t linesLast = 0;
    std::vector<TReplyOption> replies;
    uint32_t replyDelayMs = 0;
    std::optional<std::string> checkReceived;

    std::optional<std::string> flow; // none, hard (RTS/CTS), soft (XON/XOFF)
    std::string eol = "\r";          // after each typed text line
    bool keepStale = false;          // bytes waiting before the open are shown
    bool lineMode = false;           // typed text goes out a line at a time
    char escapeKey = 0x14;           // Ctrl+T: the next key is a command
    bool localEcho = false;          // typed text shown as it goes out
    // Received text sequences that end a shown line (CR LF, CR, LF; CR LF first).
    std::vector<std::string> lineEnds;

    bool decodeModbus = false;          // --decode modbus
    bool sniff = false;                 // both directions arrive received
    std::string registerFormat = "u16"; // a name of ModbusValueFormatNamed
    bool json = false;                  // JSON Lines, one object per record

    // --tap: a second port only listened to; its line settings default to the first's.
    std::optional<std::string> tapPort;
    std::optional<uint32_t> tapBaud;
    std::optional<std::string> tapParity;
    std::optional<int> tapDataBits;
    std::optional<std::string> tapStopBits;
    bool tapSwap = false; // decoding: the tap carries the master's requests, not the replies

    std::optional<std::string> script;                           // a Lua file
    std::vector<std::pair<std::string, std::string>> scriptArgs; // --script-arg K=V

    // Values taken from the traffic (text readings; Modbus registers with --decode), as
    // CSV; "-": standard output instead of the traffic lines.
    std::optional<std::string> valuesFile;
    bool valuesWide = false;
    // --values-field OFFSET:TYPE[:be][:scale=X][:match=HEX][:name=N] (repeatable): the values
    // are binary fields of each received record instead.
    std::vector<TBinaryField> valuesFields;

    std::optional<std::string> logFile;
    uint64_t logRotateBytes = 0;
    std::optional<uint64_t> count;
    std::optional<double> durationS;
    bool reconnect = true; // a port that goes away is awaited and opened again
};

// Exit codes.
inline constexpr int ExitDone = 0;
inline constexpr int ExitOpenFailed = 1;
inline constexpr int ExitBadOptions = 2;
inline constexpr int ExitPortGone = 3;
inline constexpr int ExitScriptFailed = 4; // the script called fail() or its sequence failed

// Parses the arguments into `options`. Returns std::nullopt when the program should go on,
// else the exit code: 0 after --help or --version (printed to out), 2 after a bad option
// (the reason and a hint printed to err).
std::optional<int> ParseCliOptions(int argc, const char* const* argv, TCliOptions& options,
                                   std::ostream& out, std::ostream& err);

// The --help text: fits an 80 x 24 terminal.
std::string CliHelpText();
