// The script engine against a recording host, a hand-driven clock and timer.

#include "script/ScriptEngine.h"

#include "codec/ChecksumNames.h"
#include "codec/HexCodec.h"
#include "protocol/ModbusRtu.h"
#include "traffic/EngineFakes.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace {

// Every call of the engine as one line: "send 01 02", "dtr 1", "log text", "error text".
class RecordingHost : public TScriptHost {
public:
    void Send(std::string_view bytes) override {
        if (refuseSend) {
            throw std::runtime_error("port closed");
        }
        calls.push_back("send " + BytesToHex(bytes, " "));
    }
    void SetDtr(bool on) override { calls.push_back(std::string("dtr ") + (on ? "1" : "0")); }
    void SetRts(bool on) override { calls.push_back(std::string("rts ") + (on ? "1" : "0")); }
    void Log(const std::string& text) override { calls.push_back("log " + text); }
    void Error(const std::string& text) override { calls.push_back("error " + text); }

    std::vector<std::string> Take() { return std::exchange(calls, {}); }

    std::vector<std::string> calls;
    bool refuseSend = false;
};

class Script : public ::testing::Test {
protected:
    Script() : engine(host, clock, timers.Factory()) {}

    bool Load(const std::string& source,
              const std::vector<std::pair<std::string, std::string>>& args = {}) {
        return engine.LoadText("t.lua", source, args);
    }
    // Time passes; the engine's timer fires once.
    void Tick(uint32_t ms = 0) {
        clock.Advance(ms);
        timers.timers.at(0)->Fire();
    }
    void Receive(std::string_view bytes, uint32_t gap = 0) {
        TScriptRecordInfo info;
        info.timeMs = clock.ms;
        info.timeOfDay = "12:00:01";
        info.gapMs = gap;
        engine.Received(bytes, info);
    }

    RecordingHost host;
    ManualClock clock;
    ManualTimerFactory timers;
    TScriptEngine engine;
};

using Calls = std::vector<std::string>;

TEST_F(Script, EachFunctionReachesTheHostAsAsked) {
    const struct {
        const char* source;
        Calls calls;
    } cases[] = {
        {"send('01 03 00 0a')", {"send 01 03 00 0A"}},
        {"send('\\1\\3xyz')", {"send 01 03 78 79 7A"}},
        // Control bytes before digits are bytes, not blanks around hex text.
        {"send('\\1\\3\\2\\0\\6' .. '8F')", {"send 01 03 02 00 06 38 46"}},
        {"send_text('12')", {"send 31 32"}},
        {"dtr(true) rts(false) dtr(false) rts(1)", {"dtr 1", "rts 0", "dtr 0", "rts 1"}},
        {"log('a', 1, nil) print(true)", {"log a\t1\tnil", "log true"}},
        {"log(hex('\\1\\255A'))", {"log 01 FF 41"}},
        {"log(args.unit, args.mode)", {"log 7\tslow"}},
        {"on_open = function() log('open') end", {"log open"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.source);
        ASSERT_TRUE(Load(c.source, {{"unit", "7"}, {"mode", "slow"}})) << host.calls.front();
        engine.Opened();
        EXPECT_EQ(host.Take(), c.calls);
    }
}

TEST_F(Script, HandlersGetTheTrafficWithItsInfo) {
    ASSERT_TRUE(Load(R"(
        function on_receive(b, info) log('rx', hex(b), info.gap, info.time, info.ms) end
        function on_send(b) log('tx', hex(b)) end
        function on_close() log('closed') end
    )"));
    clock.Advance(42);
    Receive("\x01\x02", 15);
    engine.Sent("\xAA");
    engine.Closed();
    EXPECT_EQ(host.Take(), (Calls{"log rx\t01 02\t15\t12:00:01\t42", "log tx\tAA", "log closed"}));
}

TEST_F(Script, DecodedModbusFramesCarryTheirFields) {
    ASSERT_TRUE(Load(R"(
        function on_receive(b, info)
            local m = info.modbus
            log(hex(b), m.kind, m.slave, m.func, m.crc_ok, m.address, m.quantity,
                m.registers[1], m.registers[2])
        end
    )"));
    const auto frame = [](std::string body) {
        const uint16_t crc =
            ModbusCrc16(reinterpret_cast<const uint8_t*>(body.data()), body.size());
        return body + static_cast<char>(crc & 0xFF) + static_cast<char>(crc >> 8);
    };
    TModbusRtuDecoder decoder;
    std::vector<TModbusFrame> frames;
    decoder.Feed(TModbusDirection::Sent, 0, frame(std::string("\x01\x03\x00\x10\x00\x02", 6)),
                 frames);
    decoder.Feed(TModbusDirection::Received, 5,
                 frame(std::string("\x01\x03\x04\x00\x2A\x00\x07", 7)), frames);
    ASSERT_EQ(frames.size(), 2u);
    TScriptRecordInfo info;
    info.frame = &frames[1];
    const std::string bytes(frames[1].bytes.begin(), frames[1].bytes.end());
    engine.Received(bytes, info);
    EXPECT_EQ(host.Take(),
              (Calls{"log " + BytesToHex(bytes, " ") + "\treply\t1\t3\ttrue\t16\t2\t42\t7"}));
}

TEST_F(Script, CrcAppendsWhatTheSendWindowAppends) {
    for (const TChecksumChoice& choice : ChecksumChoices()) {
        SCOPED_TRACE(choice.name);
        const std::string body = "01 03 00 00 00 0A";
        const std::string expected =
            "send " +
            BytesToHex(HexToBytes(NormalizeHex(body + " " + ChecksumText(body, choice.algorithm))),
                       " ");
        // Hex text and raw bytes give the same frame; the name's letter case does not matter.
        ASSERT_TRUE(Load(std::string("local k = '") + choice.name + "'\n" + "send('" + body +
                         "' .. crc(k, '" + body + "'))\n" + "local raw = '\\1\\3\\0\\0\\0\\10'\n" +
                         "send(raw .. crc(k:lower(), raw))\n"));
        EXPECT_EQ(host.Take(), (Calls{expected, expected}));
    }
    EXPECT_FALSE(Load("crc('CRC-99', '01')"));
    ASSERT_EQ(host.calls.size(), 1u);
    EXPECT_EQ(host.calls[0].rfind("error t.lua:1: crc: no checksum \"CRC-99\" (one of SUM", 0), 0u)
        << host.calls[0];
}

TEST_F(Script, SandboxHasNoFilesProcessesModulesOrBinaryChunks) {
    ASSERT_TRUE(Load(R"(
        log(type(io), type(os), type(require), type(package), type(debug), type(dofile),
            type(loadfile))
        log(type(string), type(table), type(math), type(utf8), type(coroutine))
        log(select(2, load(string.dump(function() end))))
        log(load('return 6 * 7')())
    )"));
    const Calls calls = host.Take();
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[0], "log nil\tnil\tnil\tnil\tnil\tnil\tnil");
    EXPECT_EQ(calls[1], "log table\ttable\ttable\ttable\ttable");
    EXPECT_NE(calls[2].find("binary"), std::string::npos) << calls[2];
    EXPECT_EQ(calls[3], "log 42");
}

TEST_F(Script, ErrorsNameFileAndLineAndTheScriptGoesOn) {
    host.refuseSend = true;
    ASSERT_TRUE(Load("function on_receive(b)\n"
                     "  if b == 'x' then error('bad byte') end\n"
                     "  send(b)\n"
                     "end\n"));
    Receive("x");
    Receive("y");
    host.refuseSend = false;
    Receive("z");
    EXPECT_EQ(host.Take(),
              (Calls{"error t.lua:2: bad byte", "error t.lua:3: send: port closed", "send 7A"}));
    EXPECT_EQ(engine.State(), TScriptEngine::TState::Running);

    // A chunk that does not compile or fails at once is not loaded.
    EXPECT_FALSE(Load("x = = 1"));
    EXPECT_FALSE(Load("\n\nlocal t = nil; t.x = 1"));
    const Calls errors = host.Take();
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_EQ(errors[0].rfind("error t.lua:1: ", 0), 0u) << errors[0];
    EXPECT_EQ(errors[1].rfind("error t.lua:3: attempt to index", 0), 0u) << errors[1];
    EXPECT_EQ(engine.State(), TScriptEngine::TState::Idle);
}

TEST_F(Script, EndlessLoopIsStoppedWithScriptAndLine) {
    // In a handler, in the main chunk, and behind the script's own pcall.
    const struct {
        const char* source;
        bool loads;
        const char* where;
    } cases[] = {
        {"function on_receive()\n  while true do end\nend\n", true, "error t.lua:2: stopped"},
        {"local n = 0\nrepeat n = n + 1 until false\n", false, "error t.lua:2: stopped"},
        {"function on_receive()\n  while true do pcall(function()\n    while true do end end)\n"
         "  end\nend\n",
         true, "error t.lua:"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.source);
        ASSERT_EQ(Load(c.source), c.loads);
        if (c.loads) {
            Receive("x");
            EXPECT_EQ(engine.State(), TScriptEngine::TState::Failed);
        }
        const Calls calls = host.Take();
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0].rfind(c.where, 0), 0u) << calls[0];
        EXPECT_NE(calls[0].find("stopped: busy for more than 100 ms"), std::string::npos);
    }
}

TEST_F(Script, AfterEveryAndCancelFollowTheClock) {
    ASSERT_TRUE(Load(R"(
        after(30, function() log('after 30') end)
        local n = 0
        local id
        id = every(20, function() n = n + 1; log('every ' .. n); if n == 3 then cancel(id) end end)
    )"));
    Tick(19);
    EXPECT_EQ(host.Take(), Calls{});
    Tick(1);
    EXPECT_EQ(host.Take(), Calls{"log every 1"});
    Tick(10);
    EXPECT_EQ(host.Take(), Calls{"log after 30"});
    Tick(10);
    Tick(20);
    Tick(20);
    EXPECT_EQ(host.Take(), (Calls{"log every 2", "log every 3"}));
    EXPECT_FALSE(timers.timers[0]->Enabled());
}

TEST_F(Script, SequenceSendsExpectsAndEndsWithItsResult) {
    ASSERT_TRUE(Load(R"(
        run(function()
            send('01 03')
            local r = expect('\2(.)', 500)
            log('got ' .. hex(r))
            wait(50)
            send('01 04')
            local s, why = expect('zz', 200)
            log(tostring(s), why)
            fail('no answer to 01 04')
        end)
    )"));
    EXPECT_EQ(host.Take(), Calls{}); // it starts once the chunk has run
    Tick();
    EXPECT_EQ(host.Take(), Calls{"send 01 03"});
    Receive("\x09\x02");
    Receive("\x07\x08");
    EXPECT_EQ(host.Take(), Calls{"log got 07"});
    Tick(49);
    EXPECT_EQ(host.Take(), Calls{});
    Tick(1);
    EXPECT_EQ(host.Take(), Calls{"send 01 04"});
    Receive("z");
    Tick(199);
    EXPECT_EQ(host.Take(), Calls{});
    Tick(1);
    EXPECT_EQ(host.Take(), Calls{"log nil\ttimeout"});
    EXPECT_EQ(engine.State(), TScriptEngine::TState::Failed);
    EXPECT_EQ(engine.FailureText(), "no answer to 01 04");
}

TEST_F(Script, SequenceResultFromPassErrorOrItsEnd) {
    const struct {
        const char* source;
        TScriptEngine::TState state;
        const char* failure;
    } cases[] = {
        {"run(function() pass() log('not reached') end)", TScriptEngine::TState::Passed, ""},
        {"run(function() end)", TScriptEngine::TState::Passed, ""},
        {"run(function()\n assert(false, 'checked') end)", TScriptEngine::TState::Failed,
         "t.lua:2: checked"},
        {"run(function() coroutine.yield() end)", TScriptEngine::TState::Failed,
         "t.lua: run: the sequence yielded outside expect() or wait()"},
        {"fail('at once')", TScriptEngine::TState::Failed, "at once"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.source);
        ASSERT_TRUE(Load(c.source));
        Tick();
        EXPECT_EQ(engine.State(), c.state);
        EXPECT_EQ(engine.FailureText(), c.failure);
        host.Take();
    }
    // expect and wait belong to a sequence.
    ASSERT_TRUE(Load("function on_receive() expect('x') end"));
    Receive("x");
    EXPECT_EQ(host.Take(), Calls{"error t.lua:1: expect: works only inside run()"});
}

} // namespace
