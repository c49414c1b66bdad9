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

// Places its window at the pointer again once the window's own frame is known, when the
// frame the first placement used was another; then it goes. It goes too when the window is
// hidden before.
class TFramePlacer final : public QObject {
public:
    TFramePlacer(QWidget* window, QPoint pointer, QMargins used)
        : QObject(window), m_window(window), m_pointer(pointer), m_used(used) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched != m_window) {
            return false;
        }
        switch (event->type()) {
        case QEvent::Hide:
            m_window->removeEventFilter(this);
            deleteLater();
            break;
        case QEvent::Show:
        case QEvent::Move:
        case QEvent::Resize:
        case QEvent::Paint:
        case QEvent::WindowActivate:
            if (FrameKnown(m_window)) {
                // Removed first: the placement below moves the window again.
                m_window->removeEventFilter(this);
                deleteLater();
                if (MarginsOf(m_window) != m_used) {
                    PlaceFrame(m_window, FrameAtPointer(m_pointer, FrameSize(m_window),
                                                        FreeAreaAt(m_pointer)));
                }
            }
            break;
        default:
            break;
        }
        return false;
    }

private:
    QWidget* m_window;
    QPoint m_pointer;
    QMargins m_used;
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

void PlaceAtPointer(QWidget* window, const QPoint& pointer) {
    // A placement still waiting for the frame is replaced by this one.
    for (QObject* child : window->children()) {
        if (auto* earlier = dynamic_cast<TFramePlacer*>(child)) {
            window->removeEventFilter(earlier);
            earlier->deleteLater();
        }
    }
    const bool own = FrameKnown(window);
    const QMargins used = FrameMargins(window);
    PlaceFrame(window, FrameAtPointer(pointer, FrameSize(window), FreeAreaAt(pointer)));
    if (!own) {
        window->installEventFilter(new TFramePlacer(window, pointer, used));
    }
}

void KeepWholeOnScreen(QWidget* window) {
    window->installEventFilter(new TScreenKeeper(window));
}
