#pragma once
// The program's rich-text view: the traffic view, the search output and the send editor.
//
// A line store with style runs (colour, font, size, bold) and virtual painting: only the
// visible lines are laid out and drawn, and on a long line of monospace text only its
// visible columns, so appending or showing a line of 100 KB costs about as much as a
// short one. Insertions only mark the view dirty; it repaints at most once per frame.
//
// The text itself is a TLineStore (richtext/LineStore.h); this widget adds the layout
// (RichViewLayout.cpp), the painting (RichViewPaint.cpp) and the editing by keyboard,
// mouse and clipboard (RichViewEdit.cpp).
//
// Positions: a line and a column in UTF-16 units; an offset counts one character per
// line break. 8-bit text (the TextView calls) is Latin-1; characters beyond U+00FF, which
// loaded rich text may hold, read back as '?'. In 8-bit text only "\r\n" ends a line: a
// lone CR or LF is an ordinary character, so every byte value survives a round trip.
// 8-bit text read back from several lines has "\r\n" between them.

#include "codec/ChecksumNames.h"
#include "codec/ReceivedChecksum.h"
#include "richtext/LineStore.h"
#include "richtext/RichText.h"
#include "traffic/TextView.h"

#include <QAbstractScrollArea>
#include <QBasicTimer>
#include <QColor>
#include <QFont>
#include <QFontMetricsF>
#include <QString>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Rows drawn under the stored lines that carry a note (TStoredLine::note), in a smaller
// font: display only, like the received-checksum marks. Whoever sets the notes keeps their
// rows; the view asks for the rows of the lines it draws only.
class TLineNotes {
public:
    struct Row {
        QString text;
        bool alert = false; // drawn in the bad checksum's red instead of grey
    };
    virtual ~TLineNotes() = default;
    // 0 for a note that is no longer kept.
    virtual int RowCount(uint32_t note) const = 0;
    virtual Row RowOf(uint32_t note, int row) = 0;
    // The tool tip of a row.
    virtual QString Hint(uint32_t note, int row) = 0;
};

// The caret's blink: shown and hidden in turn every PeriodMs, and after StopAfterMs without
// a key, a click or new focus it stays shown and the blink stops, so an idle window does
// not wake twice a second for ever.
class TCaretBlink {
public:
    static constexpr int PeriodMs = 500;
    static constexpr int StopAfterMs = 10000;

    // The caret moved or the view took focus: shown, and blinking for another StopAfterMs.
    void Restart() {
        m_on = true;
        m_elapsedMs = 0;
    }
    // One period passed. Returns whether the blink goes on.
    bool Tick() {
        m_on = !m_on;
        m_elapsedMs += PeriodMs;
        return !(m_on && m_elapsedMs >= StopAfterMs);
    }
    bool On() const { return m_on; }

private:
    bool m_on = true;
    int m_elapsedMs = 0;
};

class RichView : public QAbstractScrollArea, public TextView {
    Q_OBJECT
public:
    explicit RichView(QWidget* parent = nullptr);
    ~RichView() override;

    // Called with every piece of 8-bit text the program inserts (the TextView call) and its
    // colour, before it is shown: what a capture of the view receives.
    std::function<void(std::string_view text, uint32_t color)> OnInserted;

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
    TextRange SelectionRange() const override;
    // Clamped to the text; the view does not scroll for it.
    void SetSelectionRange(const TextRange& range) override;
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
    // Inserts at a position, not for undo, leaving the caret and selection where they are
    // (moved along when after it); returns the position after the new text.
    TTextPos InsertStyledAt(TTextPos at, const StyledText& text);
    // Removes [from, to), not for undo; the caret and selection move along.
    void RemoveRange(TTextPos from, TTextPos to);

    // --- lines, positions, selection ---
    // Stored lines, the empty one after a final line break included (at least 1).
    int StoredLineCount() const { return m_store.Count(); }
    // Visual rows: with word wrap, a wrapped line counts once per row.
    int VisualLineCount();
    // Visual rows of one stored line (1 without word wrap).
    int RowsOfLine(int line);
    const TLineStore& Store() const { return m_store; }
    // The last line is about to grow, piece by piece, to about this many bytes (0: no
    // such line); see TLineStore::ExpectLineBytes.
    void ExpectLineBytes(int64_t bytes) { m_store.ExpectLineBytes(bytes); }
    // The whole text for a reader on another thread (see TLineStore::Share).
    TLineStore::Snapshot Snapshot() const {
        return m_store.Share(const_cast<RichView*>(this)->StyleIndex(m_defaultStyle));
    }
    // The whole text read in slices on this thread (see TLineStore::Reading).
    std::unique_ptr<TLineStore::Reading> BeginReading() const {
        return m_store.BeginReading(const_cast<RichView*>(this)->StyleIndex(m_defaultStyle));
    }
    QString LineString(int line) const;
    // The whole text in Latin-1 with "\n" between lines, so that a position in it is an
    // offset of the view.
    std::string Text() const;
    int64_t TextLength() const { return m_store.TextLength(); }
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

    // --- received checksums ---
    // With a computation, every received hex line (TextAttributes::receivedHex) long enough
    // for it shows its trailing checksum bytes in the good or the bad colour, and a bad one
    // a mark after the line. Display only: the text, and all that reads it, is the same
    // either way. Without one the view paints as if the check did not exist.
    void SetReceivedCheck(std::optional<TChecksumChoice> choice);
    const std::optional<TChecksumChoice>& ReceivedCheck() const { return m_receivedCheck; }
    // The check of a stored line with the computation set; Unchecked without one, for a
    // line that holds no received hex, or one too short. checksumStart is a column.
    TReceivedChecksum CheckOfLine(int line) const;
    // The hint over a point of the viewport: on a checked line's checksum or after its end,
    // the computation, the expected value and (when bad) what came; empty elsewhere.
    QString ReceivedCheckHintAt(QPoint point);
    static QColor GoodChecksumColor() { return QColor(0x00, 0xA0, 0x00); }
    static QColor BadChecksumColor() { return QColor(0xE0, 0x00, 0x00); }

    // --- notes under lines ---
    // Null: no line shows rows under it, whatever notes the lines carry.
    void SetLineNotes(TLineNotes* notes);
    TLineNotes* LineNotes() const { return m_notes; }
    void SetLineNote(int line, uint32_t note);
    uint32_t LineNote(int line) const;
    // Pixels the rows of a line's note take under its last row.
    float NoteHeight(int line) const;
    // The rows of the notes changed: laid out and drawn anew.
    void NotesChanged();
    // The hint of the note row under a point of the viewport; empty elsewhere.
    QString NoteHintAt(QPoint point);
    static QColor NoteColor() { return QColor(0x80, 0x80, 0x80); }

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
    bool viewportEvent(QEvent* event) override;

private:
    // What drawing needs of a style of the store.
    struct Style {
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
    using Pos = TTextPos;
    using Line = TStoredLine;
    using Fragment = TLineStore::Fragment;
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

    int StyleIndex(const TextStyle& def) { return m_store.StyleIndex(def); }
    const Style& StyleOf(int index) const;
    int TypingStyle() const;
    float Advance(const Style& style, QChar ch) const;
    void Measure(Line& line) const;
    // A change of the text within the capacity: recorded for undo, or moving the
    // recorded steps. Returns the position after the new text.
    Pos Edit(Pos from, Pos to, Fragment fragment, bool record, bool typing = false);
    // Replaces [from, to) and forgets the layout of the lines from there on.
    Pos Replace(Pos from, Pos to, Fragment&& fragment);
    void ResetLayout();
    void AdjustHistory(int64_t position, int64_t removed, int64_t inserted);
    // After a change: a user's change shows at once, the program's waits for the frame.
    void ContentChanged(bool followEnd, bool user);
    void TypeText(const QString& text, bool typing);
    void DeleteRange(Pos from, Pos to);
    void DragTo(QPoint point);

    Pos SelectionBegin() const { return std::min(m_anchor, m_caret); }
    Pos SelectionEnd() const { return std::max(m_anchor, m_caret); }
    Pos End() const { return m_store.End(); }
    void MoveCaret(Pos pos, bool extend);
    Pos WordLeft(Pos pos) const;
    Pos WordRight(Pos pos) const;
    QChar CharAt(int line, int col) const { return QChar(m_store.Line(line).text.At(col)); }
    int LineLength(int line) const { return m_store.LineLength(line); }

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
    // A visual row's height, the notes under it included when it is its line's last.
    float RowHeight(int row);
    bool LastRowOfLine(int row, int line);
    const Style& NoteStyle(int line) const;
    void PaintNotes(QPainter& painter, int line, float y);
    int LineOfRow(int row);
    int RowsFitting(int lastRow);
    void ScheduleFrame();
    void RestartBlink();
    // check: the line's received checksum, or nullptr when the view does not check.
    void PaintRow(QPainter& painter, const Row& row, float y, RowMetrics metrics, Pos selFrom,
                  Pos selTo, const TReceivedChecksum* check);

    TLineStore m_store;
    // Drawing styles, by the store's style number; made when first drawn.
    mutable std::vector<Style> m_styles;
    TextStyle m_defaultStyle;
    int m_pendingStyle = -1; // typing style set without a selection; cleared by a caret move

    Pos m_anchor;
    Pos m_caret;
    float m_preferredX = -1;

    // With word wrap: first visual row of each line, valid for the first m_rowsValid.
    std::vector<int> m_rowStarts;
    size_t m_rowsValid = 0;
    float m_wrapWidthUsed = -1;

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
    TCaretBlink m_blink;
    bool m_followEnd = false;
    QBasicTimer m_frameTimer;
    QBasicTimer m_blinkTimer;
    QBasicTimer m_dragTimer;
    QPoint m_dragPoint;
    std::optional<TChecksumChoice> m_receivedCheck;
    TLineNotes* m_notes = nullptr;
    // The notes' font: the line's own, smaller; made anew when that font changes.
    mutable Style m_noteStyle;
    mutable QFont m_noteBase;
};
