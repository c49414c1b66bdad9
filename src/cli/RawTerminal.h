#pragma once
// The terminal on standard input in raw mode while korvane-cli runs: each key is read as
// it is typed, nothing is echoed into the traffic, and Ctrl+C is a key for the device. The
// terminal's own modes come back on every way out: when this object goes (the quit
// command, SIGINT, SIGTERM, SIGHUP, the end of the port), and on the ways that never reach
// a destructor (abort, a crash, a signal nobody handles), through handlers that restore
// the modes and then let the signal take its course. A stop signal gives the shell its
// terminal back for as long as the program is stopped.

#include <termios.h>

class TRawTerminal {
public:
    // Does nothing when fd is not a terminal.
    explicit TRawTerminal(int fd);
    ~TRawTerminal();
    TRawTerminal(const TRawTerminal&) = delete;
    TRawTerminal& operator=(const TRawTerminal&) = delete;

    bool Active() const { return m_active; }

private:
    bool m_active = false;
};
