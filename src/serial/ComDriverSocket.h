#pragma once
// Network ports: a serial line reached through a TCP connection to a device server. Two
// kinds of address are understood:
//   tcp://HOST:PORT      the connection carries the line's bytes and nothing else;
//   rfc2217://HOST:PORT  Telnet with the COM-PORT-OPTION: line settings, DTR and RTS go to
//                        the server and are confirmed, the server reports the modem lines.
// The driver behaves like the terminal driver to everything above it: the same time-outs,
// the same cancellable waits, and a dropped connection fails like an unplugged device (EIO
// once every byte received before the drop has been read).

#include "platform/Platform.h"
#include "serial/ComDriver.h"
#include "serial/ComDriverCalls.h"
#include "serial/NetAddress.h"
#include "serial/NetPortReturn.h"
#include "serial/NetSocket.h"
#include "serial/TelnetCodec.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>

class TComDriverSocket final : public TComDriver {
public:
    // Every time limit of the driver is counted on `clock`.
    explicit TComDriverSocket(Clock& clock = SystemClock::Instance());
    ~TComDriverSocket() override;
    TComDriverSocket(const TComDriverSocket&) = delete;
    TComDriverSocket& operator=(const TComDriverSocket&) = delete;

    // How long connecting may take, and how long a setting waits for the server's answer.
    static constexpr int ConnectLimitMs = 3000;
    static constexpr int ConfirmLimitMs = 3000;

    // `port` is a tcp:// or rfc2217:// address.
    bool Open(const std::string& port) override;
    bool Close() override;
    bool SetupComm(uint32_t inputSize, uint32_t outputSize) override;
    // Raw: accepted and not sent. RFC 2217: what differs from the last confirmed state is
    // sent, then the call waits for the server's answers; a value the server did not take
    // fails with EINVAL, no answer in time with ETIMEDOUT.
    bool SetCommState(const TComDcb& dcb) override;
    bool SetCommTimeouts(const TComTimeoutValues& timeouts) override;
    bool SetCommMask(uint32_t mask) override;
    bool WaitCommEvent(uint32_t& events, TComStopEvent* stop, int32_t timeoutMs) override;
    bool ReadFile(void* buffer, uint32_t count, uint32_t& transferred) override;
    bool WriteFile(const void* data, uint32_t count, uint32_t& transferred) override;
    // RFC 2217: the server is asked to purge its buffers as well.
    bool PurgeComm(uint32_t flags) override;
    bool ClearCommError(uint32_t& errors, uint32_t& inputQueue) override;
    // Raw: all lines off. RFC 2217: the lines of the server's last notification.
    bool GetCommModemStatus(uint32_t& status) override;
    int32_t LastError() const override;
    // RFC 2217: the server sets the break state, then clears it. Raw: not supported.
    bool SendBreak() override;
    std::string PortNotice() const override;
    // A malformed address, a host that is not known, a server that does not answer or
    // refuses, or one without the com-port option, each naming the address.
    std::string DescribeOpenFailure(const std::string& port, int32_t error) const override;

    bool OpenMayWait(const std::string& port) const override { return PortPresent(port); }
    // Ends the connecting, the wait for the hello's answer and the waits of the settings
    // for their confirmation; they fail with NetSocket::CancelledError().
    void SetOpenStopped(bool stopped) override;
    // Whether the address is well formed. Whether a server answers there is found out only
    // by connecting, which this never does: it is asked while a connection is open, and a
    // second connection would disturb the server.
    bool PortPresent(const std::string& port) const override;
    // Whether the server at `port` answers again after a drop (TNetPortReturnWatch): looks
    // at a connection attempt in the background, starting one when none is under way.
    bool PortReturned(const std::string& port) override;
    static constexpr int ReturnWaitMs = TNetPortReturnWatch::ReturnWaitMs;
    static constexpr int HoldLimitMs = TNetPortReturnWatch::HoldLimitMs;

    // What the server answered last to a com-port command (client code); -1 when it has
    // not answered it. SET-CONTROL answers are kept apart for flow control, DTR and RTS.
    long Confirmed(uint8_t command) const;
    long ConfirmedDtr() const;
    long ConfirmedRts() const;

private:
    struct TCall;
    bool Enter(TCall& call);
    void Leave(TCall& call);
    bool Aborted(const TCall& call, int& error) const; // caller holds m_lock
    void ReaderLoop();
    void ReadUntilEnd();
    // The reader cannot go on: told through the failure handler, and every call fails from
    // now on as for a dropped connection.
    void ReaderFailed(const std::string& what);
    void TakeNegotiation(const Telnet::TDecoder::TNegotiation& n, std::string& reply);
    void TakeCommand(const Telnet::TDecoder::TCommand& c);
    bool SendAll(const std::string& bytes, int timeoutMs, size_t& sent, int& error);
    bool SendControl(const std::string& bytes);

    Clock& m_clock;
    mutable std::mutex m_lock;
    ComDriverCalls::TCallGate<TCall> m_gate{m_lock};
    std::condition_variable m_changed;
    std::mutex m_sendLock; // one sender at a time: a command never splits data
    NetSocket::THandle m_socket = NetSocket::Invalid;
    TNetAddress m_address;
    std::thread m_reader;
    std::atomic<bool> m_openStopped{false};
    // Set by the reader when the connection ends: the error every call reports once the
    // input is drained.
    int m_failure = 0;

    std::deque<uint8_t> m_input;
    size_t m_inputLimit = 1u << 20;
    TComTimeoutValues m_timeouts;
    uint32_t m_mask = 0;
    uint32_t m_maskSerial = 0;
    uint32_t m_readPurgeSerial = 0;
    uint32_t m_writePurgeSerial = 0;
    bool m_discardNull = false;

    // RFC 2217 state.
    Telnet::TDecoder m_decoder;
    bool m_comPortAgreed = false;
    bool m_comPortRefused = false;
    bool m_willRequested[256] = {};
    bool m_doRequested[256] = {};
    bool m_weWill[256] = {};
    bool m_theyWill[256] = {};
    uint32_t m_modem = 0;        // ComMs... bits
    uint32_t m_modemSerial = 0;  // counts notifications that changed a line
    uint32_t m_modemChanged = 0; // ComMs... bits changed by the last notifications
    std::map<uint8_t, long> m_confirmed;
    long m_confirmedDtr = -1;
    long m_confirmedRts = -1;
    uint32_t m_sizeAnswers = 0; // counts SET-DATASIZE answers
    bool m_stateKnown = false;
    TComDcb m_applied;

    TNetPortReturnWatch m_returnWatch{
        m_clock, ConnectLimitMs, [this](const std::string& what) { ReportThreadFailure(what); }};
};
