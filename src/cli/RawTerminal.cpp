#include "cli/RawTerminal.h"

#include <csignal>
#include <unistd.h>

namespace {

// Read by the signal handlers, so plain data set before they are installed.
int g_fd = -1;
termios g_saved{};
termios g_raw{};
volatile sig_atomic_t g_active = 0;

// Signals whose default action ends the program (with or without a core file) and that the
// program does not handle itself. SIGINT, SIGTERM and SIGHUP are handled by the loop, which
// ends through the destructor; SIGKILL cannot be caught.
constexpr int FatalSignals[] = {SIGABRT, SIGSEGV, SIGBUS,    SIGFPE,    SIGILL,  SIGTRAP,
                                SIGSYS,  SIGQUIT, SIGALRM,   SIGUSR1,   SIGUSR2, SIGXCPU,
                                SIGXFSZ, SIGPROF, SIGVTALRM, SIGSTKFLT, SIGPOLL, SIGPWR};

void Restore() {
    if (g_active != 0) {
        tcsetattr(g_fd, TCSANOW, &g_saved);
    }
}

// The handler was installed with SA_RESETHAND: raised again, the signal does what it would
// have done (for a fault, the instruction runs again and faults for good).
void OnFatal(int signal) {
    Restore();
    raise(signal);
}

void OnStop(int) {
    Restore();
    raise(SIGSTOP);
}

void OnContinue(int) {
    if (g_active != 0) {
        tcsetattr(g_fd, TCSANOW, &g_raw);
    }
}

void Install(int signal, void (*handler)(int), int flags) {
    struct sigaction action {};
    action.sa_handler = handler;
    action.sa_flags = flags;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
}

} // namespace

TRawTerminal::TRawTerminal(int fd) {
    if (isatty(fd) == 0 || tcgetattr(fd, &g_saved) != 0) {
        return;
    }
    g_fd = fd;
    g_raw = g_saved;
    g_raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG | IEXTEN);
    g_raw.c_iflag &= ~static_cast<tcflag_t>(IXON | ICRNL | INLCR | IGNCR);
    g_raw.c_cc[VMIN] = 1;
    g_raw.c_cc[VTIME] = 0;
    for (const int signal : FatalSignals) {
        Install(signal, OnFatal, SA_RESETHAND);
    }
    Install(SIGTSTP, OnStop, SA_RESTART);
    Install(SIGCONT, OnContinue, SA_RESTART);
    g_active = 1;
    m_active = tcsetattr(fd, TCSANOW, &g_raw) == 0;
    g_active = m_active ? 1 : 0;
}

TRawTerminal::~TRawTerminal() {
    if (m_active) {
        // Keys typed but not read are the program's, not the shell's.
        tcsetattr(g_fd, TCSAFLUSH, &g_saved);
        g_active = 0;
    }
}
