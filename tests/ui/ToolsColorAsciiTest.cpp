// The colour settings dialog, the ASCII chart and the tool bar's colour button as a user
// meets them in the running program. Offscreen platform, a private data folder per test,
// scripted colour dialogs.

#include "platform/NamedLock.h"
#include "richtext/RichText.h"
#include "settings/SettingsFile.h"
#include "settings/SettingsTestSupport.h"
#include "traffic/DataRT.h"
#include "ui/MainWindowTest.h"
#include "ui/QtTestApp.h"
#include "ui/ScriptedPrompter.h"
#include "ui/main/MainForm.h"
#include "ui/main/RichView.h"
#include "ui/send/SendForm.h"
#include "ui/tools/AscUnit.h"
#include "ui/tools/BColorSetUnit.h"
#include "ui/tools/ColorButton.h"
#include "ui/tools/FindUnit.h"

#include <QAction>
#include <QApplication>
#include <QHelpEvent>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QToolBar>
#include <QToolTip>

#include <memory>
#include <set>
#include <string>
#include <vector>

namespace {

class ToolsColorAsciiTest : public MainWindowTest {
protected:
    TBColorSetForm* OpenColorSettings() {
        m_form->N51->trigger();
        auto* dialog = m_form->findChild<TBColorSetForm*>();
        EXPECT_NE(dialog, nullptr);
        EXPECT_TRUE(dialog != nullptr && dialog->isVisible());
        return dialog;
    }

    static std::vector<uint32_t> Swatches(const TBColorSetForm& d) {
        return {d.Panel1->Color(), d.Panel2->Color(), d.Panel3->Color(), d.Panel4->Color(),
                d.Panel5->Color()};
    }
    static std::vector<uint32_t> Stored(const SettingsRecord& s) {
        return {s.receiveWindowColor, s.sendWindowColor, s.searchWindowColor, s.receiveTextColor,
                s.sendTextColor};
    }
    static std::vector<uint32_t> FirstThree(const std::vector<uint32_t>& colors) {
        return {colors.begin(), colors.begin() + 3};
    }
    std::vector<uint32_t> Backgrounds() const {
        return {m_form->RichShow->BackgroundColor(), m_form->SendForm->RichSend->BackgroundColor(),
                m_form->FindForm->RichFind->BackgroundColor()};
    }

    // A record as the receive thread queues it, taken by one pump tick.
    void Pump(const std::string& record) {
        TOruScomm& connection = *m_form->Connection();
        ASSERT_TRUE(connection.QueueRecord(record));
        m_form->DataRT()->PumpTick();
    }

    // The colour of the payload (after the grey prefix) of each line of the traffic view.
    std::vector<uint32_t> PayloadColors() const {
        std::vector<uint32_t> colors;
        bool inPayload = false;
        for (const StyledRun& run : m_form->RichShow->ToStyledText()) {
            if (run.style.color == TrafficPrefixColor) {
                inPayload = false;
                continue;
            }
            if (!inPayload && !run.text.empty() && run.text != "\n") {
                colors.push_back(run.style.color);
                inPayload = true;
            }
            if (!run.text.empty() && run.text.back() == '\n') {
                inPayload = false;
            }
        }
        return colors;
    }
};

// --- colour settings ---

TEST_F(ToolsColorAsciiTest, OkStoresTheChosenColoursAndAppliesThemToViewsAndNewTraffic) {
    TMainForm& form = Start();
    const SettingsRecord fresh = SettingsRecord::Fresh();
    Pump("R[12:00:00 ---]01 02");
    Pump("T[12:00:01 ---]03 04");

    TBColorSetForm* dialog = OpenColorSettings();
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(dialog->windowTitle(), "Color Settings");
    EXPECT_EQ(dialog->pos(), form.pos() + QPoint(50, 100));
    EXPECT_EQ(Swatches(*dialog), Stored(fresh));

    const std::vector<uint32_t> chosen = {0x00112233, 0x00445566, 0x00778899, 0x00AA0011,
                                          0x000022BB};
    for (uint32_t c : chosen) {
        m_prompter.colors.push_back(c);
    }
    for (TColorSwatch* swatch :
         {dialog->Panel1, dialog->Panel2, dialog->Panel3, dialog->Panel4, dialog->Panel5}) {
        QTest::mouseClick(swatch, Qt::LeftButton);
    }
    EXPECT_EQ(Swatches(*dialog), chosen);
    // Each colour dialog opens with the colour last confirmed in it, black the first time.
    const std::vector<uint32_t> starts = {0, chosen[0], chosen[1], chosen[2], chosen[3]};
    EXPECT_EQ(m_prompter.colorDialogStarts, starts);
    // Nothing is stored or shown before "Ok".
    EXPECT_EQ(Stored(form.Settings()), Stored(fresh));
    EXPECT_EQ(Backgrounds(), FirstThree(Stored(fresh)));

    QTest::mouseClick(dialog->Button2, Qt::LeftButton);
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(Stored(form.Settings()), chosen);
    EXPECT_EQ(Backgrounds(), FirstThree(chosen));

    // Traffic already shown keeps its colours; new lines take the new ones.
    Pump("R[12:00:02 ---]05 06");
    Pump("T[12:00:03 ---]07 08");
    const std::vector<uint32_t> lines = {fresh.receiveTextColor, fresh.sendTextColor, chosen[3],
                                         chosen[4]};
    EXPECT_EQ(PayloadColors(), lines);
}

TEST_F(ToolsColorAsciiTest, CancelStoresNothingAndDefaultRestoresAllFive) {
    TMainForm& form = Start();
    const SettingsRecord fresh = SettingsRecord::Fresh();
    const std::vector<uint32_t> custom = {0x00010101, 0x00020202, 0x00030303, 0x00040404,
                                          0x00050505};
    form.Settings().receiveWindowColor = custom[0];
    form.Settings().sendWindowColor = custom[1];
    form.Settings().searchWindowColor = custom[2];
    form.Settings().receiveTextColor = custom[3];
    form.Settings().sendTextColor = custom[4];
    const std::vector<uint32_t> backgrounds = Backgrounds();

    TBColorSetForm* dialog = OpenColorSettings();
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(Swatches(*dialog), custom);
    // A cancelled colour dialog leaves the swatch as it was.
    m_prompter.colors = {std::nullopt, 0x00ABCDEF};
    QTest::mouseClick(dialog->Panel4, Qt::LeftButton);
    EXPECT_EQ(dialog->Panel4->Color(), custom[3]);
    QTest::mouseClick(dialog->Panel4, Qt::LeftButton);
    EXPECT_EQ(dialog->Panel4->Color(), 0x00ABCDEFu);

    QTest::mouseClick(dialog->Button1, Qt::LeftButton); // "Default"
    EXPECT_EQ(Swatches(*dialog), Stored(fresh));
    EXPECT_EQ(Stored(form.Settings()), custom);
    QTest::mouseClick(dialog->Button3, Qt::LeftButton); // "Cancel"
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(Stored(form.Settings()), custom);
    EXPECT_EQ(Backgrounds(), backgrounds);

    // Shown again: the stored colours, not those chosen before cancelling.
    dialog = OpenColorSettings();
    EXPECT_EQ(Swatches(*dialog), custom);
    QTest::mouseClick(dialog->Button1, Qt::LeftButton);
    QTest::mouseClick(dialog->Button2, Qt::LeftButton);
    EXPECT_EQ(Stored(form.Settings()), Stored(fresh));
    EXPECT_EQ(Backgrounds(), FirstThree(Stored(fresh)));
}

// --- ASCII chart ---

TEST_F(ToolsColorAsciiTest, AsciiChartNamesEveryCodeOnAFixedPicture) {
    TMainForm& form = Start();
    form.ASCII1->trigger();
    auto* chart = form.findChild<TAscForm*>();
    ASSERT_NE(chart, nullptr);
    EXPECT_TRUE(chart->isVisible());
    EXPECT_EQ(chart->windowTitle(), "ASCII");
    EXPECT_EQ(chart->Image1->pixmap().size(), QSize(614, 590));
    EXPECT_EQ(chart->size(), QSize(614, 590));
    EXPECT_EQ(chart->minimumSize(), chart->maximumSize());

    const struct {
        int code;
        const char* text;
    } cases[] = {{0, "NUL"},      {1, "SOH"}, {2, "STX"},  {7, "BEL"},  {8, "BS"},   {9, "HT"},
                 {10, "LF"},      {13, "CR"}, {17, "DC1"}, {23, "ETB"}, {27, "ESC"}, {31, "US"},
                 {32, "(space)"}, {48, "0"},  {65, "A"},   {96, "`"},   {126, "~"},  {127, "DEL"}};
    for (const auto& c : cases) {
        EXPECT_EQ(TAscForm::CharText(c.code), QString::fromLatin1(c.text)) << c.code;
    }
    std::set<QString> names;
    for (int code = 0; code < 128; ++code) {
        names.insert(TAscForm::CharText(code));
    }
    EXPECT_EQ(names.size(), 128u);
}

// --- colour button ---

TEST_F(ToolsColorAsciiTest, ColourButtonColoursTheActiveSelectionAndIsSavedAsMarkColor) {
    TMainForm& form = Start();
    QToolButton* button = form.JvOfficeColorButton1;
    ASSERT_EQ(button->objectName(), "JvOfficeColorButton1");
    EXPECT_FALSE(button->isVisible());
    EXPECT_EQ(button->popupMode(), QToolButton::MenuButtonPopup);
    auto* palette = qobject_cast<TColorPalette*>(button->menu());
    ASSERT_NE(palette, nullptr);
    EXPECT_EQ(palette->SelectedColor(), SettingsRecord::Fresh().markColor);
    EXPECT_EQ(palette->NoColorAction->text(), "No Color");
    EXPECT_EQ(palette->NoColorAction->toolTip(), "No Color");
    EXPECT_EQ(palette->AutoAction->text(), "Auto");
    EXPECT_EQ(palette->AutoAction->toolTip(), "Automatic");
    EXPECT_EQ(palette->OtherColorAction->text(), "Other Color...");
    EXPECT_EQ(palette->OtherColorAction->toolTip(), "Other Colors...");

    // A hidden tool bar item is disabled too; shown, as a layout may show it, its face
    // colours the selection of the active view, here the send editor.
    EXPECT_FALSE(button->isEnabled());
    for (QAction* item : form.ToolBar4->actions()) {
        if (form.ToolBar4->widgetForAction(item) == button) {
            item->setVisible(true);
        }
    }
    ASSERT_TRUE(button->isEnabled());
    RichView* send = form.SendForm->RichSend;
    send->InsertText("01 03 00 00", TextAttributes{});
    form.SendForm->Activated();
    send->SetSelection(3, 2);
    button->click();
    auto colorAt = [](const RichView& view, size_t offset) {
        size_t seen = 0;
        for (const StyledRun& run : view.ToStyledText()) {
            if (offset < seen + run.text.size()) {
                return run.style.color;
            }
            seen += run.text.size();
        }
        return 0xFFFFFFFFu;
    };
    const uint32_t mark = SettingsRecord::Fresh().markColor;
    EXPECT_EQ(colorAt(*send, 3), mark);
    EXPECT_EQ(colorAt(*send, 2), 0u);
    EXPECT_EQ(colorAt(*send, 5), 0u);

    // Choosing from the palette changes the colour and colours the selection at once;
    // later clicks on the face use the new colour.
    const uint32_t grid = TColorPalette::GridColors().at(9);
    palette->PickColor(grid);
    EXPECT_EQ(button->property("selectedColor").value<uint32_t>(), grid);
    EXPECT_EQ(colorAt(*send, 3), grid);
    send->SetSelection(0, 2);
    button->click();
    EXPECT_EQ(colorAt(*send, 0), grid);

    // "Other Color..." opens with the selected colour; a cancel changes nothing.
    m_prompter.colors = {std::nullopt, 0x00123456};
    palette->OtherColorAction->trigger();
    EXPECT_EQ(palette->SelectedColor(), grid);
    palette->OtherColorAction->trigger();
    const std::vector<uint32_t> starts = {grid, grid};
    EXPECT_EQ(m_prompter.colorDialogStarts, starts);
    EXPECT_EQ(palette->SelectedColor(), 0x00123456u);
    EXPECT_EQ(colorAt(*send, 0), 0x00123456u);
    palette->AutoAction->trigger();
    EXPECT_EQ(colorAt(*send, 0), TColorPalette::AutoColor);

    palette->NoColorAction->trigger();
    palette->PickColor(0x00654321);
    form.close();
    SettingsRecord saved;
    ASSERT_TRUE(LoadSettingsFile(saved, DataFilePath(SettingsFileName)));
    EXPECT_EQ(saved.markColor, 0x00654321u);
}

TEST_F(ToolsColorAsciiTest, PaletteTearsOffIntoAColorWindow) {
    TMainForm& form = Start();
    auto* palette = qobject_cast<TColorPalette*>(form.JvOfficeColorButton1->menu());
    ASSERT_NE(palette, nullptr);
    EXPECT_TRUE(palette->isTearOffEnabled());
    palette->showTearOffMenu(QPoint(100, 100));
    ASSERT_TRUE(palette->isTearOffMenuVisible());
    QWidget* torn = nullptr;
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (w != palette && qobject_cast<QMenu*>(w) != nullptr && w->isVisible()) {
            torn = w;
        }
    }
    ASSERT_NE(torn, nullptr);
    EXPECT_EQ(torn->windowTitle(), "Color Window");
    // The torn-off window has a working grid of its own.
    EXPECT_NE(torn->findChild<QWidget*>("ColorGrid"), nullptr);
    palette->hideTearOffMenu();

    palette->popup(QPoint(10, 10));
    QHelpEvent help(QEvent::ToolTip, QPoint(10, 2), palette->mapToGlobal(QPoint(10, 2)));
    QApplication::sendEvent(palette, &help);
    EXPECT_EQ(QToolTip::text(), "Drag to float");
    palette->hide();
}

TEST(ColorButtonTest, FaceShowsTheSelectedColourAndChoicesAreSignalled) {
    ScriptedPrompter prompter;
    TColorButton button(prompter);
    QSignalSpy chosen(&button, &TColorButton::colorChosen);
    auto barColor = [&button] { return button.icon().pixmap(16, 16).toImage().pixelColor(8, 14); };

    button.SetSelectedColor(0x000000FF); // red
    EXPECT_EQ(barColor(), QColor(255, 0, 0));
    EXPECT_EQ(chosen.count(), 0);

    prompter.colors = {0x00FF0000};
    button.Palette()->OtherColorAction->trigger();
    EXPECT_EQ(prompter.colorDialogStarts, std::vector<uint32_t>{0x000000FF});
    EXPECT_EQ(button.SelectedColor(), 0x00FF0000u);
    EXPECT_EQ(barColor(), QColor(0, 0, 255));
    ASSERT_EQ(chosen.count(), 1);
    EXPECT_EQ(chosen.at(0).at(0).value<uint32_t>(), 0x00FF0000u);
}

} // namespace
