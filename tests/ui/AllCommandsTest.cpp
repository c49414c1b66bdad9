// View > All Commands: off, the menus and tool bars are exactly the shipped layout; on,
// every command it hides is shown in its place and does what it does; the choice survives
// a restart in config.ini and leaves the settings record alone.

#include "settings/SettingsFile.h"
#include "settings/SettingsTestSupport.h"
#include "traffic/DataRT.h"
#include "ui/MainWindowTest.h"
#include "ui/QtTestApp.h"
#include "ui/ScriptedPrompter.h"
#include "ui/main/DockLayout.h"
#include "ui/main/MainForm.h"
#include "ui/main/RichView.h"
#include "ui/send/SendForm.h"
#include "ui/send/SetForm.h"
#include "ui/tools/FindUnit.h"

#include "print/RecordingPrinter.h"
#include "ui/print/PrintUnit.h"

#include <QAction>
#include <QFile>
#include <QMenu>
#include <QMenuBar>
#include <QTest>
#include <QToolBar>

#include "serial/OruScomm.h"
#include <filesystem>
#include <functional>
#include <memory>
#include <vector>

namespace {

class AllCommandsTest : public MainWindowTest {
protected:
    // Every menu and tool bar as "name:visible" entries in their order, one line each.
    static QStringList Layout(TMainForm& form) {
        QList<QWidget*> holders;
        for (QAction* m : form.menuBar()->actions()) {
            holders << m->menu();
        }
        holders << form.PopupMenu1 << form.PopupMenu2 << form.ToolBar1 << form.ToolBar4
                << form.ReceBar << form.SendForm->SendBar;
        QStringList lines;
        for (QWidget* holder : holders) {
            QStringList entries;
            for (const QAction* a : holder->actions()) {
                entries << a->objectName() + (a->isVisible() ? ":1" : ":0");
            }
            lines << holder->objectName() + " " + entries.join(QLatin1Char(' '));
        }
        return lines;
    }
};

QWidget* Window(TMainForm& form, const char* name) {
    return form.findChild<QWidget*>(QString::fromLatin1(name));
}

} // namespace

TEST_F(AllCommandsTest, OnShowsEveryHiddenCommandInPlaceAndOffRestoresTheShippedLayout) {
    TMainForm& form = Start();
    ASSERT_FALSE(form.AllCommands->isChecked()); // first start
    const QStringList shipped = Layout(form);
    // What the shipped layout hides, by the holder it lives in.
    const QStringList hidden = {
        "N1 N13 N14 N15 TapPort CloseTap",
        "N2 N26 F1 N25",
        "N3 N49 N38 N12 PlotWindow N28 N51 CheckReceived2 CheckReceivedKind Decode",
        "D2 N44 N45 N47 N39 N43 ASCII1 ScriptsItem",
        "N5 N65 N64",
        "PopupMenu1 N16 N42",
        "PopupMenu2 CheckReceived1 CheckReceivedKind",
        "ToolBar4 ToolButton12 JvOfficeColorButton1",
        "ReceBar ToolButton22 ToolButton20 ToolButton17 ToolButton6 ToolButton21",
        "SendBar ToolButton5 ToolButton2 ToolButton3 ToolButton6 ToolButton7",
    };
    QStringList expectedOn = shipped;
    for (const QString& row : hidden) {
        const QStringList names = row.split(QLatin1Char(' '));
        bool found = false;
        for (QString& line : expectedOn) {
            if (!line.startsWith(names[0] + " ")) {
                continue;
            }
            found = true;
            for (qsizetype i = 1; i < names.size(); ++i) {
                const QString off = " " + names[i] + ":0";
                ASSERT_TRUE((line + " ").contains(off + " ")) << line.toStdString();
                line.replace(off, " " + names[i] + ":1");
            }
        }
        ASSERT_TRUE(found) << row.toStdString();
    }
    // The list is complete: with it shown, nothing is left hidden.
    for (const QString& line : expectedOn) {
        EXPECT_FALSE(line.contains(":0")) << line.toStdString();
    }

    form.AllCommands->trigger();
    EXPECT_TRUE(form.Options().allCommands);
    EXPECT_EQ(Layout(form), expectedOn);
    form.AllCommands->trigger();
    EXPECT_FALSE(form.Options().allCommands);
    EXPECT_EQ(Layout(form), shipped);

    // Kept in config.ini, restored at the next start; the record file is the same size.
    form.AllCommands->trigger();
    Restart();
    EXPECT_TRUE(m_form->AllCommands->isChecked());
    EXPECT_EQ(Layout(*m_form), expectedOn);
    QFile ini(QString::fromStdString(DataFilePath(LayoutFileName)));
    ASSERT_TRUE(ini.open(QIODevice::ReadOnly));
    EXPECT_EQ(TAppOptions::Read(TIniFile::Parse(ini.readAll())).allCommands, true);
    EXPECT_EQ(std::filesystem::file_size(DataFilePath(SettingsFileName)),
              static_cast<std::uintmax_t>(SettingsRecord::Size));
    m_form->AllCommands->trigger();
    Restart();
    EXPECT_EQ(Layout(*m_form), shipped);
}

// [Options] RecordGapMs: how long a received burst may pause before it becomes a record.
// Out of range or unreadable it falls back to the read window alone (0) or the window.
TEST(AppOptionsTest, RecordGapIsReadWithinTheReadWindow) {
    const std::vector<std::pair<QByteArray, int>> cases = {
        {"", 0},
        {"[Options]\nRecordGapMs=5\n", 5},
        {"[Options]\nRecordGapMs=-3\n", 0},
        {"[Options]\nRecordGapMs=5000\n", 100},
        {"[Options]\nRecordGapMs=soon\n", 0},
    };
    for (const auto& [text, gap] : cases) {
        EXPECT_EQ(TAppOptions::Read(TIniFile::Parse(text)).recordGapMs, gap) << text.data();
    }
    TAppOptions options;
    options.recordGapMs = 7;
    TIniFile ini = TIniFile::Parse(QByteArray());
    options.Write(ini);
    EXPECT_EQ(TAppOptions::Read(ini).recordGapMs, 7);
}

TEST_F(AllCommandsTest, TheWindowsConnectionTakesTheRecordGapOfConfigIni) {
    std::filesystem::create_directories(Folder());
    QFile ini(QString::fromStdString(Folder() + "/config.ini"));
    ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
    ini.write("[Options]\nRecordGapMs=5\n");
    ini.close();
    TMainForm& form = Start();
    EXPECT_EQ(form.Connection()->RecordGap(), 5u);
}

TEST_F(AllCommandsTest, EveryRevealedCommandOpensItsWindowOrRunsItsCommand) {
    TMainForm& form = Start();
    form.AllCommands->trigger();
    RecordingPrinter printer; // no scripted answer: the print dialog is cancelled
    TPrintForm* preview = InstallPrintForm(form, m_prompter, &printer);
    SettingsRecord& s = form.Settings();
    RichView& send = *form.SendForm->RichSend;
    AppendTrafficLine(*form.RichShow, "", 0, "01 02");

    struct Case {
        QAction* action;
        std::function<bool()> done;
    };
    const bool wrap = s.wordWrap;
    const Case cases[] = {
        {form.N14, [&] { return printer.dialogs.size() == 1; }},
        {form.N15, [&] { return preview->isVisible(); }},
        {form.F1, [&] { return Window(form, "FindDialog")->isVisible(); }},
        {form.N49, [&] { return s.wordWrap != wrap; }},
        {form.TbWordWrap, [&] { return s.wordWrap == wrap; }},
        {form.N38, [&] { return Window(form, "FilterForm")->isVisible(); }},
        {form.N12, [&] { return form.FindForm->isVisible() && s.findWindowVisible; }},
        {form.N51, [&] { return Window(form, "BColorSetForm")->isVisible(); }},
        {form.N44, [&] { return Window(form, "SetForm")->isVisible(); }},
        {form.N39, [&] { return Window(form, "TimeSaveForm")->isVisible(); }},
        {form.N43, [&] { return Window(form, "HexDecForm")->isVisible(); }},
        {form.ASCII1, [&] { return Window(form, "AscForm")->isVisible(); }},
        {form.ScriptsItem, [&] { return Window(form, "ScriptForm")->isVisible(); }},
        {form.findChild<QAction*>("N65"), [&] { return m_prompter.urls.size() == 1; }},
        {form.TbClear, [&] { return form.RichShow->TextLength() == 0; }},
    };
    for (const Case& c : cases) {
        ASSERT_NE(c.action, nullptr);
        SCOPED_TRACE(c.action->objectName().toStdString());
        ASSERT_TRUE(c.action->isVisible());
        c.action->trigger();
        EXPECT_TRUE(c.done());
    }

    // The filter button and the trigger page.
    Window(form, "FilterForm")->hide();
    form.TbFilter->trigger();
    EXPECT_TRUE(Window(form, "FilterForm")->isVisible());
    auto* setForm = static_cast<TSetForm*>(Window(form, "SetForm"));
    setForm->hide();
    form.N45->trigger();
    EXPECT_TRUE(setForm->isVisible());
    EXPECT_TRUE(setForm->findChild<QWidget*>("Panel3")->isVisible());

    // The send window's buttons: the two pages and the checksum.
    setForm->hide();
    form.SendForm->ToolButton2->trigger();
    EXPECT_TRUE(setForm->isVisible());
    EXPECT_TRUE(setForm->findChild<QWidget*>("Panel1")->isVisible());
    EXPECT_EQ(setForm->windowTitle(), "Cycle to Send data");
    form.SendForm->ToolButton3->trigger();
    EXPECT_EQ(setForm->windowTitle(), "Send data conditionally");
    send.InsertText("01 03 00 00 00 0A", TextAttributes{});
    s.checksumKind = 5;
    form.SendForm->ToolButton7->trigger();
    EXPECT_EQ(send.LineText(0), "01 03 00 00 00 0A C5 CD");

    // "To Dec Bin" shows the value of the active view's selection.
    send.SetSelection(0, 2);
    form.DataRT()->ActiveView = &send;
    form.N42->trigger();
    EXPECT_TRUE(Window(form, "PopForm")->isVisible());

    // Find Next searches again (the find dialog's text is empty: nothing to report).
    form.N25->trigger();
    EXPECT_TRUE(m_prompter.warnings.empty());
}

TEST_F(AllCommandsTest, ShortcutsOfRevealedItemsFireOnceInBothLayouts) {
    TMainForm& form = Start();
    int finds = 0;
    int nexts = 0;
    form.ShowFindDialog = [&] { ++finds; };
    form.FindNext = [&] { ++nexts; };
    form.activateWindow();
    QApplication::setActiveWindow(&form);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&form));
    for (int round = 1; round <= 2; ++round) {
        SCOPED_TRACE(round);
        QTest::keyClick(&form, Qt::Key_F, Qt::ControlModifier);
        QTest::keyClick(&form, Qt::Key_F3);
        EXPECT_EQ(finds, round);
        EXPECT_EQ(nexts, round);
        form.AllCommands->trigger();
    }
}
