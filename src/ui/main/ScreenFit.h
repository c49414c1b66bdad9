#pragma once
// Keeping windows whole on the screen. A window's frame (title bar and borders) is known
// only once the window system has shown it; before that the frame of a window already
// shown stands in for it, so a window placed on its first showing lands where it lands on
// every later one.

#include <QMargins>
#include <QPoint>
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

// The free area (without panels and docks) of the screen at `point`, or of the primary
// screen when no screen is there.
QRect FreeAreaAt(const QPoint& point);
// The frame of a dialog `frame` in size shown at the pointer: its left edge at the pointer,
// its bottom 20 pixels above it, kept whole inside `area`.
QRect FrameAtPointer(const QPoint& pointer, const QSize& frame, const QRect& area);
// Places `window` (about to be shown) by FrameAtPointer. Before its first showing the
// window system has not framed it yet and a stand-in frame is used (which may be larger: a
// main window has borders to resize it by); once its own frame is known the window is
// placed again by that, so that every showing at one pointer position puts it in the same
// place.
void PlaceAtPointer(QWidget* window, const QPoint& pointer);
// Puts `window`'s whole frame at `outer`, through the client geometry: a window positioned
// by its frame's corner before the window system has framed it lands a title bar lower on
// its first showing than on later ones.
void PlaceFrame(QWidget* window, const QRect& outer);
// From now on every showing and every resize of `window` (a dialog switching to a larger
// page) keeps its whole frame inside the free area of its screen, moving it as little as
// needed.
void KeepWholeOnScreen(QWidget* window);
