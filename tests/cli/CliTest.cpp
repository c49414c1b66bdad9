// korvane-cli end to end: the program against the simulated device on a pseudo-terminal,
// each test in a data folder of its own (the virtual-ports folder lives there).

#include "cli/CliFolderTest.h"
#include "cli/CliProcess.h"
#include "cli/JsonValue.h"
#include "cli/RawPty.h"

#include "codec/HexCodec.h"
#include "platform/FileIO.h"
#include "richtext/RichText.h"
#include "traffic/DataRT.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <pty.h>
#include <regex>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The payload of a shown line: what follows the prefix "[...] ", or the whole line.
std::string Payload(const std::string& line) {
    if (!line.starts_with("[")) {
        return line;
    }
    const size_t close = line.find("] ");
    return close == std::string::npos ? line : line.substr(close + 2);
}

class Cli : public CliFolderTest {};

TEST_F(Cli, ModbusRequestWithChecksumIsSentWithItsCrcAndAnsweredWithAGoodOne) {
    auto device = StartDevice("modbus");
    CliProcess cli(
        {"SIM0", "--send", "01 03 00 00 00 0A", "--checksum", "Modbus-CRC16", "--count", "2"});
    ASSERT_EQ(cli.Wait(), 0) << cli.err;
    const std::vector<std::string> lines = Lines(cli.out);
    ASSERT_EQ(lines.size(), 2u) << cli.out;
    EXPECT_EQ(Payload(lines[0]), "01 03 00 00 00 0A C5 CD ");
    const std::string reply = Payload(lines[1]);
    ASSERT_EQ(reply.size(), 25u * 3 - 1) << reply; // 20 register bytes and 5 around them
    EXPECT_TRUE(reply.starts_with("01 03 14 ")) << reply;
    const std::string data = reply.substr(0, reply.size() - 6);
    EXPECT_EQ(ChecksumText(data, ChecksumAlgorithm::Crc16Modbus), reply.substr(reply.size() - 5));
    EXPECT_NE(cli.err.find("RX 25 bytes, TX 8 bytes"), std::string::npos) << cli.err;
}

TEST_F(Cli, LinesCarryThePrefixOfTheChosenTimeAndDirection) {
    auto device = StartDevice("modbus");
    const std::string time = R"(\d\d:\d\d:\d\d( ---| [ \d]{2}\d))";
    const struct {
        std::vector<std::string> options;
        std::vector<std::string> patterns; // one per line shown
    } cases[] = {
        {{},
         {R"(\[)" + time + R"( Tx\] 01 03 00 00 00 01 84 0A )",
          R"(\[)" + time + R"( Rx\] 01 03 02 .*)"}},
        {{"--time", "time"},
         {R"(\[)" + time + R"(\] 01 03 00 00 00 01 84 0A )", R"(\[)" + time + R"(\] 01 03 02 .*)"}},
        {{"--time", "none"}, {"01 03 00 00 00 01 84 0A ", "01 03 02 .*"}},
        {{"--time", "none", "--no-sent"}, {"01 03 02 .*"}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"SIM0", "--send", "01 03 00 00 00 01 84 0A", "--count",
                                         std::to_string(c.patterns.size())};
        args.insert(args.end(), c.options.begin(), c.options.end());
        CliProcess cli(args);
        ASSERT_EQ(cli.Wait(), 0) << cli.err;
        const std::vector<std::string> lines = Lines(cli.out);
        ASSERT_EQ(lines.size(), c.patterns.size()) << cli.out;
        for (size_t i = 0; i < lines.size(); ++i) {
            EXPECT_TRUE(std::regex_match(lines[i], std::regex(c.patterns[i])))
                << lines[i] << " does not match " << c.patterns[i];
        }
        EXPECT_EQ(cli.out.find('\x1b'), std::string::npos) << "no colours into a pipe";
    }
}

TEST_F(Cli, CycleSendsTheLinesOfARangeInTurn) {
    auto device = StartDevice("echo");
    const std::string file = Path("lines.txt");
    std::ofstream(file) << "11 11\n22 22\n33 33\n44 44\n";
    CliProcess cli({"SIM0", "--lines", file + ":2-3", "--cycle", "250", "--no-sent", "--time",
                    "none", "--count", "5"});
    ASSERT_EQ(cli.Wait(), 0) << cli.err;
    // The echoes of what was sent: lines 2 and 3, again and again. Each echo is a line of its
    // own unless the machine held the device back past the next send (then echoes share a
    // line), so the order is read from the bytes.
    std::string echoed;
    for (const std::string& line : Lines(cli.out)) {
        echoed += (echoed.empty() ? "" : " ") + line;
    }
    ASSERT_GE(echoed.size(), std::string("22 22 33 33 22 22 33 33 22 22").size()) << cli.out;
    for (size_t i = 0; i + 5 <= echoed.size(); i += 6) {
        EXPECT_EQ(echoed.substr(i, 5), (i / 6) % 2 == 0 ? "22 22" : "33 33") << cli.out;
    }
}

TEST_F(Cli, ReceivedPatternIsAnsweredWithItsLine) {
    auto device = StartDevice("echo");
    // With bursts ending at the read window, and ending after 5 ms of silence.
    for (const char* gap : {"0", "5"}) {
        SCOPED_TRACE(gap);
        // The echo of the first line is the pattern; the echo of the reply matches nothing.
        CliProcess cli({"SIM0", "--send", "AA BB", "--reply", "aa bb 11=01 02", "--checksum", "XOR",
                        "--time", "none", "--count", "4", "--gap", gap});
        ASSERT_EQ(cli.Wait(), 0) << cli.err;
        EXPECT_EQ(Lines(cli.out),
                  (std::vector<std::string>{"AA BB 11 ", "AA BB 11", "01 02 03 ", "01 02 03"}));
    }
}

TEST_F(Cli, ReceivedChecksumsAreMarkedGoodOrBadWithTheExpectedValue) {
    auto device = StartDevice("echo");
    // The echo of a frame is received as it was sent: a good frame, one with a bit flipped.
    const struct {
        const char* frame;
        const char* shown;
    } cases[] = {
        {"01 03 00 00 00 0A C5 CD", "01 03 00 00 00 0A C5 CD OK"},
        {"01 03 00 00 00 0B C5 CD", "01 03 00 00 00 0B C5 CD BAD expected 04 0D"},
    };
    for (const auto& c : cases) {
        const std::string log = Path("log.txt");
        CliProcess cli({"SIM0", "--send", c.frame, "--check-received", "modbus-crc16", "--time",
                        "none", "--count", "2", "--log", log});
        ASSERT_EQ(cli.Wait(), 0) << cli.err;
        // The sent line is not checked; the marks are shown only, not logged.
        EXPECT_EQ(Lines(cli.out), (std::vector<std::string>{std::string(c.frame) + " ", c.shown}));
        EXPECT_EQ(Lines(ReadFileBytes(log)),
                  (std::vector<std::string>{std::string(c.frame) + " ", c.frame}));
    }
}

TEST_F(Cli, LogFileHoldsTheLinesAsShownInTextAndRtf) {
    auto device = StartDevice("modbus");
    for (const char* name : {"log.txt", "log.rtf"}) {
        const std::string log = Path(name);
        CliProcess cli({"SIM0", "--send", "01 03 00 00 00 02 C4 0B", "--log", log, "--count", "2"});
        ASSERT_EQ(cli.Wait(), 0) << cli.err;
        ASSERT_EQ(Lines(cli.out).size(), 2u) << cli.out;
        const std::string bytes = ReadFileBytes(log);
        if (!std::string(name).ends_with(".rtf")) {
            EXPECT_EQ(bytes, cli.out);
            continue;
        }
        const StyledText runs = ReadRtf(bytes);
        EXPECT_EQ(StyledPlainText(runs), cli.out);
        // Prefix grey, sent payload and received payload in the default colours.
        ASSERT_EQ(runs.size(), 4u);
        EXPECT_EQ(runs[0].style.color, TrafficPrefixColor);
        EXPECT_EQ(runs[1].style.color, 0x000000C8u);
        EXPECT_EQ(runs[2].style.color, TrafficPrefixColor);
        EXPECT_EQ(runs[3].style.color, 0x00C80000u);
    }
}

TEST_F(Cli, CtrlCDuringAPendingReadClosesThePortAndKeepsTheLog) {
    auto device = StartDevice("modbus");
    const std::string log = Path("log.txt");
    CliProcess cli({"SIM0", "--send", "01 03 00 00 00 01 84 0A", "--log", log});
    ASSERT_TRUE(cli.WaitForOutput([](const std::string& out) { return Lines(out).size() == 2; }))
        << cli.out << cli.err;
    // Nothing more comes: the receive thread waits on the line.
    std::this_thread::sleep_for(200ms);
    cli.Signal(SIGINT);
    EXPECT_EQ(cli.Wait(), 130) << cli.err;
    EXPECT_NE(cli.err.find("SIM0 closed"), std::string::npos) << cli.err;
    EXPECT_EQ(ReadFileBytes(log), cli.out);

    // The port is free again at once.
    CliProcess again({"SIM0", "--send", "01 03 00 00 00 01 84 0A", "--count", "2"});
    EXPECT_EQ(again.Wait(), 0) << again.err;
}

TEST_F(Cli, PortThatCannotBeOpenedEndsWithCodeOneAndTheReason) {
    auto device = StartDevice("modbus");
    // The holder's sent line shows it has the port open.
    CliProcess holder({"SIM0", "--send", "00"});
    ASSERT_TRUE(holder.WaitForOutput([](const std::string& out) { return !out.empty(); }))
        << holder.err;
    const struct {
        const char* port;
        const char* reason;
    } cases[] = {
        {"/dev/korvane-no-such-port", "There is no device /dev/korvane-no-such-port"},
        {"SIM0", "is in use by "},
        {"tcp://127.0.0.1:1", "No connection to 127.0.0.1:1"},
    };
    for (const auto& c : cases) {
        CliProcess cli({c.port});
        EXPECT_EQ(cli.Wait(), 1) << c.port;
        EXPECT_NE(cli.err.find(c.port), std::string::npos) << cli.err;
        EXPECT_NE(cli.err.find(c.reason), std::string::npos) << cli.err;
        EXPECT_TRUE(cli.out.empty());
    }
    holder.Signal(SIGTERM);
    EXPECT_EQ(holder.Wait(), 143);
}

TEST_F(Cli, PortThatGoesAwayWithoutReconnectEndsTheProgramWithCodeThree) {
    auto device = StartDevice("modbus");
    CliProcess cli({"SIM0", "--no-reconnect", "--send", "01 03 00 00 00 01 84 0A"});
    ASSERT_TRUE(cli.WaitForOutput([](const std::string& out) { return Lines(out).size() == 2; }))
        << cli.out << cli.err;
    device->Stop();
    EXPECT_EQ(cli.Wait(), 3) << cli.err;
    EXPECT_NE(cli.err.find("SIM0 disconnected "), std::string::npos) << cli.err;
}

TEST_F(Cli, BadOptionsEndWithCodeTwoAndSayWhy) {
    const struct {
        std::vector<std::string> args;
        const char* says;
    } cases[] = {
        {{}, "port is required"},
        {{"SIM0", "--parity", "maybe"}, "--parity"},
        {{"SIM0", "--stop-bits", "3"}, "--stop-bits"},
        {{"SIM0", "--data-bits", "9"}, "--data-bits"},
        {{"SIM0", "--checksum", "CRC32"}, "--checksum"},
        {{"SIM0", "--cycle", "10", "--send", "01"}, "--cycle"},
        {{"SIM0", "--cycle", "100"}, "--cycle needs"},
        {{"SIM0", "--lines", "x.txt:3-2", "--cycle", "100"}, "--lines"},
        {{"SIM0", "--reply", "0102"}, "--reply"},
        {{"SIM0", "--frobnicate"}, "--frobnicate"},
        {{"SIM0", "--count", "0"}, "--count"},
        {{"SIM0", "--log-rotate", "lots"}, "--log-rotate"},
        {{"SIM0", "--gap", "101"}, "--gap"},
        {{"SIM0", "--count", "-1"}, "--count"},
        {{"SIM0", "--send", "01 0Z"}, "--send \"01 0Z\" is not hex"},
        {{"SIM0", "--send", "ATZ"}, "--ascii-send"},
        {{"SIM0", "--decode", "dnp3"}, "--decode"},
        {{"SIM0", "--decode", "modbus", "--register-format", "f64"}, "--register-format"},
        {{"SIM0", "--sniff"}, "--sniff works on decoded frames; it needs --decode modbus"},
        {{"SIM0", "--register-format", "s16"}, "--register-format works on decoded frames"},
        {{"SIM0", "--map", "crlf,tab"}, "--map"},
        {{"SIM0", "--escape", "1"}, "--escape takes a letter"},
    };
    for (const auto& c : cases) {
        CliProcess cli(c.args);
        EXPECT_EQ(cli.Wait(), 2) << c.says;
        EXPECT_NE(cli.err.find(c.says), std::string::npos) << cli.err;
        EXPECT_NE(cli.err.find("--help"), std::string::npos) << cli.err;
    }

    CliProcess help({"--help"});
    EXPECT_EQ(help.Wait(), 0);
    const std::vector<std::string> lines = Lines(help.out);
    EXPECT_LE(lines.size(), 23u) << "fits a 24-line screen with the prompt";
    for (const std::string& line : lines) {
        EXPECT_LE(line.size(), 80u) << line;
    }
}

TEST_F(Cli, EachSignalEndsWithItsOwnCodeAfterClosingThePort) {
    auto device = StartDevice("modbus");
    const struct {
        int signal;
        int code;
    } cases[] = {{SIGINT, 130}, {SIGTERM, 143}, {SIGHUP, 129}};
    for (const auto& c : cases) {
        CliProcess cli({"SIM0", "--send", "01 03 00 00 00 01 84 0A"});
        ASSERT_TRUE(cli.WaitForOutput([](const std::string& out) {
            return Lines(out).size() == 2;
        })) << cli.out
            << cli.err;
        cli.Signal(c.signal);
        EXPECT_EQ(cli.Wait(), c.code) << c.signal;
        EXPECT_NE(cli.err.find("SIM0 closed"), std::string::npos) << cli.err;
    }
}

// Files the program is given that it cannot use: refused with a reason, before the port is
// opened where that can be known (nothing waits on a pipe without a reader), and no empty
// log left behind when the disk takes nothing (a file-size limit of 0 stands in for it).
TEST_F(Cli, InputFilesThatCannotBeUsedEndWithACodeAndAReason) {
    auto device = StartDevice("echo");
    const std::string data = Path("Dolvy/Korvane/data");
    fs::create_directories(Path("Dolvy/Korvane"));
    ASSERT_EQ(mkfifo(Path("fifo").c_str(), 0600), 0);
    const auto noDisk = [] {
        signal(SIGXFSZ, SIG_IGN);
        const rlimit none{0, 0};
        setrlimit(RLIMIT_FSIZE, &none);
    };
    const struct {
        std::string settingsBytes; // "-": no settings file, no --settings
        std::vector<std::string> args;
        bool full;
        int code;
        std::string says;
        std::string absent; // a file that must not be there afterwards
    } cases[] = {
        {"", {"--settings"}, false, 2, "0 bytes, not 1296", ""},
        {std::string(100, 'x'), {"--settings"}, false, 2, "100 bytes, not 1296", ""},
        {"-", {"--log", Path("fifo")}, false, 2, "is not a regular file", ""},
        {"-", {"--log", "/dev/null"}, false, 2, "is not a regular file", ""},
        {"-", {"--log", m_folder}, false, 2, "is not a regular file", ""},
        {"-", {"--log", Path("no/such/folder.txt")}, false, 1, "folder.txt", ""},
        {"-", {"--log", Path("full.rtf")}, true, 1, "Cannot write", Path("full.rtf")},
        {"-",
         {"--log", Path("full.txt"), "--send", "01 02"},
         true,
         1,
         "Cannot write",
         Path("full.txt")},
    };
    for (const auto& c : cases) {
        if (c.settingsBytes != "-") {
            std::ofstream(data, std::ios::binary | std::ios::trunc) << c.settingsBytes;
        }
        std::vector<std::string> args = {"SIM0", "--duration", "30"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        CliProcess cli(args, c.full ? std::function<void()>(noDisk) : std::function<void()>());
        EXPECT_EQ(cli.Wait(), c.code) << c.says << cli.err;
        EXPECT_NE(cli.err.find(c.says), std::string::npos) << cli.err;
        if (!c.absent.empty()) {
            EXPECT_FALSE(fs::exists(c.absent)) << c.absent;
        }
    }
}

TEST_F(Cli, TypedTextLinesEndAsEolSays) {
    auto device = StartDevice("echo");
    const struct {
        std::vector<std::string> eol;
        const char* echoed;
    } cases[] = {
        {{}, "41 54 0D"},
        {{"--eol", "lf"}, "41 54 0A"},
        {{"--eol", "crlf"}, "41 54 0D 0A"},
        {{"--eol", "none"}, "41 54"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"SIM0", "--ascii-send", "--no-sent", "-t",
                                         "none", "--count",      "1"};
        args.insert(args.end(), c.eol.begin(), c.eol.end());
        CliProcess cli(args);
        cli.Write("AT\n");
        ASSERT_EQ(cli.Wait(), 0) << cli.err;
        EXPECT_EQ(Lines(cli.out), std::vector<std::string>{c.echoed});
    }
}

// The device wrote before the program opened the port: those bytes are dropped unless
// --keep-stale; what comes after the open is shown either way.
TEST_F(Cli, BytesWaitingBeforeTheOpenAreDroppedUnlessKept) {
    for (const bool keep : {false, true}) {
        int master = -1;
        int slave = -1;
        char name[128] = {};
        ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
        termios raw{};
        tcgetattr(slave, &raw);
        cfmakeraw(&raw);
        tcsetattr(slave, TCSANOW, &raw);
        ASSERT_EQ(write(master, "\x11\x22\x33", 3), 3);
        std::vector<std::string> args = {name, "--send", "AA",      "--no-sent",
                                         "-t", "none",   "--count", keep ? "2" : "1"};
        if (keep) {
            args.push_back("--keep-stale");
        }
        CliProcess cli(args);
        // The sent line shows the port is open; the live reply follows it.
        char got = 0;
        ASSERT_EQ(read(master, &got, 1), 1);
        EXPECT_EQ(got, '\xAA');
        ASSERT_EQ(write(master, "\x44\x55", 2), 2);
        ASSERT_EQ(cli.Wait(), 0) << cli.err;
        // Kept, the stale bytes are a line of their own under a note that says what they
        // are, never merged with the live ones.
        const std::vector<std::string> expected =
            keep ? std::vector<std::string>{"--- 3 bytes below waited in the port before it "
                                            "was opened (--keep-stale)",
                                            "11 22 33", "44 55"}
                 : std::vector<std::string>{"44 55"};
        EXPECT_EQ(Lines(cli.out), expected);
        close(slave);
        close(master);
    }
}

#ifdef KORVANE_PATH
// The window's program answers --help in the terminal: with no display to open a window on,
// any attempt to start one would fail instead of printing and exiting.
TEST_F(Cli, ValuesOfTheTrafficAreWrittenAsCsv) {
    {
        // Text readings to standard output, in place of the traffic lines.
        auto device = StartDevice("sensor");
        CliProcess cli({"SIM0", "-a", "--values", "-", "--count", "3"});
        ASSERT_EQ(cli.Wait(), 0) << cli.err;
        const std::vector<std::string> rows = Lines(cli.out);
        ASSERT_GE(rows.size(), 4u) << cli.out;
        EXPECT_EQ(rows[0], "time,series,value");
        const std::regex row(
            R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3},(temp|hum|pressure),-?\d+(\.\d+)?)");
        for (size_t i = 1; i < rows.size(); ++i) {
            EXPECT_TRUE(std::regex_match(rows[i], row)) << rows[i];
        }
    }
    {
        // Registers of decoded frames, a column each, to a file; the traffic lines as ever.
        auto device = StartDevice("modbus");
        const std::string file = Path("values.csv");
        CliProcess cli({"SIM0", "--send", "01 03 00 02 00 02", "--checksum", "Modbus-CRC16",
                        "--decode", "modbus", "--values", file, "--values-wide", "--count", "2",
                        "--time", "none"});
        ASSERT_EQ(cli.Wait(), 0) << cli.err;
        EXPECT_EQ(Lines(cli.out).size(), 4u) << cli.out;
        const std::vector<std::string> rows = Lines(ReadFileBytes(file));
        ASSERT_EQ(rows.size(), 2u) << ReadFileBytes(file);
        EXPECT_EQ(rows[0], "time,1:40003,1:40004");
        EXPECT_TRUE(
            std::regex_match(rows[1], std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3},2,3)")))
            << rows[1];
    }
    {
        // Binary fields of received frames (the echo device returns the frame sent).
        auto device = StartDevice("echo");
        CliProcess cli({"SIM0", "--send", "7E 00 C8 41 20 00 00", "--values", "-", "--values-field",
                        "1:i16:be:scale=0.1:match=7E:name=temp", "--values-field", "3:f32:be",
                        "--values-field", "0:u8:match=FF", "--count", "2"});
        ASSERT_EQ(cli.Wait(), 0) << cli.err;
        const std::vector<std::string> rows = Lines(cli.out);
        ASSERT_EQ(rows.size(), 3u) << cli.out;
        EXPECT_EQ(rows[0], "time,series,value");
        const std::string time = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3})";
        EXPECT_TRUE(std::regex_match(rows[1], std::regex(time + ",temp,20"))) << rows[1];
        EXPECT_TRUE(std::regex_match(rows[2], std::regex(time + ",3:f32:be,10"))) << rows[2];
    }
    const struct {
        std::vector<std::string> args;
        int code;
        const char* message;
    } refused[] = {
        {{"SIM0", "--values-wide"}, 2, "--values-wide shapes the --values file"},
        {{"SIM0", "--values-field", "2:u16"}, 2, "--values-field chooses what --values writes"},
        {{"SIM0", "--values", "-", "--values-field", "2:u99"}, 2, "the type \"u99\" is not"},
        {{"SIM0", "--values", "-", "--json"}, 2, "both write to standard output"},
        {{"SIM0", "--values", "/nonexistent/folder/v.csv"}, 1, "--values: Cannot create"},
    };
    auto device = StartDevice("echo");
    for (const auto& c : refused) {
        CliProcess cli(c.args);
        EXPECT_EQ(cli.Wait(), c.code) << cli.err;
        EXPECT_NE(cli.err.find(c.message), std::string::npos) << cli.err;
    }
}

TEST(WindowHelp, PrintsTheUsageAndExitsWithoutAWindow) {
    std::string out;
    FILE* pipe = popen(
        "env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=xcb " KORVANE_PATH " --help 2>&1", "r");
    ASSERT_NE(pipe, nullptr);
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
        out.append(buffer, n);
    }
    const int status = pclose(pipe);
    ASSERT_TRUE(WIFEXITED(status)) << out;
    EXPECT_EQ(WEXITSTATUS(status), 0) << out;
    for (const char* says : {"Usage: korvane [FILE]", "--version", "-platform"}) {
        EXPECT_NE(out.find(says), std::string::npos) << says << " in " << out;
    }
}
#endif

// Typing reaches the program once it has taken the terminal over (keys typed before that
// would be read as the terminal's line editing makes them).
void WaitForRawTerminal(CliProcess& cli) {
    for (int i = 0; i < 1000 && (cli.TerminalModes() & ICANON) != 0; ++i) {
        cli.WaitForOutput([](const std::string&) { return false; }, 10ms);
    }
    ASSERT_EQ(cli.TerminalModes() & (ICANON | ECHO), 0u);
}

// Typing on a terminal: keys go out as typed, the command key works the port, and the
// terminal's own modes come back whichever way the program ends.
TEST_F(Cli, TerminalInputIsRawWhileRunningAndRestoredOnEveryWayOut) {
    auto device = StartDevice("echo");
    const struct {
        int signal; // 0: the quit command
        int code;   // -1: ended by the signal itself
    } cases[] = {{0, 0},        {SIGINT, 130}, {SIGTERM, 143}, {SIGHUP, 129},
                 {SIGABRT, -1}, {SIGSEGV, -1}, {SIGQUIT, -1},  {SIGUSR1, -1}};
    // The crash paths would leave core files.
    const auto noCore = [] {
        const rlimit none{0, 0};
        setrlimit(RLIMIT_CORE, &none);
    };
    for (const auto& c : cases) {
        CliProcess cli({"SIM0", "--ascii-send", "--no-sent", "-t", "none"}, noCore, true);
        const tcflag_t before = cli.TerminalModes();
        ASSERT_NE(before & ICANON, 0u);
        WaitForRawTerminal(cli);
        // Enter reaches the device as CR (the --eol default).
        cli.Write("AT\r");
        ASSERT_TRUE(cli.WaitForOutput([](const std::string& out) {
            return out.find("41 54 0D") != std::string::npos;
        })) << cli.out
            << cli.err;
        if (c.signal == 0) {
            cli.Write("\x14q");
        } else {
            cli.Signal(c.signal);
        }
        EXPECT_EQ(cli.Wait(), c.code) << c.signal << cli.err;
        EXPECT_EQ(cli.TerminalModes(), before) << c.signal;
    }

    // Stopped, the program gives the shell its terminal back, and takes it again when it
    // goes on.
    CliProcess cli({"SIM0", "-t", "none"}, {}, true);
    const tcflag_t before = cli.TerminalModes();
    WaitForRawTerminal(cli);
    cli.Signal(SIGTSTP);
    for (int i = 0; i < 1000 && cli.TerminalModes() != before; ++i) {
        cli.WaitForOutput([](const std::string&) { return false; }, 10ms);
    }
    EXPECT_EQ(cli.TerminalModes(), before);
    cli.Signal(SIGCONT);
    WaitForRawTerminal(cli);
    cli.Write("\x14q");
    EXPECT_EQ(cli.Wait(), 0) << cli.err;
    EXPECT_EQ(cli.TerminalModes(), before);
}

TEST_F(Cli, CommandKeysChangeTheLinesAndTheViewAndSaySo) {
    auto device = StartDevice("echo");
    CliProcess cli({"SIM0", "--escape", "a", "-t", "none"}, {}, true);
    WaitForRawTerminal(cli);
    const struct {
        const char* keys;
        const char* says;
    } cases[] = {
        {"\x01"
         "d",
         "DTR on"},
        {"\x01"
         "d",
         "DTR off"},
        {"\x01r", "RTS on"},
        {"\x01h", "received as text"},
        {"\x01t", "time prefix time"},
        {"\x01"
         "e",
         "echo on"},
        {"\x01x", "no such command"},
    };
    for (const auto& c : cases) {
        cli.Write(c.keys);
        // Status lines go to standard error; wait on them by a marker line on the output.
        const auto start = std::chrono::steady_clock::now();
        while (cli.err.find(c.says) == std::string::npos &&
               std::chrono::steady_clock::now() - start < 10s) {
            cli.WaitForOutput([](const std::string&) { return false; }, 50ms);
        }
        EXPECT_NE(cli.err.find(c.says), std::string::npos) << c.says << cli.err;
    }
    // Hex mode still sends a line on Enter; text received is now shown as text.
    cli.Write("41 42\r");
    ASSERT_TRUE(cli.WaitForOutput([](const std::string& out) {
        return out.find("] AB") != std::string::npos;
    })) << cli.out
        << cli.err;
    cli.Write("\x01q");
    EXPECT_EQ(cli.Wait(), 0) << cli.err;
}

TEST_F(Cli, ModbusFramesAreDecodedUnderTheirRecordsAndNotLogged) {
    auto device = StartDevice("modbus");
    const struct {
        const char* request; // the CRC is appended
        std::vector<std::string> options;
        std::vector<std::string> lines; // patterns: request, decoded, reply, decoded
    } cases[] = {
        {"01 03 00 00 00 0A",
         {"--time", "none"},
         {"01 03 00 00 00 0A C5 CD ", "slave 1 Read Holding Registers 0x0000 x10",
          "01 03 14 00 00 00 01 .* CD 51",
          R"(slave 1 reply 0x0000\.\.0x0009 = 0 1 2 3 4 5 6 7 8 9  \(\d+ ms\))"}},
        // Decoded lines start under the payload, whatever the prefix.
        {"01 03 00 04 00 02",
         {"--time", "time+dir", "--register-format", "hex"},
         {R"(\[.{12} Tx\] 01 03 00 04 00 02 85 CA )",
          " {18}slave 1 Read Holding Registers 0x0004 x2", R"(\[.{12} Rx\] 01 03 04 .*)",
          R"( {18}slave 1 reply 0x0004\.\.0x0005 = 0x0004 0x0005  \(\d+ ms\))"}},
        {"01 06 00 07 FF FE",
         {"--time", "none", "--register-format", "S16"},
         {"01 06 00 07 FF FE .. .. ", "slave 1 Write Single Register 0x0007 = -2",
          "01 06 00 07 FF FE .. ..",
          R"(slave 1 reply Write Single Register 0x0007 = -2  \(\d+ ms\))"}},
        {"01 03 01 00 00 02",
         {"--time", "none"},
         {"01 03 01 00 00 02 .. .. ", "slave 1 Read Holding Registers 0x0100 x2", "01 83 02 C0 F1",
          R"(slave 1 exception Read Holding Registers: 02 Illegal Data Address  \(\d+ ms\))"}},
        // A hidden record's frames are hidden with it.
        {"01 03 00 01 00 01",
         {"--time", "none", "--no-sent"},
         {"01 03 02 00 01 79 84", R"(slave 1 reply 0x0001\.\.0x0001 = 1  \(\d+ ms\))"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.request);
        const std::string log = Path("log.txt");
        const auto records = std::count_if(c.lines.begin(), c.lines.end(), [](const auto& line) {
            return line.find("slave 1 ") == std::string::npos;
        });
        std::vector<std::string> args = {"SIM0",       c.request,
                                         "--checksum", "Modbus-CRC16",
                                         "--count",    std::to_string(records),
                                         "--decode",   "modbus",
                                         "--log",      log};
        args.insert(args.begin() + 1, "--send");
        args.insert(args.end(), c.options.begin(), c.options.end());
        CliProcess cli(args);
        ASSERT_EQ(cli.Wait(), 0) << cli.err;
        const std::vector<std::string> lines = Lines(cli.out);
        ASSERT_EQ(lines.size(), c.lines.size()) << cli.out;
        for (size_t i = 0; i < lines.size(); ++i) {
            EXPECT_TRUE(std::regex_match(lines[i], std::regex(c.lines[i])))
                << lines[i] << " does not match " << c.lines[i];
        }
        // Display only: the log holds the records' lines and nothing else.
        std::vector<std::string> logged;
        std::copy_if(
            lines.begin(), lines.end(), std::back_inserter(logged),
            [](const std::string& line) { return line.find("slave 1 ") == std::string::npos; });
        EXPECT_EQ(Lines(ReadFileBytes(log)), logged);
    }
}

TEST_F(Cli, JsonLinesHoldOneObjectPerRecordWithItsFrames) {
    auto device = StartDevice("modbus");
    for (const bool decode : {true, false}) {
        SCOPED_TRACE(decode);
        std::vector<std::string> args = {"SIM0",   "--send",  "01 03 00 02 00 02 65 CB",
                                         "--json", "--count", "2"};
        if (decode) {
            args.insert(args.end(), {"--decode", "modbus"});
        }
        CliProcess cli(args);
        ASSERT_EQ(cli.Wait(), 0) << cli.err;
        const std::vector<std::string> lines = Lines(cli.out);
        ASSERT_EQ(lines.size(), 2u) << cli.out;
        std::vector<JsonValue> records;
        for (const std::string& line : lines) {
            const std::optional<JsonValue> record = JsonReader::Parse(line);
            ASSERT_TRUE(record) << "not JSON: " << line;
            records.push_back(*record);
        }
        const std::regex time(R"(\d\d:\d\d:\d\d\.\d\d\d)");
        EXPECT_TRUE(std::regex_match(records[0]["time"].text, time)) << lines[0];
        EXPECT_EQ(records[0]["dir"].text, "tx");
        EXPECT_EQ(records[0]["hex"].text, "01 03 00 02 00 02 65 CB");
        EXPECT_EQ(records[1]["dir"].text, "rx");
        EXPECT_EQ(records[1]["hex"].text,
                  "01 03 04 00 02 00 03 " +
                      ChecksumText("01 03 04 00 02 00 03", ChecksumAlgorithm::Crc16Modbus));
        if (!decode) {
            EXPECT_FALSE(records[0].Has("frames")) << lines[0];
            EXPECT_FALSE(records[1].Has("frames")) << lines[1];
            continue;
        }
        ASSERT_EQ(records[0]["frames"].items.size(), 1u) << lines[0];
        ASSERT_EQ(records[1]["frames"].items.size(), 1u) << lines[1];
        const JsonValue& request = records[0]["frames"][0];
        const JsonValue& reply = records[1]["frames"][0];
        EXPECT_EQ(request["slave"].number, 1);
        EXPECT_EQ(request["function"].number, 3);
        EXPECT_EQ(request["name"].text, "Read Holding Registers");
        EXPECT_EQ(request["kind"].text, "request");
        EXPECT_EQ(request["address"].number, 2);
        EXPECT_EQ(request["count"].number, 2);
        EXPECT_EQ(request["crc"].text, "ok");
        for (const char* absent : {"values", "reply_ms", "exception", "exception_name"}) {
            EXPECT_FALSE(request.Has(absent)) << absent << " in " << lines[0];
        }
        EXPECT_EQ(reply["kind"].text, "reply");
        EXPECT_EQ(reply["address"].number, 2);
        ASSERT_EQ(reply["values"].items.size(), 2u) << lines[1];
        EXPECT_EQ(reply["values"][0].number, 2);
        EXPECT_EQ(reply["values"][1].number, 3);
        EXPECT_EQ(reply["crc"].text, "ok");
        EXPECT_EQ(reply["reply_ms"].type, JsonValue::Type::Number) << lines[1];
    }
}

TEST_F(Cli, TappedBusIsDecodedFromTheReceivedBytesAlone) {
    // What a tap on a bus delivers in one burst, and how it reads with and without --sniff.
    const struct {
        const char* bytes;
        std::vector<std::string> options;
        std::vector<std::string> decoded; // patterns
    } cases[] = {
        // A poll and its answer read together: told apart by content and pairing.
        {"01 03 00 00 00 02 C4 0B 01 03 04 00 0A FF FF DB 81",
         {"--sniff"},
         {"slave 1 Read Holding Registers 0x0000 x2",
          R"(slave 1 reply 0x0000\.\.0x0001 = 10 65535  \(\d+ ms\))"}},
        // A write's echo follows the identical request.
        {"11 06 00 01 00 03 9A 9B 11 06 00 01 00 03 9A 9B",
         {"--sniff", "--register-format", "s16"},
         {"slave 17 Write Single Register 0x0001 = 3",
          R"(slave 17 reply Write Single Register 0x0001 = 3  \(\d+ ms\))"}},
        // A broken CRC is reported with the one the bytes give; noise before a frame is
        // set apart from it.
        {"01 03 04 00 0A FF FF DA 7B",
         {},
         {R"(slave 1 reply Read Holding Registers = 10 65535  CRC bad, expected DB 81)"}},
        {"FF 00 55 01 83 02 C0 F1",
         {},
         {R"(not Modbus \(3 bytes\))",
          "slave 1 exception Read Holding Registers: 02 Illegal Data Address"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytes);
        // Written before the program opens the port, kept as the first burst.
        RawPty bus;
        bus.Write(c.bytes);
        std::vector<std::string> args = {bus.Name(), "--keep-stale", "-t",      "none",
                                         "--decode", "modbus",       "--count", "1"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        CliProcess cli(args);
        ASSERT_EQ(cli.Wait(), 0) << cli.err;
        // The kept bytes come under the note that says they were waiting.
        const std::vector<std::string> lines = Lines(cli.out);
        ASSERT_EQ(lines.size(), 2 + c.decoded.size()) << cli.out;
        EXPECT_TRUE(lines[0].starts_with("--- ")) << lines[0];
        EXPECT_EQ(lines[1], c.bytes);
        for (size_t i = 0; i < c.decoded.size(); ++i) {
            EXPECT_TRUE(std::regex_match(lines[2 + i], std::regex(c.decoded[i])))
                << lines[2 + i] << " does not match " << c.decoded[i];
        }
    }
}

TEST_F(Cli, JsonShowsBytesThatFormNoFrameAsAnUnknownRun) {
    RawPty bus;
    bus.Write("FF 00 55 01 83 02 C0 F1");
    CliProcess cli({bus.Name(), "--keep-stale", "--decode", "modbus", "--json", "--count", "1"});
    ASSERT_EQ(cli.Wait(), 0) << cli.err;
    const std::vector<std::string> lines = Lines(cli.out);
    ASSERT_EQ(lines.size(), 1u) << cli.out;
    const std::optional<JsonValue> record = JsonReader::Parse(lines[0]);
    ASSERT_TRUE(record) << "not JSON: " << lines[0];
    const JsonValue& frames = (*record)["frames"];
    ASSERT_EQ(frames.items.size(), 2u) << lines[0];
    // The unknown run carries its kind and bytes alone.
    EXPECT_EQ(frames[0].members.size(), 2u) << lines[0];
    EXPECT_EQ(frames[0]["kind"].text, "unknown");
    EXPECT_EQ(frames[0]["hex"].text, "FF 00 55");
    EXPECT_EQ(frames[1]["kind"].text, "exception");
    EXPECT_EQ(frames[1]["exception"].number, 2);
    EXPECT_EQ(frames[1]["exception_name"].text, "Illegal Data Address");
    EXPECT_EQ(frames[1]["crc"].text, "ok");
}

} // namespace

namespace {

// Waits for a status line on standard error that comes after `from`; returns where it ends.
size_t WaitForStatus(CliProcess& cli, const std::string& says, size_t from) {
    for (int i = 0; i < 1000 && cli.err.find(says, from) == std::string::npos; ++i) {
        cli.WaitForOutput([](const std::string&) { return false; }, 10ms);
    }
    const size_t at = cli.err.find(says, from);
    EXPECT_NE(at, std::string::npos) << says << " after " << from << " in " << cli.err;
    return at == std::string::npos ? from : at + says.size();
}

} // namespace

// Break, a new rate typed at the prompt (applied to the open port, a bad one refused with
// the rate kept), the log started, paused and resumed, and local echo.
TEST_F(Cli, CommandKeysSendABreakChangeTheRateAndTakeTheLog) {
    RawPty bus;
    const std::string folder = m_folder;
    CliProcess cli(
        {bus.Name(), "--send", "!", "--no-sent", "-t", "none", "--ascii-send", "-e"},
        [&folder] { [[maybe_unused]] const int ignored = chdir(folder.c_str()); }, true);
    EXPECT_EQ(bus.Read(), '!'); // the port is open
    WaitForRawTerminal(cli);
    size_t at = 0;
    // -e: typed text is shown as it goes out.
    cli.Write("hi");
    EXPECT_EQ(bus.Read(), 'h');
    EXPECT_EQ(bus.Read(), 'i');
    at = WaitForStatus(cli, "hi", at);
    const struct {
        const char* keys;
        const char* says;
        speed_t speed; // the port's rate afterwards
    } cases[] = {
        {"\x14?", "b break, B baud", B9600},
        {"\x14"
         "b",
         "break sent", B9600},
        {"\x14"
         "B",
         "baud rate (now 9600)", B9600},
        {"38400\r", "baud 38400", B38400},
        {"\x14"
         "B",
         "baud rate (now 38400)", B38400},
        {"96x0\r", "baud: \"96x0\" is not a rate from 1 to 4000000; still 38400", B38400},
        {"\x14"
         "B",
         "now 38400", B38400},
        {"0\r", "\"0\" is not a rate", B38400},
        {"\x14"
         "B",
         "now 38400", B38400},
        {"1152\x7f\x7f"
         "5200\x1b",
         "baud unchanged", B38400},
        {"\x14"
         "B",
         "now 38400", B38400},
        {"1152\x7f\x7f"
         "5200\r",
         "baud 115200", B115200},
        {"\x14"
         "e",
         "echo off", B115200},
    };
    for (const auto& c : cases) {
        cli.Write(c.keys);
        at = WaitForStatus(cli, c.says, at);
        EXPECT_EQ(bus.Speed(), c.speed) << c.keys;
    }
    // Typed twice, the command key itself goes out.
    cli.Write("o\x14\x14k");
    EXPECT_EQ(bus.Read(), 'o');
    EXPECT_EQ(bus.Read(), '\x14');
    EXPECT_EQ(bus.Read(), 'k');

    // The log: received lines go in while it is on, not while it is paused.
    cli.Write("\x14l");
    at = WaitForStatus(cli, "log on: korvane-", at);
    const size_t nameEnd = cli.err.find_first_of("\r\n", at);
    const std::string log = Path("korvane-" + cli.err.substr(at, nameEnd - at));
    const struct {
        const char* hex; // received, then
        const char* key; // typed
        const char* says;
    } steps[] = {
        {"41 41", "\x14l", "log off: "}, {"42 42", "\x14l", "log on: "}, {"43 43", "\x14q", ""}};
    for (const auto& step : steps) {
        bus.Write(step.hex);
        ASSERT_TRUE(cli.WaitForOutput([&](const std::string& out) {
            return out.find(step.hex) != std::string::npos;
        })) << cli.out
            << cli.err;
        cli.Write(step.key);
        if (*step.says != 0) {
            at = WaitForStatus(cli, step.says, at);
        }
    }
    EXPECT_EQ(cli.Wait(), 0) << cli.err;
    const std::string written = ReadFileBytes(log);
    EXPECT_NE(written.find("41 41"), std::string::npos) << written;
    EXPECT_EQ(written.find("42 42"), std::string::npos) << written;
    EXPECT_NE(written.find("43 43"), std::string::npos) << written;
    EXPECT_NE(written.find("--- log paused"), std::string::npos) << written;
    EXPECT_NE(written.find("--- log resumed"), std::string::npos) << written;
}

// A break on a line that cannot carry one (a raw network port) is refused and said so.
TEST_F(Cli, BreakOnALineWithoutOneIsRefused) {
    const int server = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(server, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(server, 1), 0);
    socklen_t length = sizeof address;
    getsockname(server, reinterpret_cast<sockaddr*>(&address), &length);
    const std::string port = "tcp://127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    CliProcess cli({port, "-t", "none"}, {}, true);
    const int peer = accept(server, nullptr, nullptr);
    ASSERT_GE(peer, 0);
    WaitForRawTerminal(cli);
    cli.Write("\x14"
              "b");
    WaitForStatus(cli, "break not sent", 0);
    cli.Write("\x14q");
    EXPECT_EQ(cli.Wait(), 0) << cli.err;
    close(peer);
    close(server);
}

// --map: the chosen sequences end the shown lines of received text; the rest of a record
// lines up under its first byte; the log holds what is shown.
TEST_F(Cli, MappedLineEndsBreakReceivedTextIntoLines) {
    const struct {
        const char* map;
        const char* bytes;
        std::vector<std::string> lines;
    } cases[] = {
        {"crlf", "4F 4B 0D 0A", {"OK"}},
        {"crlf", "41 54 0D 0D 0A 4F 4B 0D 0A", {"AT\r", "OK"}},
        {"cr,lf", "41 0D 0A 42", {"A", "", "B"}},
        {"lf", "41 0D 0A 42 0A", {"A\r", "B"}},
        {"lf,crlf,cr", "41 0D 0A 42 0D 43 0A 44", {"A", "B", "C", "D"}},
        {"CR", "0D", {""}},
    };
    for (const auto& c : cases) {
        RawPty bus;
        const std::string log = Path("map.txt");
        CliProcess cli({bus.Name(), "-a", "--map", c.map, "--send", "FF", "--no-sent", "-t", "none",
                        "--count", "1", "--log", log});
        EXPECT_EQ(bus.Read(), '\xFF');
        bus.Write(c.bytes);
        ASSERT_EQ(cli.Wait(), 0) << cli.err;
        EXPECT_EQ(Lines(cli.out), c.lines) << c.map << " " << c.bytes;
        EXPECT_EQ(ReadFileBytes(log), cli.out);
    }
    // Behind a prefix, and hex records are left as they are.
    RawPty bus;
    CliProcess cli(
        {bus.Name(), "-a", "--map", "crlf", "--send", "FF", "--no-sent", "--count", "1"});
    EXPECT_EQ(bus.Read(), '\xFF');
    bus.Write("41 0D 0A 42 0D 0A");
    ASSERT_EQ(cli.Wait(), 0) << cli.err;
    const std::vector<std::string> lines = Lines(cli.out);
    ASSERT_EQ(lines.size(), 2u) << cli.out;
    const size_t column = lines[0].find("] ") + 2;
    EXPECT_EQ(lines[0].substr(column), "A");
    EXPECT_EQ(lines[1], std::string(column, ' ') + "B");
}

// The list names each port with what it opens: a registered network port shows its address.
TEST_F(Cli, ListShowsTheDeviceOrTheAddressOfEachPort) {
    auto device = StartDevice("echo");
    const std::string ports = Path("Dolvy/Korvane/ports");
    std::ofstream(ports + "/NET1") << "rfc2217://127.0.0.1:7000\n";
    CliProcess cli({"--list"});
    ASSERT_EQ(cli.Wait(), 0) << cli.err;
    const std::vector<std::string> lines = Lines(cli.out);
    EXPECT_NE(std::find(lines.begin(), lines.end(), "NET1\trfc2217://127.0.0.1:7000\tnetwork port"),
              lines.end())
        << cli.out;
    EXPECT_NE(std::find_if(lines.begin(), lines.end(),
                           [](const std::string& line) {
                               return std::regex_match(
                                   line, std::regex("SIM0\t/dev/pts/\\d+\tvirtual port"));
                           }),
              lines.end())
        << cli.out;
}
