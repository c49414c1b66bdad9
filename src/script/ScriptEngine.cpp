// The only unit that speaks Lua's C API. Lua reports errors by long jumps, which skip C++
// destructors: every function here that Lua calls finishes its C++ work (and destroys its
// C++ objects) before it raises an error or yields, and the engine enters Lua only through
// lua_pcall/lua_resume, so no error of a script ever leaves the engine.
//
// The script's API:
//   on_receive(bytes, info)  each received record (each decoded frame with decoding on);
//                            info.ms, info.time ("hh:mm:ss"), info.gap, info.modbus
//   on_send(bytes), on_open(), on_close()
//   send(hex_or_bytes)       text of hex pairs only ("01 03 00 00") is sent as hex, any
//                            other string as its bytes; send_text(s) always as bytes
//   after(ms, fn), every(ms, fn) -> id; cancel(id)
//   crc(kind, bytes)         the checksum as the send window appends it: " 84 0A" after
//                            hex text, the raw bytes after raw bytes
//   dtr(on), rts(on), log(...) (print is log), hex(bytes) -> "01 03 ..."
//   run(fn)                  a sequence; inside it expect(pattern, timeout_ms) and wait(ms)
//   pass(), fail(text)       end the script with its result
//   args                     the --script-arg K=V pairs

#include "script/ScriptEngine.h"

#include "codec/ChecksumNames.h"
#include "codec/HexCodec.h"
#include "platform/FileIO.h"
#include "protocol/ModbusRtu.h"

#include <lua.hpp>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>

struct TScriptEngine::TScheduled {
    enum class Kind { Call, Resume, ExpectTimeout };
    int id = 0;
    uint32_t due = 0;
    uint32_t period = 0; // 0: once
    Kind kind = Kind::Call;
    int ref = LUA_NOREF; // the function of a Call
};

namespace {

// Thrown as the error value by pass() and fail(): it unwinds the script without being
// reported as an error.
char g_finishKey;

int64_t SteadyNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The guard checks the time this often (in Lua instructions): well under a millisecond of
// work, and a cost that does not show next to the instructions themselves.
constexpr int GuardInstructions = 1000;

std::string BaseName(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// send() and crc() read text made only of hex pairs and blanks as hex. Every byte counts:
// raw bytes that end in digits after control bytes ("\1\3\2\0\6" "8F") are not hex, even
// though the control bytes would trim away as blanks.
bool ReadsAsHex(std::string_view text) {
    for (const char c : text) {
        const bool digit =
            (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
        if (!digit && c != ' ' && c != '\t' && c != '\r' && c != '\n') {
            return false;
        }
    }
    return IsHexText(text);
}

std::string BytesOf(std::string_view value) {
    return ReadsAsHex(value) ? HexToBytes(NormalizeHex(value)) : std::string(value);
}

std::string_view ToView(lua_State* L, int index) {
    size_t n = 0;
    const char* s = luaL_checklstring(L, index, &n);
    return {s, n};
}

const char* KindName(TModbusKind kind) {
    switch (kind) {
    case TModbusKind::Request:
        return "request";
    case TModbusKind::Reply:
        return "reply";
    case TModbusKind::Exception:
        return "exception";
    case TModbusKind::Unknown:
        break;
    }
    return "unknown";
}

void SetInteger(lua_State* L, const char* key, lua_Integer value) {
    lua_pushinteger(L, value);
    lua_setfield(L, -2, key);
}

template <class T> void SetOptional(lua_State* L, const char* key, const std::optional<T>& value) {
    if (value) {
        SetInteger(L, key, static_cast<lua_Integer>(*value));
    }
}

template <class T> void SetArray(lua_State* L, const char* key, const std::vector<T>& values) {
    lua_createtable(L, static_cast<int>(values.size()), 0);
    for (size_t i = 0; i < values.size(); ++i) {
        lua_pushinteger(L, static_cast<lua_Integer>(values[i]));
        lua_rawseti(L, -2, static_cast<lua_Integer>(i + 1));
    }
    lua_setfield(L, -2, key);
}

// The decoded frame as the table info.modbus.
void PushFrame(lua_State* L, const TModbusFrame& f) {
    lua_createtable(L, 0, 12);
    lua_pushstring(L, KindName(f.kind));
    lua_setfield(L, -2, "kind");
    SetInteger(L, "slave", f.slave);
    SetInteger(L, "func", f.function);
    lua_pushboolean(L, f.crcOk ? 1 : 0);
    lua_setfield(L, -2, "crc_ok");
    SetOptional(L, "address", f.address);
    SetOptional(L, "quantity", f.quantity);
    SetOptional(L, "byte_count", f.byteCount);
    SetOptional(L, "value", f.value);
    SetOptional(L, "exception", f.exceptionCode);
    SetOptional(L, "reply_ms", f.replyMs);
    if (f.kind == TModbusKind::Request || f.kind == TModbusKind::Reply) {
        SetArray(L, "registers", f.registers);
        SetArray(L, "coils", f.coils);
    }
    if (!f.data.empty()) {
        lua_pushlstring(L, reinterpret_cast<const char*>(f.data.data()), f.data.size());
        lua_setfield(L, -2, "data");
    }
}

} // namespace

// What Dispatch hands to a handler: the bytes and, for a received record, its info.
struct TScriptEngine::TDispatch {
    const char* handler;
    std::string_view bytes;
    bool withBytes;
    const TScriptRecordInfo* info;
};

struct TScriptApi {
    static TScriptEngine& Engine(lua_State* L) {
        return **static_cast<TScriptEngine**>(lua_getextraspace(L));
    }

    static void* Alloc(void* ud, void* ptr, size_t oldSize, size_t newSize) {
        size_t& used = *static_cast<size_t*>(ud);
        const size_t old = ptr != nullptr ? oldSize : 0;
        if (newSize == 0) {
            std::free(ptr);
            used -= old;
            return nullptr;
        }
        if (newSize > old && used + (newSize - old) > TScriptEngine::MemoryLimit) {
            return nullptr;
        }
        void* grown = std::realloc(ptr, newSize);
        if (grown != nullptr) {
            used = used - old + newSize;
        }
        return grown;
    }

    static void Guard(lua_State* L, lua_Debug* ar) {
        TScriptEngine& e = Engine(L);
        if (e.m_depth == 0 || SteadyNs() < e.m_deadlineNs) {
            return;
        }
        // From now on every instruction raises, so a script's own pcall cannot hold it.
        e.m_runaway = true;
        lua_sethook(L, Guard, LUA_MASKCOUNT, 1);
        lua_getinfo(L, "Sl", ar);
        lua_pushfstring(L, "%s:%d: stopped: busy for more than %d ms (an endless loop?)",
                        ar->short_src, ar->currentline, static_cast<int>(TScriptEngine::RunawayMs));
        lua_error(L);
    }

    // Raises the message that was pushed; separate so the callers' C++ objects are gone.
    [[noreturn]] static void Raise(lua_State* L) {
        lua_error(L);
        std::abort(); // lua_error does not return
    }

    // Runs f (C++ work that may throw); a thrown exception becomes a Lua error
    // "where: what: reason". Returns f's result count.
    template <class F> static int Protected(lua_State* L, const char* what, F f) {
        int results = 0;
        bool failed = false;
        {
            std::string reason;
            try {
                results = f();
            } catch (const std::exception& ex) {
                reason = ex.what();
                failed = true;
            }
            if (failed) {
                luaL_where(L, 1);
                lua_pushfstring(L, "%s: %s", what, reason.c_str());
                lua_concat(L, 2);
            }
        }
        if (failed) {
            Raise(L);
        }
        return results;
    }

    static int Send(lua_State* L) {
        const std::string_view value = ToView(L, 1);
        return Protected(L, "send", [&] {
            Engine(L).m_host.Send(BytesOf(value));
            return 0;
        });
    }

    static int SendText(lua_State* L) {
        const std::string_view value = ToView(L, 1);
        return Protected(L, "send_text", [&] {
            Engine(L).m_host.Send(value);
            return 0;
        });
    }

    static int Crc(lua_State* L) {
        const std::string_view kind = ToView(L, 1);
        const std::string_view value = ToView(L, 2);
        const std::optional<TChecksumChoice> choice = ChecksumChoiceNamed(kind);
        if (!choice) {
            luaL_where(L, 1);
            lua_pushfstring(L, "crc: no checksum \"%s\" (one of", lua_tostring(L, 1));
            for (const TChecksumChoice& c : ChecksumChoices()) {
                lua_pushfstring(L, " %s", c.name);
            }
            lua_pushliteral(L, ")");
            lua_concat(L, static_cast<int>(ChecksumChoices().size()) + 3);
            return lua_error(L);
        }
        return Protected(L, "crc", [&] {
            if (ReadsAsHex(value)) {
                const std::string text = " " + ChecksumText(TrimText(value), choice->algorithm);
                lua_pushlstring(L, text.data(), text.size());
            } else {
                const std::string bytes =
                    HexToBytes(ChecksumText(BytesToHex(value, " "), choice->algorithm) + " ");
                lua_pushlstring(L, bytes.data(), bytes.size());
            }
            return 1;
        });
    }

    static int Hex(lua_State* L) {
        const std::string_view value = ToView(L, 1);
        return Protected(L, "hex", [&] {
            const std::string text = BytesToHex(value, " ");
            lua_pushlstring(L, text.data(), text.size());
            return 1;
        });
    }

    static int Line(lua_State* L, bool dtr) {
        const bool on = lua_toboolean(L, 1) != 0;
        return Protected(L, dtr ? "dtr" : "rts", [&] {
            if (dtr) {
                Engine(L).m_host.SetDtr(on);
            } else {
                Engine(L).m_host.SetRts(on);
            }
            return 0;
        });
    }
    static int Dtr(lua_State* L) { return Line(L, true); }
    static int Rts(lua_State* L) { return Line(L, false); }

    // log(...) and print(...): the values as print shows them, tab-separated.
    static int Log(lua_State* L) {
        const int n = lua_gettop(L);
        luaL_Buffer b;
        luaL_buffinit(L, &b);
        for (int i = 1; i <= n; ++i) {
            if (i > 1) {
                luaL_addchar(&b, '\t');
            }
            luaL_tolstring(L, i, nullptr);
            luaL_addvalue(&b);
        }
        luaL_pushresult(&b);
        size_t length = 0;
        const char* text = lua_tolstring(L, -1, &length);
        return Protected(L, "log", [&] {
            Engine(L).m_host.Log(std::string(text, length));
            return 0;
        });
    }

    static int ScheduleCall(lua_State* L, bool repeat) {
        const lua_Integer ms = luaL_checkinteger(L, 1);
        luaL_checktype(L, 2, LUA_TFUNCTION);
        if (ms < (repeat ? 1 : 0) || ms > 0x7FFFFFFF) {
            return luaL_error(L, "%s: %s", repeat ? "every" : "after",
                              repeat ? "the period must be 1 ms or more" : "a negative delay");
        }
        TScriptEngine& e = Engine(L);
        lua_pushvalue(L, 2);
        const int ref = luaL_ref(L, LUA_REGISTRYINDEX);
        TScriptEngine::TScheduled item;
        item.id = e.m_nextId++;
        item.due = e.m_clock.Milliseconds() + static_cast<uint32_t>(ms);
        item.period = repeat ? static_cast<uint32_t>(ms) : 0;
        item.ref = ref;
        e.Schedule(item);
        lua_pushinteger(L, item.id);
        return 1;
    }
    static int After(lua_State* L) { return ScheduleCall(L, false); }
    static int Every(lua_State* L) { return ScheduleCall(L, true); }

    static int Cancel(lua_State* L) {
        const lua_Integer id = luaL_checkinteger(L, 1);
        TScriptEngine& e = Engine(L);
        for (auto it = e.m_scheduled.begin(); it != e.m_scheduled.end(); ++it) {
            if (it->id == id && it->kind == TScriptEngine::TScheduled::Kind::Call) {
                luaL_unref(L, LUA_REGISTRYINDEX, it->ref);
                e.m_scheduled.erase(it);
                break;
            }
        }
        e.ProgramTimer();
        return 0;
    }

    static int Run(lua_State* L) {
        luaL_checktype(L, 1, LUA_TFUNCTION);
        TScriptEngine& e = Engine(L);
        if (e.m_sequence != nullptr) {
            return luaL_error(L, "run: a sequence is already running");
        }
        lua_State* thread = lua_newthread(L);
        lua_pushvalue(L, 1);
        lua_xmove(L, thread, 1);
        e.m_sequenceRef = luaL_ref(L, LUA_REGISTRYINDEX); // pops the thread
        e.m_sequence = thread;
        e.m_received.clear();
        // It starts once the main chunk or the handler that asked for it has returned.
        TScriptEngine::TScheduled item;
        item.id = e.m_nextId++;
        item.due = e.m_clock.Milliseconds();
        item.kind = TScriptEngine::TScheduled::Kind::Resume;
        e.Schedule(item);
        return 0;
    }

    static void RequireSequence(lua_State* L, const char* what) {
        if (L != Engine(L).m_sequence) {
            luaL_error(L, "%s: works only inside run()", what);
        }
    }

    // string.match(received, pattern) on L: its results pushed (their count returned), 0 when
    // nothing matched yet (nothing pushed), -1 for a malformed pattern (the message pushed).
    // The bytes up to the end of a match are consumed.
    static int Match(TScriptEngine& e, lua_State* L) {
        const int top = lua_gettop(L);
        lua_rawgeti(L, LUA_REGISTRYINDEX, e.m_findRef);
        lua_pushlstring(L, e.m_received.data(), e.m_received.size());
        lua_pushlstring(L, e.m_expectPattern->data(), e.m_expectPattern->size());
        if (lua_pcall(L, 2, LUA_MULTRET, 0) != LUA_OK) {
            return -1;
        }
        if (lua_isnil(L, top + 1)) {
            lua_settop(L, top);
            return 0;
        }
        const auto first = static_cast<size_t>(lua_tointeger(L, top + 1));
        const auto last = static_cast<size_t>(lua_tointeger(L, top + 2));
        int count = lua_gettop(L) - top - 2;
        if (count == 0) {
            lua_settop(L, top);
            lua_pushlstring(L, e.m_received.data() + first - 1, last + 1 - first);
            count = 1;
        } else {
            lua_remove(L, top + 1);
            lua_remove(L, top + 1);
        }
        e.m_received.erase(0, last);
        return count;
    }

    // Match on the main state, inside a protected call.
    static int MatchProtected(lua_State* L) {
        const int count = Match(Engine(L), L);
        if (count < 0) {
            return lua_error(L);
        }
        return count;
    }

    static int Expect(lua_State* L) {
        luaL_checkstring(L, 1);
        const lua_Integer timeout = luaL_optinteger(L, 2, 1000);
        RequireSequence(L, "expect");
        if (timeout < 0 || timeout > 0x7FFFFFFF) {
            return luaL_error(L, "expect: a negative time-out");
        }
        TScriptEngine& e = Engine(L);
        size_t length = 0;
        const char* pattern = lua_tolstring(L, 1, &length);
        e.m_expectPattern.emplace(pattern, length);
        const int count = Match(e, L);
        if (count != 0) {
            e.m_expectPattern.reset();
            // A malformed pattern: its message is on the stack.
            return count > 0 ? count : lua_error(L);
        }
        TScriptEngine::TScheduled item;
        item.id = e.m_nextId++;
        item.due = e.m_clock.Milliseconds() + static_cast<uint32_t>(timeout);
        item.kind = TScriptEngine::TScheduled::Kind::ExpectTimeout;
        e.m_expectTimeoutId = item.id;
        e.Schedule(item);
        e.m_waiting = true;
        return lua_yield(L, 0);
    }

    static int Wait(lua_State* L) {
        const lua_Integer ms = luaL_checkinteger(L, 1);
        RequireSequence(L, "wait");
        if (ms < 0 || ms > 0x7FFFFFFF) {
            return luaL_error(L, "wait: a negative time");
        }
        TScriptEngine& e = Engine(L);
        TScriptEngine::TScheduled item;
        item.id = e.m_nextId++;
        item.due = e.m_clock.Milliseconds() + static_cast<uint32_t>(ms);
        item.kind = TScriptEngine::TScheduled::Kind::Resume;
        e.Schedule(item);
        e.m_waiting = true;
        return lua_yield(L, 0);
    }

    static int End(lua_State* L, TScriptEngine::TState state) {
        size_t length = 0;
        const char* text = state == TScriptEngine::TState::Failed
                               ? luaL_optlstring(L, 1, "fail() was called", &length)
                               : "";
        Engine(L).Finish(state, std::string(text, length));
        lua_pushlightuserdata(L, &g_finishKey);
        return lua_error(L);
    }
    static int Pass(lua_State* L) { return End(L, TScriptEngine::TState::Passed); }
    static int Fail(lua_State* L) { return End(L, TScriptEngine::TState::Failed); }

    // load() of text chunks only: a binary chunk could break the interpreter's invariants.
    static int LoadText(lua_State* L) {
        lua_settop(L, 4);
        lua_pushliteral(L, "t");
        lua_replace(L, 3);
        lua_pushvalue(L, lua_upvalueindex(1));
        lua_insert(L, 1);
        lua_call(L, 4, LUA_MULTRET);
        return lua_gettop(L);
    }

    // Everything a handler call needs to push, inside the protected call.
    static int Dispatch(lua_State* L) {
        const auto* d = static_cast<const TScriptEngine::TDispatch*>(lua_touserdata(L, 1));
        if (lua_getglobal(L, d->handler) != LUA_TFUNCTION) {
            return 0;
        }
        int nargs = 0;
        if (d->withBytes) {
            lua_pushlstring(L, d->bytes.data(), d->bytes.size());
            ++nargs;
        }
        if (d->info != nullptr) {
            lua_createtable(L, 0, 4);
            SetInteger(L, "ms", d->info->timeMs);
            lua_pushlstring(L, d->info->timeOfDay.data(), d->info->timeOfDay.size());
            lua_setfield(L, -2, "time");
            SetInteger(L, "gap", d->info->gapMs);
            if (d->info->frame != nullptr) {
                PushFrame(L, *d->info->frame);
                lua_setfield(L, -2, "modbus");
            }
            ++nargs;
        }
        lua_call(L, nargs, 0);
        return 0;
    }

    static int CallRef(lua_State* L) {
        lua_rawgeti(L, LUA_REGISTRYINDEX, static_cast<lua_Integer>(lua_tointeger(L, 1)));
        lua_call(L, 0, 0);
        return 0;
    }

    static void OpenSandbox(lua_State* L) {
        const luaL_Reg libraries[] = {
            {LUA_GNAME, luaopen_base},       {LUA_STRLIBNAME, luaopen_string},
            {LUA_TABLIBNAME, luaopen_table}, {LUA_MATHLIBNAME, luaopen_math},
            {LUA_UTF8LIBNAME, luaopen_utf8}, {LUA_COLIBNAME, luaopen_coroutine},
        };
        for (const luaL_Reg& library : libraries) {
            luaL_requiref(L, library.name, library.func, 1);
            lua_pop(L, 1);
        }
        for (const char* name : {"dofile", "loadfile"}) {
            lua_pushnil(L);
            lua_setglobal(L, name);
        }
        lua_getglobal(L, "load");
        lua_pushcclosure(L, LoadText, 1);
        lua_setglobal(L, "load");
        const luaL_Reg api[] = {
            {"send", Send},     {"send_text", SendText},
            {"crc", Crc},       {"hex", Hex},
            {"dtr", Dtr},       {"rts", Rts},
            {"log", Log},       {"print", Log},
            {"after", After},   {"every", Every},
            {"cancel", Cancel}, {"run", Run},
            {"expect", Expect}, {"wait", Wait},
            {"pass", Pass},     {"fail", Fail},
        };
        for (const luaL_Reg& function : api) {
            lua_pushcfunction(L, function.func);
            lua_setglobal(L, function.name);
        }
    }

    static int Setup(lua_State* L) {
        OpenSandbox(L);
        return 0;
    }
};

// ---- the engine ----

namespace {

// Marks the engine as inside Lua and arms the runaway guard for the outermost entry.
struct TEnter {
    explicit TEnter(int& depth, int64_t& deadline) : m_depth(depth) {
        if (m_depth++ == 0) {
            deadline = SteadyNs() + int64_t{TScriptEngine::RunawayMs} * 1000000;
        }
    }
    ~TEnter() { --m_depth; }
    TEnter(const TEnter&) = delete;
    TEnter& operator=(const TEnter&) = delete;
    int& m_depth;
};

} // namespace

TScriptEngine::TScriptEngine(TScriptHost& host, Clock& clock, const TimerFactory& timers)
    : m_host(host), m_clock(clock), m_timer(timers()) {
    m_timer->SetEnabled(false);
    m_timer->SetHandler([this] { TimerTick(); });
}

TScriptEngine::~TScriptEngine() {
    m_timer->SetEnabled(false);
    Close();
}

const char* ScriptStateName(TScriptEngine::TState state) {
    switch (state) {
    case TScriptEngine::TState::Idle:
        return "idle";
    case TScriptEngine::TState::Running:
        return "running";
    case TScriptEngine::TState::Passed:
        return "passed";
    case TScriptEngine::TState::Failed:
        return "failed";
    case TScriptEngine::TState::Stopped:
        break;
    }
    return "stopped";
}

void TScriptEngine::Close() {
    m_scheduled.clear();
    m_timer->SetEnabled(false);
    m_sequence = nullptr;
    m_sequenceRef = LUA_NOREF;
    m_expectPattern.reset();
    m_received.clear();
    if (m_lua != nullptr) {
        // Finalizers of the script run here: guarded like any other call.
        TEnter enter(m_depth, m_deadlineNs);
        lua_close(m_lua);
        m_lua = nullptr;
    }
    m_runaway = false;
}

bool TScriptEngine::LoadFile(const std::string& path,
                             const std::vector<std::pair<std::string, std::string>>& args) {
    std::string source;
    try {
        source = ReadFileBytes(path, 16u << 20);
    } catch (const std::exception& e) {
        Stop();
        m_state = TState::Idle;
        m_host.Error(BaseName(path) + ": " + e.what());
        return false;
    }
    return LoadText(BaseName(path), source, args);
}

bool TScriptEngine::LoadText(const std::string& name, std::string_view source,
                             const std::vector<std::pair<std::string, std::string>>& args) {
    if (m_state == TState::Running) {
        Finish(TState::Stopped, std::string());
    }
    Close();
    m_state = TState::Idle;
    m_failure.clear();
    m_name = name;
    m_memory = 0;
    m_lua = lua_newstate(TScriptApi::Alloc, &m_memory);
    if (m_lua == nullptr) {
        m_host.Error(m_name + ": not enough memory");
        return false;
    }
    *static_cast<TScriptEngine**>(lua_getextraspace(m_lua)) = this;
    lua_sethook(m_lua, TScriptApi::Guard, LUA_MASKCOUNT, GuardInstructions);

    TEnter enter(m_depth, m_deadlineNs);
    lua_pushcfunction(m_lua, TScriptApi::Setup);
    int status = lua_pcall(m_lua, 0, 0, 0);
    if (status == LUA_OK) {
        // expect() matches with the library's own find, whatever the script does to string.
        lua_getglobal(m_lua, "string");
        lua_getfield(m_lua, -1, "find");
        m_findRef = luaL_ref(m_lua, LUA_REGISTRYINDEX);
        lua_pop(m_lua, 1);
        lua_createtable(m_lua, 0, static_cast<int>(args.size()));
        for (const auto& [key, value] : args) {
            lua_pushlstring(m_lua, value.data(), value.size());
            lua_setfield(m_lua, -2, key.c_str());
        }
        lua_setglobal(m_lua, "args");
        const std::string chunkName = "@" + m_name;
        status = luaL_loadbufferx(m_lua, source.data(), source.size(), chunkName.c_str(), "t");
    }
    m_state = TState::Running;
    if (status == LUA_OK) {
        status = lua_pcall(m_lua, 0, 0, 0);
    }
    if (status != LUA_OK && lua_touserdata(m_lua, -1) == &g_finishKey) {
        // pass() or fail() in the main chunk: the script ran and has its result.
        lua_pop(m_lua, 1);
        status = LUA_OK;
    }
    if (status != LUA_OK) {
        // Not loaded: the reason is reported and nothing of the script stays.
        const char* text = lua_tostring(m_lua, -1);
        const std::string message =
            status == LUA_ERRMEM ? m_name + ": not enough memory"
                                 : (text != nullptr ? std::string(text) : m_name + ": error");
        m_state = TState::Idle;
        m_host.Error(message);
        m_failure = message;
        Close();
        return false;
    }
    ProgramTimer();
    return true;
}

void TScriptEngine::Stop() {
    Finish(TState::Stopped, std::string());
    if (m_depth == 0) {
        Close();
    }
}

void TScriptEngine::Finish(TState state, const std::string& text) {
    if (m_state != TState::Running) {
        return;
    }
    m_state = state;
    m_failure = text;
    if (m_lua != nullptr) {
        for (const TScheduled& item : m_scheduled) {
            if (item.ref != LUA_NOREF) {
                luaL_unref(m_lua, LUA_REGISTRYINDEX, item.ref);
            }
        }
    }
    m_scheduled.clear();
    m_timer->SetEnabled(false);
    m_expectPattern.reset();
    if (OnFinished) {
        OnFinished(state);
    }
}

void TScriptEngine::HandleCallError(int status, lua_State* thread, bool inSequence) {
    if (lua_touserdata(thread, -1) == &g_finishKey) {
        lua_pop(thread, 1);
        return;
    }
    std::string message;
    if (status == LUA_ERRMEM) {
        message = m_name + ": not enough memory (a script may hold " +
                  std::to_string(MemoryLimit >> 20) + " MiB)";
    } else if (const char* text = lua_tostring(thread, -1)) {
        message = text;
    } else {
        message = m_name + ": error (a " + luaL_typename(thread, -1) + " value)";
    }
    lua_pop(thread, 1);
    m_host.Error(message);
    if (m_runaway || status == LUA_ERRMEM || inSequence) {
        if (m_runaway) {
            m_runaway = false;
            lua_sethook(m_lua, TScriptApi::Guard, LUA_MASKCOUNT, GuardInstructions);
        }
        Finish(TState::Failed, message);
    }
}

void TScriptEngine::Opened() {
    if (!Running()) {
        return;
    }
    TDispatch d{"on_open", {}, false, nullptr};
    Dispatch(d);
}

void TScriptEngine::Closed() {
    if (!Running()) {
        return;
    }
    TDispatch d{"on_close", {}, false, nullptr};
    Dispatch(d);
}

void TScriptEngine::Sent(std::string_view bytes) {
    if (!Running()) {
        return;
    }
    TDispatch d{"on_send", bytes, true, nullptr};
    Dispatch(d);
}

void TScriptEngine::Received(std::string_view bytes, const TScriptRecordInfo& info) {
    if (!Running()) {
        return;
    }
    if (m_sequence != nullptr) {
        m_received.append(bytes);
        if (m_received.size() > ExpectBufferLimit) {
            m_received.erase(0, m_received.size() - ExpectBufferLimit);
        }
    }
    TDispatch d{"on_receive", bytes, true, &info};
    Dispatch(d);
    CheckExpect();
}

void TScriptEngine::Dispatch(const TDispatch& d) {
    TEnter enter(m_depth, m_deadlineNs);
    lua_pushcfunction(m_lua, TScriptApi::Dispatch);
    lua_pushlightuserdata(m_lua, const_cast<TDispatch*>(&d));
    const int status = lua_pcall(m_lua, 1, 0, 0);
    if (status != LUA_OK) {
        HandleCallError(status, m_lua, false);
    }
}

void TScriptEngine::CheckExpect() {
    if (!Running() || !m_expectPattern || m_sequence == nullptr || !m_waiting) {
        return;
    }
    TEnter enter(m_depth, m_deadlineNs);
    const int top = lua_gettop(m_lua);
    lua_pushcfunction(m_lua, TScriptApi::MatchProtected);
    const int status = lua_pcall(m_lua, 0, LUA_MULTRET, 0);
    const int count = lua_gettop(m_lua) - top;
    if (status == LUA_OK && count == 0) {
        return;
    }
    m_expectPattern.reset();
    m_scheduled.erase(
        std::remove_if(m_scheduled.begin(), m_scheduled.end(),
                       [&](const TScheduled& s) { return s.id == m_expectTimeoutId; }),
        m_scheduled.end());
    if (status != LUA_OK) {
        // Not for a pattern expect() has checked once, but a full memory can do it.
        HandleCallError(status, m_lua, true);
        EndSequence();
        return;
    }
    lua_xmove(m_lua, m_sequence, count);
    ResumeSequence(count);
    ProgramTimer();
}

void TScriptEngine::ResumeSequence(int nargs) {
    if (m_sequence == nullptr || !Running()) {
        return;
    }
    TEnter enter(m_depth, m_deadlineNs);
    m_waiting = false;
    int results = 0;
    lua_State* thread = m_sequence;
    m_inSequence = true;
    const int status = lua_resume(thread, m_lua, nargs, &results);
    m_inSequence = false;
    if (status == LUA_YIELD) {
        lua_pop(thread, results);
        if (m_waiting || !Running()) {
            if (!Running()) {
                EndSequence();
            }
            return;
        }
        const std::string message =
            m_name + ": run: the sequence yielded outside expect() or wait()";
        m_host.Error(message);
        Finish(TState::Failed, message);
    } else if (status == LUA_OK) {
        lua_pop(thread, results);
        EndSequence();
        Finish(TState::Passed, std::string());
        return;
    } else {
        HandleCallError(status, thread, true);
    }
    EndSequence();
}

void TScriptEngine::EndSequence() {
    if (m_sequence != nullptr && m_lua != nullptr) {
        luaL_unref(m_lua, LUA_REGISTRYINDEX, m_sequenceRef);
    }
    m_sequence = nullptr;
    m_sequenceRef = LUA_NOREF;
    m_waiting = false;
    m_expectPattern.reset();
    m_received.clear();
}

void TScriptEngine::Schedule(TScheduled item) {
    m_scheduled.push_back(item);
    ProgramTimer();
}

void TScriptEngine::TimerTick() {
    if (!Running()) {
        m_timer->SetEnabled(false);
        return;
    }
    const uint32_t now = m_clock.Milliseconds();
    // Only what was due when the tick began: a handler that schedules after(0) again runs
    // at the next tick, not in an endless loop here.
    const int newest = m_nextId;
    for (;;) {
        auto next = m_scheduled.end();
        for (auto it = m_scheduled.begin(); it != m_scheduled.end(); ++it) {
            if (it->id < newest && static_cast<int32_t>(now - it->due) >= 0 &&
                (next == m_scheduled.end() || static_cast<int32_t>(it->due - next->due) < 0)) {
                next = it;
            }
        }
        if (next == m_scheduled.end() || !Running()) {
            break;
        }
        const TScheduled item = *next;
        if (item.period != 0) {
            next->due += item.period;
            if (static_cast<int32_t>(now - next->due) >= 0) {
                next->due = now + item.period; // a late tick does not bring a burst of calls
            }
        } else {
            m_scheduled.erase(next);
        }
        switch (item.kind) {
        case TScheduled::Kind::Call: {
            TEnter enter(m_depth, m_deadlineNs);
            lua_pushcfunction(m_lua, TScriptApi::CallRef);
            lua_pushinteger(m_lua, item.ref);
            const int status = lua_pcall(m_lua, 1, 0, 0);
            if (item.period == 0 && m_lua != nullptr) {
                luaL_unref(m_lua, LUA_REGISTRYINDEX, item.ref);
            }
            if (status != LUA_OK) {
                HandleCallError(status, m_lua, false);
            }
            break;
        }
        case TScheduled::Kind::Resume:
            ResumeSequence(0);
            break;
        case TScheduled::Kind::ExpectTimeout:
            if (m_sequence != nullptr && m_waiting) {
                m_expectPattern.reset();
                lua_pushnil(m_sequence);
                lua_pushliteral(m_sequence, "timeout");
                ResumeSequence(2);
            }
            break;
        }
    }
    ProgramTimer();
}

void TScriptEngine::ProgramTimer() {
    if (!Running() || m_scheduled.empty()) {
        m_timer->SetEnabled(false);
        return;
    }
    const uint32_t now = m_clock.Milliseconds();
    int32_t soonest = INT32_MAX;
    for (const TScheduled& item : m_scheduled) {
        soonest = std::min(soonest, static_cast<int32_t>(item.due - now));
    }
    m_timer->SetInterval(static_cast<uint32_t>(std::max(soonest, int32_t{1})));
    m_timer->SetEnabled(true);
}
