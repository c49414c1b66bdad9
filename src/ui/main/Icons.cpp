#include "ui/main/Icons.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace {

QPixmap Canvas() {
    QPixmap pm(16, 16);
    pm.fill(Qt::transparent);
    return pm;
}

void DrawPlug(QPainter& p, const QColor& body, bool connected) {
    p.setPen(QPen(QColor(40, 40, 40), 1));
    p.setBrush(body);
    p.drawRoundedRect(QRectF(1.5, 4.5, 7, 7), 1.5, 1.5);
    p.drawLine(QPointF(8.5, 6.5), QPointF(connected ? 14.5 : 11.5, 6.5));
    p.drawLine(QPointF(8.5, 9.5), QPointF(connected ? 14.5 : 11.5, 9.5));
    if (connected) {
        p.setBrush(QColor(60, 60, 60));
        p.drawRect(QRectF(12.5, 3.5, 3, 9));
    }
}

void DrawPage(QPainter& p, const QColor& fill) {
    p.setPen(QPen(QColor(70, 70, 70), 1));
    p.setBrush(fill);
    QPainterPath page;
    page.moveTo(3.5, 1.5);
    page.lineTo(10.5, 1.5);
    page.lineTo(13.5, 4.5);
    page.lineTo(13.5, 14.5);
    page.lineTo(3.5, 14.5);
    page.closeSubpath();
    p.drawPath(page);
}

void DrawLines(QPainter& p, const QColor& c, int from, int to) {
    p.setPen(QPen(c, 1));
    for (int y = from; y <= to; y += 2) {
        p.drawLine(QPointF(5, y + 0.5), QPointF(12, y + 0.5));
    }
}

void DrawLetters(QPainter& p, const QString& text, const QColor& c, int pixelSize) {
    QFont f(QStringLiteral("Liberation Sans"));
    f.setPixelSize(pixelSize);
    f.setBold(true);
    p.setFont(f);
    p.setPen(c);
    p.drawText(QRect(0, 0, 16, 16), Qt::AlignCenter, text);
}

void DrawWindow(QPainter& p, const QColor& title) {
    p.setPen(QPen(QColor(60, 60, 60), 1));
    p.setBrush(Qt::white);
    p.drawRect(QRectF(1.5, 2.5, 13, 11));
    p.fillRect(QRectF(2, 3, 12, 3), title);
}

} // namespace

QIcon KorvaneIcon(TIconKind kind) {
    QPixmap pm = Canvas();
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing, true);
    DrawKorvaneIcon(p, kind);
    p.end();
    return QIcon(pm);
}

void DrawKorvaneIcon(QPainter& p, TIconKind kind) {
    switch (kind) {
    case TIconKind::PortClosed:
        DrawPlug(p, QColor(190, 190, 190), false);
        p.setPen(QPen(QColor(200, 30, 30), 2));
        p.drawLine(QPointF(10, 11), QPointF(15, 15));
        p.drawLine(QPointF(15, 11), QPointF(10, 15));
        break;
    case TIconKind::PortOpen:
        DrawPlug(p, QColor(80, 190, 80), true);
        break;
    case TIconKind::Pause:
        p.fillRect(QRectF(4, 3, 3, 10), QColor(50, 90, 170));
        p.fillRect(QRectF(9, 3, 3, 10), QColor(50, 90, 170));
        break;
    case TIconKind::Save:
        p.setPen(QPen(QColor(40, 60, 110), 1));
        p.setBrush(QColor(70, 110, 190));
        p.drawRect(QRectF(1.5, 1.5, 13, 13));
        p.fillRect(QRectF(4, 2, 8, 5), Qt::white);
        p.fillRect(QRectF(4, 10, 8, 4), QColor(210, 210, 210));
        break;
    case TIconKind::Open:
        p.setPen(QPen(QColor(140, 100, 20), 1));
        p.setBrush(QColor(240, 200, 90));
        p.drawRect(QRectF(1.5, 4.5, 13, 9));
        p.drawRect(QRectF(1.5, 2.5, 5, 2));
        break;
    case TIconKind::SendWindow:
        DrawWindow(p, QColor(0, 84, 227));
        DrawLines(p, QColor(160, 0, 0), 8, 12);
        break;
    case TIconKind::FindWindow:
        DrawWindow(p, QColor(0, 84, 227));
        DrawLines(p, QColor(90, 90, 90), 8, 12);
        break;
    case TIconKind::WebPage:
        p.setPen(QPen(QColor(30, 90, 170), 1.2));
        p.setBrush(QColor(190, 220, 250));
        p.drawEllipse(QRectF(1.5, 1.5, 13, 13));
        p.drawEllipse(QRectF(5, 1.5, 6, 13));
        p.drawLine(QPointF(1.5, 8), QPointF(14.5, 8));
        break;
    case TIconKind::Send: {
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(30, 140, 60));
        QPainterPath arrow;
        arrow.moveTo(2, 5);
        arrow.lineTo(9, 5);
        arrow.lineTo(9, 2);
        arrow.lineTo(15, 8);
        arrow.lineTo(9, 14);
        arrow.lineTo(9, 11);
        arrow.lineTo(2, 11);
        arrow.closeSubpath();
        p.drawPath(arrow);
        break;
    }
    case TIconKind::Cycle:
        p.setPen(QPen(QColor(30, 120, 170), 2));
        p.drawArc(QRectF(2.5, 2.5, 11, 11), 30 * 16, 300 * 16);
        p.setBrush(QColor(30, 120, 170));
        p.drawPolygon(QPolygonF({QPointF(11, 1), QPointF(15, 4), QPointF(11, 7)}));
        break;
    case TIconKind::Trigger:
        p.setPen(QPen(QColor(60, 60, 60), 1));
        p.setBrush(QColor(250, 230, 120));
        p.drawEllipse(QRectF(1.5, 1.5, 13, 13));
        p.drawLine(QPointF(8, 8), QPointF(8, 4));
        p.drawLine(QPointF(8, 8), QPointF(11, 9));
        break;
    case TIconKind::Checksum:
        DrawLetters(p, QStringLiteral("\u03A3"), QColor(0, 0, 200), 14);
        break;
    case TIconKind::Ascii:
        DrawLetters(p, QStringLiteral("A"), QColor(120, 40, 0), 13);
        break;
    case TIconKind::Clear:
        DrawPage(p, Qt::white);
        p.setPen(QPen(QColor(200, 30, 30), 2));
        p.drawLine(QPointF(5, 6), QPointF(12, 13));
        p.drawLine(QPointF(12, 6), QPointF(5, 13));
        break;
    case TIconKind::WordWrap:
        DrawLines(p, QColor(60, 60, 60), 3, 7);
        p.setPen(QPen(QColor(30, 120, 170), 1.5));
        p.drawArc(QRectF(8, 5, 6, 6), -90 * 16, 180 * 16);
        p.drawLine(QPointF(11, 11), QPointF(4, 11));
        break;
    case TIconKind::Filter: {
        p.setPen(QPen(QColor(60, 60, 60), 1));
        p.setBrush(QColor(120, 170, 230));
        QPainterPath funnel;
        funnel.moveTo(1.5, 2.5);
        funnel.lineTo(14.5, 2.5);
        funnel.lineTo(9.5, 8.5);
        funnel.lineTo(9.5, 14.5);
        funnel.lineTo(6.5, 12.5);
        funnel.lineTo(6.5, 8.5);
        funnel.closeSubpath();
        p.drawPath(funnel);
        break;
    }
    case TIconKind::Find:
        p.setPen(QPen(QColor(60, 60, 60), 2));
        p.setBrush(QColor(210, 235, 250));
        p.drawEllipse(QRectF(2, 2, 8, 8));
        p.drawLine(QPointF(9, 9), QPointF(14, 14));
        break;
    case TIconKind::Print:
        p.setPen(QPen(QColor(60, 60, 60), 1));
        p.setBrush(QColor(200, 200, 200));
        p.drawRect(QRectF(1.5, 6.5, 13, 6));
        p.setBrush(Qt::white);
        p.drawRect(QRectF(4.5, 1.5, 7, 5));
        p.drawRect(QRectF(4.5, 10.5, 7, 4));
        break;
    case TIconKind::Help:
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(30, 90, 170));
        p.drawEllipse(QRectF(1, 1, 14, 14));
        DrawLetters(p, QStringLiteral("?"), Qt::white, 12);
        break;
    case TIconKind::About:
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(30, 90, 170));
        p.drawEllipse(QRectF(1, 1, 14, 14));
        DrawLetters(p, QStringLiteral("i"), Qt::white, 12);
        break;
    case TIconKind::Program:
        p.setPen(QPen(QColor(20, 40, 80), 1));
        p.setBrush(QColor(20, 40, 80));
        p.drawRoundedRect(QRectF(0.5, 0.5, 15, 15), 3, 3);
        p.setPen(QPen(QColor(120, 220, 120), 1.5));
        p.drawPolyline(
            QPolygonF({QPointF(2, 11), QPointF(5, 11), QPointF(5, 5), QPointF(8, 5), QPointF(8, 11),
                       QPointF(11, 11), QPointF(11, 5), QPointF(14, 5)}));
        break;
    }
}
