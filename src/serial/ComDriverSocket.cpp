#include "serial/ComDriverSocket.h"

#include "serial/ComReadWindow.h"
#include "serial/PortMessages.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace {

constexpr uint32_t MaxDword = 0xFFFFFFFFu;

thread_local int32_t t_lastError = 0;

bool Fail(int error) {
    t_lastError = error;
    return false;
}

std::string BigEndian32(uint32_t value) {
    std::string out(4, '\0');
    for (int i = 0; i < 4; ++i) {
        out[static_cast<size_t>(i)] = static_cast<char>((value >> (24 - 8 * i)) & 0xFF);
    }
    return out;
}

long ValueOf(const std::string& value) {
    if (value.size() >= 4) {
        uint32_t v = 0;
        for (size_t i = 0; i < 4; ++i) {
            v = (v << 8) | static_cast<uint8_t>(value[i]);
        }
        return static_cast<long>(v);
    }
    return value.empty() ? -1 : static_cast<long>(static_cast<uint8_t>(value[0]));
}

// The com-port option's codes for the control block's values.
uint8_t ParityCode(uint8_t parity) {
    return static_cast<uint8_t>(parity + 1); // none, odd, even, mark, space: 1..5
}

uint8_t StopSizeCode(uint8_t stopBits) {
    static constexpr uint8_t kCodes[] = {1, 3, 2}; // one, one and a half, two
    return kCodes[stopBits];
}

uint8_t FlowCode(const TComDcb& dcb) {
    if (dcb.Has(DcbFlagOutxCtsFlow) || dcb.RtsControl() == 2) {
        return Telnet::CtlFlowHardware;
    }
    return dcb.Has(DcbFlagOutX) ? Telnet::CtlFlowXonXoff : Telnet::CtlFlowNone;
}

} // namespace

// ---- socket driver ----

struct TComDriverSocket::TCall {
    explicit TCall(unsigned k) : kind(k) {}
    unsigned kind; // KindRead, KindWrite, KindWait or none
    int reason = ComDriverCalls::ReasonNone;
    uint32_t readPurge = 0;
    uint32_t writePurge = 0;

    void Wake() const {} // never registered: calls wait on the driver's condition
};

using ComDriverCalls::KindRead;
using ComDriverCalls::KindWait;
using ComDriverCalls::KindWrite;

TComDriverSocket::TComDriverSocket(Clock& clock) : m_clock(clock) {}

TComDriverSocket::~TComDriverSocket() {
    bool open = false;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        open = m_gate.IsOpen();
    }
    if (open) {
        Close();
    }
}

bool TComDriverSocket::PortPresent(const std::string& port) const {
    TNetAddress address;
    return ParseNetAddress(port, address);
}

void TComDriverSocket::SetOpenStopped(bool stopped) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_openStopped = stopped;
    m_changed.notify_all();
}

bool TComDriverSocket::PortReturned(const std::string& port) {
    return m_returnWatch.Returned(port);
}

// Calls wait on m_changed and are told to end by the purge serials and the close, so none
// registers to be woken one by one.
bool TComDriverSocket::Enter(TCall& call) {
    const bool admitted = m_gate.Enter(call, false, [&] {
        call.readPurge = m_readPurgeSerial;
        call.writePurge = m_writePurgeSerial;
    });
    return admitted ? true : Fail(NetSocket::ClosedError());
}

void TComDriverSocket::Leave(TCall& call) {
    m_gate.Leave(call);
}

bool TComDriverSocket::Aborted(const TCall& call, int& error) const {
    if (m_gate.Closing()) {
        error = NetSocket::ClosedError();
        return true;
    }
    // A receive purge ends reads and waits, a transmit purge writes and waits.
    const bool readPurged = call.readPurge != m_readPurgeSerial;
    const bool writePurged = call.writePurge != m_writePurgeSerial;
    if (((call.kind & (KindRead | KindWait)) != 0 && readPurged) ||
        ((call.kind & (KindWrite | KindWait)) != 0 && writePurged)) {
        error = NetSocket::CancelledError();
        return true;
    }
    return false;
}

bool TComDriverSocket::Open(const std::string& port) {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_gate.Opened()) {
            return Fail(NetSocket::BusyError());
        }
    }
    TNetAddress address;
    if (!ParseNetAddress(port, address)) {
        return Fail(NetSocket::InvalidError());
    }
    // One limit for connecting and for the server's answer to the hello.
    const TClockDeadline deadline(m_clock, ConnectLimitMs);
    int error = 0;
    bool greeted = false;
    NetSocket::THandle socket = m_returnWatch.Take(port, greeted);
    if (socket == NetSocket::Invalid) {
        socket = NetSocket::Connect(address.host, address.port, deadline, error, &m_openStopped);
    }
    if (socket == NetSocket::Invalid) {
        return Fail(error);
    }
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_socket = socket;
        m_address = address;
        m_gate.MarkOpen();
        m_failure = 0;
        m_input.clear();
        m_timeouts = TComTimeoutValues{};
        m_mask = 0;
        m_discardNull = false;
        m_decoder = Telnet::TDecoder{};
        m_comPortAgreed = false;
        m_comPortRefused = false;
        std::fill(std::begin(m_willRequested), std::end(m_willRequested), false);
        std::fill(std::begin(m_doRequested), std::end(m_doRequested), false);
        std::fill(std::begin(m_weWill), std::end(m_weWill), false);
        std::fill(std::begin(m_theyWill), std::end(m_theyWill), false);
        m_modem = 0;
        m_modemChanged = 0;
        m_confirmed.clear();
        m_confirmedDtr = -1;
        m_confirmedRts = -1;
        m_stateKnown = false;
        // Before the reader runs: the answers to a hello sent in the background may be
        // waiting already.
        if (address.kind == TNetPortKind::Rfc2217) {
            for (uint8_t option : Telnet::HelloWill) {
                m_willRequested[option] = true;
            }
            for (uint8_t option : Telnet::HelloDo) {
                m_doRequested[option] = true;
            }
        }
    }
    m_reader = std::thread([this] { ReaderLoop(); });
    if (address.kind == TNetPortKind::Raw) {
        return true;
    }

    using namespace Telnet;
    bool agreed = false;
    if (greeted || SendControl(ClientHello())) {
        std::unique_lock<std::mutex> guard(m_lock);
        deadline.WaitFor(m_changed, guard, [this] {
            return m_comPortAgreed || m_comPortRefused || m_failure != 0 || m_openStopped;
        });
        agreed = m_comPortAgreed;
        // A server that ends the connection before any answer is busy with another client
        // or cannot open its device, as ser2net does.
        error = m_comPortRefused || m_comPortAgreed ? NetSocket::NotSupportedError()
                : m_failure != 0                    ? NetSocket::ClosedAtOnceError()
                : m_openStopped                     ? NetSocket::CancelledError()
                                                    : NetSocket::TimedOutError();
    } else {
        // Gone already before the hello went out: the same.
        error =
            LastError() == NetSocket::HangUpError() ? NetSocket::ClosedAtOnceError() : LastError();
    }
    if (agreed) {
        // Every modem line reported, no line-state reports (the program has no use for them).
        agreed = SendControl(ComPortCommand(CpSetModemStateMask, std::string(1, '\xFF')) +
                             ComPortCommand(CpSetLineStateMask, std::string(1, '\0')));
        error = LastError();
    }
    if (!agreed) {
        Close();
        return Fail(error);
    }
    return true;
}

bool TComDriverSocket::Close() {
    NetSocket::THandle socket = NetSocket::Invalid;
    {
        std::unique_lock<std::mutex> guard(m_lock);
        if (!m_gate.BeginClose()) {
            return Fail(NetSocket::ClosedError());
        }
        m_changed.notify_all();
        NetSocket::Shutdown(m_socket);
        // Calls under way end at their next look at the close.
        m_gate.WakeAllAndWaitIdle(guard);
        socket = m_socket;
    }
    if (m_reader.joinable()) {
        m_reader.join();
    }
    NetSocket::Close(socket);
    std::lock_guard<std::mutex> guard(m_lock);
    m_socket = NetSocket::Invalid;
    m_gate.EndClose();
    m_input.clear();
    return true;
}

void TComDriverSocket::ReaderLoop() {
    try {
        ReadUntilEnd();
    } catch (const std::exception& e) {
        ReaderFailed(e.what());
    } catch (...) {
        ReaderFailed("unknown error");
    }
}

void TComDriverSocket::ReaderFailed(const std::string& what) {
    // Told first, while the port still counts as open for the caller.
    ReportThreadFailure("The connection to " + m_address.host + ":" +
                        std::to_string(m_address.port) + " stopped receiving: " + what);
    std::lock_guard<std::mutex> guard(m_lock);
    if (!m_gate.Closing()) {
        m_failure = NetSocket::HangUpError();
    }
    m_changed.notify_all();
}

void TComDriverSocket::ReadUntilEnd() {
    std::vector<uint8_t> buffer(64 * 1024);
    std::string data;
    std::vector<Telnet::TDecoder::TNegotiation> negotiations;
    std::vector<Telnet::TDecoder::TCommand> commands;
    const bool telnet = m_address.kind == TNetPortKind::Rfc2217;
    for (;;) {
        {
            // A reader that does not read leaves the rest to TCP's own flow control rather
            // than holding without bound.
            std::unique_lock<std::mutex> guard(m_lock);
            m_changed.wait(guard,
                           [this] { return m_gate.Closing() || m_input.size() < m_inputLimit; });
            if (m_gate.Closing()) {
                return;
            }
        }
        const int ready = NetSocket::WaitReadable(m_socket, 200);
        int error = 0;
        long n = 0;
        if (ready > 0) {
            n = NetSocket::Receive(m_socket, buffer.data(), buffer.size(), error);
            if (n < 0 && NetSocket::WouldBlock(error)) {
                continue;
            }
        } else if (ready == 0) {
            continue;
        } else {
            n = -1;
        }
        if (n <= 0) {
            // The server closed the connection, reset it, or the network failed: for the
            // layers above the device is gone.
            std::lock_guard<std::mutex> guard(m_lock);
            if (!m_gate.Closing()) {
                m_failure = NetSocket::HangUpError();
            }
            m_changed.notify_all();
            return;
        }
        data.clear();
        negotiations.clear();
        commands.clear();
        std::string reply;
        if (telnet) {
            m_decoder.Feed(buffer.data(), static_cast<size_t>(n), data, negotiations, commands);
        } else {
            data.assign(reinterpret_cast<const char*>(buffer.data()), static_cast<size_t>(n));
        }
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_input.insert(m_input.end(), data.begin(), data.end());
            for (const auto& negotiation : negotiations) {
                TakeNegotiation(negotiation, reply);
            }
            for (const auto& command : commands) {
                TakeCommand(command);
            }
            m_changed.notify_all();
        }
        if (!reply.empty()) {
            SendControl(reply);
        }
    }
}

// Caller holds m_lock. Options are switched on only on request and only those we use;
// a request for a state already in force is not answered, so no negotiation loops.
void TComDriverSocket::TakeNegotiation(const Telnet::TDecoder::TNegotiation& n,
                                       std::string& reply) {
    using namespace Telnet;
    const uint8_t o = n.option;
    auto answer = [&reply, o](uint8_t verb) {
        reply += std::string{static_cast<char>(Iac), static_cast<char>(verb), static_cast<char>(o)};
    };
    const bool weMay = o == OptComPort || o == OptBinary || o == OptSuppressGoAhead;
    const bool theyMay = o == OptBinary || o == OptSuppressGoAhead;
    switch (n.verb) {
    case Do:
        if (weMay) {
            if (!m_weWill[o] && !m_willRequested[o]) {
                answer(Will);
            }
            m_weWill[o] = true;
            m_willRequested[o] = false;
            if (o == OptComPort) {
                m_comPortAgreed = true;
            }
        } else {
            answer(Wont);
        }
        break;
    case Dont:
        if (m_weWill[o]) {
            answer(Wont);
        }
        m_weWill[o] = false;
        m_willRequested[o] = false;
        if (o == OptComPort) {
            m_comPortRefused = true;
        }
        break;
    case Will:
        if (theyMay) {
            if (!m_theyWill[o] && !m_doRequested[o]) {
                answer(Do);
            }
            m_theyWill[o] = true;
            m_doRequested[o] = false;
        } else if (!m_theyWill[o]) {
            answer(Dont); // echo and the rest: not wanted on a serial line
        }
        break;
    case Wont:
        if (m_theyWill[o]) {
            answer(Dont);
        }
        m_theyWill[o] = false;
        m_doRequested[o] = false;
        break;
    default:
        break;
    }
}

// Caller holds m_lock.
void TComDriverSocket::TakeCommand(const Telnet::TDecoder::TCommand& c) {
    using namespace Telnet;
    if (c.code <= ServerOffset) {
        return;
    }
    const auto command = static_cast<uint8_t>(c.code - ServerOffset);
    if (command == CpNotifyModemState) {
        if (!c.value.empty()) {
            const uint32_t lines = static_cast<uint8_t>(c.value[0]) &
                                   (ComMsCtsOn | ComMsDsrOn | ComMsRingOn | ComMsRlsdOn);
            if (lines != m_modem) {
                m_modemChanged |= lines ^ m_modem;
                m_modem = lines;
                ++m_modemSerial;
            }
        }
        return;
    }
    if (command == CpNotifyLineState) {
        return;
    }
    const long value = ValueOf(c.value);
    if (command == CpSetControl) {
        if (value >= 7 && value <= 9) {
            m_confirmedDtr = value;
        } else if (value >= 10 && value <= 12) {
            m_confirmedRts = value;
        } else {
            m_confirmed[command] = value;
        }
    } else {
        m_confirmed[command] = value;
    }
    if (command == CpSetDataSize) {
        ++m_sizeAnswers;
    }
}

bool TComDriverSocket::SendAll(const std::string& bytes, int timeoutMs, size_t& sent, int& error) {
    sent = 0;
    error = 0;
    const TClockDeadline end(m_clock, timeoutMs);
    std::lock_guard<std::mutex> sender(m_sendLock);
    while (sent < bytes.size()) {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            if (m_gate.Closing()) {
                error = NetSocket::ClosedError();
                return false;
            }
            if (m_failure != 0) {
                error = m_failure;
                return false;
            }
        }
        int e = 0;
        const long n = NetSocket::Send(m_socket, bytes.data() + sent, bytes.size() - sent, e);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && !NetSocket::WouldBlock(e)) {
            error = NetSocket::HangUpError();
            return false;
        }
        const int slice = end.SliceMs(50);
        if (slice <= 0) {
            return true; // timed out: completes with what was handed over
        }
        NetSocket::WaitWritable(m_socket, slice);
    }
    return true;
}

bool TComDriverSocket::SendControl(const std::string& bytes) {
    size_t sent = 0;
    int error = 0;
    if (!SendAll(bytes, ConfirmLimitMs, sent, error)) {
        return Fail(error);
    }
    return sent == bytes.size() ? true : Fail(NetSocket::TimedOutError());
}

bool TComDriverSocket::SetupComm(uint32_t inputSize, uint32_t) {
    std::lock_guard<std::mutex> guard(m_lock);
    if (!m_gate.IsOpen()) {
        return Fail(NetSocket::ClosedError());
    }
    // The queue the program asks for, but never less than one full receive of the socket.
    m_inputLimit = std::max<size_t>(inputSize, 64 * 1024);
    return true;
}

bool TComDriverSocket::SetCommState(const TComDcb& dcb) {
    if (dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > 4 || dcb.StopBits > 2 ||
        dcb.BaudRate == 0) {
        return Fail(NetSocket::InvalidError());
    }
    TCall call(0);
    if (!Enter(call)) {
        return false;
    }
    using namespace Telnet;
    bool raw = false;
    std::string commands;
    // What each answer must say. Flow control, DTR and RTS are taken as the server answers
    // them: a device without modem lines cannot set them, and a server may then not answer
    // at all. A request for the data size goes last; the server answers in order, so once
    // its answer is in, every answer that is coming has come.
    std::vector<std::pair<uint8_t, long>> exact;
    bool wantFlow = false;
    bool wantDtr = false;
    bool wantRts = false;
    uint32_t sizeAnswers = 0;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        raw = m_address.kind == TNetPortKind::Raw;
        if (raw) {
            m_discardNull = dcb.Has(DcbFlagNull);
        } else {
            const TComDcb& was = m_applied;
            const bool all = !m_stateKnown;
            auto add = [&](uint8_t command, const std::string& value, long expected) {
                commands += ComPortCommand(command, value);
                exact.emplace_back(command, expected);
                m_confirmed.erase(command);
            };
            if (all || was.BaudRate != dcb.BaudRate) {
                add(CpSetBaudRate, BigEndian32(dcb.BaudRate), static_cast<long>(dcb.BaudRate));
            }
            if (all || was.ByteSize != dcb.ByteSize) {
                add(CpSetDataSize, std::string(1, static_cast<char>(dcb.ByteSize)), dcb.ByteSize);
            }
            if (all || was.Parity != dcb.Parity) {
                const uint8_t code = ParityCode(dcb.Parity);
                add(CpSetParity, std::string(1, static_cast<char>(code)), code);
            }
            if (all || was.StopBits != dcb.StopBits) {
                const uint8_t code = StopSizeCode(dcb.StopBits);
                add(CpSetStopSize, std::string(1, static_cast<char>(code)), code);
            }
            const uint8_t flow = FlowCode(dcb);
            if (all || FlowCode(was) != flow) {
                commands += ComPortCommand(CpSetControl, std::string(1, static_cast<char>(flow)));
                m_confirmed.erase(CpSetControl);
                wantFlow = true;
            }
            // DTR handshake has no equivalent and keeps the line on, as on a local port.
            const bool dtrOn = dcb.DtrControl() != 0;
            if (all || (was.DtrControl() != 0) != dtrOn) {
                commands += ComPortCommand(
                    CpSetControl, std::string(1, static_cast<char>(dtrOn ? CtlDtrOn : CtlDtrOff)));
                m_confirmedDtr = -1;
                wantDtr = true;
            }
            // Under hardware flow control the server drives RTS itself.
            const bool rtsOn = dcb.RtsControl() == 1 || dcb.RtsControl() == 2;
            const bool wasRtsOn = was.RtsControl() == 1 || was.RtsControl() == 2;
            if (flow != CtlFlowHardware && (all || wasRtsOn != rtsOn || wantFlow)) {
                commands += ComPortCommand(
                    CpSetControl, std::string(1, static_cast<char>(rtsOn ? CtlRtsOn : CtlRtsOff)));
                m_confirmedRts = -1;
                wantRts = true;
            }
            if (!commands.empty()) {
                commands += ComPortCommand(CpSetDataSize, std::string(1, '\0'));
                const bool sizeSent = all || was.ByteSize != dcb.ByteSize;
                sizeAnswers = m_sizeAnswers + (sizeSent ? 2 : 1);
            }
        }
    }
    if (raw) {
        Leave(call);
        return true;
    }
    int error = 0;
    if (!commands.empty() && !SendControl(commands)) {
        error = LastError();
    }
    if (error == 0 && !commands.empty()) {
        std::unique_lock<std::mutex> guard(m_lock);
        auto answered = [&] {
            for (const auto& [command, expected] : exact) {
                if (m_confirmed.count(command) == 0) {
                    return false;
                }
            }
            const bool controls = (!wantFlow || m_confirmed.count(CpSetControl) != 0) &&
                                  (!wantDtr || m_confirmedDtr >= 0) &&
                                  (!wantRts || m_confirmedRts >= 0);
            return controls || m_sizeAnswers - sizeAnswers < 0x80000000u;
        };
        const bool done = TClockDeadline(m_clock, ConfirmLimitMs).WaitFor(m_changed, guard, [&] {
            return answered() || m_gate.Closing() || m_failure != 0 || m_openStopped;
        });
        if (m_openStopped) {
            error = NetSocket::CancelledError();
        } else if (m_gate.Closing()) {
            error = NetSocket::ClosedError();
        } else if (m_failure != 0) {
            error = m_failure;
        } else if (!done) {
            error = NetSocket::TimedOutError();
        } else {
            for (const auto& [command, expected] : exact) {
                if (m_confirmed[command] != expected) {
                    error = NetSocket::InvalidError(); // the server did not take the value
                }
            }
        }
    }
    if (error == 0) {
        std::lock_guard<std::mutex> guard(m_lock);
        m_applied = dcb;
        m_stateKnown = true;
        m_discardNull = dcb.Has(DcbFlagNull);
    } else {
        std::lock_guard<std::mutex> guard(m_lock);
        m_stateKnown = false; // sent in full next time
    }
    Leave(call);
    return error == 0 ? true : Fail(error);
}

bool TComDriverSocket::SendBreak() {
    TCall call(0);
    if (!Enter(call)) {
        return false;
    }
    bool telnet = false;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        telnet = m_address.kind == TNetPortKind::Rfc2217 && m_failure == 0;
    }
    bool sent = false;
    if (telnet) {
        // The server holds the line in break between the two commands (the codes of the
        // com-port option's SET-CONTROL: 5 on, 6 off).
        sent = SendControl(Telnet::ComPortCommand(Telnet::CpSetControl, std::string(1, '\x05')));
        if (sent) {
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
            sent =
                SendControl(Telnet::ComPortCommand(Telnet::CpSetControl, std::string(1, '\x06')));
        }
    }
    Leave(call);
    return telnet ? sent : Fail(NetSocket::NotSupportedError());
}

bool TComDriverSocket::SetCommTimeouts(const TComTimeoutValues& timeouts) {
    std::lock_guard<std::mutex> guard(m_lock);
    if (!m_gate.IsOpen()) {
        return Fail(NetSocket::ClosedError());
    }
    m_timeouts = timeouts;
    return true;
}

bool TComDriverSocket::SetCommMask(uint32_t mask) {
    std::lock_guard<std::mutex> guard(m_lock);
    if (!m_gate.IsOpen()) {
        return Fail(NetSocket::ClosedError());
    }
    m_mask = mask;
    ++m_maskSerial;
    m_changed.notify_all();
    return true;
}

bool TComDriverSocket::WaitCommEvent(uint32_t& events, TComStopEvent* stop, int32_t timeoutMs) {
    events = 0;
    TCall call(KindWait);
    if (!Enter(call)) {
        return false;
    }
    const TClockDeadline end(m_clock, timeoutMs);
    int error = 0;
    {
        std::unique_lock<std::mutex> guard(m_lock);
        const uint32_t mask = m_mask;
        const uint32_t maskSerial = m_maskSerial;
        const uint32_t lines = m_modem;
        for (;;) {
            if (Aborted(call, error) || m_maskSerial != maskSerial) {
                break;
            }
            if ((mask & ComEvRxChar) != 0 && !m_input.empty()) {
                events |= ComEvRxChar;
            }
            const uint32_t changed = m_modem ^ lines;
            if ((changed & ComMsCtsOn) != 0) {
                events |= mask & ComEvCts;
            }
            if ((changed & ComMsDsrOn) != 0) {
                events |= mask & ComEvDsr;
            }
            if ((changed & ComMsRlsdOn) != 0) {
                events |= mask & ComEvRlsd;
            }
            if ((m_modem & ComMsRingOn) != 0 && (lines & ComMsRingOn) == 0) {
                events |= mask & ComEvRing;
            }
            if (events != 0) {
                break;
            }
            if (m_failure != 0) {
                error = m_failure;
                break;
            }
            if (stop != nullptr && stop->IsSet()) {
                break;
            }
            // The stop event is not one the condition can wait on; it is looked at often.
            const int slice = end.SliceMs(stop != nullptr ? 50 : 0x7FFFFFFF);
            if (slice <= 0) {
                break;
            }
            m_changed.wait_for(guard, std::chrono::milliseconds(slice));
        }
    }
    Leave(call);
    if (error != 0) {
        events = 0;
        return Fail(error);
    }
    return true;
}

bool TComDriverSocket::ReadFile(void* buffer, uint32_t count, uint32_t& transferred) {
    transferred = 0;
    TCall call(KindRead);
    if (!Enter(call)) {
        return false;
    }
    auto* out = static_cast<uint8_t*>(buffer);
    int error = 0;
    bool aborted = false;
    {
        std::unique_lock<std::mutex> guard(m_lock);
        const TComTimeoutValues t = m_timeouts;
        const bool discardNull = m_discardNull;
        const uint32_t start = m_clock.Milliseconds();
        const TReadWindow window(t, count);
        uint32_t lastByte = 0; // since the start
        for (;;) {
            if (Aborted(call, error)) {
                aborted = true;
                break;
            }
            bool took = false;
            while (transferred < count && !m_input.empty()) {
                const uint8_t b = m_input.front();
                m_input.pop_front();
                if (b == 0 && discardNull) {
                    continue;
                }
                out[transferred++] = b;
                took = true;
            }
            if (took) {
                lastByte = m_clock.Milliseconds() - start;
                m_changed.notify_all(); // room for the reader again
            }
            if (window.Done(transferred)) {
                break;
            }
            if (m_failure != 0 && m_input.empty()) {
                error = m_failure;
                break;
            }
            const TReadWindow::Duration after =
                window.End(transferred, std::chrono::milliseconds(lastByte));
            if (after == TReadWindow::NoLimit) {
                m_changed.wait(guard);
                continue;
            }
            const TClockDeadline end(m_clock, start,
                                     std::chrono::ceil<std::chrono::milliseconds>(after).count());
            const int slice = end.SliceMs();
            if (slice <= 0) {
                break;
            }
            m_changed.wait_for(guard, std::chrono::milliseconds(slice));
        }
    }
    Leave(call);
    // Bytes already taken are delivered; the failure shows at the next read.
    if (error != 0 && (aborted || transferred == 0)) {
        transferred = 0;
        return Fail(error);
    }
    return true;
}

bool TComDriverSocket::WriteFile(const void* data, uint32_t count, uint32_t& transferred) {
    transferred = 0;
    TCall call(KindWrite);
    if (!Enter(call)) {
        return false;
    }
    TComTimeoutValues t;
    bool telnet = false;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        t = m_timeouts;
        telnet = m_address.kind == TNetPortKind::Rfc2217;
    }
    int timeoutMs = -1;
    if (t.WriteTotalTimeoutMultiplier != 0 || t.WriteTotalTimeoutConstant != 0) {
        const uint64_t total =
            uint64_t{t.WriteTotalTimeoutMultiplier} * count + uint64_t{t.WriteTotalTimeoutConstant};
        timeoutMs = static_cast<int>(std::min<uint64_t>(total, 0x7FFFFFFF));
    }
    const auto* in = static_cast<const uint8_t*>(data);
    const std::string wire =
        telnet ? Telnet::Escape(in, count) : std::string(reinterpret_cast<const char*>(in), count);
    size_t sent = 0;
    int error = 0;
    SendAll(wire, timeoutMs, sent, error);
    if (error == 0) {
        std::lock_guard<std::mutex> guard(m_lock);
        Aborted(call, error);
    }
    Leave(call);
    if (error != 0) {
        return Fail(error);
    }
    if (!telnet || sent == wire.size()) {
        transferred = telnet ? count : static_cast<uint32_t>(sent);
        return true;
    }
    // Timed out part-way: count the bytes whose whole encoding went out.
    size_t at = 0;
    for (uint32_t i = 0; i < count; ++i) {
        at += in[i] == Telnet::Iac ? 2 : 1;
        if (at > sent) {
            break;
        }
        transferred = i + 1;
    }
    return true;
}

bool TComDriverSocket::PurgeComm(uint32_t flags) {
    TCall call(0);
    if (!Enter(call)) {
        return false;
    }
    const bool rx = (flags & (ComPurgeRxAbort | ComPurgeRxClear)) != 0;
    const bool tx = (flags & (ComPurgeTxAbort | ComPurgeTxClear)) != 0;
    bool telnet = false;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if ((flags & ComPurgeRxAbort) != 0) {
            ++m_readPurgeSerial;
        }
        if ((flags & ComPurgeTxAbort) != 0) {
            ++m_writePurgeSerial;
        }
        if (rx) {
            m_input.clear();
        }
        m_changed.notify_all();
        telnet = m_address.kind == TNetPortKind::Rfc2217 && m_failure == 0;
    }
    if (telnet && (rx || tx)) {
        // The server's buffers: 1 what it received from the line, 2 what it has yet to send
        // to it. Not waited for; a connection that is gone has nothing to purge.
        const char which = rx && tx ? 3 : (rx ? 1 : 2);
        SendControl(Telnet::ComPortCommand(Telnet::CpPurgeData, std::string(1, which)));
    }
    Leave(call);
    return true;
}

bool TComDriverSocket::ClearCommError(uint32_t& errors, uint32_t& inputQueue) {
    errors = 0;
    inputQueue = 0;
    std::lock_guard<std::mutex> guard(m_lock);
    if (!m_gate.IsOpen()) {
        return Fail(NetSocket::ClosedError());
    }
    inputQueue = static_cast<uint32_t>(std::min<size_t>(m_input.size(), MaxDword));
    return true;
}

bool TComDriverSocket::GetCommModemStatus(uint32_t& status) {
    status = 0;
    std::lock_guard<std::mutex> guard(m_lock);
    if (!m_gate.IsOpen()) {
        return Fail(NetSocket::ClosedError());
    }
    // A raw connection carries no lines: all off, as a terminal without modem lines.
    if (m_address.kind == TNetPortKind::Rfc2217 && m_failure == 0) {
        status = m_modem;
    }
    return true;
}

int32_t TComDriverSocket::LastError() const {
    return t_lastError;
}

std::string TComDriverSocket::PortNotice() const {
    std::lock_guard<std::mutex> guard(m_lock);
    if (!m_gate.Opened() || m_address.kind != TNetPortKind::Raw) {
        return std::string();
    }
    // Short enough for a status bar panel: the line settings, DTR and RTS are not sent and
    // no modem line is reported.
    return "Raw TCP: data only";
}

std::string TComDriverSocket::DescribeOpenFailure(const std::string& port, int32_t error) const {
    TNetAddress address;
    if (!ParseNetAddress(port, address)) {
        return "\"" + port +
               "\" is not a network port: write tcp://HOST:PORT or rfc2217://HOST:PORT";
    }
    const bool v6 = address.host.find(':') != std::string::npos;
    const std::string where =
        (v6 ? "[" + address.host + "]" : address.host) + ":" + std::to_string(address.port);
    if (error == NetSocket::UnknownHostError()) {
        return "No host is known by the name " + address.host;
    }
    if (error == NetSocket::NotSupportedError()) {
        return "The server at " + where +
               " does not offer serial-port control (RFC 2217); use tcp://" + where +
               " for a raw connection";
    }
    if (error == NetSocket::ClosedAtOnceError()) {
        return "The server at " + where +
               " closed the connection at once (is another client connected, or is its device "
               "busy?)";
    }
    if (error == NetSocket::CancelledError()) {
        return "Connecting to " + where + " was stopped";
    }
    if (error == NetSocket::TimedOutError()) {
        return "No answer from " + where + " within " + std::to_string(ConnectLimitMs / 1000) +
               " s";
    }
    return "No connection to " + where + SystemErrorTail(error);
}

long TComDriverSocket::Confirmed(uint8_t command) const {
    std::lock_guard<std::mutex> guard(m_lock);
    const auto it = m_confirmed.find(command);
    return it == m_confirmed.end() ? -1 : it->second;
}

long TComDriverSocket::ConfirmedDtr() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_confirmedDtr;
}

long TComDriverSocket::ConfirmedRts() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_confirmedRts;
}
