// The sockets of the network port driver on POSIX systems.
#include "serial/NetSocket.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace NetSocket {

namespace {

int WaitFor(THandle socket, short what, int timeoutMs) {
    pollfd p{static_cast<int>(socket), what, 0};
    const int r = poll(&p, 1, timeoutMs);
    if (r < 0) {
        return errno == EINTR ? 0 : -1;
    }
    // A hang-up or an error counts as ready: the next call on the socket reports it.
    return r > 0 ? 1 : 0;
}

// An unknown host has no errno of its own; "No such device or address" says it best.
int ResolveError(int gai) {
    return gai == EAI_SYSTEM ? errno : (gai == EAI_AGAIN ? EAGAIN : ENXIO);
}

} // namespace

THandle Connect(const std::string& host, uint16_t port, const TClockDeadline& limit, int& error,
                const std::atomic<bool>* cancel) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    // No AI_ADDRCONFIG: it hides IPv4 names on a machine whose only address is loopback.
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    const int gai = getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
    if (gai != 0) {
        error = ResolveError(gai);
        return Invalid;
    }
    error = ECONNREFUSED;
    int fd = -1;
    for (const addrinfo* a = found; a != nullptr && fd < 0; a = a->ai_next) {
        if (cancel != nullptr && cancel->load()) {
            error = ECANCELED;
            break;
        }
        const int s =
            socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
        if (s < 0) {
            error = errno;
            continue;
        }
        int result = connect(s, a->ai_addr, a->ai_addrlen) == 0 ? 0 : errno;
        if (result == EINPROGRESS) {
            for (;;) {
                if (cancel != nullptr && cancel->load()) {
                    result = ECANCELED;
                    break;
                }
                const int slice = limit.SliceMs(cancel != nullptr ? CancelSliceMs : INT_MAX);
                if (slice <= 0) {
                    result = ETIMEDOUT;
                    break;
                }
                pollfd p{s, POLLOUT, 0};
                const int r = poll(&p, 1, slice);
                if ((r < 0 && errno == EINTR) || r == 0) {
                    continue;
                }
                if (r < 0) {
                    result = errno;
                } else {
                    socklen_t size = sizeof result;
                    if (getsockopt(s, SOL_SOCKET, SO_ERROR, &result, &size) != 0) {
                        result = errno;
                    }
                }
                break;
            }
        }
        if (result != 0) {
            error = result;
            close(s);
            continue;
        }
        // Small sends (a command, one typed line) leave at once.
        const int one = 1;
        setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        fd = s;
    }
    freeaddrinfo(found);
    if (fd < 0) {
        return Invalid;
    }
    error = 0;
    return fd;
}

int WaitReadable(THandle socket, int timeoutMs) {
    return WaitFor(socket, POLLIN, timeoutMs);
}

int WaitWritable(THandle socket, int timeoutMs) {
    return WaitFor(socket, POLLOUT, timeoutMs);
}

long Receive(THandle socket, void* buffer, size_t size, int& error) {
    for (;;) {
        const ssize_t n = recv(static_cast<int>(socket), buffer, size, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        error = n < 0 ? errno : 0;
        return static_cast<long>(n);
    }
}

long Send(THandle socket, const void* data, size_t size, int& error) {
    for (;;) {
        // A peer that went away must fail the call, not end the program with SIGPIPE.
        const ssize_t n = send(static_cast<int>(socket), data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        error = n < 0 ? errno : 0;
        return static_cast<long>(n);
    }
}

bool WouldBlock(int error) {
    return error == EAGAIN || error == EWOULDBLOCK;
}

void Shutdown(THandle socket) {
    shutdown(static_cast<int>(socket), SHUT_RDWR);
}

void Close(THandle socket) {
    if (socket != Invalid) {
        close(static_cast<int>(socket));
    }
}

int HangUpError() {
    return EIO;
}
int InvalidError() {
    return EINVAL;
}
int TimedOutError() {
    return ETIMEDOUT;
}
int NotSupportedError() {
    return EPROTONOSUPPORT;
}
int ClosedError() {
    return EBADF;
}
int BusyError() {
    return EBUSY;
}
int CancelledError() {
    return ECANCELED;
}
int ClosedAtOnceError() {
    return ECONNABORTED;
}
int UnknownHostError() {
    return ENXIO;
}

} // namespace NetSocket
