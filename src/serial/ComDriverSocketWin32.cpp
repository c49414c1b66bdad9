// The sockets of the network port driver on Windows (Winsock 2, available since Windows 95
// with the update and in every system the program supports).
#include "serial/NetSocket.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <chrono>
#include <windows.h>

namespace NetSocket {

namespace {

// Winsock is started once for the process, on first use, and never stopped: a port may be
// opened at any time until the end.
bool Started() {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

SOCKET AsSocket(THandle handle) {
    return static_cast<SOCKET>(handle);
}

int WaitFor(THandle socket, bool write, int timeoutMs) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(AsSocket(socket), &set);
    fd_set errors;
    FD_ZERO(&errors);
    FD_SET(AsSocket(socket), &errors);
    timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    const int r = select(0, write ? nullptr : &set, write ? &set : nullptr, &errors,
                         timeoutMs < 0 ? nullptr : &tv);
    if (r == SOCKET_ERROR) {
        return -1;
    }
    // An error counts as ready: the next call on the socket reports it.
    return r > 0 ? 1 : 0;
}

} // namespace

THandle Connect(const std::string& host, uint16_t port, const TClockDeadline& limit, int& error,
                const std::atomic<bool>* cancel) {
    if (!Started()) {
        error = WSASYSNOTREADY;
        return Invalid;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    if (getaddrinfo(host.c_str(), service.c_str(), &hints, &found) != 0) {
        error = WSAGetLastError();
        return Invalid;
    }
    error = WSAECONNREFUSED;
    SOCKET result = INVALID_SOCKET;
    for (const addrinfo* a = found; a != nullptr && result == INVALID_SOCKET; a = a->ai_next) {
        if (cancel != nullptr && cancel->load()) {
            error = CancelledError();
            break;
        }
        SOCKET s = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (s == INVALID_SOCKET) {
            error = WSAGetLastError();
            continue;
        }
        u_long nonBlocking = 1;
        ioctlsocket(s, FIONBIO, &nonBlocking);
        int failure = 0;
        if (connect(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) == SOCKET_ERROR) {
            failure = WSAGetLastError();
            while (failure == WSAEWOULDBLOCK) {
                if (cancel != nullptr && cancel->load()) {
                    failure = CancelledError();
                    break;
                }
                const long ms = limit.SliceMs(cancel != nullptr ? CancelSliceMs : 0x7FFFFFFF);
                if (ms <= 0) {
                    failure = WSAETIMEDOUT;
                    break;
                }
                fd_set writable;
                FD_ZERO(&writable);
                FD_SET(s, &writable);
                fd_set failed;
                FD_ZERO(&failed);
                FD_SET(s, &failed);
                timeval tv{ms / 1000, (ms % 1000) * 1000};
                const int r = select(0, nullptr, &writable, &failed, &tv);
                if (r == 0) {
                    continue; // the time left and the cancel flag decide
                } else if (r == SOCKET_ERROR) {
                    failure = WSAGetLastError();
                } else if (FD_ISSET(s, &failed)) {
                    int so = 0;
                    int size = sizeof so;
                    getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&so), &size);
                    failure = so != 0 ? so : WSAECONNREFUSED;
                } else {
                    failure = 0;
                }
            }
        }
        if (failure != 0) {
            error = failure;
            closesocket(s);
            continue;
        }
        const BOOL one = TRUE;
        setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
        result = s;
    }
    freeaddrinfo(found);
    if (result == INVALID_SOCKET) {
        return Invalid;
    }
    error = 0;
    return static_cast<THandle>(result);
}

int WaitReadable(THandle socket, int timeoutMs) {
    return WaitFor(socket, false, timeoutMs);
}

int WaitWritable(THandle socket, int timeoutMs) {
    return WaitFor(socket, true, timeoutMs);
}

long Receive(THandle socket, void* buffer, size_t size, int& error) {
    const int n = recv(AsSocket(socket), static_cast<char*>(buffer),
                       static_cast<int>(size > 0x7FFFFFFF ? 0x7FFFFFFF : size), 0);
    error = n == SOCKET_ERROR ? WSAGetLastError() : 0;
    return n == SOCKET_ERROR ? -1 : n;
}

long Send(THandle socket, const void* data, size_t size, int& error) {
    const int n = send(AsSocket(socket), static_cast<const char*>(data),
                       static_cast<int>(size > 0x7FFFFFFF ? 0x7FFFFFFF : size), 0);
    error = n == SOCKET_ERROR ? WSAGetLastError() : 0;
    return n == SOCKET_ERROR ? -1 : n;
}

bool WouldBlock(int error) {
    return error == WSAEWOULDBLOCK;
}

void Shutdown(THandle socket) {
    shutdown(AsSocket(socket), SD_BOTH);
}

void Close(THandle socket) {
    if (socket != Invalid) {
        closesocket(AsSocket(socket));
    }
}

// What a serial port reports when its device has gone.
int HangUpError() {
    return ERROR_DEVICE_NOT_CONNECTED;
}
int InvalidError() {
    return ERROR_INVALID_PARAMETER;
}
int TimedOutError() {
    return WSAETIMEDOUT;
}
int NotSupportedError() {
    return WSAEPROTONOSUPPORT;
}
int ClosedError() {
    return ERROR_INVALID_HANDLE;
}
int BusyError() {
    return ERROR_BUSY;
}
int CancelledError() {
    return ERROR_OPERATION_ABORTED;
}
int ClosedAtOnceError() {
    return WSAECONNABORTED;
}
int UnknownHostError() {
    return WSAHOST_NOT_FOUND;
}

} // namespace NetSocket
