#pragma once
// The driver seam of the port device: the communications operations the device needs,
// each with the effect the Windows function of the same name has on a serial port. The
// device never talks to the operating system itself; one driver per system provides these
// (ComDriverPosix.cpp, ComDriverWin32.cpp), and tests put a recording driver in its place.
//
// Every operation returns true on success. On failure the system error code of the failed
// call is kept per thread and read with LastError(), as GetLastError() does on Windows.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

// Device control block: the line settings exactly as SetCommState takes them, so the
// flag word a configuration produces can be checked bit for bit.
struct TComDcb {
    uint32_t DCBlength = 28;
    uint32_t BaudRate = 0;
    uint32_t Flags = 0; // the DcbFlag... bits below
    uint16_t wReserved = 0;
    uint16_t XonLim = 0;
    uint16_t XoffLim = 0;
    uint8_t ByteSize = 0;
    uint8_t Parity = 0;   // 0 none, 1 odd, 2 even, 3 mark, 4 space
    uint8_t StopBits = 0; // 0 one, 1 one and a half, 2 two
    char XonChar = 0;
    char XoffChar = 0;
    char ErrorChar = 0;
    char EofChar = 0;
    char EvtChar = 0;
    uint16_t wReserved1 = 0;

    bool Has(uint32_t flag) const { return (Flags & flag) != 0; }
    uint32_t DtrControl() const { return (Flags >> 4) & 0x3u; }
    uint32_t RtsControl() const { return (Flags >> 12) & 0x3u; }
};

constexpr uint32_t DcbFlagBinary = 0x0001;
constexpr uint32_t DcbFlagParity = 0x0002;
constexpr uint32_t DcbFlagOutxCtsFlow = 0x0004;
constexpr uint32_t DcbFlagOutxDsrFlow = 0x0008;
constexpr uint32_t DcbFlagDtrControlShift = 4; // two bits: 0 disable, 1 enable, 2 handshake
constexpr uint32_t DcbFlagDsrSensitivity = 0x0040;
constexpr uint32_t DcbFlagTxContinueOnXoff = 0x0080;
constexpr uint32_t DcbFlagOutX = 0x0100;
constexpr uint32_t DcbFlagInX = 0x0200;
constexpr uint32_t DcbFlagErrorChar = 0x0400;
constexpr uint32_t DcbFlagNull = 0x0800;
constexpr uint32_t DcbFlagRtsControlShift =
    12; // two bits: 0 disable, 1 enable, 2 handshake, 3 toggle
constexpr uint32_t DcbFlagAbortOnError = 0x4000;

// Read and write time-outs in milliseconds, as SetCommTimeouts takes them.
// ReadIntervalTimeout 0xFFFFFFFF with both read totals 0 means "return at once with what
// is there".
struct TComTimeoutValues {
    uint32_t ReadIntervalTimeout = 0;
    uint32_t ReadTotalTimeoutMultiplier = 0;
    uint32_t ReadTotalTimeoutConstant = 0;
    uint32_t WriteTotalTimeoutMultiplier = 0;
    uint32_t WriteTotalTimeoutConstant = 0;
};

// Line-event mask bits (SetCommMask, WaitCommEvent).
constexpr uint32_t ComEvRxChar = 0x0001;
constexpr uint32_t ComEvRxFlag = 0x0002;
constexpr uint32_t ComEvTxEmpty = 0x0004;
constexpr uint32_t ComEvCts = 0x0008;
constexpr uint32_t ComEvDsr = 0x0010;
constexpr uint32_t ComEvRlsd = 0x0020;
constexpr uint32_t ComEvBreak = 0x0040;
constexpr uint32_t ComEvErr = 0x0080;
constexpr uint32_t ComEvRing = 0x0100;
constexpr uint32_t ComEvRx80Full = 0x0400;

// Modem status bits (GetCommModemStatus).
constexpr uint32_t ComMsCtsOn = 0x0010;
constexpr uint32_t ComMsDsrOn = 0x0020;
constexpr uint32_t ComMsRingOn = 0x0040;
constexpr uint32_t ComMsRlsdOn = 0x0080;

// PurgeComm flags.
constexpr uint32_t ComPurgeTxAbort = 0x0001;
constexpr uint32_t ComPurgeRxAbort = 0x0002;
constexpr uint32_t ComPurgeTxClear = 0x0004;
constexpr uint32_t ComPurgeRxClear = 0x0008;

// A manual-reset event that another thread sets to end a WaitCommEvent early. Provided by
// the system's driver file (an eventfd on POSIX, an event object on Windows).
class TComStopEvent {
public:
    TComStopEvent();
    ~TComStopEvent();
    TComStopEvent(const TComStopEvent&) = delete;
    TComStopEvent& operator=(const TComStopEvent&) = delete;

    void Set();
    void Reset();
    bool IsSet() const;
    // The system object a driver waits on (a descriptor on POSIX, a HANDLE on Windows).
    intptr_t NativeHandle() const { return m_handle; }

private:
    intptr_t m_handle;
};

class TComDriver {
public:
    virtual ~TComDriver() = default;

    // CreateFileA: open the port by name for reading and writing, exclusively. Fails while
    // the driver already has a port open.
    virtual bool Open(const std::string& port) = 0;
    // CloseHandle: close the port. Waits, reads and writes pending in other threads end
    // with an error; the call returns once none of them uses the port any more.
    virtual bool Close() = 0;
    // SetupComm: input and output queue sizes in bytes.
    virtual bool SetupComm(uint32_t inputSize, uint32_t outputSize) = 0;
    virtual bool SetCommState(const TComDcb& dcb) = 0;
    virtual bool SetCommTimeouts(const TComTimeoutValues& timeouts) = 0;
    // SetCommMask: the line events WaitCommEvent reports (ComEv... bits). Setting a mask
    // ends a pending WaitCommEvent with no events.
    virtual bool SetCommMask(uint32_t mask) = 0;
    // WaitCommEvent and the wait for its completion: blocks until one of the masked events
    // happens (its bits in `events`), the stop event is set, or timeoutMs passes (-1: no
    // limit). After a stop or a time-out the call succeeds with `events` 0.
    virtual bool WaitCommEvent(uint32_t& events, TComStopEvent* stop, int32_t timeoutMs) = 0;
    // ReadFile and the wait for its completion: how long it lasts follows the time-outs.
    virtual bool ReadFile(void* buffer, uint32_t count, uint32_t& transferred) = 0;
    // WriteFile and the wait for its completion, bounded by the write time-outs.
    virtual bool WriteFile(const void* data, uint32_t count, uint32_t& transferred) = 0;
    // PurgeComm: ComPurge... flags; the abort flags end pending reads, writes and waits.
    virtual bool PurgeComm(uint32_t flags) = 0;
    // ClearCommError: clears the driver's error state; gives the error bits and the number
    // of bytes waiting in the input queue.
    virtual bool ClearCommError(uint32_t& errors, uint32_t& inputQueue) = 0;
    // GetCommModemStatus: ComMs... bits of CTS, DSR, RING and RLSD.
    virtual bool GetCommModemStatus(uint32_t& status) = 0;
    // GetLastError: the system error code of this thread's last failed call.
    virtual int32_t LastError() const = 0;
    // SetCommBreak, a pause of about a quarter of a second, ClearCommBreak: a break on the
    // transmit line. False when the line cannot carry one; this default is such a line and
    // leaves LastError as it was.
    virtual bool SendBreak() { return false; }
    // A short remark about the open port for the status bar, such as what the port cannot
    // carry; empty for a port that behaves like any serial line.
    virtual std::string PortNotice() const { return std::string(); }

    // Whether a port of this name is there to be opened now (its device node, or the link
    // that registers it). Only a hint for waiting until it comes back: the open decides.
    // A driver that cannot tell says yes.
    virtual bool PortPresent(const std::string& port) const {
        (void)port;
        return true;
    }
    // Whether a port that went away while open is there again. Stricter than PortPresent
    // where a name can lead to another device than before: a registration that still
    // points to the pseudo-terminal number of the lost one may now reach whoever got that
    // number next; only a registration made anew counts. Not const: a driver may have to
    // start finding out (a network driver connects in the background).
    virtual bool PortReturned(const std::string& port) { return PortPresent(port); }
    // Whether opening `port` may take a while: a connection to a server, with a time limit
    // of its own. A front end with a window opens such a port on another thread.
    virtual bool OpenMayWait(const std::string& port) const {
        (void)port;
        return false;
    }
    // Stops an Open under way on another thread, with the settings that follow it: they
    // fail soon instead of waiting out their time limits. Cleared (false) on the owner's
    // thread before an open starts, set (true) to stop it. A driver whose open never waits
    // ignores it.
    virtual void SetOpenStopped(bool stopped) { (void)stopped; }
    // Why Open(port) failed with `error`, in words a user can act on (one line); empty
    // when the driver has nothing to add to the error code.
    virtual std::string DescribeOpenFailure(const std::string& port, int32_t error) const {
        (void)port;
        (void)error;
        return std::string();
    }

    // Where a thread of the driver's own (a network connection's reader, the watch for a
    // server's return) tells a failure that no call of the caller's returns: what went
    // wrong, on that thread. Set it before the first open.
    using TFailureHandler = std::function<void(const std::string& what)>;
    virtual void SetFailureHandler(TFailureHandler handler) { m_onFailure = std::move(handler); }

protected:
    void ReportThreadFailure(const std::string& what) const {
        if (m_onFailure) {
            m_onFailure(what);
        }
    }

private:
    TFailureHandler m_onFailure;
};

// Whether the system error of a failed call means that the port's device is gone: a serial
// adapter unplugged, the far end of a pseudo-terminal or of a network connection closed.
// Every driver reports such a loss with one of these codes and uses them for nothing else,
// so that the connection tells a hang-up from other failures in one place. Provided by the
// system's driver file, beside CreateSystemComDriver.
bool IsHangUpError(int32_t systemError);

// The driver of the system the program runs on.
std::unique_ptr<TComDriver> CreateSystemComDriver();
