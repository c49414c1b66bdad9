#include "ui/tools/TimeSaveUnit.h"

#include "ui/main/FormStyle.h"
#include "ui/main/ScreenFit.h"

#include "settings/SettingsRecord.h"
#include "ui/main/Application.h"
#include "ui/main/MainContext.h"
#include "ui/main/UiPrompter.h"
#include "ui/send/SetForm.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QShowEvent>

#include <algorithm>
#include <exception>
#include <string>

namespace {

constexpr int ClientWidth = 333;
constexpr int ClientHeight = 177;

// The record holds at most 255 bytes of the folder; a cut never splits a character.
std::string CutPath(const QString& path) {
    std::string bytes = path.toStdString();
    if (bytes.size() <= SettingsRecord::MaxPathLength) {
        return bytes;
    }
    size_t end = SettingsRecord::MaxPathLength;
    while (end > 0 && (static_cast<unsigned char>(bytes[end]) & 0xC0) == 0x80) {
        --end;
    }
    bytes.resize(end);
    return bytes;
}

} // namespace

TTimeSaveForm::TTimeSaveForm(TMainContext& form, TUiPrompter& prompter)
    : QDialog(form.MainWindow(), FixedDialogFlags()), m_form(form), m_prompter(prompter) {
    setObjectName(QStringLiteral("TimeSaveForm"));
    KeepWholeOnScreen(this);
    setWindowTitle(QStringLiteral("Auto Save or Clear"));
    setModal(false);
    SetFormFont(this);
    setFixedSize(ClientWidth, ClientHeight);

    CheckBox1 = Named(new QCheckBox(QStringLiteral(" Auto To Clear"), this), "CheckBox1");
    CheckBox1->setGeometry(19, 15, 102, 25);
    CheckBox2 = Named(new QCheckBox(QStringLiteral(" Auto To Save"), this), "CheckBox2");
    CheckBox2->setGeometry(19, 46, 102, 17);
    Label1 = Named(new QLabel(QStringLiteral("Receiving Lines:"), this), "Label1");
    Label1->adjustSize();
    Label1->move(141, 20);
    Edit1 = Named(new QLineEdit(this), "Edit1");
    // Wide enough for the six digits of the largest useful count in the font at hand.
    const int digits = Edit1->fontMetrics().horizontalAdvance(QStringLiteral("150000"));
    Edit1->setGeometry(224, 17, std::max(37, digits + 10), 18);
    Label2 = Named(new QLabel(QStringLiteral("Save Path:"), this), "Label2");
    Label2->adjustSize();
    Label2->move(19, 81);
    Edit2 = Named(new QLineEdit(this), "Edit2");
    Edit2->setGeometry(19, 103, 254, 20);
    Button1 = Named(new QPushButton(QStringLiteral("..."), this), "Button1");
    Button1->setGeometry(280, 102, 25, 22);
    Button1->setAutoDefault(false);
    Button2 = Named(new QPushButton(QStringLiteral("Ok"), this), "Button2");
    Button2->setGeometry(200, 149, 48, 22);
    Button2->setAutoDefault(false);
    Button3 = Named(new QPushButton(QStringLiteral("Cancel"), this), "Button3");
    Button3->setGeometry(272, 149, 48, 22);
    Button3->setAutoDefault(false);

    connect(Button1, &QPushButton::clicked, this, [this] { BrowseFolder(); });
    connect(Button2, &QPushButton::clicked, this, [this] { OkClicked(); });
    connect(Button3, &QPushButton::clicked, this, [this] { close(); });
}

void TTimeSaveForm::showEvent(QShowEvent* event) {
    // A window restored from the task bar is not shown anew: the user's edits stay.
    if (!event->spontaneous()) {
        const SettingsRecord& s = m_form.Settings();
        CheckBox1->setChecked(m_form.AutoClearOn);
        CheckBox2->setChecked(m_form.AutoSaveOn);
        Edit1->setText(QString::number(s.autoLineThreshold));
        Edit2->setText(QString::fromStdString(s.autoSavePath));
        move(m_form.MainWindow()->frameGeometry().topLeft() + QPoint(50, 100));
    }
    QDialog::showEvent(event);
}

void TTimeSaveForm::BrowseFolder() {
    const QString chosen = m_prompter.FolderName(
        this, QStringLiteral("Please select a path for saving."), Edit2->text());
    if (!chosen.isEmpty()) {
        Edit2->setText(chosen);
    }
}

bool TTimeSaveForm::OkClicked() {
    SettingsRecord& s = m_form.Settings();
    m_form.AutoClearOn = CheckBox1->isChecked();
    m_form.AutoSaveOn = CheckBox2->isChecked();
    try {
        s.autoLineThreshold =
            std::max(1, TSetForm::StrToInt(Edit1->text().toLatin1().toStdString()));
    } catch (const std::exception& e) {
        TKorvaneApplication::ReportError(e.what());
        return false;
    }
    s.autoSavePath = CutPath(Edit2->text());
    if (m_form.AutoSaveOn && s.autoSavePath.empty()) {
        m_prompter.Message(this, QStringLiteral("Select a path to save please."),
                           QStringLiteral("AutoSave"));
        return false;
    }
    close();
    return true;
}

TTimeSaveForm* InstallTimeSaveForm(TMainContext& form, TUiPrompter& prompter) {
    auto* dialog = new TTimeSaveForm(form, prompter);
    form.ShowAutoSave = [dialog] {
        dialog->show();
        dialog->raise();
        dialog->activateWindow();
    };
    return dialog;
}
