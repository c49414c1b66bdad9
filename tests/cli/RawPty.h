#pragma once

// A raw pseudo-terminal a korvane-cli test plays the line on: the program opens the other
// side by its name.

#include "codec/HexCodec.h"

#include <pty.h>
#include <string>
#include <termios.h>
#include <unistd.h>

class RawPty {
public:
    RawPty() {
        char name[128] = {};
        if (openpty(&m_master, &m_slave, name, nullptr, nullptr) == 0) {
            termios raw{};
            tcgetattr(m_slave, &raw);
            cfmakeraw(&raw);
            tcsetattr(m_slave, TCSANOW, &raw);
            m_name = name;
        }
    }
    ~RawPty() {
        close(m_slave);
        close(m_master);
    }
    RawPty(const RawPty&) = delete;
    RawPty& operator=(const RawPty&) = delete;
    const std::string& Name() const { return m_name; }
    void Write(const std::string& hex) const {
        const std::string bytes = HexToBytes(NormalizeHex(hex));
        [[maybe_unused]] const ssize_t n = write(m_master, bytes.data(), bytes.size());
    }
    // Waits for one byte from the program.
    char Read() const {
        char got = 0;
        [[maybe_unused]] const ssize_t n = read(m_master, &got, 1);
        return got;
    }
    // The line settings the program gave the port.
    speed_t Speed() const {
        termios modes{};
        tcgetattr(m_slave, &modes);
        return cfgetospeed(&modes);
    }

private:
    int m_master = -1;
    int m_slave = -1;
    std::string m_name;
};
