#include "ui/main/ScreenFit.h"

#include <QApplication>
#include <QEvent>
#include <QGuiApplication>
#include <QScreen>
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

// Moves its window back inside the free screen area whenever it is shown or resized.
class TScreenKeeper final : public QObject {
public:
    explicit TScreenKeeper(QWidget* window) : QObject(window), m_window(window) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == m_window && m_window->isVisible() &&
            (event->type() == QEvent::Resize || event->type() == QEvent::Show)) {
            const QMargins m = FrameMargins(m_window);
            const QRect outer = m_window->geometry().marginsAdded(m);
            const QRect kept = KeptInside(outer, FreeAreaAt(outer.center()));
            if (kept != outer) {
                PlaceFrame(m_window, kept);
            }
        }
        return false;
    }

private:
    QWidget* m_window;
};

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

QRect FreeAreaAt(const QPoint& point) {
    QScreen* screen = QGuiApplication::screenAt(point);
    if (screen == nullptr) {
        screen = QGuiApplication::primaryScreen();
    }
    return screen != nullptr ? screen->availableGeometry() : QRect();
}

QRect FrameAtPointer(const QPoint& pointer, const QSize& frame, const QRect& area) {
    return KeptInside(QRect(QPoint(pointer.x(), pointer.y() - frame.height() - 20), frame), area);
}

void PlaceFrame(QWidget* window, const QRect& outer) {
    window->setGeometry(ClientForFrame(outer, FrameMargins(window)));
}

void KeepWholeOnScreen(QWidget* window) {
    window->installEventFilter(new TScreenKeeper(window));
}
