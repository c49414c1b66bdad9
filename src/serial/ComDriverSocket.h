#pragma once
// Network ports: a serial line reached through a TCP connection to a device server. Two
// kinds of address are understood:
//   tcp://HOST:PORT      the connection carries the line's bytes and nothing else;
//   rfc2217://HOST:PORT  Telnet with the COM-PORT-OPTION: line settings, DTR and RTS go to
//                        the server and are confirmed, the server reports the modem lines.
// The driver behaves like the terminal driver to everything above it: the same time-outs,
// the same cancellable waits, and a dropped connection fails like an unplugged device (EIO
// once every byte received before the drop has been read).

#include "serial/ComDriver.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

enum class TNetPortKind { Raw, Rfc2217 };

struct TNetAddress {
    TNetPortKind kind = TNetPortKind::Raw;
    std::string host; // without the brackets of an IPv6 literal
    uint16_t port = 0;
};

// Whether a port name is written as a network address (its scheme alone decides, so a
// malformed address still goes to the network driver and fails there with EINVAL).
bool IsNetworkPortName(const std::string& name);
// Parses "tcp://HOST:PORT" or "rfc2217://HOST:PORT" (scheme in any letter case, HOST a
// name, an IPv4 literal or a bracketed IPv6 literal, PORT 1..65535, a trailing '/'
// allowed). False for anything else.
bool ParseNetAddress(const std::string& text, TNetAddress& address);
// A port registered in the virtual-ports folder as a small text file holding an address
// instead of a link to a device. True when `path` is such a file; its first line is the
// address (blanks around it ignored).
bool ReadNetPortFile(const std::string& path, std::string& address);

// ---- Telnet with the COM-PORT-OPTION ----

namespace Telnet {
constexpr uint8_t Iac = 255;
constexpr uint8_t Dont = 254;
constexpr uint8_t Do = 253;
constexpr uint8_t Wont = 252;
constexpr uint8_t Will = 251;
constexpr uint8_t Sb = 250;
constexpr uint8_t Se = 240;

constexpr uint8_t OptBinary = 0;
constexpr uint8_t OptSuppressGoAhead = 3;
constexpr uint8_t OptComPort = 44;

// Commands of the option as the client sends them; the server answers with the same code
// plus ServerOffset.
constexpr uint8_t CpSetBaudRate = 1;
constexpr uint8_t CpSetDataSize = 2;
constexpr uint8_t CpSetParity = 3;
constexpr uint8_t CpSetStopSize = 4;
constexpr uint8_t CpSetControl = 5;
constexpr uint8_t CpNotifyLineState = 6;
constexpr uint8_t CpNotifyModemState = 7;
constexpr uint8_t CpSetLineStateMask = 10;
constexpr uint8_t CpSetModemStateMask = 11;
constexpr uint8_t CpPurgeData = 12;
constexpr uint8_t ServerOffset = 100;

// SET-CONTROL values used here.
constexpr uint8_t CtlFlowNone = 1;
constexpr uint8_t CtlFlowXonXoff = 2;
constexpr uint8_t CtlFlowHardware = 3;
constexpr uint8_t CtlDtrOn = 8;
constexpr uint8_t CtlDtrOff = 9;
constexpr uint8_t CtlRtsOn = 11;
constexpr uint8_t CtlRtsOff = 12;

// Data with every 0xFF doubled.
std::string Escape(const void* data, size_t size);
// IAC SB COM-PORT-OPTION <command> <value, escaped> IAC SE.
std::string ComPortCommand(uint8_t command, const std::string& value);

// The server's byte stream taken apart: line data, option negotiation and the option's
// sub-negotiations. Bytes may arrive split anywhere; state carries over between calls.
class TDecoder {
public:
    struct TCommand {
        uint8_t code = 0;  // as sent by the server (client code + ServerOffset)
        std::string value; // unescaped
    };
    struct TNegotiation {
        uint8_t verb = 0; // Will, Wont, Do, Dont
        uint8_t option = 0;
    };
    // Appends the line data in `in` to `data`, and the negotiations and com-port commands
    // completed by it to the two lists.
    void Feed(const uint8_t* in, size_t size, std::string& data,
              std::vector<TNegotiation>& negotiations, std::vector<TCommand>& commands);

private:
    enum class TState { Data, Command, Verb, Sub, SubCommand };
    TState m_state = TState::Data;
    uint8_t m_verb = 0;
    std::string m_sub; // option byte first
    bool m_subOverflow = false;
};
} // namespace Telnet

// ---- the system's sockets, one file per system ----

namespace NetSocket {
using THandle = intptr_t;
constexpr THandle Invalid = -1;

// Connects within `timeoutMs`; on failure returns Invalid with the system's error in
// `error` (refused, unreachable, timed out, unknown host). The socket does not block.
// With `cancel`, the wait for the server ends with CancelledError() soon after another
// thread sets it (looking up the host name is not cut short).
THandle Connect(const std::string& host, uint16_t port, int timeoutMs, int& error,
                const std::atomic<bool>* cancel = nullptr);
// How often a cancellable connect looks at its flag.
constexpr int CancelSliceMs = 20;
// Waits until the socket is readable (1), the time passes (0) or the wait fails (-1).
// Another thread's Shutdown ends the wait.
int WaitReadable(THandle socket, int timeoutMs);
// Same for writable.
int WaitWritable(THandle socket, int timeoutMs);
// >0 bytes, 0 at the end of the stream, -1 on failure (error set; WouldBlock(error) when
// nothing is there yet).
long Receive(THandle socket, void* buffer, size_t size, int& error);
long Send(THandle socket, const void* data, size_t size, int& error);
bool WouldBlock(int error);
void Shutdown(THandle socket);
void Close(THandle socket);
// The error a dropped connection reports to the layers above: the same as a device that
// went away, so the same hang-up handling applies.
int HangUpError();
// Errors of our own making.
int InvalidError(); // a malformed address or a value no line can take
int TimedOutError();
int NotSupportedError();
int ClosedError();
int BusyError();
int CancelledError();
// What Connect reports for a host name that does not resolve.
int UnknownHostError();
} // namespace NetSocket

class TComDriverSocket final : public TComDriver {
public:
    TComDriverSocket();
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
    std::string PortNotice() const override;
    // A malformed address, a host that is not known, a server that does not answer or
    // refuses, or one without the com-port option, each naming the address.
    std::string DescribeOpenFailure(const std::string& port, int32_t error) const override;

    // Whether the address is well formed. Whether a server answers there is found out only
    // by connecting, which this never does: it is asked while a connection is open, and a
    // second connection would disturb the server.
    bool PortPresent(const std::string& port) const override;
    // Whether the server at `port` answers again after a drop, found out without holding up
    // the caller (the window's thread) for more than ReturnWaitMs: a connection attempt runs
    // in the background with the usual limit, and each call looks at how it went, starting
    // the next attempt once one has failed. A connection that succeeds is kept for the Open
    // that follows instead of being closed as a probe: the server sees one connection, so a
    // device server that takes one client at a time is not found busy with the probe just
    // closed, and ser2net does not open and close the device (and its modem lines) an extra
    // time. A connection that no Open takes within HoldLimitMs is closed. For RFC 2217 the
    // attempt also sends the Telnet hello and succeeds only once the server answers, so a
    // server that accepts and then stays silent does not hold up the Open either.
    bool PortReturned(const std::string& port) const override;
    static constexpr int ReturnWaitMs = 50;
    static constexpr int HoldLimitMs = 2000;

    // What the server answered last to a com-port command (client code); -1 when it has
    // not answered it. SET-CONTROL answers are kept apart for flow control, DTR and RTS.
    long Confirmed(uint8_t command) const;
    long ConfirmedDtr() const;
    long ConfirmedRts() const;

private:
    struct TCall;
    struct TAttempt;
    // The caller holds m_attemptLock.
    void StartAttempt(const std::string& port, const TNetAddress& address) const;
    void DropAttempt() const;
    // The connection of a successful attempt for `port`, taken over; Invalid when there is
    // none. Any other attempt ends. `greeted`: the Telnet hello was sent on it.
    NetSocket::THandle TakeAttempt(const std::string& port, bool& greeted);
    bool Enter(TCall& call);
    void Leave(TCall& call);
    bool Aborted(const TCall& call, int& error) const; // caller holds m_lock
    void ReaderLoop();
    void TakeNegotiation(const Telnet::TDecoder::TNegotiation& n, std::string& reply);
    void TakeCommand(const Telnet::TDecoder::TCommand& c);
    bool SendAll(const std::string& bytes, int timeoutMs, size_t& sent, int& error);
    bool SendControl(const std::string& bytes);

    mutable std::mutex m_lock;
    std::condition_variable m_changed;
    std::mutex m_sendLock; // one sender at a time: a command never splits data
    NetSocket::THandle m_socket = NetSocket::Invalid;
    TNetAddress m_address;
    std::thread m_reader;
    bool m_open = false;
    bool m_closing = false;
    int m_users = 0;
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

    // The background connection attempt of PortReturned (asked through a const driver, as
    // a look that changes nothing the port's user can see).
    mutable std::mutex m_attemptLock;
    mutable std::unique_ptr<TAttempt> m_attempt;
};

// The driver the port device uses: a network address (or a virtual port whose file holds
// one) goes to the socket driver, every other name to the system's serial driver.
class TComDriverByName final : public TComDriver {
public:
    explicit TComDriverByName(std::unique_ptr<TComDriver> serial);
    TComDriverByName(std::unique_ptr<TComDriver> serial, std::string portsFolder);

    // The address a port name stands for, or empty when it names a serial device.
    std::string NetworkAddressOf(const std::string& port) const;

    bool Open(const std::string& port) override;
    bool Close() override { return Active().Close(); }
    bool SetupComm(uint32_t inputSize, uint32_t outputSize) override {
        return Active().SetupComm(inputSize, outputSize);
    }
    bool SetCommState(const TComDcb& dcb) override { return Active().SetCommState(dcb); }
    bool SetCommTimeouts(const TComTimeoutValues& timeouts) override {
        return Active().SetCommTimeouts(timeouts);
    }
    bool SetCommMask(uint32_t mask) override { return Active().SetCommMask(mask); }
    bool WaitCommEvent(uint32_t& events, TComStopEvent* stop, int32_t timeoutMs) override {
        return Active().WaitCommEvent(events, stop, timeoutMs);
    }
    bool ReadFile(void* buffer, uint32_t count, uint32_t& transferred) override {
        return Active().ReadFile(buffer, count, transferred);
    }
    bool WriteFile(const void* data, uint32_t count, uint32_t& transferred) override {
        return Active().WriteFile(data, count, transferred);
    }
    bool PurgeComm(uint32_t flags) override { return Active().PurgeComm(flags); }
    bool ClearCommError(uint32_t& errors, uint32_t& inputQueue) override {
        return Active().ClearCommError(errors, inputQueue);
    }
    bool GetCommModemStatus(uint32_t& status) override {
        return Active().GetCommModemStatus(status);
    }
    int32_t LastError() const override;
    std::string PortNotice() const override { return Active().PortNotice(); }
    bool PortPresent(const std::string& port) const override {
        const std::string address = NetworkAddressOf(port);
        return address.empty() ? m_serial->PortPresent(port) : m_socket->PortPresent(address);
    }
    bool PortReturned(const std::string& port) const override {
        const std::string address = NetworkAddressOf(port);
        return address.empty() ? m_serial->PortReturned(port) : m_socket->PortReturned(address);
    }
    std::string DescribeOpenFailure(const std::string& port, int32_t error) const override {
        const std::string address = NetworkAddressOf(port);
        return address.empty() ? m_serial->DescribeOpenFailure(port, error)
                               : m_socket->DescribeOpenFailure(address, error);
    }

    TComDriver& Serial() { return *m_serial; }
    TComDriverSocket& Socket() { return *m_socket; }

private:
    TComDriver& Active() const { return m_useSocket.load() ? *m_socket : *m_serial; }

    std::unique_ptr<TComDriver> m_serial;
    std::unique_ptr<TComDriverSocket> m_socket;
    std::string m_portsFolder;
    // Changes only in Open, while no other call is under way.
    std::atomic<bool> m_useSocket{false};
};

// The port device's default driver: the system's serial driver behind TComDriverByName.
std::unique_ptr<TComDriver> CreatePortDriver();
