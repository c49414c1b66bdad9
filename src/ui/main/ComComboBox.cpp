#include "ui/main/ComComboBox.h"

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
