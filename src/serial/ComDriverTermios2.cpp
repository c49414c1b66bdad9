#include "serial/ComDriverTermios2.h"

#include <asm/termbits.h>
#include <cerrno>
#include <sys/ioctl.h>

int SetTermios2Speed(int fd, uint32_t rate) {
    struct termios2 tio {};
    if (ioctl(fd, TCGETS2, &tio) != 0) {
        return errno;
    }
    tio.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
    tio.c_cflag |= static_cast<tcflag_t>(BOTHER | (BOTHER << IBSHIFT));
    tio.c_ispeed = rate;
    tio.c_ospeed = rate;
    if (ioctl(fd, TCSETS2, &tio) != 0) {
        return errno;
    }
    return 0;
}

int GetTermios2Speed(int fd, uint32_t& outputSpeed, uint32_t& inputSpeed) {
    struct termios2 tio {};
    if (ioctl(fd, TCGETS2, &tio) != 0) {
        return errno;
    }
    outputSpeed = tio.c_ospeed;
    inputSpeed = tio.c_ispeed;
    return 0;
}
