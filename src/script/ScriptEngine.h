#pragma once
// Scripts: a Lua 5.4 program that answers received records with computed replies, plays a
// device, or runs a test sequence (send, wait for the reply, check, next). The engine runs
// on the thread that owns the port session (the window's thread, the CLI's loop) and reaches
// the port only through TScriptHost; time passes through the Clock and Timer seams, so
// tests drive it by hand.
//
// What a script sees: a sandbox with the base, string, table, math, utf8 and coroutine
// libraries (no files, no processes, no modules, no binary chunks) and the functions
// documented in ScriptEngine.cpp's API table.

#include "platform/Platform.h"
#include "traffic/Timer.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct lua_State;
struct TModbusFrame;

// What the engine needs of the port and of the front end around it.
class TScriptHost {
public:
    virtual ~TScriptHost() = default;
    // Writes the bytes to the port. Throws (with a message for the script) when it cannot.
    virtual void Send(std::string_view bytes) = 0;
    virtual void SetDtr(bool on) = 0;
    virtual void SetRts(bool on) = 0;
    // A line of the script's own: a grey line in the window, standard error in the CLI.
    virtual void Log(const std::string& text) = 0;
    // "name.lua:12: message": an error of the script. The port stays open.
    virtual void Error(const std::string& text) = 0;
};

// What on_receive gets besides the bytes.
struct TScriptRecordInfo {
    uint32_t timeMs = 0;   // the clock's milliseconds when the record was taken
    std::string timeOfDay; // "hh:mm:ss" of the record's header
    uint32_t gapMs = 0;    // silence before the record (1000 and more: 1000)
    // With Modbus decoding on: the decoded frame (the bytes are the frame's).
    const TModbusFrame* frame = nullptr;
};

class TScriptEngine {
public:
    enum class TState {
        Idle,    // no script loaded
        Running, // loaded; its handlers are called
        Passed,  // pass() was called, or a run() sequence ended without fail()
        Failed,  // fail(), an error inside a run() sequence, or a runaway stopped it
        Stopped, // stopped by the user
    };

    // A script that keeps the thread longer than this in one call is stopped.
    static constexpr uint32_t RunawayMs = 100;
    // Memory one script may hold.
    static constexpr size_t MemoryLimit = 256u << 20;
    // Bytes expect() keeps while it looks for its pattern; older bytes are dropped.
    static constexpr size_t ExpectBufferLimit = 1u << 20;

    TScriptEngine(TScriptHost& host, Clock& clock, const TimerFactory& timers);
    ~TScriptEngine();
    TScriptEngine(const TScriptEngine&) = delete;
    TScriptEngine& operator=(const TScriptEngine&) = delete;

    // Loads the script and runs its main chunk with the arguments as the table `args`.
    // False when the file cannot be read or the chunk fails (the reason went to
    // host.Error); the engine is Idle then. A loaded script is replaced.
    bool LoadFile(const std::string& path,
                  const std::vector<std::pair<std::string, std::string>>& args = {});
    // The same with the source in memory; name is what messages call it ("test.lua").
    bool LoadText(const std::string& name, std::string_view source,
                  const std::vector<std::pair<std::string, std::string>>& args = {});
    // Ends the script: no handler is called any more, its timers stop.
    void Stop();

    // The port's events, for a Running script (ignored otherwise).
    void Opened();
    void Closed();
    void Received(std::string_view bytes, const TScriptRecordInfo& info);
    void Sent(std::string_view bytes);

    TState State() const { return m_state; }
    bool Running() const { return m_state == TState::Running; }
    // The text of fail(), or of the error that ended a sequence or the script.
    const std::string& FailureText() const { return m_failure; }
    // The name messages use (the file name without its folder).
    const std::string& Name() const { return m_name; }
    // Called when the state leaves Running (pass, fail, runaway, Stop).
    std::function<void(TState)> OnFinished;

private:
    struct TScheduled;
    struct TDispatch;
    friend struct TScriptApi;

    void Close();
    // Calls a global handler, when the script has it, in a protected call.
    void Dispatch(const TDispatch& d);
    // The value of a failed call: reported, or taken as pass()/fail(). An error inside a
    // sequence, a runaway and a full memory end the script.
    void HandleCallError(int status, lua_State* thread, bool inSequence);
    void Finish(TState state, const std::string& text);
    void ResumeSequence(int nargs);
    void EndSequence();
    void Schedule(TScheduled item);
    void TimerTick();
    void ProgramTimer();
    void CheckExpect();

    TScriptHost& m_host;
    Clock& m_clock;
    std::unique_ptr<Timer> m_timer;
    lua_State* m_lua = nullptr;
    size_t m_memory = 0;
    TState m_state = TState::Idle;
    std::string m_name;
    std::string m_failure;

    // after()/every()/wait()/expect() timeouts, by due time.
    std::vector<TScheduled> m_scheduled;
    int m_nextId = 1;

    // The run() sequence: its thread (a registry reference), what it waits for.
    int m_sequenceRef = -1;
    lua_State* m_sequence = nullptr;
    bool m_waiting = false;    // it yielded in expect() or wait()
    bool m_inSequence = false; // it is running now
    std::optional<std::string> m_expectPattern;
    int m_expectTimeoutId = 0;
    std::string m_received; // bytes since the last match, for expect()
    int m_findRef = -1;     // string.find as the sandbox opened it

    // The runaway guard: the steady-clock deadline of the call in progress.
    int64_t m_deadlineNs = 0;
    int m_depth = 0;
    bool m_runaway = false;
};

// The state as a word for status lines: "running", "passed", ...
const char* ScriptStateName(TScriptEngine::TState state);
