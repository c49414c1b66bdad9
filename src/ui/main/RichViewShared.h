#pragma once
// What the parts of RichView (text, layout, painting, editing) share.

#include "richtext/LineStore.h"

#include <QChar>
#include <QColor>
#include <QString>

#include <cstdint>

namespace richview {

inline constexpr float kMargin = 2; // left and top padding, pixels
inline constexpr float kCaretWidth = 1;

inline QColor FromBgr(uint32_t bgr) {
    return QColor(static_cast<int>(bgr & 0xFF), static_cast<int>((bgr >> 8) & 0xFF),
                  static_cast<int>((bgr >> 16) & 0xFF));
}

// Control characters have no glyph of their own in the fonts we use; a dot keeps their
// column visible and one cell wide.
inline QChar Shown(QChar c) {
    const char16_t u = c.unicode();
    if (u < 0x20 || (u >= 0x7F && u < 0xA0)) {
        return QChar(0x00B7);
    }
    return c;
}

inline bool IsWordChar(QChar c) {
    return c.isLetterOrNumber() || c == QLatin1Char('_');
}

// The two units of a surrogate pair starting at i, to be measured as one character.
inline QString PairAt(const TTextRef& text, int i) {
    const QChar pair[2] = {QChar(text.At(i)), QChar(text.At(i + 1))};
    return QString(pair, 2);
}

} // namespace richview
