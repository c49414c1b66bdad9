#pragma once
// An in-memory TextView for engine and window tests: it keeps the text as one 8-bit string,
// logs every insertion with its attributes, and tracks caret, selection, focus and word
// wrap. CR LF, a lone CR and a lone LF each end a line.

#include "traffic/TextView.h"

#include <algorithm>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

// Views that share one of these have one keyboard focus between them, as windows of one
// application do.
struct MemoryFocus {
    const TextView* owner = nullptr;
};

class MemoryTextView : public TextView {
public:
    struct Run {
        std::string text;
        TextAttributes attributes;
    };

    MemoryTextView() : m_focus(&m_ownFocus) {}
    explicit MemoryTextView(MemoryFocus& shared) : m_focus(&shared) {}

    // --- TextView ---
    void MoveCaretToEnd() override { m_anchor = m_caret = m_text.size(); }
    void InsertText(std::string_view text, const TextAttributes& attributes) override {
        const size_t start = std::min(m_anchor, m_caret);
        const size_t end = std::max(m_anchor, m_caret);
        m_text.replace(start, end - start, text);
        m_anchor = m_caret = start + text.size();
        m_runs.push_back({std::string(text), attributes});
    }
    int CaretLine() const override { return Position(m_caret).first; }
    int CaretColumn() const override { return Position(m_caret).second; }
    int LineCount() const override { return static_cast<int>(Lines().size()); }
    std::string LineText(int line) const override {
        const auto lines = Lines();
        if (line < 0 || static_cast<size_t>(line) >= lines.size()) {
            return {};
        }
        return lines[static_cast<size_t>(line)];
    }
    std::string SelectedText() const override {
        const size_t start = std::min(m_anchor, m_caret);
        return m_text.substr(start, std::max(m_anchor, m_caret) - start);
    }
    int SelectionLength() const override {
        return static_cast<int>(std::max(m_anchor, m_caret) - std::min(m_anchor, m_caret));
    }
    bool HasFocus() const override { return m_focus->owner == this; }
    void SetFocus() override { m_focus->owner = this; }
    void Clear() override {
        m_text.clear();
        m_runs.clear();
        m_anchor = m_caret = 0;
    }
    void SetWordWrap(bool on) override { m_wordWrap = on; }

    // --- test side ---
    void SetText(std::string text) {
        Clear();
        m_text = std::move(text);
    }
    const std::string& Text() const { return m_text; }
    const std::vector<Run>& Runs() const { return m_runs; }
    bool WordWrap() const { return m_wordWrap; }

    std::vector<std::string> Lines() const {
        std::vector<std::string> lines(1);
        for (size_t i = 0; i < m_text.size(); ++i) {
            const char c = m_text[i];
            if (c == '\r' || c == '\n') {
                if (c == '\r' && i + 1 < m_text.size() && m_text[i + 1] == '\n') {
                    ++i;
                }
                lines.emplace_back();
            } else {
                lines.back() += c;
            }
        }
        return lines;
    }
    // Offset of a 0-based line and column (clamped to the line's end).
    size_t Offset(int line, int column) const {
        size_t offset = 0;
        int current = 0;
        while (current < line && offset < m_text.size()) {
            const char c = m_text[offset++];
            if (c == '\r' && offset < m_text.size() && m_text[offset] == '\n') {
                ++offset;
            }
            if (c == '\r' || c == '\n') {
                ++current;
            }
        }
        for (int i = 0; i < column && offset < m_text.size(); ++i, ++offset) {
            if (m_text[offset] == '\r' || m_text[offset] == '\n') {
                break;
            }
        }
        return offset;
    }
    void SetCaret(int line, int column) { m_anchor = m_caret = Offset(line, column); }
    // Selects length characters from the offset; the caret ends at the far end.
    void Select(size_t offset, size_t length) {
        m_anchor = std::min(offset, m_text.size());
        m_caret = std::min(offset + length, m_text.size());
    }

    void MouseDown() {
        if (OnMouseDown) {
            OnMouseDown();
        }
    }
    void MouseMove() {
        if (OnMouseMove) {
            OnMouseMove();
        }
    }
    void MouseUp(bool ctrlHeld, int x, int y) {
        if (OnMouseUp) {
            OnMouseUp(ctrlHeld, x, y);
        }
    }

private:
    std::pair<int, int> Position(size_t offset) const {
        int line = 0;
        int column = 0;
        for (size_t i = 0; i < offset && i < m_text.size(); ++i) {
            const char c = m_text[i];
            if (c == '\r' && i + 1 < offset && m_text[i + 1] == '\n') {
                continue;
            }
            if (c == '\r' || c == '\n') {
                ++line;
                column = 0;
            } else {
                ++column;
            }
        }
        return {line, column};
    }

    std::string m_text;
    std::vector<Run> m_runs;
    size_t m_anchor = 0;
    size_t m_caret = 0;
    bool m_wordWrap = false;
    MemoryFocus m_ownFocus;
    MemoryFocus* m_focus;
};
