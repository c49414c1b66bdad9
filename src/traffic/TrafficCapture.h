#pragma once
// Continuous capture of the traffic to a file while it arrives, as the traffic view shows
// it. Used by the window's "Capture to File..." and by korvane-cli --log.
//
// How to use it: construct it with the options (the first file is created at once, or
// EFileError is thrown), then hand it every piece of text the traffic view is given, in
// the view's order, with the piece's colour: Append(prefix, grey), Append(payload + "\r\n",
// colour). A line is complete at its line break; only complete lines go to the file, each
// one whole. Close() (or the destructor) writes what is still queued and closes the file.
//
// Threads: Append and Close are called from one thread (the one that fills the view). A
// writer thread of the capture does the file work, so a slow disk never stalls the caller
// unless the queue is full: then Append waits until the writer has made room (nothing is
// dropped). Every line taken from the queue is written to the system at once, and the
// writer wakes at least once a second, so a killed process loses at most the line being
// written; an RTF file is a complete document after every line (its closing brace is
// written after each line and overwritten by the next one).
//
// Files: text files hold the lines exactly as the view shows them, each ended by "\n"
// (8-bit, one byte per character). A name ending in ".rtf" (any case) gives RTF with the
// lines' colours in 9-point "Courier New". With a rotation size, a line that would take
// the file past it goes to the next file instead: NAME, then NAME with ".1", ".2", ...
// before its extension ("cap.rtf", "cap.1.rtf", "cap.2.rtf"). An existing file of the
// same name is replaced, and numbered files of an earlier capture of that name are deleted
// first, so no older part ever reads as a continuation of the new capture (the window asks
// before, see OlderParts). A line longer than the rotation size gets a file of its own.

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

struct TCaptureOptions {
    std::string path;
    // Bytes per file before the next file is started; 0: one file, no rotation.
    uint64_t rotateBytes = 0;
    // Colours the RTF colour table holds (0x00BBGGRR): the view's prefix, received and sent
    // colours. A line in another colour is written in the nearest of these.
    std::vector<uint32_t> colors;
    // The most text the queue holds before Append waits for the writer.
    size_t queueBytes = 16u << 20;
    // Called once, on the writer's thread, when the first write error is known (ErrorText
    // tells it by then): a caller that sleeps until something happens can look at once.
    std::function<void()> onFailed;
};

class TTrafficCapture {
public:
    // Creates the first file; throws EFileError naming the path and the system's reason.
    explicit TTrafficCapture(TCaptureOptions options);
    ~TTrafficCapture();
    TTrafficCapture(const TTrafficCapture&) = delete;
    TTrafficCapture& operator=(const TTrafficCapture&) = delete;

    // A piece of 8-bit text in a colour. "\r\n" or "\n" ends the current line.
    void Append(std::string_view text, uint32_t color);
    // A header line (text files: a CSV header): written like a line, and again at the start
    // of every later rotated file, until the next header. Ends a line still open.
    void AppendHeader(std::string_view line);
    // Writes every complete line still queued (a last line without its break as well),
    // closes the file and ends the writer. Further Appends are ignored.
    void Close();

    // The file name of the n-th file (0: the given name).
    static std::string RotatedName(const std::string& path, unsigned n);
    // The numbered files of an earlier capture to `path` that exist now (RotatedName with
    // any n > 0), in the order of their numbers; the given name itself is not among them.
    static std::vector<std::string> OlderParts(const std::string& path);
    static bool IsRtfName(const std::string& path);

    // The first write error, in the words of EFileError; empty while all went well. After
    // an error nothing more is written.
    std::string ErrorText() const;
    // Lines written to the files so far.
    uint64_t LinesWritten() const;
    // The file being written.
    std::string CurrentFile() const;
    // Bytes in all files of this capture so far (the sum of their sizes), not only the
    // one being written.
    uint64_t BytesWritten() const;

private:
    struct Run {
        std::string text;
        uint32_t color;
    };
    using Line = std::vector<Run>;

    void QueueLine();
    void WriterLoop();
    void WriteLines(std::deque<Line>& lines);
    std::string Format(const Line& line);
    // 0, or the system's error code; m_file stays set when the file was created but its
    // first bytes could not be written.
    int OpenFile(unsigned index);
    void CloseFile();
    void Fail(const std::string& action, int errorCode);

    TCaptureOptions m_options;
    bool m_rtf = false;

    // Caller's side: the line being put together.
    Line m_current;
    size_t m_currentBytes = 0;
    bool m_closed = false;

    mutable std::mutex m_mutex;
    std::condition_variable m_wake; // writer: lines queued or closing
    std::condition_variable m_room; // caller: the queue has room again
    std::deque<Line> m_queue;
    size_t m_queuedBytes = 0;
    bool m_stop = false;
    std::string m_error;
    uint64_t m_linesWritten = 0;
    uint64_t m_bytesWritten = 0;
    std::string m_currentFile;

    // Writer's side.
    std::FILE* m_file = nullptr;
    unsigned m_fileIndex = 0;
    uint64_t m_fileBytes = 0;
    bool m_fileHasLines = false;
    std::string m_header;
    struct RtfState;
    std::unique_ptr<RtfState> m_rtfState;
    std::thread m_writer;
};
