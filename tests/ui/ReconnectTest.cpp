// A device that goes away while the window has its port open, and comes back: the window
// closes the port as the port button would, says so, and with "Reconnect Automatically"
// reopens the port when a device of the same name is there again. The device is a
// pseudo-terminal registered as a virtual port, unplugged by closing its far end.

#include "ui/main/MainForm.h"

#include "serial/PtyPeer.h"
#include "settings/SettingsFile.h"
#include "settings/SettingsTestSupport.h"
#include "traffic/PortSession.h"
#include "ui/MainWindowTest.h"
#include "ui/QtTestApp.h"
#include "ui/ScriptedPrompter.h"
#include "ui/main/ComComboBox.h"
#include "ui/main/RichView.h"
#include "ui/main/StatusBarMY.h"

#include <QAction>
#include <QMenu>
#include <QTest>

#include <filesystem>
#include <memory>
#include <vector>

namespace {

// Times of day are fixed so that the texts can be compared whole. A test moves the
// milliseconds on by `ahead` to say that a connection lasted.
class FixedTimeClock : public Clock {
public:
    uint32_t Milliseconds() override { return SystemClock::Instance().Milliseconds() + ahead; }
    std::string TimeOfDay() override { return "12:34:56"; }
    uint32_t ahead = 0;
};

class ReconnectTest : public MainWindowTest {
protected:
    void TearDown() override {
        m_form.reset();
        m_device.reset();
        MainWindowTest::TearDown();
    }

    TMainForm& Start() { return MainWindowTest::Start(QString(), m_clock); }

    // A new device registered as `name`; a device still plugged in keeps its number, so
    // the new one gets another. Not under the number `avoid`: others may free and take
    // numbers meanwhile, so terminals that get it are held aside.
    std::string Plug(const std::string& name, const std::string& avoid = std::string()) {
        auto device = std::make_unique<PtyPeer>();
        while (!avoid.empty() && device->path == avoid) {
            m_heldAside.push_back(std::move(device));
            device = std::make_unique<PtyPeer>();
        }
        EXPECT_GE(device->master, 0);
        const std::string link = Folder() + "/ports/" + name;
        std::filesystem::create_directories(Folder() + "/ports");
        std::filesystem::remove(link);
        std::filesystem::create_symlink(device->path, link);
        m_device = std::move(device);
        return m_device->path;
    }
    // The far end closes and the registration goes, as when a simulator ends.
    void Unplug(const std::string& name) {
        m_device->CloseMaster();
        std::filesystem::remove(Folder() + "/ports/" + name);
    }

    static bool Closed(TMainForm& form) {
        return QTest::qWaitFor([&] { return !form.Connection()->Device->Connected(); }, 5000);
    }

    static std::string LastLine(TMainForm& form) {
        const int count = form.RichShow->LineCount();
        // The view ends with an empty line after the last line break.
        for (int i = count - 1; i >= 0; --i) {
            if (!form.RichShow->LineText(i).empty()) {
                return form.RichShow->LineText(i);
            }
        }
        return std::string();
    }

    static void ExpectClosedState(TMainForm& form) {
        EXPECT_EQ(form.N33->text(), "Open Port");
        EXPECT_TRUE(form.CBoxPort->isEnabled());
        EXPECT_TRUE(form.CBoxBaudRate->isEnabled());
        EXPECT_FALSE(form.TbDTR->isEnabled());
        EXPECT_EQ(form.ComThread()->ParkCount(), 2);
        EXPECT_TRUE(QTest::qWaitFor(
            [&] { return !form.StatusBarMY1->LampLit(TStatusBarMY::LampDTR); }, 2000));
    }

    // TearDown ends the window before the clock it was given goes.
    FixedTimeClock m_clock;
    std::unique_ptr<PtyPeer> m_device;
    std::vector<std::unique_ptr<PtyPeer>> m_heldAside;
};

TEST_F(ReconnectTest, APortThatComesBackIsReopenedEveryTime) {
    std::string path = Plug("DEV0");
    TMainForm& form = Start();
    EXPECT_TRUE(form.ReconnectAuto->isChecked());
    OpenPort(form, "DEV0");
    form.TbDTR->trigger();
    ASSERT_TRUE(form.Settings().dtrEnabled);
    const TBaudRate rate = form.Connection()->Device->BaudRate();

    // The first time the device may come back under its old number; the second time that
    // number is taken by then.
    for (const bool newNumber : {false, true}) {
        SCOPED_TRACE(newNumber);
        // In use a while before it goes: its return is awaited at the usual pace.
        m_clock.ahead += TPortSession::SteadyAfterMs;
        Unplug("DEV0");
        ASSERT_TRUE(Closed(form));
        std::unique_ptr<PtyPeer> taken;
        if (newNumber) {
            taken = std::make_unique<PtyPeer>(); // takes the number the device had
        }
        ExpectClosedState(form);
        EXPECT_EQ(form.StatusBarMY1->PanelText(0), "DEV0 disconnected 12:34:56");
        EXPECT_EQ(LastLine(form), "--- DEV0 disconnected 12:34:56");
        EXPECT_TRUE(form.Reconnect()->Waiting());
        // Looks at an absent port change nothing.
        for (int look = 0; look < 3; ++look) {
            form.Reconnect()->Check();
        }
        EXPECT_FALSE(form.Connection()->Device->Connected());
        EXPECT_TRUE(form.Reconnect()->Waiting());

        const std::string old = path;
        path = Plug("DEV0", newNumber ? old : std::string());
        if (newNumber) {
            EXPECT_NE(path, old);
        }
        // The first look after the device is back reopens it (the looks come every
        // CheckIntervalMs, so within a second).
        form.Reconnect()->Check();
        ASSERT_TRUE(form.Connection()->Device->Connected());
        EXPECT_FALSE(form.Reconnect()->Waiting());
        EXPECT_EQ(form.StatusBarMY1->PanelText(0), "DEV0 reconnected 12:34:56");
        EXPECT_EQ(LastLine(form), "--- DEV0 reconnected 12:34:56");
        EXPECT_EQ(form.N33->text(), "Close Port");
        EXPECT_FALSE(form.CBoxPort->isEnabled());
        EXPECT_TRUE(form.TbDTR->isEnabled());
        EXPECT_EQ(form.ComThread()->ParkCount(), 0);
        EXPECT_EQ(form.Connection()->Device->BaudRate(), rate);
        EXPECT_EQ(form.Connection()->Device->FlowControl().ControlDTR(), dtrEnable);
        EXPECT_TRUE(QTest::qWaitFor(
            [&] { return form.StatusBarMY1->LampLit(TStatusBarMY::LampDTR); }, 2000));

        // New bursts are recorded after the note.
        ASSERT_TRUE(m_device->Write("\x0A\x0B"));
        ASSERT_TRUE(QTest::qWaitFor(
            [&] { return LastLine(form).find("0A 0B") != std::string::npos; }, 5000));
    }
    // The notes are grey, as the prefixes are.
    bool grey = false;
    for (const StyledRun& run : form.RichShow->ToStyledText()) {
        if (run.text.find("--- DEV0 reconnected") != std::string::npos) {
            grey = run.style.color == TrafficPrefixColor;
        }
    }
    EXPECT_TRUE(grey);
}

TEST_F(ReconnectTest, ThePortButtonEndsTheWait) {
    Plug("DEV1");
    TMainForm& form = Start();
    OpenPort(form, "DEV1");
    Unplug("DEV1");
    ASSERT_TRUE(Closed(form));
    ASSERT_TRUE(form.Reconnect()->Waiting());
    form.TbPort->trigger();
    EXPECT_FALSE(form.Reconnect()->Waiting());
    ExpectClosedState(form);
    EXPECT_TRUE(m_prompter.warnings.empty());

    Plug("DEV1");
    form.Reconnect()->Check(); // a look, would one come
    EXPECT_FALSE(form.Connection()->Device->Connected());
    // The button works as ever afterwards.
    form.TbPort->trigger();
    EXPECT_TRUE(form.Connection()->Device->Connected());
}

TEST_F(ReconnectTest, WithTheOptionOffThePortIsClosedAndStaysClosed) {
    Plug("DEV2");
    TMainForm& form = Start();
    // In the Tools menu right after "Pause Monitoring", on by default.
    const auto* menu = form.findChild<QMenu*>(QStringLiteral("D2"));
    ASSERT_NE(menu, nullptr);
    const QList<QAction*> tools = menu->actions();
    ASSERT_GT(tools.indexOf(form.N37), -1);
    EXPECT_EQ(tools.value(tools.indexOf(form.N37) + 1), form.ReconnectAuto);
    EXPECT_EQ(form.ReconnectAuto->text(), "Reconnect Automatically");
    form.ReconnectAuto->trigger();
    EXPECT_FALSE(form.Options().reconnectAutomatically);

    OpenPort(form, "DEV2");
    ASSERT_TRUE(m_device->Write("\x01"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !LastLine(form).empty(); }, 5000));
    const int lines = form.RichShow->LineCount();
    Unplug("DEV2");
    ASSERT_TRUE(Closed(form));
    ExpectClosedState(form);
    EXPECT_EQ(form.StatusBarMY1->PanelText(0), "DEV2 disconnected 12:34:56");
    EXPECT_EQ(form.RichShow->LineCount(), lines);
    EXPECT_FALSE(form.Reconnect()->Waiting());
    Plug("DEV2");
    form.Reconnect()->Check(); // a look, would one come
    EXPECT_FALSE(form.Connection()->Device->Connected());

    // Kept for the next start.
    form.close();
    m_form.reset();
    TMainForm& again = Start();
    EXPECT_FALSE(again.ReconnectAuto->isChecked());
    EXPECT_FALSE(again.Reconnect()->Reconnect());
}

} // namespace
