// The main window as a user meets it: first start, restart, the port tool bar and status bar
// over a real pseudo-terminal, files, and the traffic view's line cap. Offscreen platform,
// a private data folder per test.

#include "ui/main/MainForm.h"
#include "richtext/RichText.h"
#include "serial/ComDriverPosix.h"
#include "settings/SettingsFile.h"
#include "settings/SettingsTestSupport.h"
#include "traffic/DataRT.h"
#include "ui/MainWindowTest.h"
#include "ui/QtTestApp.h"
#include "ui/ScriptedPrompter.h"
#include "ui/main/ComComboBox.h"
#include "ui/main/DockLayout.h"
#include "ui/main/RichView.h"
#include "ui/main/StatusBarMY.h"
#include "ui/send/SendForm.h"
#include "ui/tools/FindUnit.h"

#include <QAction>
#include <QComboBox>
#include <QDockWidget>
#include <QTest>
#include <QToolBar>

#include <fcntl.h>
#include <filesystem>
#include <memory>
#include <pty.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

class MainFormTest : public MainWindowTest {
protected:
    // The program's start-up sequence, with a record of the form's own.
    void Stop() {
        Close();
        DataFolder().clear();
    }

    // A pseudo-terminal registered as port `name`; returns the peer's side.

    static std::string Pattern(const std::string& line) {
        // "[hh:nn:ss" with digits replaced, so lines compare whatever the time.
        std::string out = line;
        for (size_t i = 1; i < 9 && i < out.size(); ++i) {
            if (out[i] >= '0' && out[i] <= '9') {
                out[i] = '9';
            }
        }
        return out;
    }
};

TEST_F(MainFormTest, FirstStartShowsDefaultsAndARestartRestoresWhatWasSaved) {
    TMainForm& form = Start();
    const SettingsRecord fresh = SettingsRecord::Fresh();
    EXPECT_EQ(form.RichShow->BackgroundColor(), fresh.receiveWindowColor);
    EXPECT_EQ(form.SendForm->RichSend->BackgroundColor(), fresh.sendWindowColor);
    EXPECT_EQ(form.FindForm->RichFind->BackgroundColor(), fresh.searchWindowColor);
    EXPECT_EQ(form.CBoxBaudRate->currentText(), "9600");
    EXPECT_EQ(form.CBoxParityBits->currentText(), "None");
    EXPECT_EQ(form.CBoxDataBits->currentText(), "8");
    EXPECT_EQ(form.CBoxStopBits->currentText(), "1");
    EXPECT_TRUE(form.N29->isChecked()); // "Show Time"
    EXPECT_TRUE(form.N30->isChecked()); // "Show Sending"
    EXPECT_FALSE(form.ShowRxTx2->isChecked());
    // The default layout docks the send window at the left, although its flag is off.
    EXPECT_EQ(form.dockWidgetArea(form.SendForm), Qt::LeftDockWidgetArea);
    EXPECT_FALSE(form.SendForm->isFloating());
    EXPECT_TRUE(form.SendForm->isVisible());
    EXPECT_FALSE(form.N8->isChecked());
    EXPECT_FALSE(form.FindForm->isVisible());
    EXPECT_EQ(form.geometry().topLeft(), QPoint(361, 158));

    form.ShowRxTx2->trigger();
    form.SendForm->RichSend->InsertText("01 03 00 00 00 0A", TextAttributes{});
    form.addDockWidget(Qt::RightDockWidgetArea, form.SendForm);
    Stop();

    const std::string folder = Folder();
    EXPECT_EQ(std::filesystem::file_size(folder + "/data"), SettingsRecord::Size);
    EXPECT_TRUE(std::filesystem::exists(folder + "/send"));
    EXPECT_TRUE(std::filesystem::exists(folder + "/config.ini"));
    // The hidden search output keeps the size the layout gave it.
    const TIniFile layout =
        TIniFile::Parse(QByteArray::fromStdString(ReadRaw(folder + "/config.ini")));
    EXPECT_EQ(layout.Value("Forms\\FindForm", "TBDockHeight"), "100");
    EXPECT_EQ(layout.Value("Forms\\FindForm", "Visible"), "FALSE");

    TMainForm& again = Start();
    EXPECT_TRUE(again.ShowRxTx2->isChecked());
    EXPECT_TRUE(again.showRxTx1->isChecked());
    EXPECT_EQ(again.SendForm->RichSend->LineText(0), "01 03 00 00 00 0A");
    EXPECT_EQ(again.dockWidgetArea(again.SendForm), Qt::RightDockWidgetArea);
}

TEST_F(MainFormTest, AutomaticSendingAndTheFilterAreOffAfterEveryStart) {
    std::filesystem::create_directories(Folder());
    SettingsRecord saved = SettingsRecord::Fresh();
    saved.cycleSendEnabled = true;
    saved.timingTriggerEnabled = true;
    saved.receiveTriggerEnabled = true;
    saved.filterEnabled = true;
    SaveSettingsFile(saved, Folder() + "/data");

    TMainForm& form = Start();
    QTest::qWait(120); // a few ticks of the status timer
    EXPECT_FALSE(form.Settings().cycleSendEnabled);
    EXPECT_FALSE(form.Settings().timingTriggerEnabled);
    EXPECT_FALSE(form.Settings().receiveTriggerEnabled);
    EXPECT_FALSE(form.Settings().filterEnabled);
    EXPECT_FALSE(form.DataRT()->CycleTimer().Enabled());
    EXPECT_FALSE(form.DataRT()->TriggersOn);
    EXPECT_FALSE(form.SendForm->ToolButton2->isChecked());
    EXPECT_FALSE(form.SendForm->ToolButton3->isChecked());
    EXPECT_FALSE(form.N44->isChecked());
    EXPECT_FALSE(form.N45->isChecked());
    EXPECT_FALSE(form.TbFilter->isChecked());
}

TEST_F(MainFormTest, LiveTrafficOverAPseudoTerminal) {
    const int peer = RegisterPty("PTY1");
    TMainForm& form = Start();
    const int index = form.CBoxPort->findText("PTY1");
    ASSERT_GE(index, 0);
    form.CBoxPort->setCurrentIndex(index);
    form.TbDTR->trigger(); // disabled while closed: nothing changes
    EXPECT_FALSE(form.Settings().dtrEnabled);

    form.TbPort->trigger();
    ASSERT_TRUE(form.Connection()->Device->Connected());
    EXPECT_EQ(form.N33->text(), "Close Port");
    EXPECT_FALSE(form.CBoxPort->isEnabled());
    EXPECT_FALSE(form.CBoxBaudRate->isEnabled());
    EXPECT_TRUE(form.TbDTR->isEnabled());
    EXPECT_EQ(form.ComThread()->ParkCount(), 0);

    form.TbDTR->trigger();
    EXPECT_TRUE(form.Settings().dtrEnabled);
    ASSERT_EQ(::write(peer, "\x01\x03\x02", 3), 3);
    ASSERT_TRUE(QTest::qWaitFor([&] { return form.RichShow->LineCount() == 1; }, 5000));
    EXPECT_EQ(Pattern(form.RichShow->LineText(0)), "[99:99:99 ---] 01 03 02");
    const StyledText shown = form.RichShow->ToStyledText();
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[0].style.color, TrafficPrefixColor);
    EXPECT_EQ(shown[1].style.color, form.Settings().receiveTextColor);
    EXPECT_EQ(shown[1].text, "01 03 02\n");
    ASSERT_TRUE(QTest::qWaitFor([&] { return form.StatusBarMY1->PanelText(2) == "RX: 3"; }, 2000));
    EXPECT_TRUE(form.StatusBarMY1->LampLit(TStatusBarMY::LampDTR));
    EXPECT_FALSE(form.StatusBarMY1->LampLit(TStatusBarMY::LampRTS));
    EXPECT_FALSE(form.StatusBarMY1->LampLit(TStatusBarMY::LampCTS));

    // Paused: read and dropped, neither shown nor counted.
    form.TbPause->trigger();
    EXPECT_TRUE(form.N37->isChecked());
    ASSERT_EQ(::write(peer, "\x05\x06", 2), 2);
    QTest::qWait(400);
    EXPECT_EQ(form.RichShow->LineCount(), 1);
    form.TbPause->trigger();
    ASSERT_EQ(::write(peer, "\x07", 1), 1);
    ASSERT_TRUE(QTest::qWaitFor([&] { return form.RichShow->LineCount() == 2; }, 5000));
    EXPECT_EQ(form.RichShow->LineText(1).substr(15), "07");
    ASSERT_TRUE(QTest::qWaitFor([&] { return form.StatusBarMY1->PanelText(2) == "RX: 4"; }, 2000));

    QTest::mouseDClick(form.StatusBarMY1, Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return form.StatusBarMY1->PanelText(2) == "RX: 0"; }, 2000));

    form.TbPort->trigger();
    EXPECT_FALSE(form.Connection()->Device->Connected());
    EXPECT_EQ(form.N33->text(), "Open Port");
    EXPECT_TRUE(form.CBoxPort->isEnabled());
    EXPECT_FALSE(form.TbDTR->isEnabled());
    EXPECT_EQ(form.ComThread()->ParkCount(), 2);
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return !form.StatusBarMY1->LampLit(TStatusBarMY::LampDTR); }, 2000));
    EXPECT_EQ(form.StatusBarMY1->PanelText(2), "RX: 0"); // closing resets nothing
}

namespace {

// A device that refuses to change its modem lines.
int RefuseLineChanges(int fd, unsigned long request, void* arg) {
    if (request == TIOCMBIS || request == TIOCMBIC) {
        errno = EPERM;
        return -1;
    }
    return ::ioctl(fd, request, arg);
}

} // namespace

TEST_F(MainFormTest, ARefusedDtrChangeKeepsTheSwitchTheLampAndTheRecord) {
    const int peer = RegisterPty("PTY1");
    TMainForm& form = Start();
    form.CBoxPort->setCurrentIndex(form.CBoxPort->findText("PTY1"));
    form.TbPort->trigger();
    ASSERT_TRUE(form.Connection()->Device->Connected());
    form.TbDTR->trigger();
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return form.StatusBarMY1->LampLit(TStatusBarMY::LampDTR); }, 5000));

    struct Restore {
        ~Restore() { PosixPortCalls().Restore(); }
    } restore;
    PosixPortCalls().ioctl = &RefuseLineChanges;
    form.TbDTR->trigger();
    EXPECT_TRUE(form.Settings().dtrEnabled);
    EXPECT_TRUE(form.TbDTR->isChecked());
    EXPECT_TRUE(form.StatusBarMY1->PanelText(0).startsWith("DTR/RTS change refused: "))
        << form.StatusBarMY1->PanelText(0).toStdString();
    EXPECT_TRUE(form.Connection()->Device->Connected());
    // A byte counted means the status bar has been refreshed since.
    ASSERT_EQ(::write(peer, "\x01", 1), 1);
    ASSERT_TRUE(QTest::qWaitFor([&] { return form.StatusBarMY1->PanelText(2) == "RX: 1"; }, 5000));
    EXPECT_TRUE(form.StatusBarMY1->LampLit(TStatusBarMY::LampDTR));
}

TEST_F(MainFormTest, APortHeldElsewhereShowsTheOpenPortBoxAndStaysClosed) {
    std::string path;
    RegisterPty("HELD", &path);
    const int holder = ::open(path.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(holder, 0);
    m_fds.push_back(holder);
    ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);

    TMainForm& form = Start();
    form.CBoxPort->setCurrentIndex(form.CBoxPort->findText("HELD"));
    form.TbPort->trigger();
    ASSERT_EQ(m_prompter.warnings.size(), 1u);
    // The program's message, then the system's reason: here the holder is this process.
    const QStringList lines = m_prompter.warnings[0].text.split(QLatin1Char('\n'));
    ASSERT_EQ(lines.size(), 2) << m_prompter.warnings[0].text.toStdString();
    EXPECT_EQ(lines[0], "Open port failure,it may be opened by other procedures.");
    EXPECT_TRUE(lines[1].startsWith(QString::fromStdString(path) + " is in use by "));
    EXPECT_TRUE(lines[1].endsWith(QStringLiteral("(process %1).").arg(getpid())));
    EXPECT_EQ(m_prompter.warnings[0].caption, "Open Port");
    EXPECT_FALSE(form.Connection()->Device->Connected());
    EXPECT_EQ(form.N33->text(), "Open Port");
    EXPECT_TRUE(form.CBoxPort->isEnabled());
    EXPECT_TRUE(form.CBoxStopBits->isEnabled());
    EXPECT_FALSE(form.TbDTR->isEnabled());
    EXPECT_FALSE(form.TbRTS->isEnabled());
    EXPECT_EQ(form.ComThread()->ParkCount(), 2);
}

TEST_F(MainFormTest, CommandLineFileKeepsItsColoursAndTheViewRoundTripsAsRtf) {
    StyledText text;
    TextStyle red;
    red.color = 0x0000FF;
    TextStyle green;
    green.color = 0x008000;
    green.bold = true;
    text.push_back({"first line\n", red});
    text.push_back({"second\n", green});
    const std::string file = Root() + "/log.rtf";
    WriteRaw(file, WriteRtf(text));

    TMainForm& form = Start(QString::fromStdString(file));
    EXPECT_EQ(form.RichShow->ToStyledText(), text);

    // Saving proposes a time stamp and always appends ".rtf".
    m_prompter.fileNames = {QString::fromStdString(Root() + "/copy.rtf")};
    form.N7->trigger();
    ASSERT_EQ(m_prompter.proposedNames.size(), 1);
    EXPECT_EQ(m_prompter.proposedNames[0].size(), 14);
    const std::string saved = Root() + "/copy.rtf.rtf";
    ASSERT_TRUE(std::filesystem::exists(saved));
    EXPECT_EQ(form.Settings().lastFileName, saved);

    form.RichShow->Clear();
    m_prompter.fileNames = {QString::fromStdString(saved)};
    form.N6->trigger();
    EXPECT_EQ(m_prompter.initialNames.value(0).toStdString(), saved);
    EXPECT_EQ(form.RichShow->ToStyledText(), text);

    // A file that is not rich text loads as plain text; a missing one is refused.
    WriteRaw(Root() + "/plain.txt", "01 02\r\n03\r\n");
    m_prompter.fileNames = {QString::fromStdString(Root() + "/plain.txt")};
    form.N6->trigger();
    EXPECT_EQ(form.RichShow->LineText(1), "03");
    m_prompter.fileNames = {QString::fromStdString(Root() + "/missing.rtf")};
    form.N6->trigger();
    ASSERT_EQ(m_prompter.warnings.size(), 1u);
    EXPECT_EQ(m_prompter.warnings[0].text, "File does not exist.");
    EXPECT_EQ(m_prompter.warnings[0].caption, "Open");
}

TEST_F(MainFormTest, TrafficViewDropsItsOldestLinesPastTheCap) {
    TMainForm& form = Start();
    RichView& view = *form.RichShow;
    for (int i = 0; i < 120000; ++i) {
        AppendTrafficLine(view, "", 0, "01 02 03 " + std::to_string(i));
    }
    EXPECT_EQ(view.LineCount(), 120000);
    AppendTrafficLine(view, "", 0, "last");
    EXPECT_EQ(view.LineCount(), 100001);
    EXPECT_EQ(view.LineText(0), "01 02 03 20000");
    EXPECT_EQ(view.LineText(100000), "last");
    EXPECT_EQ(view.CaretLine(), view.StoredLineCount() - 1);
}

} // namespace

namespace {

TEST_F(MainFormTest, ClosingWhileMinimisedStillSavesEverything) {
    TMainForm& form = Start();
    form.SendForm->RichSend->InsertText("11 22", TextAttributes{});
    form.ShowRxTx2->trigger();
    form.showMinimized();
    Stop();
    SettingsRecord saved;
    ASSERT_TRUE(LoadSettingsFile(saved, Folder() + "/data"));
    EXPECT_TRUE(saved.showRxTx);
    EXPECT_NE(ReadRaw(Folder() + "/send").find("11 22"), std::string::npos);
    // The layout keeps the restored place, not the minimised one.
    EXPECT_NE(ReadRaw(Folder() + "/config.ini").find("Left=361"), std::string::npos);
}

// An exception that leaves an event handler is shown and the program goes on.
class ThrowingObject : public QObject {
protected:
    bool event(QEvent* e) override {
        if (e->type() == QEvent::User) {
            throw std::runtime_error("Device fell off the bus");
        }
        return QObject::event(e);
    }
};

TEST(GeneralErrorHandler, ShowsTheMessageAndCarriesOn) {
    std::vector<std::string> shown;
    TKorvaneApplication::SetErrorReporter([&](const std::string& m) { shown.push_back(m); });
    ThrowingObject target;
    QCoreApplication::postEvent(&target, new QEvent(QEvent::User));
    QCoreApplication::postEvent(&target, new QEvent(QEvent::User));
    QCoreApplication::processEvents();
    TKorvaneApplication::SetErrorReporter(nullptr);
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[0], "Device fell off the bus");
}

} // namespace

namespace {

// Near its capacity the traffic view drops its oldest lines instead of cutting new ones.
TEST_F(MainFormTest, FullTrafficViewMakesRoomForNewTraffic) {
    TMainForm& form = Start();
    RichView& view = *form.RichShow;
    form.SetTextCapacity(1000);
    const std::string payload(98, 'A');
    for (int i = 0; i < 30; ++i) {
        AppendTrafficLine(view, "", 0, payload.substr(0, 95) + std::to_string(100 + i));
    }
    EXPECT_LE(view.TextLength(), 1000);
    EXPECT_EQ(view.LineText(view.LineCount() - 1), payload.substr(0, 95) + "129");
    EXPECT_GE(view.LineCount(), 5);
}

} // namespace

namespace {

TEST_F(MainFormTest, PortListIsReadAgainWhenItDropsDown) {
    TMainForm& form = Start();
    form.CBoxPort->setEditText("/dev/ttyUSB7");
    RegisterPty("LATE");
    EXPECT_LT(form.CBoxPort->findText("LATE"), 0);
    form.CBoxPort->showPopup();
    form.CBoxPort->hidePopup();
    EXPECT_GE(form.CBoxPort->findText("LATE"), 0);
    EXPECT_EQ(form.CBoxPort->currentText(), "/dev/ttyUSB7"); // a typed path stays
}

} // namespace

namespace {

TEST_F(MainFormTest, FirstStartPicksTheSimulatedDeviceWhenItIsRegistered) {
    // The simulated device is offered only while no port was chosen before: a restart
    // keeps the user's own choice, and without SIM0 the list's first port stays.
    RegisterPty("AAA0");
    RegisterPty("SIM0");
    TMainForm& form = Start();
    EXPECT_EQ(form.CBoxPort->currentText(), "SIM0");
    form.CBoxPort->setCurrentIndex(form.CBoxPort->findText("AAA0"));
    EXPECT_EQ(Restart().CBoxPort->currentText(), "AAA0");

    Stop();
    std::filesystem::remove(Folder() + "/data");
    std::filesystem::remove(Folder() + "/ports/SIM0");
    TMainForm& without = Start();
    EXPECT_EQ(without.CBoxPort->currentIndex(), 0);
    EXPECT_NE(without.CBoxPort->currentText(), "SIM0");
}

} // namespace
