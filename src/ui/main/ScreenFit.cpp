#include "ui/main/ScreenFit.h"

#include <QApplication>
#include <QWidget>

#include <algorithm>

namespace {

bool FrameKnown(const QWidget* window) {
    return window != nullptr && window->isVisible() &&
           window->frameGeometry() != window->geometry();
}

QMargins MarginsOf(const QWidget* window) {
    const QRect frame = window->frameGeometry();
    const QRect client = window->geometry();
    return QMargins(client.left() - frame.left(), client.top() - frame.top(),
                    frame.right() - client.right(), frame.bottom() - client.bottom());
}

} // namespace

QMargins FrameMargins(const QWidget* window) {
    if (FrameKnown(window)) {
        return MarginsOf(window);
    }
    for (const QWidget* top : QApplication::topLevelWidgets()) {
        if (top != window && top->inherits("QMainWindow") && FrameKnown(top)) {
            return MarginsOf(top);
        }
    }
    return QMargins();
}

QSize FrameSize(const QWidget* window) {
    const QMargins m = FrameMargins(window);
    return window->size() + QSize(m.left() + m.right(), m.top() + m.bottom());
}

QRect ClientForFrame(const QRect& outer, const QMargins& frame) {
    return outer.marginsRemoved(frame);
}

QRect KeptInside(QRect outer, const QRect& area) {
    outer.setWidth(std::min(outer.width(), area.width()));
    outer.setHeight(std::min(outer.height(), area.height()));
    outer.moveLeft(std::clamp(outer.left(), area.left(), area.right() - outer.width() + 1));
    outer.moveTop(std::clamp(outer.top(), area.top(), area.bottom() - outer.height() + 1));
    return outer;
}
