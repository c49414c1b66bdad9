#pragma once
// A drop-down list bound to one line setting of a port device. It fills itself from the
// setting's text table, shows the device's value when bound, and applies what the user
// picks to the device at once (automatic apply). Selecting from program code applies
// nothing.

#include "serial/ComPort.h"

#include <QComboBox>

class TComComboBox : public QComboBox {
    Q_OBJECT
public:
    explicit TComComboBox(QWidget* parent = nullptr);

    void SetComProperty(TComProperty kind);
    void SetComPort(TCustomComPort* port);
    void SetAutoApply(bool value) { m_select.SetAutoApply(value); }
    // Selects from program code: no apply.
    void SelectIndex(int index);
    TComSelect& Select() { return m_select; }

private:
    void Reload();
    TComSelect m_select;
};

// The port list. Ports come and go (an adapter plugged in, a simulated device started after
// the program), so the list is read anew each time it drops down; the chosen or typed name
// stays. A device path may be typed in as well as picked.
class TPortComboBox : public QComboBox {
    Q_OBJECT
public:
    explicit TPortComboBox(QWidget* parent = nullptr);
    // Replaces the items with the ports found now.
    void Reload();
    void showPopup() override;
};
