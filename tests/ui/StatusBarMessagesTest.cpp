// The status bar as a user reads it: a send while the port is closed says so in the first
// panel for a few seconds without a box, and the modem lamps stay inside the window at any
// width.

#include "settings/SettingsFile.h"
#include "settings/SettingsTestSupport.h"
#include "traffic/DataRT.h"
#include "ui/MainWindowTest.h"
#include "ui/QtTestApp.h"
#include "ui/ScriptedPrompter.h"
#include "ui/main/MainForm.h"
#include "ui/main/RichView.h"
#include "ui/main/StatusBarMY.h"
#include "ui/send/SendForm.h"

#include <QAction>
#include <QTest>

#include <memory>

namespace {

class StatusBarMessagesTest : public MainWindowTest {
protected:
};

} // namespace

TEST_F(StatusBarMessagesTest, OpeningWithNoPortNameAsksForAPort) {
    TMainForm& form = Start();
    for (const char* name : {"", "   "}) {
        m_prompter.warnings.clear();
        form.CBoxPort->setCurrentIndex(-1);
        form.CBoxPort->setEditText(QString::fromLatin1(name));
        form.TbPort->trigger();
        ASSERT_EQ(m_prompter.warnings.size(), 1u) << '"' << name << '"';
        EXPECT_EQ(m_prompter.warnings[0].text, "Choose a port first.");
        EXPECT_FALSE(form.Connection()->Device->Connected());
    }
}

TEST_F(StatusBarMessagesTest, SendingWhileThePortIsClosedSaysSoForAFewSeconds) {
    TMainForm& form = Start();
    TStatusBarMY& bar = *form.StatusBarMY1;
    form.SendForm->RichSend->InsertText("01 02", TextAttributes{});
    const QString own = bar.PanelText(0);
    ASSERT_EQ(own, "F1 for help");

    // F5, the send window's button, and a cycle tick of automatic sending.
    const std::vector<std::function<void()>> sends = {
        [&] { form.N36->trigger(); },
        [&] { form.SendForm->ToolButton1->trigger(); },
        [&] { form.DataRT()->CycleTick(); },
    };
    for (const auto& send : sends) {
        send();
        EXPECT_EQ(bar.PanelText(0), "Port is closed");
        EXPECT_TRUE(m_prompter.warnings.empty());
        EXPECT_EQ(form.Connection()->TxCount.load(), 0);
    }
    EXPECT_TRUE(QTest::qWaitFor([&] { return bar.PanelText(0) == own; },
                                TMainForm::PortClosedMessageMs + 2000));
}

TEST_F(StatusBarMessagesTest, LampsStayInsideTheWindowAtAnyWidth) {
    TMainForm& form = Start();
    TStatusBarMY& bar = *form.StatusBarMY1;
    for (int width : {1200, 666, 600}) {
        SCOPED_TRACE(width);
        form.resize(width, 400);
        QTest::qWait(20);
        ASSERT_EQ(bar.width(), form.width());
        const QRect lamps = bar.LampPanel()->geometry();
        EXPECT_EQ(lamps.right() + 1, form.width() - 23);
        // The caret panel gives up the room; the lamps never cover what it shows.
        EXPECT_LE(bar.Panel(3)->geometry().right(), lamps.left());
        // A capture or a save in progress is shown between the caret panel and the lamps.
        bar.SetPanelText(4, QStringLiteral("Capture 12.3 MB"));
        EXPECT_LE(bar.Panel(3)->geometry().right(), bar.Panel(4)->geometry().left());
        EXPECT_LE(bar.Panel(4)->geometry().right(), lamps.left());
        EXPECT_GE(bar.Panel(4)->width(),
                  bar.Panel(4)->fontMetrics().horizontalAdvance(bar.Panel(4)->text()));
        bar.SetPanelText(4, QString());
    }
}
