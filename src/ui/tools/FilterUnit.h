#pragma once
// The receive filter dialog: five conditions "byte n of a received burst has value v" and
// the switch that turns them on. It holds nothing of its own: the grid and the check box
// mirror the settings record, reloaded every time the dialog is shown and stored on "Ok".

#include "settings/SettingsRecord.h"

#include <QDialog>
#include <functional>

class QCheckBox;
class QPushButton;
class QTableWidget;
class TMainContext;
class TUiPrompter;

class TFilterForm : public QDialog {
    Q_OBJECT
public:
    struct Hooks {
        // The main window's RefreshSettings, run once "Ok" has stored everything.
        std::function<void()> refreshSettings;
        // Puts the filter tool button's pressed state to the stored switch on closing.
        std::function<void(bool)> setFilterButtonDown;
    };

    static constexpr int ClientWidth = 244;
    static constexpr int ClientHeight = 203;
    static constexpr int Rows = 6; // the header row and the five conditions

    TFilterForm(SettingsRecord& settings, TUiPrompter& prompter, Hooks hooks,
                QWidget* parent = nullptr);

    // "Ok": stores the rows one after another; a row that does not validate makes its
    // offending cell current, shows why and keeps the dialog open (rows above it stay
    // stored). Returns true when everything was stored and the dialog closed.
    bool Button1Click();
    // "Cancel": closes, nothing stored.
    void Button2Click();

    QTableWidget* StringGrid1 = nullptr;
    QCheckBox* CheckBox1 = nullptr;
    QPushButton* Button1 = nullptr;
    QPushButton* Button2 = nullptr;

    // Every way of closing (buttons, Esc, the frame's close box) ends here.
    void done(int result) override;

protected:
    void showEvent(QShowEvent* event) override;

private:
    void LoadControls();
    QString CellText(int row, int column) const;
    void Reject(int row, int column, const char* message);

    SettingsRecord& m_settings;
    TUiPrompter& m_prompter;
    Hooks m_hooks;
};

// Creates the dialog as a child of the main window and hooks it to the "Filter Settings"
// command (ShowFilterDialog). Boxes go through the given prompter, the main window's own.
TFilterForm* InstallFilterForm(TMainContext& form, TUiPrompter& prompter);
