// The main window's commands and the send window as a user drives them: the File menu's
// saves and opens of both editors, the menus and their shortcuts, the Edit menu's
// keystrokes, the Window and Help menus, the view tool bar, the checksum command, the
// caret caption, and sending over a pseudo-terminal to a simulated device and to a raw
// peer. Offscreen platform, a private data folder per test, scripted dialogs.

#include "codec/HexCodec.h"
#include "richtext/RichText.h"
#include "settings/SettingsFile.h"
#include "settings/SettingsTestSupport.h"
#include "traffic/DataRT.h"
#include "ui/MainWindowTest.h"
#include "ui/QtTestApp.h"
#include "ui/ScriptedPrompter.h"
#include "ui/main/ComComboBox.h"
#include "ui/main/MainForm.h"
#include "ui/main/RichView.h"
#include "ui/main/UiPrompter.h"
#include "ui/main/UserGuide.h"
#include "ui/send/SendForm.h"
#include "ui/tools/FindUnit.h"
#include "ui/tools/aboutUnit.h"

#include <QAction>
#include <QClipboard>
#include <QComboBox>
#include <QDateTime>
#include <QFile>
#include <QFileDialog>
#include <QFontMetricsF>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QUrl>

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <memory>
#include <pty.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

constexpr uint32_t kBlue = 0x00FF0000; // 0x00BBGGRR

class CommandsTest : public MainWindowTest {
protected:
    // The program's start-up sequence, with a record of the form's own.

    // Shortcuts and focus changes reach only the active window.
    static void Activate(TMainForm& form) {
        form.activateWindow();
        QApplication::setActiveWindow(&form);
        EXPECT_TRUE(QTest::qWaitForWindowActive(&form));
    }

    // A pseudo-terminal registered as port `name`; returns the peer's side, non-blocking.
    int RegisterPty(const std::string& name) {
        const int master = MainWindowTest::RegisterPty(name);
        ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
        return master;
    }

    // One line of a view as runs of one colour each.
    static std::vector<std::pair<std::string, uint32_t>> LineRuns(const RichView& view, int line) {
        std::vector<std::pair<std::string, uint32_t>> runs;
        int current = 0;
        for (const StyledRun& run : view.ToStyledText()) {
            for (const char c : run.text) {
                if (c == '\n') {
                    ++current;
                } else if (current == line) {
                    if (runs.empty() || runs.back().second != run.style.color) {
                        runs.emplace_back(std::string(), run.style.color);
                    }
                    runs.back().first += c;
                }
            }
        }
        return runs;
    }
};

// --- files ---

TEST_F(CommandsTest, SaveProposesTheTimeAndAppendsRtfToWhateverNameIsChosen) {
    TMainForm& form = Start();
    AppendTrafficLine(*form.RichShow, "[12:00:00 ---] ", 0x0000FF, "01 02 03");

    const QString before = QDateTime::currentDateTime().toString("yyyyMMddhhmmss");
    form.N7->trigger(); // cancelled: nothing written
    const QString after = QDateTime::currentDateTime().toString("yyyyMMddhhmmss");
    ASSERT_EQ(m_prompter.proposedNames.size(), 1);
    const QString proposed = m_prompter.proposedNames[0];
    EXPECT_EQ(proposed.size(), 14);
    EXPECT_TRUE(proposed >= before && proposed <= after) << proposed.toStdString();
    EXPECT_TRUE(form.Settings().lastFileName.empty());

    // The user keeps the proposed name: the file gets ".rtf".
    m_prompter.fileNames = {QString::fromStdString(Root() + "/") + proposed};
    form.N7->trigger();
    const std::string stamped = Root() + "/" + proposed.toStdString() + ".rtf";
    ASSERT_TRUE(std::filesystem::exists(stamped));
    EXPECT_EQ(ReadRtf(ReadRaw(stamped)), form.RichShow->ToStyledText());

    // A typed "log.rtf" becomes "log.rtf.rtf"; the send editor saves the same way.
    form.SendForm->RichSend->InsertText("01 03 00 00 00 0A\r\n05", TextAttributes{});
    m_prompter.fileNames = {QString::fromStdString(Root() + "/log.rtf")};
    form.N11->trigger();
    const std::string log = Root() + "/log.rtf.rtf";
    ASSERT_TRUE(std::filesystem::exists(log));
    EXPECT_FALSE(std::filesystem::exists(Root() + "/log.rtf"));
    EXPECT_EQ(form.Settings().lastFileName, log);
    EXPECT_EQ(ReadRtf(ReadRaw(log)), form.SendForm->RichSend->ToStyledText());
    EXPECT_TRUE(m_prompter.questions.empty());
    EXPECT_TRUE(m_prompter.warnings.empty());
}

TEST_F(CommandsTest, ReplacingAFileAsksOnceAndNoKeepsTheFileAndTheLastName) {
    TMainForm& form = Start();
    RichView& send = *form.SendForm->RichSend;
    send.InsertText("AA BB", TextAttributes{});
    m_prompter.fileNames = {QString::fromStdString(Root() + "/msg")};
    form.N11->trigger();
    const std::string file = Root() + "/msg.rtf";
    const std::string original = ReadRaw(file);

    // Opening another file moves the last name away from the saved one.
    const std::string other = Root() + "/other.txt";
    WriteRaw(other, "11 22\r\n");
    m_prompter.fileNames = {QString::fromStdString(other)};
    form.N10->trigger();
    EXPECT_EQ(m_prompter.initialNames.value(0).toStdString(), file);
    EXPECT_EQ(send.LineText(0), "11 22");
    EXPECT_EQ(form.Settings().lastFileName, other);

    m_prompter.fileNames = {QString::fromStdString(Root() + "/msg")};
    m_prompter.answers = {false};
    form.N11->trigger();
    ASSERT_EQ(m_prompter.questions.size(), 1u);
    EXPECT_EQ(m_prompter.questions[0].text, "The file already exists.Do you want to replace it.");
    EXPECT_EQ(m_prompter.questions[0].caption, "Save");
    EXPECT_EQ(ReadRaw(file), original);
    EXPECT_EQ(form.Settings().lastFileName, other);

    m_prompter.fileNames = {QString::fromStdString(Root() + "/msg")};
    m_prompter.answers = {true};
    form.N11->trigger();
    EXPECT_EQ(m_prompter.questions.size(), 2u);
    EXPECT_EQ(ReadRtf(ReadRaw(file)), send.ToStyledText());
    EXPECT_EQ(form.Settings().lastFileName, file);

    // Either editor's open dialog starts with the name last saved or opened.
    m_prompter.fileNames = {QString::fromStdString(file)};
    form.N6->trigger();
    EXPECT_EQ(m_prompter.initialNames.value(1).toStdString(), file);
    EXPECT_EQ(form.RichShow->LineText(0), "11 22");

    // A missing file is refused and changes nothing.
    m_prompter.fileNames = {QString::fromStdString(Root() + "/gone.rtf")};
    form.N10->trigger();
    EXPECT_EQ(m_prompter.initialNames.value(2).toStdString(), file);
    ASSERT_EQ(m_prompter.warnings.size(), 1u);
    EXPECT_EQ(m_prompter.warnings[0].text, "File does not exist.");
    EXPECT_EQ(m_prompter.warnings[0].caption, "Open");
    EXPECT_EQ(send.LineText(0), "11 22");
    EXPECT_EQ(form.Settings().lastFileName, file);
}

TEST_F(CommandsTest, ANameCutToTheRecordsLengthIsTheOneAskedAboutWrittenAndOpened) {
    TMainForm& form = Start();
    AppendTrafficLine(*form.RichShow, "", 0, "01 02");
    const std::string typed = Root() + "/" + std::string(240, 'n');
    const std::string stored = (typed + ".rtf").substr(0, SettingsRecord::MaxPathLength);
    ASSERT_LT(stored.size(), typed.size());
    WriteRaw(stored, "precious");

    m_prompter.fileNames = {QString::fromStdString(typed)};
    m_prompter.answers = {false};
    form.N7->trigger();
    ASSERT_EQ(m_prompter.questions.size(), 1u);
    EXPECT_EQ(ReadRaw(stored), "precious");

    m_prompter.fileNames = {QString::fromStdString(typed)};
    m_prompter.answers = {true};
    form.N7->trigger();
    EXPECT_EQ(ReadRtf(ReadRaw(stored)), form.RichShow->ToStyledText());
    EXPECT_EQ(form.Settings().lastFileName, stored);

    // Opening cuts the same way: the file shown is the one the record names.
    form.RichShow->Clear();
    m_prompter.fileNames = {QString::fromStdString(stored + "tail")};
    form.N6->trigger();
    EXPECT_TRUE(m_prompter.warnings.empty());
    EXPECT_EQ(form.RichShow->LineText(0), "01 02");
}

TEST_F(CommandsTest, AFileThatCannotBeReadReachesTheGeneralErrorReport) {
    TMainForm& form = Start();
    AppendTrafficLine(*form.RichShow, "", 0, "kept");
    const std::string folder = Root() + "/a-folder";
    std::filesystem::create_directories(folder);
    m_prompter.fileNames = {QString::fromStdString(folder)};
    // Told where the command runs: nothing unwinds through the menu's code.
    std::vector<std::string> reported;
    TKorvaneApplication::SetErrorReporter([&](const std::string& m) { reported.push_back(m); });
    EXPECT_NO_THROW(form.N6->trigger());
    TKorvaneApplication::SetErrorReporter(nullptr);
    ASSERT_EQ(reported.size(), 1u);
    EXPECT_NE(reported[0].find("Cannot read \"" + folder + "\""), std::string::npos) << reported[0];
    EXPECT_TRUE(m_prompter.warnings.empty());
    EXPECT_EQ(form.RichShow->LineText(0), "kept");
    EXPECT_EQ(form.Settings().lastFileName, folder);
}

TEST_F(CommandsTest, AFailedSaveIsReportedWithTheSystemsReason) {
    TMainForm& form = Start();
    AppendTrafficLine(*form.RichShow, "", 0, "01 02");
    std::filesystem::create_directories(Root() + "/folder.rtf");
    struct Case {
        std::string chosen;
        bool asked; // the target exists, so the replace question comes first
        int error;
    };
    const Case cases[] = {
        {Root() + "/folder", true, EISDIR},
        {Root() + "/no/such/place", false, ENOENT},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.chosen);
        m_prompter.warnings.clear();
        m_prompter.questions.clear();
        m_prompter.fileNames = {QString::fromStdString(c.chosen)};
        m_prompter.answers = {true};
        form.N7->trigger();
        EXPECT_EQ(m_prompter.questions.size(), c.asked ? 1u : 0u);
        ASSERT_EQ(m_prompter.warnings.size(), 1u);
        EXPECT_EQ(m_prompter.warnings[0].caption, "Save");
        const std::string text = m_prompter.warnings[0].text.toStdString();
        EXPECT_NE(text.find(c.chosen + ".rtf"), std::string::npos) << text;
        EXPECT_NE(text.find(std::strerror(c.error)), std::string::npos) << text;
    }
    EXPECT_TRUE(std::filesystem::is_directory(Root() + "/folder.rtf"));
}

// The real dialogs show the filters by their captions alone, as the program names them.
TEST(FileDialogs, ShowTheFilterCaptionsAsGiven) {
    struct Case {
        bool save;
        QString filter;
        const char* shown; // the captions of the file-type list, joined by "|"
    };
    const Case cases[] = {
        {true, QStringLiteral("rtf(*.rtf)|*.rtf|all|*.*"), "rtf(*.rtf)|all"},
        {false, QStringLiteral("All|*.*"), "All"},
    };
    TQtPrompter prompter;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.filter.toStdString());
        QStringList shown;
        QTimer::singleShot(0, [&] {
            QWidget* modal = QApplication::activeModalWidget();
            auto* dialog = qobject_cast<QFileDialog*>(modal);
            if (dialog == nullptr) {
                ADD_FAILURE() << "no file dialog";
                if (modal != nullptr) {
                    modal->close();
                }
                return;
            }
            if (auto* types = dialog->findChild<QComboBox*>(QStringLiteral("fileTypeCombo"))) {
                for (int i = 0; i < types->count(); ++i) {
                    shown << types->itemText(i);
                }
            }
            dialog->reject();
        });
        const QString chosen = c.save
                                   ? prompter.SaveFileName(nullptr, QStringLiteral("x"), c.filter)
                                   : prompter.OpenFileName(nullptr, QString(), c.filter);
        EXPECT_TRUE(chosen.isEmpty());
        EXPECT_EQ(shown.join(QLatin1Char('|')).toStdString(), c.shown);
    }
}

// --- menus and tool bars ---

struct ItemRow {
    const char* name;
    const char* caption; // nullptr: a separator
    const char* shortcut;
    bool shown;
};

void ExpectItems(const QList<QAction*>& actions, const std::vector<ItemRow>& rows,
                 const std::string& where) {
    ASSERT_EQ(actions.size(), static_cast<qsizetype>(rows.size())) << where;
    for (size_t i = 0; i < rows.size(); ++i) {
        const QAction* a = actions[static_cast<qsizetype>(i)];
        const ItemRow& row = rows[i];
        SCOPED_TRACE(where + " " + row.name);
        EXPECT_EQ(a->objectName().toStdString(), row.name);
        EXPECT_EQ(a->isSeparator(), row.caption == nullptr);
        if (row.caption != nullptr) {
            EXPECT_EQ(a->text().toStdString(), row.caption);
        }
        EXPECT_EQ(a->shortcut().toString(QKeySequence::PortableText).toStdString(), row.shortcut);
        EXPECT_EQ(a->isVisible(), row.shown);
    }
}

TEST_F(CommandsTest, MenusShowTheirCaptionsShortcutsAndHiddenItemsExactly) {
    TMainForm& form = Start();
    const std::vector<std::pair<const char*, const char*>> menus = {
        {"N1", "File"},   {"N2", "Edit"},    {"N3", "View"},
        {"D2", "Tools "}, {"N32", "Window"}, {"N5", "Help "},
    };
    const std::vector<std::vector<ItemRow>> items = {
        {
            {"N6", "Open Receiving  Message", "", true},
            {"N7", "Save Receiving  Message", "Ctrl+S", true},
            {"N9", nullptr, "", true},
            {"N10", "Open Sending Message", "", true},
            {"N11", "Save Sending Message", "", true},
            {"CaptureToFile", "Capture to File...", "", true},
            {"N13", nullptr, "", false},
            {"N14", "Print", "", false},
            {"N15", "Print Preview", "", false},
            {"TapPort", "Tap a Second Port...", "", false},
            {"CloseTap", "Close Tap", "", false},
            {"N17", nullptr, "", true},
            {"N18", "Exit", "", true},
        },
        {
            {"N19", "Undo     Ctrl+Z", "", true},
            {"N20", nullptr, "", true},
            {"N21", "Cut      Ctrl+X", "", true},
            {"N22", "Copy     Ctrl+C", "", true},
            {"N23", "Paste    Ctrl+V", "", true},
            {"N24", nullptr, "", true},
            {"N27", "Select All", "", true},
            {"N26", nullptr, "", false},
            {"F1", "Find", "Ctrl+F", false},
            {"N25", "Find Next ", "F3", false},
        },
        {
            {"N29", "Show Time", "", true},
            {"ShowRxTx2", "Show RxTx", "", true},
            {"N49", "Word Wrap", "", false},
            {"N30", "Show Sending", "", true},
            {"N38", "Filter Settings", "", false},
            {"N31", nullptr, "", true},
            {"N8", "Send Window", "F8", true},
            {"N12", "Find Window", "", false},
            {"PlotWindow", "Plot", "", false},
            {"N28", nullptr, "", false},
            {"N51", "Color Settings", "", false},
            {"CheckReceived2", "Check Received Checksum", "", false},
            {"CheckReceivedKind", "Checksum to Check", "", false},
            {"Decode", "Decode", "", false},
            {"AllCommandsSeparator", nullptr, "", true},
            {"AllCommands", "All Commands", "", true},
        },
        {
            {"N33", "Open Port", "", true},
            {"N37", "Pause Monitoring", "", true},
            {"ReconnectAuto", "Reconnect Automatically", "", true},
            {"N36", "Send Data", "F5", true},
            {"N35", nullptr, "", true},
            {"N40", "ASCII Receive", "", true},
            {"N41", "ASCII Send", "", true},
            {"N4", nullptr, "", true},
            {"N44", "Cycle To Send", "", false},
            {"N45", "Trigger Send", "", false},
            {"N47", nullptr, "", false},
            {"N39", "Auto Save or Clear", "", false},
            {"N43", "HexDecBin Converter", "", false},
            {"ASCII1", "ASCII Table", "", false},
            {"ScriptsItem", "Scripts...", "", false},
        },
        {
            {"N48", "Center", "", true},
            {"N50", "Top", "", true},
            {"N55", "Bottom", "", true},
            {"N53", "Left", "", true},
            {"N54", "Right", "", true},
            {"N58", nullptr, "", true},
            {"N59", "Always On Top", "", true},
        },
        {
            {"N57", "Help Online", "F1", true},
            {"N60", nullptr, "", true},
            {"N46", "Check For Updates", "", true},
            {"N52", "Online Support", "", true},
            {"N65", "Feedback", "", false},
            {"N64", nullptr, "", false},
            {"N56", "About", "", true},
        },
    };
    const QList<QAction*> bar = form.menuBar()->actions();
    ASSERT_EQ(bar.size(), static_cast<qsizetype>(menus.size()));
    for (size_t m = 0; m < menus.size(); ++m) {
        QAction* menuAction = bar[static_cast<qsizetype>(m)];
        EXPECT_EQ(menuAction->objectName().toStdString(), menus[m].first);
        EXPECT_EQ(menuAction->text().toStdString(), menus[m].second);
        ASSERT_NE(menuAction->menu(), nullptr);
        ExpectItems(menuAction->menu()->actions(), items[m], menus[m].first);
    }

    ExpectItems(form.PopupMenu1->actions(),
                {
                    {"N61", "Cut     Ctrl+X", "", true},
                    {"N62", "Copy    Ctrl+C", "", true},
                    {"N63", "Paste   Ctrl+V", "", true},
                    {"N16", nullptr, "", false},
                    {"N42", "To Dec Bin", "", false},
                },
                "PopupMenu1");
    ExpectItems(form.PopupMenu2->actions(),
                {{"showtime1", "Show Time", "", true},
                 {"showRxTx1", "Show RxTx", "", true},
                 {"CheckReceived1", "Check Received Checksum", "", false},
                 {"CheckReceivedKind", "Checksum to Check", "", false}},
                "PopupMenu2");

    // The view tool bar, left to right, with hints in place of captions.
    struct Button {
        const char* name;
        const char* hint; // nullptr: a separator
        bool shown;
    };
    const Button buttons[] = {
        {"ToolButton3", nullptr, true},
        {"ToolButton14", "Display Time", true},
        {"ToolButton15", "Display Sending Message", true},
        {"ToolButton31", nullptr, true},
        {"ToolButton22", "Word Wrap", false},
        {"ToolButton20", nullptr, false},
        {"ToolButton17", "Filter Settings", false},
        {"ToolButton6", nullptr, false},
        {"ToolButton26", "ASCII Receive", true},
        {"ToolButton27", nullptr, true},
        {"ToolButton21", "Clear Screen", false},
    };
    const QList<QAction*> rece = form.ReceBar->actions();
    ASSERT_EQ(rece.size(), static_cast<qsizetype>(std::size(buttons)));
    for (size_t i = 0; i < std::size(buttons); ++i) {
        const QAction* a = rece[static_cast<qsizetype>(i)];
        SCOPED_TRACE(buttons[i].name);
        EXPECT_EQ(a->objectName().toStdString(), buttons[i].name);
        EXPECT_EQ(a->isSeparator(), buttons[i].hint == nullptr);
        if (buttons[i].hint != nullptr) {
            EXPECT_EQ(a->toolTip().toStdString(), buttons[i].hint);
        }
        EXPECT_EQ(a->isVisible(), buttons[i].shown);
    }
    EXPECT_EQ(form.TbTime->text(), "text");
    EXPECT_EQ(form.TbTime->menu(), form.PopupMenu2);
}

TEST_F(CommandsTest, ShortcutsFireFromTheKeyboardHiddenItemsIncluded) {
    TMainForm& form = Start();
    int finds = 0;
    int nexts = 0;
    form.ShowFindDialog = [&] { ++finds; };
    form.FindNext = [&] { ++nexts; };
    Activate(form);
    form.SendForm->RichSend->setFocus();

    QTest::keyClick(&form, Qt::Key_F, Qt::ControlModifier);
    EXPECT_EQ(finds, 1);
    QTest::keyClick(&form, Qt::Key_F3);
    QTest::keyClick(form.SendForm->RichSend, Qt::Key_F3);
    EXPECT_EQ(nexts, 2);
    EXPECT_EQ(finds, 1);

    QTest::keyClick(&form, Qt::Key_F1);
    EXPECT_EQ(m_prompter.urls, QStringList{QUrl::fromLocalFile(UserGuidePath()).toString()});

    const bool sendShown = form.Settings().sendWindowVisible;
    QTest::keyClick(&form, Qt::Key_F8);
    EXPECT_NE(form.Settings().sendWindowVisible, sendShown);
    EXPECT_EQ(form.SendForm->isVisible(), form.Settings().sendWindowVisible);
    EXPECT_EQ(form.N8->isChecked(), form.Settings().sendWindowVisible);

    // Closing the send window by its own close box clears the flag as well.
    if (!form.SendForm->isVisible()) {
        QTest::keyClick(&form, Qt::Key_F8);
    }
    ASSERT_TRUE(form.SendForm->isVisible());
    form.SendForm->close();
    EXPECT_FALSE(form.Settings().sendWindowVisible);
    EXPECT_FALSE(form.N8->isChecked());
    EXPECT_FALSE(form.TbSendWindow->isChecked());

    m_prompter.fileNames = {QString()}; // the save dialog opens and is cancelled
    QTest::keyClick(&form, Qt::Key_S, Qt::ControlModifier);
    EXPECT_EQ(m_prompter.proposedNames.size(), 1);
}

TEST_F(CommandsTest, EditMenuKeystrokesActOnTheFocusedEditor) {
    TMainForm& form = Start();
    QAction* undo = form.findChild<QAction*>("N19");
    QAction* copy = form.findChild<QAction*>("N22");
    QAction* paste = form.findChild<QAction*>("N23");
    QAction* selectAll = form.findChild<QAction*>("N27");
    ASSERT_TRUE(undo && copy && paste && selectAll);
    RichView& send = *form.SendForm->RichSend;
    RichView& show = *form.RichShow;
    send.InsertText("01 03\r\n00 0A", TextAttributes{});
    AppendTrafficLine(show, "", 0, "FF");
    QApplication::clipboard()->clear();
    Activate(form);

    send.setFocus();
    ASSERT_EQ(QApplication::focusWidget(), &send);
    selectAll->trigger();
    copy->trigger();
    EXPECT_EQ(QApplication::clipboard()->text(), "01 03\n00 0A");
    EXPECT_EQ(show.SelectionLength(), 0);

    // The traffic view takes what was copied; undo takes it back out again.
    show.setFocus();
    show.MoveCaretToEnd();
    paste->trigger();
    EXPECT_EQ(show.LineText(1), "01 03");
    EXPECT_EQ(show.LineText(2), "00 0A");
    undo->trigger();
    EXPECT_EQ(show.LineCount(), 1);
    EXPECT_EQ(send.LineText(1), "00 0A");

    // The views' pop-up menu does the same.
    QAction* cut = form.findChild<QAction*>("N61");
    ASSERT_NE(cut, nullptr);
    send.setFocus();
    send.SetSelection(0, 2);
    cut->trigger();
    EXPECT_EQ(send.LineText(0), " 03");
    EXPECT_EQ(QApplication::clipboard()->text(), "01");
}

TEST_F(CommandsTest, WindowMenuPlacesTheClientAreaAndTogglesStayingOnTop) {
    TMainForm& form = Start();
    // The halves of the screen's free area hold the whole window, frame and status bar
    // included; Center gives the designed client area.
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    const int w = area.width();
    const int h = area.height();
    const int x = area.left();
    const int y = area.top();
    struct Case {
        const char* item;
        QRect frame;
    };
    const Case cases[] = {
        {"N50", QRect(x, y, w, h / 2)},
        {"N55", QRect(x, y + h / 2, w, h - h / 2)},
        {"N53", QRect(x, y, w / 2, h)},
        {"N54", QRect(x + w / 2, y, w - w / 2, h)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.item);
        form.showMaximized();
        QAction* item = form.findChild<QAction*>(c.item);
        ASSERT_NE(item, nullptr);
        item->trigger();
        EXPECT_EQ(form.windowState(), Qt::WindowNoState);
        EXPECT_EQ(form.frameGeometry(), c.frame);
    }
    form.showMaximized();
    form.findChild<QAction*>("N48")->trigger();
    EXPECT_EQ(form.windowState(), Qt::WindowNoState);
    EXPECT_EQ(form.pos(), QPoint(250, 100));
    EXPECT_EQ(form.width(), 600);
    EXPECT_EQ(form.height() - form.menuBar()->height(), 400);

    ASSERT_FALSE(form.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    form.N59->trigger();
    EXPECT_TRUE(form.N59->isChecked());
    EXPECT_TRUE(form.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    EXPECT_TRUE(form.isVisible());
    form.N59->trigger();
    EXPECT_FALSE(form.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    EXPECT_TRUE(form.isVisible());
}

TEST_F(CommandsTest, HelpItemsOpenTheUserGuideAndTheAboutBox) {
    TMainForm& form = Start();
    // The guide the build made from the README, opened as a local file.
    const QString guide = UserGuidePath();
    ASSERT_FALSE(guide.isEmpty());
    QFile page(guide);
    ASSERT_TRUE(page.open(QIODevice::ReadOnly));
    const QString html = QString::fromUtf8(page.readAll());
    EXPECT_TRUE(html.contains(QStringLiteral("<h2>Opening a port</h2>")));
    EXPECT_TRUE(html.contains(QStringLiteral("<h2>All Commands</h2>")));
    EXPECT_FALSE(html.contains(QStringLiteral("<h2>The two commands</h2>")));
    for (const char* name : {"N57", "N46", "N52", "N65"}) {
        QAction* a = form.findChild<QAction*>(name);
        ASSERT_NE(a, nullptr) << name;
        a->trigger();
    }
    form.TbWebPage->trigger();
    EXPECT_EQ(m_prompter.urls, QStringList(5, QUrl::fromLocalFile(guide).toString()));
    EXPECT_TRUE(m_prompter.messages.empty());

    // Without a browser, a box names the file instead.
    m_prompter.browserStarts = false;
    form.TbWebPage->trigger();
    ASSERT_EQ(m_prompter.messages.size(), 1u);
    EXPECT_TRUE(m_prompter.messages[0].text.endsWith(guide));
    EXPECT_EQ(m_prompter.messages[0].caption, "Help");
    EXPECT_FALSE(form.AboutForm->isVisible());
    form.findChild<QAction*>("N56")->trigger();
    EXPECT_TRUE(form.AboutForm->isVisible());
}

TEST_F(CommandsTest, ViewToolBarFlipsTheDisplaySwitchesAndClearsTheView) {
    TMainForm& form = Start();
    SettingsRecord& s = form.Settings();
    TDataRT& engine = *form.DataRT();
    const bool time = s.showTime;
    const bool rxtx = s.showRxTx;
    const bool sending = s.showSending;
    const bool ascii = s.asciiReceive;

    form.showtime1->trigger();
    EXPECT_EQ(s.showTime, !time);
    EXPECT_EQ(engine.ShowTime, !time);
    EXPECT_EQ(form.N29->isChecked(), !time);
    EXPECT_EQ(form.showtime1->isChecked(), !time);
    form.showRxTx1->trigger();
    EXPECT_EQ(s.showRxTx, !rxtx);
    EXPECT_EQ(engine.ShowRxTx, !rxtx);
    EXPECT_EQ(form.ShowRxTx2->isChecked(), !rxtx);
    form.TbShowSending->trigger();
    EXPECT_EQ(s.showSending, !sending);
    EXPECT_EQ(engine.ShowSending, !sending);
    EXPECT_EQ(form.N30->isChecked(), !sending);
    EXPECT_EQ(form.TbShowSending->isChecked(), !sending);
    form.TbAsciiReceive->trigger();
    EXPECT_EQ(s.asciiReceive, !ascii);
    EXPECT_EQ(form.Connection()->HexReceive.load(), ascii ? 1 : 0);
    EXPECT_EQ(form.N40->isChecked(), !ascii);
    EXPECT_EQ(form.TbAsciiReceive->isChecked(), !ascii);

    // The menu items flip the same switches back.
    form.N29->trigger();
    form.ShowRxTx2->trigger();
    form.N30->trigger();
    form.N40->trigger();
    EXPECT_EQ(s.showTime, time);
    EXPECT_EQ(s.showRxTx, rxtx);
    EXPECT_EQ(s.showSending, sending);
    EXPECT_EQ(s.asciiReceive, ascii);
    EXPECT_EQ(form.showtime1->isChecked(), time);
    EXPECT_EQ(form.TbAsciiReceive->isChecked(), ascii);

    // The hidden word-wrap button and menu item wrap the traffic view itself.
    EXPECT_FALSE(form.RichShow->WordWrap());
    form.TbWordWrap->trigger();
    EXPECT_TRUE(s.wordWrap);
    EXPECT_TRUE(form.RichShow->WordWrap());
    EXPECT_TRUE(form.N49->isChecked());
    form.N49->trigger();
    EXPECT_FALSE(form.RichShow->WordWrap());
    EXPECT_FALSE(form.TbWordWrap->isChecked());

    AppendTrafficLine(*form.RichShow, "[12:00:00 ---] ", 0, "01 02");
    AppendTrafficLine(*form.RichShow, "[12:00:01 1] ", 0, "03");
    form.TbClear->trigger();
    EXPECT_EQ(form.RichShow->TextLength(), 0);
}

// --- send window ---

class SendWindowTest : public CommandsTest {
protected:
    void SetUp() override {
        CommandsTest::SetUp();
        form = &Start();
        send = form->SendForm->RichSend;
    }
    void SetText(const std::string& text) {
        send->Clear();
        send->InsertText(text, TextAttributes{});
    }

    TMainForm* form = nullptr;
    RichView* send = nullptr;
};

TEST_F(SendWindowTest, ChecksumAppendsBlueBytesToTheCaretLine) {
    SetText("AA\r\n01 03 00 00 00 0A\r\nBB");
    send->SetCaret(1, 4);
    form->SendForm->ChooseChecksum(5);
    EXPECT_EQ(form->Settings().checksumKind, 5);
    EXPECT_EQ(send->LineText(1), "01 03 00 00 00 0A C5 CD");
    EXPECT_EQ(send->LineText(0), "AA");
    EXPECT_EQ(send->LineText(2), "BB");
    const std::vector<std::pair<std::string, uint32_t>> runs = {{"01 03 00 00 00 0A", 0},
                                                                {" C5 CD", kBlue}};
    EXPECT_EQ(LineRuns(*send, 1), runs);
    for (const StyledRun& run : send->ToStyledText()) {
        EXPECT_EQ(run.style.fontName, "Courier New");
        EXPECT_EQ(run.style.sizeHalfPoints, 18);
    }

    // Applied again, the second checksum covers the data and the first checksum.
    send->SetCaret(1, 0);
    form->SendForm->ChecksumCommand();
    EXPECT_EQ(send->LineText(1),
              "01 03 00 00 00 0A C5 CD " +
                  ChecksumText("01 03 00 00 00 0A C5 CD", ChecksumAlgorithm::Crc16Modbus));
    EXPECT_EQ(send->LineText(1).substr(24), "00 00"); // a frame with its CRC leaves no remainder
}

TEST_F(SendWindowTest, ChecksumKeepsLeadingBlanksAndTheSameBytesForAnsiAndModbus) {
    struct Case {
        int kind;
        std::string line;
        std::string expected;
    };
    const Case cases[] = {
        {5, "   01 03 00 00 00 0A  ", "   01 03 00 00 00 0A C5 CD  "},
        {7, "01 03 00 00 00 0A", "01 03 00 00 00 0A C5 CD"},
        {0, "01 02 FF", "01 02 FF 02"},
        {3, "\t01 03", "\t01 03 02"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        SetText(c.line);
        send->SetCaret(0, 0);
        form->SendForm->ChooseChecksum(c.kind);
        EXPECT_EQ(send->LineText(0), c.expected);
    }
    // The blanks around the data keep their place and colour outside the replaced span.
    TextAttributes red;
    red.color = 0x0000FF;
    send->Clear();
    send->InsertText("  ", red);
    send->InsertText("01 03 00 00 00 0A", TextAttributes{});
    send->InsertText(" ", red);
    form->SendForm->ChooseChecksum(5);
    const std::vector<std::pair<std::string, uint32_t>> runs = {
        {"  ", 0x0000FF}, {"01 03 00 00 00 0A", 0}, {" C5 CD", kBlue}, {" ", 0x0000FF}};
    EXPECT_EQ(LineRuns(*send, 0), runs);
    EXPECT_TRUE(m_prompter.warnings.empty());
}

TEST_F(SendWindowTest, ASelectionOverTwoLinesBecomesOneLine) {
    SetText("AA\r\n01 03\r\n00 00 00 0A\r\nBB");
    const int64_t start = send->PositionFromLine(1);
    send->SetSelection(start, send->PositionFromLine(2) + 11 - start);
    form->SendForm->ChooseChecksum(5);
    EXPECT_EQ(send->LineCount(), 3);
    EXPECT_EQ(send->LineText(0), "AA");
    EXPECT_EQ(send->LineText(1), "01 0300 00 00 0A C5 CD");
    EXPECT_EQ(send->LineText(2), "BB");
}

TEST_F(SendWindowTest, TextThatIsNotHexIsRefusedAndLeftAlone) {
    for (const std::string text : {"01 0", "01 0G", "hello", ""}) {
        SCOPED_TRACE(text);
        m_prompter.warnings.clear();
        SetText(text);
        const StyledText before = send->ToStyledText();
        send->SetCaret(0, 1);
        form->SendForm->ChooseChecksum(5);
        ASSERT_EQ(m_prompter.warnings.size(), 1u);
        EXPECT_EQ(m_prompter.warnings[0].text, "The data is not hexadecimal format.");
        EXPECT_EQ(m_prompter.warnings[0].caption, "Check");
        EXPECT_EQ(send->ToStyledText(), before);
    }
}

TEST_F(SendWindowTest, ChoosingFromTheMenuStoresTheChoiceAndNamesItInTheHint) {
    TSendForm& sf = *form->SendForm;
    EXPECT_EQ(sf.ToolButton1->toolTip(), "Send cursor line(F5)");
    EXPECT_EQ(sf.ToolButton8->toolTip(), "ASCII Send");
    EXPECT_TRUE(sf.ToolButton1->isVisible());
    EXPECT_TRUE(sf.ToolButton8->isVisible());
    EXPECT_FALSE(sf.ToolButton2->isVisible());
    EXPECT_FALSE(sf.ToolButton3->isVisible());
    EXPECT_FALSE(sf.ToolButton7->isVisible());

    SetText("01 03 00 00 00 0A");
    sf.ChecksumActions[5]->trigger();
    EXPECT_EQ(form->Settings().checksumKind, 5);
    EXPECT_EQ(sf.ToolButton7->toolTip(), "Check Modbus-CRC16");
    EXPECT_TRUE(sf.ChecksumActions[5]->isChecked());
    EXPECT_EQ(send->LineText(0), "01 03 00 00 00 0A C5 CD");

    // The button itself runs the stored choice.
    SetText("01 02 FF");
    sf.ToolButton7->trigger();
    EXPECT_EQ(send->LineText(0), "01 02 FF 61 20");

    // Shown again, the hint names the stored choice; a choice without a name keeps it.
    // Opening the menu checks the stored choice.
    form->Settings().checksumKind = 8;
    sf.hide();
    sf.show();
    EXPECT_EQ(sf.ToolButton7->toolTip(), "Check CCITT-CRC16");
    sf.PopupMenu1->popup(QPoint(0, 0));
    EXPECT_TRUE(sf.ChecksumActions[8]->isChecked());
    EXPECT_FALSE(sf.ChecksumActions[5]->isChecked());
    sf.PopupMenu1->hide();
    form->Settings().checksumKind = 4;
    sf.hide();
    sf.show();
    EXPECT_EQ(sf.ToolButton7->toolTip(), "Check CCITT-CRC16");

    // ASCII sending follows the button and the main menu.
    sf.ToolButton8->trigger();
    EXPECT_TRUE(form->Settings().asciiSend);
    EXPECT_EQ(form->Connection()->HexSend.load(), 0);
    EXPECT_TRUE(form->N41->isChecked());
    EXPECT_TRUE(sf.ToolButton8->isChecked());
    form->N41->trigger();
    EXPECT_FALSE(form->Settings().asciiSend);
    EXPECT_FALSE(sf.ToolButton8->isChecked());
}

TEST_F(SendWindowTest, CaptionShowsTheCaretOfTheSendEditor) {
    SetText("AA\r\nBB\r\n01 03 00 00 00 0A\r\nCC");
    Activate(*form);
    form->SendForm->show();
    send->FlushPaint();
    const QFontMetricsF metrics(QFont("Courier New", 9));
    const double cell = metrics.horizontalAdvance(QString(64, QLatin1Char('0'))) / 64;
    const int rowHeight = static_cast<int>(std::ceil(metrics.lineSpacing()));
    // Just right of the fifth pair of line 3: the fifth byte.
    const QPoint at(2 + static_cast<int>((14 + 0.2) * cell), 2 + 2 * rowHeight + rowHeight / 2);
    QTest::mouseClick(send->viewport(), Qt::LeftButton, {}, at);
    EXPECT_EQ(send->CaretLine(), 2);
    EXPECT_EQ(send->CaretColumn(), 14);
    EXPECT_EQ(form->DataRT()->ActiveView, send);
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return form->SendForm->windowTitle() == "Send [Hex: Ln:3 Col:5 Sel:0]"; }, 2000))
        << form->SendForm->windowTitle().toStdString();
    // The docked window's title bar shows it.
    const auto* title = form->SendForm->titleBarWidget()->findChild<QLabel*>();
    ASSERT_NE(title, nullptr);
    EXPECT_EQ(title->text(), "Send [Hex: Ln:3 Col:5 Sel:0]");
}

// --- over a pseudo-terminal ---

uint16_t ModbusCrc(const std::vector<uint8_t>& bytes) {
    uint16_t crc = 0xFFFF;
    for (uint8_t b : bytes) {
        crc ^= b;
        for (int i = 0; i < 8; ++i) {
            crc = (crc & 1) != 0 ? static_cast<uint16_t>((crc >> 1) ^ 0xA001)
                                 : static_cast<uint16_t>(crc >> 1);
        }
    }
    return crc;
}

std::string Hex(const std::vector<uint8_t>& bytes) {
    std::string out;
    char pair[4];
    for (uint8_t b : bytes) {
        std::snprintf(pair, sizeof pair, "%02X", b);
        if (!out.empty()) {
            out += ' ';
        }
        out += pair;
    }
    return out;
}

TEST_F(CommandsTest, AModbusRequestTypedWithItsCrcIsAnsweredByTheDevice) {
    StartPortsim();
    TMainForm& form = Start();
    OpenPort(form, "SIM0");
    form.ShowRxTx2->trigger();
    ASSERT_TRUE(form.Settings().showRxTx && form.Settings().showTime);

    RichView& send = *form.SendForm->RichSend;
    send.Clear();
    Activate(form);
    send.setFocus();
    QTest::keyClicks(&send, "01 03 00 00 00 0A");
    form.SendForm->ChecksumActions[5]->trigger();
    ASSERT_EQ(send.LineText(0), "01 03 00 00 00 0A C5 CD");
    QTest::keyClick(&send, Qt::Key_F5);

    RichView& show = *form.RichShow;
    ASSERT_TRUE(QTest::qWaitFor([&] { return show.LineCount() >= 2; }, 5000)) << show.LineCount();
    const std::string sent = show.LineText(0);
    const std::string answer = show.LineText(1);
    EXPECT_EQ(sent.front(), '[');
    EXPECT_EQ(answer.front(), '[');
    const size_t tx = sent.find(" Tx] ");
    const size_t rx = answer.find(" Rx] ");
    ASSERT_NE(tx, std::string::npos) << sent;
    ASSERT_NE(rx, std::string::npos) << answer;
    // A sent record holds the normalised text: one blank after every pair.
    EXPECT_EQ(sent.substr(tx + 5), "01 03 00 00 00 0A C5 CD ");

    // Registers 0..9 hold their own numbers.
    std::vector<uint8_t> reply = {0x01, 0x03, 0x14};
    for (uint8_t r = 0; r < 10; ++r) {
        reply.push_back(0);
        reply.push_back(r);
    }
    const uint16_t crc = ModbusCrc(reply);
    reply.push_back(static_cast<uint8_t>(crc & 0xFF));
    reply.push_back(static_cast<uint8_t>(crc >> 8));
    EXPECT_EQ(answer.substr(rx + 5), Hex(reply));
    EXPECT_EQ(form.Connection()->TxCount.load(), 8u);
    EXPECT_TRUE(QTest::qWaitFor([&] { return form.Connection()->RxCount.load() == 25u; }, 2000));
    EXPECT_TRUE(m_prompter.warnings.empty());
}

TEST_F(CommandsTest, CycleSendRepeatsTheRangeInOrderOnTheLine) {
    const int peer = RegisterPty("CYC");
    TMainForm& form = Start();
    OpenPort(form, "CYC");
    form.SendForm->RichSend->Clear();
    form.SendForm->RichSend->InsertText("AA\r\n01\r\n02 02\r\n03\r\nFF", TextAttributes{});

    SettingsRecord& s = form.Settings();
    s.cycleUseRange = true;
    s.cycleRangeFrom = 2;
    s.cycleRangeTo = 4;
    s.cycleInterval = 20;
    s.cycleSendEnabled = true;
    form.RefreshSettings();
    EXPECT_TRUE(form.N44->isChecked());
    EXPECT_TRUE(form.SendForm->ToolButton2->isChecked());

    std::string received;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            char buffer[256];
            const ssize_t n = ::read(peer, buffer, sizeof buffer);
            if (n > 0) {
                received.append(buffer, static_cast<size_t>(n));
            }
            return received.size() >= 12;
        },
        10000))
        << received.size();
    s.cycleSendEnabled = false;
    form.RefreshSettings();
    EXPECT_EQ(received.substr(0, 12),
              std::string("\x01\x02\x02\x03\x01\x02\x02\x03\x01\x02\x02\x03", 12));
    EXPECT_FALSE(form.DataRT()->CycleTimer().Enabled());
    EXPECT_TRUE(m_prompter.warnings.empty());
}

} // namespace
