// The main window with network ports: picked by name from the virtual-ports folder or typed
// in, through ser2net bridging a pseudo-terminal.
#include "serial/OruScomm.h"
#include "serial/PtyPeer.h"
#include "serial/Ser2netServer.h"
#include "settings/SettingsFile.h"
#include "settings/SettingsRecord.h"
#include "settings/SettingsTestSupport.h"
#include "ui/QtTestApp.h"
#include "ui/ScriptedPrompter.h"
#include "ui/main/ComComboBox.h"
#include "ui/main/MainForm.h"
#include "ui/main/RichView.h"
#include "ui/main/StatusBarMY.h"

#include <QAction>
#include <QTest>

#include <filesystem>
#include <fstream>
#include <termios.h>

namespace {

class NetPortWindowTest : public TempFolderTest {
protected:
    void SetUp() override {
        TempFolderTest::SetUp();
        DataFolder().clear();
        if (!Ser2netServer::Installed()) {
            GTEST_SKIP() << "ser2net is not installed";
        }
        termios raw{};
        tcgetattr(pty.master, &raw);
        cfmakeraw(&raw);
        tcsetattr(pty.master, TCSANOW, &raw);
        server = std::make_unique<Ser2netServer>(pty.path);
    }
    void TearDown() override {
        form.reset();
        server.reset();
        DataFolder().clear();
        TempFolderTest::TearDown();
    }
    TMainForm& Start() {
        settings = std::make_unique<SettingsRecord>();
        form = std::make_unique<TMainForm>(prompter, *settings);
        form->CreateWindows();
        form->show();
        return *form;
    }

    PtyPeer pty{true};
    std::unique_ptr<Ser2netServer> server;
    ScriptedPrompter prompter;
    std::unique_ptr<SettingsRecord> settings;
    std::unique_ptr<TMainForm> form;
};

TEST_F(NetPortWindowTest, ANetworkPortWorksLikeASerialOneAndARawOneSaysWhatItLacks) {
    std::filesystem::create_directories(Folder() + "/ports");
    std::ofstream(Folder() + "/ports/CABINET") << server->RawAddress() << "\n";
    TMainForm& f = Start();

    // Listed by its name; raw: data only, said once in the status bar, lamps dark.
    const int index = f.CBoxPort->findText("CABINET");
    ASSERT_GE(index, 0);
    f.CBoxPort->setCurrentIndex(index);
    f.TbPort->trigger();
    ASSERT_TRUE(f.Connection()->Device->Connected());
    EXPECT_EQ(f.StatusBarMY1->PanelText(0), "Raw TCP: data only");
    // The server opens the device (and empties its input) shortly after the connection.
    QTest::qWait(500);
    ASSERT_TRUE(pty.Write("\x01\xFF"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return f.RichShow->LineCount() == 1; }, 5000));
    EXPECT_EQ(f.RichShow->LineText(0).substr(15), "01 FF");
    EXPECT_FALSE(f.StatusBarMY1->LampLit(TStatusBarMY::LampCTS));
    f.TbPort->trigger();
    EXPECT_FALSE(f.Connection()->Device->Connected());
    EXPECT_EQ(f.StatusBarMY1->PanelText(0), "F1 for help");

    // Typed in: RFC 2217 carries the line settings, so nothing is said. Both addresses lead
    // to the same device, which the server frees a moment after the first connection ends.
    QTest::qWait(500);
    f.CBoxPort->setEditText(QString::fromStdString(server->TelnetAddress()));
    f.TbPort->trigger();
    ASSERT_TRUE(f.Connection()->Device->Connected());
    EXPECT_EQ(f.StatusBarMY1->PanelText(0), "F1 for help");
    QTest::qWait(500);
    ASSERT_TRUE(pty.Write("\xFF"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return f.RichShow->LineCount() == 2; }, 5000));
    EXPECT_EQ(f.RichShow->LineText(1).substr(15), "FF");
    f.TbPort->trigger();

    // Nothing listening: the open-failure box, the port stays closed.
    server->Stop();
    f.TbPort->trigger();
    ASSERT_EQ(prompter.warnings.size(), 1u);
    EXPECT_EQ(prompter.warnings[0].caption, "Open Port");
    EXPECT_FALSE(f.Connection()->Device->Connected());
}

} // namespace
