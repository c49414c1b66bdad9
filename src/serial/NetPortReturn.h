#pragma once
// Watching for a network port's server to come back after its connection dropped.

#include "platform/Platform.h"
#include "serial/NetAddress.h"
#include "serial/NetSocket.h"

#include <functional>
#include <memory>
#include <mutex>
#include <string>

// Whether the server at a port answers again, found out without holding up the caller (the
// window's thread) for more than ReturnWaitMs: a connection attempt runs in the background
// with the usual limit, and each look sees how it went, starting the next attempt once one
// has failed. A connection that succeeds is kept for the open that follows instead of being
// closed as a probe: the server sees one connection, so a device server that takes one
// client at a time is not found busy with the probe just closed, and ser2net does not open
// and close the device (and its modem lines) an extra time. A connection that no open takes
// within HoldLimitMs is closed. For RFC 2217 the attempt also sends the Telnet hello and
// succeeds only once the server answers, so a server that accepts and then stays silent
// does not hold up the open either.
class TNetPortReturnWatch {
public:
    static constexpr int ReturnWaitMs = 50;
    static constexpr int HoldLimitMs = 2000;

    // connectLimitMs: how long one attempt may take to connect and be greeted, on `clock`,
    // which counts every limit of the watch.
    // `onFailure` hears of an attempt that failed for a reason of its own (not the
    // server's), on the attempt's thread.
    TNetPortReturnWatch(Clock& clock, int connectLimitMs,
                        std::function<void(const std::string& what)> onFailure = nullptr);
    // Ends an attempt under way and closes a connection nobody took.
    ~TNetPortReturnWatch();
    TNetPortReturnWatch(const TNetPortReturnWatch&) = delete;
    TNetPortReturnWatch& operator=(const TNetPortReturnWatch&) = delete;

    // True once an attempt for `port` has connected (and, for RFC 2217, been answered).
    // An attempt for another port ends. False for a malformed address.
    bool Returned(const std::string& port);
    // The connection of a successful attempt for `port`, taken over; Invalid when there is
    // none. Any other attempt ends. `greeted`: the Telnet hello was sent on it.
    NetSocket::THandle Take(const std::string& port, bool& greeted);
    // Ends the attempt under way, if any.
    void Drop();

private:
    struct TAttempt;
    // The caller holds m_lock.
    void Start(const std::string& port, const TNetAddress& address);
    void DropLocked();
    static void RunAttempt(TAttempt& a, const TNetAddress& address, Clock& clock, int limit);
    static void FailAttempt(TAttempt& a, const std::function<void(const std::string&)>& onFailure,
                            const std::string& what);

    Clock& m_clock;
    const int m_connectLimitMs;
    const std::function<void(const std::string&)> m_onFailure;
    std::mutex m_lock;
    std::unique_ptr<TAttempt> m_attempt;
};
