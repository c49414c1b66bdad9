#include "ui/tools/ColorButton.h"

#include "traffic/DataRT.h"
#include "ui/main/MainContext.h"
#include "ui/main/RichView.h"
#include "ui/main/UiPrompter.h"

#include <QEvent>
#include <QGridLayout>
#include <QHelpEvent>
#include <QPainter>
#include <QStyle>
#include <QToolTip>
#include <QVariant>
#include <QWidgetAction>

namespace {

const char* const SelectedColorProperty = "selectedColor";

QColor FromBgr(uint32_t bgr) {
    return QColor(static_cast<int>(bgr & 0xFF), static_cast<int>((bgr >> 8) & 0xFF),
                  static_cast<int>((bgr >> 16) & 0xFF));
}

uint32_t ToBgr(const QColor& c) {
    return static_cast<uint32_t>(c.red()) | static_cast<uint32_t>(c.green()) << 8 |
           static_cast<uint32_t>(c.blue()) << 16;
}

// The grid of the palette. A torn-off copy of the menu needs a grid of its own, so the
// action makes one per menu that shows it.
class TColorGridAction : public QWidgetAction {
public:
    explicit TColorGridAction(TColorPalette* palette)
        : QWidgetAction(palette), m_palette(palette) {}

protected:
    QWidget* createWidget(QWidget* parent) override {
        auto* grid = new QWidget(parent);
        grid->setObjectName(QStringLiteral("ColorGrid"));
        auto* layout = new QGridLayout(grid);
        layout->setContentsMargins(4, 4, 4, 4);
        layout->setSpacing(2);
        const std::vector<uint32_t>& colors = TColorPalette::GridColors();
        for (size_t i = 0; i < colors.size(); ++i) {
            const uint32_t bgr = colors[i];
            const QColor color = FromBgr(bgr);
            auto* cell = new QToolButton(grid);
            cell->setAutoRaise(true);
            cell->setFixedSize(18, 18);
            QPixmap face(12, 12);
            face.fill(color);
            QPainter(&face).drawRect(0, 0, 11, 11);
            cell->setIcon(face);
            cell->setIconSize(QSize(12, 12));
            cell->setToolTip(
                QStringLiteral("%1, %2, %3").arg(color.red()).arg(color.green()).arg(color.blue()));
            connect(cell, &QToolButton::clicked, m_palette, [palette = m_palette, bgr] {
                palette->PickColor(bgr);
                palette->hide();
            });
            layout->addWidget(cell, static_cast<int>(i / 8), static_cast<int>(i % 8));
        }
        return grid;
    }

private:
    TColorPalette* m_palette;
};

} // namespace

const std::vector<uint32_t>& TColorPalette::GridColors() {
    // Eight columns (greys, then seven hues) of five shades, dark to pale.
    static const std::vector<uint32_t> colors = [] {
        std::vector<uint32_t> out;
        const int hues[] = {0, 30, 60, 120, 180, 240, 300};
        const int saturation[] = {255, 255, 255, 150, 60};
        const int value[] = {128, 200, 255, 255, 255};
        const int greys[] = {0, 64, 128, 192, 255};
        for (int row = 0; row < 5; ++row) {
            out.push_back(ToBgr(QColor(greys[row], greys[row], greys[row])));
            for (int hue : hues) {
                out.push_back(ToBgr(QColor::fromHsv(hue, saturation[row], value[row])));
            }
        }
        return out;
    }();
    return colors;
}

TColorPalette::TColorPalette(QToolButton* button, TUiPrompter& prompter)
    : QMenu(button), m_button(button), m_prompter(prompter) {
    setObjectName(QStringLiteral("ColorPalette"));
    setTearOffEnabled(true);
    // The torn-off window takes the menu's title.
    setTitle(QStringLiteral("Color Window"));
    setWindowTitle(QStringLiteral("Color Window"));
    setToolTipsVisible(true);

    NoColorAction = addAction(QStringLiteral("No Color"));
    NoColorAction->setObjectName(QStringLiteral("NoColor"));
    NoColorAction->setToolTip(QStringLiteral("No Color"));
    AutoAction = addAction(QStringLiteral("Auto"));
    AutoAction->setObjectName(QStringLiteral("AutoColor"));
    AutoAction->setToolTip(QStringLiteral("Automatic"));
    addSeparator();
    addAction(new TColorGridAction(this));
    addSeparator();
    OtherColorAction = addAction(QStringLiteral("Other Color..."));
    OtherColorAction->setObjectName(QStringLiteral("OtherColor"));
    OtherColorAction->setToolTip(QStringLiteral("Other Colors..."));
    connect(NoColorAction, &QAction::triggered, this, [this] { PickColor(AutoColor); });
    connect(AutoAction, &QAction::triggered, this, [this] { PickColor(AutoColor); });
    connect(OtherColorAction, &QAction::triggered, this, &TColorPalette::PickOtherColor);

    button->setMenu(this);
    button->setPopupMode(QToolButton::MenuButtonPopup);
    button->installEventFilter(this);
    PaintFace();
}

uint32_t TColorPalette::SelectedColor() const {
    const QVariant value = m_button->property(SelectedColorProperty);
    return value.isValid() ? value.value<uint32_t>() : AutoColor;
}

void TColorPalette::PickColor(uint32_t bgr) {
    m_button->setProperty(SelectedColorProperty, QVariant::fromValue(bgr));
    emit colorPicked(bgr);
}

void TColorPalette::PickOtherColor() {
    uint32_t bgr = SelectedColor();
    if (m_prompter.ChooseColor(m_button->window(), bgr)) {
        PickColor(bgr);
    }
}

bool TColorPalette::event(QEvent* event) {
    if (event->type() == QEvent::ToolTip && isTearOffEnabled()) {
        // Qt gives the tear-off bar no hint of its own.
        const auto* help = static_cast<QHelpEvent*>(event);
        const int bar = style()->pixelMetric(QStyle::PM_MenuPanelWidth, nullptr, this) +
                        style()->pixelMetric(QStyle::PM_MenuVMargin, nullptr, this) +
                        contentsMargins().top() +
                        style()->pixelMetric(QStyle::PM_MenuTearoffHeight, nullptr, this);
        if (help->pos().y() < bar) {
            QToolTip::showText(help->globalPos(), QStringLiteral("Drag to float"), this);
            return true;
        }
    }
    return QMenu::event(event);
}

bool TColorPalette::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_button && event->type() == QEvent::DynamicPropertyChange &&
        static_cast<QDynamicPropertyChangeEvent*>(event)->propertyName() == SelectedColorProperty) {
        PaintFace();
    }
    return QMenu::eventFilter(watched, event);
}

void TColorPalette::PaintFace() {
    // A letter over a bar of the selected colour, as text-colour buttons show it.
    QPixmap face(16, 16);
    face.fill(Qt::transparent);
    QPainter p(&face);
    QFont font = m_button->font();
    font.setPixelSize(11);
    font.setBold(true);
    p.setFont(font);
    p.setPen(Qt::black);
    p.drawText(QRect(0, 0, 16, 12), Qt::AlignCenter, QStringLiteral("A"));
    p.fillRect(QRect(1, 12, 14, 4), FromBgr(SelectedColor()));
    p.end();
    m_button->setIcon(face);
}

TColorButton::TColorButton(TUiPrompter& prompter, QWidget* parent)
    : QToolButton(parent), m_palette(new TColorPalette(this, prompter)) {
    connect(m_palette, &TColorPalette::colorPicked, this, &TColorButton::colorChosen);
}

void TColorButton::SetSelectedColor(uint32_t bgr) {
    setProperty(SelectedColorProperty, QVariant::fromValue(bgr));
}

void InstallColorButton(TMainContext& form, TUiPrompter& prompter) {
    QToolButton* button = form.ColorButton();
    auto* palette = new TColorPalette(button, prompter);
    // The main window's own click handler colours with markColor, which follows the
    // button only at shutdown; the palette's colour must take effect at once.
    QObject::disconnect(button, &QToolButton::clicked, form.MainWindow(), nullptr);
    auto colourSelection = [&form, palette] {
        if (TDataRT* pump = form.DataRT()) {
            if (auto* view = dynamic_cast<RichView*>(pump->ActiveView)) {
                view->SetSelectionColor(palette->SelectedColor());
            }
        }
    };
    QObject::connect(button, &QToolButton::clicked, form.MainWindow(), colourSelection);
    QObject::connect(palette, &TColorPalette::colorPicked, form.MainWindow(), colourSelection);
}
