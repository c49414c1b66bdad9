#pragma once
// The About box: the program's name, version and a line about what it is.

#include <QDialog>

class QLabel;
class QPushButton;

class TaboutForm : public QDialog {
    Q_OBJECT
public:
    explicit TaboutForm(QWidget* parent = nullptr);

    // The program's picture at the size the box shows it, drawn in code like the other icons.
    static QPixmap ProgramPicture(int size);

private:
    QLabel* Image1 = nullptr;
    QLabel* Label3 = nullptr;
    QLabel* Label4 = nullptr;
    QLabel* Label5 = nullptr;
    QPushButton* OkButton = nullptr;
};
