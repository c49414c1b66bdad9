// A quit signal (SIGTERM, SIGHUP, SIGINT) to the running window: answered by a close like
// the user's while the window thread is free, and by writing what the window last showed
// while it was idle when the window thread is stuck. Real signals to this process.

#include "ui/main/QuitSignals.h"
#include "richtext/RichText.h"
#include "settings/SettingsFile.h"
#include "ui/MainWindowTest.h"
#include "ui/main/RichView.h"
#include "ui/send/SendForm.h"

#include <QComboBox>
#include <QEventLoop>
#include <QTest>

#include <csignal>
#include <filesystem>
#include <future>
#include <optional>
#include <unistd.h>

namespace {

class QuitSignalsTest : public MainWindowTest {
protected:
    // The choices a user made before the signal: a baud rate and a line to send.
    void Choose(TMainForm& form) {
        form.CBoxBaudRate->setCurrentIndex(form.CBoxBaudRate->findText("115200"));
        form.SendForm->RichSend->InsertText("01 03 00 00 00 0A", TextAttributes{});
    }

    // The window's files as the next start reads them.
    void ExpectChoicesKept(const TMainForm& form) {
        SettingsRecord record = SettingsRecord::Fresh();
        ASSERT_TRUE(LoadSettingsFile(record, Folder() + "/data"));
        EXPECT_EQ(record.baudRateIndex, form.CBoxBaudRate->findText("115200"));
        std::string send;
        for (const StyledRun& run : ReadRtf(ReadRaw(Folder() + "/send"))) {
            send += run.text;
        }
        EXPECT_EQ(send.substr(0, send.find('\n')), "01 03 00 00 00 0A");
        EXPECT_TRUE(std::filesystem::exists(Folder() + "/config.ini"));
    }

    // Runs the window's event loop until it has published its files once more.
    static void UntilPublished(const int& published) {
        const int before = published;
        while (published == before) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        }
    }
};

TEST_F(QuitSignalsTest, AStuckWindowThreadStillKeepsWhatTheUserChose) {
    TMainForm& form = Start();
    Choose(form);
    int published = 0;
    std::promise<int> ended;
    TQuitHandling handling;
    handling.collect = [&] {
        ++published;
        return form.ClosingFiles();
    };
    handling.publishMs = 0;
    handling.answerWaitMs = 0; // the window thread is stuck for as long as it takes
    handling.end = [&](int signal) { ended.set_value(signal); };
    std::optional<TQuitSignals> quit;
    quit.emplace(&form, std::move(handling));
    // Idle once after the choices, so the window has published them.
    UntilPublished(published);
    std::filesystem::remove(Folder() + "/data");

    // The window thread stays here, in one long operation, until the program has ended.
    ::kill(::getpid(), SIGTERM);
    EXPECT_EQ(ended.get_future().get(), SIGTERM);
    ExpectChoicesKept(form);
    quit.reset();
}

TEST_F(QuitSignalsTest, AFreeWindowClosesAsTheUserWouldCloseIt) {
    for (const int signal : {SIGTERM, SIGHUP, SIGINT}) {
        SCOPED_TRACE(signal);
        TMainForm& form = Start();
        Choose(form);
        bool endedAtOnce = false;
        TQuitHandling handling;
        handling.collect = [&form] { return form.ClosingFiles(); };
        // Far longer than a free window thread takes to answer.
        handling.answerWaitMs = 600000;
        handling.end = [&](int) { endedAtOnce = true; };
        std::optional<TQuitSignals> quit;
        quit.emplace(&form, std::move(handling));
        ::kill(::getpid(), signal);
        ASSERT_TRUE(QTest::qWaitFor([&] { return !form.isVisible(); }, 60000));
        quit.reset();
        EXPECT_FALSE(endedAtOnce);
        ExpectChoicesKept(form);
        m_form.reset();
        std::filesystem::remove(Folder() + "/data");
        std::filesystem::remove(Folder() + "/send");
    }
}

} // namespace
