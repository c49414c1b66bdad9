// RichView: editing by keyboard, mouse and clipboard, and the undo history.
#include "ui/main/RichView.h"

#include "ui/main/RichViewShared.h"

#include <QClipboard>
#include <QFocusEvent>
#include <QGuiApplication>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QScrollBar>

#include <algorithm>
#include <utility>

using namespace richview;

namespace {

constexpr int kDragScrollMs = 50;
constexpr size_t kUndoDepth = 1000;

bool IsPrintable(const QString& text) {
    return !text.isEmpty() && std::all_of(text.begin(), text.end(), [](QChar c) {
        return c.unicode() >= 0x20 && c.unicode() != 0x7F;
    });
}

} // namespace

RichView::Pos RichView::Edit(Pos from, Pos to, Fragment fragment, bool record, bool typing) {
    const int64_t removed = m_store.RangeLength(from, to);
    int64_t inserted = TLineStore::FragmentLength(fragment);
    const int64_t room = std::max<int64_t>(0, m_maxLength - (TextLength() - removed));
    if (inserted > room) {
        // Cut the fragment to what the capacity leaves.
        int64_t used = 0;
        for (size_t i = 0; i < fragment.size(); ++i) {
            const int64_t length = fragment[i].text.Size();
            if (used + length >= room) {
                Line cut;
                cut.AppendSlice(fragment[i], 0, static_cast<int>(room - used));
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
        inserted = TLineStore::FragmentLength(fragment);
    }
    if (removed == 0 && inserted == 0) {
        return from;
    }
    const bool history = record || !m_undo.empty() || !m_redo.empty();
    const int64_t position = history ? m_store.OffsetOf(from) : 0;
    if (record) {
        m_redo.clear();
        UndoStep* last = m_undo.empty() ? nullptr : &m_undo.back();
        if (typing && removed == 0 && fragment.size() == 1 && last && last->typing &&
            last->removedLength == 0 && last->position + last->insertedLength == position) {
            last->inserted.back().AppendSlice(fragment.front(), 0, fragment.front().text.Size());
            last->insertedLength += inserted;
        } else {
            m_undo.push_back(
                {position, m_store.Extract(from, to), fragment, removed, inserted, typing});
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

// ---------------------------------------------------------------- editing

void RichView::Undo() {
    if (m_readOnly || m_undo.empty()) {
        return;
    }
    UndoStep step = std::move(m_undo.back());
    m_undo.pop_back();
    const Pos from = m_store.PosFromOffset(step.position);
    const Pos to = m_store.PosFromOffset(step.position + step.insertedLength);
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
    const Pos from = m_store.PosFromOffset(step.position);
    const Pos to = m_store.PosFromOffset(step.position + step.removedLength);
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
    std::u16string text;
    for (int l = from.line; l <= to.line; ++l) {
        text += m_store.Line(l).text.Utf16(l == from.line ? from.col : 0,
                                           l == to.line ? to.col : LineLength(l));
        if (l < to.line) {
            text += u'\n';
        }
    }
    QGuiApplication::clipboard()->setText(
        QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size())));
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
    Fragment fragment = TLineStore::FragmentFromUtf16(
        std::u16string_view(reinterpret_cast<const char16_t*>(text.utf16()),
                            static_cast<size_t>(text.size())),
        style);
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
    const TLineRef line = m_store.Line(m_caret.line);
    const bool hasSelection = m_anchor != m_caret;
    switch (event->key()) {
    case Qt::Key_Left:
        if (!shift && hasSelection && !ctrl) {
            MoveCaret(SelectionBegin(), false);
        } else if (ctrl) {
            MoveCaret(WordLeft(m_caret), shift);
        } else if (m_caret.col > 0) {
            int col = m_caret.col - 1;
            if (col > 0 && QChar(line.text.At(col)).isLowSurrogate()) {
                --col;
            }
            MoveCaret({m_caret.line, col}, shift);
        } else if (m_caret.line > 0) {
            MoveCaret({m_caret.line - 1, LineLength(m_caret.line - 1)}, shift);
        }
        m_preferredX = -1;
        return;
    case Qt::Key_Right:
        if (!shift && hasSelection && !ctrl) {
            MoveCaret(SelectionEnd(), false);
        } else if (ctrl) {
            MoveCaret(WordRight(m_caret), shift);
        } else if (m_caret.col < line.text.Size()) {
            int col = m_caret.col + 1;
            if (col < line.text.Size() && QChar(line.text.At(col)).isLowSurrogate()) {
                ++col;
            }
            MoveCaret({m_caret.line, col}, shift);
        } else if (m_caret.line + 1 < m_store.Count()) {
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
            const int length = line.text.Size();
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
            if (col > 0 && QChar(line.text.At(col)).isLowSurrogate()) {
                --col;
            }
            DeleteRange({m_caret.line, col}, m_caret);
        } else if (m_caret.line > 0) {
            DeleteRange({m_caret.line - 1, LineLength(m_caret.line - 1)}, m_caret);
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
        } else if (m_caret.col < line.text.Size()) {
            int col = m_caret.col + 1;
            if (col < line.text.Size() && QChar(line.text.At(col)).isLowSurrogate()) {
                ++col;
            }
            DeleteRange(m_caret, {m_caret.line, col});
        } else if (m_caret.line + 1 < m_store.Count()) {
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
    const TTextRef text = m_store.Line(pos.line).text;
    const int length = text.Size();
    const auto at = [&](int i) { return QChar(text.At(i)); };
    int a = pos.col;
    int b = pos.col;
    if (length > 0) {
        const QChar here = at(std::min(pos.col, length - 1));
        const auto same = [&](QChar c) {
            if (IsWordChar(here)) {
                return IsWordChar(c);
            }
            if (here.isSpace()) {
                return c.isSpace();
            }
            return false;
        };
        a = std::min(pos.col, length - 1);
        b = a + 1;
        while (a > 0 && same(at(a - 1))) {
            --a;
        }
        while (b < length && same(at(b))) {
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
