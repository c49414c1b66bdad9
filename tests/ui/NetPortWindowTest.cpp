// The main window with network ports: picked by name from the virtual-ports folder or typed
// in, through ser2net bridging a pseudo-terminal; a server that goes away and comes back.
#include "serial/LoopbackListener.h"
#include "serial/OruScomm.h"
#include "serial/PtyPeer.h"
#include "serial/Ser2netServer.h"
#include "settings/SettingsFile.h"
#include "settings/SettingsRecord.h"
#include "settings/SettingsTestSupport.h"
#include "traffic/PortSession.h"
#include "ui/MainWindowTest.h"
#include "ui/QtTestApp.h"
#include "ui/ScriptedPrompter.h"
#include "ui/main/ComComboBox.h"
#include "ui/main/MainForm.h"
#include "ui/main/RichView.h"
#include "ui/main/StatusBarMY.h"

#include <QAction>
#include <QTest>
#include <QTimer>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sys/socket.h>
#include <termios.h>
#include <thread>

namespace {

// Times of day are fixed so that the texts can be compared whole.
class FixedTimeClock : public Clock {
public:
    uint32_t Milliseconds() override { return SystemClock::Instance().Milliseconds(); }
    std::string TimeOfDay() override { return "12:34:56"; }
};

class NetPortWindowTest : public MainWindowTest {
protected:
    void SetUp() override {
        MainWindowTest::SetUp();
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
        m_form.reset();
        server.reset();
        MainWindowTest::TearDown();
    }
    TMainForm& Start() { return MainWindowTest::Start(QString(), clock); }

    static std::string LastLine(TMainForm& f) {
        // The view ends with an empty line after the last line break.
        for (int i = f.RichShow->LineCount() - 1; i >= 0; --i) {
            if (!f.RichShow->LineText(i).empty()) {
                return f.RichShow->LineText(i);
            }
        }
        return std::string();
    }
    static bool LastLineHas(TMainForm& f, const std::string& text) {
        return QTest::qWaitFor([&] { return LastLine(f).find(text) != std::string::npos; }, 5000);
    }
    // The port button on a network port: the open runs off the window's thread; true when
    // it ended with the port open.
    static bool OpenWith(TMainForm& f) {
        f.TbPort->trigger();
        return QTest::qWaitFor([&] { return !f.OpeningPort(); }, 10000) &&
               f.Connection()->Device->Connected();
    }
    // The server has the device open (it opens it a moment after the connection).
    bool DeviceOpen() const {
        return QTest::qWaitFor([&] { return server->HasOpen(pty.path); }, 5000);
    }
    termios SlaveSettings() const {
        termios tio{};
        tcgetattr(pty.slave, &tio);
        return tio;
    }

    PtyPeer pty{true};
    std::unique_ptr<Ser2netServer> server;
    FixedTimeClock clock;
};

TEST_F(NetPortWindowTest, ANetworkPortWorksLikeASerialOneAndARawOneSaysWhatItLacks) {
    std::filesystem::create_directories(Folder() + "/ports");
    std::ofstream(Folder() + "/ports/CABINET") << server->RawAddress() << "\n";
    TMainForm& f = Start();

    // Listed by its name; raw: data only, said once in the status bar, lamps dark.
    const int index = f.CBoxPort->findText("CABINET");
    ASSERT_GE(index, 0);
    f.CBoxPort->setCurrentIndex(index);
    ASSERT_TRUE(OpenWith(f));
    EXPECT_EQ(f.StatusBarMY1->PanelText(0), "Raw TCP: data only");
    ASSERT_TRUE(DeviceOpen());
    ASSERT_TRUE(pty.Write("\x01\xFF"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return f.RichShow->LineCount() == 1; }, 5000));
    EXPECT_EQ(f.RichShow->LineText(0).substr(15), "01 FF");
    EXPECT_FALSE(f.StatusBarMY1->LampLit(TStatusBarMY::LampCTS));
    f.TbPort->trigger();
    EXPECT_FALSE(f.Connection()->Device->Connected());
    EXPECT_EQ(f.StatusBarMY1->PanelText(0), "F1 for help");

    // Typed in: RFC 2217 carries the line settings, so nothing is said. Both addresses lead
    // to the same device, which the server frees a moment after the first connection ends.
    // Until then the server turns the connection away, and the open says so.
    f.CBoxPort->setEditText(QString::fromStdString(server->TelnetAddress()));
    ASSERT_TRUE(QTest::qWaitFor([&] { return OpenWith(f); }, 5000));
    m_prompter.warnings.clear();
    EXPECT_EQ(f.StatusBarMY1->PanelText(0), "F1 for help");
    ASSERT_TRUE(DeviceOpen());
    ASSERT_TRUE(pty.Write("\xFF"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return f.RichShow->LineCount() == 2; }, 5000));
    EXPECT_EQ(f.RichShow->LineText(1).substr(15), "FF");
    f.TbPort->trigger();

    // Nothing listening: the open-failure box, the port stays closed.
    server->Stop();
    EXPECT_FALSE(OpenWith(f));
    ASSERT_EQ(m_prompter.warnings.size(), 1u);
    EXPECT_EQ(m_prompter.warnings[0].caption, "Open Port");
    EXPECT_FALSE(f.Connection()->Device->Connected());
}

// The server going away is an unplugged device: the port closes, the window says so and
// waits; the server back on the same address reopens the port with the same line settings.
TEST_F(NetPortWindowTest, AServerThatGoesAwayIsAnUnpluggedDeviceAndComesBackTheSame) {
    std::filesystem::create_directories(Folder() + "/ports");
    std::ofstream(Folder() + "/ports/CABINET") << server->TelnetAddress() << "\n";
    TMainForm& f = Start();
    ASSERT_TRUE(f.ReconnectAuto->isChecked());
    f.CBoxPort->setCurrentIndex(f.CBoxPort->findText("CABINET"));
    // Settings the server would not make by itself: it sets 9600 8N1 at every connection.
    // (A pseudo-terminal keeps the rate and the stop bits; it forces 8 bits, no parity.)
    f.CBoxBaudRate->setCurrentText("38400");
    f.CBoxStopBits->setCurrentText("2");
    ASSERT_TRUE(OpenWith(f));
    ASSERT_TRUE(DeviceOpen());
    ASSERT_TRUE(pty.Write("\x01\x02"));
    ASSERT_TRUE(LastLineHas(f, "01 02"));

    server->Stop();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !f.Connection()->Device->Connected(); }, 5000));
    EXPECT_EQ(f.StatusBarMY1->PanelText(0), "CABINET disconnected 12:34:56");
    EXPECT_EQ(LastLine(f), "--- CABINET disconnected 12:34:56");
    EXPECT_EQ(f.N33->text(), "Open Port");
    EXPECT_TRUE(f.Reconnect()->Waiting());
    // Looks at a refusing address change nothing.
    for (int look = 0; look < 3; ++look) {
        f.Reconnect()->Check();
    }
    EXPECT_FALSE(f.Connection()->Device->Connected());
    EXPECT_TRUE(f.Reconnect()->Waiting());
    EXPECT_TRUE(m_prompter.warnings.empty());
    // Meanwhile the device is set otherwise, so that only a reopen that sends the settings
    // again passes.
    termios tio = SlaveSettings();
    cfsetspeed(&tio, B9600);
    tio.c_cflag &= ~CSTOPB;
    tcsetattr(pty.slave, TCSANOW, &tio);

    ASSERT_TRUE(server->Start());
    ASSERT_TRUE(QTest::qWaitFor([&] { return f.Connection()->Device->Connected(); }, 5000));
    EXPECT_FALSE(f.Reconnect()->Waiting());
    EXPECT_EQ(f.StatusBarMY1->PanelText(0), "CABINET reconnected 12:34:56");
    EXPECT_EQ(LastLine(f), "--- CABINET reconnected 12:34:56");
    EXPECT_EQ(f.N33->text(), "Close Port");
    tio = SlaveSettings();
    EXPECT_EQ(cfgetospeed(&tio), B38400);
    EXPECT_NE(tio.c_cflag & CSTOPB, 0u);
    ASSERT_TRUE(DeviceOpen());
    ASSERT_TRUE(pty.Write("\x0A\x0B"));
    ASSERT_TRUE(LastLineHas(f, "0A 0B"));
    EXPECT_TRUE(m_prompter.warnings.empty());
}

// While the port is awaited, an address where connection attempts go unanswered: the
// window's looks come back while the attempt goes on (the driver's test shows on its clock
// that a look waits ReturnWaitMs at most), and once the address answers the port is
// reopened over the one connection the attempt made.
TEST_F(NetPortWindowTest, AnAddressThatNeverAnswersDoesNotHoldUpTheWindowWhileAwaited) {
    LoopbackListener listener;
    ASSERT_TRUE(listener.Listening());
    TMainForm& f = Start();
    f.CBoxPort->setEditText(QString::fromStdString(listener.Address()));
    ASSERT_TRUE(OpenWith(f));
    int peer = listener.Accept(2000);
    ASSERT_GE(peer, 0);
    listener.Silence();
    close(peer);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !f.Connection()->Device->Connected(); }, 5000));
    ASSERT_TRUE(f.Reconnect()->Waiting());
    for (int look = 0; look < 3; ++look) {
        f.Reconnect()->Check();
    }
    EXPECT_FALSE(f.Connection()->Device->Connected());
    EXPECT_TRUE(f.Reconnect()->Waiting());

    // Answering again, it is reopened: with the next try of the attempt under way, or the
    // next attempt.
    listener.Answer();
    ASSERT_TRUE(QTest::qWaitFor([&] { return f.Connection()->Device->Connected(); }, 10000));
    peer = listener.Accept(2000);
    ASSERT_GE(peer, 0);
    EXPECT_EQ(listener.Accept(0), -1) << "a second connection";
    ASSERT_EQ(write(peer, "\x7E", 1), 1);
    ASSERT_TRUE(LastLineHas(f, "7E"));
}

// A server that takes the connection and never answers the hello: the open runs off the
// window's thread, whose timers keep beating meanwhile; the port button offers to stop the
// attempt and stopping it leaves the port closed, saying so. Left alone, the attempt is the
// one connection, given up at the driver's limit with the usual box.
TEST_F(NetPortWindowTest, ASilentServerIsOpenedOffTheWindowsThreadAndCanBeStopped) {
    LoopbackListener listener;
    ASSERT_TRUE(listener.Listening());
    TMainForm& f = Start();
    const std::string address = listener.Address("rfc2217");
    f.CBoxPort->setEditText(QString::fromStdString(address));
    int beats = 0;
    QTimer beat;
    QObject::connect(&beat, &QTimer::timeout, [&] { ++beats; });
    beat.start(5);

    for (const bool stop : {true, false}) {
        SCOPED_TRACE(stop ? "stopped" : "left alone");
        f.TbPort->trigger();
        ASSERT_TRUE(f.OpeningPort());
        EXPECT_EQ(f.N33->text(), "Stop Opening");
        EXPECT_EQ(f.TbPort->toolTip(), "Stop Opening");
        EXPECT_FALSE(f.CBoxPort->isEnabled());
        EXPECT_EQ(f.StatusBarMY1->PanelText(0).toStdString(), "Opening " + address + " ...");
        const int peer = listener.Accept(10000);
        ASSERT_GE(peer, 0);
        const int before = beats;
        ASSERT_TRUE(QTest::qWaitFor([&] { return beats >= before + 3 || !f.OpeningPort(); }));
        ASSERT_TRUE(f.OpeningPort()) << "the window's timer did not beat during the attempt";
        if (stop) {
            f.TbPort->trigger();
        }
        ASSERT_TRUE(QTest::qWaitFor([&] { return !f.OpeningPort(); }, 10000));
        EXPECT_FALSE(f.Connection()->Device->Connected());
        EXPECT_EQ(f.N33->text(), "Open Port");
        EXPECT_TRUE(f.CBoxPort->isEnabled());
        if (stop) {
            EXPECT_TRUE(m_prompter.warnings.empty());
            EXPECT_EQ(f.StatusBarMY1->PanelText(0).toStdString(), address + " not opened: stopped");
        } else {
            ASSERT_EQ(m_prompter.warnings.size(), 1u);
            const std::string text = m_prompter.warnings[0].text.toStdString();
            EXPECT_NE(text.find("No answer from 127.0.0.1:" + std::to_string(listener.Port()) +
                                " within 3 s"),
                      std::string::npos)
                << text;
            m_prompter.warnings.clear();
            EXPECT_EQ(listener.Accept(0), -1) << "a second attempt";
        }
        // The connection is given up (after the hello the server never answered).
        ASSERT_TRUE(QTest::qWaitFor([&] {
            char buffer[256];
            ssize_t n = 0;
            while ((n = recv(peer, buffer, sizeof buffer, MSG_DONTWAIT)) > 0) {
            }
            return n == 0;
        }));
    }
}

// A server that takes every connection and ends it at once: the window tries again later
// each time, and the status bar and the grey line say when.
TEST_F(NetPortWindowTest, AServerThatDropsEveryConnectionIsTriedLessOften) {
    LoopbackListener listener;
    ASSERT_TRUE(listener.Listening());
    std::atomic<bool> done{false};
    std::thread dropper([&] {
        while (!done) {
            if (const int peer = listener.Accept(20); peer >= 0) {
                shutdown(peer, SHUT_RDWR);
            }
        }
    });
    TMainForm& f = Start();
    const std::string address = listener.Address();
    f.CBoxPort->setEditText(QString::fromStdString(address));
    f.TbPort->trigger();
    const std::string said = address + " disconnected 12:34:56, next try in 2 s";
    const bool waited =
        QTest::qWaitFor([&] { return f.StatusBarMY1->PanelText(0).toStdString() == said; }, 30000);
    EXPECT_EQ(LastLine(f), "--- " + said);
    // The port button ends the wait.
    f.TbPort->trigger();
    EXPECT_FALSE(f.Reconnect()->Waiting());
    done = true;
    dropper.join();
    ASSERT_TRUE(waited) << f.StatusBarMY1->PanelText(0).toStdString();
}

} // namespace
