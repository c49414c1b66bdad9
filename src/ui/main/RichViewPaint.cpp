// RichView: painting of the visible rows and columns only.
#include "ui/main/RichView.h"

#include "ui/main/RichViewShared.h"

#include <QHelpEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>
#include <QToolTip>

#include <algorithm>
#include <climits>
#include <cmath>

using namespace richview;

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
    const int caretRow = hasFocus() && m_blink.On() ? VisualRowOf(m_caret) : -1;
    int row = first;
    float y = kMargin;
    while (row < total && y < bottom) {
        const Row start = RowAt(row);
        const std::vector<int> starts = m_wordWrap ? WrapLine(start.line) : std::vector<int>{0};
        const int length = m_store.Line(start.line).text.Size();
        const RowMetrics metrics = LineMetrics(start.line);
        std::optional<TReceivedChecksum> check;
        if (m_receivedCheck && m_store.Line(start.line).receivedPayload >= 0) {
            check = CheckOfLine(start.line);
        }
        size_t sub = static_cast<size_t>(std::find(starts.begin(), starts.end(), start.start) -
                                         starts.begin());
        for (; sub < starts.size() && y < bottom; ++sub, ++row) {
            const Row r{start.line, starts[sub],
                        sub + 1 < starts.size() ? starts[sub + 1] : length};
            PaintRow(painter, r, y, metrics, selFrom, selTo, check ? &*check : nullptr);
            if (row == caretRow) {
                const float x = kMargin + XInRow(r.line, r.start, m_caret.col) -
                                static_cast<float>(m_wordWrap ? 0 : horizontalScrollBar()->value());
                painter.fillRect(QRectF(x, y, kCaretWidth, metrics.height),
                                 background.lightness() < 128 ? Qt::white : Qt::black);
            }
            y += metrics.height;
            if (sub + 1 == starts.size() && m_notes != nullptr && m_store.Note(r.line) != 0) {
                PaintNotes(painter, r.line, y);
                y += NoteHeight(r.line);
            }
        }
    }
}

// ---------------------------------------------------------------- notes under lines

void RichView::SetLineNotes(TLineNotes* notes) {
    if (m_notes != notes) {
        m_notes = notes;
        NotesChanged();
    }
}

void RichView::SetLineNote(int line, uint32_t note) {
    if (line < 0 || line >= m_store.Count()) {
        return;
    }
    m_store.SetNote(line, note);
    if (m_notes != nullptr) {
        ScheduleFrame();
    }
}

uint32_t RichView::LineNote(int line) const {
    return line < 0 || line >= m_store.Count() ? 0 : m_store.Note(line);
}

void RichView::NotesChanged() {
    ScheduleFrame();
    viewport()->update();
}

const RichView::Style& RichView::NoteStyle(int index) const {
    const TLineRef line = m_store.Line(index);
    const QFont& base = StyleOf(line.runs.empty() ? TypingStyle() : line.runs.back().style).font;
    if (!(base == m_noteBase) || m_noteStyle.height == 0) {
        m_noteBase = base;
        m_noteStyle.font = base;
        m_noteStyle.font.setBold(false);
        m_noteStyle.font.setPointSizeF(std::max(1.0, base.pointSizeF() * 0.85));
        m_noteStyle.metrics = QFontMetricsF(m_noteStyle.font);
        m_noteStyle.ascent = static_cast<float>(m_noteStyle.metrics.ascent());
        m_noteStyle.height = std::ceil(static_cast<float>(m_noteStyle.metrics.lineSpacing()));
    }
    return m_noteStyle;
}

float RichView::NoteHeight(int line) const {
    if (m_notes == nullptr || line < 0 || line >= m_store.Count()) {
        return 0;
    }
    const uint32_t note = m_store.Note(line);
    const int rows = note == 0 ? 0 : m_notes->RowCount(note);
    return rows == 0 ? 0 : static_cast<float>(rows) * NoteStyle(line).height;
}

void RichView::PaintNotes(QPainter& painter, int line, float y) {
    const uint32_t note = m_store.Note(line);
    const int rows = m_notes->RowCount(note);
    const Style& style = NoteStyle(line);
    const float scroll = static_cast<float>(m_wordWrap ? 0 : horizontalScrollBar()->value());
    // Indented by two of the line's cells, so the rows read as belonging to the line above.
    const TLineRef stored = m_store.Line(line);
    const float indent =
        2 * (stored.uniform && stored.advance > 0
                 ? stored.advance
                 : static_cast<float>(StyleOf(TypingStyle()).metrics.averageCharWidth()));
    // A row wider than what the view scrolls to ends in an ellipsis (its tool tip has it
    // all); with word wrap that is the view's width.
    const float room = static_cast<float>(viewport()->width() + horizontalScrollBar()->maximum()) -
                       kMargin - indent;
    painter.setFont(style.font);
    for (int i = 0; i < rows; ++i) {
        const TLineNotes::Row row = m_notes->RowOf(note, i);
        painter.setPen(row.alert ? BadChecksumColor() : NoteColor());
        painter.drawText(QPointF(kMargin + indent - scroll, y + style.ascent),
                         style.metrics.elidedText(row.text, Qt::ElideRight, room));
        y += style.height;
    }
}

QString RichView::NoteHintAt(QPoint point) {
    if (m_notes == nullptr) {
        return {};
    }
    const int rows = TotalRows();
    float y = kMargin;
    for (int row = verticalScrollBar()->value(); row < rows; ++row) {
        if (static_cast<float>(point.y()) < y) {
            return {};
        }
        const int line = LineOfRow(row);
        y += LineMetrics(line).height;
        const uint32_t note = m_store.Note(line);
        if (note != 0 && LastRowOfLine(row, line)) {
            const float height = NoteStyle(line).height;
            const int count = m_notes->RowCount(note);
            const float below = static_cast<float>(point.y()) - y;
            if (below >= 0 && below < height * static_cast<float>(count)) {
                return m_notes->Hint(note, static_cast<int>(below / height));
            }
            y += height * static_cast<float>(count);
        }
        if (y > static_cast<float>(viewport()->height())) {
            break;
        }
    }
    return {};
}

void RichView::PaintRow(QPainter& painter, const Row& row, float y, RowMetrics metrics, Pos selFrom,
                        Pos selTo, const TReceivedChecksum* check) {
    const TLineRef line = m_store.Line(row.line);
    const float scroll = static_cast<float>(m_wordWrap ? 0 : horizontalScrollBar()->value());
    const float viewWidth = static_cast<float>(viewport()->width());
    const int length = line.text.Size();

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
            const float a =
                Advance(StyleOf(line.runs[line.RunAt(i)].style), QChar(line.text.At(i)));
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
    // The checked checksum's columns take the outcome's colour; everything else is drawn
    // as the style says.
    const bool checked =
        check != nullptr && check->outcome != TReceivedChecksum::Outcome::Unchecked;
    const bool bad = checked && check->outcome == TReceivedChecksum::Outcome::Bad;
    const int checkFrom = checked ? static_cast<int>(check->checksumStart) : INT_MAX;
    const QColor checkColor = bad ? BadChecksumColor() : GoodChecksumColor();

    int currentStyle = -1;
    float x = x0;
    int i = c0;
    while (i < c1) {
        const size_t r = line.RunAt(i);
        const int runEnd = r + 1 < line.runs.size() ? line.runs[r + 1].start : length;
        int end = std::min(runEnd, c1);
        const bool selected = i >= s0 && i < s1;
        if (i < checkFrom) {
            end = std::min(end, checkFrom);
        }
        if (!selected && i < s0) {
            end = std::min(end, s0);
        } else if (selected) {
            end = std::min(end, s1);
        }
        const Style& style = StyleOf(line.runs[r].style);
        QString shown(end - i, Qt::Uninitialized);
        float width = 0;
        for (int k = i; k < end; ++k) {
            shown[k - i] = Shown(QChar(line.text.At(k)));
        }
        if (line.uniform) {
            width = static_cast<float>(end - i) * line.advance;
        } else {
            for (int k = i; k < end; ++k) {
                width += Advance(style, QChar(line.text.At(k)));
            }
        }
        if (selected) {
            painter.fillRect(QRectF(x, y, width, metrics.height), highlight);
        }
        if (currentStyle != line.runs[r].style) {
            painter.setFont(style.font);
            currentStyle = line.runs[r].style;
        }
        painter.setPen(selected ? highlightText : i >= checkFrom ? checkColor : style.color);
        painter.drawText(QPointF(x, y + metrics.ascent), shown);
        x += width;
        i = end;
        if (x > viewWidth) {
            break;
        }
    }
    const auto cellWidth = [&] {
        return line.uniform && line.advance > 0
                   ? line.advance
                   : static_cast<float>(StyleOf(TypingStyle()).metrics.averageCharWidth());
    };
    if (bad && row.end == length) {
        // The mark of a bad checksum: a red disc with a white cross, one cell after the
        // line's end (where a selected line break shows), so it never covers text.
        const float cell = cellWidth();
        const float endX = kMargin + XInRow(row.line, row.start, length) - scroll;
        const float size = std::min(metrics.height - 2, cell * 1.6f);
        const QRectF disc(endX + cell * 1.5f, y + (metrics.height - size) / 2, size, size);
        if (disc.left() < viewWidth) {
            painter.save();
            painter.setRenderHint(QPainter::Antialiasing);
            painter.setPen(Qt::NoPen);
            painter.setBrush(BadChecksumColor());
            painter.drawEllipse(disc);
            painter.setPen(QPen(Qt::white, std::max(1.0, size / 7.0)));
            const qreal inset = size * 0.3;
            const QRectF cross = disc.adjusted(inset, inset, -inset, -inset);
            painter.drawLine(cross.topLeft(), cross.bottomRight());
            painter.drawLine(cross.topRight(), cross.bottomLeft());
            painter.restore();
        }
    }
    if (breakSelected && x <= viewWidth) {
        if (c1 < row.end) {
            return;
        }
        painter.fillRect(QRectF(x, y, cellWidth(), metrics.height), highlight);
    }
}

// ---------------------------------------------------------------- received checksums

void RichView::SetReceivedCheck(std::optional<TChecksumChoice> choice) {
    const bool same = choice.has_value() == m_receivedCheck.has_value() &&
                      (!choice || choice->kind == m_receivedCheck->kind);
    m_receivedCheck = choice;
    if (!same) {
        viewport()->update();
    }
}

TReceivedChecksum RichView::CheckOfLine(int index) const {
    if (!m_receivedCheck || index < 0 || index >= m_store.Count()) {
        return {};
    }
    const TLineRef line = m_store.Line(index);
    const int from = line.receivedPayload;
    if (from < 0 || from > line.text.Size() || line.text.Wide()) {
        return {};
    }
    const std::string_view payload(line.text.Narrow() + from,
                                   static_cast<size_t>(line.text.Size() - from));
    TReceivedChecksum check = CheckReceivedChecksum(payload, m_receivedCheck->algorithm);
    check.checksumStart += static_cast<size_t>(from);
    return check;
}

QString RichView::ReceivedCheckHintAt(QPoint point) {
    if (!m_receivedCheck || TotalRows() == 0) {
        return {};
    }
    const Pos at = PosAtPoint(point);
    const TReceivedChecksum check = CheckOfLine(at.line);
    if (check.outcome == TReceivedChecksum::Outcome::Unchecked ||
        static_cast<size_t>(at.col) < check.checksumStart) {
        return {};
    }
    const QString expected = QString::fromLatin1(m_receivedCheck->name) +
                             QStringLiteral(" expected ") + QString::fromStdString(check.expected);
    if (check.outcome == TReceivedChecksum::Outcome::Good) {
        return QStringLiteral("Checksum good: ") + expected;
    }
    const TLineRef line = m_store.Line(at.line);
    const QString received = QString::fromLatin1(
        line.text.Latin1(static_cast<int>(check.checksumStart), line.text.Size()).c_str());
    return QStringLiteral("Checksum bad: ") + expected + QStringLiteral(", received ") +
           received.simplified().toUpper();
}

bool RichView::viewportEvent(QEvent* event) {
    if (event->type() == QEvent::ToolTip) {
        auto* help = static_cast<QHelpEvent*>(event);
        QString hint = ReceivedCheckHintAt(help->pos());
        if (hint.isEmpty()) {
            hint = NoteHintAt(help->pos());
        }
        if (hint.isEmpty()) {
            QToolTip::hideText();
            event->ignore();
        } else {
            QToolTip::showText(help->globalPos(), hint, viewport());
        }
        return true;
    }
    return QAbstractScrollArea::viewportEvent(event);
}

void RichView::resizeEvent(QResizeEvent* event) {
    QAbstractScrollArea::resizeEvent(event);
    UpdateScrollBars();
}

void RichView::scrollContentsBy(int, int) {
    viewport()->update();
}
