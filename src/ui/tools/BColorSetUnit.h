#pragma once
// The colour settings dialog: the backgrounds of the three text views and the colours of
// received and sent data. The swatches are a scratch copy; the settings record and the
// views change only on "Ok".

#include "settings/SettingsRecord.h"

#include <QDialog>
#include <QFrame>
#include <array>
#include <cstdint>
#include <functional>

class QPushButton;
class RichView;
class TMainContext;
class TUiPrompter;

// A lowered panel filled with one colour; a click asks for another.
class TColorSwatch : public QFrame {
    Q_OBJECT
public:
    explicit TColorSwatch(QWidget* parent = nullptr);
    uint32_t Color() const { return m_color; }
    void SetColor(uint32_t bgr);

signals:
    void clicked();

protected:
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    uint32_t m_color = 0;
};

class TBColorSetForm : public QDialog {
    Q_OBJECT
public:
    TBColorSetForm(SettingsRecord& settings, TUiPrompter& prompter, QWidget* parent = nullptr);

    // The views whose backgrounds "Ok" sets; any may be null.
    void SetViews(RichView* receiveView, RichView* sendView, RichView* searchView);
    // A sixth row for the lines of a tapped second port: its colour lives outside the
    // settings record (config.ini); "Ok" stores it in `field` and calls `changed`.
    void SetTapColor(uint32_t* field, std::function<void()> changed);

    // Panel1Click to Panel5Click: the colour dialog, and the swatch takes what it confirms.
    void SwatchClicked(TColorSwatch* swatch);
    void DefaultClicked();
    void OkClicked();
    void CancelClicked();

    // Placed this far right of and below the main window's top-left corner when shown.
    static constexpr QPoint OffsetFromMainWindow{50, 100};

    TColorSwatch* Panel1 = nullptr; // receiveWindowColor
    TColorSwatch* Panel2 = nullptr; // sendWindowColor
    TColorSwatch* Panel3 = nullptr; // searchWindowColor
    TColorSwatch* Panel4 = nullptr; // receiveTextColor
    TColorSwatch* Panel5 = nullptr; // sendTextColor
    TColorSwatch* Panel6 = nullptr; // the tapped port's text, shown after SetTapColor
    QPushButton* Button1 = nullptr; // "Default"
    QPushButton* Button2 = nullptr; // "Ok"
    QPushButton* Button3 = nullptr; // "Cancel"

protected:
    void showEvent(QShowEvent* event) override;

private:
    // The five settings fields in swatch order.
    std::array<uint32_t*, 5> Fields();
    std::array<TColorSwatch*, 5> Swatches() const;

    SettingsRecord& m_settings;
    TUiPrompter& m_prompter;
    RichView* m_receiveView = nullptr;
    RichView* m_sendView = nullptr;
    RichView* m_searchView = nullptr;
    uint32_t* m_tapField = nullptr;
    std::function<void()> m_tapChanged;
    // The colour dialog opens with what was last chosen in it, not with the swatch's colour.
    uint32_t m_lastChosen = 0;
};

// Creates the dialog as a child of the main window and makes "Color Settings" show it.
void InstallBColorSetForm(TMainContext& form, TUiPrompter& prompter);
