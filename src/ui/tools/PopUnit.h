#pragma once
// The value popup: a small borderless box at the mouse pointer that shows a selected hex
// value of up to four bytes in decimal and binary. Any click elsewhere dismisses it.

#include "traffic/DataRT.h"

#include <QWidget>
#include <optional>
#include <string>
#include <string_view>

class QFrame;
class QLabel;
class QLineEdit;
class TMainContext;

class TPopForm : public QWidget {
    Q_OBJECT
public:
    static constexpr int ClientWidth = 112;
    static constexpr int ClientHeight = 43;
    // Width of the value fields per byte shown.
    static constexpr int PixelsPerByte = 54;

    explicit TPopForm(QWidget* parent = nullptr);

    // Fills the two fields, sizes them to the value and shows the popup with its left edge
    // at request.x and its bottom 10 pixels above request.y.
    void ShowValue(const ValuePopupRequest& request);

    QFrame* Panel1 = nullptr;
    QLabel* Label1 = nullptr;
    QLabel* Label2 = nullptr;
    QLineEdit* Edit1 = nullptr; // decimal
    QLineEdit* Edit2 = nullptr; // binary groups
    // Zero wide: holds the keyboard focus so that no caret blinks in the value fields.
    QLineEdit* Edit3 = nullptr;

protected:
    void changeEvent(QEvent* event) override;
};

// What "To Dec Bin" shows for a selection: the value read as an unsigned 32-bit number.
// Nothing for a selection that is not hex byte text, holds more than four bytes, or runs
// over a line break.
std::optional<ValuePopupRequest> SelectionValue(std::string_view selection, int x, int y);

// Creates the popup and hooks it to the engine's Ctrl-release (ShowValuePopup) and to the
// view menu's "To Dec Bin" (ShowValuePopupForSelection), which reads the active view's
// selection.
TPopForm* InstallPopForm(TMainContext& form);
