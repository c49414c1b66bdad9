#pragma once
// The ASCII chart: one fixed picture of the 128 codes of 7-bit ASCII.

#include <QDialog>
#include <QPixmap>
#include <QString>

class QLabel;
class TMainContext;

class TAscForm : public QDialog {
    Q_OBJECT
public:
    explicit TAscForm(QWidget* parent = nullptr);

    static constexpr int PictureWidth = 614;
    static constexpr int PictureHeight = 590;
    // Four column pairs of 32 codes each, side by side.
    static constexpr int PairCount = 4;
    static constexpr int RowCount = 32;

    // How the chart names a code: the abbreviation of a control code, "(space)", "DEL",
    // or the character itself.
    static QString CharText(int code);
    static QPixmap ChartPicture();

    QLabel* Image1 = nullptr;
};

// Creates the chart as a child of the main window and makes "ASCII Table" show it.
void InstallAscForm(TMainContext& form);
