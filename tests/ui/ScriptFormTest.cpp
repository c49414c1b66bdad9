// Tools > Scripts...: the window around the script engine, with the port's side recorded
// and time driven by hand.

#include "QtTestApp.h"
#include "ScriptedPrompter.h"
#include "codec/HexCodec.h"
#include "traffic/EngineFakes.h"
#include "ui/tools/ScriptUnit.h"

#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>

#include <fstream>
#include <string>
#include <vector>

namespace {


class ScriptFormTest : public ::testing::Test {
protected:
    ScriptFormTest() {
        TScriptWindowHost host;
        host.send = [this](std::string_view bytes) { sent.push_back(BytesToHex(bytes, " ")); };
        host.setDtr = [this](bool on) { lines.push_back(on ? "dtr 1" : "dtr 0"); };
        host.setRts = [this](bool on) { lines.push_back(on ? "rts 1" : "rts 0"); };
        host.note = [this](const std::string& text) { notes.push_back(text); };
        host.portOpen = [this] { return portOpen; };
        form = std::make_unique<TScriptForm>(nullptr, prompter, clock, timers.Factory(),
                                             std::move(host));
    }
    QString Write(const char* name, const std::string& text) {
        const QString path = dir.filePath(QString::fromLatin1(name));
        std::ofstream(path.toStdString()) << text;
        return path;
    }
    QString Log() const { return form->ScriptLog->toPlainText(); }

    QTemporaryDir dir;
    ScriptedPrompter prompter;
    ManualClock clock;
    ManualTimerFactory timers;
    std::vector<std::string> sent, lines, notes;
    bool portOpen = true;
    std::unique_ptr<TScriptForm> form;
};

TEST_F(ScriptFormTest, ChosenScriptRunsOnlyAfterStartAndAnswersRecords) {
    const QString path = Write("answer.lua", R"(
        function on_open() log('open') end
        function on_receive(b, info) send(b .. crc('XOR', b)) log('gap ' .. info.gap) end
    )");
    prompter.fileNames.push_back(path);
    QString chosen;
    form->OnPathChosen = [&](const QString& p) { chosen = p; };
    form->ScriptChoose->click();
    EXPECT_EQ(chosen, path);
    EXPECT_EQ(form->ScriptPath->text(), path);
    EXPECT_FALSE(form->Running()) << "choosing never starts a script";
    form->Record("R[12:00:01  15]01 02 ", true);
    EXPECT_TRUE(sent.empty());

    form->ScriptStart->click();
    ASSERT_TRUE(form->Running()) << Log().toStdString();
    EXPECT_EQ(form->StatusText(), QStringLiteral("Script: answer.lua running"));
    form->Record("R[12:00:01  15]01 02 ", true);
    form->Record("R[12:00:02 ---]Hi", false);
    EXPECT_EQ(sent, (std::vector<std::string>{"01 02 03", "48 69 21"}));
    EXPECT_EQ(notes, (std::vector<std::string>{"answer.lua: open", "answer.lua: gap 15",
                                               "answer.lua: gap 1000"}));
    EXPECT_TRUE(Log().contains(QStringLiteral("gap 15")));

    form->ScriptStop->click();
    EXPECT_FALSE(form->Running());
    EXPECT_EQ(form->StatusText(), QStringLiteral("Script: answer.lua stopped"));
    form->Record("R[12:00:03  15]05 ", true);
    EXPECT_EQ(sent.size(), 2u);
}

TEST_F(ScriptFormTest, ErrorsAndAClosedPortAreShownAndTheScriptGoesOn) {
    form->SetPath(Write("errors.lua", "function on_receive(b)\n"
                                      "  if b == 'x' then error('no x here') end\n"
                                      "  send(b)\n"
                                      "end\n"));
    form->Start();
    form->Record("R[12:00:01  15]x", false);
    portOpen = false;
    form->Record("R[12:00:01  15]y", false);
    portOpen = true;
    form->Record("R[12:00:01  15]z", false);
    EXPECT_EQ(sent, std::vector<std::string>{"7A"});
    EXPECT_TRUE(Log().contains(QStringLiteral("error: errors.lua:2: no x here")))
        << Log().toStdString();
    EXPECT_TRUE(Log().contains(QStringLiteral("error: errors.lua:3: send: the port is closed")))
        << Log().toStdString();
    EXPECT_TRUE(form->Running());

    // A script that does not load says why and does not run.
    form->SetPath(Write("broken.lua", "x = = 1"));
    form->ScriptStart->click();
    EXPECT_FALSE(form->Running());
    EXPECT_TRUE(Log().contains(QStringLiteral("error: broken.lua:1:"))) << Log().toStdString();
}

TEST_F(ScriptFormTest, SequenceResultIsShown) {
    form->SetPath(Write("seq.lua", "run(function() dtr(true) wait(10) fail('device silent') end)"));
    form->Start();
    timers.timers.at(0)->Fire();
    clock.Advance(10);
    timers.timers.at(0)->Fire();
    EXPECT_EQ(lines, std::vector<std::string>{"dtr 1"});
    EXPECT_EQ(form->StatusText(), QStringLiteral("Script: seq.lua failed"));
    EXPECT_TRUE(Log().contains(QStringLiteral("failed: device silent")));
    EXPECT_EQ(form->ScriptState->text(), form->StatusText());
}

} // namespace
