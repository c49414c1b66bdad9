#pragma once
// The auto save dialog: the two switches of the traffic view's automatic saving and
// clearing, the line count at which they act and the folder that receives the saved files.
// The switches live in the main window for the run only; the count and the folder are
// settings. Reloaded at every showing, stored on "Ok".

#include <QDialog>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class TMainContext;
class TUiPrompter;

class TTimeSaveForm : public QDialog {
    Q_OBJECT
public:
    TTimeSaveForm(TMainContext& form, TUiPrompter& prompter);

    // "Ok": stores the switches, then the line count, then the folder. A line count that
    // is not an integer goes to the general error handler and leaves the dialog open with
    // only the switches stored; so does auto save without a folder, with everything
    // stored. Returns whether the dialog closed.
    bool OkClicked();

    QCheckBox* CheckBox1 = nullptr;
    QCheckBox* CheckBox2 = nullptr;
    QLabel* Label1 = nullptr;
    QLineEdit* Edit1 = nullptr;
    QLabel* Label2 = nullptr;
    QLineEdit* Edit2 = nullptr;
    QPushButton* Button1 = nullptr;
    QPushButton* Button2 = nullptr;
    QPushButton* Button3 = nullptr;

protected:
    void showEvent(QShowEvent* event) override;

private:
    void BrowseFolder();

    TMainContext& m_form;
    TUiPrompter& m_prompter;
};

// Creates the dialog with the main window as its parent and wires the main window's
// "Auto Save or Clear" command to it.
TTimeSaveForm* InstallTimeSaveForm(TMainContext& form, TUiPrompter& prompter);
