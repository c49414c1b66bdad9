#include "traffic/TrafficCapture.h"

#include "platform/FileIO.h"
#include "richtext/RichText.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <utility>

namespace {

namespace fs = std::filesystem;

constexpr const char* CaptureFontName = "Courier New";
constexpr int CaptureFontHalfPoints = 18;
// The colour of a queued header line: no colour a view uses (those are 0x00BBGGRR).
constexpr uint32_t HeaderMark = 0xFF000000u;

} // namespace

struct TTrafficCapture::RtfState {
    explicit RtfState(const std::vector<uint32_t>& colors)
        : stream({{CaptureFontName, 0}}, colors) {}
    TRtfStream stream;
};

TTrafficCapture::TTrafficCapture(TCaptureOptions options) : m_options(std::move(options)) {
    m_rtf = IsRtfName(m_options.path);
    for (const std::string& older : OlderParts(m_options.path)) {
        if (std::remove(older.c_str()) != 0 && errno != ENOENT) {
            throw EFileError("Cannot delete", older, errno);
        }
    }
    if (const int error = OpenFile(0); error != 0) {
        if (m_file != nullptr) {
            // Created but not written (a full disk): no empty file is left behind.
            std::fclose(m_file);
            std::remove(m_options.path.c_str());
        }
        throw EFileError(m_file == nullptr ? "Cannot create" : "Cannot write", m_options.path,
                         error);
    }
    m_writer = std::thread([this] { WriterLoop(); });
}

TTrafficCapture::~TTrafficCapture() {
    Close();
}

std::string TTrafficCapture::RotatedName(const std::string& path, unsigned n) {
    if (n == 0) {
        return path;
    }
    const size_t slash = path.find_last_of("/\\");
    const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    const size_t dot = path.rfind('.');
    const std::string number = "." + std::to_string(n);
    // A leading dot names a hidden file; it starts no extension.
    if (dot == std::string::npos || dot <= nameStart) {
        return path + number;
    }
    return path.substr(0, dot) + number + path.substr(dot);
}

std::vector<std::string> TTrafficCapture::OlderParts(const std::string& path) {
    // RotatedName(path, n) is PREFIX + n + SUFFIX; the folder is searched for that shape
    // rather than counting up, so a gap in the numbers hides no part.
    const std::string one = RotatedName(path, 1);
    const std::string two = RotatedName(path, 2);
    const size_t at = static_cast<size_t>(
        std::mismatch(one.begin(), one.end(), two.begin(), two.end()).first - one.begin());
    const std::string prefix = one.substr(0, at);
    const std::string suffix = one.substr(at + 1);
    const fs::path folder = fs::path(prefix).parent_path();
    const std::string stem = fs::path(prefix).filename().string();
    std::vector<std::pair<unsigned long, std::string>> found;
    std::error_code error;
    for (fs::directory_iterator it(folder.empty() ? fs::path(".") : folder, error), end;
         !error && it != end; it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (name.size() <= stem.size() + suffix.size() || !name.starts_with(stem) ||
            !name.ends_with(suffix)) {
            continue;
        }
        const std::string digits =
            name.substr(stem.size(), name.size() - stem.size() - suffix.size());
        if (digits.size() > 9 || digits.front() == '0' ||
            !std::all_of(digits.begin(), digits.end(),
                         [](char c) { return c >= '0' && c <= '9'; })) {
            continue;
        }
        std::error_code kindError;
        if (it->is_directory(kindError)) {
            continue;
        }
        const unsigned long n = std::stoul(digits);
        found.emplace_back(n, RotatedName(path, static_cast<unsigned>(n)));
    }
    std::sort(found.begin(), found.end());
    std::vector<std::string> parts;
    for (auto& [n, name] : found) {
        parts.push_back(std::move(name));
    }
    return parts;
}

bool TTrafficCapture::IsRtfName(const std::string& path) {
    if (path.size() < 4) {
        return false;
    }
    std::string tail = path.substr(path.size() - 4);
    for (char& c : tail) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c + 0x20);
        }
    }
    return tail == ".rtf";
}

void TTrafficCapture::Append(std::string_view text, uint32_t color) {
    if (m_closed) {
        return;
    }
    while (!text.empty()) {
        const size_t end = text.find('\n');
        const std::string_view piece = end == std::string_view::npos ? text : text.substr(0, end);
        if (!piece.empty()) {
            if (!m_current.empty() && m_current.back().color == color) {
                m_current.back().text.append(piece);
            } else {
                m_current.push_back({std::string(piece), color});
            }
            m_currentBytes += piece.size();
        }
        if (end == std::string_view::npos) {
            break;
        }
        QueueLine();
        text.remove_prefix(end + 1);
    }
}

void TTrafficCapture::AppendHeader(std::string_view line) {
    if (m_closed) {
        return;
    }
    if (!m_current.empty()) {
        QueueLine();
    }
    m_current.push_back({std::string(line), HeaderMark});
    m_currentBytes = line.size();
    QueueLine();
}

void TTrafficCapture::QueueLine() {
    // The line break may have come as "\r" at the end of one piece and "\n" in the next.
    if (!m_current.empty() && !m_current.back().text.empty() &&
        m_current.back().text.back() == '\r') {
        m_current.back().text.pop_back();
        --m_currentBytes;
        if (m_current.back().text.empty()) {
            m_current.pop_back();
        }
    }
    const size_t bytes = m_currentBytes + 1;
    {
        std::unique_lock lock(m_mutex);
        // A line larger than the whole queue still goes, alone.
        m_room.wait(lock, [&] {
            return m_queue.empty() || m_queuedBytes + bytes <= m_options.queueBytes || m_stop;
        });
        m_queue.push_back(std::move(m_current));
        m_queuedBytes += bytes;
    }
    m_wake.notify_one();
    m_current.clear();
    m_currentBytes = 0;
}

void TTrafficCapture::Close() {
    if (m_closed) {
        return;
    }
    if (!m_current.empty()) {
        QueueLine();
    }
    m_closed = true;
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_one();
    if (m_writer.joinable()) {
        m_writer.join();
    }
}

std::string TTrafficCapture::ErrorText() const {
    std::lock_guard lock(m_mutex);
    return m_error;
}

uint64_t TTrafficCapture::LinesWritten() const {
    std::lock_guard lock(m_mutex);
    return m_linesWritten;
}

std::string TTrafficCapture::CurrentFile() const {
    std::lock_guard lock(m_mutex);
    return m_currentFile;
}

uint64_t TTrafficCapture::BytesWritten() const {
    std::lock_guard lock(m_mutex);
    return m_bytesWritten;
}

void TTrafficCapture::WriterLoop() {
    for (;;) {
        std::deque<Line> batch;
        {
            std::unique_lock lock(m_mutex);
            m_wake.wait_for(lock, std::chrono::seconds(1),
                            [&] { return m_stop || !m_queue.empty(); });
            if (m_queue.empty()) {
                if (m_stop) {
                    break;
                }
                continue;
            }
            batch.swap(m_queue);
            m_queuedBytes = 0;
        }
        m_room.notify_all();
        WriteLines(batch);
    }
    CloseFile();
}

std::string TTrafficCapture::Format(const Line& line) {
    if (!m_rtf) {
        std::string out;
        for (const Run& run : line) {
            out += run.text;
        }
        out += '\n';
        return out;
    }
    StyledText styled;
    styled.reserve(line.size() + 1);
    TextStyle style;
    style.fontName = CaptureFontName;
    style.sizeHalfPoints = CaptureFontHalfPoints;
    for (const Run& run : line) {
        style.color = run.color;
        styled.push_back({Latin1ToUtf8(run.text), style});
    }
    if (styled.empty()) {
        styled.push_back({"", style});
    }
    styled.back().text += '\n';
    return m_rtfState->stream.Body(styled);
}

void TTrafficCapture::WriteLines(std::deque<Line>& lines) {
    if (m_file == nullptr) {
        return; // a write failed before: nothing more is written
    }
    std::string buffer;
    uint64_t bufferLines = 0;
    const auto flush = [&]() -> bool {
        if (buffer.empty()) {
            return true;
        }
        if (m_rtf) {
            // Over the closing brace of the document, which then follows the new lines.
            if (std::fseek(m_file, -static_cast<long>(TRtfStream::Tail.size()), SEEK_END) != 0) {
                Fail("Cannot write", errno);
                return false;
            }
            buffer += TRtfStream::Tail;
        }
        if (std::fwrite(buffer.data(), 1, buffer.size(), m_file) != buffer.size() ||
            std::fflush(m_file) != 0) {
            Fail("Cannot write", errno);
            return false;
        }
        const size_t added = buffer.size() - (m_rtf ? TRtfStream::Tail.size() : 0);
        m_fileBytes += added;
        {
            std::lock_guard lock(m_mutex);
            m_linesWritten += bufferLines;
            m_bytesWritten += added;
        }
        buffer.clear();
        bufferLines = 0;
        return true;
    };

    for (const Line& line : lines) {
        const bool header = line.size() == 1 && line.front().color == HeaderMark;
        if (header) {
            m_header = line.front().text;
        }
        std::string text = Format(line);
        if (m_options.rotateBytes != 0 && m_fileHasLines &&
            m_fileBytes + buffer.size() + text.size() > m_options.rotateBytes) {
            if (!flush()) {
                return;
            }
            CloseFile();
            if (const int error = OpenFile(m_fileIndex + 1); error != 0) {
                Fail(m_file == nullptr ? "Cannot create" : "Cannot write", error);
                return;
            }
            // The new document starts from plain text again.
            text = Format(line);
            if (!header && !m_header.empty()) {
                buffer += Format(Line{{m_header, HeaderMark}});
                ++bufferLines;
            }
        }
        buffer += text;
        ++bufferLines;
        m_fileHasLines = true;
    }
    flush();
}

int TTrafficCapture::OpenFile(unsigned index) {
    const std::string name = RotatedName(m_options.path, index);
    m_fileIndex = index;
    m_fileBytes = 0;
    m_fileHasLines = false;
    m_file = std::fopen(name.c_str(), "wb");
    if (m_file == nullptr) {
        return errno;
    }
    {
        std::lock_guard lock(m_mutex);
        m_currentFile = name;
    }
    if (m_rtf) {
        m_rtfState = std::make_unique<RtfState>(m_options.colors);
        const std::string head = m_rtfState->stream.Head();
        const std::string start = head + std::string(TRtfStream::Tail);
        if (std::fwrite(start.data(), 1, start.size(), m_file) != start.size() ||
            std::fflush(m_file) != 0) {
            return errno;
        }
        m_fileBytes = start.size();
        std::lock_guard lock(m_mutex);
        m_bytesWritten += start.size();
    }
    return 0;
}

void TTrafficCapture::CloseFile() {
    if (m_file != nullptr) {
        if (std::fclose(m_file) != 0) {
            Fail("Cannot write", errno);
        }
        m_file = nullptr;
    }
}

void TTrafficCapture::Fail(const std::string& action, int errorCode) {
    const std::string name = RotatedName(m_options.path, m_fileIndex);
    bool first = false;
    {
        std::lock_guard lock(m_mutex);
        if (m_error.empty()) {
            m_error = EFileError(action, name, errorCode).what();
            first = true;
        }
    }
    if (m_file != nullptr) {
        std::fclose(m_file);
        m_file = nullptr;
    }
    if (first && m_options.onFailed) {
        m_options.onFailed();
    }
}
