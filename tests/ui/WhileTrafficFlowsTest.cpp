// Working in the windows while traffic arrives: selecting and copying in the traffic view,
// the caret position following the keyboard, typing after a checksum, and the send options
// refusing intervals and delays that would never come. Offscreen, over a pseudo-terminal.

#include "settings/SettingsFile.h"
#include "settings/SettingsTestSupport.h"
#include "traffic/DataRT.h"
#include "ui/MainWindowTest.h"
#include "ui/QtTestApp.h"
#include "ui/ScriptedPrompter.h"
#include "ui/main/ComComboBox.h"
#include "ui/main/MainForm.h"
#include "ui/main/QtTimer.h"
#include "ui/main/RichView.h"
#include "ui/main/StatusBarMY.h"
#include "ui/send/SendForm.h"
#include "ui/send/SetForm.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <fcntl.h>
#include <filesystem>
#include <memory>
#include <optional>
#include <pty.h>
#include <unistd.h>

namespace {

class WhileTrafficFlowsTest : public MainWindowTest {
protected:
    TMainForm& Start() {
        MainWindowTest::Start();
        m_form->activateWindow();
        QApplication::setActiveWindow(m_form.get());
        EXPECT_TRUE(QTest::qWaitForWindowActive(m_form.get()));
        return *m_form;
    }
    // Registers a pseudo-terminal as port LINE and opens it; the test writes as the device.
    void OpenLine(TMainForm& form) {
        m_master = RegisterPty("LINE");
        ASSERT_GE(m_master, 0);
        form.CBoxPort->Reload();
        OpenPort(form, QStringLiteral("LINE"));
    }
    // The device sends a burst; returns once the traffic view shows it.
    void Receive(TMainForm& form, const char* bytes) {
        const int before = form.RichShow->LineCount();
        ASSERT_GT(::write(m_master, bytes, std::strlen(bytes)), 0);
        ASSERT_TRUE(QTest::qWaitFor([&] { return form.RichShow->LineCount() > before; }, 5000));
    }

    int m_master = -1;
};

} // namespace

TEST_F(WhileTrafficFlowsTest, ASelectionOrAHeldButtonKeepsTheTrafficViewForCopying) {
    TMainForm& form = Start();
    OpenLine(form);
    RichView& show = *form.RichShow;
    RichView& send = *form.SendForm->RichSend;
    Receive(form, "A");
    Receive(form, "B");

    // A selection: the focus stays, the selection survives what arrives, and Copy takes it.
    show.setFocus();
    show.SetSelection(show.PositionFromLine(0), show.LineString(0).size());
    const std::string selected = show.SelectedText();
    ASSERT_FALSE(selected.empty());
    Receive(form, "C");
    EXPECT_TRUE(show.hasFocus());
    EXPECT_EQ(show.SelectedText(), selected);
    QApplication::clipboard()->clear();
    form.findChild<QAction*>("N22")->trigger();
    EXPECT_EQ(QApplication::clipboard()->text().toStdString(), selected);

    // A button held down (a selection about to start): the focus and the press point stay.
    QWidget* viewport = show.viewport();
    QTest::mousePress(viewport, Qt::LeftButton, {}, QPoint(5, 5));
    ASSERT_EQ(show.SelectionLength(), 0);
    const TextRange pressed = show.SelectionRange();
    Receive(form, "D");
    EXPECT_TRUE(show.hasFocus());
    EXPECT_EQ(show.SelectionRange().caretLine, pressed.caretLine);
    EXPECT_EQ(show.SelectionRange().caretColumn, pressed.caretColumn);
    QTest::mouseRelease(viewport, Qt::LeftButton, {}, QPoint(5, 5));

    // Neither: typed keys go to the send editor again.
    Receive(form, "E");
    EXPECT_TRUE(send.hasFocus());
}

TEST_F(WhileTrafficFlowsTest, CaretPositionFollowsKeyboardMovesAndTyping) {
    TMainForm& form = Start();
    RichView& show = *form.RichShow;
    AppendTrafficLine(show, "", 0, "01 02 03");
    AppendTrafficLine(show, "", 0, "04 05");
    show.setFocus();
    show.SetCaret(0, 0);
    form.Timer1Timer();
    EXPECT_EQ(form.StatusBarMY1->PanelText(3), "Hex: Ln:1  Col:0  Sel:0");
    QTest::keyClick(&show, Qt::Key_Down);
    QTest::keyClick(&show, Qt::Key_End, Qt::ShiftModifier);
    form.Timer1Timer();
    EXPECT_EQ(form.StatusBarMY1->PanelText(3), "Hex: Ln:2  Col:2  Sel:2");

    // The send window's caption follows typing.
    RichView& send = *form.SendForm->RichSend;
    send.setFocus();
    ASSERT_EQ(form.DataRT()->ActiveView, &send);
    QTest::keyClicks(&send, "01 02 0");
    form.Timer1Timer();
    EXPECT_EQ(form.SendForm->windowTitle(), "Send [Hex: Ln:1 Col:3 Sel:0]");
    QTest::keyClick(&send, Qt::Key_Return);
    QTest::keyClicks(&send, "AA");
    form.Timer1Timer();
    EXPECT_EQ(form.SendForm->windowTitle(), "Send [Hex: Ln:2 Col:1 Sel:0]");
}

TEST_F(WhileTrafficFlowsTest, TextTypedAfterAChecksumHasTheEditorsColour) {
    TMainForm& form = Start();
    RichView& send = *form.SendForm->RichSend;
    send.setFocus();
    QTest::keyClicks(&send, "01 03 00 00 00 0A");
    form.Settings().checksumKind = 5;
    form.SendForm->ToolButton7->setVisible(true);
    form.SendForm->ToolButton7->trigger();
    QTest::keyClicks(&send, " 11");
    ASSERT_EQ(send.LineText(0), "01 03 00 00 00 0A C5 CD 11");
    std::vector<std::pair<std::string, uint32_t>> runs;
    for (const StyledRun& run : send.ToStyledText()) {
        if (runs.empty() || runs.back().second != run.style.color) {
            runs.emplace_back(std::string(), run.style.color);
        }
        runs.back().first += run.text;
    }
    const uint32_t blue = 0x00FF0000;
    EXPECT_EQ(runs, (std::vector<std::pair<std::string, uint32_t>>{
                        {"01 03 00 00 00 0A", 0}, {" C5 CD", blue}, {" 11", 0}}));

    // Return right after a checksum, and Return at the end of a line that ends in one: the
    // next line is typed in the editor's colour.
    const auto colourOfLine = [&send](int line) {
        std::vector<uint32_t> colours;
        const std::vector<StyledRun> styled = send.ToStyledText();
        int at = 0;
        for (const StyledRun& run : styled) {
            for (char c : run.text) {
                if (c == '\n') {
                    ++at;
                } else if (at == line) {
                    colours.push_back(run.style.color);
                }
            }
        }
        return colours;
    };
    QTest::keyClick(&send, Qt::Key_Return);
    QTest::keyClicks(&send, "01 02");
    form.SendForm->ToolButton7->trigger();
    QTest::keyClick(&send, Qt::Key_Return);
    QTest::keyClicks(&send, "33");
    ASSERT_EQ(send.LineText(2), "33");
    EXPECT_EQ(colourOfLine(2), (std::vector<uint32_t>{0, 0}));
    QTest::keyClick(&send, Qt::Key_Up);
    QTest::keyClick(&send, Qt::Key_End);
    QTest::keyClick(&send, Qt::Key_Return);
    QTest::keyClicks(&send, "44");
    ASSERT_EQ(send.LineText(2), "44");
    EXPECT_EQ(colourOfLine(1).back(), blue);
    EXPECT_EQ(colourOfLine(2), (std::vector<uint32_t>{0, 0}));
}

TEST(SendOptionsDurations, NegativeIntervalsAndDelaysAreRefusedWithTheAllowedRange) {
    SettingsRecord settings = SettingsRecord::Fresh();
    std::vector<std::string> errors;
    int refreshes = 0;
    TSetForm::Hooks hooks;
    hooks.refreshSettings = [&] { ++refreshes; };
    hooks.reportError = [&](const std::string& message) { errors.push_back(message); };
    hooks.saveSettings = [](const SettingsRecord&) {};
    TSetForm form(settings, hooks);
    const char* const fields[] = {"Edit10", "Edit9", "Edit1"}; // intervals, then the delay
    for (const char* field : fields) {
        SCOPED_TRACE(field);
        for (const char* text : {"-5", "4294967291"}) {
            form.ShowTriggerPage(true);
            form.findChild<QLineEdit*>(field)->setText(QString::fromLatin1(text));
            EXPECT_FALSE(form.OkClicked());
            ASSERT_FALSE(errors.empty());
            EXPECT_EQ(errors.back(),
                      std::string("'") + text +
                          "' is out of range: enter milliseconds from 0 to 2147483647.");
            EXPECT_TRUE(form.isVisible());
        }
        form.findChild<QLineEdit*>(field)->setText(QStringLiteral("0"));
    }
    EXPECT_EQ(refreshes, 0);
    // Zero stays what it always was: the shortest interval, no delay.
    EXPECT_TRUE(form.OkClicked());
    EXPECT_EQ(settings.cycleInterval, 20u);
    EXPECT_EQ(settings.timingInterval, 20u);
    EXPECT_EQ(settings.receiveTriggerDelay, 0u);
}

namespace {

// Milliseconds run on their own; the time of day stands where the test puts it.
class StillDayClock : public Clock {
public:
    uint32_t Milliseconds() override { return TimeGetTime(); }
    std::string TimeOfDay() override {
        const uint32_t s = dayMs / 1000;
        return FormatTimeOfDay(static_cast<int>(s / 3600), static_cast<int>(s / 60 % 60),
                               static_cast<int>(s % 60));
    }
    std::optional<uint32_t> MillisecondOfDay() override { return dayMs; }
    uint32_t dayMs = 10 * 3600 * 1000;
};

} // namespace

// At rest the window thread has nothing scheduled: with the port open and quiet the pump
// and the status timer both sleep until a record comes; with a time trigger an hour ahead
// and the port closed the pump looks only every MaxPumpSleepMs, and the status timer
// sleeps.
TEST_F(WhileTrafficFlowsTest, AtRestThePumpAndTheStatusTimerSleep) {
    StillDayClock clock;
    MainWindowTest::Start(QString(), clock);
    TMainForm& form = *m_form;
    auto* pump = dynamic_cast<TQtTimer*>(&form.DataRT()->PumpTimer());
    ASSERT_NE(pump, nullptr);
    OpenLine(form);
    Receive(form, "A");
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return pump->Sleeping() && !form.Timer1->isActive(); }, 5000));
    EXPECT_EQ(form.StatusBarMY1->Panel(2)->text(), QStringLiteral("RX: 1"));

    // A record wakes both.
    Receive(form, "BC");
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return form.StatusBarMY1->Panel(2)->text() == QStringLiteral("RX: 3"); }, 5000));
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return pump->Sleeping() && !form.Timer1->isActive(); }, 5000));

    form.TbPort->trigger();
    ASSERT_FALSE(form.Connection()->Device->Connected());
    SettingsRecord& settings = form.Settings();
    settings.timingTriggerEnabled = true;
    settings.timingTriggerTime = 45000.0 + (clock.dayMs + 3600000) / 86400000.0;
    form.RefreshSettings();
    ASSERT_TRUE(form.DataRT()->TriggersOn);
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            return pump->Wait() == static_cast<int>(TDataRT::MaxPumpSleepMs) &&
                   !form.Timer1->isActive();
        },
        5000));
}
