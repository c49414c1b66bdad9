#pragma once
// Keeping windows whole on the screen. A window's frame (title bar and borders) is known
// only once the window system has shown it; before that the frame of a window already
// shown stands in for it, so a window placed on its first showing lands where it lands on
// every later one.

#include <QMargins>
#include <QRect>
#include <QSize>

class QWidget;

// The frame around `window`'s client area: its own when known, else that of the
// application's main window, else none.
QMargins FrameMargins(const QWidget* window);
// The whole window's size, frame included.
QSize FrameSize(const QWidget* window);
// The client geometry that puts the whole frame at `outer`.
QRect ClientForFrame(const QRect& outer, const QMargins& frame);
// Moves `outer` into `area`, shrinking it where it is larger.
QRect KeptInside(QRect outer, const QRect& area);
