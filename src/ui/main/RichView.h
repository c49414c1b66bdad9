#pragma once
// The program's rich-text view: the traffic view, the search output and the send editor.
//
// A line store with style runs (colour, font, size, bold) and virtual painting: only the
// visible lines are laid out and drawn, and on a long line of monospace text only its
// visible columns, so appending or showing a line of 100 KB costs about as much as a
// short one. Insertions only mark the view dirty; it repaints at most once per frame.
//
// Positions: a line and a column in UTF-16 units; an offset counts one character per
// line break. 8-bit text (the TextView calls) is Latin-1; characters beyond U+00FF, which
// loaded rich text may hold, read back as '?'. In 8-bit text only "\r\n" ends a line: a
// lone CR or LF is an ordinary character, so every byte value survives a round trip.
// 8-bit text read back from several lines has "\r\n" between them.

#include "richtext/RichText.h"
#include "traffic/TextView.h"

#include <QAbstractScrollArea>
#include <QBasicTimer>
#include <QColor>
#include <QFont>
#include <QFontMetricsF>
#include <QString>

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

class RichView : public QAbstractScrollArea, public TextView {
    Q_OBJECT
public:
    explicit RichView(QWidget* parent = nullptr);
    ~RichView() override;

    // --- TextView ---
    void MoveCaretToEnd() override;
    void InsertText(std::string_view text, const TextAttributes& attributes) override;
    int CaretLine() const override;
    int CaretColumn() const override;
    // Lines as a reader counts them: an empty last line after the final line break does
    // not count, so a view holding "a\r\nb\r\n" has 2 lines. Word wrap does not change it.
    int LineCount() const override;
    std::string LineText(int line) const override;
    std::string SelectedText() const override;
    int SelectionLength() const override;
    bool HasFocus() const override;
    void SetFocus() override;
    void Clear() override;
    void SetWordWrap(bool on) override;
    void BeginChange() override { ++m_changeDepth; }
    void EndChange() override;

    // --- styled content (UTF-8, "\n" ends a line) ---
    StyledText ToStyledText() const;
    StyledText SelectionToStyledText() const;
    // Replaces the whole content; the caret goes to the start, the undo history is cleared.
    void SetStyledText(const StyledText& text);
    // Replaces the selection (or inserts at the caret), as one step the user can undo.
    void InsertStyledText(const StyledText& text);

    // --- lines, positions, selection ---
    // Stored lines, the empty one after a final line break included (at least 1).
    int StoredLineCount() const { return static_cast<int>(m_lines.size()); }
    // Visual rows: with word wrap, a wrapped line counts once per row.
    int VisualLineCount();
    QString LineString(int line) const;
    // The whole text in Latin-1 with "\n" between lines, so that a position in it is an
    // offset of the view.
    std::string Text() const;
    int64_t TextLength() const { return m_totalChars + static_cast<int64_t>(m_lines.size()) - 1; }
    int64_t CaretPosition() const;
    int64_t SelectionStart() const;
    int LineFromPosition(int64_t position) const;
    int64_t PositionFromLine(int line) const;
    // Offset of the first occurrence of a Latin-1 needle that starts at or after from and
    // ends by to, within one line; -1 if none. Without matchCase only a-z and A-Z are
    // taken as equal.
    int64_t Find(std::string_view needle, int64_t from, int64_t to, bool matchCase) const;
    // Selects length characters from start (both clamped); the caret ends at the far end.
    void SetSelection(int64_t start, int64_t length);
    void SetCaret(int line, int column);
    void SelectAll();
    void EnsureCaretVisible();
    // Deletes lines [0, count) with their line breaks; what the view keeps moves up.
    void DeleteFirstLines(int count);

    // --- editing ---
    void SetReadOnly(bool readOnly) { m_readOnly = readOnly; }
    bool IsReadOnly() const { return m_readOnly; }
    void SetMaxLength(int64_t characters) { m_maxLength = characters; }
    int64_t MaxLength() const { return m_maxLength; }
    void Undo();
    void Redo();
    bool CanUndo() const { return !m_undo.empty(); }
    bool CanRedo() const { return !m_redo.empty(); }
    void Cut();
    void Copy() const;
    void Paste();

    // --- appearance ---
    bool WordWrap() const { return m_wordWrap; }
    void SetBackgroundColor(uint32_t bgr);
    uint32_t BackgroundColor() const { return m_background; }
    // Font and colour of an empty view and of typing where no text gives a style.
    void SetDefaultStyle(const TextStyle& style);
    const TextStyle& DefaultStyle() const { return m_defaultStyle; }
    void SetTextColor(uint32_t bgr);
    // Colours the selected text; without a selection, what is typed next at the caret.
    void SetSelectionColor(uint32_t bgr);
    // The style of the character before the caret (what typing continues with).
    TextStyle CaretStyle() const;

    // Does at once what waits for the next frame (scroll bars, following the end) and
    // repaints. For measurements and tests; the view does it by itself otherwise.
    void FlushPaint();

signals:
    // After every change of the text, by the user or by the program; once for the changes
    // between BeginChange and EndChange.
    void changed();
    void selectionChanged();
    void focusIn();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;
    void keyPressEvent(QKeyEvent* event) override;
    void inputMethodEvent(QInputMethodEvent* event) override;
    QVariant inputMethodQuery(Qt::InputMethodQuery query) const override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void timerEvent(QTimerEvent* event) override;
    bool event(QEvent* event) override;

private:
    struct Run {
        int start;
        int style;
    };
    struct Line {
        QString text;
        std::vector<Run> runs; // cover the text; none for an empty line
        float width = 0;       // pixels, unwrapped
        int rows = -1;         // visual rows with word wrap; -1 unknown
        // Every character has the same advance: columns are arithmetic.
        bool uniform = true;
        float advance = 0; // that advance when uniform
    };
    struct Style {
        TextStyle def;
        QFont font;
        QFontMetricsF metrics{QFont()};
        QColor color;
        float monoAdvance = 0; // 0: proportional font
        float ascent = 0;
        float height = 0; // of a row in this style
    };
    // A line's rows are as high as its highest style; an empty line takes the default.
    struct RowMetrics {
        float height;
        float ascent;
    };
    struct Pos {
        int line = 0;
        int col = 0;
        auto operator<=>(const Pos&) const = default;
    };
    // Text between line breaks; a fragment of n lines holds n - 1 breaks.
    using Fragment = std::vector<Line>;
    struct UndoStep {
        int64_t position;
        Fragment removed;
        Fragment inserted;
        int64_t removedLength;
        int64_t insertedLength;
        bool typing = false;
    };
    struct Row {
        int line;
        int start;
        int end;
    };

    int StyleIndex(const TextStyle& def);
    const Style& StyleOf(int index) const { return m_styles[static_cast<size_t>(index)]; }
    int StyleAtPos(Pos pos) const;
    int TypingStyle() const;
    float Advance(const Style& style, QChar ch) const;
    void Measure(Line& line) const;
    static void Append(Line& line, QStringView text, int style);
    static void AppendSlice(Line& line, const Line& source, int from, int to);
    static int64_t FragmentLength(const Fragment& fragment);
    int64_t RangeLength(Pos from, Pos to) const;
    Fragment Extract(Pos from, Pos to) const;
    Fragment FragmentFromStyled(const StyledText& text);
    StyledText StyledFromRange(Pos from, Pos to) const;
    // Replaces [from, to) by the fragment; returns the position after it.
    Pos Replace(Pos from, Pos to, Fragment&& fragment);
    void ReplaceLines(int first, int count, std::vector<Line>&& lines);
    // A change of the text within the capacity: recorded for undo, or moving the
    // recorded steps. Returns the position after the new text.
    Pos Edit(Pos from, Pos to, Fragment fragment, bool record, bool typing = false);
    void AdjustHistory(int64_t position, int64_t removed, int64_t inserted);
    // After a change: a user's change shows at once, the program's waits for the frame.
    void ContentChanged(bool followEnd, bool user);
    void TypeText(const QString& text, bool typing);
    void DeleteRange(Pos from, Pos to);
    void DragTo(QPoint point);

    Pos SelectionBegin() const { return std::min(m_anchor, m_caret); }
    Pos SelectionEnd() const { return std::max(m_anchor, m_caret); }
    Pos End() const;
    Pos PosFromOffset(int64_t offset) const;
    int64_t OffsetOf(Pos pos) const;
    void EnsureOffsets() const;
    void MoveCaret(Pos pos, bool extend);
    Pos Clamp(Pos pos) const;
    Pos WordLeft(Pos pos) const;
    Pos WordRight(Pos pos) const;
    std::string Latin1(Pos from, Pos to) const;

    // Layout.
    float WrapWidth() const;
    std::vector<int> WrapLine(int line) const;
    int RowsOf(int line);
    void EnsureRows();
    int TotalRows();
    int FirstRowOfLine(int line);
    Row RowAt(int visualRow);
    int VisualRowOf(Pos pos);
    float XInRow(int line, int rowStart, int col) const;
    int ColumnAtX(const Row& row, float x) const;
    Pos PosAtPoint(QPoint point);
    void UpdateScrollBars();
    RowMetrics LineMetrics(int line) const;
    int LineOfRow(int row);
    int RowsFitting(int lastRow);
    void ScheduleFrame();
    void RestartBlink();
    void PaintRow(QPainter& painter, const Row& row, float y, RowMetrics metrics, Pos selFrom,
                  Pos selTo);

    std::deque<Line> m_lines;
    int64_t m_totalChars = 0;
    std::vector<Style> m_styles;
    std::unordered_map<std::string, int> m_styleIndex;
    TextStyle m_defaultStyle;
    int m_pendingStyle = -1; // typing style set without a selection; cleared by a caret move

    Pos m_anchor;
    Pos m_caret;
    float m_preferredX = -1;

    // Offsets of line starts, valid for the first m_offsetsValid lines.
    mutable std::vector<int64_t> m_lineOffsets;
    mutable size_t m_offsetsValid = 0;
    // With word wrap: first visual row of each line, valid for the first m_rowsValid.
    std::vector<int> m_rowStarts;
    size_t m_rowsValid = 0;
    float m_wrapWidthUsed = -1;

    float m_maxWidth = 0;
    bool m_maxWidthStale = false;
    float m_rowHeight = 14; // of the default style
    float m_rowAscent = 11;

    std::vector<UndoStep> m_undo;
    std::vector<UndoStep> m_redo;

    int m_changeDepth = 0;
    bool m_changePending = false; // a change inside BeginChange/EndChange not yet told

    bool m_readOnly = false;
    bool m_wordWrap = false;
    int64_t m_maxLength = INT64_MAX;
    uint32_t m_background = 0xFFFFFF;
    bool m_dragging = false;
    bool m_caretOn = true;
    bool m_followEnd = false;
    QBasicTimer m_frameTimer;
    QBasicTimer m_blinkTimer;
    QBasicTimer m_dragTimer;
    QPoint m_dragPoint;
};
