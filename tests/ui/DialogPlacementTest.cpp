// Dialogs on a 1024x768 screen: the settings dialog switching from its Cycle page to the
// larger Trigger page keeps its whole frame (Ok, Cancel, both Enable boxes) on the screen,
// and every dialog shown at any pointer position opens whole on the screen. The offscreen
// platform is given a screen of that size before the application starts.

#include "ui/MainWindowTest.h"
#include "ui/QtTestApp.h"
#include "ui/main/MainForm.h"
#include "ui/send/SetForm.h"

#include <QGuiApplication>
#include <QScreen>
#include <QTest>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

// Runs before main, so before the test application reads its platform.
const bool kSmallScreen = [] {
    const std::string config =
        (std::filesystem::temp_directory_path() / "korvane-screen-1024x768.json").string();
    std::ofstream(config) << R"({"screens": [{"name": "small", "x": 0, "y": 0, "width": 1024,)"
                          << R"( "height": 768, "logicalDpi": 96, "logicalBaseDpi": 96,)"
                          << R"( "dpr": 1}]})";
    return setenv("QT_QPA_PLATFORM", ("offscreen:configfile=" + config).c_str(), 1) == 0;
}();

class DialogPlacementTest : public MainWindowTest {
protected:
    static QRect Area() { return QGuiApplication::primaryScreen()->availableGeometry(); }
};

} // namespace

TEST_F(DialogPlacementTest, TheTriggerPageOpenedFromTheCyclePageStaysWholeOnTheScreen) {
    ASSERT_TRUE(kSmallScreen);
    TMainForm& form = Start();
    ASSERT_EQ(Area().size(), QSize(1024, 768));
    auto* dialog = form.findChild<TSetForm*>(QStringLiteral("SetForm"));
    ASSERT_NE(dialog, nullptr);
    const QPoint pointers[] = {{1020, 765}, {5, 765}, {1020, 5}, {5, 5}, {400, 700}, {300, 400}};
    for (const QPoint& pointer : pointers) {
        SCOPED_TRACE(std::to_string(pointer.x()) + "," + std::to_string(pointer.y()));
        QCursor::setPos(pointer);
        dialog->ShowCyclePage(true);
        ASSERT_EQ(dialog->size(), QSize(TSetForm::CyclePageWidth, TSetForm::CyclePageHeight));
        EXPECT_TRUE(Area().contains(dialog->frameGeometry()));
        const QRect cycle = dialog->frameGeometry();

        dialog->ShowTriggerPage(true);
        ASSERT_EQ(dialog->size(), QSize(TSetForm::TriggerPageWidth, TSetForm::TriggerPageHeight));
        const QRect trigger = dialog->frameGeometry();
        EXPECT_TRUE(Area().contains(trigger));
        // Moved only as far as it had to: where the larger page fits in place, it stays.
        if (Area().contains(QRect(cycle.topLeft(), trigger.size()))) {
            EXPECT_EQ(trigger.topLeft(), cycle.topLeft());
        }
        // And back to the smaller page: nothing to move.
        dialog->ShowCyclePage(true);
        EXPECT_EQ(dialog->frameGeometry().topLeft(), trigger.topLeft());
        dialog->hide();
    }
}

TEST_F(DialogPlacementTest, EveryDialogOpensWholeOnTheScreenWhereverThePointerIs) {
    TMainForm& form = Start();
    const QPoint pointers[] = {{1023, 767}, {0, 767}, {1023, 0}, {0, 0}, {512, 384}};
    for (const char* name : {"SetForm", "FilterForm", "FindDialog", "BColorSetForm", "TimeSaveForm",
                             "HexDecForm", "AscForm", "aboutForm"}) {
        auto* dialog = form.findChild<QWidget*>(QString::fromLatin1(name));
        ASSERT_NE(dialog, nullptr) << name;
        for (const QPoint& pointer : pointers) {
            SCOPED_TRACE(std::string(name) + " at " + std::to_string(pointer.x()) + "," +
                         std::to_string(pointer.y()));
            QCursor::setPos(pointer);
            // Even a dialog left partly off the screen at its last showing.
            dialog->move(900, 700);
            dialog->show();
            EXPECT_TRUE(Area().contains(dialog->frameGeometry()))
                << dialog->frameGeometry().x() << "," << dialog->frameGeometry().y() << " "
                << dialog->frameGeometry().width() << "x" << dialog->frameGeometry().height();
            dialog->hide();
        }
    }
}
