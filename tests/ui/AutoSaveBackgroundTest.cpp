// Auto save of a large traffic view runs on a worker: the view goes on receiving, the file
// holds the lines the view had when the save began, and only those leave the view.
#include "platform/FileIO.h"
#include "richtext/RichText.h"
#include "settings/SettingsFile.h"
#include "settings/SettingsTestSupport.h"
#include "traffic/DataRT.h"
#include "ui/MainWindowTest.h"
#include "ui/QtTestApp.h"
#include "ui/ScriptedPrompter.h"
#include "ui/main/MainForm.h"
#include "ui/main/RichView.h"

#include <QTest>

#include <filesystem>
#include <memory>
#include <string>

namespace fs = std::filesystem;

namespace {

class AutoSaveBackgroundTest : public MainWindowTest {
protected:
};

TEST_F(AutoSaveBackgroundTest, ALargeViewIsSavedWhileTrafficGoesOn) {
    m_settings = std::make_unique<SettingsRecord>();
    m_form = std::make_unique<TMainForm>(m_prompter, *m_settings);
    TMainForm& form = *m_form;
    form.CreateWindows();
    form.SetTextCapacity(2147482623);
    form.show();
    RichView& view = *form.RichShow;

    const std::string hex(30000, 'A'); // 30 KB a line: 60 lines pass the at-once size
    const auto line = [&](int i) { return "[" + std::to_string(i) + "] " + hex; };
    int next = 0;
    const auto append = [&] {
        AppendTrafficLine(view, "[" + std::to_string(next) + "] ", 0xC80000, hex);
        ++next;
    };
    for (int i = 0; i < 59; ++i) {
        append();
    }
    const std::string folder = Root() + "/saved";
    fs::create_directories(folder);
    form.Settings().autoLineThreshold = 60;
    form.Settings().autoSavePath = folder;
    form.AutoSaveOn = true;
    form.AutoClearOn = true; // must not empty the view under a save in progress

    append(); // the 60th line starts the save
    for (int i = 0; i < 5; ++i) {
        append(); // traffic goes on while the file is written
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return view.LineCount() < 60; }, 20000));
    ASSERT_TRUE(m_prompter.warnings.empty());

    std::vector<std::string> files;
    for (const auto& entry : fs::directory_iterator(folder)) {
        files.push_back(entry.path().string());
    }
    ASSERT_EQ(files.size(), 1u);
    const std::string saved = StyledPlainText(ReadRtf(ReadFileBytes(files[0])));
    std::string expected;
    for (int i = 0; i < 60; ++i) {
        expected += line(i) + "\n";
    }
    EXPECT_EQ(saved, expected);
    ASSERT_EQ(view.LineCount(), 5);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(view.LineText(i), line(60 + i));
    }
}

} // namespace
