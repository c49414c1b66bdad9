#include "ui/main/DockGrabber.h"

#include <QApplication>
#include <QDockWidget>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QToolButton>

namespace {
const QColor kActiveBack(0, 84, 227);
} // namespace

TDockGrabber::TDockGrabber(QDockWidget* dock) : QWidget(dock), m_dock(dock) {
    setObjectName(dock->objectName() + QStringLiteral("Grabber"));
    setFixedHeight(20);
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(4, 0, 2, 0);
    layout->setSpacing(2);
    m_title = new QLabel(dock->windowTitle(), this);
    QFont f(QStringLiteral("Tahoma"));
    f.setPointSize(9);
    m_title->setFont(f);
    m_title->setAttribute(Qt::WA_TransparentForMouseEvents);
    layout->addWidget(m_title, 1);
    m_close = new QToolButton(this);
    m_close->setObjectName(dock->objectName() + QStringLiteral("CloseBox"));
    m_close->setAutoRaise(true);
    m_close->setText(QStringLiteral("\u00D7"));
    m_close->setFixedSize(16, 16);
    m_close->setToolTip(QStringLiteral("Close"));
    layout->addWidget(m_close);
    connect(m_close, &QToolButton::clicked, dock, &QDockWidget::close);
    connect(dock, &QDockWidget::windowTitleChanged, m_title, &QLabel::setText);
    connect(qApp, &QApplication::focusChanged, this, &TDockGrabber::FocusChanged);
    SetActive(false);
}

void TDockGrabber::SetActive(bool active) {
    m_active = active;
    QPalette p = m_title->palette();
    p.setColor(QPalette::WindowText, active ? Qt::white : Qt::black);
    m_title->setPalette(p);
    update();
}

void TDockGrabber::FocusChanged(QWidget* /*old*/, QWidget* now) {
    SetActive(now != nullptr && m_dock->isAncestorOf(now));
}

void TDockGrabber::paintEvent(QPaintEvent* /*event*/) {
    QPainter painter(this);
    painter.fillRect(rect(), m_active ? kActiveBack : palette().color(QPalette::Button));
}

// Presses and drags belong to the dock widget: ignoring them lets it move and float.
void TDockGrabber::mousePressEvent(QMouseEvent* event) {
    event->ignore();
}
void TDockGrabber::mouseMoveEvent(QMouseEvent* event) {
    event->ignore();
}
void TDockGrabber::mouseReleaseEvent(QMouseEvent* event) {
    event->ignore();
}
void TDockGrabber::mouseDoubleClickEvent(QMouseEvent* event) {
    event->ignore();
}
