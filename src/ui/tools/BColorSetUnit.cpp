#include "ui/tools/BColorSetUnit.h"

#include "traffic/DataRT.h"
#include "ui/main/FormStyle.h"
#include "ui/main/ScreenFit.h"

#include "ui/main/MainContext.h"
#include "ui/main/RichView.h"
#include "ui/main/UiPrompter.h"
#include "ui/send/SendForm.h"
#include "ui/tools/FindUnit.h"

#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>

#include <algorithm>

namespace {

QColor FromBgr(uint32_t bgr) {
    return QColor(static_cast<int>(bgr & 0xFF), static_cast<int>((bgr >> 8) & 0xFF),
                  static_cast<int>((bgr >> 16) & 0xFF));
}

} // namespace

TColorSwatch::TColorSwatch(QWidget* parent) : QFrame(parent) {
    setFrameStyle(QFrame::Panel | QFrame::Sunken);
    setLineWidth(1);
    setAutoFillBackground(true);
    setCursor(Qt::PointingHandCursor);
    SetColor(0);
}

void TColorSwatch::SetColor(uint32_t bgr) {
    m_color = bgr;
    QPalette p = palette();
    p.setColor(QPalette::Window, FromBgr(bgr));
    setPalette(p);
}

void TColorSwatch::mouseReleaseEvent(QMouseEvent* event) {
    QFrame::mouseReleaseEvent(event);
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) {
        emit clicked();
    }
}

TBColorSetForm::TBColorSetForm(SettingsRecord& settings, TUiPrompter& prompter, QWidget* parent)
    : QDialog(parent, FixedDialogFlags()), m_settings(settings), m_prompter(prompter) {
    setObjectName(QStringLiteral("BColorSetForm"));
    KeepWholeOnScreen(this);
    setWindowTitle(QStringLiteral("Color Settings"));
    setModal(false);
    SetFormFont(this);
    setFixedSize(300, 191);

    struct Row {
        const char* label;
        const char* labelName;
        const char* swatchName;
        int top;
        TColorSwatch** swatch;
    };
    const Row rows[] = {
        {"Receive Window:", "Label1", "Panel1", 13, &Panel1},
        {"Send Window:", "Label2", "Panel2", 40, &Panel2},
        {"Search Window:", "Label3", "Panel3", 66, &Panel3},
        {"Receive Message Font:", "Label4", "Panel4", 94, &Panel4},
        {"Send Message Font:", "Label5", "Panel5", 123, &Panel5},
        {"Tapped Port Font:", "Label6", "Panel6", 151, &Panel6},
    };
    // The swatches stand clear of the longest label in the font at hand.
    int swatchLeft = 151;
    for (const Row& row : rows) {
        swatchLeft = std::max(
            swatchLeft, 34 + fontMetrics().horizontalAdvance(QString::fromLatin1(row.label)) + 8);
    }
    setFixedSize(std::max(300, swatchLeft + 89 + 60), 191);
    for (const Row& row : rows) {
        auto* label = new QLabel(QString::fromLatin1(row.label), this);
        label->setObjectName(QString::fromLatin1(row.labelName));
        label->adjustSize();
        label->move(34, row.top + (21 - label->height()) / 2);
        auto* swatch = new TColorSwatch(this);
        swatch->setObjectName(QString::fromLatin1(row.swatchName));
        swatch->setGeometry(swatchLeft, row.top, 89, 21);
        connect(swatch, &TColorSwatch::clicked, this, [this, swatch] { SwatchClicked(swatch); });
        *row.swatch = swatch;
        if (swatch == Panel6) {
            label->hide();
            swatch->hide();
        }
    }

    auto button = [this](const char* name, const QString& text, int left, int width) {
        auto* b = new QPushButton(text, this);
        b->setObjectName(QString::fromLatin1(name));
        b->setAutoDefault(false);
        b->setGeometry(left, 158, width, 24);
        return b;
    };
    Button1 = button("Button1", QStringLiteral("Default"), 33, 73);
    Button2 = button("Button2", QStringLiteral("Ok"), 152, 57);
    Button3 = button("Button3", QStringLiteral("Cancel"), 224, 57);
    connect(Button1, &QPushButton::clicked, this, &TBColorSetForm::DefaultClicked);
    connect(Button2, &QPushButton::clicked, this, &TBColorSetForm::OkClicked);
    connect(Button3, &QPushButton::clicked, this, &TBColorSetForm::CancelClicked);
}

void TBColorSetForm::SetTapColor(uint32_t* field, std::function<void()> changed) {
    m_tapField = field;
    m_tapChanged = std::move(changed);
    if (field == nullptr || Panel6->isVisibleTo(this)) {
        return;
    }
    // The row goes where the buttons were; they move down by one row.
    constexpr int rowHeight = 28;
    findChild<QLabel*>(QStringLiteral("Label6"))->show();
    Panel6->show();
    for (QPushButton* b : {Button1, Button2, Button3}) {
        b->move(b->x(), b->y() + rowHeight);
    }
    setFixedSize(width(), height() + rowHeight);
}

void TBColorSetForm::SetViews(RichView* receiveView, RichView* sendView, RichView* searchView) {
    m_receiveView = receiveView;
    m_sendView = sendView;
    m_searchView = searchView;
}

std::array<uint32_t*, 5> TBColorSetForm::Fields() {
    return {&m_settings.receiveWindowColor, &m_settings.sendWindowColor,
            &m_settings.searchWindowColor, &m_settings.receiveTextColor, &m_settings.sendTextColor};
}

std::array<TColorSwatch*, 5> TBColorSetForm::Swatches() const {
    return {Panel1, Panel2, Panel3, Panel4, Panel5};
}

void TBColorSetForm::showEvent(QShowEvent* event) {
    const std::array<uint32_t*, 5> fields = Fields();
    const std::array<TColorSwatch*, 5> swatches = Swatches();
    for (size_t i = 0; i < swatches.size(); ++i) {
        swatches[i]->SetColor(*fields[i]);
    }
    if (m_tapField != nullptr) {
        Panel6->SetColor(*m_tapField);
    }
    if (QWidget* owner = parentWidget()) {
        move(owner->window()->pos() + OffsetFromMainWindow);
    }
    QDialog::showEvent(event);
}

void TBColorSetForm::SwatchClicked(TColorSwatch* swatch) {
    uint32_t color = m_lastChosen;
    if (m_prompter.ChooseColor(this, color)) {
        m_lastChosen = color;
        swatch->SetColor(color);
    }
}

void TBColorSetForm::DefaultClicked() {
    const SettingsRecord fresh = SettingsRecord::Fresh();
    const uint32_t defaults[] = {fresh.receiveWindowColor, fresh.sendWindowColor,
                                 fresh.searchWindowColor, fresh.receiveTextColor,
                                 fresh.sendTextColor};
    const std::array<TColorSwatch*, 5> swatches = Swatches();
    for (size_t i = 0; i < swatches.size(); ++i) {
        swatches[i]->SetColor(defaults[i]);
    }
    Panel6->SetColor(DefaultTapTextColor);
}

void TBColorSetForm::OkClicked() {
    const std::array<uint32_t*, 5> fields = Fields();
    const std::array<TColorSwatch*, 5> swatches = Swatches();
    for (size_t i = 0; i < swatches.size(); ++i) {
        *fields[i] = swatches[i]->Color();
    }
    if (m_tapField != nullptr) {
        *m_tapField = Panel6->Color();
        if (m_tapChanged) {
            m_tapChanged();
        }
    }
    // The text colours need nothing more: the pump and the search output read them from
    // the record for every line they write.
    if (m_receiveView != nullptr) {
        m_receiveView->SetBackgroundColor(m_settings.receiveWindowColor);
    }
    if (m_sendView != nullptr) {
        m_sendView->SetBackgroundColor(m_settings.sendWindowColor);
    }
    if (m_searchView != nullptr) {
        m_searchView->SetBackgroundColor(m_settings.searchWindowColor);
    }
    close();
}

void TBColorSetForm::CancelClicked() {
    close();
}

void InstallBColorSetForm(TMainContext& form, TUiPrompter& prompter) {
    auto* dialog = new TBColorSetForm(form.Settings(), prompter, form.MainWindow());
    TFindForm* output = form.SearchOutput();
    dialog->SetViews(form.TrafficView(), form.SendEditor(),
                     output != nullptr ? output->RichFind : nullptr);
    form.ShowColorSettings = [dialog] {
        dialog->show();
        dialog->raise();
        dialog->activateWindow();
    };
}
