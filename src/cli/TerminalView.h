#pragma once
// The traffic view of korvane-cli: the lines the engine appends, written to standard
// output (in colour on a terminal) and handed to the capture file.

#include "codec/HexCodec.h"
#include "traffic/TextView.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class TTrafficCapture;

// The colour of the 256-colour terminal palette (cube and grey ramp; the 16 system
// colours vary between terminals and are not used) nearest to a 0x00BBGGRR colour.
int NearestTerminalColor(uint32_t color);

class TTerminalView final : public TextView {
public:
    // terminal: the output is a terminal, so text is shown as UTF-8 and control characters
    // as visible symbols instead of being passed to it; color: colour escape sequences.
    TTerminalView(int fd, bool terminal, bool color, TTrafficCapture* capture);

    void InsertText(std::string_view text, const TextAttributes& attributes) override;
    // Writes what is buffered; false once the output is gone (a closed pipe).
    bool Flush();
    // With a computation, every received line that the next record gives is followed by
    // " OK" or " BAD expected XX XX" (shown only, not captured). The caller names the
    // direction of each record before the engine takes it ('R', 'T', or 0 for none).
    void SetReceivedCheck(std::optional<ChecksumAlgorithm> algorithm) { m_check = algorithm; }
    void ExpectRecord(char direction) { m_nextDirection = direction; }
    // false: the engine's lines are captured and counted but not written (another form of
    // the records is written instead).
    void SetRecordLinesShown(bool shown) { m_recordLines = shown; }
    // A line of the program's own under the traffic (a decoded frame, a JSON object):
    // written, in the colour when there is one, but neither captured nor counted.
    void AppendOwnLine(std::string_view text, std::optional<uint32_t> color);
    // A line of the program's own among the traffic (the port went away, came back): grey
    // like a line's prefix, handed to the capture, not counted among the lines shown.
    void AppendNote(std::string_view text);
    // Received text (not hex) is broken into shown lines where one of these sequences
    // stands (tried in this order); the rest of a record's lines line up under its first
    // byte. Shown and captured alike; the record is still one line for --count. The caller
    // names the direction of each record (ExpectRecord).
    void SetLineEnds(std::vector<std::string> lineEnds) { m_lineEnds = std::move(lineEnds); }
    bool MapsLineEnds() const { return !m_lineEnds.empty(); }
    // Where the lines go besides the terminal; nullptr: nowhere (the log is paused).
    void SetCapture(TTrafficCapture* capture) { m_capture = capture; }
    bool Capturing() const { return m_capture != nullptr; }
    // Lines completed so far.
    uint64_t LinesShown() const { return m_lines; }
    bool OutputBroken() const { return m_broken; }

    // The view keeps no text: the engine only appends to it.
    void MoveCaretToEnd() override {}
    int CaretLine() const override { return 0; }
    int CaretColumn() const override { return 0; }
    int LineCount() const override { return 0; }
    std::string LineText(int) const override { return {}; }
    std::string SelectedText() const override { return {}; }
    int SelectionLength() const override { return 0; }
    bool HasFocus() const override { return false; }
    void SetFocus() override {}
    void Clear() override {}
    void SetWordWrap(bool) override {}

private:
    void AppendShown(std::string_view text);
    void InsertMapped(std::string_view payload, const TextAttributes& attributes);

    int m_fd;
    bool m_terminal;
    bool m_color;
    TTrafficCapture* m_capture;
    std::string m_buffer;
    uint64_t m_lines = 0;
    bool m_broken = false;
    std::optional<ChecksumAlgorithm> m_check;
    char m_nextDirection = 0;
    bool m_recordLines = true;
    std::vector<std::string> m_lineEnds;
    size_t m_column = 0; // the width of the current line's prefix
};
