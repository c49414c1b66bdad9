#include "ui/main/CaptureControl.h"
#include "platform/FileIO.h"
#include "traffic/TrafficCapture.h"
#include "ui/QtTestApp.h"
#include "ui/ScriptedPrompter.h"
#include "ui/main/RichView.h"
#include "ui/main/TrafficTrim.h"

#include <QAction>
#include <QMenu>
#include <QTest>
#include <QWidget>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

const TextAttributes kGrey{"Courier New", 0, 0x808080};
const TextAttributes kBlue{"Courier New", 0, 0xC80000};

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', start)) {
        lines.push_back(text.substr(start, at - start));
        start = at + 1;
    }
    return lines;
}

} // namespace

// The menu item asks for a file and captures every line the view is given, exactly as
// shown, while the view itself drops its oldest lines; the files rotate by size; choosing
// the item again ends the capture and the status text with it.
TEST(CaptureControlTest, EveryShownLineReachesTheRotatedFilesInOrder) {
    const auto dir = std::filesystem::temp_directory_path() /
                     ("korvane-capture-ui-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::string path = (dir / "cap.txt").string();

    QWidget owner;
    RichView view(&owner);
    ScriptedPrompter prompter;
    TCaptureControl control(view, prompter, &owner, [] {
        TCaptureControl::Settings settings;
        settings.rotateBytes = 64 * 1024;
        settings.colors = {0x808080, 0xC80000, 0x0000C8};
        return settings;
    });
    QMenu file;
    QAction* exit = file.addAction(QStringLiteral("Exit"));
    QAction* item = control.AddAction(&file, exit);
    EXPECT_EQ(item->text(), "Capture to File...");
    EXPECT_EQ(file.actions().indexOf(item), 0);

    prompter.fileNames = {QString::fromStdString(path)};
    item->trigger();
    ASSERT_TRUE(control.Active());
    EXPECT_TRUE(item->isChecked());
    EXPECT_TRUE(control.StatusText().startsWith("Capture ")) << control.StatusText().toStdString();

    TTrafficLimits limits;
    limits.lineCap = 50;
    limits.linesCut = 10;
    std::vector<std::string> shown;
    for (int i = 0; i < 3000; ++i) {
        const std::string prefix = "[R " + std::to_string(i) + "] ";
        const std::string payload = std::string(static_cast<size_t>(i % 70), 'A') + "0D 0A";
        view.MoveCaretToEnd();
        view.InsertText(prefix, kGrey);
        view.InsertText(payload + "\r\n", kBlue);
        shown.push_back(view.LineText(view.LineCount() - 1));
        TrimTrafficView(view, limits);
    }
    EXPECT_LT(view.LineCount(), 60);

    item->trigger();
    EXPECT_FALSE(control.Active());
    EXPECT_FALSE(item->isChecked());
    EXPECT_TRUE(control.StatusText().isEmpty());
    EXPECT_TRUE(prompter.warnings.empty());

    std::vector<std::string> captured;
    int files = 0;
    for (unsigned n = 0;; ++n) {
        const std::string name = TTrafficCapture::RotatedName(path, n);
        if (!std::filesystem::exists(name)) {
            break;
        }
        ++files;
        EXPECT_LE(std::filesystem::file_size(name), 64u * 1024u) << name;
        for (std::string& line : Lines(ReadFileBytes(name))) {
            captured.push_back(std::move(line));
        }
    }
    EXPECT_GE(files, 3);
    EXPECT_EQ(captured, shown);
    std::filesystem::remove_all(dir);
}

// A capture to a name in use asks as Save does, naming the older numbered parts it would
// delete: No leaves every file as it was, Yes starts anew with none of the older parts left
// to read as its continuation. The status bar counts the whole capture, not only the
// rotated file being written.
TEST(CaptureControlTest, ReplacingAskedFirstOlderPartsGoAndTheSizeIsTheWholeCaptures) {
    const auto dir = std::filesystem::temp_directory_path() /
                     ("korvane-capture-ask-" + std::to_string(::getpid()));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    const std::string path = (dir / "cap.txt").string();
    QWidget owner;
    RichView view(&owner);
    ScriptedPrompter prompter;
    TCaptureControl control(view, prompter, &owner, [] {
        TCaptureControl::Settings settings;
        settings.rotateBytes = 16 * 1024;
        settings.colors = {0x808080, 0xC80000, 0x0000C8};
        return settings;
    });
    QMenu file;
    QAction* item = control.AddAction(&file, nullptr);

    const struct {
        std::vector<std::string> existing;
        const char* question; // nullptr: none asked
    } cases[] = {
        {{}, nullptr},
        {{"cap.txt"}, "The file already exists.Do you want to replace it."},
        {{"cap.txt", "cap.1.txt", "cap.2.txt", "cap.4.txt"},
         "The file already exists.Do you want to replace it.\n3 files of it, cap.1.txt to "
         "cap.4.txt, are deleted with it."},
        {{"cap.1.txt"},
         "Parts of an earlier capture of that name exist. Do you want to replace them?\n"
         "cap.1.txt is deleted with it."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.existing.size());
        for (const auto& entry : std::filesystem::directory_iterator(dir)) {
            std::filesystem::remove(entry.path());
        }
        for (const std::string& name : c.existing) {
            WriteFileAtomically((dir / name).string(), "old\n");
        }
        for (const bool yes : {false, true}) {
            prompter.questions.clear();
            prompter.answers = {yes};
            prompter.fileNames = {QString::fromStdString(path)};
            item->trigger();
            if (c.question == nullptr) {
                EXPECT_TRUE(prompter.questions.empty());
                EXPECT_TRUE(control.Active());
                break;
            }
            ASSERT_EQ(prompter.questions.size(), 1u);
            EXPECT_EQ(prompter.questions[0].text.toStdString(), c.question);
            EXPECT_EQ(prompter.questions[0].caption, "Capture to File");
            EXPECT_EQ(control.Active(), yes);
            EXPECT_EQ(item->isChecked(), yes);
            for (const std::string& name : c.existing) {
                const bool left = std::filesystem::exists(dir / name);
                if (!yes) {
                    EXPECT_EQ(ReadFileBytes((dir / name).string()), "old\n") << name;
                } else {
                    EXPECT_EQ(left, name == "cap.txt") << name;
                }
            }
        }
        ASSERT_TRUE(control.Active());
        if (c.existing.empty()) {
            item->trigger(); // ends it
            continue;
        }
        // Several rotated files' worth: the size shown is all of them together.
        uint64_t total = 0;
        for (int i = 0; i < 2000; ++i) {
            const std::string line = "[R " + std::to_string(i) + "] " + std::string(30, 'A');
            view.MoveCaretToEnd();
            view.InsertText(line + "\r\n", kBlue);
            total += line.size() + 1;
        }
        const auto onDisk = [&] {
            uint64_t bytes = 0;
            for (const auto& entry : std::filesystem::directory_iterator(dir)) {
                bytes += std::filesystem::file_size(entry.path());
            }
            return bytes;
        };
        ASSERT_TRUE(QTest::qWaitFor([&] { return onDisk() == total; }, 10000)) << onDisk();
        EXPECT_EQ(control.StatusText(), QStringLiteral("Capture %1 KB").arg((total + 1023) / 1024));
        EXPECT_GT(TTrafficCapture::OlderParts(path).size(), 2u);
        item->trigger();
        EXPECT_FALSE(control.Active());
    }
    std::filesystem::remove_all(dir);
}
