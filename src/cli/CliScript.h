#pragma once
// korvane-cli --script: the script engine on the CLI's port. Each record the traffic engine
// takes goes to the script too (received records, or the decoded frames with --decode
// modbus, to on_receive; sent records to on_send); the script's sends go out through the
// connection, its log and errors to standard error.

#include "cli/CliOptions.h"
#include "protocol/ModbusRtu.h"
#include "script/ScriptEngine.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

class TDataRT;
class TOruScomm;

class TCliScript final : public TScriptHost {
public:
    // line: writes one line to standard error (the front end keeps it apart from the view).
    TCliScript(TOruScomm& connection, const TCliOptions& options, const TimerFactory& timers,
               std::function<void(const std::string&)> line);

    // Loads the file and tells the script the port is open. False when it cannot be loaded
    // (the reason was written).
    bool Start();
    // Around one tick of the traffic engine's pump.
    void BeforeTick();
    void AfterTick(const TDataRT& engine);
    // The port is about to close, or has closed because it went away.
    void Closing();
    // The port opened again after it went away.
    void Reopened();

    // pass() or fail() was called (or a sequence ended): the program ends.
    bool Finished() const;
    int ExitCode() const;

    void Send(std::string_view bytes) override;
    void SetDtr(bool on) override;
    void SetRts(bool on) override;
    void Log(const std::string& text) override;
    void Error(const std::string& text) override;

private:
    TOruScomm& m_connection;
    const TCliOptions& m_options;
    std::function<void(const std::string&)> m_line;
    TScriptEngine m_engine;
    std::optional<TModbusRtuDecoder> m_decoder;
    std::vector<TModbusFrame> m_frames;
    std::string m_record;
};
