#pragma once
// What the system says about a failed port call, in words a user can act on. The window
// shows these under its own messages and the command-line program prints them; the wording
// is the system's own (errno and its text on POSIX, the error code on Windows).

#include <cstdint>
#include <string>

// The end of an EComPort message for a system error: " (system error 13: Permission
// denied)" on POSIX, " (win error code: 5)" on Windows.
std::string SystemErrorTail(int32_t systemError);

// Where the facts about a device are looked up; tests point them at fake trees.
struct TPortProbe {
    // Lock files of serial programs (LCK..<device name>); empty: none are looked at.
    std::string lockFolder;
    // The process table, scanned for a program that holds the device open.
    std::string procRoot = "/proc";
};

// The program that holds a device: from a live lock file first, else from a process that
// has it open. pid 0 when nobody is known to hold it.
struct TPortHolder {
    long pid = 0;
    std::string name;
};
TPortHolder FindPortHolder(const std::string& devicePath, const TPortProbe& probe);

// Why opening `port` (resolved to `devicePath`) failed with `systemError`, as one line:
// a permission problem names the device's group and the command that adds the user to it,
// a busy port names its holder, a missing device says so. Empty when there is nothing to
// add to the system error itself.
std::string OpenFailureReason(const std::string& port, const std::string& devicePath,
                              int32_t systemError, const TPortProbe& probe);
