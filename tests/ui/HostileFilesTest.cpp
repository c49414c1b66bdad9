// The main window against files that are not what they should be: companion files that
// are named pipes or links, a full disk under the data folder, files to open that are
// devices, pipes or too large, long loads with progress and Cancel, and leftovers of
// interrupted saves. Offscreen platform, a private data folder per test.

#include "platform/FileIO.h"
#include "richtext/RichText.h"
#include "settings/SettingsFile.h"
#include "settings/SettingsTestSupport.h"
#include "ui/MainWindowTest.h"
#include "ui/QtTestApp.h"
#include "ui/ScriptedPrompter.h"
#include "ui/main/Application.h"
#include "ui/main/FileLoad.h"
#include "ui/main/MainForm.h"
#include "ui/main/RichView.h"
#include "ui/main/StatusBarMY.h"
#include "ui/send/SendForm.h"

#include <QAction>
#include <QApplication>
#include <QProgressDialog>
#include <QTimer>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

class HostileFilesTest : public MainWindowTest {
protected:
    void SetUp() override {
        MainWindowTest::SetUp();
        TKorvaneApplication::SetErrorReporter(
            [this](const std::string& m) { m_errors.push_back(m); });
    }
    void TearDown() override {
        m_form.reset();
        TKorvaneApplication::SetErrorReporter(nullptr);
        MainWindowTest::TearDown();
    }

    void Stop() {
        Close();
        DataFolder().clear();
    }
    void OpenIntoTrafficView(const std::string& path) {
        m_prompter.fileNames = {QString::fromStdString(path)};
        m_form->N6->trigger();
    }

    std::vector<std::string> m_errors;
};

// A named pipe in place of a companion file would block its open forever (no window
// would ever appear); a link would have its target overwritten. Neither happens: the
// window comes up, and the close replaces the pipe or the link with the file.
TEST_F(HostileFilesTest, CompanionFilesThatArePipesOrLinksNeitherBlockNorLeak) {
    for (const char* name : {"data", "send", "config.ini"}) {
        for (const bool pipe : {true, false}) {
            SCOPED_TRACE(std::string(name) + (pipe ? " as a named pipe" : " as a link"));
            fs::remove_all(Folder());
            fs::create_directories(Folder());
            const std::string path = Folder() + "/" + name;
            const std::string target = Root() + "/target";
            WriteRaw(target, "precious");
            if (pipe) {
                ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
            } else {
                ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0);
            }
            TMainForm& form = Start();
            EXPECT_TRUE(form.isVisible());
            form.SendForm->RichSend->InsertText("11 22", TextAttributes{});
            Stop();
            EXPECT_EQ(ReadRaw(target), "precious");
            EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(path)));
        }
    }
}

// A full disk under the data folder: every companion file keeps what the last good close
// wrote. A 64 KiB tmpfs where mounting is allowed (root), and everywhere a file-size limit
// that fails the writes the same way.
TEST_F(HostileFilesTest, AFullDiskKeepsEveryCompanionFile) {
    rlimit oldLimit{};
    getrlimit(RLIMIT_FSIZE, &oldLimit);
    struct Disk {
        std::string name;
        std::function<bool()> fill; // false: not available here
        std::function<void()> undo;
    };
    const std::vector<Disk> disks = {
        {"tmpfs",
         [&] {
             std::ofstream filler(Folder() + "/filler", std::ios::binary);
             const std::string block(4096, 'f');
             while (filler.write(block.data(), block.size())) {
             }
             return true;
         },
         [] {}},
        {"file size limit",
         [&] {
             signal(SIGXFSZ, SIG_IGN);
             rlimit small = oldLimit;
             small.rlim_cur = 64;
             return setrlimit(RLIMIT_FSIZE, &small) == 0;
         },
         [&] { setrlimit(RLIMIT_FSIZE, &oldLimit); }},
    };
    for (const Disk& disk : disks) {
        SCOPED_TRACE(disk.name);
        fs::remove_all(Root() + "/xdg");
        fs::create_directories(Folder());
        const bool mounted = disk.name == "tmpfs";
        if (mounted && mount("tmpfs", Folder().c_str(), "tmpfs", 0, "size=64k") != 0) {
            std::printf("[ SKIPPED  ] %s: not available here\n", disk.name.c_str());
            continue;
        }
        Start().SendForm->RichSend->InsertText("11 22", TextAttributes{});
        Stop();
        std::map<std::string, std::string> before;
        for (const char* name : {"data", "send", "config.ini"}) {
            before[name] = ReadRaw(Folder() + "/" + name);
            ASSERT_FALSE(before[name].empty()) << name;
        }

        TMainForm& form = Start();
        form.SendForm->RichSend->InsertText(std::string(20000, 'A'), TextAttributes{});
        form.ShowRxTx2->trigger();
        form.resize(form.width() + 50, form.height() + 40);
        ASSERT_TRUE(disk.fill());
        m_prompter.warnings.clear();
        Stop();
        disk.undo();
        // The failures are told; nothing is written half.
        EXPECT_FALSE(m_prompter.warnings.empty());
        for (const auto& [name, contents] : before) {
            EXPECT_EQ(ReadRaw(Folder() + "/" + name), contents) << name;
        }
        for (const auto& entry : fs::directory_iterator(Folder())) {
            EXPECT_FALSE(TemporaryFileOwner(entry.path().filename().string()).has_value())
                << entry.path();
        }
        if (mounted) {
            umount2(Folder().c_str(), MNT_DETACH);
        }
    }
}

// Devices, pipes and files beyond what the view holds are refused with their reason, told
// through the general error report without unwinding through the menu's code; the view
// keeps its text.
TEST_F(HostileFilesTest, OpeningSomethingThatIsNotAFittingFileIsRefused) {
    // The smallest memory budget makes the limit 8 MiB.
    fs::create_directories(Folder());
    WriteRaw(Folder() + "/config.ini", "[Options]\nViewMemoryBudgetMB=16\n");
    TMainForm& form = Start();
    form.RichShow->InsertText("kept", TextAttributes{});
    const std::string fifo = Root() + "/pipe";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string big = Root() + "/big.txt";
    WriteRaw(big, std::string(9 << 20, 'x'));
    const std::string folder = Root() + "/a-folder";
    fs::create_directories(folder);
    struct Case {
        std::string path;
        std::string reason;
    };
    const Case cases[] = {
        {fifo, "named pipe"},
        {"/dev/zero", "character device"},
        {big, "more than the 8.0 MB"},
        {folder, "Is a directory"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        m_errors.clear();
        OpenIntoTrafficView(c.path);
        ASSERT_EQ(m_errors.size(), 1u);
        EXPECT_NE(m_errors[0].find(c.reason), std::string::npos) << m_errors[0];
        EXPECT_NE(m_errors[0].find(c.path), std::string::npos) << m_errors[0];
        EXPECT_EQ(form.RichShow->LineText(0), "kept");
    }
    EXPECT_TRUE(m_prompter.warnings.empty());
}

// A file of tens of MB is read and parsed off the user-interface thread, under a progress
// dialog whose Cancel leaves the view as it was.
TEST_F(HostileFilesTest, ALongLoadShowsProgressAndCanBeCancelled) {
    TMainForm& form = Start();
    form.RichShow->InsertText("kept", TextAttributes{});
    const std::string path = Root() + "/long.rtf";
    WriteRaw(path, "{\\rtf1 " + std::string(40 << 20, 'x') + "}");
    bool sawDialog = false;
    QTimer::singleShot(0, [&] {
        if (auto* dialog = form.findChild<QProgressDialog*>(QStringLiteral("LoadProgress"))) {
            sawDialog = true;
            dialog->cancel();
        }
    });
    OpenIntoTrafficView(path);
    EXPECT_TRUE(sawDialog);
    EXPECT_TRUE(m_errors.empty());
    EXPECT_TRUE(form.RichShow->LineText(0) == "kept"); // (no 40 MB in a failure message)

    // Left alone, the same kind of load arrives whole.
    std::string lines;
    for (int i = 0; i < 1200; ++i) {
        lines += std::string(4999, 'a' + i % 26) + "\n";
    }
    WriteRaw(path, lines);
    OpenIntoTrafficView(path);
    EXPECT_TRUE(m_errors.empty());
    EXPECT_TRUE(form.RichShow->LineText(1199) == std::string(4999, 'a' + 1199 % 26));
}

std::string NumberedLines(int from, int count) {
    std::string text;
    for (int i = from; i < from + count; ++i) {
        text += "line " + std::to_string(i) + "\n";
    }
    return text;
}

// A file with more lines than the traffic view keeps is never cut short without a word:
// the user is asked first and may decline (the view keeps its text), and when the user
// goes on the status bar tells how many lines show. A file within the cap shows whole.
TEST_F(HostileFilesTest, AFileLargerThanTheLineCapShowsItsLastLinesOnlyWhenTheUserAgrees) {
    TMainForm& form = Start();
    const int cap = TTrafficLimits{}.lineCap;
    struct Case {
        int lines;
        std::optional<bool> answer; // nullopt: no question asked
        int firstShown;             // -1: the view keeps its text
        QString status;
    };
    const Case cases[] = {
        {cap, std::nullopt, 0, ""},
        {cap + 10000, false, -1, ""},
        {cap + 10000, true, 10000,
         QStringLiteral("%1 lines of %2 shown").arg(cap).arg(cap + 10000)},
        // Large enough to be read, fitted and cut on the reading thread.
        {400000, true, 400000 - cap, QStringLiteral("%1 lines of %2 shown").arg(cap).arg(400000)},
    };
    const std::string path = Root() + "/numbered.txt";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.lines);
        form.RichShow->Clear();
        form.RichShow->InsertText("kept", TextAttributes{});
        form.StatusBarMY1->SetPanelText(0, QString());
        m_prompter.questions.clear();
        m_prompter.answers.clear();
        if (c.answer) {
            m_prompter.answers.push_back(*c.answer);
        }
        WriteRaw(path, NumberedLines(0, c.lines));
        OpenIntoTrafficView(path);
        EXPECT_TRUE(m_errors.empty());
        ASSERT_EQ(m_prompter.questions.size(), c.answer ? 1u : 0u);
        if (c.answer) {
            const QString& question = m_prompter.questions[0].text;
            EXPECT_TRUE(question.contains(QString::number(c.lines))) << question.toStdString();
            EXPECT_TRUE(question.contains(QStringLiteral("Only the last %1 lines").arg(cap)))
                << question.toStdString();
        }
        if (c.firstShown < 0) {
            EXPECT_EQ(form.RichShow->LineCount(), 1);
            EXPECT_EQ(form.RichShow->LineText(0), "kept");
        } else {
            EXPECT_EQ(form.RichShow->LineCount(), c.lines - c.firstShown);
            EXPECT_EQ(form.RichShow->LineText(0), "line " + std::to_string(c.firstShown));
            EXPECT_EQ(form.RichShow->LineText(c.lines - c.firstShown - 1),
                      "line " + std::to_string(c.lines - 1));
        }
        EXPECT_EQ(form.StatusBarMY1->PanelText(0), c.status);
    }
}

// Text goes into a view in slices with the window's events between them: a table of file
// shapes, each sliced by the bound it meets first, arrives whole, with the view seen part
// filled from the event loop meanwhile, and costs the store no more than its characters
// and 32 bytes a line besides a run (8 bytes) per change of style.
TEST(FillViewTest, FileShapesGoInSlicesWithTheWindowAnsweringBetween) {
    const TextStyle plain;
    TextStyle blue;
    blue.color = 0xC80000;
    struct Shape {
        const char* name;
        StyledText text;
        int lines; // as the view counts them
        int64_t slicesAtLeast;
        int64_t runsBesides; // changes of style
    };
    std::string tiny;
    for (int i = 0; i < 50000; ++i) {
        tiny += "ab\n";
    }
    StyledText groups;
    for (int i = 0; i < 30000; ++i) {
        groups.push_back({"x", i % 2 == 0 ? plain : blue});
        if (i % 10 == 9) {
            groups.push_back({"\n", blue});
        }
    }
    const TFillSlice slice;
    const Shape shapes[] = {
        {"many tiny lines", {{tiny, plain}}, 50000, 50000 / slice.lines, 0},
        {"one huge line", {{std::string(3 << 20, 'h'), plain}}, 1, (3 << 20) / slice.characters, 0},
        {"many groups", groups, 3000, 30000 / slice.runs, 30000},
    };
    for (const Shape& shape : shapes) {
        SCOPED_TRACE(shape.name);
        RichView view;
        view.resize(400, 300);
        std::vector<int> seen;
        QTimer probe;
        QObject::connect(&probe, &QTimer::timeout, [&] { seen.push_back(view.StoredLineCount()); });
        probe.start(0);
        const TFillOutcome outcome = FillViewInSlices(nullptr, view, shape.text, "Opening");
        probe.stop();
        EXPECT_FALSE(outcome.cancelled);
        EXPECT_EQ(outcome.lines, shape.lines);
        EXPECT_GE(outcome.slices, shape.slicesAtLeast);
        // The same text, its runs joined where the style goes on.
        StyledText joined;
        for (const StyledRun& run : shape.text) {
            if (!joined.empty() && joined.back().style == run.style) {
                joined.back().text += run.text;
            } else {
                joined.push_back(run);
            }
        }
        EXPECT_TRUE(view.ToStyledText() == joined);
        EXPECT_EQ(view.LineCount(), shape.lines);
        // The event loop ran while the view was part filled.
        const int stored = view.StoredLineCount();
        EXPECT_TRUE(std::any_of(seen.begin(), seen.end(), [&](int n) { return n < stored; }) ||
                    shape.lines == 1);
        EXPECT_GT(seen.size(), 1u);
        int64_t characters = 0;
        for (const StyledRun& run : shape.text) {
            characters += static_cast<int64_t>(
                std::count_if(run.text.begin(), run.text.end(), [](char c) { return c != '\n'; }));
        }
        const TLineStore& store = view.Store();
        EXPECT_LE(store.MemoryBytes() - characters,
                  int64_t{32} * store.Count() + 8 * (shape.runsBesides + 1));
        // A line built slice by slice leaves no copies of itself behind.
        EXPECT_LE(store.HeldBytes() - characters,
                  int64_t{32} * store.Count() + 8 * (shape.runsBesides + 1));
    }
}

// Cancel stops the filling between slices and leaves whole lines of the file; text the
// view received meanwhile (traffic appends at the end) stays, after the file's lines.
TEST(FillViewTest, CancelLeavesWholeLinesAndTrafficAfterThem) {
    RichView view;
    view.resize(400, 300);
    // Lines longer than a slice: slices end inside lines and at line ends in turn.
    const auto lineText = [](int i) {
        return "line " + std::to_string(i) + std::string(1500, 'x');
    };
    std::string text;
    for (int i = 0; i < 400; ++i) {
        text += lineText(i) + "\n";
    }
    TFillSlice slice;
    slice.characters = 1000;
    int beats = 0;
    QTimer probe;
    QObject::connect(&probe, &QTimer::timeout, [&] {
        ++beats;
        if (beats == 3) {
            view.MoveCaretToEnd();
            view.InsertText("traffic\r\n", TextAttributes{});
        }
        if (beats == 5) {
            for (QWidget* w : QApplication::topLevelWidgets()) {
                if (auto* dialog = qobject_cast<QProgressDialog*>(w);
                    dialog != nullptr && dialog->objectName() == "FillProgress") {
                    dialog->cancel();
                }
            }
        }
    });
    probe.start(0);
    const TFillOutcome outcome =
        FillViewInSlices(nullptr, view, {{text, TextStyle{}}}, "Opening", slice);
    probe.stop();
    ASSERT_TRUE(outcome.cancelled);
    ASSERT_LT(outcome.lines, 400);
    // The file's lines, whole, then the traffic line.
    ASSERT_EQ(view.LineCount(), outcome.lines + 1);
    for (int i = 0; i < outcome.lines; ++i) {
        ASSERT_EQ(view.LineText(i), lineText(i));
    }
    EXPECT_EQ(view.LineText(static_cast<int>(outcome.lines)), "traffic");
}

// What of a text the view can hold, by each of its limits: lines, memory, characters.
TEST(FileFitTest, TheNewestLinesThatFitEveryLimitAreShown) {
    const auto limits = [](int cap, int64_t budget) {
        TTrafficLimits l;
        l.lineCap = cap;
        l.memoryBudget = budget;
        l.burstReserve = 0;
        return l;
    };
    const TextStyle plain;
    const int64_t line10 = TLineStore::LineBytesFor(10, 1);
    struct Case {
        const char* name;
        StyledText text;
        TTrafficLimits limits;
        int64_t capacity;
        int64_t lines;
        int64_t firstShown;
    };
    const std::string tenLines = [] {
        std::string t;
        for (int i = 0; i < 10; ++i) {
            t += "abcdefghi" + std::to_string(i) + "\n";
        }
        return t;
    }();
    const Case cases[] = {
        {"fits", {{tenLines, plain}}, limits(10, 1 << 20), 1 << 20, 10, 0},
        {"line cap", {{tenLines, plain}}, limits(4, 1 << 20), 1 << 20, 10, 6},
        {"memory",
         {{tenLines, plain}},
         limits(100, TLineStore::LineBytesFor(0, 0) + line10 * 3),
         1 << 20,
         10,
         7},
        {"capacity", {{tenLines, plain}}, limits(100, 1 << 20), 32, 10, 8},
        {"no final break", {{"a\nb\nc", plain}}, limits(2, 1 << 20), 1 << 20, 3, 1},
        {"one huge line", {{std::string(1000, 'x'), plain}}, limits(1, 100), 10, 1, 0},
        {"breaks across runs",
         {{"a\nb", plain}, {"c\n", plain}, {"d\ne", plain}},
         limits(2, 1 << 20),
         1 << 20,
         4,
         2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const TFileFit fit = FitFileToView(c.text, c.limits, c.capacity);
        EXPECT_EQ(fit.lines, c.lines);
        EXPECT_EQ(fit.firstShown, c.firstShown);
    }
    const StyledText tail = StyledFromLine({{"a\nb", plain}, {"c\n", plain}, {"d\ne", plain}}, 2);
    ASSERT_EQ(tail.size(), 1u);
    EXPECT_EQ(tail[0].text, "d\ne");
    const StyledText middle = StyledFromLine({{"a\nb", plain}, {"c\nd", plain}}, 1);
    ASSERT_EQ(middle.size(), 2u);
    EXPECT_EQ(middle[0].text, "b");
    EXPECT_EQ(middle[1].text, "c\nd");
}

// The cut made where a file is read: in place, it leaves exactly the text the copying cut
// gives, for a cut inside a run, at a run's end, across runs, in one huge run, at the start
// and past the end; and FitAndCut cuts to the fit it reports.
TEST(FileFitTest, TheCutInPlaceLeavesWhatTheCopyingCutGives) {
    const TextStyle plain;
    TextStyle blue;
    blue.color = 0xC80000;
    std::string huge;
    for (int i = 0; i < 300000; ++i) {
        huge += "row " + std::to_string(i) + "\n";
    }
    // Lines "a", "bc", "d", "ef".
    const StyledText runs{{"a\nb", plain}, {"c\n", blue}, {"d\ne", plain}, {"f", blue}};
    struct Case {
        const char* name;
        StyledText text;
        int64_t firstLine;
        std::string firstText; // of the first run left; "" when none is
        size_t runsLeft;
    };
    const Case cases[] = {
        {"start", runs, 0, "a\nb", 4},
        {"inside a run", runs, 1, "b", 4},
        {"at a run's end", runs, 2, "d\ne", 2},
        {"last line", runs, 3, "e", 2},
        {"past the end", runs, 9, "", 0},
        {"one huge run", {{huge, plain}}, 299990, "row 299990\n", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const StyledText copied = StyledFromLine(c.text, c.firstLine);
        StyledText cut = c.text;
        CutBeforeLine(cut, c.firstLine);
        EXPECT_EQ(cut, copied);
        ASSERT_EQ(cut.size(), c.runsLeft);
        if (!cut.empty()) {
            EXPECT_EQ(cut[0].text.substr(0, c.firstText.size()), c.firstText);
        }
    }
    // Fitted and cut: the text left is the lines the fit shows.
    TTrafficLimits limits;
    limits.lineCap = 1000;
    limits.burstReserve = 0;
    StyledText file{{huge, plain}};
    const TFileFit fit = FitAndCut(file, limits, int64_t{1} << 30);
    EXPECT_EQ(fit.lines, 300000);
    EXPECT_EQ(fit.firstShown, 299000);
    ASSERT_EQ(file.size(), 1u);
    EXPECT_EQ(std::count(file[0].text.begin(), file[0].text.end(), '\n'), 1000);
    EXPECT_EQ(file[0].text.substr(0, 11), "row 299000\n");
    FreeStyledText(file);
    EXPECT_TRUE(file.empty());
}

// Temporary files of saves that a crash interrupted go at the next start; those of a copy
// of the program that still runs stay.
TEST_F(HostileFilesTest, StaleTemporaryFilesGoAtStartUp) {
    fs::create_directories(Folder());
    const pid_t child = fork();
    if (child == 0) {
        _exit(0);
    }
    ASSERT_EQ(waitpid(child, nullptr, 0), child);
    const std::string stale =
        TemporaryFileName(Folder() + "/data", static_cast<uint64_t>(child), 0);
    const std::string running =
        TemporaryFileName(Folder() + "/send", static_cast<uint64_t>(getppid()), 0);
    WriteRaw(stale, "half a save");
    WriteRaw(running, "being written");
    Start();
    EXPECT_FALSE(fs::exists(stale));
    EXPECT_TRUE(fs::exists(running));
}

} // namespace
