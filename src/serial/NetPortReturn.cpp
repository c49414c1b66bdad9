#include "serial/NetPortReturn.h"

#include "serial/ClockDeadline.h"
#include "serial/TelnetCodec.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <thread>

namespace {

// The start of a connection in the background: the Telnet hello sent, then a wait until
// the server says anything (its answers stay unread for the reader of the Open that takes
// the connection). False when it stays silent until `end`, fails or is cancelled.
bool Greet(NetSocket::THandle socket, const TClockDeadline& end, const std::atomic<bool>& cancel) {
    const std::string hello = Telnet::ClientHello();
    size_t sent = 0;
    while (!cancel) {
        const int slice = end.SliceMs(NetSocket::CancelSliceMs);
        if (slice <= 0) {
            return false;
        }
        if (sent < hello.size()) {
            int error = 0;
            const long n = NetSocket::Send(socket, hello.data() + sent, hello.size() - sent, error);
            if (n < 0 && !NetSocket::WouldBlock(error)) {
                return false;
            }
            sent += n > 0 ? static_cast<size_t>(n) : 0;
            if (sent < hello.size()) {
                NetSocket::WaitWritable(socket, slice);
            }
            continue;
        }
        // A server that closes at once (a device it cannot open) counts as an answer: the
        // Open sees the end and fails without waiting.
        const int r = NetSocket::WaitReadable(socket, slice);
        if (r != 0) {
            return r > 0;
        }
    }
    return false;
}

} // namespace

// A connection made in the background by the watch. The thread connects, then keeps
// a connection it got until Open takes it, the driver gives it up, or HoldLimitMs pass.
struct TNetPortReturnWatch::TAttempt {
    std::string port;
    std::mutex lock;
    std::condition_variable changed;
    std::atomic<bool> cancel{false}; // set under `lock`
    bool done = false;
    bool taken = false;
    NetSocket::THandle socket = NetSocket::Invalid; // while held
    bool greeted = false; // the Telnet hello went out and the server answered
    std::thread thread;
};

TNetPortReturnWatch::TNetPortReturnWatch(Clock& clock, int connectLimitMs,
                                         std::function<void(const std::string&)> onFailure)
    : m_clock(clock), m_connectLimitMs(connectLimitMs), m_onFailure(std::move(onFailure)) {}

TNetPortReturnWatch::~TNetPortReturnWatch() {
    Drop();
}

void TNetPortReturnWatch::Drop() {
    std::lock_guard<std::mutex> guard(m_lock);
    DropLocked();
}

bool TNetPortReturnWatch::Returned(const std::string& port) {
    TNetAddress address;
    if (!ParseNetAddress(port, address)) {
        return false;
    }
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_attempt && m_attempt->port != port) {
        DropLocked();
    }
    if (m_attempt) {
        std::unique_lock<std::mutex> attempt(m_attempt->lock);
        if (!m_attempt->done) {
            return false;
        }
        if (m_attempt->socket != NetSocket::Invalid) {
            return true;
        }
        // Failed, or the connection was not taken in time: the thread has ended.
        attempt.unlock();
        DropLocked();
    }
    Start(port, address);
    // A server on this machine or the local network answers (or refuses) within a
    // millisecond or two: waiting a moment lets this look see the outcome, not the next.
    std::unique_lock<std::mutex> attempt(m_attempt->lock);
    TClockDeadline(m_clock, ReturnWaitMs).WaitFor(m_attempt->changed, attempt, [this] {
        return m_attempt->done;
    });
    return m_attempt->done && m_attempt->socket != NetSocket::Invalid;
}

void TNetPortReturnWatch::Start(const std::string& port, const TNetAddress& address) {
    m_attempt = std::make_unique<TAttempt>();
    m_attempt->port = port;
    TAttempt& a = *m_attempt;
    a.thread = std::thread(
        [&a, address, &clock = m_clock, limit = m_connectLimitMs, onFailure = m_onFailure] {
            try {
                RunAttempt(a, address, clock, limit);
            } catch (const std::exception& e) {
                FailAttempt(a, onFailure, e.what());
            } catch (...) {
                FailAttempt(a, onFailure, "unknown error");
            }
        });
}

void TNetPortReturnWatch::RunAttempt(TAttempt& a, const TNetAddress& address, Clock& clock,
                                     int limit) {
    const TClockDeadline end(clock, limit);
    int error = 0;
    NetSocket::THandle socket =
        NetSocket::Connect(address.host, address.port, end, error, &a.cancel);
    // A server that takes connections but does not speak Telnet would otherwise hold up
    // the Open that takes the connection until its limit, on the caller's thread.
    bool greeted = false;
    if (socket != NetSocket::Invalid && address.kind == TNetPortKind::Rfc2217) {
        greeted = Greet(socket, end, a.cancel);
        if (!greeted) {
            NetSocket::Close(socket);
            socket = NetSocket::Invalid;
        }
    }
    // Counted from before the look that finds the connection can see it.
    const TClockDeadline hold(clock, HoldLimitMs);
    std::unique_lock<std::mutex> guard(a.lock);
    a.socket = socket;
    a.greeted = greeted;
    a.done = true;
    a.changed.notify_all();
    if (socket == NetSocket::Invalid) {
        return;
    }
    // Held no longer than that: a device server that takes one client at a time would
    // be kept from everybody else.
    hold.WaitFor(a.changed, guard, [&a] { return a.taken || a.cancel.load(); });
    if (!a.taken) {
        NetSocket::Close(a.socket);
        a.socket = NetSocket::Invalid;
    }
}

// An attempt that failed for a reason of its own ends like a failed connection (the next
// look starts another) and is told, not lost.
void TNetPortReturnWatch::FailAttempt(TAttempt& a,
                                      const std::function<void(const std::string&)>& onFailure,
                                      const std::string& what) {
    {
        std::lock_guard<std::mutex> guard(a.lock);
        if (a.socket != NetSocket::Invalid && !a.taken) {
            NetSocket::Close(a.socket);
        }
        a.socket = NetSocket::Invalid;
        a.done = true;
        a.changed.notify_all();
    }
    if (onFailure) {
        onFailure("Looking for " + a.port + " failed: " + what);
    }
}

void TNetPortReturnWatch::DropLocked() {
    if (!m_attempt) {
        return;
    }
    {
        std::lock_guard<std::mutex> guard(m_attempt->lock);
        m_attempt->cancel = true;
        m_attempt->changed.notify_all();
    }
    m_attempt->thread.join();
    m_attempt.reset();
}

NetSocket::THandle TNetPortReturnWatch::Take(const std::string& port, bool& greeted) {
    std::lock_guard<std::mutex> guard(m_lock);
    NetSocket::THandle socket = NetSocket::Invalid;
    greeted = false;
    if (m_attempt && m_attempt->port == port) {
        std::lock_guard<std::mutex> attempt(m_attempt->lock);
        if (m_attempt->done && m_attempt->socket != NetSocket::Invalid) {
            socket = m_attempt->socket;
            greeted = m_attempt->greeted;
            m_attempt->socket = NetSocket::Invalid;
            m_attempt->taken = true;
            m_attempt->changed.notify_all();
        }
    }
    // An attempt still under way ends: the open connects on its own.
    DropLocked();
    return socket;
}
