// The send options dialog and the About box, driven through their controls on the offscreen
// platform, with the settings file in a private folder.

#include "ui/send/SetForm.h"
#include "codec/HexCodec.h"
#include "settings/SettingsFile.h"
#include "settings/SettingsTestSupport.h"
#include "ui/QtTestApp.h"
#include "ui/tools/aboutUnit.h"

#include "platform/Platform.h"

#include <QApplication>
#include <QCheckBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTableWidget>
#include <QTest>
#include <QTimeEdit>

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace {

class SetFormTest : public TempFolderTest {
protected:
    void SetUp() override {
        TempFolderTest::SetUp();
        DataFolder().clear(); // located anew inside this test's folder
        m_settings = SettingsRecord::Fresh();
        TSetForm::Hooks hooks;
        hooks.refreshSettings = [this] { ++m_refreshes; };
        hooks.setCycleButtonDown = [this](bool down) { m_cycleButton.push_back(down); };
        hooks.reportError = [this](const std::string& message) { m_errors.push_back(message); };
        m_form = std::make_unique<TSetForm>(m_settings, hooks);
    }
    void TearDown() override {
        m_form.reset();
        DataFolder().clear();
        TempFolderTest::TearDown();
    }

    template <class T> T* Get(const char* name) {
        T* widget = m_form->findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }
    QLineEdit* Edit(const char* name) { return Get<QLineEdit>(name); }
    QRadioButton* Radio(const char* name) { return Get<QRadioButton>(name); }
    QCheckBox* Check(const char* name) { return Get<QCheckBox>(name); }
    QTableWidget* Grid() { return Get<QTableWidget>("StringGrid2"); }
    void SetCell(int row, int column, const char* text) {
        Grid()->item(row, column)->setText(QString::fromLatin1(text));
    }
    QString Cell(int row, int column) { return Grid()->item(row, column)->text(); }
    void Click(const char* button) {
        QTest::mouseClick(Get<QAbstractButton>(button), Qt::LeftButton);
    }

    std::string DataFile() const { return Folder() + "/data"; }
    std::string SavedBytes() const {
        const SettingsRecord::Image image = m_settings.ToBytes();
        return std::string(reinterpret_cast<const char*>(image.data()), image.size());
    }

    SettingsRecord m_settings;
    int m_refreshes = 0;
    std::vector<bool> m_cycleButton;
    std::vector<std::string> m_errors;
    std::unique_ptr<TSetForm> m_form;
};

TEST_F(SetFormTest, OpenersSetCaptionPageAndSizeButMenuItemsKeepTheCaption) {
    EXPECT_EQ(m_form->windowTitle(), "Settings");
    EXPECT_FALSE(m_form->isModal());

    m_form->ShowCyclePage(true);
    EXPECT_EQ(m_form->windowTitle(), "Cycle to Send data");
    EXPECT_TRUE(Get<QWidget>("Panel1")->isVisible());
    EXPECT_FALSE(Get<QWidget>("Panel3")->isVisible());
    EXPECT_EQ(m_form->size(), QSize(286, 201));

    m_form->ShowTriggerPage(false);
    EXPECT_EQ(m_form->windowTitle(), "Cycle to Send data");
    EXPECT_FALSE(Get<QWidget>("Panel1")->isVisible());
    EXPECT_TRUE(Get<QWidget>("Panel3")->isVisible());
    EXPECT_EQ(m_form->size(), QSize(355, 337));

    m_form->ShowTriggerPage(true);
    EXPECT_EQ(m_form->windowTitle(), "Send data conditionally");
    m_form->ShowCyclePage(false);
    EXPECT_EQ(m_form->windowTitle(), "Send data conditionally");
    EXPECT_EQ(m_form->size(), QSize(286, 201));
}

TEST_F(SetFormTest, CaptionsAreExact) {
    const std::vector<std::pair<const char*, const char*>> captions = {
        {"RadioButton1", "Send Line:"}, {"RadioButton2", "Range: "},
        {"RadioButton4", "This Line"},  {"RadioButton5", "Fixed Line:"},
        {"RadioButton3", "Send Line:"}, {"RadioButton8", "Range:"},
        {"RadioButton6", "This Line"},  {"RadioButton7", "Fixed Line:"},
        {"CheckBox1", " Enable"},       {"CheckBox2", "Enable"},
        {"CheckBox3", "Enable"},        {"Button1", "Ok"},
        {"Button2", "Cancel"},          {"Button3", "Ok"},
        {"Button4", "Cancel"},
    };
    for (const auto& [name, text] : captions) {
        EXPECT_EQ(Get<QAbstractButton>(name)->text(), QString::fromLatin1(text)) << name;
    }
    QStringList labels;
    for (const QLabel* label : m_form->findChildren<QLabel*>()) {
        labels << label->text();
    }
    for (const char* text :
         {"From              to", "Send Interval:                   ms  (>19)",
          "Trigger Time:", "From               to", "Send Interval:             ms(>19)",
          "Trigger List", "Trigger Delay:               ms"}) {
        EXPECT_TRUE(labels.contains(QString::fromLatin1(text))) << text;
    }
    for (const char* edit :
         {"Edit1", "Edit2", "Edit3", "Edit4", "Edit6", "Edit7", "Edit8", "Edit9", "Edit10"}) {
        EXPECT_NE(Edit(edit), nullptr);
    }
    EXPECT_EQ(Get<QTimeEdit>("DateTimePicker1")->displayFormat(), "HH:mm:ss");
}

TEST_F(SetFormTest, GridHasFixedHeaderRowAndNumberColumn) {
    m_form->ShowTriggerPage(true);
    QTableWidget* grid = Grid();
    ASSERT_EQ(grid->rowCount(), 11);
    ASSERT_EQ(grid->columnCount(), 3);
    EXPECT_EQ(grid->columnWidth(0), 38);
    EXPECT_EQ(grid->columnWidth(1), 52);
    EXPECT_EQ(grid->columnWidth(2), 49);
    for (int r = 0; r < 11; ++r) {
        EXPECT_EQ(grid->rowHeight(r), 18) << r;
    }
    EXPECT_EQ(Cell(0, 0), "Items");
    EXPECT_EQ(Cell(0, 1), "Rec.Line");
    EXPECT_EQ(Cell(0, 2), "Trig.Line");
    for (int r = 1; r <= 10; ++r) {
        EXPECT_EQ(Cell(r, 0), QString::number(r));
        EXPECT_FALSE(grid->item(r, 0)->flags() & Qt::ItemIsEditable);
        EXPECT_TRUE(grid->item(r, 1)->flags() & Qt::ItemIsEditable);
        EXPECT_TRUE(grid->item(r, 2)->flags() & Qt::ItemIsEditable);
    }
    EXPECT_FALSE(grid->item(0, 1)->flags() & Qt::ItemIsEditable);
    EXPECT_EQ(grid->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    EXPECT_EQ(grid->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    // The whole grid is visible without scrolling.
    EXPECT_GE(grid->viewport()->width(), 38 + 52 + 49);
    EXPECT_GE(grid->viewport()->height(), 11 * 18);
}

TEST_F(SetFormTest, OkOnTriggerPageStoresBothPagesWithLimitsAndSaves) {
    m_form->ShowTriggerPage(true);
    // The hidden cycle page.
    Radio("RadioButton2")->setChecked(true);
    Radio("RadioButton4")->setChecked(true);
    Edit("Edit2")->setText("0");
    Edit("Edit3")->setText("0");
    Edit("Edit4")->setText("7");
    Edit("Edit10")->setText("5");
    Check("CheckBox1")->setChecked(true);
    // The trigger page.
    Check("CheckBox2")->setChecked(true);
    Get<QTimeEdit>("DateTimePicker1")->setTime(QTime(13, 45, 10));
    Radio("RadioButton8")->setChecked(true);
    Radio("RadioButton6")->setChecked(true);
    Edit("Edit6")->setText("  12");
    Edit("Edit7")->setText("3");
    Edit("Edit8")->setText("0");
    Edit("Edit9")->setText("4"); // below 20: stored as 20
    SetCell(1, 1, "2");
    SetCell(1, 2, "5");
    SetCell(2, 1, "4"); // no line to answer with: an empty row
    SetCell(3, 2, "6"); // no pattern: recLine 0
    Check("CheckBox3")->setChecked(true);
    Edit("Edit1")->setText("0");

    Click("Button1");

    EXPECT_TRUE(m_errors.empty()) << m_errors.front();
    EXPECT_FALSE(m_form->isVisible());
    EXPECT_EQ(m_refreshes, 1);
    EXPECT_EQ(m_cycleButton, std::vector<bool>{true});

    const SettingsRecord& s = m_settings;
    EXPECT_TRUE(s.cycleUseRange);
    EXPECT_TRUE(s.cycleThisLine);
    EXPECT_EQ(s.cycleFixedLine, 1);
    EXPECT_EQ(s.cycleRangeFrom, 1);
    EXPECT_EQ(s.cycleRangeTo, 7);
    EXPECT_EQ(s.cycleInterval, 20u);
    EXPECT_TRUE(s.cycleSendEnabled);
    EXPECT_TRUE(s.timingTriggerEnabled);
    EXPECT_EQ(FormatOleTimeOfDay(s.timingTriggerTime), FormatTimeOfDay(13, 45, 10));
    EXPECT_TRUE(s.timingUseRange);
    EXPECT_TRUE(s.timingThisLine);
    EXPECT_EQ(s.timingFixedLine, 12);
    EXPECT_EQ(s.timingRangeFrom, 3);
    EXPECT_EQ(s.timingRangeTo, 1);
    EXPECT_EQ(s.timingInterval, 20u);
    EXPECT_TRUE(s.receiveTriggerEnabled);
    EXPECT_EQ(s.receiveTriggers[0], (ReceiveTriggerRow{2, 5}));
    EXPECT_EQ(s.receiveTriggers[1], (ReceiveTriggerRow{0, 0}));
    EXPECT_EQ(s.receiveTriggers[2], (ReceiveTriggerRow{0, 6}));
    EXPECT_EQ(s.receiveTriggers[3], (ReceiveTriggerRow{0, 0}));
    EXPECT_EQ(s.receiveTriggerDelay, 0u);

    ASSERT_TRUE(std::filesystem::exists(DataFile()));
    EXPECT_EQ(ReadRaw(DataFile()), SavedBytes());

    // Shown again: the corrected values, empty rows, and every number reads back on "Ok".
    m_form->ShowCyclePage(false);
    EXPECT_EQ(Edit("Edit10")->text(), "20");
    EXPECT_EQ(Edit("Edit2")->text(), "1");
    EXPECT_TRUE(Radio("RadioButton2")->isChecked());
    EXPECT_EQ(Edit("Edit9")->text(), "20");
    EXPECT_EQ(Cell(1, 1), "2");
    EXPECT_EQ(Cell(1, 2), "5");
    for (int r : {2, 3}) {
        EXPECT_EQ(Cell(r, 1), "") << r;
        EXPECT_EQ(Cell(r, 2), "") << r;
    }
    const SettingsRecord before = m_settings;
    EXPECT_TRUE(m_form->OkClicked());
    EXPECT_EQ(m_settings.Cycle(), before.Cycle());
    EXPECT_EQ(m_settings.timingInterval, 20u);
    EXPECT_EQ(m_settings.receiveTriggers[2], (ReceiveTriggerRow{0, 0}));
}

TEST_F(SetFormTest, NonIntegerStopsOkKeepsDialogOpenAndFileUnchanged) {
    m_form->ShowCyclePage(true);
    ASSERT_TRUE(m_form->OkClicked());
    const std::string saved = ReadRaw(DataFile());
    m_refreshes = 0;

    m_form->ShowCyclePage(true);
    Edit("Edit2")->setText("9");
    Edit("Edit10")->setText("abc");
    Edit("Edit6")->setText("33");
    Click("Button3");

    ASSERT_EQ(m_errors.size(), 1u);
    EXPECT_EQ(m_errors[0], "'abc' is not a valid integer value");
    EXPECT_TRUE(m_form->isVisible());
    EXPECT_EQ(m_refreshes, 0);
    EXPECT_EQ(ReadRaw(DataFile()), saved);
    // Stored up to the failing field, not beyond.
    EXPECT_EQ(m_settings.cycleFixedLine, 9);
    EXPECT_EQ(m_settings.timingFixedLine, 1);

    // A bad grid cell stops "Ok" the same way.
    Edit("Edit10")->setText("100");
    SetCell(4, 1, "x1");
    SetCell(4, 2, "2");
    EXPECT_FALSE(m_form->OkClicked());
    EXPECT_EQ(m_errors.back(), "'x1' is not a valid integer value");
    EXPECT_EQ(ReadRaw(DataFile()), saved);

    SetCell(4, 1, "8");
    EXPECT_TRUE(m_form->OkClicked());
    EXPECT_FALSE(m_form->isVisible());
    EXPECT_EQ(m_settings.receiveTriggers[3], (ReceiveTriggerRow{8, 2}));
    EXPECT_NE(ReadRaw(DataFile()), saved);
}

TEST_F(SetFormTest, CancelAndCloseStoreNothingAndShowingReloads) {
    m_settings.cycleInterval = 250;
    m_settings.receiveTriggers[0] = {3, 4};
    const SettingsRecord before = m_settings;

    m_form->ShowTriggerPage(true);
    Edit("Edit10")->setText("999");
    Edit("Edit9")->setText("abc");
    SetCell(1, 1, "");
    Check("CheckBox3")->setChecked(true);
    Click("Button2");
    EXPECT_FALSE(m_form->isVisible());
    EXPECT_EQ(m_settings.ToBytes(), before.ToBytes());
    EXPECT_FALSE(std::filesystem::exists(DataFile()));
    EXPECT_EQ(m_refreshes, 0);

    m_form->ShowCyclePage(true);
    EXPECT_EQ(Edit("Edit10")->text(), "250");
    EXPECT_EQ(Cell(1, 1), "3");
    EXPECT_FALSE(Check("CheckBox3")->isChecked());
    Edit("Edit10")->setText("30");
    m_form->close();
    EXPECT_FALSE(m_form->isVisible());
    EXPECT_EQ(m_settings.ToBytes(), before.ToBytes());
}

TEST_F(SetFormTest, CyclePageEnablesOnlyTheChosenKindOfLine) {
    m_settings.cycleUseRange = true;
    m_form->ShowCyclePage(true);
    const auto expectOneLine = [this](bool oneLine) {
        EXPECT_EQ(Radio("RadioButton4")->isEnabled(), oneLine);
        EXPECT_EQ(Radio("RadioButton5")->isEnabled(), oneLine);
        EXPECT_EQ(Edit("Edit2")->isEnabled(), oneLine);
        EXPECT_EQ(Edit("Edit3")->isEnabled(), !oneLine);
        EXPECT_EQ(Edit("Edit4")->isEnabled(), !oneLine);
    };
    expectOneLine(false);
    Click("RadioButton1");
    expectOneLine(true);
    Click("RadioButton2");
    expectOneLine(false);

    // Each pair is its own choice, and the trigger page has no such rule.
    Click("RadioButton1");
    Click("RadioButton4");
    EXPECT_TRUE(Radio("RadioButton1")->isChecked());
    m_form->ShowTriggerPage(false);
    Click("RadioButton8");
    for (const char* name : {"RadioButton6", "RadioButton7", "Edit6", "Edit7", "Edit8"}) {
        EXPECT_TRUE(Get<QWidget>(name)->isEnabled()) << name;
    }
    EXPECT_TRUE(Radio("RadioButton8")->isChecked());
    EXPECT_TRUE(Radio("RadioButton4")->isChecked());
}

TEST_F(SetFormTest, TriggerTimeRoundTripsThroughThePicker) {
    struct Case {
        double stored;
        QTime shown;
    };
    // 45000 is a date in 2023; a value before 1899-12-30 counts its fraction from midnight.
    const Case cases[] = {{0.0, QTime(0, 0, 0)},       {0.5, QTime(12, 0, 0)},
                          {45000.75, QTime(18, 0, 0)}, {1.0 / 3.0, QTime(8, 0, 0)},
                          {-1.25, QTime(6, 0, 0)},     {0.9999999999, QTime(0, 0, 0)}};
    for (const Case& c : cases) {
        m_settings.timingTriggerTime = c.stored;
        m_form->ShowTriggerPage(true);
        auto* picker = Get<QTimeEdit>("DateTimePicker1");
        EXPECT_EQ(picker->time(), c.shown) << c.stored;
        picker->setTime(QTime(7, 8, 9));
        ASSERT_TRUE(m_form->OkClicked());
        EXPECT_EQ(FormatOleTimeOfDay(m_settings.timingTriggerTime), FormatTimeOfDay(7, 8, 9))
            << c.stored;
        // The date part is kept.
        EXPECT_EQ(std::trunc(m_settings.timingTriggerTime), std::trunc(c.stored)) << c.stored;
    }
}

TEST_F(SetFormTest, TypedTriggerTimeIsStoredAsTyped) {
    struct Case {
        const char* how; // "all": Ctrl+A first; "h", "m", "s": the cursor in that field
        const char* keys;
        QTime stored;
    };
    // The field shows 20:10:53 before each case.
    const Case cases[] = {
        {"all", "21:45:30", QTime(21, 45, 30)}, {"all", "214530", QTime(21, 45, 30)},
        {"all", "2145", QTime(21, 45, 0)},      {"all", "7:5:9", QTime(7, 5, 9)},
        {"all", "93015", QTime(9, 30, 15)},     {"all", "00:00:00", QTime(0, 0, 0)},
        {"all", "23:59:59", QTime(23, 59, 59)}, {"h", "214530", QTime(21, 45, 30)},
        {"h", "21:45:30", QTime(21, 45, 30)},   {"h", "08", QTime(8, 10, 53)},
        {"m", "45", QTime(20, 45, 53)},         {"s", "30", QTime(20, 10, 30)},
        {"s", "7", QTime(20, 10, 7)},           {"m", "7:30", QTime(20, 7, 30)},
    };
    // Each case typed twice: as characters, and as a keyboard sends them, where the ":"
    // comes with a press and a release of Shift of their own.
    for (const bool keyboard : {false, true}) {
        for (const Case& c : cases) {
            m_settings.timingTriggerTime = 45000.0 + (20 * 3600 + 10 * 60 + 53) / 86400.0;
            m_form->ShowTriggerPage(true);
            auto* picker = Get<QTimeEdit>("DateTimePicker1");
            ASSERT_EQ(picker->time(), QTime(20, 10, 53));
            picker->setFocus();
            const std::string how = c.how;
            if (how == "all") {
                QTest::keyClick(picker, Qt::Key_A, Qt::ControlModifier);
            } else {
                picker->setSelectedSection(how == "h"   ? QDateTimeEdit::HourSection
                                           : how == "m" ? QDateTimeEdit::MinuteSection
                                                        : QDateTimeEdit::SecondSection);
            }
            if (!keyboard) {
                QTest::keyClicks(picker, QString::fromLatin1(c.keys));
            } else {
                for (const char* key = c.keys; *key != '\0'; ++key) {
                    if (*key == ':') {
                        QTest::keyPress(picker, Qt::Key_Shift);
                        QTest::keyClick(picker, ':', Qt::ShiftModifier);
                        QTest::keyRelease(picker, Qt::Key_Shift, Qt::ShiftModifier);
                    } else {
                        QTest::keyClick(picker, *key);
                    }
                }
            }
            ASSERT_TRUE(m_form->OkClicked());
            EXPECT_EQ(FormatOleTimeOfDay(m_settings.timingTriggerTime),
                      FormatTimeOfDay(c.stored.hour(), c.stored.minute(), c.stored.second()))
                << c.how << " " << c.keys << (keyboard ? " (keyboard)" : "");
        }
    }
}

TEST(SetFormHelpers, StrToIntReadsLikeTheProgramAlwaysHas) {
    const std::pair<const char*, int32_t> good[] = {
        {"0", 0},           {"12", 12},
        {"   7", 7},        {"-5", -5},
        {"+3", 3},          {"$1F", 31},
        {"0x10", 16},       {"2147483647", 2147483647},
        {"4294967295", -1}, {"-2147483648", INT32_MIN},
        {"007", 7},
    };
    for (const auto& [text, value] : good) {
        EXPECT_EQ(TSetForm::StrToInt(text), value) << text;
    }
    for (const char* text :
         {"", " ", "abc", "1 ", "1.5", "4294967296", "-2147483649", "$", "0x", "--1", "12a"}) {
        try {
            TSetForm::StrToInt(text);
            ADD_FAILURE() << "accepted '" << text << "'";
        } catch (const EConvertError& e) {
            EXPECT_EQ(std::string(e.what()),
                      std::string("'") + text + "' is not a valid integer value");
        }
    }
}

TEST(SetFormHelpers, PlacedAtThePointerInsideTheScreen) {
    const QRect screen(0, 0, 1280, 1024);
    const QSize dialog(286, 201);
    const std::pair<QPoint, QPoint> cases[] = {
        {{500, 600}, {500, 379}},  // above the pointer
        {{1200, 600}, {994, 379}}, // pulled back from the right edge
        {{10, 100}, {10, 0}},      // no room above: at the top
        {{10, 210}, {10, 0}},      // room for the dialog but not the gap: still whole
        {{10, 221}, {10, 0}},      {{10, 222}, {10, 1}},
    };
    for (const auto& [pointer, expected] : cases) {
        EXPECT_EQ(TSetForm::PlaceAtPointer(pointer, dialog, screen), expected)
            << pointer.x() << "," << pointer.y();
    }
    // A second screen to the right of the first.
    EXPECT_EQ(TSetForm::PlaceAtPointer({2500, 900}, dialog, QRect(1280, 0, 1280, 1024)),
              QPoint(2274, 679));
}

TEST(AboutForm, ShowsNameVersionAndALineAndHidesOnOk) {
    TaboutForm about;
    EXPECT_EQ(about.windowTitle(), "About");
    EXPECT_FALSE(about.isModal());
    EXPECT_EQ(about.size(), QSize(339, 137));
    const auto text = [&about](const char* name) {
        const QLabel* label = about.findChild<QLabel*>(QString::fromLatin1(name));
        return label != nullptr ? label->text() : QStringLiteral("<missing>");
    };
    EXPECT_EQ(text("Label3"), "Korvane");
    EXPECT_EQ(text("Label4"), "Version:  5.0");
    EXPECT_FALSE(text("Label5").isEmpty());
    const QLabel* image = about.findChild<QLabel*>(QStringLiteral("Image1"));
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->pixmap().size(), QSize(48, 48));

    about.show();
    ASSERT_TRUE(about.isVisible());
    QTest::mouseClick(about.findChild<QPushButton*>(QStringLiteral("OkButton")), Qt::LeftButton);
    EXPECT_FALSE(about.isVisible());
}

} // namespace
