// korvane-cli: the traffic monitor in a terminal. The serial connection, the traffic engine,
// the codec, the settings file and the capture are the window's own; what is here is the
// command line, the terminal output and a loop that stands in for the window's timers.

#include "cli/CliLoop.h"
#include "cli/CliOptions.h"
#include "cli/CliScript.h"
#include "cli/CliSession.h"
#include "cli/CliTap.h"
#include "cli/RawTerminal.h"
#include "cli/RecordOutput.h"
#include "cli/TerminalView.h"
#include "cli/ValuesOutput.h"
#include "codec/ChecksumNames.h"
#include "codec/HexCodec.h"
#include "platform/FileIO.h"
#include "platform/Platform.h"
#include "protocol/ModbusRtu.h"
#include "richtext/RichText.h"
#include "serial/ComDriverPosix.h"
#include "serial/OruScomm.h"
#include "serial/PortDiscovery.h"
#include "serial/PortInfo.h"
#include "serial/PortMessages.h"
#include "settings/SettingsFile.h"
#include "traffic/DataRT.h"
#include "traffic/TrafficCapture.h"

#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <ctime>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

std::atomic<int> g_signal{0};

void OnSignal(int signal) {
    g_signal = signal;
    TCliLoop::WakeFromSignal();
}

// The send editor of the window, as lines in memory: the lines of --lines, the --send
// lines, the reply patterns and lines, and last the line typed on standard input.
class TLineStore final : public TextView {
public:
    int Add(std::string line) {
        m_lines.push_back(std::move(line));
        return static_cast<int>(m_lines.size()) - 1;
    }
    void Set(int line, std::string text) {
        m_lines.at(static_cast<size_t>(line)) = std::move(text);
    }
    void SetCaretLine(int line) { m_caretLine = line; }

    void MoveCaretToEnd() override {}
    void InsertText(std::string_view, const TextAttributes&) override {}
    int CaretLine() const override { return m_caretLine; }
    int CaretColumn() const override { return 0; }
    int LineCount() const override { return static_cast<int>(m_lines.size()); }
    std::string LineText(int line) const override {
        return line >= 0 && static_cast<size_t>(line) < m_lines.size()
                   ? m_lines[static_cast<size_t>(line)]
                   : std::string();
    }
    std::string SelectedText() const override { return {}; }
    int SelectionLength() const override { return 0; }
    bool HasFocus() const override { return false; }
    void SetFocus() override {}
    void Clear() override { m_lines.clear(); }
    void SetWordWrap(bool) override {}

private:
    std::vector<std::string> m_lines;
    int m_caretLine = 0;
};

// The engine's warning boxes, as lines on standard error.
class TCliPrompter final : public Prompter {
public:
    void Warning(const std::string& text, const std::string& caption, PromptOwner) override {
        std::string line = text;
        for (size_t at; (at = line.find("\r\n")) != std::string::npos;) {
            line.replace(at, 2, " ");
        }
        for (size_t at; (at = line.find("  ")) != std::string::npos;) {
            line.erase(at, 1);
        }
        std::cerr << "korvane-cli: " << caption << ": " << line << std::endl;
    }
};

// The line as sent: with the checksum appended when one is asked for and the line is hex.
std::string WithChecksum(const std::string& line, const std::optional<TChecksumChoice>& kind) {
    if (!kind) {
        return line;
    }
    const std::string data = TrimText(line);
    if (!IsHexText(data)) {
        return line;
    }
    return data + " " + ChecksumText(data, kind->algorithm);
}

// The lines of a file as the send window would show it (RTF or plain text), 8-bit.
std::vector<std::string> ReadLinesFile(const std::string& path) {
    const std::string text =
        Utf8ToLatin1(StyledPlainText(StyledFromFile(ReadFileBytes(path), TextStyle{})));
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// A log started by the command key: named by the time, never over a file that exists.
std::string NewLogName() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
    std::string name = std::string("korvane-") + stamp + ".log";
    for (int n = 2; access(name.c_str(), F_OK) == 0; ++n) {
        name = std::string("korvane-") + stamp + "-" + std::to_string(n) + ".log";
    }
    return name;
}

int ListPorts() {
    std::vector<std::string> names;
    ListSerialPorts(names);
    if (names.empty()) {
        std::cout << "No serial ports found.\n";
    }
    for (const std::string& name : names) {
        const TPortInfo info = DescribePort(name);
        std::cout << name << "\t" << info.device;
        if (!info.description.empty()) {
            std::cout << "\t" << info.description;
        }
        std::cout << "\n";
    }
    return ExitDone;
}

// A rate of the list by its index, any other as a custom rate; applied at once when open.
void SetRate(TComPort& device, uint32_t rate) {
    const TBaudRate listed = TextToBaudRate(std::to_string(rate));
    if (BaudRateValue(listed, 0) == rate) {
        device.SetBaudRate(listed);
    } else {
        device.SetCustomBaudRate(static_cast<int32_t>(rate));
        device.SetBaudRate(brCustom);
    }
}

// A new rate for the open port, or why not; a refused one leaves the rate as it was.
std::string ChangeRate(TComPort& device, const std::string& typed) {
    const uint32_t was = BaudRateValue(device.BaudRate(), device.CustomBaudRate());
    const std::string still = "; still " + std::to_string(was);
    if (typed.empty() || typed.size() > 7 ||
        typed.find_first_not_of("0123456789") != std::string::npos || std::stoul(typed) == 0 ||
        std::stoul(typed) > 4000000) {
        return "baud: \"" + typed + "\" is not a rate from 1 to 4000000" + still;
    }
    const TBaudRate rate = device.BaudRate();
    const int32_t custom = device.CustomBaudRate();
    try {
        SetRate(device, static_cast<uint32_t>(std::stoul(typed)));
    } catch (const std::exception& e) {
        try {
            device.SetCustomBaudRate(custom);
            device.SetBaudRate(rate);
        } catch (const std::exception&) {
            // The port keeps whatever it last took; the message says what was asked.
        }
        return "baud " + typed + " refused (" + e.what() + ")" + still;
    }
    const std::string notice = device.Driver().PortNotice();
    return "baud " + typed + (notice.empty() ? "" : " (" + notice + ")");
}

// Line settings: the record's (defaults, or the window's with --settings), then the options.
void ApplyLineOptions(TComPort& device, const SettingsRecord& settings, const TCliOptions& o) {
    device.SetBaudRate(settings.baudRateIndex <= br256000
                           ? static_cast<TBaudRate>(settings.baudRateIndex)
                           : br9600);
    device.Parity().SetBits(
        settings.parityIndex <= prSpace ? static_cast<TParityBits>(settings.parityIndex) : prNone);
    device.SetDataBits(settings.dataBitsIndex <= dbEight
                           ? static_cast<TDataBits>(settings.dataBitsIndex)
                           : dbEight);
    device.SetStopBits(settings.stopBitsIndex <= sbTwoStopBits
                           ? static_cast<TStopBits>(settings.stopBitsIndex)
                           : sbOneStopBit);
    if (o.baud) {
        SetRate(device, *o.baud);
    }
    if (o.parity) {
        device.Parity().SetBits(TextToParity(*o.parity));
    }
    if (o.dataBits) {
        device.SetDataBits(TextToDataBits(std::to_string(*o.dataBits)));
    }
    if (o.stopBits) {
        device.SetStopBits(TextToStopBits(*o.stopBits));
    }
}

} // namespace

int main(int argc, char** argv) {
    TCliOptions o;
    if (const std::optional<int> code = ParseCliOptions(argc, argv, o, std::cout, std::cerr)) {
        return *code;
    }
    if (o.list) {
        return ListPorts();
    }

    SettingsRecord settings;
    if (o.useSettings) {
        try {
            // A file of another size is not the window's settings: refused, not half-read.
            struct stat file {};
            LocateDataFolder();
            const std::string path = DataFilePath(SettingsFileName);
            if (stat(path.c_str(), &file) == 0 &&
                (!S_ISREG(file.st_mode) || file.st_size != SettingsRecord::Size)) {
                std::cerr << "korvane-cli: --settings: \"" << path << "\" is not a settings file ("
                          << file.st_size << " bytes, not " << SettingsRecord::Size << ")\n";
                return ExitBadOptions;
            }
            if (!LoadSettingsAtStartup(settings)) {
                std::cerr << "korvane-cli: no settings file \"" << DataFilePath(SettingsFileName)
                          << "\" yet; using the defaults\n";
            }
        } catch (const EFileError& e) {
            std::cerr << "korvane-cli: " << e.what() << "; using the defaults\n";
        }
    } else {
        settings = SettingsRecord::Fresh();
        settings.showRxTx = true;
    }
    // Automatic sending and the filter are off at every start, as in the window.
    settings.cycleSendEnabled = false;
    settings.timingTriggerEnabled = false;
    settings.receiveTriggerEnabled = false;
    settings.filterEnabled = false;
    if (o.time) {
        settings.showTime = *o.time != "none";
        settings.showRxTx = *o.time == "time+dir";
    }
    if (o.noSent) {
        settings.showSending = false;
    }
    if (o.asciiReceive) {
        settings.asciiReceive = true;
    }
    if (o.asciiSend) {
        settings.asciiSend = true;
    }
    if (o.dtr) {
        settings.dtrEnabled = *o.dtr;
    }
    if (o.rts) {
        settings.rtsEnabled = *o.rts;
    }
    const std::optional<TChecksumChoice> checksum =
        o.checksum ? ChecksumChoiceNamed(*o.checksum) : std::nullopt;

    // The send editor's lines.
    TLineStore sendEdit;
    int cycleFirst = 0;
    int cycleLast = -1;
    if (o.linesFile) {
        std::vector<std::string> lines;
        try {
            lines = ReadLinesFile(*o.linesFile);
        } catch (const EFileError& e) {
            std::cerr << "korvane-cli: --lines: " << e.what() << "\n";
            return ExitBadOptions;
        }
        const uint32_t first = o.linesFirst == 0 ? 1 : o.linesFirst;
        const uint32_t last = o.linesLast == 0 ? static_cast<uint32_t>(lines.size()) : o.linesLast;
        if (lines.empty() || last > lines.size()) {
            std::cerr << "korvane-cli: --lines: \"" << *o.linesFile << "\" has " << lines.size()
                      << " lines\n";
            return ExitBadOptions;
        }
        for (const std::string& line : lines) {
            sendEdit.Add(WithChecksum(line, checksum));
        }
        cycleFirst = static_cast<int>(first) - 1;
        cycleLast = static_cast<int>(last) - 1;
    }
    std::vector<int> sendLines;
    for (const std::string& line : o.send) {
        sendLines.push_back(sendEdit.Add(WithChecksum(line, checksum)));
    }
    if (o.cycleMs && !o.linesFile) {
        cycleFirst = sendLines.front();
        cycleLast = sendLines.back();
    }
    if (o.cycleMs) {
        settings.cycleSendEnabled = true;
        settings.cycleUseRange = true;
        settings.cycleRangeFrom = cycleFirst + 1;
        settings.cycleRangeTo = cycleLast + 1;
        settings.cycleInterval = *o.cycleMs;
    }
    for (size_t row = 0; row < o.replies.size(); ++row) {
        const int pattern = sendEdit.Add(o.replies[row].pattern);
        const int reply = sendEdit.Add(WithChecksum(o.replies[row].line, checksum));
        settings.receiveTriggers[row] = {pattern + 1, reply + 1};
    }
    if (!o.replies.empty()) {
        settings.receiveTriggerEnabled = true;
        settings.receiveTriggerDelay = o.replyDelayMs;
    }
    const int typedLine = sendEdit.Add(std::string());

    // Output and the capture file.
    const bool terminal = isatty(STDOUT_FILENO) != 0;
    const bool color = terminal && !o.noColor && std::getenv("NO_COLOR") == nullptr;
    std::unique_ptr<TTrafficCapture> capture;
    const auto captureTo = [&](const std::string& path) {
        TCaptureOptions captureOptions;
        captureOptions.path = path;
        captureOptions.rotateBytes = o.logRotateBytes;
        captureOptions.onFailed = &TCliLoop::WakeFromSignal;
        captureOptions.colors = {TrafficPrefixColor, settings.receiveTextColor,
                                 settings.sendTextColor};
        return std::make_unique<TTrafficCapture>(captureOptions);
    };
    if (o.logFile) {
        // A pipe or a device would block the open or take the lines nowhere.
        struct stat file {};
        if (stat(o.logFile->c_str(), &file) == 0 && !S_ISREG(file.st_mode)) {
            std::cerr << "korvane-cli: --log: \"" << *o.logFile
                      << "\" is not a regular file (a pipe, device or folder)\n";
            return ExitBadOptions;
        }
        try {
            capture = captureTo(*o.logFile);
        } catch (const EFileError& e) {
            std::cerr << "korvane-cli: --log: " << e.what() << "\n";
            return ExitOpenFailed;
        }
    }
    std::unique_ptr<TValuesOutput> values;
    if (o.valuesFile) {
        TValuesOptions valuesOptions;
        valuesOptions.path = *o.valuesFile;
        valuesOptions.wide = o.valuesWide;
        valuesOptions.rotateBytes = o.logRotateBytes;
        valuesOptions.modbus = o.decodeModbus;
        valuesOptions.format = *ModbusValueFormatNamed(o.registerFormat);
        valuesOptions.fields = o.valuesFields;
        struct stat file {};
        if (*o.valuesFile != "-" && stat(o.valuesFile->c_str(), &file) == 0 &&
            !S_ISREG(file.st_mode)) {
            std::cerr << "korvane-cli: --values: \"" << *o.valuesFile
                      << "\" is not a regular file (a pipe, device or folder); use --values -\n";
            return ExitBadOptions;
        }
        if (*o.valuesFile == "-" && o.json) {
            std::cerr << "korvane-cli: --values - and --json both write to standard output; "
                         "choose one\n";
            return ExitBadOptions;
        }
        try {
            values = std::make_unique<TValuesOutput>(valuesOptions);
        } catch (const EFileError& e) {
            std::cerr << "korvane-cli: --values: " << e.what() << "\n";
            return ExitOpenFailed;
        }
    }
    TTerminalView view(STDOUT_FILENO, terminal, color, capture.get());
    // Text lines are never checked: a received text may look like hex pairs by chance.
    if (o.checkReceived && !settings.asciiReceive) {
        view.SetReceivedCheck(ChecksumChoiceNamed(*o.checkReceived)->algorithm);
    }
    view.SetLineEnds(o.lineEnds);
    // --json writes each record as an object instead of its line.
    view.SetRecordLinesShown(!o.json && !(values && values->ToStandardOutput()));

    // The port.
    TOruScomm connection;
    TComPort& device = *connection.Device;
    device.SetPort(o.port);
    ApplyLineOptions(device, settings, o);
    // Typed lines and their echoes show at once on a terminal; piped input keeps the window.
    // A script answers records, so its records end on silence too.
    connection.SetRecordGap(o.gapMs.value_or(isatty(STDIN_FILENO) != 0 || o.script ? 5u : 0u));
    // Decoded by frames, a burst ends with its frame's last byte instead of the gap after it;
    // received as text, with its line's end (a line shows as soon as it is whole).
    const bool crLines = std::find(o.lineEnds.begin(), o.lineEnds.end(), "\r") != o.lineEnds.end();
    const auto frameEnd = [&]() -> TFrameEndTest {
        if (o.decodeModbus) {
            return &ModbusRtuWholeFrame;
        }
        if (settings.asciiReceive) {
            return crLines ? &EndsWithLineEnd : &EndsWithLineFeed;
        }
        return nullptr;
    };
    connection.SetFrameEnd(frameEnd());
    TCliLoop loop;
    TCliSession session(connection, loop, o.reconnect, terminal && !o.json);
    // Heard from here on: a signal also stops an open that waits for a server.
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
    const auto signalled = [] { return g_signal != 0; };
    try {
        device.FlowControl().SetControlDTR(settings.dtrEnabled ? dtrEnable : dtrDisable);
        device.FlowControl().SetControlRTS(settings.rtsEnabled ? rtsEnable : rtsDisable);
        if (o.flow) {
            device.FlowControl().SetOutCTSFlow(*o.flow == "hard");
            if (*o.flow == "hard") {
                device.FlowControl().SetControlRTS(rtsHandshake);
            }
            device.FlowControl().SetXonXoffOut(*o.flow == "soft");
            device.FlowControl().SetXonXoffIn(*o.flow == "soft");
        }
        // What waited in the port before it was opened belongs to no one here (a reply to
        // an earlier program, a device's backlog): dropped unless asked for.
        session.Open(!o.keepStale, signalled);
    } catch (const ECom& e) {
        // One attempt, worded as the window words it: the open's own message, then why.
        std::cerr << "korvane-cli: cannot open port " << o.port << ": " << e.ErrorText << "\n";
        if (!e.Reason.empty()) {
            std::cerr << "  " << e.Reason << "\n";
        }
        return g_signal != 0 ? 128 + g_signal : ExitOpenFailed;
    }

    // --tap: the second port, with the first port's line settings where it has none of its own.
    std::unique_ptr<TCliTap> tapped;
    if (o.tapPort) {
        TCliOptions line = o;
        line.baud = o.tapBaud ? o.tapBaud : o.baud;
        line.parity = o.tapParity ? o.tapParity : o.parity;
        line.dataBits = o.tapDataBits ? o.tapDataBits : o.dataBits;
        line.stopBits = o.tapStopBits ? o.tapStopBits : o.stopBits;
        try {
            tapped = std::make_unique<TCliTap>(
                connection, loop, *o.tapPort, o.reconnect, terminal && !o.json, [&](TComPort& d) {
                    ApplyLineOptions(d, settings, line);
                    d.FlowControl().SetControlDTR(settings.dtrEnabled ? dtrEnable : dtrDisable);
                    d.FlowControl().SetControlRTS(settings.rtsEnabled ? rtsEnable : rtsDisable);
                });
            tapped->Session().Open(!o.keepStale, signalled);
        } catch (const ECom& e) {
            std::cerr << "korvane-cli: cannot open port " << *o.tapPort
                      << " (--tap): " << e.ErrorText << "\n";
            if (!e.Reason.empty()) {
                std::cerr << "  " << e.Reason << "\n";
            }
            return g_signal != 0 ? 128 + g_signal : ExitOpenFailed;
        }
    }

    std::optional<TRecordTap> tap;
    if (o.decodeModbus || o.json || values) {
        TRecordOutputOptions recordOptions{o.decodeModbus, o.json, o.sniff,
                                           *ModbusValueFormatNamed(o.registerFormat), values.get()};
        recordOptions.tapped = o.tapPort.has_value();
        recordOptions.tapCarriesRequests = o.tapSwap;
        tap.emplace(connection, recordOptions);
    }
    TCliPrompter prompter;
    connection.OnRecordQueued = [&loop] { loop.Wake(); };
    // The direction of the record the engine takes next: the pump is the only taker, so
    // the oldest record in the queue is the one.
    const auto nextDirection = [&connection]() -> char {
        const std::optional<TQueuedRecord> next = connection.PeekRecord();
        return next && !next->empty() ? next->front() : 0;
    };

    TDataRT engine(&sendEdit, &view, nullptr, &connection, settings, SystemClock::Instance(),
                   prompter, loop.Factory());
    // The loop below is the pump: it ticks while records come and once a millisecond while
    // a trigger waits, instead of a timer that fires a thousand times a second for nothing.
    engine.PumpTimer().SetEnabled(false);
    engine.ApplySettings(settings);

    const auto sendTyped = [&](const std::string& line) {
        sendEdit.Set(typedLine, settings.asciiSend ? line + o.eol : WithChecksum(line, checksum));
        sendEdit.SetCaretLine(typedLine);
        engine.SendCursorLine();
    };
    try {
        for (const int line : sendLines) {
            sendEdit.SetCaretLine(line);
            engine.SendCursorLine();
        }
    } catch (const std::exception& e) {
        std::cerr << "korvane-cli: Send: " << e.what() << "\n";
    }

    std::unique_ptr<TCliScript> script;
    const auto start = std::chrono::steady_clock::now();
    const auto countReached = [&] { return o.count && view.LinesShown() >= *o.count; };
    // A flood of records must not keep the loop from signals, typed lines and timers: one
    // drain lasts at most a few milliseconds.
    const auto pump = [&] {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(20);
        do {
            if (o.checkReceived || view.MapsLineEnds()) {
                view.ExpectRecord(nextDirection());
            }
            if (tap) {
                tap->BeforeTick(view);
            }
            if (script) {
                script->BeforeTick();
            }
            engine.PumpTick();
            if (tap) {
                tap->AfterTick(engine, view);
            }
            if (script) {
                script->AfterTick(engine);
            }
        } while (engine.LastTickTookRecord() && !countReached() &&
                 std::chrono::steady_clock::now() < until);
        view.Flush();
    };
    int input = STDIN_FILENO;
    std::string typed;
    int exitCode = ExitDone;

    // A terminal on standard input: raw keys, each sent as typed (a hex line on Enter), and
    // the command key.
    TRawTerminal rawTerminal(STDIN_FILENO);
    bool localEcho = o.localEcho;
    bool commandNext = false;
    std::optional<std::string> ratePrompt; // the rate being typed after the command key B
    // Ends the prompt: wiped on a terminal, else the status follows on a line of its own.
    const std::string promptEnd =
        isatty(STDERR_FILENO) != 0 ? std::string(color ? "\x1b[0m" : "") + "\r\x1b[K" : "\n";
    const auto status = [&](const std::string& text) {
        view.Flush();
        std::cerr << (color ? "\x1b[90m" : "") << "korvane-cli: " << text
                  << (color ? "\x1b[0m" : "") << "\n";
    };
    const auto toggleLine = [&](const char* name, bool& on, auto apply) {
        try {
            apply(!on);
            on = !on;
            status(std::string(name) + (on ? " on" : " off"));
        } catch (const std::exception& e) {
            status(std::string(name) + " unchanged (" + e.what() + ")");
        }
    };
    const auto command = [&](char key) -> bool {
        switch (key) {
        case '?':
            status("keys after the command key: b break, B baud, d DTR, r RTS, h hex/text, "
                   "t time prefix, e echo, c clear, l log, q quit; itself: sent");
            break;
        case 'b':
            if (device.Driver().SendBreak()) {
                status("break sent");
            } else {
                const int32_t error = device.Driver().LastError();
                status("break not sent" + (device.Connected() && error != 0
                                               ? SystemErrorTail(error)
                                               : std::string(" (the port is not open)")));
            }
            break;
        case 'B':
            ratePrompt = std::string();
            view.Flush();
            std::cerr << (color ? "\x1b[90m" : "") << "korvane-cli: baud rate (now "
                      << BaudRateValue(device.BaudRate(), device.CustomBaudRate())
                      << "), Enter sets it, Esc keeps it: " << std::flush;
            break;
        case 'l':
            if (capture && view.Capturing()) {
                capture->Append("--- log paused " + CurrentTimeOfDay() + "\r\n",
                                TrafficPrefixColor);
                view.SetCapture(nullptr);
                status("log off: " + capture->CurrentFile() + " (paused; l resumes it)");
            } else if (capture) {
                capture->Append("--- log resumed " + CurrentTimeOfDay() + "\r\n",
                                TrafficPrefixColor);
                view.SetCapture(capture.get());
                status("log on: " + capture->CurrentFile());
            } else {
                const std::string name = NewLogName();
                try {
                    capture = captureTo(name);
                    view.SetCapture(capture.get());
                    status("log on: " + name);
                } catch (const EFileError& e) {
                    status(std::string("log not started: ") + e.what());
                }
            }
            break;
        case 'd':
            toggleLine("DTR", settings.dtrEnabled, [&](bool on) {
                device.FlowControl().SetControlDTR(on ? dtrEnable : dtrDisable);
            });
            break;
        case 'r':
            toggleLine("RTS", settings.rtsEnabled, [&](bool on) {
                device.FlowControl().SetControlRTS(on ? rtsEnable : rtsDisable);
            });
            break;
        case 'h':
            settings.asciiReceive = !settings.asciiReceive;
            connection.HexReceive = settings.asciiReceive ? 0 : 1;
            connection.SetFrameEnd(frameEnd());
            if (tapped) {
                tapped->Connection().HexReceive = connection.HexReceive.load();
                tapped->Connection().SetFrameEnd(frameEnd());
            }
            status(settings.asciiReceive ? "received as text" : "received as hex");
            break;
        case 't':
            // none -> time -> time+dir -> none
            if (!settings.showTime) {
                settings.showTime = true;
                settings.showRxTx = false;
            } else if (!settings.showRxTx) {
                settings.showRxTx = true;
            } else {
                settings.showTime = false;
                settings.showRxTx = false;
            }
            engine.ShowTime = settings.showTime;
            engine.ShowRxTx = settings.showRxTx;
            status(!settings.showTime  ? "time prefix none"
                   : settings.showRxTx ? "time prefix time+dir"
                                       : "time prefix time");
            break;
        case 'e':
            localEcho = !localEcho;
            status(localEcho ? "echo on" : "echo off");
            break;
        case 'c':
            view.Flush();
            std::cout << "\x1b[H\x1b[2J" << std::flush;
            break;
        case 'q':
            return false;
        default:
            status("no such command; the command key and ? lists them");
        }
        return true;
    };
    if (o.script) {
        script = std::make_unique<TCliScript>(
            connection, o, loop.Factory(), [&](const std::string& text) {
                view.Flush();
                std::cerr << (color ? "\x1b[90m" : "") << text << (color ? "\x1b[0m" : "") << "\n";
            });
        if (!script->Start()) {
            return ExitBadOptions;
        }
    }
    // Both ports' sessions drain the same engine and write notes into the same view.
    const auto drain = [&] {
        do {
            pump();
        } while (engine.LastTickTookRecord() && !countReached() && !view.OutputBroken());
    };
    const auto note = [&](const std::string& text) {
        view.AppendNote(text);
        view.Flush();
    };
    session.SetOutput({.drain = drain,
                       .note = note,
                       .status = status,
                       .portChanged =
                           [&](bool open) {
                               if (script) {
                                   open ? script->Reopened() : script->Closing();
                               }
                           },
                       .failure = nullptr});
    session.Attach(engine);
    if (tapped) {
        tapped->Session().SetOutput({.drain = drain,
                                     .note = note,
                                     .status = status,
                                     .portChanged = nullptr,
                                     .failure = [&](const std::string& text) {
                                         status("Tap " + *o.tapPort + ": " + text);
                                     }});
    }
    const bool characterMode = rawTerminal.Active() && settings.asciiSend && !o.lineMode;
    for (;;) {
        try {
            pump();
        } catch (const std::exception& e) {
            std::cerr << "korvane-cli: " << e.what() << "\n";
        }
        if (g_signal != 0 || countReached() || view.OutputBroken()) {
            break;
        }
        if (script && script->Finished()) {
            exitCode = script->ExitCode();
            break;
        }
        if (capture && !capture->ErrorText().empty()) {
            exitCode = ExitOpenFailed; // told below
            break;
        }
        // The receive thread tells of a device that went away (unplugged, the program behind
        // a virtual port ended, a network server closed the connection).
        if (!session.Watch() || (tapped && !tapped->Session().Watch())) {
            exitCode = ExitPortGone;
            break;
        }
        // The loop sleeps until the engine has something due (a record still queued, a
        // trigger's moment); records, keys, signals, a hang-up, a failed capture file and
        // the timers of the cycle, the session and the script wake it sooner.
        const std::optional<uint32_t> due = engine.PumpDueIn();
        int waitMs = due ? static_cast<int>(std::min<uint32_t>(*due, 1u << 30)) : -1;
        if (o.durationS) {
            const double left =
                *o.durationS -
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            if (left <= 0) {
                break;
            }
            const int leftMs = static_cast<int>(left * 1000) + 1;
            waitMs = waitMs < 0 ? leftMs : std::min(waitMs, leftMs);
        }
        bool readable = false;
        try {
            readable = loop.Wait(input, waitMs);
        } catch (const std::exception& e) {
            // A port write of a cycle that failed: reported, and the cycle goes on.
            std::cerr << "korvane-cli: " << e.what() << "\n";
        }
        if (readable) {
            char buffer[4096];
            const ssize_t n = read(input, buffer, sizeof buffer);
            if (n <= 0) {
                input = -1; // end of input: go on showing the traffic
                continue;
            }
            bool quit = false;
            if (rawTerminal.Active()) {
                std::string keys;
                for (ssize_t i = 0; i < n && !quit; ++i) {
                    const char key = buffer[i];
                    if (ratePrompt) {
                        if (key == '\r' || key == '\n') {
                            std::cerr << promptEnd;
                            const std::string typedRate = *ratePrompt;
                            ratePrompt.reset();
                            status(ChangeRate(device, typedRate));
                        } else if (key == 0x1B || key == 0x03 || key == o.escapeKey) {
                            ratePrompt.reset();
                            std::cerr << promptEnd;
                            status("baud unchanged");
                        } else if (key == 0x7F || key == 0x08) {
                            if (!ratePrompt->empty()) {
                                ratePrompt->pop_back();
                                std::cerr << "\b \b" << std::flush;
                            }
                        } else if (ratePrompt->size() < 16 &&
                                   std::isprint(static_cast<unsigned char>(key)) != 0) {
                            *ratePrompt += key;
                            std::cerr << key << std::flush;
                        }
                        continue;
                    }
                    if (commandNext) {
                        commandNext = false;
                        // Typed twice, the command key goes to the device.
                        if (key == o.escapeKey) {
                            keys += key;
                        } else {
                            quit = !command(key);
                        }
                    } else if (key == o.escapeKey) {
                        commandNext = true;
                    } else if (key == '\r' || key == '\n') {
                        keys += '\n';
                    } else if ((key == 0x7F || key == 0x08) && !characterMode) {
                        if (!typed.empty()) {
                            typed.pop_back();
                            std::cerr << "\b \b" << std::flush;
                        }
                    } else {
                        keys += key;
                    }
                }
                if (quit) {
                    break;
                }
                if (characterMode) {
                    std::string out;
                    for (const char key : keys) {
                        out += key == '\n' ? o.eol : std::string(1, key);
                    }
                    if (localEcho) {
                        // Enter, whatever it sends, starts a new line on the screen.
                        for (const char key : keys) {
                            std::cerr << (key == '\n' ? std::string("\r\n") : std::string(1, key));
                        }
                        std::cerr << std::flush;
                    }
                    try {
                        sendEdit.Set(typedLine, out);
                        sendEdit.SetCaretLine(typedLine);
                        engine.SendCursorLine();
                    } catch (const std::exception& e) {
                        std::cerr << "korvane-cli: Send: " << e.what() << "\n";
                    }
                    continue;
                }
                // A hex line is shown while it is typed, on standard error.
                std::cerr << (keys.ends_with('\n') ? std::string("\r\x1b[K") : keys) << std::flush;
                typed += keys;
            } else {
                typed.append(buffer, static_cast<size_t>(n));
            }
            for (size_t end; (end = typed.find('\n')) != std::string::npos;) {
                std::string line = typed.substr(0, end);
                typed.erase(0, end + 1);
                if (!line.empty() && line.back() == '\r') {
                    line.pop_back();
                }
                try {
                    sendTyped(line);
                } catch (const std::exception& e) {
                    std::cerr << "korvane-cli: Send: " << e.what() << "\n";
                }
            }
        }
    }

    // Close the port first, so the receive thread leaves a pending read, then show what it
    // had recorded and finish the capture file.
    engine.CycleTimer().SetEnabled(false);
    // A port that went away has told the script already.
    if (script && device.Connected()) {
        script->Closing();
    }
    session.Stop();
    if (tapped) {
        tapped->Stop();
    }
    while (!countReached() && !view.OutputBroken()) {
        pump();
        if (!engine.LastTickTookRecord()) {
            break;
        }
    }
    if (tap) {
        tap->Finish(view);
    }
    view.Flush();
    if (values) {
        if (const std::string error = values->Close(); !error.empty()) {
            std::cerr << "korvane-cli: --values: " << error << "\n";
            exitCode = ExitOpenFailed;
        }
    }
    if (capture) {
        capture->Close();
        if (!capture->ErrorText().empty()) {
            std::cerr << "korvane-cli: --log: " << capture->ErrorText() << "\n";
            exitCode = ExitOpenFailed;
            // A log that never got a byte is not left behind as if it were one.
            struct stat file {};
            const std::string name = capture->CurrentFile();
            if (stat(name.c_str(), &file) == 0 && S_ISREG(file.st_mode) && file.st_size == 0) {
                unlink(name.c_str());
            }
        }
    }
    std::cerr << "korvane-cli: " << o.port << " closed; RX "
              << static_cast<uint32_t>(connection.RxCount.load()) << " bytes, TX "
              << static_cast<uint32_t>(connection.TxCount.load()) << " bytes";
    // The tap's records go to this queue, so the count covers both ports.
    if (const std::string dropped = connection.DroppedRecordsText(); !dropped.empty()) {
        std::cerr << "; " << dropped;
    }
    std::cerr << "\n";
    if (tapped) {
        std::cerr << "korvane-cli: " << *o.tapPort << " (tap) closed; RX "
                  << static_cast<uint32_t>(tapped->Connection().RxCount.load()) << " bytes\n";
    }
    return g_signal != 0 ? 128 + g_signal : exitCode;
}
