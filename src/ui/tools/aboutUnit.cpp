#include "ui/tools/aboutUnit.h"

#include "ui/main/FormStyle.h"
#include "ui/main/ScreenFit.h"

#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QPushButton>

namespace {

QLabel* MakeLabel(QWidget* parent, const char* name, const QString& text, int x, int y) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(QString::fromLatin1(name));
    label->adjustSize();
    label->move(x, y);
    return label;
}

} // namespace

TaboutForm::TaboutForm(QWidget* parent) : QDialog(parent, FixedDialogFlags()) {
    setObjectName(QStringLiteral("aboutForm"));
    KeepWholeOnScreen(this);
    setWindowTitle(QStringLiteral("About"));
    setModal(false);
    SetFormFont(this);
    setFixedSize(339, 137);

    Image1 = new QLabel(this);
    Image1->setObjectName(QStringLiteral("Image1"));
    Image1->setPixmap(ProgramPicture(48));
    Image1->setGeometry(31, 20, 48, 48);

    Label3 = MakeLabel(this, "Label3", QStringLiteral("Korvane"), 94, 28);
    QFont title = font();
    title.setPointSize(12);
    title.setBold(true);
    Label3->setFont(title);
    Label3->adjustSize();
    Label4 = MakeLabel(this, "Label4", QStringLiteral("Version:  5.0"), 95, 53);
    Label5 = MakeLabel(this, "Label5",
                       QStringLiteral("A serial-port terminal and traffic monitor."), 31, 100);

    OkButton = new QPushButton(QStringLiteral("OK"), this);
    OkButton->setObjectName(QStringLiteral("OkButton"));
    OkButton->setGeometry(256, 20, 68, 25);
    connect(OkButton, &QPushButton::clicked, this, &QDialog::accept);
}

QPixmap TaboutForm::ProgramPicture(int size) {
    QPixmap pm(size, size);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing, true);
    p.scale(size / 48.0, size / 48.0);

    // A terminal screen with a line of traffic on it, on the foot of a serial plug.
    p.setPen(QPen(QColor(50, 50, 60), 2));
    p.setBrush(QColor(225, 228, 235));
    p.drawRoundedRect(QRectF(3, 4, 42, 32), 4, 4);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(28, 40, 64));
    p.drawRect(QRectF(7, 8, 34, 24));

    QPainterPath wave;
    wave.moveTo(9, 24);
    const double highs[] = {24, 14, 14, 24, 24, 14, 24, 24, 14, 14, 24};
    double x = 9;
    for (double y : highs) {
        wave.lineTo(x, y);
        x += 3;
        wave.lineTo(x, y);
    }
    p.setPen(QPen(QColor(90, 220, 120), 2));
    p.setBrush(Qt::NoBrush);
    p.drawPath(wave);

    p.setPen(QPen(QColor(50, 50, 60), 2));
    p.setBrush(QColor(180, 185, 195));
    QPainterPath plug;
    plug.moveTo(13, 38);
    plug.lineTo(35, 38);
    plug.lineTo(32, 45);
    plug.lineTo(16, 45);
    plug.closeSubpath();
    p.drawPath(plug);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(50, 50, 60));
    for (int i = 0; i < 4; ++i) {
        p.drawEllipse(QPointF(18.5 + i * 3.7, 41.5), 1.1, 1.1);
    }
    return pm;
}
