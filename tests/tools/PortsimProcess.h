#pragma once
// Runs tools/portsim for a test: started with the given arguments, ready once it has
// printed its registration line, ended with SIGTERM when the object goes.

#include <csignal>
#include <cstdio>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

class PortsimProcess {
public:
    explicit PortsimProcess(std::vector<std::string> args) {
        int out[2];
        if (pipe(out) != 0) {
            return;
        }
        m_pid = fork();
        if (m_pid == 0) {
            dup2(out[1], STDOUT_FILENO);
            close(out[0]);
            close(out[1]);
            std::vector<char*> argv;
            static std::string program = PORTSIM_PATH;
            argv.push_back(program.data());
            for (std::string& a : args) {
                argv.push_back(a.data());
            }
            argv.push_back(nullptr);
            execv(PORTSIM_PATH, argv.data());
            _exit(127);
        }
        close(out[1]);
        // The line is printed after the link exists; reading it is the readiness signal.
        FILE* stream = fdopen(out[0], "r");
        char line[512];
        if (stream != nullptr && std::fgets(line, sizeof line, stream) != nullptr) {
            m_banner = line;
        }
        if (stream != nullptr) {
            std::fclose(stream);
        }
    }
    ~PortsimProcess() { Stop(); }
    PortsimProcess(const PortsimProcess&) = delete;
    PortsimProcess& operator=(const PortsimProcess&) = delete;

    bool Ready() const { return m_pid > 0 && !m_banner.empty(); }
    const std::string& Banner() const { return m_banner; }

    // SIGTERM, then the exit status (-1 when it did not exit normally).
    int Stop() {
        if (m_pid <= 0) {
            return m_status;
        }
        kill(m_pid, SIGTERM);
        int status = 0;
        waitpid(m_pid, &status, 0);
        m_pid = -1;
        m_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return m_status;
    }

private:
    pid_t m_pid = -1;
    int m_status = -1;
    std::string m_banner;
};
