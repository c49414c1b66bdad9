#pragma once
// Runs korvane-cli for a test: arguments as given, standard input a pipe the test writes
// to, standard output and error collected while it runs.

#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

class CliProcess {
public:
    // inChild runs in the child before the program starts (limits, signal dispositions).
    // ptyInput: standard input is a terminal (a pseudo-terminal the test types into).
    explicit CliProcess(std::vector<std::string> args, const std::function<void()>& inChild = {},
                        bool ptyInput = false) {
        int inPipe[2];
        int outPipe[2];
        int errPipe[2];
        if (ptyInput) {
            // [0] the terminal the program reads, [1] the side the test types into.
            if (openpty(&inPipe[1], &inPipe[0], nullptr, nullptr, nullptr) != 0) {
                return;
            }
            m_terminal = dup(inPipe[0]);
        } else if (pipe(inPipe) != 0) {
            return;
        }
        if (pipe(outPipe) != 0 || pipe(errPipe) != 0) {
            return;
        }
        m_pid = fork();
        if (m_pid == 0) {
            dup2(inPipe[0], STDIN_FILENO);
            dup2(outPipe[1], STDOUT_FILENO);
            dup2(errPipe[1], STDERR_FILENO);
            if (m_terminal >= 0) {
                close(m_terminal);
            }
            for (int fd : {inPipe[0], inPipe[1], outPipe[0], outPipe[1], errPipe[0], errPipe[1]}) {
                close(fd);
            }
            if (inChild) {
                inChild();
            }
            std::vector<char*> argv;
            static std::string program = KORVANE_CLI_PATH;
            argv.push_back(program.data());
            for (std::string& a : args) {
                argv.push_back(a.data());
            }
            argv.push_back(nullptr);
            execv(KORVANE_CLI_PATH, argv.data());
            _exit(127);
        }
        close(inPipe[0]);
        close(outPipe[1]);
        close(errPipe[1]);
        m_in = inPipe[1];
        m_out = outPipe[0];
        m_err = errPipe[0];
    }
    ~CliProcess() {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        for (int fd : {m_in, m_out, m_err, m_terminal}) {
            if (fd >= 0) {
                close(fd);
            }
        }
    }
    CliProcess(const CliProcess&) = delete;
    CliProcess& operator=(const CliProcess&) = delete;

    void Write(const std::string& text) const {
        [[maybe_unused]] const ssize_t n = write(m_in, text.data(), text.size());
    }
    void CloseInput() {
        close(m_in);
        m_in = -1;
    }
    void Signal(int signal) const { kill(m_pid, signal); }
    // The local modes of the program's input terminal (ptyInput only).
    tcflag_t TerminalModes() const {
        termios modes{};
        tcgetattr(m_terminal, &modes);
        return modes.c_lflag;
    }

    // Collects output until `done` holds for what standard output has so far, or the
    // program ends, or the time is up. True when `done` held.
    bool WaitForOutput(const std::function<bool(const std::string&)>& done,
                       std::chrono::milliseconds bound = std::chrono::seconds(10)) {
        const auto deadline = std::chrono::steady_clock::now() + bound;
        while (!done(out)) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !Collect(static_cast<int>(left.count()))) {
                return done(out);
            }
        }
        return true;
    }

    // Waits for the end (SIGKILL after the bound) and returns the exit code, -1 when the
    // program did not exit by itself.
    int Wait(std::chrono::milliseconds bound = std::chrono::seconds(10)) {
        const auto deadline = std::chrono::steady_clock::now() + bound;
        while (Collect(50)) {
            if (std::chrono::steady_clock::now() > deadline) {
                kill(m_pid, SIGKILL);
            }
        }
        int status = 0;
        waitpid(m_pid, &status, 0);
        m_pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::string out;
    std::string err;

private:
    // Reads what is there within timeoutMs; false once both outputs are closed.
    bool Collect(int timeoutMs) {
        pollfd fds[2] = {{m_out, POLLIN, 0}, {m_err, POLLIN, 0}};
        if (m_out < 0 && m_err < 0) {
            return false;
        }
        if (poll(fds, 2, timeoutMs) <= 0) {
            return true;
        }
        char buffer[65536];
        for (int i = 0; i < 2; ++i) {
            if (fds[i].revents == 0) {
                continue;
            }
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                (i == 0 ? out : err).append(buffer, static_cast<size_t>(n));
            } else {
                close(i == 0 ? m_out : m_err);
                (i == 0 ? m_out : m_err) = -1;
            }
        }
        return true;
    }

    pid_t m_pid = -1;
    int m_in = -1;
    int m_out = -1;
    int m_err = -1;
    int m_terminal = -1;
};
