#include "cli/CliOptions.h"

#include "codec/ChecksumNames.h"
#include "codec/HexCodec.h"
#include "protocol/ModbusRtu.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <ostream>
#include <regex>

namespace {

const char* const HelpText =
    R"(Usage: korvane-cli PORT [options]      korvane-cli --list
Line:    -b --baud N  -p --parity none|odd|even|mark|space  -d --data-bits 5..8
         -s --stop-bits 1|1.5|2  --dtr/--rts on|off  --flow none|hard|soft
         --settings  window's line+view settings  --tap PORT2 [--tap-baud N ..]
View:    -t --time none|time|time+dir   prefix of every line (default time+dir)
         -a --ascii-receive    received bytes as text (-x: hex)  --keep-stale
         --map crlf,cr,lf  these end received text lines   --no-sent  --no-color
         --gap MS              a received burst ends after MS ms of silence
Send:    typed keys (a hex line on Enter); Ctrl+T ? lists commands (--escape X)
         --ascii-send  text lines, ended by --eol cr|lf|crlf|none   -e --echo
         --send HEX            send once at start (repeatable)
         --checksum KIND       append to every sent line: SUM SUM-LH SUM-HL XOR
             Modbus-CRC16 Modbus-LRC16 ANSI-CRC16 CCITT-CRC16 CCITT-CRC8
         --cycle MS --lines FILE[:FIRST-LAST]   send the lines in turn, one
             every MS ms (without --lines: the --send lines)
         --reply PAT=LINE  send LINE when a burst is PAT, after --reply-delay MS
Check:   --check-received KIND mark received lines " OK" or " BAD expected .."
Decode:  --decode modbus  --sniff  --register-format u16|s16|hex|f32|...  --json
Script:  --script FILE.lua [--script-arg K=V]...   exit 4 when it calls fail()
Files:   -l --log FILE (.rtf: RTF)  --log-rotate SIZE (FILE.1, ... past SIZE)
         --values FILE|-  samples as CSV  --values-wide  --values-field OFF:TYPE
End:     --count N  --duration S  Ctrl+T q  --no-reconnect: when the port goes
Exit: 0 done, 1 port/log failed, 2 bad input, 3 port gone, 128+signal (130: ^C)
)";

// CLI11 reads "-1" into an unsigned option as its largest value.
const CLI::Validator NotNegative(
    [](std::string& text) {
        return text.starts_with('-') ? std::string("must not be negative") : std::string();
    },
    "", "NotNegative");

bool OnOff(const std::string& text) {
    return text == "on";
}

} // namespace

std::string CliHelpText() {
    return HelpText;
}

std::optional<int> ParseCliOptions(int argc, const char* const* argv, TCliOptions& o,
                                   std::ostream& out, std::ostream& err) {
    CLI::App app("korvane-cli", "korvane-cli");
    app.set_help_flag();
    bool help = false;
    bool version = false;
    app.add_flag("-h,--help", help);
    app.add_flag("-V,--version", version);

    app.add_option("PORT", o.port);
    app.add_flag("--list", o.list);
    app.add_flag("--settings", o.useSettings);

    app.add_option("-b,--baud", o.baud)->check(NotNegative)->check(CLI::Range(1u, 4000000u));
    app.add_option("-p,--parity", o.parity)
        ->transform(CLI::IsMember({"none", "odd", "even", "mark", "space"}, CLI::ignore_case));
    app.add_option("-d,--data-bits", o.dataBits)->check(CLI::Range(5, 8));
    app.add_option("-s,--stop-bits", o.stopBits)->check(CLI::IsMember({"1", "1.5", "2"}));
    std::string dtr;
    std::string rts;
    CLI::Option* dtrOption =
        app.add_option("--dtr", dtr)->transform(CLI::IsMember({"on", "off"}, CLI::ignore_case));
    CLI::Option* rtsOption =
        app.add_option("--rts", rts)->transform(CLI::IsMember({"on", "off"}, CLI::ignore_case));
    app.add_flag("-a,--ascii-receive", o.asciiReceive);
    app.add_flag("--ascii-send", o.asciiSend);
    app.add_option("-t,--time", o.time)
        ->transform(CLI::IsMember({"none", "time", "time+dir"}, CLI::ignore_case));
    bool hexReceive = false;
    app.add_flag("-x,--hex-receive", hexReceive);
    app.add_option("--flow", o.flow)
        ->transform(CLI::IsMember({"none", "hard", "soft"}, CLI::ignore_case));
    std::string eol = "cr";
    app.add_option("--eol", eol)
        ->transform(CLI::IsMember({"cr", "lf", "crlf", "none"}, CLI::ignore_case));
    app.add_flag("--keep-stale", o.keepStale);
    app.add_flag("--line-mode", o.lineMode);
    app.add_flag("-e,--echo", o.localEcho);
    std::vector<std::string> map;
    app.add_option("--map", map)
        ->delimiter(',')
        ->allow_extra_args(false)
        ->transform(CLI::IsMember({"crlf", "cr", "lf"}, CLI::ignore_case));
    std::string escape;
    CLI::Option* escapeOption = app.add_option("--escape", escape);
    app.add_flag("--no-sent", o.noSent);
    app.add_flag("--no-color", o.noColor);
    app.add_option("--gap", o.gapMs)->check(CLI::Range(0u, 100u));

    app.add_option("--send", o.send)->allow_extra_args(false);
    std::vector<std::string> checksumNames;
    for (const TChecksumChoice& choice : ChecksumChoices()) {
        checksumNames.emplace_back(choice.name);
    }
    app.add_option("--checksum", o.checksum)
        ->transform(CLI::IsMember(checksumNames, CLI::ignore_case));
    app.add_option("--check-received", o.checkReceived)
        ->transform(CLI::IsMember(checksumNames, CLI::ignore_case));
    CLI::Option* cycle =
        app.add_option("--cycle", o.cycleMs)->check(NotNegative)->check(CLI::Range(20u, 86400000u));
    std::string lines;
    CLI::Option* linesOption = app.add_option("--lines", lines);
    std::vector<std::string> replies;
    app.add_option("--reply", replies)->allow_extra_args(false);
    app.add_option("--reply-delay", o.replyDelayMs)
        ->check(NotNegative)
        ->check(CLI::Range(0u, 86400000u));

    std::string decode = "none";
    app.add_option("--decode", decode)
        ->transform(CLI::IsMember({"none", "modbus"}, CLI::ignore_case));
    CLI::Option* sniffOption = app.add_flag("--sniff", o.sniff);
    std::vector<std::string> formatNames;
    for (const TModbusValueFormat format :
         {TModbusValueFormat::U16, TModbusValueFormat::S16, TModbusValueFormat::Hex,
          TModbusValueFormat::F32HighFirst, TModbusValueFormat::F32LowFirst,
          TModbusValueFormat::I32HighFirst, TModbusValueFormat::I32LowFirst,
          TModbusValueFormat::U32HighFirst, TModbusValueFormat::U32LowFirst}) {
        formatNames.emplace_back(ModbusValueFormatName(format));
    }
    CLI::Option* formatOption = app.add_option("--register-format", o.registerFormat)
                                    ->transform(CLI::IsMember(formatNames, CLI::ignore_case));
    app.add_flag("--json", o.json);

    CLI::Option* tapOption = app.add_option("--tap", o.tapPort);
    std::vector<CLI::Option*> tapOptions = {
        app.add_option("--tap-baud", o.tapBaud)
            ->check(NotNegative)
            ->check(CLI::Range(1u, 4000000u)),
        app.add_option("--tap-parity", o.tapParity)
            ->transform(CLI::IsMember({"none", "odd", "even", "mark", "space"}, CLI::ignore_case)),
        app.add_option("--tap-data-bits", o.tapDataBits)->check(CLI::Range(5, 8)),
        app.add_option("--tap-stop-bits", o.tapStopBits)->check(CLI::IsMember({"1", "1.5", "2"})),
        app.add_flag("--tap-swap", o.tapSwap)};

    app.add_option("--script", o.script);
    std::vector<std::string> scriptArgs;
    app.add_option("--script-arg", scriptArgs)->allow_extra_args(false);

    app.add_option("-l,--log", o.logFile);
    app.add_option("--log-rotate", o.logRotateBytes)
        ->transform(CLI::AsSizeValue(false))
        ->check(CLI::Range(uint64_t{1024}, uint64_t{1} << 50));
    app.add_option("--values", o.valuesFile);
    CLI::Option* wideOption = app.add_flag("--values-wide", o.valuesWide);
    std::vector<std::string> fields;
    app.add_option("--values-field", fields)->allow_extra_args(false);
    app.add_option("--count", o.count)
        ->check(NotNegative)
        ->check(CLI::Range(uint64_t{1}, UINT64_MAX));
    app.add_option("--duration", o.durationS)->check(CLI::Range(0.001, 1e9));
    app.add_flag("--reconnect,!--no-reconnect", o.reconnect);

    const auto bad = [&](const std::string& why) {
        err << "korvane-cli: " << why << "\nTry 'korvane-cli --help'.\n";
        return ExitBadOptions;
    };
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return bad(e.what());
    }
    if (help) {
        out << HelpText;
        return ExitDone;
    }
    if (version) {
        out << "korvane-cli " << KORVANE_VERSION << "\n";
        return ExitDone;
    }
    if (escapeOption->count() != 0) {
        // A letter names Ctrl+letter, as in --escape a for Ctrl+A.
        if (escape.size() != 1 || !std::isalpha(static_cast<unsigned char>(escape[0]))) {
            return bad("--escape takes a letter: --escape a makes Ctrl+A the command key");
        }
        o.escapeKey =
            static_cast<char>(std::tolower(static_cast<unsigned char>(escape[0])) - 'a' + 1);
    }
    if (hexReceive) {
        o.asciiReceive = false;
    }
    o.eol = eol == "lf" ? "\n" : eol == "crlf" ? "\r\n" : eol == "none" ? "" : "\r";
    // CR LF is one line end wherever it is chosen, so it is looked for before CR and LF.
    static const std::pair<const char*, const char*> endings[] = {
        {"crlf", "\r\n"}, {"cr", "\r"}, {"lf", "\n"}};
    for (const auto& [name, ending] : endings) {
        if (std::find(map.begin(), map.end(), name) != map.end()) {
            o.lineEnds.emplace_back(ending);
        }
    }
    if (dtrOption->count() != 0) {
        o.dtr = OnOff(dtr);
    }
    if (rtsOption->count() != 0) {
        o.rts = OnOff(rts);
    }
    if (linesOption->count() != 0) {
        // FILE, or FILE:FIRST-LAST; a colon not followed by a range is part of the name.
        static const std::regex range(R"((.*):(\d{1,9})-(\d{1,9}))");
        std::smatch match;
        if (std::regex_match(lines, match, range)) {
            o.linesFile = match[1].str();
            o.linesFirst = static_cast<uint32_t>(std::stoul(match[2].str()));
            o.linesLast = static_cast<uint32_t>(std::stoul(match[3].str()));
            if (o.linesFirst == 0 || o.linesFirst > o.linesLast) {
                return bad("--lines: the range must run from line 1 or later to a line not "
                           "before its first, as in FILE:2-5");
            }
        } else {
            o.linesFile = lines;
        }
        if (cycle->count() == 0) {
            return bad("--lines needs --cycle MS");
        }
    }
    for (const std::string& reply : replies) {
        const size_t equals = reply.find('=');
        if (equals == std::string::npos || equals == 0 || equals + 1 == reply.size()) {
            return bad("--reply takes PATTERN=LINE, as in \"01 03 00 00 00 01=01 03 02 00 2A\"");
        }
        o.replies.push_back({reply.substr(0, equals), reply.substr(equals + 1)});
    }
    if (o.replies.size() > 10) {
        return bad("at most 10 --reply patterns");
    }
    if (o.cycleMs && !o.linesFile && o.send.empty()) {
        return bad("--cycle needs --lines FILE or --send");
    }
    for (const std::string& line : o.send) {
        if (!o.asciiSend && !IsHexText(NormalizeHex(line))) {
            return bad("--send \"" + line +
                       "\" is not hex byte pairs (as in \"01 03 0A\"); --ascii-send sends text");
        }
    }
    if (o.checksum && o.asciiSend) {
        return bad("--checksum works on hex lines; it cannot be used with --ascii-send");
    }
    o.decodeModbus = decode == "modbus";
    if (wideOption->count() != 0 && !o.valuesFile) {
        return bad("--values-wide shapes the --values file; it needs --values FILE");
    }
    if (o.valuesFile && o.valuesFile->empty()) {
        return bad("--values needs a file name, or - for standard output");
    }
    if (!fields.empty() && !o.valuesFile) {
        return bad("--values-field chooses what --values writes; it needs --values FILE");
    }
    for (const std::string& text : fields) {
        std::string error;
        std::optional<TBinaryField> field = ParseBinaryField(text, error);
        if (!field) {
            return bad("--values-field \"" + text + "\": " + error +
                       "; the form is OFFSET:TYPE[:be][:scale=X][:match=HEX][:name=NAME]");
        }
        o.valuesFields.push_back(std::move(*field));
    }
    if (!o.decodeModbus) {
        for (const CLI::Option* option : {sniffOption, formatOption}) {
            if (option->count() != 0) {
                return bad(option->get_name() +
                           " works on decoded frames; it needs --decode modbus");
            }
        }
    }
    if (tapOption->count() == 0) {
        for (const CLI::Option* option : tapOptions) {
            if (option->count() != 0) {
                return bad(option->get_name() + " sets up the second port; it needs --tap PORT2");
            }
        }
    } else if (o.tapPort->empty() || *o.tapPort == o.port) {
        return bad("--tap needs a second port, not the first one again");
    } else if (o.sniff) {
        return bad("--sniff guesses each frame's direction; with --tap it is known (--tap-swap "
                   "turns it round)");
    }
    for (const std::string& arg : scriptArgs) {
        const size_t equals = arg.find('=');
        if (equals == std::string::npos || equals == 0) {
            return bad("--script-arg takes KEY=VALUE, as in --script-arg slave=1");
        }
        o.scriptArgs.emplace_back(arg.substr(0, equals), arg.substr(equals + 1));
    }
    if (!o.scriptArgs.empty() && !o.script) {
        return bad("--script-arg needs --script FILE.lua");
    }
    if (o.list) {
        if (!o.port.empty()) {
            return bad("--list takes no port");
        }
        return std::nullopt;
    }
    if (o.port.empty()) {
        return bad("a port is required (a name from --list, a device path, or a virtual port)");
    }
    return std::nullopt;
}
