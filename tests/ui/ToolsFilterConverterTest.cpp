// The receive filter dialog, the number converter and the value popup as a user drives
// them: filter rows stored, refused and reloaded, the filter hiding received lines in the
// traffic view, conversions in all three directions with their refusals, and the popup's
// values from a Ctrl-release and from "To Dec Bin". Offscreen platform, a private data
// folder per test, scripted message boxes.

#include "settings/SettingsFile.h"
#include "settings/SettingsTestSupport.h"
#include "traffic/DataRT.h"
#include "ui/MainWindowTest.h"
#include "ui/QtTestApp.h"
#include "ui/ScriptedPrompter.h"
#include "ui/main/MainForm.h"
#include "ui/main/RichView.h"
#include "ui/tools/FilterUnit.h"
#include "ui/tools/HexUnit.h"
#include "ui/tools/PopUnit.h"

#include <QAction>
#include <QCheckBox>
#include <QClipboard>
#include <QCursor>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QTableWidget>
#include <QTest>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace {

class ToolsTest : public MainWindowTest {
protected:
    // The program's start-up sequence installs the three windows.
    void Created(TMainForm& form) override {
        m_popup = form.findChild<TPopForm*>();
        m_filter = form.findChild<TFilterForm*>();
        m_converter = form.findChild<THexDecForm*>();
        EXPECT_TRUE(m_popup != nullptr && m_filter != nullptr && m_converter != nullptr);
    }
    void Stop() {
        Close();
        DataFolder().clear();
    }

    void OpenFilter() {
        m_form->N38->trigger();
        ASSERT_TRUE(m_filter->isVisible());
    }
    void SetRow(int row, const char* byteNumber, const char* value) {
        m_filter->StringGrid1->item(row, 1)->setText(QString::fromLatin1(byteNumber));
        m_filter->StringGrid1->item(row, 2)->setText(QString::fromLatin1(value));
    }
    QString Cell(int row, int column) const {
        return m_filter->StringGrid1->item(row, column)->text();
    }

    // Received (or sent) records as the receive thread queues them, then one pump tick each.
    void Receive(const std::vector<std::string>& records) {
        for (const std::string& r : records) {
            m_form->Connection()->QueueRecord(r);
        }
        for (size_t i = 0; i < records.size(); ++i) {
            m_form->DataRT()->PumpTick();
        }
    }
    std::vector<std::string> TrafficLines() const {
        std::vector<std::string> lines;
        for (int i = 0; i < m_form->RichShow->LineCount(); ++i) {
            lines.push_back(m_form->RichShow->LineText(i));
        }
        return lines;
    }

    // A line of text in the traffic view, all of it selected, and the traffic view active.
    void SelectInTraffic(const std::string& text) {
        RichView* view = m_form->RichShow;
        view->Clear();
        view->InsertText(text, TextAttributes{});
        view->SelectAll();
        m_form->DataRT()->ActiveView = view;
    }

    TPopForm* m_popup = nullptr;
    TFilterForm* m_filter = nullptr;
    THexDecForm* m_converter = nullptr;
};

// --- receive filter dialog ---

TEST_F(ToolsTest, FilterRowsAreStoredAsTypedAndShowAgainAsStored) {
    TMainForm& form = Start();
    QCursor::setPos(400, 10); // near the top: the dialog cannot sit above the pointer
    OpenFilter();
    EXPECT_EQ(m_filter->windowTitle(), QStringLiteral("Receiving Filter"));
    EXPECT_EQ(m_filter->pos().y(), QGuiApplication::primaryScreen()->geometry().top());
    EXPECT_EQ(Cell(0, 1), QStringLiteral("Byte Number"));
    EXPECT_EQ(Cell(3, 0), QStringLiteral("3"));

    SetRow(1, "", "FF");  // no byte number: inactive, the value is dropped
    SetRow(2, "0", "7e"); // byte number 0: inactive, but the value is kept
    SetRow(3, "3", "a5");
    SetRow(4, "$10", "0A");
    SetRow(5, "-2", "00"); // any integer is taken
    m_filter->CheckBox1->setChecked(true);
    m_filter->Button1->click();

    EXPECT_TRUE(m_prompter.warnings.empty());
    EXPECT_FALSE(m_filter->isVisible());
    const SettingsRecord& s = form.Settings();
    const FilterEntry expected[] = {{0, ""}, {0, "7E"}, {3, "A5"}, {16, "0A"}, {-2, "00"}};
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(s.filterEntries[i], expected[i]) << "entry " << i + 1;
    }
    EXPECT_TRUE(s.filterEnabled);
    EXPECT_TRUE(form.TbFilter->isChecked());
    EXPECT_TRUE(form.N38->isChecked());

    // Unsaved edits are forgotten on "Cancel"; the next showing reloads the record.
    SetRow(3, "9", "99");
    m_filter->Button2->click();
    EXPECT_EQ(s.filterEntries[2], (FilterEntry{3, "A5"}));
    OpenFilter();
    const char* shown[][2] = {{"", ""}, {"", ""}, {"3", "A5"}, {"16", "0A"}, {"-2", "00"}};
    for (int r = 1; r <= 5; ++r) {
        EXPECT_EQ(Cell(r, 1), QString::fromLatin1(shown[r - 1][0])) << "row " << r;
        EXPECT_EQ(Cell(r, 2), QString::fromLatin1(shown[r - 1][1])) << "row " << r;
    }
    EXPECT_TRUE(m_filter->CheckBox1->isChecked());
}

TEST_F(ToolsTest, AFilterRowThatDoesNotValidateStopsTheStoreAtThatCell) {
    struct Case {
        const char* byteNumber;
        const char* value;
        int column; // of the cell made current
        const char* message;
    };
    const Case cases[] = {
        {"abc", "01", 1, "The input value must be integer."},
        {" ", "01", 1, "The input value must be integer."},
        {"99999999999", "01", 1, "The input value must be integer."},
        {"2", "5", 2, "The input value must be hexadecimal."},
        {"2", " 5", 2, "The input value must be hexadecimal."},
        {"2", "5 ", 2, "The input value must be hexadecimal."},
        {"2", "1 2", 2, "The input value must be hexadecimal."},
        {"2", "G1", 2, "The input value must be hexadecimal."},
        {"2", "", 2, "The input value must be hexadecimal."},
        {"2", "ABC", 2, "The input value must be hexadecimal."},
    };
    TMainForm& form = Start();
    SettingsRecord& s = form.Settings();
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.byteNumber) + " / " + c.value);
        s.filterEntries = {};
        s.filterEnabled = false;
        m_prompter.warnings.clear();
        OpenFilter();
        SetRow(1, "1", "0f");
        SetRow(3, c.byteNumber, c.value);
        SetRow(4, "4", "44");
        m_filter->CheckBox1->setChecked(true);
        m_filter->Button1->click();

        ASSERT_EQ(m_prompter.warnings.size(), 1u);
        EXPECT_EQ(m_prompter.warnings[0].text, QString::fromLatin1(c.message));
        EXPECT_EQ(m_prompter.warnings[0].caption, QStringLiteral("Filter"));
        EXPECT_TRUE(m_filter->isVisible());
        EXPECT_EQ(m_filter->StringGrid1->currentRow(), 3);
        EXPECT_EQ(m_filter->StringGrid1->currentColumn(), c.column);
        // Rows above are stored, a bad value leaves its row's byte number stored, the rows
        // below and the switch are not.
        EXPECT_EQ(s.filterEntries[0], (FilterEntry{1, "0F"}));
        EXPECT_EQ(s.filterEntries[2].byteNumber, c.column == 2 ? 2 : 0);
        EXPECT_EQ(s.filterEntries[3], FilterEntry{});
        EXPECT_FALSE(s.filterEnabled);
        m_filter->Button2->click();
        EXPECT_FALSE(m_filter->isVisible());
        EXPECT_EQ(s.filterEntries[0], (FilterEntry{1, "0F"})); // "Cancel" undoes nothing
    }
}

TEST_F(ToolsTest, TheFilterHidesReceivedLinesThatDoNotMatchFromOkOn) {
    TMainForm& form = Start();
    form.Settings().showSending = true;
    form.Settings().showTime = false;
    form.Settings().showRxTx = false;
    form.RefreshSettings();
    const std::vector<std::string> burst = {"R[12:00:00   5]01 03 0A 04",
                                            "R[12:00:00   5]01 03 0B 04", "R[12:00:00   5]01 03",
                                            "T[12:00:00   5]01 03 0B"};

    // Enabled with every row inactive: everything passes.
    OpenFilter();
    m_filter->CheckBox1->setChecked(true);
    m_filter->Button1->click();
    Receive(burst);
    EXPECT_EQ(TrafficLines(),
              (std::vector<std::string>{"01 03 0A 04", "01 03 0B 04", "01 03", "01 03 0B"}));

    // Byte 3 must be 0A (typed in lower case); sent lines are never filtered.
    form.RichShow->Clear();
    OpenFilter();
    SetRow(2, "3", "0a");
    m_filter->Button1->click();
    Receive(burst);
    EXPECT_EQ(TrafficLines(), (std::vector<std::string>{"01 03 0A 04", "01 03 0B"}));

    // Off again: the stored rows stay but impose nothing.
    form.RichShow->Clear();
    OpenFilter();
    m_filter->CheckBox1->setChecked(false);
    m_filter->Button1->click();
    EXPECT_EQ(form.Settings().filterEntries[1], (FilterEntry{3, "0A"}));
    EXPECT_FALSE(form.TbFilter->isChecked());
    Receive(burst);
    EXPECT_EQ(TrafficLines().size(), 4u);
}

TEST_F(ToolsTest, AfterARestartTheRowsAreBackAndTheFilterIsOff) {
    Start();
    OpenFilter();
    SetRow(5, "7", "C3");
    m_filter->CheckBox1->setChecked(true);
    m_filter->Button1->click();
    Stop();

    Start();
    OpenFilter();
    EXPECT_EQ(Cell(5, 1), QStringLiteral("7"));
    EXPECT_EQ(Cell(5, 2), QStringLiteral("C3"));
    EXPECT_FALSE(m_filter->CheckBox1->isChecked());
    // The tool button opens the dialog but never toggles the filter itself.
    m_filter->Button2->click();
    m_form->TbFilter->trigger();
    EXPECT_TRUE(m_filter->isVisible());
    EXPECT_FALSE(m_form->TbFilter->isChecked());
}

// --- converter ---

class ConverterTest : public ToolsTest {
protected:
    void SetUp() override {
        ToolsTest::SetUp();
        Start();
        m_form->N43->trigger();
        ASSERT_TRUE(m_converter->isVisible());
        m_converter->activateWindow();
        QApplication::setActiveWindow(m_converter);
        ASSERT_TRUE(QTest::qWaitForWindowActive(m_converter));
    }
    void Type(QLineEdit* edit, const char* keys) {
        for (QLineEdit* e : {Hex(), Dec(), Bin()}) {
            e->clear();
        }
        edit->setFocus();
        QTest::keyClicks(edit, QString::fromLatin1(keys));
    }
    void Paste(QLineEdit* edit, const char* text) {
        QGuiApplication::clipboard()->setText(QString::fromLatin1(text));
        edit->setFocus();
        m_converter->N3->trigger();
    }
    QLineEdit* Hex() const { return m_converter->Edit1; }
    QLineEdit* Dec() const { return m_converter->Edit2; }
    QLineEdit* Bin() const { return m_converter->Edit3; }
    std::vector<QString> Fields() const { return {Hex()->text(), Dec()->text(), Bin()->text()}; }
};

TEST_F(ConverterTest, EachFieldFillsTheOtherTwo) {
    struct Case {
        int field; // 0 Hex, 1 Dec, 2 Bin
        const char* typed;
        const char* hex;
        const char* dec;
        const char* bin;
    };
    const Case cases[] = {
        {0, "FF", "FF", "255", "1111 1111 "},
        {0, "0ff", "0FF", "255", "0000 1111 1111 "}, // leading zeros show in Bin
        {0, "1F 2a", "1F 2A", "7978", "0001 1111 0010 1010 "},
        {0, "FFFFFFFFF", "FFFFFFFFF", "68719476735",
         "1111 1111 1111 1111 1111 1111 1111 1111 1111 "},
        {1, "255", "FF", "255", "1111 1111 "},
        {1, "0", "0", "0", "0000 "},
        {1, "9999999999", "2540BE3FF", "9999999999",
         "0010 0101 0100 0000 1011 1110 0011 1111 1111 "},
        {1, "1 000", "3E8", "1 000", "0011 1110 1000 "},
        {2, "1 0000", "10", "16", "1 0000"}, // Bin keeps the text as typed
        {2, "0", "0", "0", "0"},
        // Nothing but blanks counts as an empty field.
        {0, "  ", "  ", "", ""},
        {2, " ", "", "", " "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.typed);
        QLineEdit* fields[] = {Hex(), Dec(), Bin()};
        Type(fields[c.field], c.typed);
        EXPECT_EQ(Fields(),
                  (std::vector<QString>{QString::fromLatin1(c.hex), QString::fromLatin1(c.dec),
                                        QString::fromLatin1(c.bin)}));
    }
    EXPECT_TRUE(m_prompter.warnings.empty());
}

TEST_F(ConverterTest, KeysOutsideAFieldsDigitsAndPastBeyondItsLimitAreDropped) {
    Type(Hex(), "1g2:Z3");
    EXPECT_EQ(Hex()->text(), QStringLiteral("123"));
    Type(Dec(), "12a-3");
    EXPECT_EQ(Dec()->text(), QStringLiteral("123"));
    Type(Bin(), "1021");
    EXPECT_EQ(Bin()->text(), QStringLiteral("101"));
    Type(Hex(), "123456789AB");
    EXPECT_EQ(Hex()->text(), QStringLiteral("123456789"));
    Type(Dec(), "123456789012");
    EXPECT_EQ(Dec()->text(), QStringLiteral("1234567890"));
    // A paste is cut to what still fits.
    Type(Hex(), "12");
    Paste(Hex(), "3456789abcdef");
    EXPECT_EQ(Fields(), (std::vector<QString>{"123456789", "4886718345",
                                              "0001 0010 0011 0100 0101 0110 0111 "
                                              "1000 1001 "}));
    EXPECT_TRUE(m_prompter.warnings.empty());
}

TEST_F(ConverterTest, APastedTextThatIsNotTheFieldsKindIsRefusedAndEmptied) {
    struct Case {
        int field;
        const char* pasted;
        const char* message;
    };
    const Case cases[] = {
        {0, "GG", "What you input is not Hex."},
        {1, "1x", "What you input is not dec."},
        {1, "-5", "What you input is not dec."},
        {2, "102", "What you input is not bin."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pasted);
        m_prompter.warnings.clear();
        Type(Dec(), "42");
        QLineEdit* fields[] = {Hex(), Dec(), Bin()};
        fields[c.field]->clear();
        Paste(fields[c.field], c.pasted);
        ASSERT_EQ(m_prompter.warnings.size(), 1u);
        EXPECT_EQ(m_prompter.warnings[0].text, QString::fromLatin1(c.message));
        EXPECT_EQ(m_prompter.warnings[0].caption, QStringLiteral("HexDecBin"));
        EXPECT_EQ(Fields(), (std::vector<QString>{"", "", ""}));
    }
}

TEST_F(ConverterTest, TheMenuShortcutsWorkInTheFocusedField) {
    Type(Hex(), "AB");
    QTest::keyClick(Hex(), Qt::Key_A, Qt::ControlModifier);
    EXPECT_EQ(Hex()->selectedText(), QStringLiteral("AB"));
    QTest::keyClick(Hex(), Qt::Key_X, Qt::ControlModifier);
    EXPECT_EQ(Fields(), (std::vector<QString>{"", "", ""}));
    EXPECT_EQ(QGuiApplication::clipboard()->text(), QStringLiteral("AB"));
    Dec()->setFocus();
    QTest::keyClick(Dec(), Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(m_prompter.warnings.size(), 1u); // AB is no decimal
    QTest::keyClick(Dec(), Qt::Key_Z, Qt::ControlModifier);
    EXPECT_TRUE(Dec()->text().isEmpty());
}

// --- value popup ---

TEST_F(ToolsTest, ACtrlReleaseShowsTheSelectionAsASigned32BitValue) {
    struct Case {
        const char* selection;
        const char* dec; // nullptr: no popup
        const char* bin;
    };
    const Case cases[] = {
        {"7F FF FF FF", "2147483647", "0111 1111 1111 1111 1111 1111 1111 1111 "},
        {"FF FF FF FF", "-1", "1111 1111 1111 1111 1111 1111 1111 1111 "},
        {"12 34", "4660", "0001 0010 0011 0100 "},
        {"11 22 33 44 55", nullptr, nullptr},
        {"12 3", nullptr, nullptr},
    };
    TMainForm& form = Start();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.selection);
        m_popup->hide();
        SelectInTraffic(c.selection);
        form.DataRT()->ViewMouseUp(true, 300, 400);
        ASSERT_EQ(m_popup->isVisible(), c.dec != nullptr);
        if (c.dec != nullptr) {
            EXPECT_EQ(m_popup->Edit1->text(), QString::fromLatin1(c.dec));
            EXPECT_EQ(m_popup->Edit2->text(), QString::fromLatin1(c.bin));
            EXPECT_EQ(m_popup->pos(), QPoint(300, 400 - TPopForm::ClientHeight - 10));
        }
    }
}

TEST_F(ToolsTest, ToDecBinShowsTheSelectionAsAnUnsigned32BitValueSizedToIt) {
    TMainForm& form = Start();
    QCursor::setPos(500, 300);
    // The value fields get 54 pixels a byte, more only where the font needs it to show every
    // digit; the popup is as wide as its label, a field and 17 pixels.
    const auto expectSized = [this](int bytes) {
        const int digits =
            m_popup->Edit2->fontMetrics().horizontalAdvance(m_popup->Edit2->text().trimmed());
        const int width = m_popup->Edit2->width();
        EXPECT_GE(width, std::max(bytes * 54, digits + 4));
        EXPECT_LE(width, std::max(bytes * 54, digits + 8));
        EXPECT_EQ(m_popup->Edit1->width(), width);
        EXPECT_EQ(m_popup->width(), m_popup->Label2->width() + width + 17);
    };
    SelectInTraffic("FF FF FF FF");
    form.N42->trigger();
    ASSERT_TRUE(m_popup->isVisible());
    EXPECT_EQ(m_popup->Edit1->text(), QStringLiteral("4294967295"));
    expectSized(4);

    SelectInTraffic(" 12 34 ");
    form.N42->trigger();
    EXPECT_EQ(m_popup->Edit1->text(), QStringLiteral("4660"));
    EXPECT_EQ(m_popup->Edit2->text(), QStringLiteral("0001 0010 0011 0100 "));
    expectSized(2);
    EXPECT_EQ(m_popup->pos(), QPoint(500, 300 - TPopForm::ClientHeight - 10));

    // Five bytes, an odd digit and a value over a line break are ignored.
    for (const char* ignored : {"11 22 33 44 55", "12 3", "12\r\n34"}) {
        SCOPED_TRACE(ignored);
        m_popup->hide();
        SelectInTraffic(ignored);
        form.N42->trigger();
        EXPECT_FALSE(m_popup->isVisible());
    }
}

TEST_F(ToolsTest, ThePopupHidesWhenAnotherWindowIsActivated) {
    TMainForm& form = Start();
    SelectInTraffic("12 34");
    form.DataRT()->ViewMouseUp(true, 300, 400);
    ASSERT_TRUE(QTest::qWaitForWindowActive(m_popup));
    EXPECT_TRUE(m_popup->Edit3->hasFocus());
    form.activateWindow();
    QApplication::setActiveWindow(&form);
    EXPECT_TRUE(QTest::qWaitFor([this] { return !m_popup->isVisible(); }));
}

} // namespace
