#pragma once
// A main window started the way the program starts it, in a data folder of the test's own
// (located anew for every test), with a prompter that records what it is asked.

#include "serial/OruScomm.h"
#include "settings/SettingsFile.h"
#include "settings/SettingsRecord.h"
#include "settings/SettingsTestSupport.h"
#include "ui/QtTestApp.h"
#include "ui/ScriptedPrompter.h"
#include "ui/main/ComComboBox.h"
#include "ui/main/MainForm.h"

#include <QAction>
#include <QTest>

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <csignal>
#include <pty.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

class MainWindowTest : public TempFolderTest {
protected:
    void SetUp() override {
        TempFolderTest::SetUp();
        DataFolder().clear();
    }
    void TearDown() override {
        m_form.reset(); // the port closed before its device goes
        if (m_portsim > 0) {
            ::kill(m_portsim, SIGTERM);
            int status = 0;
            ::waitpid(m_portsim, &status, 0);
        }
        for (int fd : m_fds) {
            ::close(fd);
        }
        DataFolder().clear();
        TempFolderTest::TearDown();
    }

    // The program's start-up sequence: settings from the data folder, the windows, the
    // traffic view's capacity, the command-line file when there is one, then shown.
    // Created runs just before the first showing.
    TMainForm& Start(const QString& commandLineFile = QString(),
                     Clock& clock = SystemClock::Instance()) {
        m_settings = std::make_unique<SettingsRecord>();
        m_form = std::make_unique<TMainForm>(m_prompter, *m_settings, clock);
        m_form->CreateWindows();
        m_form->SetTextCapacity(2147482623);
        if (!commandLineFile.isEmpty()) {
            m_form->LoadCommandLineFile(commandLineFile);
        }
        Created(*m_form);
        m_form->show();
        EXPECT_NE(m_form->DataRT(), nullptr);
        return *m_form;
    }
    virtual void Created(TMainForm& form) { (void)form; }
    // Closed as the user closes it (settings and layout written), then started again.
    TMainForm& Restart() {
        Close();
        return Start();
    }
    void Close() {
        m_form->close();
        m_form.reset();
    }
    // A pseudo-terminal registered in the ports folder as `name`; returns its master side.
    // Both sides stay open until the test ends, so the line stays up while the program
    // closes and reopens the port.
    int RegisterPty(const std::string& name, std::string* slavePath = nullptr) {
        int master = -1;
        int slave = -1;
        char path[128] = {};
        EXPECT_EQ(openpty(&master, &slave, path, nullptr, nullptr), 0);
        m_fds.push_back(master);
        m_fds.push_back(slave);
        std::filesystem::create_directories(Folder() + "/ports");
        std::filesystem::create_symlink(path, Folder() + "/ports/" + name);
        if (slavePath != nullptr) {
            *slavePath = path;
        }
        return master;
    }

    // Picks `name` in the port list and opens it with the port button.
    static void OpenPort(TMainForm& form, const QString& name) {
        const int index = form.CBoxPort->findText(name);
        ASSERT_GE(index, 0) << name.toStdString();
        form.CBoxPort->setCurrentIndex(index);
        form.TbPort->trigger();
        ASSERT_TRUE(form.Connection()->Device->Connected());
    }

#ifdef PORTSIM_PATH
    // The simulated Modbus device (address 1), registered as port SIM0; ended with the test.
    void StartPortsim() {
        const std::string dir = Folder() + "/ports";
        std::vector<std::string> args = {PORTSIM_PATH, "--dir", dir, "--name", "SIM0", "modbus"};
        std::vector<char*> argv;
        for (std::string& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        ASSERT_EQ(::posix_spawn(&m_portsim, PORTSIM_PATH, nullptr, nullptr, argv.data(), environ),
                  0);
        ASSERT_TRUE(QTest::qWaitFor(
            [&] { return std::filesystem::is_symlink(std::filesystem::path(dir) / "SIM0"); },
            5000));
    }
#endif

    ScriptedPrompter m_prompter;
    std::unique_ptr<SettingsRecord> m_settings;
    std::unique_ptr<TMainForm> m_form;
    std::vector<int> m_fds;
    pid_t m_portsim = 0;
};
