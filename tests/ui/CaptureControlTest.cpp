#include "ui/main/CaptureControl.h"
#include "platform/FileIO.h"
#include "traffic/TrafficCapture.h"
#include "ui/QtTestApp.h"
#include "ui/ScriptedPrompter.h"
#include "ui/main/RichView.h"
#include "ui/main/TrafficTrim.h"

#include <QAction>
#include <QMenu>
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
