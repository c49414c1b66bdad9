#pragma once
// Shared by the system drivers: how a call that is pending in one thread is told by
// another (close, purge, a new event mask) why it has to end.

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

} // namespace ComDriverCalls
