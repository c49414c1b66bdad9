#pragma once
// Shared by the system drivers: the gate every call on an open port passes, and how a call
// that is pending in one thread is told by another (close, purge, a new event mask) why it
// has to end.

#include "serial/ComDriver.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

namespace ComDriverCalls {

// Kinds of calls that can be pending, as bits so one signal can reach several kinds.
constexpr unsigned KindRead = 1;
constexpr unsigned KindWrite = 2;
constexpr unsigned KindWait = 4;
constexpr unsigned KindOther = 8;

// Why a pending call was woken.
constexpr int ReasonNone = 0;
constexpr int ReasonMask = 1;   // a new event mask: the wait ends with no events
constexpr int ReasonPurged = 2; // aborted by PurgeComm
constexpr int ReasonClosed = 3; // the port is being closed

// The calls under way on a driver's port. A call enters before it touches the port's
// handle and leaves once it no longer does; a close waits until every call has left,
// because a handle's number may be reused the moment it is closed. Calls that block
// register to be woken: TCall has `unsigned kind`, `int reason` and `void Wake()`, the
// driver's wake primitive (an eventfd, an event object). The gate shares the driver's
// mutex, which also guards the driver's own state.
template <typename TCall> class TCallGate {
public:
    explicit TCallGate(std::mutex& lock) : m_lock(lock) {}
    TCallGate(const TCallGate&) = delete;
    TCallGate& operator=(const TCallGate&) = delete;

    // Caller holds the lock.
    bool IsOpen() const { return m_open && !m_closing; }
    bool Closing() const { return m_closing; }
    bool Opened() const { return m_open; }
    // The port was opened (caller holds the lock).
    void MarkOpen() {
        m_open = true;
        m_closing = false;
    }

    // Admits `call` while the port is open and not closing, running `admitted` under the
    // lock (to hand the call the port's handle); `wakeable` calls can be woken until they
    // leave. False when the port is closed or closing.
    template <typename F> bool Enter(TCall& call, bool wakeable, F&& admitted) {
        std::lock_guard<std::mutex> guard(m_lock);
        if (!IsOpen()) {
            return false;
        }
        ++m_users;
        if (wakeable) {
            m_calls.push_back(&call);
        }
        admitted();
        return true;
    }
    void Leave(TCall& call) {
        std::lock_guard<std::mutex> guard(m_lock);
        m_calls.erase(std::remove(m_calls.begin(), m_calls.end(), &call), m_calls.end());
        if (--m_users == 0) {
            m_idle.notify_all();
        }
    }

    // Wakes the registered calls of the given kinds, keeping the strongest reason each was
    // given. Caller holds the lock.
    void Wake(unsigned kinds, int reason) {
        for (TCall* call : m_calls) {
            if ((call->kind & kinds) == 0) {
                continue;
            }
            call->reason = std::max(call->reason, reason);
            call->Wake();
        }
    }

    // Wakes what a purge with `flags` (ComPurge... bits) aborts: a receive abort ends reads
    // and waits, a transmit abort writes and waits. Caller holds the lock.
    void WakeForPurge(uint32_t flags) {
        unsigned kinds = 0;
        if ((flags & ComPurgeRxAbort) != 0) {
            kinds |= KindRead | KindWait;
        }
        if ((flags & ComPurgeTxAbort) != 0) {
            kinds |= KindWrite | KindWait;
        }
        Wake(kinds, ReasonPurged);
    }

    // Starts a close: no call is admitted from now on. False when the port is not open or
    // a close is already under way. Caller holds the lock.
    bool BeginClose() {
        if (!IsOpen()) {
            return false;
        }
        m_closing = true;
        return true;
    }
    // Wakes every pending call for the close and waits until all calls have left, at most
    // `bound` when one is given. True once none is left. Caller holds the lock in `guard`.
    bool WakeAllAndWaitIdle(std::unique_lock<std::mutex>& guard,
                            std::chrono::milliseconds bound = std::chrono::milliseconds::max()) {
        Wake(KindRead | KindWrite | KindWait, ReasonClosed);
        return WaitIdle(guard, bound);
    }
    bool WaitIdle(std::unique_lock<std::mutex>& guard,
                  std::chrono::milliseconds bound = std::chrono::milliseconds::max()) {
        if (bound == std::chrono::milliseconds::max()) {
            m_idle.wait(guard, [this] { return m_users == 0; });
            return true;
        }
        return m_idle.wait_for(guard, bound, [this] { return m_users == 0; });
    }
    // The close is complete: the port is closed. Caller holds the lock.
    void EndClose() {
        m_open = false;
        m_closing = false;
    }

private:
    std::mutex& m_lock;
    std::condition_variable m_idle;
    int m_users = 0;
    bool m_open = false;
    bool m_closing = false;
    std::vector<TCall*> m_calls;
};

} // namespace ComDriverCalls
