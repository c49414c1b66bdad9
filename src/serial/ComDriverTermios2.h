#pragma once
// Custom line speeds through the kernel's termios2 interface. The kernel header that
// defines it clashes with <termios.h>, so it lives in a translation unit of its own and
// this header includes neither.

#include <cstdint>

// Sets input and output speed of the open terminal `fd` to any rate in bits per second.
// Returns 0 or the errno of the failed call.
int SetTermios2Speed(int fd, uint32_t rate);
// Reads back the output and input speed; returns 0 or an errno.
int GetTermios2Speed(int fd, uint32_t& outputSpeed, uint32_t& inputSpeed);
