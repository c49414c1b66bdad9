// Tools > Scripts...: the window around the script engine, with the port's side recorded
// and time driven by hand.

#include "QtTestApp.h"
#include "ScriptedPrompter.h"
#include "codec/HexCodec.h"
#include "protocol/ModbusFrames.h"
#include "settings/SettingsFile.h"
#include "traffic/EngineFakes.h"
#include "ui/MainWindowTest.h"
#include "ui/main/DockLayout.h"
#include "ui/main/StatusBarMY.h"
#include "ui/tools/ScriptUnit.h"

#include <QFile>
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
    // The dialog offers Lua scripts, in the prompter's "Name|pattern|..." form.
    ASSERT_EQ(prompter.openFilters.size(), 1);
    const QStringList filter = prompter.openFilters[0].split(QLatin1Char('|'));
    ASSERT_GE(filter.size(), 2);
    EXPECT_EQ(filter.size() % 2, 0);
    EXPECT_EQ(filter[1], QStringLiteral("*.lua"));
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

// With View > Decode on, on_receive gets each frame the window's decoder completed with a
// record, with info.modbus; the frames of sent records go nowhere; off, the record as it came.
TEST_F(ScriptFormTest, WithDecodingOnEachDecodedFrameReachesOnReceive) {
    form->SetPath(Write("frames.lua", R"(
        function on_receive(b, info)
            local m = info.modbus
            if not m then log('record ' .. #b) return end
            log(m.kind .. ' ' .. m.slave .. '/' .. m.func .. ' [' ..
                table.concat(m.registers or {}, ',') .. '] ' .. tostring(m.crc_ok) .. ' ' .. #b ..
                (m.reply_ms and (' after ' .. m.reply_ms) or ''))
        end
    )"));
    form->Start();
    ASSERT_TRUE(form->Running()) << Log().toStdString();
    // The main window's decoder, fed as the pump takes the records.
    TModbusRtuDecoder decoder;
    std::vector<TModbusFrame> frames;
    const auto record = [&](uint64_t timeMs, const std::string& header, const std::string& bytes,
                            bool decoding) {
        frames.clear();
        decoder.Feed(header[0] == 'T' ? TModbusDirection::Sent : TModbusDirection::Received, timeMs,
                     bytes, frames);
        form->Record(header + BytesToHex(bytes, " ") + " ", true, decoding ? &frames : nullptr);
    };
    const std::string reply1 = ModbusFramed("01 03 04 00 0A 00 0B");
    const std::string reply2 = ModbusFramed("01 03 04 00 0C 00 0D");
    record(1000, "T[12:00:01 ---]", ModbusFramed("01 03 00 00 00 02"), true);
    // The first reply cut over two records, then two replies in one record.
    record(1012, "R[12:00:01  12]", reply1.substr(0, 4), true);
    record(1013, "R[12:00:01   1]", reply1.substr(4), true);
    record(2000, "R[12:00:02 ---]", reply2 + reply2, true);
    // A reply whose CRC is wrong still comes, marked.
    std::string bad = reply1;
    bad.back() = static_cast<char>(bad.back() ^ 0x55);
    record(3000, "R[12:00:03 ---]", bad, true);
    record(4000, "R[12:00:04 ---]", reply1, false);
    EXPECT_EQ(notes, (std::vector<std::string>{
                         "frames.lua: reply 1/3 [10,11] true 9 after 12",
                         "frames.lua: reply 1/3 [12,13] true 9",
                         "frames.lua: reply 1/3 [12,13] true 9",
                         "frames.lua: reply 1/3 [10,11] false 9",
                         "frames.lua: record 9",
                     }))
        << Log().toStdString();
}

class ScriptWindowTest : public MainWindowTest {
protected:
    QString Write(const char* name, const std::string& text) {
        std::filesystem::create_directories(Folder() + "/scripts");
        const std::string path = Folder() + "/scripts/" + name;
        std::ofstream(path) << text;
        return QString::fromStdString(path);
    }
    static QString ConfigIni() {
        QFile ini(QString::fromStdString(DataFilePath(LayoutFileName)));
        return ini.open(QIODevice::ReadOnly) ? QString::fromUtf8(ini.readAll()) : QString();
    }
};

// [Options] ScriptFile: the chosen script is offered again after a restart, and runs only
// when the user starts it, however the port comes and goes.
TEST_F(ScriptWindowTest, TheChosenScriptIsKeptRestoredAndNeverStartedByItself) {
    const QString first = Write("first.lua", "function on_open() send_text('first') end\n"
                                             "function on_receive(b) send_text('r1') end\n");
    const QString second = Write("second.lua", "function on_open() send_text('second') end\n"
                                               "function on_receive(b) send_text('r2') end\n");
    const int master = RegisterPty("DEV");
    TMainForm& form = Start();
    form.AllCommands->trigger();
    form.ScriptsItem->trigger();
    ASSERT_NE(form.ScriptForm, nullptr);
    EXPECT_TRUE(form.ScriptForm->Path().isEmpty());
    m_prompter.fileNames.push_back(first);
    form.ScriptForm->ScriptChoose->click();
    EXPECT_EQ(form.Options().scriptFile, first);

    // Kept in config.ini; after a restart offered, not running, while the port opens and
    // traffic comes.
    Restart();
    EXPECT_TRUE(ConfigIni().contains(QStringLiteral("ScriptFile=") + first))
        << ConfigIni().toStdString();
    TMainForm& again = *m_form;
    OpenPort(again, QStringLiteral("DEV"));
    ASSERT_EQ(::write(master, "ping", 4), 4);
    ASSERT_TRUE(QTest::qWaitFor([&] { return again.Connection()->RxCount.load() == 4; }, 5000));
    QTest::qWait(0);
    again.ScriptsItem->trigger();
    ASSERT_NE(again.ScriptForm, nullptr);
    EXPECT_EQ(again.ScriptForm->Path(), first);
    EXPECT_FALSE(again.ScriptForm->Running());
    EXPECT_EQ(again.Connection()->TxCount.load(), 0) << "nothing was sent by a script";
    again.TbPort->trigger(); // closed and opened: still not started
    again.TbPort->trigger();
    EXPECT_FALSE(again.ScriptForm->Running());

    // Started by the user, it runs; a new choice replaces the kept one.
    again.ScriptForm->ScriptStart->click();
    EXPECT_TRUE(again.ScriptForm->Running());
    m_prompter.fileNames.push_back(second);
    again.ScriptForm->ScriptChoose->click();
    Restart();
    EXPECT_TRUE(ConfigIni().contains(QStringLiteral("ScriptFile=") + second));
    m_form->ScriptsItem->trigger();
    EXPECT_EQ(m_form->ScriptForm->Path(), second);
    EXPECT_FALSE(m_form->ScriptForm->Running());
}

// Decoding switched on in the View menu reaches a running script of the window: a reply
// written to the port arrives as a decoded frame.
TEST_F(ScriptWindowTest, ViewDecodeGivesTheWindowsScriptDecodedFrames) {
    const int master = RegisterPty("DEV");
    TMainForm& form = Start();
    form.AllCommands->trigger();
    OpenPort(form, QStringLiteral("DEV"));
    form.ScriptsItem->trigger();
    form.ScriptForm->SetPath(Write("slave.lua", R"(
        function on_receive(b, info)
            log(info.modbus and ('slave ' .. info.modbus.slave .. ' reg ' ..
                                 info.modbus.registers[1]) or ('raw ' .. #b))
        end
    )"));
    form.ScriptForm->ScriptStart->click();
    ASSERT_TRUE(form.ScriptForm->Running());
    const auto writeFrame = [&](const std::string& bytes) {
        ASSERT_EQ(::write(master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    };
    const std::string reply = ModbusFramed("07 03 02 01 2C");
    writeFrame(reply);
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return form.ScriptForm->ScriptLog->toPlainText().contains(QStringLiteral("raw 7")); },
        5000))
        << form.ScriptForm->ScriptLog->toPlainText().toStdString();
    form.DecodeModbus->trigger();
    writeFrame(reply);
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            return form.ScriptForm->ScriptLog->toPlainText().contains(
                QStringLiteral("slave 7 reg 300"));
        },
        5000))
        << form.ScriptForm->ScriptLog->toPlainText().toStdString();
}

} // namespace
