// The continuous capture: a stream from a pseudo-terminal through the connection and the
// engine into rotated text and RTF files, read back whole and in order; and the files are
// complete after every line, as a killed program leaves them.

#include "traffic/TrafficCapture.h"

#include "codec/HexCodec.h"
#include "platform/FileIO.h"
#include "richtext/RichText.h"
#include "serial/OruScomm.h"
#include "traffic/DataRT.h"
#include "traffic/EngineFakes.h"
#include "traffic/MemoryTextView.h"

#include <gtest/gtest.h>

#include <pty.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;

class TempFolder {
public:
    TempFolder() {
        std::string pattern = (fs::temp_directory_path() / "korvane-capture-XXXXXX").string();
        path = mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
    }
    ~TempFolder() {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
    std::string path;
};

// The traffic view of the window as the capture sees it: every insertion goes to both.
class CapturedView : public MemoryTextView {
public:
    explicit CapturedView(TTrafficCapture& capture) : m_capture(capture) {}
    void InsertText(std::string_view text, const TextAttributes& attributes) override {
        MemoryTextView::InsertText(text, attributes);
        m_capture.Append(text, attributes.color);
    }

private:
    TTrafficCapture& m_capture;
};

// The lines of every file of a capture, file after file.
std::vector<std::string> ReadCapturedLines(const std::string& path, bool rtf, size_t& files,
                                           uint64_t rotateBytes) {
    std::vector<std::string> lines;
    files = 0;
    for (unsigned n = 0;; ++n) {
        const std::string name = TTrafficCapture::RotatedName(path, n);
        if (!fs::exists(name)) {
            break;
        }
        ++files;
        const std::string bytes = ReadFileBytes(name);
        // A file goes past the rotation size only when it holds a single line.
        std::string text = rtf ? Utf8ToLatin1(StyledPlainText(ReadRtf(bytes))) : bytes;
        const size_t breaks = static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
        if (breaks > 1) {
            EXPECT_LE(bytes.size(), rotateBytes) << name;
        }
        size_t start = 0;
        for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
            lines.push_back(text.substr(start, end - start));
        }
        EXPECT_EQ(start, text.size()) << name << " ends inside a line";
    }
    return lines;
}

class CaptureOverPty : public ::testing::TestWithParam<const char*> {};

TEST_P(CaptureOverPty, EveryFrameComesBackInOrderAcrossRotatedFiles) {
    TempFolder folder;
    ASSERT_FALSE(folder.path.empty());
    const bool rtf = TTrafficCapture::IsRtfName(GetParam());
    const std::string path = folder.path + "/" + GetParam();

    int master = -1;
    int slave = -1;
    char slaveName[256];
    ASSERT_EQ(openpty(&master, &slave, slaveName, nullptr, nullptr), 0);
    close(slave);

    TOruScomm connection(SystemClock::Instance(), nullptr,
                         "KorvaneCaptureTest" + std::to_string(getpid()));
    connection.Device->SetPort(slaveName);
    connection.OpenPort();
    TOruComThread receiver(connection);
    receiver.Unpark();

    SettingsRecord settings = SettingsRecord::Fresh();
    settings.showTime = true;
    settings.showRxTx = true;
    TCaptureOptions options;
    options.path = path;
    options.rotateBytes = 600;
    options.colors = {TrafficPrefixColor, settings.receiveTextColor, settings.sendTextColor};
    // An earlier, longer capture of that name: none of its parts may read as the new one's.
    for (unsigned n = 0; n <= 12; ++n) {
        WriteFileAtomically(TTrafficCapture::RotatedName(path, n), "old\n");
    }
    TTrafficCapture capture(options);
    CapturedView traffic(capture);
    RecordingPrompter prompter;
    ManualTimerFactory timers;
    TDataRT engine(nullptr, &traffic, nullptr, &connection, settings, SystemClock::Instance(),
                   prompter, timers.Factory());
    engine.ApplySettings(settings);
    ManualTimer& pump = *timers.timers.at(0);

    // Numbered frames with pauses between them, so that they arrive as many records.
    std::string sent;
    std::thread device([&] {
        for (int frame = 0; frame < 60; ++frame) {
            std::string bytes = {'\xA5', static_cast<char>(frame), '\x10', '\x20', '\x30', '\x40',
                                 '\x50', static_cast<char>(~frame)};
            sent += bytes;
            if (write(master, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(frame % 4 == 0 ? 120 : 15));
        }
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    device.join();
    while (std::chrono::steady_clock::now() < deadline &&
           static_cast<size_t>(connection.RxCount.load()) < sent.size()) {
        pump.Fire();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    receiver.Stop();
    for (int i = 0; i < 1000; ++i) {
        pump.Fire();
    }
    capture.Close();
    close(master);
    ASSERT_TRUE(capture.ErrorText().empty()) << capture.ErrorText();

    size_t files = 0;
    const std::vector<std::string> lines = ReadCapturedLines(path, rtf, files, options.rotateBytes);
    EXPECT_GT(files, 2u);
    EXPECT_LT(files, 12u);
    EXPECT_EQ(lines.size(), capture.LinesWritten());
    EXPECT_EQ(TTrafficCapture::OlderParts(path).size(), files - 1);
    // The whole capture's size, every file of it.
    uint64_t bytes = 0;
    for (unsigned n = 0; n < files; ++n) {
        bytes += fs::file_size(TTrafficCapture::RotatedName(path, n));
    }
    EXPECT_EQ(capture.BytesWritten(), bytes);

    // The view's lines, exactly; their payloads together are the bytes that were sent.
    std::vector<std::string> shown = traffic.Lines();
    shown.pop_back(); // the empty line after the last line break
    EXPECT_EQ(lines, shown);
    const std::regex line(
        R"(\[\d\d:\d\d:\d\d( ---| [ \d]{2}\d) Rx\] ((?:[0-9A-F]{2} )*[0-9A-F]{2}))");
    std::string received;
    for (const std::string& text : lines) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(text, match, line)) << text;
        received += match[2].str() + " ";
    }
    EXPECT_EQ(received, BytesToHex(sent, " ") + " ");
}

INSTANTIATE_TEST_SUITE_P(TextAndRtf, CaptureOverPty, ::testing::Values("cap.txt", "cap.rtf"));

TEST(TrafficCapture, FilesAreCompleteAfterEveryWrittenLineAndColoursSurviveInRtf) {
    TempFolder folder;
    for (const char* name : {"live.log", "live.RTF"}) {
        const std::string path = folder.path + "/" + name;
        TCaptureOptions options;
        options.path = path;
        options.colors = {TrafficPrefixColor, 0x0000FF, 0xFF0000};
        TTrafficCapture capture(options);
        capture.Append("[12:00:00 ---] ", TrafficPrefixColor);
        capture.Append("01 02\r", 0x0000FF);
        capture.Append("\n[12:00:01  15] 03 ", TrafficPrefixColor);
        capture.Append("\xe9\r\n", 0xFF0000);
        capture.Append("[12:00:02  20] unfinished", TrafficPrefixColor);

        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (capture.LinesWritten() < 2 && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        // Still open: what a kill would leave behind.
        const std::string bytes = ReadFileBytes(path);
        if (TTrafficCapture::IsRtfName(path)) {
            ASSERT_TRUE(bytes.ends_with("}\r\n")) << bytes;
            const StyledText runs = ReadRtf(bytes);
            EXPECT_EQ(Utf8ToLatin1(StyledPlainText(runs)),
                      "[12:00:00 ---] 01 02\n[12:00:01  15] 03 \xe9\n");
            ASSERT_EQ(runs.size(), 4u);
            EXPECT_EQ(runs[0].style.color, TrafficPrefixColor);
            EXPECT_EQ(runs[1].style.color, 0x0000FFu);
            EXPECT_EQ(runs[3].style.color, 0xFF0000u);
            EXPECT_EQ(runs[3].style.fontName, "Courier New");
        } else {
            EXPECT_EQ(bytes, "[12:00:00 ---] 01 02\n[12:00:01  15] 03 \xe9\n");
        }
        capture.Close();
        const std::string closed = ReadFileBytes(path);
        EXPECT_NE(closed.find("unfinished"), std::string::npos) << "Close writes a last line";
    }
}

TEST(TrafficCapture, EveryRotatedFileStartsWithTheHeaderInForce) {
    TempFolder folder;
    TCaptureOptions options;
    options.path = folder.path + "/values.csv";
    options.rotateBytes = 30;
    {
        TTrafficCapture capture(options);
        capture.AppendHeader("time,a");
        for (const char* row : {"1,10", "2,20", "3,30", "4,40", "5,50", "6,60"}) {
            capture.Append(std::string(row) + "\n", 0);
        }
        capture.AppendHeader("time,a,b");
        for (const char* row : {"7,70,1", "8,80,2", "9,90,3", "10,100,4", "11,110,5"}) {
            capture.Append(std::string(row) + "\n", 0);
        }
    }
    std::vector<std::string> files;
    for (unsigned n = 0; fs::exists(TTrafficCapture::RotatedName(options.path, n)); ++n) {
        files.push_back(ReadFileBytes(TTrafficCapture::RotatedName(options.path, n)));
    }
    EXPECT_EQ(files, (std::vector<std::string>{
                         "time,a\n1,10\n2,20\n3,30\n4,40\n", "time,a\n5,50\n6,60\ntime,a,b\n",
                         "time,a,b\n7,70,1\n8,80,2\n9,90,3\n", "time,a,b\n10,100,4\n11,110,5\n"}));
}

TEST(TrafficCapture, OlderPartsAreTheNumberedNamesOfThatCaptureOnly) {
    TempFolder folder;
    const struct {
        const char* path;
        std::vector<std::string> entries; // files; a trailing '/' makes a folder
        std::vector<std::string> parts;
    } cases[] = {
        {"cap.txt", {"cap.txt"}, {}},
        {"cap.txt",
         {"cap.1.txt", "cap.2.txt", "cap.10.txt", "cap.7.txt"},
         {"cap.1.txt", "cap.2.txt", "cap.7.txt", "cap.10.txt"}},
        {"cap.txt",
         {"cap.01.txt", "cap.0.txt", "cap.1.rtf", "cap.x.txt", "capx.1.txt", "cap.1.txt.bak",
          "cap.3.txt/", "cap..txt"},
         {}},
        {"cap", {"cap.1", "cap.2.txt", "cap.12"}, {"cap.1", "cap.12"}},
        {"cap.1x", {"cap.1.1x", "cap.1x", "cap.1x.1"}, {"cap.1.1x"}},
        {".hidden", {".hidden.3", ".3.hidden"}, {".hidden.3"}},
    };
    int index = 0;
    for (const auto& c : cases) {
        const std::string dir = folder.path + "/" + std::to_string(index++);
        fs::create_directories(dir);
        for (const std::string& entry : c.entries) {
            if (entry.ends_with('/')) {
                fs::create_directories(dir + "/" + entry);
            } else {
                WriteFileAtomically(dir + "/" + entry, "x");
            }
        }
        std::vector<std::string> expected;
        for (const std::string& part : c.parts) {
            expected.push_back(dir + "/" + part);
        }
        EXPECT_EQ(TTrafficCapture::OlderParts(dir + "/" + c.path), expected) << c.path;
    }
}

TEST(TrafficCapture, RotatedNamesAndAFileThatCannotBeCreated) {
    const struct {
        const char* path;
        unsigned n;
        const char* name;
    } cases[] = {
        {"/tmp/cap.rtf", 0, "/tmp/cap.rtf"},           {"/tmp/cap.rtf", 2, "/tmp/cap.2.rtf"},
        {"/tmp/log.rtf.rtf", 1, "/tmp/log.rtf.1.rtf"}, {"/tmp/a.b/cap", 1, "/tmp/a.b/cap.1"},
        {"/tmp/.hidden", 3, "/tmp/.hidden.3"},         {"cap.txt", 10, "cap.10.txt"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(TTrafficCapture::RotatedName(c.path, c.n), c.name) << c.path << " " << c.n;
    }

    TempFolder folder;
    TCaptureOptions options;
    options.path = folder.path + "/missing/cap.txt";
    try {
        TTrafficCapture capture(options);
        ADD_FAILURE() << "a capture into a missing folder was created";
    } catch (const EFileError& e) {
        EXPECT_NE(std::string(e.what()).find(options.path), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find("No such file"), std::string::npos) << e.what();
    }
}

// A disk that takes nothing: the first failed write is told at once, while the capture is
// still open (a caller that sleeps until something happens hears of it), and only once,
// however many lines follow.
TEST(TrafficCapture, TheFirstFailedWriteIsToldOnceWhileTheCaptureIsOpen) {
    std::mutex mutex;
    std::condition_variable told;
    int calls = 0;
    std::string errorWhenTold;
    TCaptureOptions options;
    options.path = "/dev/full";
    TTrafficCapture* self = nullptr;
    options.onFailed = [&] {
        const std::string error = self->ErrorText();
        std::lock_guard lock(mutex);
        ++calls;
        errorWhenTold = error;
        told.notify_all();
    };
    TTrafficCapture capture(options);
    self = &capture;
    capture.Append("first line\r\n", 0);
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(told.wait_for(lock, std::chrono::minutes(1), [&] { return calls > 0; }));
        EXPECT_NE(errorWhenTold.find("Cannot write"), std::string::npos) << errorWhenTold;
    }
    for (int i = 0; i < 100; ++i) {
        capture.Append("more\r\n", 0);
    }
    capture.Close();
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(capture.ErrorText(), errorWhenTold);
}

} // namespace
