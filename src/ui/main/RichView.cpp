// RichView: construction, styles, the text as the program reads and changes it, positions
// and the selection.
#include "ui/main/RichView.h"

#include "ui/main/RichViewShared.h"

#include <QFontInfo>
#include <QScrollBar>

#include <algorithm>
#include <cmath>
#include <utility>

using namespace richview;

RichView::RichView(QWidget* parent) : QAbstractScrollArea(parent) {
    m_store.SetMeasure([this](Line& line) { Measure(line); });
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

const RichView::Style& RichView::StyleOf(int index) const {
    while (static_cast<int>(m_styles.size()) <= index) {
        const TextStyle& def = m_store.Style(static_cast<int>(m_styles.size()));
        Style style;
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
    }
    return m_styles[static_cast<size_t>(index)];
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

void RichView::Measure(Line& line) const {
    line.rows = -1;
    line.uniform = true;
    line.advance = 0;
    const TTextRef text = line.text.Ref();
    const int length = text.Size();
    for (size_t r = 0; r < line.runs.size() && line.uniform; ++r) {
        const Style& style = StyleOf(line.runs[r].style);
        if (style.monoAdvance <= 0 ||
            (line.advance > 0 && std::abs(line.advance - style.monoAdvance) > 0.001f)) {
            line.uniform = false;
            break;
        }
        line.advance = style.monoAdvance;
        if (text.Wide()) {
            char16_t high = 0;
            for (int i = line.runs[r].start, end = line.RunEnd(r); i < end; ++i) {
                high |= text.At(i);
            }
            if (high >= 0x100) {
                line.uniform = false;
            }
        }
    }
    if (line.uniform) {
        line.width = line.advance * static_cast<float>(length);
        return;
    }
    float width = 0;
    for (size_t r = 0; r < line.runs.size(); ++r) {
        const Style& style = StyleOf(line.runs[r].style);
        const int end = line.RunEnd(r);
        for (int i = line.runs[r].start; i < end; ++i) {
            const QChar c(text.At(i));
            if (c.isHighSurrogate() && i + 1 < end) {
                const QChar pair[2] = {c, QChar(text.At(i + 1))};
                width += static_cast<float>(style.metrics.horizontalAdvance(QString(pair, 2)));
                ++i;
            } else {
                width += Advance(style, c);
            }
        }
    }
    line.width = width;
}

int RichView::TypingStyle() const {
    if (m_pendingStyle >= 0) {
        return m_pendingStyle;
    }
    // A line with nothing on it yet starts in the view's own style: the colour that ended the
    // line above (a checksum, say) is not passed on by Return.
    const int style = m_store.LineLength(m_caret.line) == 0 ? -1 : m_store.StyleBefore(m_caret);
    if (style >= 0) {
        return style;
    }
    return const_cast<RichView*>(this)->StyleIndex(m_defaultStyle);
}

TextStyle RichView::CaretStyle() const {
    return m_store.Style(TypingStyle());
}

void RichView::SetDefaultStyle(const TextStyle& style) {
    m_defaultStyle = style;
    const Style& metrics = StyleOf(StyleIndex(style));
    m_rowHeight = metrics.height;
    m_rowAscent = metrics.ascent;
    ScheduleFrame();
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
    Fragment fragment = m_store.Extract(from, to);
    for (Line& line : fragment) {
        for (TStyleRun& run : line.runs) {
            TextStyle style = m_store.Style(run.style);
            style.color = bgr;
            run.style = StyleIndex(style);
        }
    }
    const Pos end = Edit(from, to, std::move(fragment), true);
    m_anchor = from;
    m_caret = end;
    ContentChanged(false, true);
}

// ---------------------------------------------------------------- changes

RichView::Pos RichView::Replace(Pos from, Pos to, Fragment&& fragment) {
    m_rowsValid = std::min(m_rowsValid, static_cast<size_t>(from.line) + 1);
    return m_store.Replace(from, to, std::move(fragment));
}

void RichView::ResetLayout() {
    m_rowsValid = 0;
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

TextRange RichView::SelectionRange() const {
    return TextRange{m_anchor.line, m_anchor.col, m_caret.line, m_caret.col};
}

void RichView::SetSelectionRange(const TextRange& range) {
    const auto clamped = [this](int line, int col) {
        const int l = std::clamp(line, 0, m_store.Count() - 1);
        return Pos{l, std::clamp(col, 0, m_store.LineLength(l))};
    };
    m_anchor = clamped(range.anchorLine, range.anchorColumn);
    m_caret = clamped(range.caretLine, range.caretColumn);
    m_pendingStyle = -1;
    ScheduleFrame();
    emit selectionChanged();
}

void RichView::InsertText(std::string_view text, const TextAttributes& attributes) {
    if (OnInserted) {
        OnInserted(text, attributes.color);
    }
    TextStyle def = m_store.Style(TypingStyle());
    def.fontName = attributes.fontName;
    def.charset = attributes.charset;
    def.color = attributes.color;
    const int style = StyleIndex(def);
    const bool bottomShown = verticalScrollBar()->value() >= verticalScrollBar()->maximum();
    const Pos from = SelectionBegin();
    const Pos end = Edit(from, SelectionEnd(), TLineStore::FragmentFromLatin1(text, style), false);
    // A received payload that ends its line: the line keeps where it starts, for the check.
    if (attributes.receivedHex && text.ends_with("\r\n") && end == Pos{from.line + 1, 0}) {
        m_store.SetReceivedPayload(from.line, from.col);
    }
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
    const int n = m_store.Count();
    return m_store.Line(n - 1).text.Empty() ? n - 1 : n;
}

std::string RichView::LineText(int line) const {
    if (line < 0 || line >= m_store.Count()) {
        return {};
    }
    return m_store.Line(line).text.Latin1(0, LineLength(line));
}

std::string RichView::SelectedText() const {
    return m_store.Latin1(SelectionBegin(), SelectionEnd());
}

int RichView::SelectionLength() const {
    return static_cast<int>(m_store.RangeLength(SelectionBegin(), SelectionEnd()));
}

bool RichView::HasFocus() const {
    return hasFocus();
}
void RichView::SetFocus() {
    setFocus(Qt::OtherFocusReason);
}

void RichView::Clear() {
    m_store.Clear();
    ResetLayout();
    m_anchor = m_caret = Pos{};
    m_undo.clear();
    m_redo.clear();
    verticalScrollBar()->setValue(0);
    horizontalScrollBar()->setValue(0);
    ContentChanged(true, false);
}

// ---------------------------------------------------------------- styled text

StyledText RichView::ToStyledText() const {
    return m_store.Styled(Pos{}, End(), const_cast<RichView*>(this)->StyleIndex(m_defaultStyle));
}

StyledText RichView::SelectionToStyledText() const {
    return m_store.Styled(SelectionBegin(), SelectionEnd(),
                          const_cast<RichView*>(this)->StyleIndex(m_defaultStyle));
}

void RichView::SetStyledText(const StyledText& text) {
    Fragment fragment = m_store.FragmentFromStyled(text);
    m_store.Clear();
    ResetLayout();
    m_undo.clear();
    m_redo.clear();
    Replace(Pos{}, Pos{}, std::move(fragment));
    m_anchor = m_caret = Pos{};
    verticalScrollBar()->setValue(0);
    horizontalScrollBar()->setValue(0);
    ContentChanged(false, false);
}

TTextPos RichView::InsertStyledAt(Pos at, const StyledText& text) {
    at = m_store.Clamp(at);
    const int linesBefore = m_store.Count();
    const Pos end = Edit(at, at, m_store.FragmentFromStyled(text), false);
    // What followed the insertion point moves with it.
    const auto follow = [&](Pos& p) {
        if (p.line > at.line || (p.line == at.line && p.col > at.col)) {
            p = p.line == at.line ? Pos{end.line, end.col + (p.col - at.col)}
                                  : Pos{p.line + m_store.Count() - linesBefore, p.col};
        }
    };
    follow(m_anchor);
    follow(m_caret);
    ContentChanged(false, false);
    return end;
}

void RichView::RemoveRange(Pos from, Pos to) {
    from = m_store.Clamp(from);
    to = m_store.Clamp(to);
    if (!(from < to)) {
        return;
    }
    const int64_t start = m_store.OffsetOf(from);
    const int64_t length = m_store.RangeLength(from, to);
    const int64_t anchor = m_store.OffsetOf(m_anchor);
    const int64_t caret = m_store.OffsetOf(m_caret);
    Edit(from, to, Fragment(1), false);
    const auto moved = [&](int64_t p) {
        return m_store.PosFromOffset(p <= start ? p : std::max(start, p - length));
    };
    m_anchor = moved(anchor);
    m_caret = moved(caret);
    ContentChanged(false, false);
}

void RichView::InsertStyledText(const StyledText& text) {
    const Pos end = Edit(SelectionBegin(), SelectionEnd(), m_store.FragmentFromStyled(text), true);
    m_anchor = m_caret = end;
    ContentChanged(false, true);
}

// ---------------------------------------------------------------- positions

int64_t RichView::CaretPosition() const {
    return m_store.OffsetOf(m_caret);
}
int64_t RichView::SelectionStart() const {
    return m_store.OffsetOf(SelectionBegin());
}
int RichView::LineFromPosition(int64_t position) const {
    return m_store.PosFromOffset(position).line;
}

int64_t RichView::PositionFromLine(int line) const {
    return m_store.OffsetOf({std::clamp(line, 0, m_store.Count() - 1), 0});
}

QString RichView::LineString(int line) const {
    if (line < 0 || line >= m_store.Count()) {
        return {};
    }
    const std::u16string text = m_store.Line(line).text.Utf16(0, LineLength(line));
    return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
}

std::string RichView::Text() const {
    return m_store.Text();
}

int64_t RichView::Find(std::string_view needle, int64_t from, int64_t to, bool matchCase) const {
    return m_store.Find(needle, from, to, matchCase);
}

void RichView::SetSelection(int64_t start, int64_t length) {
    m_anchor = m_store.PosFromOffset(start);
    m_caret = m_store.PosFromOffset(start + std::max<int64_t>(0, length));
    m_pendingStyle = -1;
    m_preferredX = -1;
    EnsureCaretVisible();
    viewport()->update();
    emit selectionChanged();
}

void RichView::SetCaret(int line, int column) {
    m_anchor = m_caret = m_store.Clamp({line, column});
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
    m_caret = m_store.Clamp(pos);
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
        return pos.line > 0 ? Pos{pos.line - 1, LineLength(pos.line - 1)} : pos;
    }
    int c = pos.col;
    while (c > 0 && CharAt(pos.line, c - 1).isSpace()) {
        --c;
    }
    if (c > 0 && IsWordChar(CharAt(pos.line, c - 1))) {
        while (c > 0 && IsWordChar(CharAt(pos.line, c - 1))) {
            --c;
        }
    } else if (c > 0) {
        --c;
    }
    return {pos.line, c};
}

RichView::Pos RichView::WordRight(Pos pos) const {
    const int length = LineLength(pos.line);
    if (pos.col >= length) {
        return pos.line + 1 < m_store.Count() ? Pos{pos.line + 1, 0} : pos;
    }
    int c = pos.col;
    if (IsWordChar(CharAt(pos.line, c))) {
        while (c < length && IsWordChar(CharAt(pos.line, c))) {
            ++c;
        }
    } else if (!CharAt(pos.line, c).isSpace()) {
        ++c;
    }
    while (c < length && CharAt(pos.line, c).isSpace()) {
        ++c;
    }
    return {pos.line, c};
}

void RichView::DeleteFirstLines(int count) {
    if (count <= 0) {
        return;
    }
    if (count >= m_store.Count()) {
        const Pos end = Edit(Pos{}, End(), Fragment(1), false);
        m_anchor = m_caret = end;
        ContentChanged(false, false);
        return;
    }
    if (!m_undo.empty() || !m_redo.empty()) {
        AdjustHistory(0, m_store.OffsetOf({count, 0}), 0);
    }
    // A reader scrolled back keeps seeing the same text; one at the end stays there.
    QScrollBar* vbar = verticalScrollBar();
    const bool atBottom = vbar->value() >= vbar->maximum();
    const int removedRows = FirstRowOfLine(count);
    m_store.DeleteFirstLines(count);
    ResetLayout();
    const auto shift = [count](Pos& p) { p = p.line < count ? Pos{} : Pos{p.line - count, p.col}; };
    shift(m_anchor);
    shift(m_caret);
    if (!atBottom) {
        vbar->setValue(std::max(0, vbar->value() - removedRows));
    }
    ContentChanged(atBottom, false);
}
