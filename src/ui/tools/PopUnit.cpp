#include "ui/tools/PopUnit.h"

#include "ui/main/FormStyle.h"
#include "ui/main/ScreenFit.h"

#include "codec/HexCodec.h"
#include "traffic/DataRT.h"
#include "ui/main/MainContext.h"

#include <QCursor>
#include <QEvent>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>

#include <algorithm>
#include <cstdint>

namespace {

constexpr int FieldHeight = 16;
// The line edit's own margins left and right of its text, and the caret.
constexpr int FieldTextMargins = 5;

QLineEdit* MakeField(QWidget* parent, const char* name, int x, int y) {
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(QString::fromLatin1(name));
    edit->setFrame(false);
    edit->setGeometry(x, y, 0, FieldHeight);
    QPalette palette = edit->palette();
    palette.setColor(QPalette::Base, palette.color(QPalette::Window));
    edit->setPalette(palette);
    return edit;
}

} // namespace

TPopForm::TPopForm(QWidget* parent) : QWidget(parent, Qt::Tool | Qt::FramelessWindowHint) {
    setObjectName(QStringLiteral("PopForm"));
    KeepWholeOnScreen(this);
    setWindowTitle(QStringLiteral("PopForm"));
    SetFormFont(this);
    resize(ClientWidth, ClientHeight);

    Panel1 = new QFrame(this);
    Panel1->setObjectName(QStringLiteral("Panel1"));
    Panel1->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    Panel1->setGeometry(0, 0, ClientWidth, ClientHeight);
    Label1 = new QLabel(QStringLiteral("Dec:"), Panel1);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->adjustSize();
    Label1->move(9, 6);
    Label2 = new QLabel(QStringLiteral("Bin:"), Panel1);
    Label2->setObjectName(QStringLiteral("Label2"));
    Label2->adjustSize();
    Label2->move(9, 22);
    Edit1 = MakeField(Panel1, "Edit1", 32, 7);
    Edit1->setReadOnly(true);
    Edit2 = MakeField(Panel1, "Edit2", 32, 22);
    Edit3 = MakeField(Panel1, "Edit3", 0, 0);
}

void TPopForm::ShowValue(const ValuePopupRequest& request) {
    Edit1->setText(QString::fromLatin1(request.decimal.data(),
                                       static_cast<qsizetype>(request.decimal.size())));
    Edit2->setText(
        QString::fromLatin1(request.binary.data(), static_cast<qsizetype>(request.binary.size())));
    // Five characters of binary text per hex digit, two digits per byte; valid hex byte
    // text always has whole bytes.
    const int bytes = static_cast<int>(request.binary.size() / 10);
    // 54 pixels a byte fit the digits in the program's own font; a wider substitute font
    // gets the room its digits need, so the last group is never cut off.
    const int needed =
        Edit2->fontMetrics().horizontalAdvance(Edit2->text().trimmed()) + FieldTextMargins;
    const int fieldWidth = std::max(bytes * PixelsPerByte, needed);
    Edit1->resize(fieldWidth, FieldHeight);
    Edit2->resize(fieldWidth, FieldHeight);
    // The fields are sized to the digits alone; the trailing blank may be cut, never the
    // first digits.
    Edit1->setCursorPosition(0);
    Edit2->setCursorPosition(0);
    resize(Label2->width() + fieldWidth + 17, ClientHeight);
    Panel1->resize(size());
    move(request.x, request.y - height() - 10);
    show();
    raise();
    activateWindow();
    Edit3->setFocus();
}

void TPopForm::changeEvent(QEvent* event) {
    // Any click elsewhere takes the activation away and dismisses the popup.
    if (event->type() == QEvent::ActivationChange && isVisible() && !isActiveWindow()) {
        hide();
    }
    QWidget::changeEvent(event);
}

std::optional<ValuePopupRequest> SelectionValue(std::string_view selection, int x, int y) {
    const std::string trimmed = TrimText(selection);
    if (!IsHexText(trimmed)) {
        return std::nullopt;
    }
    const std::string digits = RemoveBlanks(trimmed);
    // A value that runs over a line break is two values, not one.
    if (digits.size() > 8 || digits.find_first_of("\r\n") != std::string::npos) {
        return std::nullopt;
    }
    const auto value = static_cast<uint32_t>(std::stoul(digits, nullptr, 16));
    ValuePopupRequest request;
    request.decimal = std::to_string(value);
    request.binary = HexToBinGroups(digits);
    request.x = x;
    request.y = y;
    return request;
}

TPopForm* InstallPopForm(TMainContext& form) {
    auto* popup = new TPopForm(form.MainWindow());
    form.ShowValuePopup = [popup](const ValuePopupRequest& request) { popup->ShowValue(request); };
    form.ShowValuePopupForSelection = [&form, popup] {
        const TDataRT* engine = form.DataRT();
        if (engine == nullptr || engine->ActiveView == nullptr) {
            return;
        }
        const QPoint pointer = QCursor::pos();
        if (const std::optional<ValuePopupRequest> request =
                SelectionValue(engine->ActiveView->SelectedText(), pointer.x(), pointer.y())) {
            popup->ShowValue(*request);
        }
    };
    return popup;
}
