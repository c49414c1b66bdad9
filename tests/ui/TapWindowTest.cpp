// File > Tap a Second Port...: the tapped port's lines in the traffic view, in their own
// colour, until Close Tap; the colour chosen in the colours dialog and kept in config.ini.

#include "traffic/DataRT.h"
#include "ui/MainWindowTest.h"
#include "ui/main/RichView.h"
#include "ui/main/StatusBarMY.h"
#include "ui/main/TapControl.h"
#include "ui/tools/BColorSetUnit.h"

#include <QFrame>

#include <filesystem>
#include <unistd.h>

namespace {

class TapWindowTest : public MainWindowTest {
protected:
    // A line of the view ends with `text` (after the prefix the view's switches give).
    static bool Shows(TMainForm& form, const std::string& text) {
        return QTest::qWaitFor(
            [&] {
                for (int i = 0; i < form.RichShow->LineCount(); ++i) {
                    std::string line = form.RichShow->LineText(i);
                    while (!line.empty() && line.back() == ' ') {
                        line.pop_back();
                    }
                    if (line.ends_with(text)) {
                        return true;
                    }
                }
                return false;
            },
            10000);
    }
};

TEST_F(TapWindowTest, TappedLinesJoinTheViewMarkedUntilTheTapCloses) {
    const int first = RegisterPty("LINEA");
    const int second = RegisterPty("LINEB");
    TMainForm& form = Start();
    // The tap's commands come with All Commands.
    form.AllCommands->trigger();
    ASSERT_TRUE(form.Tap()->TapAction()->isVisible());
    form.CBoxPort->Reload();
    OpenPort(form, "LINEA");
    TTapControl& tap = *form.Tap();
    EXPECT_FALSE(tap.CloseAction()->isEnabled());
    EXPECT_FALSE(tap.Lamps()->isVisible());

    TTapLine line;
    line.port = "LINEB";
    ASSERT_TRUE(tap.Open(line)) << (m_prompter.warnings.empty()
                                        ? ""
                                        : m_prompter.warnings.back().text.toStdString());
    EXPECT_TRUE(tap.CloseAction()->isEnabled());
    EXPECT_TRUE(tap.Lamps()->isVisible());
    ASSERT_EQ(::write(first, "\x01\x02", 2), 2);
    ASSERT_TRUE(Shows(form, "01 02"));
    ASSERT_EQ(::write(second, "\x03\x04", 2), 2);
    ASSERT_TRUE(Shows(form, "<B] 03 04")) << form.RichShow->Text();
    EXPECT_EQ(tap.Connection()->RxCount.load(), 2);
    EXPECT_EQ(form.Connection()->RxCount.load(), 2);
    EXPECT_EQ(tap.Connection()->TxCount.load(), 0);

    // The same port twice is refused; the tap stays as it was.
    TTapLine same;
    same.port = form.Connection()->OpenedPort();
    EXPECT_FALSE(tap.Open(same));
    EXPECT_FALSE(tap.Active());
    ASSERT_FALSE(m_prompter.warnings.empty());
    EXPECT_EQ(m_prompter.warnings.back().caption, "Tap a Second Port");

    ASSERT_TRUE(tap.Open(line));
    tap.CloseAction()->trigger();
    EXPECT_FALSE(tap.Active());
    EXPECT_FALSE(tap.CloseAction()->isEnabled());
    EXPECT_FALSE(tap.Lamps()->isVisible());
    // The first port goes on alone.
    ASSERT_EQ(::write(first, "\x05", 1), 1);
    ASSERT_TRUE(Shows(form, "05"));
}

TEST_F(TapWindowTest, TheTapColourIsChosenInTheColoursDialogAndKeptInConfigIni) {
    TMainForm& form = Start();
    auto* colors = form.findChild<TBColorSetForm*>();
    ASSERT_NE(colors, nullptr);
    colors->show();
    ASSERT_TRUE(colors->Panel6->isVisible());
    EXPECT_EQ(colors->Panel6->Color(), DefaultTapTextColor);
    colors->Panel6->SetColor(0x00123456);
    colors->OkClicked();
    EXPECT_EQ(form.Options().tapTextColor, 0x00123456u);
    EXPECT_EQ(form.DataRT()->TapTextColor, 0x00123456u);

    TMainForm& again = Restart();
    EXPECT_EQ(again.Options().tapTextColor, 0x00123456u);
    EXPECT_EQ(again.DataRT()->TapTextColor, 0x00123456u);
    // The settings record is untouched by it.
    EXPECT_EQ(std::filesystem::file_size(DataFilePath(SettingsFileName)),
              static_cast<uintmax_t>(SettingsRecord::Size));
}

// The tap's lamp group stands just left of the first port's lamps; a status text too long
// for the bar (a decoder's count, a capture's progress) ends where the group begins, in a
// narrow window and a wide one, and has the room back once the tap closes.
TEST_F(TapWindowTest, TheTapLampsNeverCoverTheStatusText) {
    RegisterPty("LINEA");
    RegisterPty("LINEB");
    TMainForm& form = Start();
    form.CBoxPort->Reload();
    OpenPort(form, "LINEA");
    TTapControl& tap = *form.Tap();
    TStatusBarMY& bar = *form.StatusBarMY1;
    const QString text = QStringLiteral("Modbus: 28 frames, 0 bad CRC, 0 exceptions").repeated(4);
    for (const int width : {614, 1300}) {
        SCOPED_TRACE(width);
        form.resize(width, 600);
        ASSERT_TRUE(QTest::qWaitFor([&] { return form.width() == width; }));
        TTapLine line;
        line.port = "LINEB";
        ASSERT_TRUE(tap.Open(line));
        bar.SetPanelText(4, text);
        const QRect group = tap.Lamps()->geometry();
        EXPECT_TRUE(tap.Lamps()->isVisible());
        EXPECT_LT(bar.Panel(4)->geometry().right(), group.left());
        EXPECT_LT(group.right(), bar.LampPanel()->x());
        EXPECT_GT(group.left(), bar.Panel(2)->geometry().right());

        tap.Close();
        bar.SetPanelText(4, text);
        EXPECT_GT(bar.Panel(4)->geometry().right(), group.left());
        EXPECT_LT(bar.Panel(4)->geometry().right(), bar.LampPanel()->x());
    }
}

} // namespace
