#include "ui/tools/FilterUnit.h"

#include "ui/main/FormStyle.h"
#include "ui/main/ScreenFit.h"

#include "codec/HexCodec.h"
#include "ui/main/MainContext.h"
#include "ui/main/UiPrompter.h"
#include "ui/send/SetForm.h"

#include <QAction>
#include <QCheckBox>
#include <QCursor>
#include <QGuiApplication>
#include <QHeaderView>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>
#include <QTableWidget>

#include <utility>

namespace {

constexpr int GridColumnWidths[] = {64, 79, 74};
constexpr int GridRowHeights[] = {24, 22, 23, 24, 24, 24};

QTableWidgetItem* FixedCell(const QString& text) {
    auto* item = new QTableWidgetItem(text);
    item->setFlags(Qt::ItemIsEnabled);
    item->setBackground(QGuiApplication::palette().button());
    return item;
}

QPushButton* MakeButton(QWidget* parent, const char* name, const char* text,
                        const QRect& geometry) {
    auto* button = new QPushButton(QString::fromLatin1(text), parent);
    button->setObjectName(QString::fromLatin1(name));
    button->setGeometry(geometry);
    // Enter in a cell ends the edit; it must not confirm the dialog as well.
    button->setAutoDefault(false);
    return button;
}

} // namespace

TFilterForm::TFilterForm(SettingsRecord& settings, TUiPrompter& prompter, Hooks hooks,
                         QWidget* parent)
    : QDialog(parent, FixedDialogFlags()), m_settings(settings), m_prompter(prompter),
      m_hooks(std::move(hooks)) {
    setObjectName(QStringLiteral("FilterForm"));
    KeepWholeOnScreen(this);
    setWindowTitle(QStringLiteral("Receiving Filter"));
    setModal(false);
    SetFormFont(this);
    setFixedSize(ClientWidth, ClientHeight);

    StringGrid1 = new QTableWidget(Rows, 3, this);
    StringGrid1->setObjectName(QStringLiteral("StringGrid1"));
    StringGrid1->horizontalHeader()->hide();
    StringGrid1->verticalHeader()->hide();
    StringGrid1->horizontalHeader()->setMinimumSectionSize(1);
    StringGrid1->verticalHeader()->setMinimumSectionSize(1);
    StringGrid1->horizontalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    StringGrid1->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    for (int c = 0; c < 3; ++c) {
        StringGrid1->setColumnWidth(c, GridColumnWidths[c]);
    }
    for (int r = 0; r < Rows; ++r) {
        StringGrid1->setRowHeight(r, GridRowHeights[r]);
    }
    StringGrid1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    StringGrid1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    StringGrid1->setSelectionMode(QAbstractItemView::ContiguousSelection);
    StringGrid1->setSelectionBehavior(QAbstractItemView::SelectItems);
    StringGrid1->setEditTriggers(QAbstractItemView::DoubleClicked |
                                 QAbstractItemView::EditKeyPressed |
                                 QAbstractItemView::AnyKeyPressed);
    StringGrid1->setGeometry(9, 9, 225, 153);
    for (int r = 0; r < Rows; ++r) {
        for (int c = 0; c < 3; ++c) {
            StringGrid1->setItem(r, c,
                                 r == 0 || c == 0 ? FixedCell(QString()) : new QTableWidgetItem);
        }
    }

    CheckBox1 = new QCheckBox(QStringLiteral("Enable"), this);
    CheckBox1->setObjectName(QStringLiteral("CheckBox1"));
    CheckBox1->adjustSize();
    CheckBox1->move(9, 173);
    Button1 = MakeButton(this, "Button1", "Ok", QRect(132, 170, 44, 23));
    Button2 = MakeButton(this, "Button2", "Cancel", QRect(189, 170, 46, 23));
    connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(); });
    connect(Button2, &QPushButton::clicked, this, [this] { Button2Click(); });
}

void TFilterForm::showEvent(QShowEvent* event) {
    // A window restored from the task bar is not shown anew: the user's unsaved edits stay.
    if (!event->spontaneous()) {
        const QPoint pointer = QCursor::pos();
        PlaceAtPointer(this, pointer);
        LoadControls();
    }
    QDialog::showEvent(event);
}

void TFilterForm::LoadControls() {
    StringGrid1->item(0, 0)->setText(QStringLiteral("Items"));
    StringGrid1->item(0, 1)->setText(QStringLiteral("Byte Number"));
    StringGrid1->item(0, 2)->setText(QStringLiteral("Value(Hex)"));
    for (int r = 1; r < Rows; ++r) {
        const FilterEntry& entry = m_settings.filterEntries[static_cast<size_t>(r - 1)];
        StringGrid1->item(r, 0)->setText(QString::number(r));
        const bool used = entry.byteNumber != 0;
        StringGrid1->item(r, 1)->setText(used ? QString::number(entry.byteNumber) : QString());
        StringGrid1->item(r, 2)->setText(
            used ? QString::fromLatin1(entry.value.data(),
                                       static_cast<qsizetype>(entry.value.size()))
                 : QString());
    }
    CheckBox1->setChecked(m_settings.filterEnabled);
    StringGrid1->setCurrentCell(1, 1);
}

QString TFilterForm::CellText(int row, int column) const {
    // A cell open in its editor hands its text over when the editor loses the focus, which
    // clicking "Ok" does.
    return StringGrid1->item(row, column)->text();
}

void TFilterForm::Reject(int row, int column, const char* message) {
    StringGrid1->setCurrentCell(row, column);
    m_prompter.Warning(this, QString::fromLatin1(message), QStringLiteral("Filter"));
}

bool TFilterForm::Button1Click() {
    // Each row reaches the record as soon as it passes, so a bad row leaves the ones above
    // it stored.
    for (int r = 1; r < Rows; ++r) {
        FilterEntry& entry = m_settings.filterEntries[static_cast<size_t>(r - 1)];
        const QString byteText = CellText(r, 1);
        if (byteText.isEmpty()) {
            entry.byteNumber = 0;
            entry.value.clear();
            continue;
        }
        try {
            entry.byteNumber = TSetForm::StrToInt(byteText.toLatin1().toStdString());
        } catch (const EConvertError&) {
            Reject(r, 1, "The input value must be integer.");
            return false;
        }
        const std::string value = CellText(r, 2).toLatin1().toStdString();
        if (value.size() != 2 || !IsHexText(value)) {
            Reject(r, 2, "The input value must be hexadecimal.");
            return false;
        }
        entry.value = QString::fromLatin1(value.data(), 2).toUpper().toLatin1().toStdString();
    }
    m_settings.filterEnabled = CheckBox1->isChecked();
    if (m_hooks.refreshSettings) {
        m_hooks.refreshSettings();
    }
    accept();
    return true;
}

void TFilterForm::Button2Click() {
    reject();
}

void TFilterForm::done(int result) {
    if (m_hooks.setFilterButtonDown) {
        m_hooks.setFilterButtonDown(m_settings.filterEnabled);
    }
    QDialog::done(result);
}

TFilterForm* InstallFilterForm(TMainContext& form, TUiPrompter& prompter) {
    TFilterForm::Hooks hooks;
    hooks.refreshSettings = [&form] { form.RefreshSettings(); };
    hooks.setFilterButtonDown = [&form](bool down) {
        if (QAction* button = form.FilterButton()) {
            button->setChecked(down);
        }
    };
    auto* dialog = new TFilterForm(form.Settings(), prompter, std::move(hooks), form.MainWindow());
    form.ShowFilterDialog = [dialog] {
        dialog->show();
        dialog->raise();
        dialog->activateWindow();
    };
    return dialog;
}
