#include "ui/tools/AscUnit.h"

#include "ui/main/FormStyle.h"
#include "ui/main/MainContext.h"
#include "ui/main/ScreenFit.h"

#include <QLabel>
#include <QPainter>
#include <QVBoxLayout>

namespace {

const char* const ControlNames[32] = {"NUL", "SOH", "STX", "ETX", "EOT", "ENQ", "ACK", "BEL",
                                      "BS",  "HT",  "LF",  "VT",  "FF",  "CR",  "SO",  "SI",
                                      "DLE", "DC1", "DC2", "DC3", "DC4", "NAK", "SYN", "ETB",
                                      "CAN", "EM",  "SUB", "ESC", "FS",  "GS",  "RS",  "US"};

// Geometry of the picture, in pixels.
constexpr int Margin = 11;
constexpr int TitleHeight = 34;
constexpr int HeaderHeight = 22;
constexpr int RowHeight = 16;
constexpr int DecWidth = 58;
constexpr int PairWidth = (TAscForm::PictureWidth - 2 * Margin) / TAscForm::PairCount;

static_assert(TitleHeight + HeaderHeight + TAscForm::RowCount * RowHeight + 2 * Margin <=
              TAscForm::PictureHeight);

} // namespace

TAscForm::TAscForm(QWidget* parent) : QDialog(parent, FixedDialogFlags()) {
    setObjectName(QStringLiteral("AscForm"));
    KeepWholeOnScreen(this);
    setWindowTitle(QStringLiteral("ASCII"));
    setModal(false);
    Image1 = new QLabel(this);
    Image1->setObjectName(QStringLiteral("Image1"));
    Image1->setPixmap(ChartPicture());
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(Image1);
    // The frame fits the picture and cannot be resized.
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

QString TAscForm::CharText(int code) {
    if (code >= 0 && code < 32) {
        return QString::fromLatin1(ControlNames[code]);
    }
    if (code == 32) {
        return QStringLiteral("(space)");
    }
    if (code == 127) {
        return QStringLiteral("DEL");
    }
    return QString(QChar(code));
}

QPixmap TAscForm::ChartPicture() {
    QPixmap picture(PictureWidth, PictureHeight);
    picture.fill(Qt::white);
    QPainter p(&picture);

    QFont title(QStringLiteral("Liberation Sans"));
    title.setPixelSize(22);
    title.setBold(true);
    p.setFont(title);
    p.setPen(Qt::black);
    p.drawText(QRect(0, Margin, PictureWidth, TitleHeight), Qt::AlignCenter,
               QStringLiteral("ASCII"));

    const int tableTop = Margin + TitleHeight;
    const int bodyTop = tableTop + HeaderHeight;
    const int tableBottom = bodyTop + RowCount * RowHeight;
    const int tableRight = Margin + PairCount * PairWidth;

    // Header band and every other row shaded, so a row reads across its pair.
    p.fillRect(QRect(Margin, tableTop, tableRight - Margin, HeaderHeight), QColor(210, 220, 235));
    for (int row = 1; row < RowCount; row += 2) {
        p.fillRect(QRect(Margin, bodyTop + row * RowHeight, tableRight - Margin, RowHeight),
                   QColor(244, 246, 250));
    }

    QFont header(QStringLiteral("Liberation Sans"));
    header.setPixelSize(12);
    header.setBold(true);
    QFont mono(QStringLiteral("Liberation Mono"));
    mono.setStyleHint(QFont::Monospace);
    mono.setPixelSize(12);

    for (int pair = 0; pair < PairCount; ++pair) {
        const int left = Margin + pair * PairWidth;
        const QRect decHeader(left, tableTop, DecWidth, HeaderHeight);
        const QRect charHeader(left + DecWidth, tableTop, PairWidth - DecWidth, HeaderHeight);
        p.setFont(header);
        p.drawText(decHeader, Qt::AlignCenter, QStringLiteral("Dec"));
        p.drawText(charHeader, Qt::AlignCenter, QStringLiteral("Char"));
        p.setFont(mono);
        for (int row = 0; row < RowCount; ++row) {
            const int code = pair * RowCount + row;
            const int top = bodyTop + row * RowHeight;
            p.drawText(QRect(left, top, DecWidth - 8, RowHeight), Qt::AlignRight | Qt::AlignVCenter,
                       QString::number(code));
            p.drawText(QRect(left + DecWidth, top, PairWidth - DecWidth, RowHeight),
                       Qt::AlignCenter, CharText(code));
        }
    }

    // Grid: thin lines between rows and between a pair's columns, heavy ones round pairs.
    p.setPen(QPen(QColor(200, 205, 215), 1));
    for (int row = 1; row < RowCount; ++row) {
        const int y = bodyTop + row * RowHeight;
        p.drawLine(Margin, y, tableRight, y);
    }
    for (int pair = 0; pair < PairCount; ++pair) {
        const int x = Margin + pair * PairWidth + DecWidth;
        p.drawLine(x, tableTop, x, tableBottom);
    }
    p.setPen(QPen(QColor(60, 70, 90), 2));
    for (int pair = 0; pair <= PairCount; ++pair) {
        const int x = Margin + pair * PairWidth;
        p.drawLine(x, tableTop, x, tableBottom);
    }
    p.drawLine(Margin, tableTop, tableRight, tableTop);
    p.drawLine(Margin, bodyTop, tableRight, bodyTop);
    p.drawLine(Margin, tableBottom, tableRight, tableBottom);
    return picture;
}

void InstallAscForm(TMainContext& form) {
    auto* chart = new TAscForm(form.MainWindow());
    form.ShowAsciiTable = [chart] {
        chart->show();
        chart->raise();
        chart->activateWindow();
    };
}
