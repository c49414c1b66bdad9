#pragma once
// The port driver on Windows: the system's communications functions on a handle opened
// for overlapped I/O, so that a wait, a read and a write may be pending in different
// threads at once, each with its own OVERLAPPED record and event.

#include "serial/ComDriver.h"
#include "serial/ComDriverCalls.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

class TComDriverWin32 final : public TComDriver {
public:
    TComDriverWin32() = default;
    ~TComDriverWin32() override;
    TComDriverWin32(const TComDriverWin32&) = delete;
    TComDriverWin32& operator=(const TComDriverWin32&) = delete;

    // The name CreateFileA opens for a port: "\\.\" + port, which COM10 and above need; a
    // name that already is a device path ("\\.\COM3", "\\?\...") is taken as it is.
    static std::string DevicePath(const std::string& port);

    bool Open(const std::string& port) override;
    bool Close() override;
    bool SetupComm(uint32_t inputSize, uint32_t outputSize) override;
    bool SetCommState(const TComDcb& dcb) override;
    bool SetCommTimeouts(const TComTimeoutValues& timeouts) override;
    bool SetCommMask(uint32_t mask) override;
    bool WaitCommEvent(uint32_t& events, TComStopEvent* stop, int32_t timeoutMs) override;
    bool ReadFile(void* buffer, uint32_t count, uint32_t& transferred) override;
    bool WriteFile(const void* data, uint32_t count, uint32_t& transferred) override;
    bool PurgeComm(uint32_t flags) override;
    bool ClearCommError(uint32_t& errors, uint32_t& inputQueue) override;
    bool GetCommModemStatus(uint32_t& status) override;
    int32_t LastError() const override;
    bool SendBreak() override;

    // How many times a wait for the system to let go of an operation, or a close's wait for
    // the calls it woke, ran out its bound instead of seeing the operation end: the ways of
    // ending a pending call did not work on this port.
    uint32_t EndWaitsTimedOut() const { return m_endWaitsTimedOut.load(); }

private:
    struct TCall;
    bool Enter(TCall& call);
    void Leave(TCall& call);
    uint32_t KeptMask();
    bool Transfer(TCall& call, bool ok, uint32_t& transferred);

    std::mutex m_lock;
    ComDriverCalls::TCallGate<TCall> m_gate{m_lock};
    void* m_handle = nullptr; // the port's HANDLE; windows.h stays out of this header
    uint32_t m_mask = 0;
    std::atomic<uint32_t> m_endWaitsTimedOut{0};
};
