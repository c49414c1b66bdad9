#pragma once
// The send options dialog: the cycle page and the trigger page of automatic sending on one
// form, one page shown at a time. It holds nothing of its own: every control mirrors a field
// of the settings record, reloaded each time the dialog is shown and stored only on "Ok".

#include "settings/SettingsRecord.h"

#include <QDialog>
#include <QPoint>
#include <QRect>
#include <QSize>
#include <cstdint>
#include <functional>
#include <string>

class QButtonGroup;
class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QTableWidget;
class QTimeEdit;
class QWidget;

class TSetForm : public QDialog {
    Q_OBJECT
public:
    // How the dialog reaches the rest of the program. Empty members take the defaults noted.
    struct Hooks {
        // Writes the whole record to "data", creating the data folder when it is missing.
        // Default: SaveSettingsNow.
        std::function<void(const SettingsRecord&)> saveSettings;
        // The main window's RefreshSettings. Default: nothing.
        std::function<void()> refreshSettings;
        // Follows cycleSendEnabled on the send window's "Cycle To Send" button as soon as
        // "Ok" has stored it. Default: nothing.
        std::function<void(bool)> setCycleButtonDown;
        // Shows the message of an error that stopped "Ok" (the program passes the general
        // error handler's TKorvaneApplication::ReportError). Default: the error propagates
        // out of the click, to that same handler.
        std::function<void(const std::string&)> reportError;
    };

    static constexpr int CyclePageWidth = 286;
    static constexpr int CyclePageHeight = 201;
    static constexpr int TriggerPageWidth = 355;
    static constexpr int TriggerPageHeight = 337;

    TSetForm(SettingsRecord& settings, Hooks hooks, QWidget* parent = nullptr);

    // The openers. The send window's buttons pass setCaption = true ("Cycle to Send data",
    // "Send data conditionally"); the main menu's items keep the caption as last set.
    void ShowCyclePage(bool setCaption);
    void ShowTriggerPage(bool setCaption);

    // "Ok" of either page: stores both pages, saves the record, runs RefreshSettings and
    // closes. When a field does not convert (or the save fails) it stops there, reports the
    // error through Hooks::reportError, leaves the dialog open and returns false; fields
    // stored before the failing one keep their new values in memory.
    bool OkClicked();
    // "Cancel" of either page: closes without storing.
    void CancelClicked();

    // The top-left corner of a dialog of the given size shown at the mouse pointer: left at
    // the pointer's x, pulled back inside the screen's right edge; top the dialog's height
    // plus 20 above the pointer, or the screen's top when the dialog would not fit above it.
    static QPoint PlaceAtPointer(QPoint pointer, QSize dialog, QRect screen);

    // Reads a 32-bit integer as the program always has: leading blanks, a sign, decimal
    // digits or "$"/"0x" hex digits. Values up to 4294967295 are taken as their 32-bit
    // pattern, so every number the dialog shows reads back. Throws EConvertError with
    // "'<text>' is not a valid integer value".
    static int32_t StrToInt(const std::string& text);

    // The OLE date-time `stored` with its time of day replaced by `secondsOfDay`; the
    // whole-day part is kept as stored (0 for a value that is not finite).
    static double WithTimeOfDay(double stored, int secondsOfDay);
    // The whole seconds of the time of day of an OLE date-time, as the time trigger reads it.
    static int SecondsOfDay(double dateTime);

protected:
    void showEvent(QShowEvent* event) override;

private:
    void BuildCyclePage();
    void BuildTriggerPage();
    void ShowPage(bool cycle);
    void LoadControls();
    void StoreControls();
    void ApplyCycleEnabling();

    SettingsRecord& m_settings;
    Hooks m_hooks;

    QWidget* Panel1 = nullptr;
    QWidget* Panel3 = nullptr;

    // Cycle page.
    QGroupBox* GroupBox1 = nullptr;
    QRadioButton* RadioButton1 = nullptr;
    QRadioButton* RadioButton2 = nullptr;
    QRadioButton* RadioButton4 = nullptr;
    QRadioButton* RadioButton5 = nullptr;
    QLineEdit* Edit2 = nullptr;
    QLineEdit* Edit3 = nullptr;
    QLineEdit* Edit4 = nullptr;
    QLineEdit* Edit10 = nullptr;
    QCheckBox* CheckBox1 = nullptr;
    QPushButton* Button3 = nullptr;
    QPushButton* Button4 = nullptr;

    // Trigger page.
    QGroupBox* GroupBox2 = nullptr;
    QGroupBox* GroupBox3 = nullptr;
    QTimeEdit* DateTimePicker1 = nullptr;
    QRadioButton* RadioButton3 = nullptr;
    QRadioButton* RadioButton8 = nullptr;
    QRadioButton* RadioButton6 = nullptr;
    QRadioButton* RadioButton7 = nullptr;
    QLineEdit* Edit6 = nullptr;
    QLineEdit* Edit7 = nullptr;
    QLineEdit* Edit8 = nullptr;
    QLineEdit* Edit9 = nullptr;
    QCheckBox* CheckBox2 = nullptr;
    QTableWidget* StringGrid2 = nullptr;
    QLineEdit* Edit1 = nullptr;
    QCheckBox* CheckBox3 = nullptr;
    QPushButton* Button1 = nullptr;
    QPushButton* Button2 = nullptr;
};
