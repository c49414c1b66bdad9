#pragma once
// The text-colour button: a split button whose face shows the selected colour and whose
// arrow opens a palette (a grid of colours, "No Color", "Auto", "Other Color..."). The
// palette tears off into a floating "Color Window". The selected colour (0x00BBGGRR) is
// the button's "selectedColor" property, which is what the main window saves as markColor.

#include <QMenu>
#include <QToolButton>
#include <cstdint>
#include <vector>

class TMainContext;
class TUiPrompter;

class TColorPalette : public QMenu {
    Q_OBJECT
public:
    // Equips the button: sets itself as its menu, makes it a split button and keeps its
    // face painted in the colour of its "selectedColor" property.
    TColorPalette(QToolButton* button, TUiPrompter& prompter);

    // The colour "No Color" and "Auto" pick: the views' plain text colour.
    static constexpr uint32_t AutoColor = 0x00000000;
    static const std::vector<uint32_t>& GridColors();

    // As a click on a colour of the grid: the button's selected colour becomes bgr.
    void PickColor(uint32_t bgr);
    // "Other Color...": the colour dialog, opened with the selected colour.
    void PickOtherColor();
    uint32_t SelectedColor() const;

    QAction* NoColorAction = nullptr;
    QAction* AutoAction = nullptr;
    QAction* OtherColorAction = nullptr;

signals:
    // After the button's selected colour has changed to bgr.
    void colorPicked(uint32_t bgr);

protected:
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void PaintFace();

    QToolButton* m_button;
    TUiPrompter& m_prompter;
};

class TColorButton : public QToolButton {
    Q_OBJECT
public:
    explicit TColorButton(TUiPrompter& prompter, QWidget* parent = nullptr);

    uint32_t SelectedColor() const { return m_palette->SelectedColor(); }
    void SetSelectedColor(uint32_t bgr);
    TColorPalette* Palette() const { return m_palette; }

signals:
    // A colour was chosen from the palette.
    void colorChosen(uint32_t bgr);

private:
    TColorPalette* m_palette;
};

// Gives the main window's hidden JvOfficeColorButton1 the palette; a click on its face and
// every colour chosen from the palette colour the selection of the active view.
void InstallColorButton(TMainContext& form, TUiPrompter& prompter);
