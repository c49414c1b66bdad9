#pragma once
// A TCP server of the test's own on the loopback address, for what ser2net cannot show: how
// many connections a client makes, and an address that never answers.

#include <arpa/inet.h>
#include <chrono>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

class LoopbackListener {
public:
    // Backlog 0: the system queues a single connection not yet accepted, so Silence needs
    // few of them.
    LoopbackListener() {
        m_listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        m_address.sin_family = AF_INET;
        m_address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof m_address;
        if (bind(m_listener, Raw(), sizeof m_address) != 0 || listen(m_listener, 0) != 0 ||
            getsockname(m_listener, Raw(), &size) != 0) {
            close(m_listener);
            m_listener = -1;
        }
    }
    ~LoopbackListener() {
        for (int s : m_fillers) {
            close(s);
        }
        for (int s : m_accepted) {
            close(s);
        }
        if (m_listener >= 0) {
            close(m_listener);
        }
    }
    LoopbackListener(const LoopbackListener&) = delete;
    LoopbackListener& operator=(const LoopbackListener&) = delete;

    bool Listening() const { return m_listener >= 0; }
    int Port() const { return ntohs(m_address.sin_port); }
    std::string Address(const std::string& scheme = "tcp") const {
        return scheme + "://127.0.0.1:" + std::to_string(Port());
    }

    // The next connection that came or comes within `timeoutMs`, or -1. The listener
    // closes it at the end.
    int Accept(int timeoutMs) {
        pollfd p{m_listener, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) != 1) {
            return -1;
        }
        const int s = accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (s >= 0) {
            m_accepted.push_back(s);
        }
        return s;
    }

    // Connection attempts go unanswered from now on, as at an address with no host behind
    // it: once the queue of connections not yet accepted is full, the system drops them.
    void Silence() {
        for (int i = 0; i < 4; ++i) {
            const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
            connect(s, Raw(), sizeof m_address);
            m_fillers.push_back(s);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    // Answers again: the queue is emptied of the connections Silence made.
    void Answer() {
        while (Accept(0) >= 0) {
            close(m_accepted.back());
            m_accepted.pop_back();
        }
        for (int s : m_fillers) {
            close(s);
        }
        m_fillers.clear();
    }

private:
    sockaddr* Raw() { return reinterpret_cast<sockaddr*>(&m_address); }

    int m_listener = -1;
    sockaddr_in m_address{};
    std::vector<int> m_fillers;
    std::vector<int> m_accepted;
};
