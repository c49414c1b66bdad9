#pragma once
// The system's sockets as the network port uses them, one file per system
// (ComDriverSocketPosix.cpp, ComDriverSocketWin32.cpp).

#include "serial/ClockDeadline.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

namespace NetSocket {
using THandle = intptr_t;
constexpr THandle Invalid = -1;

// Connects before `limit` passes; on failure returns Invalid with the system's error in
// `error` (refused, unreachable, timed out, unknown host). The socket does not block.
// With `cancel`, the wait for the server ends with CancelledError() soon after another
// thread sets it (looking up the host name is not cut short).
THandle Connect(const std::string& host, uint16_t port, const TClockDeadline& limit, int& error,
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
// The server closed the connection before it answered the hello.
int ClosedAtOnceError();
// What Connect reports for a host name that does not resolve.
int UnknownHostError();
} // namespace NetSocket
