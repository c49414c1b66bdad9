#include "cli/TerminalView.h"

#include "codec/ReceivedChecksum.h"
#include "richtext/CodePage.h"
#include "traffic/DataRT.h"
#include "traffic/TrafficCapture.h"

#include <algorithm>
#include <cerrno>
#include <unistd.h>

namespace {

constexpr size_t FlushThreshold = 1u << 20;

int Channel(uint32_t color, int shift) {
    return static_cast<int>((color >> shift) & 0xFF);
}

} // namespace

int NearestTerminalColor(uint32_t color) {
    const int r = Channel(color, 0);
    const int g = Channel(color, 8);
    const int b = Channel(color, 16);
    static constexpr int kLevels[6] = {0, 95, 135, 175, 215, 255};
    int best = 16;
    long bestDistance = -1;
    const auto consider = [&](int index, int cr, int cg, int cb) {
        const long d = static_cast<long>(cr - r) * (cr - r) + static_cast<long>(cg - g) * (cg - g) +
                       static_cast<long>(cb - b) * (cb - b);
        if (bestDistance < 0 || d < bestDistance) {
            bestDistance = d;
            best = index;
        }
    };
    for (int i = 0; i < 216; ++i) {
        consider(16 + i, kLevels[i / 36], kLevels[(i / 6) % 6], kLevels[i % 6]);
    }
    for (int i = 0; i < 24; ++i) {
        const int level = 8 + 10 * i;
        consider(232 + i, level, level, level);
    }
    return best;
}

TTerminalView::TTerminalView(int fd, bool terminal, bool color, TTrafficCapture* capture)
    : m_fd(fd), m_terminal(terminal), m_color(color), m_capture(capture) {}

void TTerminalView::AppendShown(std::string_view text) {
    if (!m_terminal) {
        m_buffer.append(text);
        return;
    }
    // Received text must not drive the terminal: control characters are shown as the
    // symbols for them, the other bytes as the Latin-1 characters they are.
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x20) {
            AppendUtf8(m_buffer, 0x2400u + c);
        } else if (c == 0x7F) {
            AppendUtf8(m_buffer, 0x2421u);
        } else if (c >= 0x80 && c < 0xA0) {
            AppendUtf8(m_buffer, 0xFFFDu);
        } else {
            AppendUtf8(m_buffer, c);
        }
    }
}

void TTerminalView::InsertMapped(std::string_view payload, const TextAttributes& attributes) {
    std::vector<std::string_view> lines;
    size_t start = 0;
    for (size_t at = 0; at < payload.size();) {
        const auto ending =
            std::find_if(m_lineEnds.begin(), m_lineEnds.end(),
                         [&](const std::string& e) { return payload.substr(at).starts_with(e); });
        if (ending == m_lineEnds.end()) {
            ++at;
            continue;
        }
        lines.push_back(payload.substr(start, at - start));
        at += ending->size();
        start = at;
    }
    // An ending at the end of the record ends its last line, not one more empty line.
    if (start < payload.size() || lines.empty()) {
        lines.push_back(payload.substr(start));
    }
    const std::string indent(m_column, ' ');
    const uint64_t shown = m_lines;
    for (size_t i = 0; i < lines.size(); ++i) {
        // Each line is a line of its own for the terminal and the log, with the direction
        // forgotten after the first so nothing is broken twice.
        InsertText((i == 0 ? std::string() : indent) + std::string(lines[i]) + "\r\n", attributes);
    }
    m_lines = shown + 1;
}

void TTerminalView::InsertText(std::string_view text, const TextAttributes& attributes) {
    if (!m_lineEnds.empty() && m_nextDirection == 'R' && !attributes.receivedHex &&
        text.ends_with("\r\n")) {
        m_nextDirection = 0;
        InsertMapped(text.substr(0, text.size() - 2), attributes);
        return;
    }
    m_column = text.ends_with("\r\n") ? 0 : m_column + text.size();
    if (m_capture != nullptr) {
        m_capture->Append(text, attributes.color);
    }
    // The engine ends every line with CR LF; the terminal gets a plain line feed.
    const bool lineEnd = text.ends_with("\r\n");
    if (lineEnd) {
        text.remove_suffix(2);
    }
    if (!m_recordLines) {
        if (lineEnd) {
            ++m_lines;
            m_nextDirection = 0;
        }
        return;
    }
    if (m_color && !text.empty()) {
        m_buffer += "\x1b[38;5;" + std::to_string(NearestTerminalColor(attributes.color)) + "m";
        AppendShown(text);
        m_buffer += "\x1b[0m";
    } else {
        AppendShown(text);
    }
    if (lineEnd && m_check && (m_nextDirection == 'R' || m_nextDirection == 'B')) {
        const TReceivedChecksum check = CheckReceivedChecksum(text, *m_check);
        if (check.outcome != TReceivedChecksum::Outcome::Unchecked) {
            const bool good = check.outcome == TReceivedChecksum::Outcome::Good;
            const std::string mark = good ? " OK" : " BAD expected " + check.expected;
            m_buffer += m_color ? (good ? "\x1b[1;32m" : "\x1b[1;31m") + mark + "\x1b[0m" : mark;
        }
    }
    if (lineEnd) {
        m_buffer += '\n';
        ++m_lines;
        m_nextDirection = 0;
    }
    if (m_buffer.size() >= FlushThreshold) {
        Flush();
    }
}

void TTerminalView::AppendOwnLine(std::string_view text, std::optional<uint32_t> color) {
    if (m_color && color) {
        m_buffer += "\x1b[38;5;" + std::to_string(NearestTerminalColor(*color)) + "m";
        AppendShown(text);
        m_buffer += "\x1b[0m";
    } else {
        AppendShown(text);
    }
    m_buffer += '\n';
    if (m_buffer.size() >= FlushThreshold) {
        Flush();
    }
}

void TTerminalView::AppendNote(std::string_view text) {
    TextAttributes attributes;
    attributes.color = TrafficPrefixColor;
    const uint64_t lines = m_lines;
    // A note is never a received line with a checksum to mark.
    m_nextDirection = 0;
    InsertText(std::string(text) + "\r\n", attributes);
    m_lines = lines;
}

bool TTerminalView::Flush() {
    size_t done = 0;
    while (!m_broken && done < m_buffer.size()) {
        const ssize_t n = write(m_fd, m_buffer.data() + done, m_buffer.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            m_broken = true;
        }
    }
    m_buffer.clear();
    return !m_broken;
}
