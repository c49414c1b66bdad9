// The find dialog with the search output, and the auto save dialog with the traffic view's
// automatic saving and clearing, driven as a user drives them. Offscreen platform, a private
// data folder per test, scripted dialogs.

#include "richtext/RichText.h"
#include "settings/SettingsFile.h"
#include "settings/SettingsTestSupport.h"
#include "traffic/DataRT.h"
#include "ui/MainWindowTest.h"
#include "ui/QtTestApp.h"
#include "ui/ScriptedPrompter.h"
#include "ui/main/Application.h"
#include "ui/main/MainForm.h"
#include "ui/main/RichView.h"
#include "ui/tools/FindDiaUnit.h"
#include "ui/tools/FindUnit.h"
#include "ui/tools/TimeSaveUnit.h"

#include <QAction>
#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <filesystem>
#include <memory>
#include <regex>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr uint32_t kGrey = 0x808080;
constexpr uint32_t kReceived = 0x00C80000;

class FindSaveTest : public MainWindowTest {
protected:
    void TearDown() override {
        TKorvaneApplication::SetErrorReporter(nullptr);
        MainWindowTest::TearDown();
    }

    void Created(TMainForm& form) override {
        m_find = form.findChild<TFindDialog*>();
        m_save = form.findChild<TTimeSaveForm*>();
        EXPECT_TRUE(m_find != nullptr && m_save != nullptr);
        m_settings->receiveTextColor = kReceived;
    }

    // Lines as the pump writes them: at the end, grey prefix, coloured payload.
    void Show(const std::vector<std::pair<std::string, std::string>>& lines) {
        for (const auto& [prefix, payload] : lines) {
            m_form->RichShow->MoveCaretToEnd();
            AppendTrafficLine(*m_form->RichShow, prefix, 0x0000C8, payload);
        }
    }
    void ShowLines(int count) {
        for (int i = 0; i < count; ++i) {
            Show({{"", "01 03 " + std::to_string(m_shown++)}});
        }
    }

    void SetSearch(const QString& text, bool findAll, bool matchCase) {
        m_find->FindText->setText(text);
        m_find->FindAll->setChecked(findAll);
        m_find->UpLowCase->setChecked(matchCase);
    }
    // What a find-next press selected: its start and its text.
    std::pair<int64_t, std::string> Press() {
        QTest::mouseClick(m_find->FindNext, Qt::LeftButton);
        return {m_form->RichShow->SelectionStart(), m_form->RichShow->SelectedText()};
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

    // The auto save dialog shown, filled in and confirmed.
    void SetAutoSave(bool clear, bool save, const QString& lines, const QString& folder) {
        m_form->ShowAutoSave();
        m_save->CheckBox1->setChecked(clear);
        m_save->CheckBox2->setChecked(save);
        m_save->Edit1->setText(lines);
        m_save->Edit2->setText(folder);
        QTest::mouseClick(m_save->Button2, Qt::LeftButton);
    }

    static std::vector<std::string> FilesIn(const std::string& folder) {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(folder)) {
            names.push_back(entry.path().filename().string());
        }
        return names;
    }

    TFindDialog* m_find = nullptr;
    TTimeSaveForm* m_save = nullptr;
    int m_shown = 0;
};

// --- find next ---

TEST_F(FindSaveTest, FindNextStepsThroughMatchesThenStartsOver) {
    Start();
    Show({{"", "xx AB yy"}, {"", "ab Ab aB"}});
    const int64_t second = m_form->RichShow->PositionFromLine(1);
    struct Case {
        bool matchCase;
        std::vector<std::pair<int64_t, std::string>> presses;
    };
    const Case cases[] = {
        {false,
         {{3, "AB"}, {second, "ab"}, {second + 3, "Ab"}, {second + 6, "aB"}, {-1, ""}, {3, "AB"}}},
        {true, {{second, "ab"}, {-1, ""}, {second, "ab"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.matchCase);
        m_form->RichShow->SetSelection(0, 0);
        SetSearch(QStringLiteral("ab"), false, c.matchCase);
        std::pair<int64_t, std::string> previous{0, ""};
        for (const auto& expected : c.presses) {
            const auto got = Press();
            if (expected.first < 0) {
                // Past the last match: the selection stays and the next press starts over.
                EXPECT_EQ(got, previous);
                EXPECT_EQ(m_find->SearchPosition(), 0);
            } else {
                EXPECT_EQ(got, expected);
                EXPECT_EQ(m_find->SearchPosition(), expected.first + 1);
            }
            previous = got;
        }
    }
    EXPECT_TRUE(m_prompter.warnings.empty());
    EXPECT_EQ(m_find->windowTitle(), QStringLiteral("Find"));
}

TEST_F(FindSaveTest, FindNextWithANewStringSkipsItsLengthAfterThePreviousMatch) {
    Start();
    Show({{"", "abcabcabc"}});
    SetSearch(QStringLiteral("abc"), false, true);
    EXPECT_EQ(Press().first, 0);
    // The previous match is at 1 (1-based); the next search starts at 1 + the length of
    // the string now searched for.
    SetSearch(QStringLiteral("bca"), false, true);
    EXPECT_EQ(Press(), (std::pair<int64_t, std::string>{4, "bca"}));

    SetSearch(QStringLiteral("zz"), false, true);
    Press(); // nothing found: back to the top
    SetSearch(QStringLiteral("abc"), false, true);
    EXPECT_EQ(Press().first, 0);
    SetSearch(QStringLiteral("ca"), false, true);
    EXPECT_EQ(Press(), (std::pair<int64_t, std::string>{2, "ca"}));
}

// F3 runs the same search with whatever the dialog holds, shown or not; an empty traffic
// view makes neither mode do anything.
TEST_F(FindSaveTest, FindNextCommandWorksWithTheDialogHiddenAndAnEmptyViewDoesNothing) {
    TMainForm& form = Start();
    SetSearch(QStringLiteral("03"), false, false);
    form.N25->trigger();
    SetSearch(QStringLiteral("03"), true, false);
    form.N25->trigger();
    EXPECT_EQ(m_find->SearchPosition(), 0);
    EXPECT_TRUE(m_prompter.warnings.empty());
    EXPECT_EQ(m_find->windowTitle(), QStringLiteral("Find"));
    EXPECT_FALSE(form.FindForm->isVisible());

    Show({{"", "01 03 00"}});
    SetSearch(QStringLiteral("03"), false, false);
    ASSERT_FALSE(m_find->isVisible());
    form.N25->trigger();
    EXPECT_EQ(form.RichShow->SelectedText(), "03");
    EXPECT_EQ(m_find->SearchPosition(), 4);
}

TEST_F(FindSaveTest, DialogTakesTheSelectionAndEnablesFindNextOnlyWhenThereIsText) {
    TMainForm& form = Start();
    Show({{"", "01 03 02"}});
    form.F1->trigger();
    ASSERT_TRUE(m_find->isVisible());
    EXPECT_TRUE(m_find->FindText->text().isEmpty());
    EXPECT_FALSE(m_find->FindNext->isEnabled());
    QTest::keyClicks(m_find->FindText, QStringLiteral("0"));
    EXPECT_TRUE(m_find->FindNext->isEnabled());
    QTest::keyClick(m_find->FindText, Qt::Key_Backspace);
    EXPECT_TRUE(m_find->FindNext->isEnabled()); // even an edit that empties it
    m_find->close();

    form.RichShow->SetSelection(3, 2);
    form.F1->trigger();
    EXPECT_EQ(m_find->FindText->text(), QStringLiteral("03"));
    EXPECT_TRUE(m_find->FindNext->isEnabled());
    EXPECT_EQ(m_find->frameGeometry().topLeft(), form.frameGeometry().topLeft() + QPoint(50, 100));
    EXPECT_TRUE(m_find->windowFlags() & Qt::WindowStaysOnTopHint);
}

// --- find all ---

TEST_F(FindSaveTest, FindAllListsEachMatchingLineOnceWithItsHeaderInGrey) {
    TMainForm& form = Start();
    Show({{"[12:34:56   5 Rx] ", "aaaa 0A"},
          {"", "  bb 0A\x01"},
          {"[T x] ", "cc"},
          {"[12:34:57 --- Rx] ", "AA"}});
    SetSearch(QStringLiteral("aa"), true, false);
    ASSERT_FALSE(form.FindForm->isVisible());
    form.FindForm->RichFind->SetStyledText({{"old output\n", TextStyle{}}});
    QTest::mouseClick(m_find->FindNext, Qt::LeftButton);

    RichView& out = *form.FindForm->RichFind;
    ASSERT_EQ(out.LineCount(), 2);
    using Runs = std::vector<std::pair<std::string, uint32_t>>;
    EXPECT_EQ(LineRuns(out, 0), (Runs{{"[12:34:56   5 Rx] ", kGrey}, {"aaaa 0A", kReceived}}));
    EXPECT_EQ(LineRuns(out, 1), (Runs{{"[12:34:57 --- Rx] ", kGrey}, {"AA", kReceived}}));
    EXPECT_TRUE(form.FindForm->isVisible());
    EXPECT_TRUE(form.Settings().findWindowVisible);
    EXPECT_TRUE(form.TbFindWindow->isChecked());
    EXPECT_EQ(out.CaretPosition(), 0);
    EXPECT_TRUE(m_prompter.warnings.empty());
    EXPECT_EQ(m_find->windowTitle(), QStringLiteral("Find"));
    EXPECT_FALSE(m_find->Searching());

    // "aa" twice in "aaaa" (no overlap), then once in the last line: the position is the
    // last match, and find next goes on from there and wraps to the top.
    const int64_t last = form.RichShow->PositionFromLine(3) + 18;
    EXPECT_EQ(m_find->SearchPosition(), last + 1);
    EXPECT_EQ(form.RichShow->SelectionStart(), last);
    m_find->FindAll->setChecked(false);
    QTest::mouseClick(m_find->FindNext, Qt::LeftButton);
    EXPECT_EQ(m_find->SearchPosition(), 0);
    QTest::mouseClick(m_find->FindNext, Qt::LeftButton);
    EXPECT_EQ(m_find->SearchPosition(), 19);
}

TEST_F(FindSaveTest, FindAllWritesALineWithoutHeaderTrimmedInColour) {
    TMainForm& form = Start();
    Show({{"", " \t 01 03 0A  "}, {"", "[x] no"}});
    SetSearch(QStringLiteral("0a"), true, false);
    m_find->Search();
    using Runs = std::vector<std::pair<std::string, uint32_t>>;
    EXPECT_EQ(LineRuns(*form.FindForm->RichFind, 0), (Runs{{"01 03 0A", kReceived}}));
    EXPECT_EQ(form.FindForm->RichFind->LineCount(), 1);
}

TEST_F(FindSaveTest, FindAllWithoutMatchEmptiesTheOutputAndSaysSo) {
    TMainForm& form = Start();
    Show({{"", "01 03 02"}});
    form.FindForm->RichFind->SetStyledText({{"old output\n", TextStyle{}}});
    for (const QString& needle : {QStringLiteral("zz"), QString()}) {
        m_prompter.warnings.clear();
        SetSearch(needle, true, true);
        m_find->Search();
        EXPECT_EQ(form.FindForm->RichFind->TextLength(), 0);
        ASSERT_EQ(m_prompter.warnings.size(), 1u);
        EXPECT_EQ(m_prompter.warnings[0].text,
                  QStringLiteral("Search string \"") + needle + QStringLiteral("\" not found."));
        EXPECT_EQ(m_prompter.warnings[0].caption, QStringLiteral("Find"));
        EXPECT_EQ(m_find->windowTitle(), QStringLiteral("Find"));
        EXPECT_FALSE(form.FindForm->isVisible());
    }
}

// --- auto save dialog ---

TEST_F(FindSaveTest, AutoSaveDialogShowsTheSwitchesAndSettings) {
    TMainForm& form = Start();
    form.Settings().autoLineThreshold = 250;
    form.Settings().autoSavePath = Root();
    form.AutoSaveOn = true;
    form.N39->trigger();
    ASSERT_TRUE(m_save->isVisible());
    EXPECT_EQ(m_save->windowTitle(), QStringLiteral("Auto Save or Clear"));
    EXPECT_FALSE(m_save->CheckBox1->isChecked());
    EXPECT_TRUE(m_save->CheckBox2->isChecked());
    EXPECT_EQ(m_save->Edit1->text(), QStringLiteral("250"));
    EXPECT_EQ(m_save->Edit2->text(), QString::fromStdString(Root()));
    EXPECT_EQ(m_save->frameGeometry().topLeft(), form.frameGeometry().topLeft() + QPoint(50, 100));

    // The folder browser starts at the folder shown; cancelling keeps it.
    m_prompter.fileNames = {QStringLiteral("/media/log"), QString()};
    QTest::mouseClick(m_save->Button1, Qt::LeftButton);
    EXPECT_EQ(m_save->Edit2->text(), QStringLiteral("/media/log"));
    QTest::mouseClick(m_save->Button1, Qt::LeftButton);
    EXPECT_EQ(m_save->Edit2->text(), QStringLiteral("/media/log"));
    ASSERT_EQ(m_prompter.folderRequests.size(), 2u);
    EXPECT_EQ(m_prompter.folderRequests[0].text, QString::fromStdString(Root()));
    EXPECT_EQ(m_prompter.folderRequests[0].caption,
              QStringLiteral("Please select a path for saving."));
    EXPECT_EQ(m_prompter.folderRequests[1].text, QStringLiteral("/media/log"));

    // Cancel stores nothing.
    m_save->CheckBox1->setChecked(true);
    QTest::mouseClick(m_save->Button3, Qt::LeftButton);
    EXPECT_FALSE(m_save->isVisible());
    EXPECT_FALSE(form.AutoClearOn);
    EXPECT_EQ(form.Settings().autoSavePath, Root());
}

TEST_F(FindSaveTest, OkStoresAThresholdOfAtLeastOneAndAFolderOfAtMost255Bytes) {
    TMainForm& form = Start();
    const struct {
        const char* typed;
        int32_t stored;
    } cases[] = {{"100", 100}, {"0", 1}, {"-7", 1}, {" 1", 1}, {"$10", 16}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.typed);
        SetAutoSave(true, false, QString::fromLatin1(c.typed), QString(300, QLatin1Char('d')));
        EXPECT_FALSE(m_save->isVisible());
        EXPECT_EQ(form.Settings().autoLineThreshold, c.stored);
        EXPECT_EQ(form.Settings().autoSavePath, std::string(255, 'd'));
        EXPECT_TRUE(form.AutoClearOn);
        EXPECT_FALSE(form.AutoSaveOn);
    }
    EXPECT_TRUE(m_prompter.messages.empty());
}

TEST_F(FindSaveTest, OkStopsAtANonIntegerOrAMissingFolderAndKeepsTheDialogOpen) {
    TMainForm& form = Start();
    std::vector<std::string> errors;
    TKorvaneApplication::SetErrorReporter([&](const std::string& m) { errors.push_back(m); });
    form.Settings().autoLineThreshold = 50;
    form.Settings().autoSavePath = "/old";

    SetAutoSave(true, true, QStringLiteral("12x"), QStringLiteral("/new"));
    EXPECT_EQ(errors, std::vector<std::string>{"'12x' is not a valid integer value"});
    EXPECT_TRUE(m_save->isVisible());
    EXPECT_TRUE(form.AutoClearOn && form.AutoSaveOn); // the switches come first
    EXPECT_EQ(form.Settings().autoLineThreshold, 50);
    EXPECT_EQ(form.Settings().autoSavePath, "/old");
    EXPECT_TRUE(m_prompter.messages.empty());

    m_save->Edit1->setText(QStringLiteral("20"));
    m_save->Edit2->clear();
    QTest::mouseClick(m_save->Button2, Qt::LeftButton);
    ASSERT_EQ(m_prompter.messages.size(), 1u);
    EXPECT_EQ(m_prompter.messages[0].text, QStringLiteral("Select a path to save please."));
    EXPECT_EQ(m_prompter.messages[0].caption, QStringLiteral("AutoSave"));
    EXPECT_TRUE(m_save->isVisible());
    EXPECT_EQ(form.Settings().autoLineThreshold, 20);
    EXPECT_EQ(form.Settings().autoSavePath, "");
    EXPECT_EQ(errors.size(), 1u);
}

// --- the traffic view's automatic saving and clearing ---

TEST_F(FindSaveTest, AutoSaveAtTheThresholdWritesATimeStampedFileAndEmptiesTheView) {
    TMainForm& form = Start();
    const std::string folder = Root() + "/saved";
    std::filesystem::create_directories(folder);
    SetAutoSave(false, true, QStringLiteral("3"), QString::fromStdString(folder));
    ShowLines(2);
    EXPECT_TRUE(FilesIn(folder).empty());
    ShowLines(1);
    EXPECT_EQ(form.RichShow->TextLength(), 0);
    const std::vector<std::string> files = FilesIn(folder);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_TRUE(std::regex_match(files[0], std::regex("[0-9]{14}\\.rtf"))) << files[0];
    const StyledText saved = ReadRtf(ReadRaw(folder + "/" + files[0]));
    std::string text;
    for (const StyledRun& run : saved) {
        text += run.text;
    }
    EXPECT_EQ(text, "01 03 0\n01 03 1\n01 03 2\n");
}

TEST_F(FindSaveTest, AutoClearActsOneLineLaterAndAMissingFolderSavesNothing) {
    TMainForm& form = Start();
    const struct {
        bool save;
        std::string folder;
    } cases[] = {{false, Root()}, {true, Root() + "/missing"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.folder);
        form.RichShow->Clear();
        SetAutoSave(true, c.save, QStringLiteral("3"), QString::fromStdString(c.folder));
        ShowLines(3);
        EXPECT_EQ(form.RichShow->LineCount(), 3);
        ShowLines(1);
        EXPECT_EQ(form.RichShow->TextLength(), 0);
    }
    EXPECT_FALSE(std::filesystem::exists(Root() + "/missing"));
    for (const std::string& name : FilesIn(Root())) {
        EXPECT_EQ(name.find(".rtf"), std::string::npos) << name;
    }
}

} // namespace
