#include "serial/ComDriverWin32.h"

#include "platform/WindowsApi.h"
#include "serial/ComDriverCalls.h"

#include <algorithm>
#include <chrono>
#include <cstring>

static_assert(sizeof(TComDcb) == sizeof(DCB), "TComDcb mirrors the system's DCB");
static_assert(ComPurgeTxAbort == PURGE_TXABORT && ComPurgeRxAbort == PURGE_RXABORT &&
              ComPurgeTxClear == PURGE_TXCLEAR && ComPurgeRxClear == PURGE_RXCLEAR);
static_assert(ComEvRxChar == EV_RXCHAR && ComEvCts == EV_CTS && ComEvDsr == EV_DSR &&
              ComEvRlsd == EV_RLSD && ComEvRing == EV_RING && ComEvErr == EV_ERR &&
              ComEvBreak == EV_BREAK && ComEvTxEmpty == EV_TXEMPTY);
static_assert(ComMsCtsOn == MS_CTS_ON && ComMsDsrOn == MS_DSR_ON && ComMsRingOn == MS_RING_ON &&
              ComMsRlsdOn == MS_RLSD_ON);

namespace {

using namespace ComDriverCalls;

// Kept per thread and at the failing call: the system's own last error is overwritten by
// the clean-up calls that follow a failure.
thread_local int32_t t_lastError = 0;

bool Fail(DWORD error) {
    t_lastError = static_cast<int32_t>(error);
    return false;
}

// How long a call waits for the system to let go of an operation it was told to end, and
// how long a close waits for the calls it woke. Every wait on the way to a closed port is
// bounded by these.
constexpr DWORD AbandonWaitMs = 1000;
constexpr DWORD CloseWaitMs = 2000;

HANDLE NewEvent() {
    return CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

HANDLE AsHandle(intptr_t handle) {
    return reinterpret_cast<HANDLE>(handle);
}

// What PurgeComm answers for a device that has gone (a USB adapter pulled out): there is
// nothing left to purge, and failing would make its port impossible to close.
bool DeviceGone(DWORD error) {
    return error == ERROR_ACCESS_DENIED || error == ERROR_BAD_COMMAND ||
           error == ERROR_GEN_FAILURE || error == ERROR_DEVICE_NOT_CONNECTED ||
           error == ERROR_OPERATION_ABORTED || error == 1617 /* ERROR_DEVICE_REMOVED */;
}

} // namespace

// ---- stop event ----

TComStopEvent::TComStopEvent() : m_handle(reinterpret_cast<intptr_t>(NewEvent())) {}

TComStopEvent::~TComStopEvent() {
    if (m_handle != 0) {
        CloseHandle(AsHandle(m_handle));
    }
}

void TComStopEvent::Set() {
    SetEvent(AsHandle(m_handle));
}

void TComStopEvent::Reset() {
    ResetEvent(AsHandle(m_handle));
}

bool TComStopEvent::IsSet() const {
    return WaitForSingleObject(AsHandle(m_handle), 0) == WAIT_OBJECT_0;
}

std::unique_ptr<TComDriver> CreateSystemComDriver() {
    return std::make_unique<TComDriverWin32>();
}

bool IsHangUpError(int32_t systemError) {
    switch (static_cast<DWORD>(systemError)) {
    case ERROR_ACCESS_DENIED: // what calls on an unplugged USB adapter answer
    case ERROR_BAD_COMMAND:
    case ERROR_GEN_FAILURE:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEV_NOT_EXIST:
    case 1617: // ERROR_DEVICE_REMOVED
    case ERROR_NETNAME_DELETED:
    case ERROR_BROKEN_PIPE:
    case ERROR_PIPE_NOT_CONNECTED:
    case 10053: // WSAECONNABORTED
    case 10054: // WSAECONNRESET
    case 10057: // WSAENOTCONN
    case 10058: // WSAESHUTDOWN
    case 10060: // WSAETIMEDOUT
    case 10065: // WSAEHOSTUNREACH
        return true;
    default:
        return false;
    }
}

// ---- driver ----

// What the system writes into while an operation is pending: the OVERLAPPED record, the
// event mask of a wait and the bytes of a transfer. It lives on the heap so that an
// operation the system never lets go of (a driver that ignores every cancel) can be left to
// it, instead of being freed while the system may still write into it.
struct TIoBlock {
    TIoBlock() = default;
    TIoBlock(const TIoBlock&) = delete;
    TIoBlock& operator=(const TIoBlock&) = delete;
    ~TIoBlock() {
        if (overlapped.hEvent != nullptr) {
            CloseHandle(overlapped.hEvent);
        }
    }

    OVERLAPPED overlapped{};
    DWORD occurred = 0; // WaitCommEvent writes here until the wait completes
    std::unique_ptr<uint8_t[]> bytes;
};

struct TComDriverWin32::TCall {
    explicit TCall(unsigned k) : kind(k) {}
    TCall(const TCall&) = delete;
    TCall& operator=(const TCall&) = delete;
    ~TCall() {
        if (wakeEvent != nullptr) {
            CloseHandle(wakeEvent);
        }
        if (stuck) {
            // The system still owns the block; it is left to it for good.
            static_cast<void>(io.release());
        }
    }

    HANDLE IoEvent() const { return io->overlapped.hEvent; }

    // Waits for the overlapped operation (when one was started), another thread's wake-up
    // or the stop event.
    enum class Outcome { Completed, Woken, Stopped, TimedOut, Failed };
    Outcome Await(bool withIo, HANDLE stop, DWORD timeoutMs) {
        HANDLE handles[3] = {};
        DWORD count = 0;
        // The operation's own event comes first: when it completed at the moment another
        // thread woke us, its result is taken.
        if (withIo) {
            handles[count++] = IoEvent();
        }
        const DWORD wakeIndex = count;
        handles[count++] = wakeEvent;
        if (stop != nullptr) {
            handles[count++] = stop;
        }
        const DWORD result = WaitForMultipleObjects(count, handles, FALSE, timeoutMs);
        if (result == WAIT_TIMEOUT) {
            return Outcome::TimedOut;
        }
        if (result - WAIT_OBJECT_0 >= count) {
            waitError = result == WAIT_FAILED ? GetLastError() : ERROR_INVALID_HANDLE;
            return Outcome::Failed;
        }
        const DWORD index = result - WAIT_OBJECT_0;
        if (withIo && index == 0) {
            return Outcome::Completed;
        }
        return index == wakeIndex ? Outcome::Woken : Outcome::Stopped;
    }

    // Ends the operation still pending and waits, at most AbandonWaitMs, until the system
    // has let go of its block. CancelIo reaches only I/O this thread issued, which is why
    // other threads wake the issuing thread instead of cancelling themselves. Some drivers
    // (and Wine) end a pending WaitCommEvent only for a new event mask, never for a cancel
    // or a purge, so a wait still pending is ended with an empty mask first, and the mask
    // the port should keep (`keepMask`, 0 for none) is set again afterwards. An operation
    // that still has not ended is left to the system (`stuck`): closing the handle ends it.
    // True when the operation had completed after all rather than being cancelled.
    bool Abandon(DWORD keepMask = 0) {
        const bool endWait = kind == KindWait && !HasOverlappedIoCompleted(&io->overlapped);
        if (endWait) {
            ::SetCommMask(handle, 0);
        }
        CancelIo(handle);
        const bool ended = WaitForSingleObject(IoEvent(), AbandonWaitMs) == WAIT_OBJECT_0;
        if (endWait && keepMask != 0) {
            ::SetCommMask(handle, keepMask);
        }
        if (!ended) {
            stuck = true;
            return false;
        }
        DWORD ignored = 0;
        return GetOverlappedResult(handle, &io->overlapped, &ignored, FALSE) != FALSE;
    }

    unsigned kind;
    HANDLE handle = nullptr;
    HANDLE wakeEvent = nullptr; // only calls that block have this and `io`
    std::unique_ptr<TIoBlock> io;
    bool stuck = false;
    int reason = ReasonNone;
    DWORD waitError = 0;

    void Wake() const { SetEvent(wakeEvent); }
};

TComDriverWin32::~TComDriverWin32() {
    bool open = false;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        open = m_gate.IsOpen();
    }
    if (open) {
        Close();
    }
}

std::string TComDriverWin32::DevicePath(const std::string& port) {
    if (port.rfind("\\\\", 0) == 0) {
        return port;
    }
    return "\\\\.\\" + port;
}

bool TComDriverWin32::Enter(TCall& call) {
    if (call.kind != KindOther) {
        call.io = std::make_unique<TIoBlock>();
        call.io->overlapped.hEvent = NewEvent();
        call.wakeEvent = NewEvent();
        if (call.io->overlapped.hEvent == nullptr || call.wakeEvent == nullptr) {
            return Fail(GetLastError());
        }
    }
    if (!m_gate.Enter(call, call.wakeEvent != nullptr, [&] { call.handle = m_handle; })) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    return true;
}

void TComDriverWin32::Leave(TCall& call) {
    if (call.stuck) {
        ++m_endWaitsTimedOut;
    }
    m_gate.Leave(call);
}

// The event mask the port keeps once a wait has been ended: none while it is closing.
uint32_t TComDriverWin32::KeptMask() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_gate.Closing() ? 0 : m_mask;
}

bool TComDriverWin32::Open(const std::string& port) {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_gate.Opened()) {
            return Fail(ERROR_BUSY);
        }
    }
    // No sharing: a port another program holds fails here with ERROR_ACCESS_DENIED.
    const HANDLE handle = CreateFileA(DevicePath(port).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return Fail(GetLastError());
    }
    // A device path may name a volume, a file or a pipe, none of which is a port. Other
    // types stay allowed: some serial drivers register a device type the system calls
    // unknown.
    const DWORD type = GetFileType(handle);
    if (type == FILE_TYPE_DISK || type == FILE_TYPE_PIPE) {
        CloseHandle(handle);
        return Fail(ERROR_INVALID_FUNCTION);
    }
    std::lock_guard<std::mutex> guard(m_lock);
    m_handle = handle;
    m_gate.MarkOpen();
    m_mask = 0;
    return true;
}

bool TComDriverWin32::Close() {
    HANDLE handle = nullptr;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (!m_gate.BeginClose()) {
            return Fail(ERROR_INVALID_HANDLE);
        }
        handle = m_handle;
    }
    // A pending WaitCommEvent ends for a new mask on every driver, also on those that
    // ignore a cancel; its thread then only has to notice the wake-up.
    ::SetCommMask(handle, 0);
    bool idle = false;
    {
        std::unique_lock<std::mutex> guard(m_lock);
        // Woken calls leave within their own bound; the wait here is bounded too, so that a
        // close can never hang.
        idle = m_gate.WakeAllAndWaitIdle(guard, std::chrono::milliseconds(CloseWaitMs));
    }
    // A call still inside has left its operation to the system and waits on its own event
    // only: closing the handle ends that operation.
    const bool closed = CloseHandle(handle) != FALSE;
    const DWORD error = closed ? 0 : GetLastError();
    std::unique_lock<std::mutex> guard(m_lock);
    if (!idle) {
        ++m_endWaitsTimedOut;
        m_gate.WaitIdle(guard, std::chrono::milliseconds(AbandonWaitMs));
    }
    m_handle = nullptr;
    m_gate.EndClose();
    return closed ? true : Fail(error);
}

bool TComDriverWin32::SetupComm(uint32_t inputSize, uint32_t outputSize) {
    TCall call(KindOther);
    if (!Enter(call)) {
        return false;
    }
    const bool ok = ::SetupComm(call.handle, inputSize, outputSize) != FALSE;
    const DWORD error = ok ? 0 : GetLastError();
    Leave(call);
    return ok ? true : Fail(error);
}

bool TComDriverWin32::SetCommState(const TComDcb& dcb) {
    DCB state{};
    state.DCBlength = sizeof(DCB);
    state.BaudRate = dcb.BaudRate;
    const auto bit = [&dcb](uint32_t flag) -> DWORD { return dcb.Has(flag) ? 1 : 0; };
    state.fBinary = bit(DcbFlagBinary);
    state.fParity = bit(DcbFlagParity);
    state.fOutxCtsFlow = bit(DcbFlagOutxCtsFlow);
    state.fOutxDsrFlow = bit(DcbFlagOutxDsrFlow);
    state.fDtrControl = dcb.DtrControl();
    state.fDsrSensitivity = bit(DcbFlagDsrSensitivity);
    state.fTXContinueOnXoff = bit(DcbFlagTxContinueOnXoff);
    state.fOutX = bit(DcbFlagOutX);
    state.fInX = bit(DcbFlagInX);
    state.fErrorChar = bit(DcbFlagErrorChar);
    state.fNull = bit(DcbFlagNull);
    state.fRtsControl = dcb.RtsControl();
    state.fAbortOnError = bit(DcbFlagAbortOnError);
    state.XonLim = dcb.XonLim;
    state.XoffLim = dcb.XoffLim;
    state.ByteSize = dcb.ByteSize;
    state.Parity = dcb.Parity;
    state.StopBits = dcb.StopBits;
    state.XonChar = dcb.XonChar;
    state.XoffChar = dcb.XoffChar;
    state.ErrorChar = dcb.ErrorChar;
    state.EofChar = dcb.EofChar;
    state.EvtChar = dcb.EvtChar;

    TCall call(KindOther);
    if (!Enter(call)) {
        return false;
    }
    const bool ok = ::SetCommState(call.handle, &state) != FALSE;
    const DWORD error = ok ? 0 : GetLastError();
    Leave(call);
    return ok ? true : Fail(error);
}

bool TComDriverWin32::SetCommTimeouts(const TComTimeoutValues& timeouts) {
    COMMTIMEOUTS values{};
    values.ReadIntervalTimeout = timeouts.ReadIntervalTimeout;
    values.ReadTotalTimeoutMultiplier = timeouts.ReadTotalTimeoutMultiplier;
    values.ReadTotalTimeoutConstant = timeouts.ReadTotalTimeoutConstant;
    values.WriteTotalTimeoutMultiplier = timeouts.WriteTotalTimeoutMultiplier;
    values.WriteTotalTimeoutConstant = timeouts.WriteTotalTimeoutConstant;
    TCall call(KindOther);
    if (!Enter(call)) {
        return false;
    }
    const bool ok = ::SetCommTimeouts(call.handle, &values) != FALSE;
    const DWORD error = ok ? 0 : GetLastError();
    Leave(call);
    return ok ? true : Fail(error);
}

bool TComDriverWin32::SetCommMask(uint32_t mask) {
    TCall call(KindOther);
    if (!Enter(call)) {
        return false;
    }
    // The system ends a pending WaitCommEvent itself; the signal covers drivers that do not.
    const bool ok = ::SetCommMask(call.handle, mask) != FALSE;
    const DWORD error = ok ? 0 : GetLastError();
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (ok) {
            m_mask = mask;
        }
        m_gate.Wake(KindWait, ReasonMask);
    }
    Leave(call);
    return ok ? true : Fail(error);
}

bool TComDriverWin32::WaitCommEvent(uint32_t& events, TComStopEvent* stop, int32_t timeoutMs) {
    events = 0;
    TCall call(KindWait);
    if (!Enter(call)) {
        return false;
    }
    uint32_t mask = 0;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        mask = m_mask;
    }
    const HANDLE stopHandle = stop != nullptr ? AsHandle(stop->NativeHandle()) : nullptr;
    const DWORD timeout = timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs);
    DWORD error = 0;
    bool pending = false;
    // The system refuses a wait without events; such a wait ends only by a wake-up, the stop
    // event or the time-out.
    if (mask != 0) {
        if (::WaitCommEvent(call.handle, &call.io->occurred, &call.io->overlapped)) {
            events = call.io->occurred;
        } else if (GetLastError() == ERROR_IO_PENDING) {
            pending = true;
        } else {
            error = GetLastError();
        }
    }
    // The system reports a character when it arrives, and setting a mask forgets what came
    // before: bytes that arrived between the last read and this wait would sit unreported
    // until more follow. Input already waiting counts as an event, as it does on POSIX; the
    // check comes after the wait has started, so nothing arriving in between is missed.
    DWORD lineErrors = 0;
    COMSTAT status{};
    if (pending && (mask & ComEvRxChar) != 0 &&
        ::ClearCommError(call.handle, &lineErrors, &status) && status.cbInQue > 0) {
        pending = false;
        events = ComEvRxChar;
        // Line events that completed the wait meanwhile are reported with it.
        if (call.Abandon(KeptMask())) {
            events |= call.io->occurred;
        }
    }
    if (error == 0 && (pending || mask == 0)) {
        const TCall::Outcome outcome = call.Await(pending, stopHandle, timeout);
        switch (outcome) {
        case TCall::Outcome::Completed: {
            DWORD ignored = 0;
            if (GetOverlappedResult(call.handle, &call.io->overlapped, &ignored, FALSE)) {
                events = call.io->occurred;
            } else {
                error = GetLastError();
            }
            break;
        }
        case TCall::Outcome::Woken: {
            int reason = ReasonNone;
            {
                std::lock_guard<std::mutex> guard(m_lock);
                reason = call.reason;
            }
            if (reason == ReasonClosed) {
                error = ERROR_INVALID_HANDLE;
            } else if (reason == ReasonPurged) {
                error = ERROR_OPERATION_ABORTED;
            }
            break; // a new mask ends the wait with no events
        }
        case TCall::Outcome::Failed:
            error = call.waitError;
            break;
        case TCall::Outcome::Stopped:
        case TCall::Outcome::TimedOut:
            break;
        }
        if (pending && outcome != TCall::Outcome::Completed) {
            call.Abandon(KeptMask());
        }
    }
    Leave(call);
    if (error != 0) {
        events = 0;
        return Fail(error);
    }
    // Only the events asked for: a wait the system ended for a new mask reports none.
    events &= mask;
    return true;
}

// Completes a ReadFile or WriteFile that `ok` tells was started (or failed to start).
bool TComDriverWin32::Transfer(TCall& call, bool ok, uint32_t& transferred) {
    DWORD error = 0;
    if (!ok && GetLastError() != ERROR_IO_PENDING) {
        error = GetLastError();
    } else {
        // How long the transfer lasts is the system's business: it follows the time-outs.
        const TCall::Outcome outcome = call.Await(true, nullptr, INFINITE);
        if (outcome == TCall::Outcome::Completed) {
            DWORD done = 0;
            // A transfer ended by its time-out succeeds with the bytes moved so far.
            if (GetOverlappedResult(call.handle, &call.io->overlapped, &done, FALSE)) {
                transferred = done;
            } else {
                error = GetLastError();
            }
        } else {
            if (outcome == TCall::Outcome::Failed) {
                error = call.waitError;
            } else {
                std::lock_guard<std::mutex> guard(m_lock);
                error =
                    call.reason == ReasonClosed ? ERROR_INVALID_HANDLE : ERROR_OPERATION_ABORTED;
            }
            // Bytes of an aborted transfer are dropped with it.
            call.Abandon();
        }
    }
    Leave(call);
    if (error != 0) {
        transferred = 0;
        return Fail(error);
    }
    return true;
}

bool TComDriverWin32::ReadFile(void* buffer, uint32_t count, uint32_t& transferred) {
    transferred = 0;
    TCall call(KindRead);
    if (!Enter(call)) {
        return false;
    }
    // The system reads into the call's own block, which it may keep when it never lets go
    // of the read; the caller's buffer gets the bytes once the read has ended.
    call.io->bytes.reset(new uint8_t[count > 0 ? count : 1]);
    // DiscardNull is the system driver's own (fNull): nothing to filter here.
    const bool ok = ::ReadFile(call.handle, call.io->bytes.get(), count, nullptr,
                               &call.io->overlapped) != FALSE;
    if (!Transfer(call, ok, transferred)) {
        return false;
    }
    std::memcpy(buffer, call.io->bytes.get(), std::min(transferred, count));
    return true;
}

bool TComDriverWin32::WriteFile(const void* data, uint32_t count, uint32_t& transferred) {
    transferred = 0;
    TCall call(KindWrite);
    if (!Enter(call)) {
        return false;
    }
    call.io->bytes.reset(new uint8_t[count > 0 ? count : 1]);
    if (count > 0) {
        std::memcpy(call.io->bytes.get(), data, count);
    }
    const bool ok = ::WriteFile(call.handle, call.io->bytes.get(), count, nullptr,
                                &call.io->overlapped) != FALSE;
    return Transfer(call, ok, transferred);
}

bool TComDriverWin32::SendBreak() {
    TCall call(KindOther);
    if (!Enter(call)) {
        return false;
    }
    DWORD error = 0;
    if (!SetCommBreak(call.handle)) {
        error = GetLastError();
    } else {
        Sleep(250);
        if (!ClearCommBreak(call.handle)) {
            error = GetLastError();
        }
    }
    Leave(call);
    return error == 0 ? true : Fail(error);
}

bool TComDriverWin32::PurgeComm(uint32_t flags) {
    TCall call(KindOther);
    if (!Enter(call)) {
        return false;
    }
    // The system aborts pending reads and writes itself but leaves a pending WaitCommEvent
    // alone; the port device expects a purge with the abort flags to end that too.
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_gate.WakeForPurge(flags);
    }
    DWORD error = 0;
    if (!::PurgeComm(call.handle, flags) && !DeviceGone(GetLastError())) {
        error = GetLastError();
    }
    Leave(call);
    return error == 0 ? true : Fail(error);
}

bool TComDriverWin32::ClearCommError(uint32_t& errors, uint32_t& inputQueue) {
    errors = 0;
    inputQueue = 0;
    TCall call(KindOther);
    if (!Enter(call)) {
        return false;
    }
    DWORD flags = 0;
    COMSTAT status{};
    const bool ok = ::ClearCommError(call.handle, &flags, &status) != FALSE;
    const DWORD error = ok ? 0 : GetLastError();
    Leave(call);
    if (!ok) {
        return Fail(error);
    }
    errors = flags;
    inputQueue = status.cbInQue;
    return true;
}

bool TComDriverWin32::GetCommModemStatus(uint32_t& status) {
    status = 0;
    TCall call(KindOther);
    if (!Enter(call)) {
        return false;
    }
    DWORD lines = 0;
    const bool ok = ::GetCommModemStatus(call.handle, &lines) != FALSE;
    const DWORD error = ok ? 0 : GetLastError();
    Leave(call);
    if (!ok) {
        return Fail(error);
    }
    status = lines & (ComMsCtsOn | ComMsDsrOn | ComMsRingOn | ComMsRlsdOn);
    return true;
}

int32_t TComDriverWin32::LastError() const {
    return t_lastError;
}
