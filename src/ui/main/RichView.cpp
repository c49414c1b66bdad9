#include "ui/main/RichView.h"

#include <QClipboard>
#include <QFocusEvent>
#include <QFontInfo>
#include <QGuiApplication>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>

#include <algorithm>
#include <cmath>
#include <utility>

namespace {

constexpr float kMargin = 2; // left and top padding, pixels
constexpr float kCaretWidth = 1;
constexpr int kFrameMs = 16; // one repaint per frame at most
constexpr int kBlinkMs = 500;
constexpr int kDragScrollMs = 50;
constexpr size_t kUndoDepth = 1000;

QColor FromBgr(uint32_t bgr) {
    return QColor(static_cast<int>(bgr & 0xFF), static_cast<int>((bgr >> 8) & 0xFF),
                  static_cast<int>((bgr >> 16) & 0xFF));
}

// Control characters have no glyph of their own in the fonts we use; a dot keeps their
// column visible and one cell wide.
QChar Shown(QChar c) {
    const char16_t u = c.unicode();
    if (u < 0x20 || (u >= 0x7F && u < 0xA0)) {
        return QChar(0x00B7);
    }
    return c;
}

bool IsWordChar(QChar c) {
    return c.isLetterOrNumber() || c == QLatin1Char('_');
}

bool IsPrintable(const QString& text) {
    return !text.isEmpty() && std::all_of(text.begin(), text.end(), [](QChar c) {
        return c.unicode() >= 0x20 && c.unicode() != 0x7F;
    });
}

std::string StyleKey(const TextStyle& s) {
    std::string key = s.fontName;
    key += '\x1f';
    key += std::to_string(s.sizeHalfPoints);
    key += s.bold ? "b" : "n";
    key += std::to_string(s.charset);
    key += '/';
    key += std::to_string(s.color);
    return key;
}

} // namespace

RichView::RichView(QWidget* parent) : QAbstractScrollArea(parent) {
    m_lines.emplace_back();
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_InputMethodEnabled);
    viewport()->setCursor(Qt::IBeamCursor);
    viewport()->setMouseTracking(true);
    viewport()->setAttribute(Qt::WA_OpaquePaintEvent);
    // Always there, so that turning word wrap on cannot make the bar come and go as the
    // text reflows.
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    SetDefaultStyle(TextStyle{});
    SetBackgroundColor(0xFFFFFF);
}

RichView::~RichView() = default;

// ---------------------------------------------------------------- styles

int RichView::StyleIndex(const TextStyle& def) {
    const std::string key = StyleKey(def);
    if (const auto found = m_styleIndex.find(key); found != m_styleIndex.end()) {
        return found->second;
    }
    Style style;
    style.def = def;
    style.font = QFont(QString::fromStdString(def.fontName));
    style.font.setPointSizeF(std::clamp(def.sizeHalfPoints, 2, 3276) / 2.0);
    style.font.setBold(def.bold);
    // Kerning would make a run drawn whole wider or narrower than the sum of its
    // characters, and positions are computed from that sum.
    style.font.setKerning(false);
    style.metrics = QFontMetricsF(style.font);
    style.color = FromBgr(def.color);
    style.ascent = static_cast<float>(style.metrics.ascent());
    style.height = std::ceil(static_cast<float>(style.metrics.lineSpacing()));
    if (QFontInfo(style.font).fixedPitch()) {
        // Measured over a long string: what the text engine really advances per cell.
        style.monoAdvance = static_cast<float>(
            style.metrics.horizontalAdvance(QString(64, QLatin1Char('0'))) / 64.0);
    }
    m_styles.push_back(std::move(style));
    const int index = static_cast<int>(m_styles.size()) - 1;
    m_styleIndex.emplace(key, index);
    return index;
}

float RichView::Advance(const Style& style, QChar ch) const {
    const QChar shown = Shown(ch);
    if (style.monoAdvance > 0 && shown.unicode() < 0x100) {
        return style.monoAdvance;
    }
    if (ch.isLowSurrogate()) {
        return 0;
    }
    return static_cast<float>(style.metrics.horizontalAdvance(shown));
}

namespace {
// Index of the run holding column col (runs must not be empty).
template <typename Runs> size_t RunAt(const Runs& runs, int col) {
    const auto it = std::upper_bound(runs.begin(), runs.end(), col,
                                     [](int c, const auto& run) { return c < run.start; });
    return it == runs.begin() ? 0 : static_cast<size_t>(it - runs.begin() - 1);
}
} // namespace

void RichView::Measure(Line& line) const {
    line.rows = -1;
    line.uniform = true;
    line.advance = 0;
    const int length = static_cast<int>(line.text.size());
    const char16_t* text = reinterpret_cast<const char16_t*>(line.text.constData());
    for (size_t r = 0; r < line.runs.size() && line.uniform; ++r) {
        const Style& style = StyleOf(line.runs[r].style);
        const int end = r + 1 < line.runs.size() ? line.runs[r + 1].start : length;
        if (style.monoAdvance <= 0 ||
            (line.advance > 0 && std::abs(line.advance - style.monoAdvance) > 0.001f)) {
            line.uniform = false;
            break;
        }
        line.advance = style.monoAdvance;
        char16_t high = 0;
        for (int i = line.runs[r].start; i < end; ++i) {
            high |= text[i];
        }
        if (high >= 0x100) {
            line.uniform = false;
        }
    }
    if (line.uniform) {
        line.width = line.advance * static_cast<float>(length);
        return;
    }
    float width = 0;
    for (size_t r = 0; r < line.runs.size(); ++r) {
        const Style& style = StyleOf(line.runs[r].style);
        const int end = r + 1 < line.runs.size() ? line.runs[r + 1].start : length;
        for (int i = line.runs[r].start; i < end; ++i) {
            const QChar c = line.text[i];
            if (c.isHighSurrogate() && i + 1 < end) {
                width += static_cast<float>(
                    style.metrics.horizontalAdvance(QString(line.text.constData() + i, 2)));
                ++i;
            } else {
                width += Advance(style, c);
            }
        }
    }
    line.width = width;
}

int RichView::StyleAtPos(Pos pos) const {
    const Line& line = m_lines[static_cast<size_t>(pos.line)];
    if (!line.runs.empty()) {
        return line.runs[RunAt(line.runs, std::max(0, pos.col - 1))].style;
    }
    if (pos.line > 0 && !m_lines[static_cast<size_t>(pos.line) - 1].runs.empty()) {
        return m_lines[static_cast<size_t>(pos.line) - 1].runs.back().style;
    }
    return -1;
}

int RichView::TypingStyle() const {
    if (m_pendingStyle >= 0) {
        return m_pendingStyle;
    }
    const int style = StyleAtPos(m_caret);
    if (style >= 0) {
        return style;
    }
    return const_cast<RichView*>(this)->StyleIndex(m_defaultStyle);
}

TextStyle RichView::CaretStyle() const {
    return StyleOf(TypingStyle()).def;
}

void RichView::SetDefaultStyle(const TextStyle& style) {
    m_defaultStyle = style;
    const Style& metrics = StyleOf(StyleIndex(style));
    m_rowHeight = metrics.height;
    m_rowAscent = metrics.ascent;
    ScheduleFrame();
}

RichView::RowMetrics RichView::LineMetrics(int index) const {
    const Line& line = m_lines[static_cast<size_t>(index)];
    if (line.runs.empty()) {
        return {m_rowHeight, m_rowAscent};
    }
    float ascent = 0;
    float below = 0;
    for (const Run& run : line.runs) {
        const Style& style = StyleOf(run.style);
        ascent = std::max(ascent, style.ascent);
        below = std::max(below, style.height - style.ascent);
    }
    return {std::ceil(ascent + below), ascent};
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
        used += LineMetrics(LineOfRow(row)).height;
        if (used > room && count > 0) {
            break;
        }
        ++count;
    }
    return std::max(1, count);
}

void RichView::SetTextColor(uint32_t bgr) {
    TextStyle style = m_defaultStyle;
    style.color = bgr;
    SetDefaultStyle(style);
}

void RichView::SetBackgroundColor(uint32_t bgr) {
    m_background = bgr;
    QPalette palette = viewport()->palette();
    palette.setColor(QPalette::Base, FromBgr(bgr));
    viewport()->setPalette(palette);
    viewport()->update();
}

void RichView::SetSelectionColor(uint32_t bgr) {
    if (m_anchor == m_caret) {
        TextStyle style = CaretStyle();
        style.color = bgr;
        m_pendingStyle = StyleIndex(style);
        return;
    }
    const Pos from = SelectionBegin();
    const Pos to = SelectionEnd();
    Fragment fragment = Extract(from, to);
    for (Line& line : fragment) {
        for (Run& run : line.runs) {
            TextStyle style = StyleOf(run.style).def;
            style.color = bgr;
            run.style = StyleIndex(style);
        }
    }
    const Pos end = Edit(from, to, std::move(fragment), true);
    m_anchor = from;
    m_caret = end;
    ContentChanged(false, true);
}

// ---------------------------------------------------------------- line building

void RichView::Append(Line& line, QStringView text, int style) {
    if (text.isEmpty()) {
        return;
    }
    if (line.runs.empty() || line.runs.back().style != style) {
        line.runs.push_back({static_cast<int>(line.text.size()), style});
    }
    line.text.append(text);
}

void RichView::AppendSlice(Line& line, const Line& source, int from, int to) {
    if (from >= to || source.runs.empty()) {
        return;
    }
    const int length = static_cast<int>(source.text.size());
    for (size_t r = RunAt(source.runs, from); r < source.runs.size(); ++r) {
        const int start = std::max(from, source.runs[r].start);
        const int end =
            std::min(to, r + 1 < source.runs.size() ? source.runs[r + 1].start : length);
        if (start >= to) {
            break;
        }
        if (start < end) {
            Append(line, QStringView(source.text).mid(start, end - start), source.runs[r].style);
        }
    }
}

int64_t RichView::FragmentLength(const Fragment& fragment) {
    int64_t length = static_cast<int64_t>(fragment.size()) - 1;
    for (const Line& line : fragment) {
        length += line.text.size();
    }
    return length;
}

RichView::Fragment RichView::Extract(Pos from, Pos to) const {
    Fragment fragment;
    for (int l = from.line; l <= to.line; ++l) {
        const Line& line = m_lines[static_cast<size_t>(l)];
        fragment.emplace_back();
        AppendSlice(fragment.back(), line, l == from.line ? from.col : 0,
                    l == to.line ? to.col : static_cast<int>(line.text.size()));
    }
    return fragment;
}

RichView::Pos RichView::Replace(Pos from, Pos to, Fragment&& fragment) {
    const Line& first = m_lines[static_cast<size_t>(from.line)];
    const Line& last = m_lines[static_cast<size_t>(to.line)];
    const int lastLength = static_cast<int>(last.text.size());
    std::vector<Line> lines;
    lines.reserve(fragment.size());
    Pos end;
    Line head;
    head.text.reserve(from.col + fragment.front().text.size() +
                      (fragment.size() == 1 ? lastLength - to.col : 0));
    AppendSlice(head, first, 0, from.col);
    AppendSlice(head, fragment.front(), 0, static_cast<int>(fragment.front().text.size()));
    if (fragment.size() == 1) {
        end = {from.line, static_cast<int>(head.text.size())};
        AppendSlice(head, last, to.col, lastLength);
        lines.push_back(std::move(head));
    } else {
        lines.push_back(std::move(head));
        for (size_t i = 1; i + 1 < fragment.size(); ++i) {
            lines.push_back(std::move(fragment[i]));
        }
        Line tail;
        tail.text.reserve(fragment.back().text.size() + lastLength - to.col);
        AppendSlice(tail, fragment.back(), 0, static_cast<int>(fragment.back().text.size()));
        end = {from.line + static_cast<int>(fragment.size()) - 1,
               static_cast<int>(tail.text.size())};
        AppendSlice(tail, last, to.col, lastLength);
        lines.push_back(std::move(tail));
    }
    for (Line& line : lines) {
        Measure(line);
    }
    ReplaceLines(from.line, to.line - from.line + 1, std::move(lines));
    return end;
}

void RichView::ReplaceLines(int first, int count, std::vector<Line>&& lines) {
    for (int i = first; i < first + count; ++i) {
        const Line& old = m_lines[static_cast<size_t>(i)];
        m_totalChars -= old.text.size();
        if (old.width >= m_maxWidth) {
            m_maxWidthStale = true;
        }
    }
    for (const Line& line : lines) {
        m_totalChars += line.text.size();
        m_maxWidth = std::max(m_maxWidth, line.width);
    }
    const int n = static_cast<int>(lines.size());
    const int common = std::min(count, n);
    const auto at = m_lines.begin() + first;
    for (int i = 0; i < common; ++i) {
        at[i] = std::move(lines[static_cast<size_t>(i)]);
    }
    if (n > count) {
        m_lines.insert(m_lines.begin() + first + count,
                       std::make_move_iterator(lines.begin() + count),
                       std::make_move_iterator(lines.end()));
    } else if (n < count) {
        m_lines.erase(m_lines.begin() + first + n, m_lines.begin() + first + count);
    }
    m_offsetsValid = std::min(m_offsetsValid, static_cast<size_t>(first) + 1);
    m_rowsValid = std::min(m_rowsValid, static_cast<size_t>(first) + 1);
}

RichView::Pos RichView::Edit(Pos from, Pos to, Fragment fragment, bool record, bool typing) {
    const int64_t removed = RangeLength(from, to);
    int64_t inserted = FragmentLength(fragment);
    const int64_t room = std::max<int64_t>(0, m_maxLength - (TextLength() - removed));
    if (inserted > room) {
        // Cut the fragment to what the capacity leaves.
        int64_t used = 0;
        for (size_t i = 0; i < fragment.size(); ++i) {
            const int64_t length = fragment[i].text.size();
            if (used + length >= room) {
                Line cut;
                AppendSlice(cut, fragment[i], 0, static_cast<int>(room - used));
                fragment[i] = std::move(cut);
                fragment.resize(i + 1);
                break;
            }
            used += length;
            if (used + 1 > room) {
                fragment.resize(i + 1);
                break;
            }
            ++used;
        }
        inserted = FragmentLength(fragment);
    }
    if (removed == 0 && inserted == 0) {
        return from;
    }
    const bool history = record || !m_undo.empty() || !m_redo.empty();
    const int64_t position = history ? OffsetOf(from) : 0;
    if (record) {
        m_redo.clear();
        UndoStep* last = m_undo.empty() ? nullptr : &m_undo.back();
        if (typing && removed == 0 && fragment.size() == 1 && last && last->typing &&
            last->removedLength == 0 && last->position + last->insertedLength == position) {
            AppendSlice(last->inserted.back(), fragment.front(), 0,
                        static_cast<int>(fragment.front().text.size()));
            last->insertedLength += inserted;
        } else {
            m_undo.push_back({position, Extract(from, to), fragment, removed, inserted, typing});
            if (m_undo.size() > kUndoDepth) {
                m_undo.erase(m_undo.begin());
            }
        }
    } else if (history) {
        AdjustHistory(position, removed, inserted);
    }
    return Replace(from, to, std::move(fragment));
}

void RichView::AdjustHistory(int64_t position, int64_t removed, int64_t inserted) {
    // A change the user cannot undo moves the steps after it; one inside a step's text
    // makes the history meaningless.
    const auto shift = [&](std::vector<UndoStep>& steps, bool undoSide) {
        for (UndoStep& step : steps) {
            const int64_t span = undoSide ? step.insertedLength : step.removedLength;
            if (position >= step.position + span) {
                continue;
            }
            if (position + removed <= step.position) {
                step.position += inserted - removed;
                continue;
            }
            return false;
        }
        return true;
    };
    if (!shift(m_undo, true) || !shift(m_redo, false)) {
        m_undo.clear();
        m_redo.clear();
    }
}

void RichView::ContentChanged(bool followEnd, bool user) {
    if (user) {
        m_pendingStyle = -1;
        m_preferredX = -1;
        UpdateScrollBars();
        EnsureCaretVisible();
        RestartBlink();
        viewport()->update();
    } else {
        m_followEnd = m_followEnd || followEnd;
        ScheduleFrame();
    }
    if (m_changeDepth > 0) {
        m_changePending = true;
        return;
    }
    emit changed();
    emit selectionChanged();
}

void RichView::EndChange() {
    if (m_changeDepth > 0 && --m_changeDepth == 0 && m_changePending) {
        m_changePending = false;
        emit changed();
        emit selectionChanged();
    }
}

// ---------------------------------------------------------------- TextView

void RichView::MoveCaretToEnd() {
    const bool hadSelection = m_anchor != m_caret;
    m_anchor = m_caret = End();
    m_pendingStyle = -1;
    if (hadSelection) {
        ScheduleFrame();
    }
}

void RichView::InsertText(std::string_view text, const TextAttributes& attributes) {
    TextStyle def = StyleOf(TypingStyle()).def;
    def.fontName = attributes.fontName;
    def.charset = attributes.charset;
    def.color = attributes.color;
    const int style = StyleIndex(def);
    Fragment fragment(1);
    size_t start = 0;
    while (true) {
        size_t at = text.find("\r\n", start);
        const size_t end = at == std::string_view::npos ? text.size() : at;
        Append(fragment.back(),
               QString::fromLatin1(text.data() + start, static_cast<qsizetype>(end - start)),
               style);
        if (at == std::string_view::npos) {
            break;
        }
        fragment.emplace_back();
        start = at + 2;
    }
    const bool bottomShown = verticalScrollBar()->value() >= verticalScrollBar()->maximum();
    const Pos end = Edit(SelectionBegin(), SelectionEnd(), std::move(fragment), false);
    m_anchor = m_caret = end;
    ContentChanged(bottomShown && m_caret == End(), false);
}

int RichView::CaretLine() const {
    return m_caret.line;
}
int RichView::CaretColumn() const {
    return m_caret.col;
}

int RichView::LineCount() const {
    const int n = static_cast<int>(m_lines.size());
    return m_lines.back().text.isEmpty() ? n - 1 : n;
}

std::string RichView::LineText(int line) const {
    if (line < 0 || line >= static_cast<int>(m_lines.size())) {
        return {};
    }
    return m_lines[static_cast<size_t>(line)].text.toLatin1().toStdString();
}

std::string RichView::SelectedText() const {
    return Latin1(SelectionBegin(), SelectionEnd());
}

int RichView::SelectionLength() const {
    return static_cast<int>(RangeLength(SelectionBegin(), SelectionEnd()));
}

int64_t RichView::RangeLength(Pos from, Pos to) const {
    if (from.line == to.line) {
        return to.col - from.col;
    }
    int64_t length = m_lines[static_cast<size_t>(from.line)].text.size() - from.col + to.col;
    for (int l = from.line + 1; l < to.line; ++l) {
        length += m_lines[static_cast<size_t>(l)].text.size();
    }
    return length + (to.line - from.line);
}

bool RichView::HasFocus() const {
    return hasFocus();
}
void RichView::SetFocus() {
    setFocus(Qt::OtherFocusReason);
}

void RichView::Clear() {
    m_lines.clear();
    m_lines.emplace_back();
    m_totalChars = 0;
    m_offsetsValid = 0;
    m_rowsValid = 0;
    m_maxWidth = 0;
    m_maxWidthStale = false;
    m_anchor = m_caret = Pos{};
    m_undo.clear();
    m_redo.clear();
    verticalScrollBar()->setValue(0);
    horizontalScrollBar()->setValue(0);
    ContentChanged(true, false);
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

std::string RichView::Latin1(Pos from, Pos to) const {
    std::string out;
    for (int l = from.line; l <= to.line; ++l) {
        const QString& text = m_lines[static_cast<size_t>(l)].text;
        const int a = l == from.line ? from.col : 0;
        const int b = l == to.line ? to.col : static_cast<int>(text.size());
        out += QStringView(text).mid(a, b - a).toLatin1().toStdString();
        if (l < to.line) {
            out += "\r\n";
        }
    }
    return out;
}

// ---------------------------------------------------------------- styled text

RichView::Fragment RichView::FragmentFromStyled(const StyledText& text) {
    Fragment fragment(1);
    for (const StyledRun& run : text) {
        const int style = StyleIndex(run.style);
        const QString s = QString::fromStdString(run.text);
        qsizetype start = 0;
        while (true) {
            const qsizetype at = s.indexOf(QLatin1Char('\n'), start);
            const qsizetype end = at < 0 ? s.size() : at;
            Append(fragment.back(), QStringView(s).mid(start, end - start), style);
            if (at < 0) {
                break;
            }
            fragment.emplace_back();
            start = at + 1;
        }
    }
    return fragment;
}

StyledText RichView::StyledFromRange(Pos from, Pos to) const {
    StyledText out;
    int previous = -1;
    const auto push = [&](std::string text, int style) {
        if (text.empty()) {
            return;
        }
        previous = style;
        const TextStyle& def = StyleOf(style).def;
        if (!out.empty() && out.back().style == def) {
            out.back().text += text;
        } else {
            out.push_back({std::move(text), def});
        }
    };
    for (int l = from.line; l <= to.line; ++l) {
        const Line& line = m_lines[static_cast<size_t>(l)];
        const int a = l == from.line ? from.col : 0;
        const int b = l == to.line ? to.col : static_cast<int>(line.text.size());
        if (!line.runs.empty()) {
            for (size_t r = RunAt(line.runs, a); r < line.runs.size(); ++r) {
                const int start = std::max(a, line.runs[r].start);
                const int end =
                    std::min(b, r + 1 < line.runs.size() ? line.runs[r + 1].start
                                                         : static_cast<int>(line.text.size()));
                if (start >= b) {
                    break;
                }
                push(QStringView(line.text).mid(start, end - start).toUtf8().toStdString(),
                     line.runs[r].style);
            }
        }
        if (l < to.line) {
            // The line end takes the style of the text before it.
            push("\n", previous >= 0 ? previous
                                     : const_cast<RichView*>(this)->StyleIndex(m_defaultStyle));
        }
    }
    return out;
}

StyledText RichView::ToStyledText() const {
    return StyledFromRange(Pos{}, End());
}

StyledText RichView::SelectionToStyledText() const {
    return StyledFromRange(SelectionBegin(), SelectionEnd());
}

void RichView::SetStyledText(const StyledText& text) {
    Fragment fragment = FragmentFromStyled(text);
    m_lines.clear();
    m_lines.emplace_back();
    m_totalChars = 0;
    m_offsetsValid = 0;
    m_rowsValid = 0;
    m_maxWidth = 0;
    m_maxWidthStale = false;
    m_undo.clear();
    m_redo.clear();
    Replace(Pos{}, Pos{}, std::move(fragment));
    m_anchor = m_caret = Pos{};
    verticalScrollBar()->setValue(0);
    horizontalScrollBar()->setValue(0);
    ContentChanged(false, false);
}

void RichView::InsertStyledText(const StyledText& text) {
    const Pos end = Edit(SelectionBegin(), SelectionEnd(), FragmentFromStyled(text), true);
    m_anchor = m_caret = end;
    ContentChanged(false, true);
}

// ---------------------------------------------------------------- positions

RichView::Pos RichView::End() const {
    return {static_cast<int>(m_lines.size()) - 1, static_cast<int>(m_lines.back().text.size())};
}

RichView::Pos RichView::Clamp(Pos pos) const {
    pos.line = std::clamp(pos.line, 0, static_cast<int>(m_lines.size()) - 1);
    pos.col = std::clamp(pos.col, 0,
                         static_cast<int>(m_lines[static_cast<size_t>(pos.line)].text.size()));
    return pos;
}

void RichView::EnsureOffsets() const {
    const size_t n = m_lines.size();
    if (m_offsetsValid >= n && m_lineOffsets.size() == n) {
        return;
    }
    m_lineOffsets.resize(n);
    if (m_offsetsValid == 0) {
        m_lineOffsets[0] = 0;
        m_offsetsValid = 1;
    }
    for (size_t i = m_offsetsValid; i < n; ++i) {
        m_lineOffsets[i] = m_lineOffsets[i - 1] + m_lines[i - 1].text.size() + 1;
    }
    m_offsetsValid = n;
}

int64_t RichView::OffsetOf(Pos pos) const {
    EnsureOffsets();
    return m_lineOffsets[static_cast<size_t>(pos.line)] + pos.col;
}

RichView::Pos RichView::PosFromOffset(int64_t offset) const {
    EnsureOffsets();
    offset = std::clamp<int64_t>(offset, 0, TextLength());
    const auto it = std::upper_bound(m_lineOffsets.begin(), m_lineOffsets.end(), offset);
    const int line = static_cast<int>(it - m_lineOffsets.begin()) - 1;
    return Clamp({line, static_cast<int>(offset - m_lineOffsets[static_cast<size_t>(line)])});
}

int64_t RichView::CaretPosition() const {
    return OffsetOf(m_caret);
}
int64_t RichView::SelectionStart() const {
    return OffsetOf(SelectionBegin());
}
int RichView::LineFromPosition(int64_t position) const {
    return PosFromOffset(position).line;
}

int64_t RichView::PositionFromLine(int line) const {
    return OffsetOf({std::clamp(line, 0, static_cast<int>(m_lines.size()) - 1), 0});
}

QString RichView::LineString(int line) const {
    if (line < 0 || line >= static_cast<int>(m_lines.size())) {
        return {};
    }
    return m_lines[static_cast<size_t>(line)].text;
}

std::string RichView::Text() const {
    std::string out;
    out.reserve(static_cast<size_t>(TextLength()));
    for (size_t l = 0; l < m_lines.size(); ++l) {
        if (l > 0) {
            out += '\n';
        }
        out += m_lines[l].text.toLatin1().toStdString();
    }
    return out;
}

int64_t RichView::Find(std::string_view needle, int64_t from, int64_t to, bool matchCase) const {
    to = std::min(to, TextLength());
    from = std::max<int64_t>(0, from);
    if (needle.empty() || from >= to) {
        return -1;
    }
    const QString wanted =
        QString::fromLatin1(needle.data(), static_cast<qsizetype>(needle.size()));
    const int n = static_cast<int>(wanted.size());
    // Without case, only a-z fold: accented letters compare as they are.
    const auto fold = [matchCase](char16_t c) {
        return !matchCase && c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c;
    };
    std::vector<char16_t> key(static_cast<size_t>(n));
    for (int k = 0; k < n; ++k) {
        key[static_cast<size_t>(k)] = fold(wanted[k].unicode());
    }
    EnsureOffsets();
    const Pos start = PosFromOffset(from);
    for (size_t l = static_cast<size_t>(start.line); l < m_lines.size(); ++l) {
        const int64_t lineStart = m_lineOffsets[l];
        if (lineStart >= to) {
            break;
        }
        const char16_t* text = reinterpret_cast<const char16_t*>(m_lines[l].text.constData());
        const int limit =
            static_cast<int>(std::min<int64_t>(m_lines[l].text.size(), to - lineStart));
        for (int i = l == static_cast<size_t>(start.line) ? start.col : 0; i + n <= limit; ++i) {
            if (fold(text[i]) != key[0]) {
                continue;
            }
            int k = 1;
            while (k < n && fold(text[i + k]) == key[static_cast<size_t>(k)]) {
                ++k;
            }
            if (k == n) {
                return lineStart + i;
            }
        }
    }
    return -1;
}

void RichView::SetSelection(int64_t start, int64_t length) {
    m_anchor = PosFromOffset(start);
    m_caret = PosFromOffset(start + std::max<int64_t>(0, length));
    m_pendingStyle = -1;
    m_preferredX = -1;
    EnsureCaretVisible();
    viewport()->update();
    emit selectionChanged();
}

void RichView::SetCaret(int line, int column) {
    m_anchor = m_caret = Clamp({line, column});
    m_pendingStyle = -1;
    m_preferredX = -1;
    EnsureCaretVisible();
    viewport()->update();
    emit selectionChanged();
}

void RichView::SelectAll() {
    m_anchor = Pos{};
    m_caret = End();
    m_pendingStyle = -1;
    viewport()->update();
    emit selectionChanged();
}

void RichView::MoveCaret(Pos pos, bool extend) {
    m_caret = Clamp(pos);
    if (!extend) {
        m_anchor = m_caret;
    }
    m_pendingStyle = -1;
    RestartBlink();
    EnsureCaretVisible();
    viewport()->update();
    emit selectionChanged();
}

RichView::Pos RichView::WordLeft(Pos pos) const {
    if (pos.col == 0) {
        return pos.line > 0
                   ? Pos{pos.line - 1,
                         static_cast<int>(m_lines[static_cast<size_t>(pos.line) - 1].text.size())}
                   : pos;
    }
    const QString& text = m_lines[static_cast<size_t>(pos.line)].text;
    int c = pos.col;
    while (c > 0 && text[c - 1].isSpace()) {
        --c;
    }
    if (c > 0 && IsWordChar(text[c - 1])) {
        while (c > 0 && IsWordChar(text[c - 1])) {
            --c;
        }
    } else if (c > 0) {
        --c;
    }
    return {pos.line, c};
}

RichView::Pos RichView::WordRight(Pos pos) const {
    const QString& text = m_lines[static_cast<size_t>(pos.line)].text;
    const int length = static_cast<int>(text.size());
    if (pos.col >= length) {
        return pos.line + 1 < static_cast<int>(m_lines.size()) ? Pos{pos.line + 1, 0} : pos;
    }
    int c = pos.col;
    if (IsWordChar(text[c])) {
        while (c < length && IsWordChar(text[c])) {
            ++c;
        }
    } else if (!text[c].isSpace()) {
        ++c;
    }
    while (c < length && text[c].isSpace()) {
        ++c;
    }
    return {pos.line, c};
}

void RichView::DeleteFirstLines(int count) {
    const int n = static_cast<int>(m_lines.size());
    if (count <= 0) {
        return;
    }
    if (count >= n) {
        const Pos end = Edit(Pos{}, End(), Fragment(1), false);
        m_anchor = m_caret = end;
        ContentChanged(false, false);
        return;
    }
    int64_t chars = 0;
    for (int i = 0; i < count; ++i) {
        chars += m_lines[static_cast<size_t>(i)].text.size();
    }
    if (!m_undo.empty() || !m_redo.empty()) {
        AdjustHistory(0, chars + count, 0);
    }
    // A reader scrolled back keeps seeing the same text; one at the end stays there.
    QScrollBar* vbar = verticalScrollBar();
    const bool atBottom = vbar->value() >= vbar->maximum();
    const int removedRows = FirstRowOfLine(count);
    m_lines.erase(m_lines.begin(), m_lines.begin() + count);
    m_totalChars -= chars;
    m_offsetsValid = 0;
    m_rowsValid = 0;
    m_maxWidthStale = true;
    const auto shift = [count](Pos& p) { p = p.line < count ? Pos{} : Pos{p.line - count, p.col}; };
    shift(m_anchor);
    shift(m_caret);
    if (!atBottom) {
        vbar->setValue(std::max(0, vbar->value() - removedRows));
    }
    ContentChanged(atBottom, false);
}

// ---------------------------------------------------------------- editing

void RichView::Undo() {
    if (m_readOnly || m_undo.empty()) {
        return;
    }
    UndoStep step = std::move(m_undo.back());
    m_undo.pop_back();
    const Pos from = PosFromOffset(step.position);
    const Pos to = PosFromOffset(step.position + step.insertedLength);
    m_anchor = m_caret = Replace(from, to, Fragment(step.removed));
    m_redo.push_back(std::move(step));
    ContentChanged(false, true);
}

void RichView::Redo() {
    if (m_readOnly || m_redo.empty()) {
        return;
    }
    UndoStep step = std::move(m_redo.back());
    m_redo.pop_back();
    const Pos from = PosFromOffset(step.position);
    const Pos to = PosFromOffset(step.position + step.removedLength);
    m_anchor = m_caret = Replace(from, to, Fragment(step.inserted));
    step.typing = false;
    m_undo.push_back(std::move(step));
    ContentChanged(false, true);
}

void RichView::Copy() const {
    if (m_anchor == m_caret) {
        return;
    }
    const Pos from = SelectionBegin();
    const Pos to = SelectionEnd();
    QString text;
    for (int l = from.line; l <= to.line; ++l) {
        const QString& line = m_lines[static_cast<size_t>(l)].text;
        const int a = l == from.line ? from.col : 0;
        const int b = l == to.line ? to.col : static_cast<int>(line.size());
        text += QStringView(line).mid(a, b - a);
        if (l < to.line) {
            text += QLatin1Char('\n');
        }
    }
    QGuiApplication::clipboard()->setText(text);
}

void RichView::Cut() {
    if (m_readOnly || m_anchor == m_caret) {
        return;
    }
    Copy();
    TypeText(QString(), false);
}

void RichView::Paste() {
    if (m_readOnly) {
        return;
    }
    QString text = QGuiApplication::clipboard()->text();
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    if (!text.isEmpty()) {
        TypeText(text, false);
    }
}

void RichView::TypeText(const QString& text, bool typing) {
    const int style = TypingStyle();
    Fragment fragment(1);
    qsizetype start = 0;
    while (true) {
        const qsizetype at = text.indexOf(QLatin1Char('\n'), start);
        const qsizetype end = at < 0 ? text.size() : at;
        Append(fragment.back(), QStringView(text).mid(start, end - start), style);
        if (at < 0) {
            break;
        }
        fragment.emplace_back();
        start = at + 1;
    }
    const Pos end = Edit(SelectionBegin(), SelectionEnd(), std::move(fragment), true, typing);
    m_anchor = m_caret = end;
    ContentChanged(false, true);
}

void RichView::DeleteRange(Pos from, Pos to) {
    if (from == to) {
        return;
    }
    const Pos end = Edit(std::min(from, to), std::max(from, to), Fragment(1), true);
    m_anchor = m_caret = end;
    ContentChanged(false, true);
}

// ---------------------------------------------------------------- layout

float RichView::WrapWidth() const {
    return std::max(16.0f, static_cast<float>(viewport()->width()) - 2 * kMargin - kCaretWidth);
}

std::vector<int> RichView::WrapLine(int index) const {
    std::vector<int> starts{0};
    const Line& line = m_lines[static_cast<size_t>(index)];
    const float width = WrapWidth();
    if (!m_wordWrap || line.width <= width) {
        return starts;
    }
    const int length = static_cast<int>(line.text.size());
    if (line.uniform) {
        // The same rule as below with columns: a row holds cols characters plus any
        // blanks that follow, and breaks after its last blank when it has one.
        const int cols = std::max(1, static_cast<int>(width / line.advance));
        const QChar* text = line.text.constData();
        int rowStart = 0;
        while (true) {
            int i = rowStart + cols;
            while (i < length && text[i] == QLatin1Char(' ')) {
                ++i;
            }
            if (i >= length) {
                break;
            }
            int brk = i;
            while (brk > rowStart && text[brk - 1] != QLatin1Char(' ')) {
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
        const QChar c = line.text[i];
        if (c.isHighSurrogate() && i + 1 < length) {
            return static_cast<float>(
                style.metrics.horizontalAdvance(QString(line.text.constData() + i, 2)));
        }
        return Advance(style, c);
    };
    float x = 0;
    int rowStart = 0;
    int lastBreak = -1;
    for (int i = 0; i < length; ++i) {
        const QChar c = line.text[i];
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
    Line& line = m_lines[static_cast<size_t>(index)];
    if (line.rows < 0) {
        line.rows = line.width <= WrapWidth() ? 1 : static_cast<int>(WrapLine(index).size());
    }
    return line.rows;
}

void RichView::EnsureRows() {
    const float width = WrapWidth();
    if (width != m_wrapWidthUsed) {
        for (Line& line : m_lines) {
            line.rows = -1;
        }
        m_rowsValid = 0;
        m_wrapWidthUsed = width;
    }
    const size_t n = m_lines.size();
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
        return static_cast<int>(m_lines.size());
    }
    EnsureRows();
    return m_rowStarts[m_lines.size()];
}

int RichView::VisualLineCount() {
    const int rows = TotalRows();
    return m_lines.back().text.isEmpty() ? rows - 1 : rows;
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
        const int line = std::clamp(visualRow, 0, static_cast<int>(m_lines.size()) - 1);
        return {line, 0, static_cast<int>(m_lines[static_cast<size_t>(line)].text.size())};
    }
    EnsureRows();
    visualRow = std::clamp(visualRow, 0, m_rowStarts[m_lines.size()] - 1);
    const auto it = std::upper_bound(m_rowStarts.begin(), m_rowStarts.end(), visualRow);
    const int line = static_cast<int>(it - m_rowStarts.begin()) - 1;
    const std::vector<int> starts = WrapLine(line);
    const size_t sub = static_cast<size_t>(visualRow - m_rowStarts[static_cast<size_t>(line)]);
    const int length = static_cast<int>(m_lines[static_cast<size_t>(line)].text.size());
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
    const Line& line = m_lines[static_cast<size_t>(index)];
    if (line.uniform) {
        return static_cast<float>(col - rowStart) * line.advance;
    }
    float x = 0;
    for (int i = rowStart; i < col; ++i) {
        const Style& style = StyleOf(line.runs[RunAt(line.runs, i)].style);
        const QChar c = line.text[i];
        if (c.isHighSurrogate() && i + 1 < col) {
            x += static_cast<float>(
                style.metrics.horizontalAdvance(QString(line.text.constData() + i, 2)));
            ++i;
        } else {
            x += Advance(style, c);
        }
    }
    return x;
}

int RichView::ColumnAtX(const Row& row, float x) const {
    const Line& line = m_lines[static_cast<size_t>(row.line)];
    const int length = static_cast<int>(line.text.size());
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
            const Style& style = StyleOf(line.runs[RunAt(line.runs, i)].style);
            const float a = Advance(style, line.text[i]);
            if (x < at + a / 2) {
                col = i;
                break;
            }
            at += a;
        }
    }
    col = std::clamp(col, row.start, last);
    if (col > 0 && col < length && line.text[col].isLowSurrogate()) {
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
        y += LineMetrics(LineOfRow(row)).height;
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
    if (m_maxWidthStale) {
        m_maxWidth = 0;
        for (const Line& line : m_lines) {
            m_maxWidth = std::max(m_maxWidth, line.width);
        }
        m_maxWidthStale = false;
    }
    const int content = static_cast<int>(std::ceil(m_maxWidth + 2 * kMargin + kCaretWidth));
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
    m_caretOn = true;
    if (hasFocus()) {
        m_blinkTimer.start(kBlinkMs, this);
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
        m_caretOn = !m_caretOn;
        viewport()->update();
    } else {
        QAbstractScrollArea::timerEvent(event);
    }
}

// ---------------------------------------------------------------- painting

void RichView::paintEvent(QPaintEvent* event) {
    QPainter painter(viewport());
    const QColor background = FromBgr(m_background);
    painter.fillRect(event->rect(), background);
    const int total = TotalRows();
    const int first = verticalScrollBar()->value();
    const float bottom = static_cast<float>(viewport()->height());
    const Pos selFrom = SelectionBegin();
    const Pos selTo = SelectionEnd();
    const int caretRow = hasFocus() && m_caretOn ? VisualRowOf(m_caret) : -1;
    int row = first;
    float y = kMargin;
    while (row < total && y < bottom) {
        const Row start = RowAt(row);
        const std::vector<int> starts = m_wordWrap ? WrapLine(start.line) : std::vector<int>{0};
        const int length = static_cast<int>(m_lines[static_cast<size_t>(start.line)].text.size());
        const RowMetrics metrics = LineMetrics(start.line);
        size_t sub = static_cast<size_t>(std::find(starts.begin(), starts.end(), start.start) -
                                         starts.begin());
        for (; sub < starts.size() && y < bottom; ++sub, ++row) {
            const Row r{start.line, starts[sub],
                        sub + 1 < starts.size() ? starts[sub + 1] : length};
            PaintRow(painter, r, y, metrics, selFrom, selTo);
            if (row == caretRow) {
                const float x = kMargin + XInRow(r.line, r.start, m_caret.col) -
                                static_cast<float>(m_wordWrap ? 0 : horizontalScrollBar()->value());
                painter.fillRect(QRectF(x, y, kCaretWidth, metrics.height),
                                 background.lightness() < 128 ? Qt::white : Qt::black);
            }
            y += metrics.height;
        }
    }
}

void RichView::PaintRow(QPainter& painter, const Row& row, float y, RowMetrics metrics, Pos selFrom,
                        Pos selTo) {
    const Line& line = m_lines[static_cast<size_t>(row.line)];
    const float scroll = static_cast<float>(m_wordWrap ? 0 : horizontalScrollBar()->value());
    const float viewWidth = static_cast<float>(viewport()->width());
    const int length = static_cast<int>(line.text.size());

    // Visible columns [c0, c1) and the x of c0 in viewport coordinates.
    int c0 = row.start;
    int c1 = row.end;
    float x0 = kMargin - scroll;
    if (line.uniform && line.advance > 0) {
        const float adv = line.advance;
        c0 = row.start + std::max(0, static_cast<int>(std::floor((scroll - kMargin) / adv)));
        c0 = std::min(c0, row.end);
        c1 = std::min(row.end,
                      row.start + static_cast<int>(std::ceil((scroll + viewWidth) / adv)) + 1);
        x0 = kMargin + static_cast<float>(c0 - row.start) * adv - scroll;
    } else {
        float x = kMargin - scroll;
        int i = row.start;
        while (i < row.end) {
            const float a = Advance(StyleOf(line.runs[RunAt(line.runs, i)].style), line.text[i]);
            if (x + a >= 0) {
                break;
            }
            x += a;
            ++i;
        }
        c0 = i;
        x0 = x;
    }

    // Selected columns of this row, and whether the line end is selected.
    const Pos rowFrom{row.line, row.start};
    const Pos rowTo{row.line, row.end};
    int s0 = row.end;
    int s1 = row.end;
    if (selFrom < selTo && selFrom <= rowTo && selTo >= rowFrom) {
        s0 = selFrom.line < row.line ? row.start : std::clamp(selFrom.col, row.start, row.end);
        s1 = selTo.line > row.line ? row.end : std::clamp(selTo.col, row.start, row.end);
    }
    const bool breakSelected =
        selTo.line > row.line && row.end == length && selFrom <= Pos{row.line, length};
    const QPalette& pal = palette();
    const QColor highlight = pal.color(QPalette::Active, QPalette::Highlight);
    const QColor highlightText = pal.color(QPalette::Active, QPalette::HighlightedText);

    int currentStyle = -1;
    float x = x0;
    int i = c0;
    while (i < c1) {
        const size_t r = RunAt(line.runs, i);
        const int runEnd = r + 1 < line.runs.size() ? line.runs[r + 1].start : length;
        int end = std::min(runEnd, c1);
        const bool selected = i >= s0 && i < s1;
        if (!selected && i < s0) {
            end = std::min(end, s0);
        } else if (selected) {
            end = std::min(end, s1);
        }
        const Style& style = StyleOf(line.runs[r].style);
        QString shown(end - i, Qt::Uninitialized);
        float width = 0;
        for (int k = i; k < end; ++k) {
            shown[k - i] = Shown(line.text[k]);
        }
        if (line.uniform) {
            width = static_cast<float>(end - i) * line.advance;
        } else {
            for (int k = i; k < end; ++k) {
                width += Advance(style, line.text[k]);
            }
        }
        if (selected) {
            painter.fillRect(QRectF(x, y, width, metrics.height), highlight);
        }
        if (currentStyle != line.runs[r].style) {
            painter.setFont(style.font);
            currentStyle = line.runs[r].style;
        }
        painter.setPen(selected ? highlightText : style.color);
        painter.drawText(QPointF(x, y + metrics.ascent), shown);
        x += width;
        i = end;
        if (x > viewWidth) {
            break;
        }
    }
    if (breakSelected && x <= viewWidth) {
        if (c1 < row.end) {
            return;
        }
        const float cell =
            line.uniform && line.advance > 0
                ? line.advance
                : static_cast<float>(StyleOf(TypingStyle()).metrics.averageCharWidth());
        painter.fillRect(QRectF(x, y, cell, metrics.height), highlight);
    }
}

void RichView::resizeEvent(QResizeEvent* event) {
    QAbstractScrollArea::resizeEvent(event);
    UpdateScrollBars();
}

void RichView::scrollContentsBy(int, int) {
    viewport()->update();
}

// ---------------------------------------------------------------- input

bool RichView::event(QEvent* event) {
    if (event->type() == QEvent::ShortcutOverride) {
        // Editing keys belong to the view while it has the focus, not to menu shortcuts.
        auto* key = static_cast<QKeyEvent*>(event);
        const bool ctrl = key->modifiers() & Qt::ControlModifier;
        if (key->matches(QKeySequence::Copy) || key->matches(QKeySequence::Cut) ||
            key->matches(QKeySequence::Paste) || key->matches(QKeySequence::Undo) ||
            key->matches(QKeySequence::Redo) || key->matches(QKeySequence::SelectAll) ||
            (ctrl && key->key() == Qt::Key_Y) || (!ctrl && IsPrintable(key->text()))) {
            key->accept();
            return true;
        }
    }
    return QAbstractScrollArea::event(event);
}

void RichView::keyPressEvent(QKeyEvent* event) {
    const bool shift = event->modifiers() & Qt::ShiftModifier;
    const bool ctrl = event->modifiers() & Qt::ControlModifier;
    if (event->matches(QKeySequence::SelectAll)) {
        SelectAll();
        return;
    }
    if (event->matches(QKeySequence::Copy)) {
        Copy();
        return;
    }
    if (event->matches(QKeySequence::Cut)) {
        Cut();
        return;
    }
    if (event->matches(QKeySequence::Paste)) {
        Paste();
        return;
    }
    if (event->matches(QKeySequence::Undo)) {
        Undo();
        return;
    }
    if (event->matches(QKeySequence::Redo) || (ctrl && event->key() == Qt::Key_Y)) {
        Redo();
        return;
    }
    const float preferredX = m_preferredX;
    const auto vertical = [&](int delta) {
        const int row = VisualRowOf(m_caret);
        const Row r = RowAt(row);
        const float x = preferredX >= 0 ? preferredX : XInRow(r.line, r.start, m_caret.col);
        const int target = row + delta;
        if (target < 0) {
            MoveCaret(Pos{}, shift);
        } else if (target >= TotalRows()) {
            MoveCaret(End(), shift);
        } else {
            const Row t = RowAt(target);
            MoveCaret({t.line, ColumnAtX(t, x)}, shift);
        }
        m_preferredX = x;
    };
    const Line& line = m_lines[static_cast<size_t>(m_caret.line)];
    const bool hasSelection = m_anchor != m_caret;
    switch (event->key()) {
    case Qt::Key_Left:
        if (!shift && hasSelection && !ctrl) {
            MoveCaret(SelectionBegin(), false);
        } else if (ctrl) {
            MoveCaret(WordLeft(m_caret), shift);
        } else if (m_caret.col > 0) {
            int col = m_caret.col - 1;
            if (col > 0 && line.text[col].isLowSurrogate()) {
                --col;
            }
            MoveCaret({m_caret.line, col}, shift);
        } else if (m_caret.line > 0) {
            MoveCaret(
                {m_caret.line - 1,
                 static_cast<int>(m_lines[static_cast<size_t>(m_caret.line) - 1].text.size())},
                shift);
        }
        m_preferredX = -1;
        return;
    case Qt::Key_Right:
        if (!shift && hasSelection && !ctrl) {
            MoveCaret(SelectionEnd(), false);
        } else if (ctrl) {
            MoveCaret(WordRight(m_caret), shift);
        } else if (m_caret.col < line.text.size()) {
            int col = m_caret.col + 1;
            if (col < line.text.size() && line.text[col].isLowSurrogate()) {
                ++col;
            }
            MoveCaret({m_caret.line, col}, shift);
        } else if (m_caret.line + 1 < static_cast<int>(m_lines.size())) {
            MoveCaret({m_caret.line + 1, 0}, shift);
        }
        m_preferredX = -1;
        return;
    case Qt::Key_Up:
        vertical(-1);
        return;
    case Qt::Key_Down:
        vertical(1);
        return;
    case Qt::Key_PageUp:
    case Qt::Key_PageDown: {
        const int page = std::max(1, verticalScrollBar()->pageStep());
        const int delta = event->key() == Qt::Key_PageUp ? -page : page;
        verticalScrollBar()->setValue(verticalScrollBar()->value() + delta);
        vertical(delta);
        return;
    }
    case Qt::Key_Home:
        if (ctrl) {
            MoveCaret(Pos{}, shift);
        } else {
            MoveCaret({m_caret.line, RowAt(VisualRowOf(m_caret)).start}, shift);
        }
        m_preferredX = -1;
        return;
    case Qt::Key_End:
        if (ctrl) {
            MoveCaret(End(), shift);
        } else {
            const Row r = RowAt(VisualRowOf(m_caret));
            const int length = static_cast<int>(line.text.size());
            MoveCaret({m_caret.line, r.end < length && r.end > r.start ? r.end - 1 : r.end}, shift);
        }
        m_preferredX = -1;
        return;
    case Qt::Key_Backspace:
        if (m_readOnly) {
            return;
        }
        if (hasSelection) {
            TypeText(QString(), false);
        } else if (ctrl) {
            DeleteRange(WordLeft(m_caret), m_caret);
        } else if (m_caret.col > 0) {
            int col = m_caret.col - 1;
            if (col > 0 && line.text[col].isLowSurrogate()) {
                --col;
            }
            DeleteRange({m_caret.line, col}, m_caret);
        } else if (m_caret.line > 0) {
            DeleteRange(
                {m_caret.line - 1,
                 static_cast<int>(m_lines[static_cast<size_t>(m_caret.line) - 1].text.size())},
                m_caret);
        }
        return;
    case Qt::Key_Delete:
        if (m_readOnly) {
            return;
        }
        if (hasSelection) {
            TypeText(QString(), false);
        } else if (ctrl) {
            DeleteRange(m_caret, WordRight(m_caret));
        } else if (m_caret.col < line.text.size()) {
            int col = m_caret.col + 1;
            if (col < line.text.size() && line.text[col].isLowSurrogate()) {
                ++col;
            }
            DeleteRange(m_caret, {m_caret.line, col});
        } else if (m_caret.line + 1 < static_cast<int>(m_lines.size())) {
            DeleteRange(m_caret, {m_caret.line + 1, 0});
        }
        return;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        if (!m_readOnly) {
            TypeText(QStringLiteral("\n"), false);
        }
        return;
    case Qt::Key_Insert:
        if (shift) {
            Paste();
        } else if (ctrl) {
            Copy();
        }
        return;
    default:
        break;
    }
    const QString text = event->text();
    if (IsPrintable(text) && (!ctrl || (event->modifiers() & Qt::AltModifier))) {
        if (!m_readOnly) {
            TypeText(text, true);
        }
        return;
    }
    QAbstractScrollArea::keyPressEvent(event);
}

void RichView::inputMethodEvent(QInputMethodEvent* event) {
    if (!m_readOnly && !event->commitString().isEmpty()) {
        TypeText(event->commitString(), true);
    }
    event->accept();
}

QVariant RichView::inputMethodQuery(Qt::InputMethodQuery query) const {
    if (query == Qt::ImEnabled) {
        return !m_readOnly;
    }
    return QAbstractScrollArea::inputMethodQuery(query);
}

void RichView::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        setFocus(Qt::MouseFocusReason);
        const Pos pos = PosAtPoint(event->position().toPoint());
        m_dragging = true;
        MoveCaret(pos, event->modifiers() & Qt::ShiftModifier);
        m_preferredX = -1;
    } else {
        setFocus(Qt::MouseFocusReason);
    }
    if (OnMouseDown) {
        OnMouseDown();
    }
}

void RichView::mouseMoveEvent(QMouseEvent* event) {
    if (m_dragging && (event->buttons() & Qt::LeftButton)) {
        m_dragPoint = event->position().toPoint();
        DragTo(m_dragPoint);
        // Held outside the view, the selection goes on growing as the view scrolls.
        if (viewport()->rect().contains(m_dragPoint)) {
            m_dragTimer.stop();
        } else if (!m_dragTimer.isActive()) {
            m_dragTimer.start(kDragScrollMs, this);
        }
    }
    if (OnMouseMove) {
        OnMouseMove();
    }
}

void RichView::DragTo(QPoint point) {
    const Pos pos = PosAtPoint(point);
    if (pos != m_caret) {
        MoveCaret(pos, true);
    }
}

void RichView::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        m_dragging = false;
        m_dragTimer.stop();
    }
    if (OnMouseUp) {
        const QPoint global = event->globalPosition().toPoint();
        OnMouseUp(event->modifiers() & Qt::ControlModifier, global.x(), global.y());
    }
}

void RichView::mouseDoubleClickEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        return;
    }
    const Pos pos = PosAtPoint(event->position().toPoint());
    const QString& text = m_lines[static_cast<size_t>(pos.line)].text;
    const int length = static_cast<int>(text.size());
    int a = pos.col;
    int b = pos.col;
    if (length > 0) {
        const int at = std::min(pos.col, length - 1);
        const auto same = [&](QChar c) {
            if (IsWordChar(text[at])) {
                return IsWordChar(c);
            }
            if (text[at].isSpace()) {
                return c.isSpace();
            }
            return false;
        };
        a = at;
        b = at + 1;
        while (a > 0 && same(text[a - 1])) {
            --a;
        }
        while (b < length && same(text[b])) {
            ++b;
        }
    }
    m_anchor = {pos.line, a};
    MoveCaret({pos.line, b}, true);
    m_dragging = false;
    if (OnMouseDown) {
        OnMouseDown();
    }
}

void RichView::focusInEvent(QFocusEvent* event) {
    QAbstractScrollArea::focusInEvent(event);
    RestartBlink();
    viewport()->update();
    emit focusIn();
}

void RichView::focusOutEvent(QFocusEvent* event) {
    QAbstractScrollArea::focusOutEvent(event);
    m_blinkTimer.stop();
    m_dragTimer.stop();
    m_dragging = false;
    viewport()->update();
}
