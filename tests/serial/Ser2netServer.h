#pragma once
// A network serial server for the network-port tests: the system's ser2net, started on the
// loopback address with two free ports bridging one serial device (a pseudo-terminal whose
// master side the test holds): one port raw, one Telnet with the com-port option.

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

class Ser2netServer {
public:
    // A loopback port nobody listens on at this moment (others may run tests at once, so
    // the system picks it).
    static int FreePort() {
        const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof a;
        int port = 0;
        if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
            getsockname(s, reinterpret_cast<sockaddr*>(&a), &size) == 0) {
            port = ntohs(a.sin_port);
        }
        close(s);
        return port;
    }

    static bool Installed() { return std::system("command -v ser2net >/dev/null 2>&1") == 0; }

    // `device` is the serial device's path; `settings` its line settings at each connect.
    explicit Ser2netServer(const std::string& device, const std::string& settings = "9600n81")
        : m_folder(
              std::filesystem::temp_directory_path() /
              ("korvane-ser2net-" + std::to_string(getpid()) + "-" + std::to_string(++Counter()))) {
        std::filesystem::create_directories(m_folder);
        rawPort = FreePort();
        telnetPort = FreePort();
        const std::string config = (m_folder / "ser2net.yaml").string();
        {
            std::ofstream out(config);
            // "local": a pseudo-terminal has no modem lines to wait for.
            out << "%YAML 1.1\n---\n"
                << "connection: &raw\n"
                << "  accepter: tcp,127.0.0.1," << rawPort << "\n"
                << "  connector: serialdev," << device << "," << settings << ",local\n"
                << "  options:\n    kickolduser: true\n"
                << "connection: &rfc2217\n"
                << "  accepter: telnet(rfc2217),tcp,127.0.0.1," << telnetPort << "\n"
                << "  connector: serialdev," << device << "," << settings << ",local\n"
                << "  options:\n    kickolduser: true\n";
        }
        Start();
    }
    // Starts the server (again) on the same ports; true once both of them listen.
    bool Start() {
        if (m_pid > 0) {
            return true;
        }
        const std::string config = (m_folder / "ser2net.yaml").string();
        const std::string pidFile = (m_folder / "ser2net.pid").string();
        m_pid = fork();
        if (m_pid == 0) {
            const int null = open("/dev/null", O_RDWR);
            dup2(null, 0);
            dup2(null, 1);
            dup2(null, 2);
            execlp("ser2net", "ser2net", "-n", "-d", "-c", config.c_str(), "-P", pidFile.c_str(),
                   static_cast<char*>(nullptr));
            _exit(127);
        }
        // Ready once the ports listen (a probe connection to the raw port would open the
        // device before the test is set).
        const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (std::chrono::steady_clock::now() < giveUp &&
               !(Listening(telnetPort) && Listening(rawPort))) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return Listening(telnetPort) && Listening(rawPort);
    }
    ~Ser2netServer() {
        Stop();
        std::error_code ec;
        std::filesystem::remove_all(m_folder, ec);
    }
    Ser2netServer(const Ser2netServer&) = delete;
    Ser2netServer& operator=(const Ser2netServer&) = delete;

    bool Running() const { return m_pid > 0; }
    // The server goes away at once, as a device server that loses power: no goodbye.
    void Stop() {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
            m_pid = -1;
        }
    }

    // Whether the server holds `device` open: it opens it a moment after a client connects
    // and closes it a moment after the client leaves.
    bool HasOpen(const std::string& device) const {
        if (m_pid <= 0) {
            return false;
        }
        std::error_code ec;
        const std::filesystem::path fds = "/proc/" + std::to_string(m_pid) + "/fd";
        for (const auto& entry : std::filesystem::directory_iterator(fds, ec)) {
            std::error_code linkError;
            if (std::filesystem::read_symlink(entry.path(), linkError) == device) {
                return true;
            }
        }
        return false;
    }

    std::string RawAddress() const { return "tcp://127.0.0.1:" + std::to_string(rawPort); }
    std::string TelnetAddress() const {
        return "rfc2217://127.0.0.1:" + std::to_string(telnetPort);
    }

    int rawPort = 0;
    int telnetPort = 0;

private:
    static int& Counter() {
        static int counter = 0;
        return counter;
    }

public:
    // Whether something listens, found out without connecting: a connection would make
    // the server open the device.
    static bool Listening(int port) {
        std::ifstream tcp("/proc/net/tcp");
        char hex[8];
        std::snprintf(hex, sizeof hex, ":%04X", port);
        std::string line;
        while (std::getline(tcp, line)) {
            // local address, then remote, then state 0A (listen)
            if (line.find(std::string("0100007F") + hex) != std::string::npos &&
                line.find(" 0A ") != std::string::npos) {
                return true;
            }
        }
        return false;
    }

private:
    std::filesystem::path m_folder;
    pid_t m_pid = -1;
};
