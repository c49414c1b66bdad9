#include "ui/main/ViewSaver.h"
#include "platform/FileIO.h"
#include "ui/QtTestApp.h"
#include "ui/main/RichView.h"

#include <QAbstractEventDispatcher>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

#include <filesystem>
#include <string>

#include <unistd.h>

namespace {

const TextAttributes kGrey{"Courier New", 0, 0x808080};
const TextAttributes kBlue{"Courier New", 0, 0xC80000};

void AppendRecord(RichView& view, int number, const std::string& payload) {
    view.MoveCaretToEnd();
    view.InsertText("[" + std::to_string(number) + "] ", kGrey);
    view.InsertText(payload + "\r\n", kBlue);
}

std::filesystem::path TempDir() {
    const auto dir = std::filesystem::temp_directory_path() /
                     ("korvane-viewsaver-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    return dir;
}

} // namespace

// A large view is written by a worker from the text it held when the save began, while
// the window goes on appending and dropping lines; a small one is written at once; a
// failed write reports the system's reason.
TEST(ViewSaverTest, WritesTheTextAsItWasWhenTheSaveBegan) {
    const auto dir = TempDir();
    std::string hex;
    for (int i = 0; i < 2000; ++i) {
        hex += "C3 ";
    }
    struct Case {
        const char* name;
        int records;
        std::string path;
        bool atOnce;
        bool fails;
    };
    const Case cases[] = {
        {"large", 400, (dir / "large.rtf").string(), false, false},
        {"small", 3, (dir / "small.rtf").string(), true, false},
        {"into a folder", 400, dir.string(), false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RichView view;
        for (int i = 0; i < c.records; ++i) {
            AppendRecord(view, i, hex);
        }
        const StyledText before = view.ToStyledText();
        TViewSaver saver;
        std::string error = "not called";
        int saved = -1;
        bool atOnce = false;
        saver.Save(
            view, [&c](const TByteSource& rtf) { WriteFileAtomically(c.path, rtf); },
            [&](const std::string& e, int lines, bool now) {
                error = e;
                saved = lines;
                atOnce = now;
            });
        EXPECT_EQ(saved >= 0, c.atOnce);
        EXPECT_EQ(saver.Busy(), !c.atOnce);
        EXPECT_EQ(saver.StatusText().startsWith("Saving "), !c.atOnce);
        // The window carries on: new traffic, and the oldest lines dropped.
        AppendRecord(view, 100000, "FF");
        view.DeleteFirstLines(2);
        saver.WaitAll();
        EXPECT_EQ(saved, c.records + 1);
        EXPECT_EQ(atOnce, c.atOnce);
        EXPECT_TRUE(saver.StatusText().isEmpty());
        if (c.fails) {
            EXPECT_NE(error.find(c.path), std::string::npos) << error;
            continue;
        }
        EXPECT_EQ(error, "");
        EXPECT_EQ(ReadRtf(ReadFileBytes(c.path)), before);
    }
    std::filesystem::remove_all(dir);
}

// Waiting for a save sleeps in the event loop until the worker asks for more or ends; it
// does not spin. The worker holds the save until the waiting thread is about to sleep.
TEST(ViewSaverTest, WaitingForASaveSleepsUntilTheWorkerCalls) {
    const auto dir = TempDir();
    const std::string path = (dir / "wait.rtf").string();
    RichView view;
    const std::string hex(6000, 'A');
    for (int i = 0; i < 400; ++i) {
        AppendRecord(view, i, hex);
    }
    std::mutex mutex;
    std::condition_variable changed;
    bool sleeping = false;
    const QMetaObject::Connection watch = QObject::connect(
        QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::aboutToBlock, [&] {
            std::lock_guard<std::mutex> lock(mutex);
            sleeping = true;
            changed.notify_all();
        });
    bool sawSleep = false;
    std::string error = "not called";
    TViewSaver saver;
    saver.Save(
        view,
        [&](const TByteSource& rtf) {
            {
                std::unique_lock<std::mutex> lock(mutex);
                sawSleep =
                    changed.wait_for(lock, std::chrono::seconds(30), [&] { return sleeping; });
            }
            WriteFileAtomically(path, rtf);
        },
        [&](const std::string& e, int, bool) { error = e; });
    ASSERT_TRUE(saver.Busy());
    saver.WaitAll();
    QObject::disconnect(watch);
    EXPECT_TRUE(sawSleep);
    EXPECT_EQ(error, "");
    EXPECT_FALSE(saver.Busy());
    std::filesystem::remove_all(dir);
}
