#include "ui/main/ComComboBox.h"

#include "serial/PortDiscovery.h"

TComComboBox::TComComboBox(QWidget* parent) : QComboBox(parent) {
    setEditable(false);
    // Only a user's pick applies; activated() is not emitted for program changes.
    connect(this, &QComboBox::activated, this, [this](int index) { m_select.UserSelect(index); });
}

void TComComboBox::Reload() {
    clear();
    for (const std::string& item : m_select.Items()) {
        addItem(QString::fromStdString(item));
    }
    setCurrentIndex(m_select.ItemIndex());
}

void TComComboBox::SetComProperty(TComProperty kind) {
    m_select.SetComProperty(kind);
    Reload();
}

void TComComboBox::SetComPort(TCustomComPort* port) {
    m_select.SetComPort(port);
    setCurrentIndex(m_select.ItemIndex());
}

void TComComboBox::SelectIndex(int index) {
    m_select.SetItemIndex(index);
    setCurrentIndex(m_select.ItemIndex());
}

TPortComboBox::TPortComboBox(QWidget* parent) : QComboBox(parent) {
    setEditable(true);
    setInsertPolicy(QComboBox::NoInsert);
}

void TPortComboBox::Reload() {
    std::vector<std::string> ports;
    ListSerialPorts(ports);
    const QString current = currentText();
    clear();
    for (const std::string& p : ports) {
        addItem(QString::fromStdString(p));
    }
    const int index = findText(current);
    if (index >= 0) {
        setCurrentIndex(index);
    } else {
        setEditText(current);
    }
}

void TPortComboBox::showPopup() {
    Reload();
    QComboBox::showPopup();
}
