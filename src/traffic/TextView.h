#pragma once
// What the traffic engine needs of a rich-text view. The traffic view, the send editor
// and the search output implement it; engine tests use an in-memory view.
//
// Text is 8-bit: one byte is one character (Latin-1 in the Qt views), so every byte
// value, 0x00, CR and LF included, survives a round trip. Lines are separated by the
// view's own line breaks; an inserted "\r\n" ends a line.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

struct TextAttributes {
    std::string fontName = "Courier New";
    int charset = 0;    // 0: the single-byte code page
    uint32_t color = 0; // 0x00BBGGRR
    // The text is a received payload in hex, ending its line: a view may check the
    // checksum that ends it. Nothing of the text changes for it.
    bool receivedHex = false;
};

// Where a selection starts (anchor) and where the caret is, as 0-based lines and columns.
struct TextRange {
    int anchorLine = 0;
    int anchorColumn = 0;
    int caretLine = 0;
    int caretColumn = 0;
};

class TextView {
public:
    virtual ~TextView() = default;

    // Moves the caret to the very end of the text and clears the selection.
    virtual void MoveCaretToEnd() = 0;
    // Replaces the current selection (or inserts at the caret) with text in the given
    // attributes; the font size stays as the view has it. No undo record is needed.
    virtual void InsertText(std::string_view text, const TextAttributes& attributes) = 0;

    // 0-based caret line and column (column in characters).
    virtual int CaretLine() const = 0;
    virtual int CaretColumn() const = 0;
    virtual int LineCount() const = 0;
    // The text of a 0-based line without its line break; empty when out of range.
    virtual std::string LineText(int line) const = 0;
    virtual std::string SelectedText() const = 0;
    virtual int SelectionLength() const = 0;

    // The selection as it stands, and setting it back after text was appended at the end;
    // a view that cannot do so keeps the caret at the end.
    virtual TextRange SelectionRange() const { return TextRange{}; }
    virtual void SetSelectionRange(const TextRange& range) { (void)range; }

    virtual bool HasFocus() const = 0;
    virtual void SetFocus() = 0;
    virtual void Clear() = 0;
    virtual void SetWordWrap(bool on) = 0;

    // Brackets insertions that make one change together, such as a traffic line's prefix
    // and payload: a view that tells others of its changes tells them once, after the
    // outermost EndChange, so nobody acts on half a line. Views without such listeners
    // need do nothing.
    virtual void BeginChange() {}
    virtual void EndChange() {}

    // Mouse hooks the engine installs on every view. The views call them on their own
    // mouse events; ctrlHeld and the global cursor position accompany a release.
    std::function<void()> OnMouseDown;
    std::function<void()> OnMouseMove;
    std::function<void(bool ctrlHeld, int globalX, int globalY)> OnMouseUp;
};

// BeginChange for the life of the object, EndChange when it ends, exceptions included.
class TextViewChange {
public:
    explicit TextViewChange(TextView& view) : m_view(view) { m_view.BeginChange(); }
    ~TextViewChange() { m_view.EndChange(); }
    TextViewChange(const TextViewChange&) = delete;
    TextViewChange& operator=(const TextViewChange&) = delete;

private:
    TextView& m_view;
};
