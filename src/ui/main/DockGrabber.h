#pragma once
// The title bar of a docked tool window: 20 pixels, white on blue while the window holds
// the keyboard focus, black on the button face otherwise, with a close box. Mouse presses
// it does not handle go on to the dock widget, which drags, floats and docks the window.

#include <QWidget>

class QDockWidget;
class QLabel;
class QToolButton;

class TDockGrabber : public QWidget {
    Q_OBJECT
public:
    explicit TDockGrabber(QDockWidget* dock);
    bool Active() const { return m_active; }
    void SetActive(bool active);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    void FocusChanged(QWidget* old, QWidget* now);
    QDockWidget* m_dock;
    QLabel* m_title;
    QToolButton* m_close;
    bool m_active = false;
};
