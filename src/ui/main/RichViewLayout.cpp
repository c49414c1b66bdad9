// RichView: layout (rows, word wrap, columns at a point), scrolling and the frame timer.
#include "ui/main/RichView.h"

#include "ui/main/RichViewShared.h"

#include <QScrollBar>
#include <QTimerEvent>

#include <algorithm>
#include <cmath>

using namespace richview;

namespace {
constexpr int kFrameMs = 16; // one repaint per frame at most
} // namespace

// ---------------------------------------------------------------- layout

float RichView::WrapWidth() const {
    return std::max(16.0f, static_cast<float>(viewport()->width()) - 2 * kMargin - kCaretWidth);
}

std::vector<int> RichView::WrapLine(int index) const {
    std::vector<int> starts{0};
    const TLineRef line = m_store.Line(index);
    const float width = WrapWidth();
    if (!m_wordWrap || line.width <= width) {
        return starts;
    }
    const int length = line.text.Size();
    if (line.uniform) {
        // The same rule as below with columns: a row holds cols characters plus any
        // blanks that follow, and breaks after its last blank when it has one.
        const int cols = std::max(1, static_cast<int>(width / line.advance));
        const TTextRef text = line.text;
        int rowStart = 0;
        while (true) {
            int i = rowStart + cols;
            while (i < length && text.At(i) == u' ') {
                ++i;
            }
            if (i >= length) {
                break;
            }
            int brk = i;
            while (brk > rowStart && text.At(brk - 1) != u' ') {
                --brk;
            }
            rowStart = brk > rowStart ? brk : i;
            starts.push_back(rowStart);
        }
        return starts;
    }
    size_t run = 0;
    const auto advanceAt = [&](int i) -> float {
        if (line.uniform) {
            return line.advance;
        }
        while (run + 1 < line.runs.size() && line.runs[run + 1].start <= i) {
            ++run;
        }
        while (run > 0 && line.runs[run].start > i) {
            --run;
        }
        const Style& style = StyleOf(line.runs[run].style);
        const QChar c = QChar(line.text.At(i));
        if (c.isHighSurrogate() && i + 1 < length) {
            return static_cast<float>(style.metrics.horizontalAdvance(PairAt(line.text, i)));
        }
        return Advance(style, c);
    };
    float x = 0;
    int rowStart = 0;
    int lastBreak = -1;
    for (int i = 0; i < length; ++i) {
        const QChar c = QChar(line.text.At(i));
        const float a = advanceAt(i);
        // Blanks may hang past the edge; a break goes after the last blank of the row.
        if (c != QLatin1Char(' ') && !c.isLowSurrogate() && x + a > width && i > rowStart) {
            const int brk = lastBreak > rowStart ? lastBreak : i;
            starts.push_back(brk);
            rowStart = brk;
            lastBreak = -1;
            x = 0;
            for (int j = brk; j < i; ++j) {
                x += advanceAt(j);
            }
        }
        x += a;
        if (c == QLatin1Char(' ')) {
            lastBreak = i + 1;
        }
    }
    return starts;
}

int RichView::RowsOf(int index) {
    const TLineRef line = m_store.Line(index);
    if (line.rows >= 0) {
        return line.rows;
    }
    const int rows = line.width <= WrapWidth() ? 1 : static_cast<int>(WrapLine(index).size());
    m_store.SetRows(index, rows);
    return rows;
}

void RichView::EnsureRows() {
    const float width = WrapWidth();
    if (width != m_wrapWidthUsed) {
        for (int i = 0; i < m_store.Count(); ++i) {
            m_store.SetRows(i, -1);
        }
        m_rowsValid = 0;
        m_wrapWidthUsed = width;
    }
    const size_t n = static_cast<size_t>(m_store.Count());
    if (m_rowsValid > n + 1) {
        m_rowsValid = 0;
    }
    m_rowStarts.resize(n + 1);
    if (m_rowsValid == 0) {
        m_rowStarts[0] = 0;
        m_rowsValid = 1;
    }
    for (size_t i = m_rowsValid - 1; i < n; ++i) {
        m_rowStarts[i + 1] = m_rowStarts[i] + RowsOf(static_cast<int>(i));
    }
    m_rowsValid = n + 1;
}

int RichView::TotalRows() {
    if (!m_wordWrap) {
        return m_store.Count();
    }
    EnsureRows();
    return m_rowStarts[static_cast<size_t>(m_store.Count())];
}

int RichView::VisualLineCount() {
    const int rows = TotalRows();
    return m_store.Line(m_store.Count() - 1).text.Empty() ? rows - 1 : rows;
}

int RichView::FirstRowOfLine(int line) {
    if (!m_wordWrap) {
        return line;
    }
    EnsureRows();
    return m_rowStarts[static_cast<size_t>(line)];
}

RichView::Row RichView::RowAt(int visualRow) {
    if (!m_wordWrap) {
        const int line = std::clamp(visualRow, 0, m_store.Count() - 1);
        return {line, 0, m_store.Line(line).text.Size()};
    }
    EnsureRows();
    visualRow = std::clamp(visualRow, 0, m_rowStarts[static_cast<size_t>(m_store.Count())] - 1);
    const auto it = std::upper_bound(m_rowStarts.begin(), m_rowStarts.end(), visualRow);
    const int line = static_cast<int>(it - m_rowStarts.begin()) - 1;
    const std::vector<int> starts = WrapLine(line);
    const size_t sub = static_cast<size_t>(visualRow - m_rowStarts[static_cast<size_t>(line)]);
    const int length = m_store.Line(line).text.Size();
    return {line, starts[std::min(sub, starts.size() - 1)],
            sub + 1 < starts.size() ? starts[sub + 1] : length};
}

int RichView::VisualRowOf(Pos pos) {
    if (!m_wordWrap) {
        return pos.line;
    }
    const std::vector<int> starts = WrapLine(pos.line);
    const auto it = std::upper_bound(starts.begin(), starts.end(), pos.col);
    return FirstRowOfLine(pos.line) + static_cast<int>(it - starts.begin()) - 1;
}

float RichView::XInRow(int index, int rowStart, int col) const {
    const TLineRef line = m_store.Line(index);
    if (line.uniform) {
        return static_cast<float>(col - rowStart) * line.advance;
    }
    float x = 0;
    for (int i = rowStart; i < col; ++i) {
        const Style& style = StyleOf(line.runs[line.RunAt(i)].style);
        const QChar c = QChar(line.text.At(i));
        if (c.isHighSurrogate() && i + 1 < col) {
            x += static_cast<float>(style.metrics.horizontalAdvance(PairAt(line.text, i)));
            ++i;
        } else {
            x += Advance(style, c);
        }
    }
    return x;
}

int RichView::ColumnAtX(const Row& row, float x) const {
    const TLineRef line = m_store.Line(row.line);
    const int length = line.text.Size();
    // A row that wraps ends before its last character: the column at its end is the
    // first of the next row.
    const int last = row.end < length && row.end > row.start ? row.end - 1 : row.end;
    int col = last;
    if (line.uniform) {
        col = line.advance > 0
                  ? row.start + static_cast<int>(std::lround(std::max(0.0f, x) / line.advance))
                  : row.start;
    } else {
        float at = 0;
        for (int i = row.start; i < row.end; ++i) {
            const Style& style = StyleOf(line.runs[line.RunAt(i)].style);
            const float a = Advance(style, QChar(line.text.At(i)));
            if (x < at + a / 2) {
                col = i;
                break;
            }
            at += a;
        }
    }
    col = std::clamp(col, row.start, last);
    if (col > 0 && col < length && QChar(line.text.At(col)).isLowSurrogate()) {
        --col;
    }
    return col;
}

RichView::Pos RichView::PosAtPoint(QPoint point) {
    const int rows = TotalRows();
    int row = verticalScrollBar()->value();
    if (point.y() < 0) {
        --row; // dragging above the view: one row up, so the view scrolls
    }
    float y = kMargin;
    while (row + 1 < rows) {
        y += RowHeight(row);
        if (static_cast<float>(point.y()) < y) {
            break;
        }
        ++row;
    }
    row = std::clamp(row, 0, rows - 1);
    const Row r = RowAt(row);
    const float x =
        static_cast<float>(point.x() + (m_wordWrap ? 0 : horizontalScrollBar()->value())) - kMargin;
    return {r.line, ColumnAtX(r, x)};
}

void RichView::UpdateScrollBars() {
    const int total = TotalRows();
    const int visible = std::max(
        1, static_cast<int>((static_cast<float>(viewport()->height()) - kMargin) / m_rowHeight));
    QScrollBar* vbar = verticalScrollBar();
    vbar->setRange(0, std::max(0, total - RowsFitting(total - 1)));
    vbar->setPageStep(visible);
    vbar->setSingleStep(1);
    QScrollBar* hbar = horizontalScrollBar();
    if (m_wordWrap) {
        hbar->setRange(0, 0);
        return;
    }
    const int content = static_cast<int>(std::ceil(m_store.MaxWidth() + 2 * kMargin + kCaretWidth));
    hbar->setRange(0, std::max(0, content - viewport()->width()));
    hbar->setPageStep(std::max(1, viewport()->width()));
    hbar->setSingleStep(
        std::max(1, static_cast<int>(StyleOf(TypingStyle()).metrics.averageCharWidth())));
}

void RichView::EnsureCaretVisible() {
    UpdateScrollBars();
    QScrollBar* vbar = verticalScrollBar();
    const int row = VisualRowOf(m_caret);
    if (row < vbar->value()) {
        vbar->setValue(row);
    } else {
        const int first = row - RowsFitting(row) + 1;
        if (vbar->value() < first) {
            vbar->setValue(first);
        }
    }
    if (m_wordWrap) {
        return;
    }
    QScrollBar* hbar = horizontalScrollBar();
    const Row r = RowAt(row);
    const float x = XInRow(r.line, r.start, m_caret.col);
    const float width = static_cast<float>(viewport()->width()) - 2 * kMargin - kCaretWidth;
    const float left = static_cast<float>(hbar->value());
    if (x < left) {
        hbar->setValue(static_cast<int>(std::max(0.0f, x - width / 4)));
    } else if (x > left + width) {
        hbar->setValue(static_cast<int>(x - width * 3 / 4));
    }
}

void RichView::ScheduleFrame() {
    if (!m_frameTimer.isActive()) {
        m_frameTimer.start(kFrameMs, this);
    }
}

void RichView::FlushPaint() {
    m_frameTimer.stop();
    UpdateScrollBars();
    if (m_followEnd) {
        m_followEnd = false;
        EnsureCaretVisible();
    }
    viewport()->repaint();
}

void RichView::RestartBlink() {
    m_blink.Restart();
    if (hasFocus()) {
        m_blinkTimer.start(TCaretBlink::PeriodMs, this);
    }
}

void RichView::timerEvent(QTimerEvent* event) {
    if (event->timerId() == m_frameTimer.timerId()) {
        m_frameTimer.stop();
        UpdateScrollBars();
        if (m_followEnd) {
            m_followEnd = false;
            EnsureCaretVisible();
        }
        viewport()->update();
    } else if (event->timerId() == m_dragTimer.timerId()) {
        if (m_dragging) {
            DragTo(m_dragPoint);
        } else {
            m_dragTimer.stop();
        }
    } else if (event->timerId() == m_blinkTimer.timerId()) {
        if (!m_blink.Tick()) {
            m_blinkTimer.stop();
        }
        viewport()->update();
    } else {
        QAbstractScrollArea::timerEvent(event);
    }
}

RichView::RowMetrics RichView::LineMetrics(int index) const {
    const TLineRef line = m_store.Line(index);
    if (line.runs.empty()) {
        return {m_rowHeight, m_rowAscent};
    }
    float ascent = 0;
    float below = 0;
    for (const TStyleRun& run : line.runs) {
        const Style& style = StyleOf(run.style);
        ascent = std::max(ascent, style.ascent);
        below = std::max(below, style.height - style.ascent);
    }
    return {std::ceil(ascent + below), ascent};
}

bool RichView::LastRowOfLine(int row, int line) {
    if (!m_wordWrap) {
        return true;
    }
    EnsureRows();
    return row + 1 == m_rowStarts[static_cast<size_t>(line) + 1];
}

float RichView::RowHeight(int row) {
    const int line = LineOfRow(row);
    float height = LineMetrics(line).height;
    if (m_notes != nullptr && m_store.Note(line) != 0 && LastRowOfLine(row, line)) {
        height += NoteHeight(line);
    }
    return height;
}

int RichView::LineOfRow(int row) {
    if (!m_wordWrap) {
        return row;
    }
    EnsureRows();
    const auto it = std::upper_bound(m_rowStarts.begin(), m_rowStarts.end(), row);
    return static_cast<int>(it - m_rowStarts.begin()) - 1;
}

int RichView::RowsFitting(int lastRow) {
    // Rows ending with lastRow that fit the viewport, at least one.
    const float room = static_cast<float>(viewport()->height()) - kMargin;
    float used = 0;
    int count = 0;
    for (int row = lastRow; row >= 0; --row) {
        used += RowHeight(row);
        if (used > room && count > 0) {
            break;
        }
        ++count;
    }
    return std::max(1, count);
}

void RichView::SetWordWrap(bool on) {
    if (m_wordWrap == on) {
        return;
    }
    m_wordWrap = on;
    m_rowsValid = 0;
    m_wrapWidthUsed = -1;
    horizontalScrollBar()->setValue(0);
    UpdateScrollBars();
    EnsureCaretVisible();
    viewport()->update();
}

int RichView::RowsOfLine(int line) {
    if (!m_wordWrap) {
        return 1;
    }
    EnsureRows();
    return RowsOf(line);
}
