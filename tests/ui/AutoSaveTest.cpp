// Automatic saving of the traffic view under a live stream: numbered frames arrive over a
// pseudo-terminal while the view is saved every few lines, several times a second, and the
// saved files, read back in order, must hold every frame exactly once on whole lines.
// Offscreen platform, a private data folder, real time.

#include "richtext/RichText.h"
#include "settings/SettingsFile.h"
#include "settings/SettingsTestSupport.h"
#include "ui/MainWindowTest.h"
#include "ui/QtTestApp.h"
#include "ui/ScriptedPrompter.h"
#include "ui/main/ComComboBox.h"
#include "ui/main/MainForm.h"
#include "ui/main/RichView.h"
#include "ui/tools/TimeSaveUnit.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <memory>
#include <pty.h>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

class AutoSaveStreamTest : public MainWindowTest {
protected:
    // A pseudo-terminal registered as port `name`; returns the device's side.

    // Saved files in the order they were written: by time stamp, then by number.
    static std::vector<std::string> SavedInOrder(const std::string& folder) {
        std::vector<std::tuple<std::string, int, std::string>> keyed;
        const std::regex name("([0-9]{14})(?:_([0-9]+))?\\.rtf");
        for (const auto& entry : fs::directory_iterator(folder)) {
            const std::string file = entry.path().filename().string();
            std::smatch m;
            EXPECT_TRUE(std::regex_match(file, m, name)) << file;
            keyed.emplace_back(m[1].str(), m[2].matched ? std::stoi(m[2].str()) : 0,
                               entry.path().string());
        }
        std::sort(keyed.begin(), keyed.end());
        std::vector<std::string> paths;
        for (const auto& k : keyed) {
            paths.push_back(std::get<2>(k));
        }
        return paths;
    }

    static std::string PlainText(const StyledText& text) {
        std::string plain;
        for (const StyledRun& run : text) {
            plain += run.text;
        }
        return plain;
    }
};

TEST_F(AutoSaveStreamTest, SavedFilesHoldEveryFrameOnceOnWholeLinesWithTheirPrefix) {
    const int device = RegisterPty("STREAM");
    TMainForm& form = Start();
    const int index = form.CBoxPort->findText(QStringLiteral("STREAM"));
    ASSERT_GE(index, 0);
    form.CBoxPort->setCurrentIndex(index);
    form.TbPort->trigger();
    ASSERT_TRUE(form.Connection()->Device->Connected());
    form.Settings().showTime = true;
    form.Settings().asciiReceive = true;
    form.RefreshSettings();

    const std::string folder = Root() + "/saved";
    fs::create_directories(folder);
    form.ShowAutoSave();
    auto* dialog = form.findChild<TTimeSaveForm*>();
    ASSERT_NE(dialog, nullptr);
    dialog->CheckBox2->setChecked(true);
    dialog->Edit1->setText(QStringLiteral("2"));
    dialog->Edit2->setText(QString::fromStdString(folder));
    QTest::mouseClick(dialog->Button2, Qt::LeftButton);
    ASSERT_TRUE(form.AutoSaveOn);

    // A frame every 40 ms for three seconds: bursts of one to three frames, a line each,
    // several saves a second.
    constexpr int kFrames = 75;
    std::atomic<bool> writing{true};
    std::thread writer([&] {
        for (int i = 0; i < kFrames; ++i) {
            char frame[16];
            std::snprintf(frame, sizeof frame, "<%04d>", i);
            (void)::write(device, frame, 6);
            std::this_thread::sleep_for(std::chrono::milliseconds(40));
        }
        writing = false;
    });
    const auto lastFrameShown = [&] {
        if (writing) {
            return false;
        }
        for (const std::string& path : SavedInOrder(folder)) {
            if (ReadFileBytes(path).find("<0074>") != std::string::npos) {
                return true;
            }
        }
        return form.RichShow->Text().find("<0074>") != std::string::npos;
    };
    const bool done = QTest::qWaitFor(lastFrameShown, 20000);
    writer.join();
    ASSERT_TRUE(done);

    const std::vector<std::string> files = SavedInOrder(folder);
    std::vector<std::string> texts;
    for (const std::string& path : files) {
        texts.push_back(PlainText(ReadRtf(ReadFileBytes(path))));
        EXPECT_FALSE(texts.back().empty()) << path;
        EXPECT_EQ(texts.back().back(), '\n') << path << " ends inside a line";
    }
    texts.push_back(PlainText(form.RichShow->ToStyledText()));

    const std::regex line("\\[[0-9]{2}.[0-9]{2}.[0-9]{2}( [ 0-9]{2}[0-9]| ---)\\] ((<[0-9]{4}>)+)");
    const std::regex frame("<([0-9]{4})>");
    std::vector<int> frames;
    for (const std::string& text : texts) {
        std::istringstream lines(text);
        std::string l;
        while (std::getline(lines, l)) {
            std::smatch m;
            ASSERT_TRUE(std::regex_match(l, m, line)) << "a line without its prefix: " << l;
            const std::string payload = m[2].str();
            for (auto it = std::sregex_iterator(payload.begin(), payload.end(), frame);
                 it != std::sregex_iterator(); ++it) {
                frames.push_back(std::stoi((*it)[1].str()));
            }
        }
    }
    std::vector<int> expected(kFrames);
    for (int i = 0; i < kFrames; ++i) {
        expected[static_cast<size_t>(i)] = i;
    }
    EXPECT_EQ(frames, expected);

    // The stream was fast enough for saves to share a second: the numbered names were used.
    const bool numbered = std::any_of(files.begin(), files.end(), [](const std::string& path) {
        return path.find("_00001.rtf") != std::string::npos;
    });
    EXPECT_TRUE(numbered) << files.size() << " files";
    EXPECT_TRUE(m_prompter.warnings.empty());
}

} // namespace
