/* Loaded into Wine (LD_PRELOAD) for the serial tests: gives a pseudo-terminal the modem
 * lines that Wine's serial code asks for. A pty has none, so TIOCMGET fails there and Wine
 * refuses to open it as a COM port (error 50). Where the real call fails, the lines are
 * kept here per descriptor and wired like a loop-back plug: DTR drives DSR and DCD, RTS
 * drives CTS, so a test sees its own DTR and RTS changes through the modem status.
 *
 * Built without the C library's headers (Wine here is a 32-bit process and the machine may
 * have no 32-bit development files): only the kernel's ioctl numbers are needed. */

#define TIOCMGET 0x5415
#define TIOCMBIS 0x5416
#define TIOCMBIC 0x5417
#define TIOCMSET 0x5418
#define TIOCM_DTR 0x002
#define TIOCM_RTS 0x004
#define TIOCM_CTS 0x020
#define TIOCM_CAR 0x040
#define TIOCM_DSR 0x100

#define RTLD_NEXT ((void*)-1l)
extern void* dlsym(void* handle, const char* symbol);

typedef int (*ioctl_fn)(int, unsigned long, void*);

enum { MaxDescriptors = 4096 };
/* The output lines (DTR, RTS) set per descriptor. */
static volatile unsigned lines[MaxDescriptors];

static unsigned WithInputs(unsigned set) {
    unsigned out = set & (TIOCM_DTR | TIOCM_RTS);
    if (set & TIOCM_DTR) {
        out |= TIOCM_DSR | TIOCM_CAR;
    }
    if (set & TIOCM_RTS) {
        out |= TIOCM_CTS;
    }
    return out;
}

int ioctl(int fd, unsigned long request, void* arg) {
    static ioctl_fn real = 0;
    if (real == 0) {
        real = (ioctl_fn)dlsym(RTLD_NEXT, "ioctl");
    }
    const int result = real(fd, request, arg);
    if (result == 0 || fd < 0 || fd >= MaxDescriptors || arg == 0) {
        return result;
    }
    if (request != TIOCMGET && request != TIOCMBIS && request != TIOCMBIC && request != TIOCMSET) {
        return result;
    }
    /* Only terminals (TCGETS succeeds): anything else keeps its failure. */
    char termios[64];
    if (real(fd, 0x5401 /* TCGETS */, termios) != 0) {
        return result;
    }
    unsigned* value = (unsigned*)arg;
    unsigned set = lines[fd] & (TIOCM_DTR | TIOCM_RTS);
    switch (request) {
    case TIOCMGET:
        *value = WithInputs(set);
        return 0;
    case TIOCMBIS:
        set |= *value & (TIOCM_DTR | TIOCM_RTS);
        break;
    case TIOCMBIC:
        set &= ~*value;
        break;
    default:
        set = *value & (TIOCM_DTR | TIOCM_RTS);
        break;
    }
    lines[fd] = set;
    return 0;
}
