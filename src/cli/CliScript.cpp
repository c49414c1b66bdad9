#include "cli/CliScript.h"

#include "cli/RecordOutput.h"
#include "codec/HexCodec.h"
#include "serial/OruScomm.h"
#include "traffic/DataRT.h"

TCliScript::TCliScript(TOruScomm& connection, const TCliOptions& options,
                       const TimerFactory& timers, std::function<void(const std::string&)> line)
    : m_connection(connection), m_options(options), m_line(std::move(line)),
      m_engine(*this, SystemClock::Instance(), timers) {
    if (options.decodeModbus) {
        m_decoder.emplace(options.sniff);
    }
    m_engine.OnFinished = [this](TScriptEngine::TState state) {
        if (state == TScriptEngine::TState::Failed) {
            m_line("korvane-cli: script " + m_engine.Name() + " failed: " + m_engine.FailureText());
        } else if (state == TScriptEngine::TState::Passed) {
            m_line("korvane-cli: script " + m_engine.Name() + " passed");
        }
    };
}

bool TCliScript::Start() {
    if (!m_engine.LoadFile(*m_options.script, m_options.scriptArgs)) {
        return false;
    }
    m_engine.Opened();
    return true;
}

void TCliScript::BeforeTick() {
    // The pump is the only taker: the oldest record is the one the engine takes next.
    m_record.clear();
    if (!m_engine.Running()) {
        return;
    }
    m_record = m_connection.PeekRecord().value_or(TQueuedRecord());
}

void TCliScript::AfterTick(const TDataRT& engine) {
    if (!engine.LastTickTookRecord() || m_record.empty() || !m_engine.Running()) {
        return;
    }
    const bool sent = m_record.front() == 'T';
    const bool hex = (sent ? m_connection.HexSend : m_connection.HexReceive).load() != 0;
    const std::string bytes = RecordBytes(m_record, hex);
    if (m_decoder) {
        m_frames.clear();
        m_decoder->Feed(sent ? TModbusDirection::Sent : TModbusDirection::Received,
                        SystemClock::Instance().Milliseconds(), bytes, m_frames);
    }
    if (sent) {
        m_engine.Sent(bytes);
        return;
    }
    TScriptRecordInfo info;
    info.timeMs = SystemClock::Instance().Milliseconds();
    // "R[hh:nn:ss gap]": the time of day stands between the bracket and the gap.
    const size_t space = m_record.find(' ', 2);
    info.timeOfDay = space == std::string::npos ? std::string() : m_record.substr(2, space - 2);
    info.gapMs = RecordHeaderGap(m_record).value_or(1000);
    if (!m_decoder) {
        m_engine.Received(bytes, info);
        return;
    }
    for (const TModbusFrame& frame : m_frames) {
        if (frame.direction == TModbusDirection::Received && m_engine.Running()) {
            info.frame = &frame;
            m_engine.Received(std::string(frame.bytes.begin(), frame.bytes.end()), info);
        }
    }
}

void TCliScript::Closing() {
    m_engine.Closed();
}

void TCliScript::Reopened() {
    m_engine.Opened();
}

bool TCliScript::Finished() const {
    return m_engine.State() == TScriptEngine::TState::Passed ||
           m_engine.State() == TScriptEngine::TState::Failed;
}

int TCliScript::ExitCode() const {
    return m_engine.State() == TScriptEngine::TState::Failed ? ExitScriptFailed : ExitDone;
}

void TCliScript::Send(std::string_view bytes) {
    if (bytes.empty()) {
        return;
    }
    m_connection.SendData(m_connection.HexSend.load() != 0 ? BytesToHex(bytes, " ")
                                                           : std::string(bytes));
}

void TCliScript::SetDtr(bool on) {
    m_connection.Device->FlowControl().SetControlDTR(on ? dtrEnable : dtrDisable);
}

void TCliScript::SetRts(bool on) {
    m_connection.Device->FlowControl().SetControlRTS(on ? rtsEnable : rtsDisable);
}

void TCliScript::Log(const std::string& text) {
    m_line(m_engine.Name() + ": " + text);
}

void TCliScript::Error(const std::string& text) {
    m_line("korvane-cli: script error: " + text);
}
